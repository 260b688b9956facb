#!/usr/bin/env python3
"""Lays out one driver as a binary module of the integrator package: the image, a binary .inf
in the form EDK II writes for prebuilt ("as-built") modules, and for a DXE_DRIVER its
dependency expression as PI opcodes (.depex).

Usage: package_module.py --manifest modules.ini --dec PlatformGuardsPkg.dec
                         --image <name>.efi [--patch-pcd <file>] --out <dir> <name>
--patch-pcd names a file of [PatchPcd] lines (tools/patch_pcd.py locate writes one), listed in
the INF's [PatchPcd.X64] section.
"""
import argparse
import configparser
import re
import shutil
import struct
import sys
import uuid
from pathlib import Path

INF_VERSION = "0x00010017"
ARCH = "X64"

# PI dependency-expression opcodes.
DEPEX_PUSH = 0x02
DEPEX_AND = 0x03
DEPEX_END = 0x08

DEC_GUID_LINE = re.compile(
    r"^\s*(\w+)\s*=\s*\{\s*(0x[0-9A-Fa-f]+)\s*,\s*(0x[0-9A-Fa-f]+)\s*,\s*(0x[0-9A-Fa-f]+)\s*,"
    r"\s*\{([^}]*)\}\s*\}")


class PackageError(Exception):
    pass


def read_dec(dec_path):
    """Returns {C name: 16 GUID bytes} for the GUID declarations of a DEC file, plus its package name."""
    guids = {}
    package_name = None
    for line in Path(dec_path).read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0]
        if package_name is None:
            m = re.match(r"^\s*PACKAGE_NAME\s*=\s*(\w+)", line)
            if m:
                package_name = m.group(1)
        m = DEC_GUID_LINE.match(line)
        if not m:
            continue
        tail = [int(b, 16) for b in m.group(5).split(",")]
        if len(tail) != 8:
            raise PackageError(f"{dec_path}: {m.group(1)} does not have eight trailing bytes")
        guids[m.group(1)] = struct.pack("<IHH", *(int(m.group(i), 16) for i in (2, 3, 4))) + bytes(tail)
    if package_name is None:
        raise PackageError(f"{dec_path}: no PACKAGE_NAME")
    return package_name, guids


def registry_format(guid_bytes):
    return "{" + str(uuid.UUID(bytes_le=guid_bytes)).upper() + "}"


def parse_depex(expression, dec_guids):
    """The manifest's expression is a conjunction of protocol names: `gA AND gB ...`."""
    tokens = expression.split()
    names = tokens[0::2]
    if not tokens or any(t != "AND" for t in tokens[1::2]) or len(tokens) % 2 == 0:
        raise PackageError(f"depex '{expression}': expected protocol names joined by AND")
    for name in names:
        if name not in dec_guids:
            raise PackageError(f"depex names {name}, which the DEC does not declare")
    return names


def encode_depex(names, dec_guids):
    """Postfix, as EDK II's GenDepex emits it: PUSH a, PUSH b, AND, PUSH c, AND, ..., END."""
    code = bytearray()
    for index, name in enumerate(names):
        code += bytes([DEPEX_PUSH]) + dec_guids[name]
        if index > 0:
            code.append(DEPEX_AND)
    code.append(DEPEX_END)
    return bytes(code)


def depex_listing(names, dec_guids):
    lines = []
    for index, name in enumerate(names):
        lines.append(f"PUSH {registry_format(dec_guids[name])}  {name}")
        if index > 0:
            lines.append("AND")
    lines.append("END")
    return lines


def render_inf(name, module, package_name, version, depex_names, dec_guids, patch_pcds=()):
    module_type = module["module_type"]
    out = [
        "## @file",
        f"#  {name}: prebuilt binary module of {package_name}.",
        "#",
        "# DO NOT EDIT",
        "# FILE auto-generated",
        "##",
        "",
        "[Defines]",
        f"  INF_VERSION                = {INF_VERSION}",
        f"  BASE_NAME                  = {name}",
        f"  FILE_GUID                  = {module['file_guid'].upper()}",
        f"  MODULE_TYPE                = {module_type}",
        f"  VERSION_STRING             = {version}",
        "",
        f"[Packages.{ARCH}]",
        "  MdePkg/MdePkg.dec",
    ]
    if depex_names:
        out.append(f"  {package_name}/{package_name}.dec")
    out += ["", f"[Binaries.{ARCH}]", f"  PE32|{name}.efi"]
    if depex_names:
        out.append(f"  DXE_DEPEX|{name}.depex")
    if patch_pcds:
        # <TokenSpace>.<PcdName>|<value>|<file offset in the .efi>: GenFds patches a copy of the
        # image there when the platform DSC sets another value.
        out += ["", f"[PatchPcd.{ARCH}]"] + [f"  {line}" for line in patch_pcds]
    if depex_names:
        out += ["", f"[Protocols.{ARCH}]"]
        out += [f"  {n:<44}## CONSUMES" for n in dict.fromkeys(depex_names)]
        out += ["", f"[Depex.{ARCH}.{module_type}]", "#  " + " AND ".join(depex_names), "#",
                f"#  {name}.depex, PI dependency-expression opcodes:"]
        out += [f"#    {line}" for line in depex_listing(depex_names, dec_guids)]
    else:
        out += ["", f"# {module_type}: no dependency expression; the DXE dispatcher starts it once",
                "# every architectural protocol is installed."]
    return "\n".join(out) + "\n"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--manifest", required=True)
    parser.add_argument("--dec", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--patch-pcd")
    parser.add_argument("--out", required=True)
    parser.add_argument("name")
    args = parser.parse_args(argv)

    manifest = configparser.ConfigParser(interpolation=None)
    manifest.read(args.manifest, encoding="utf-8")
    if not manifest.has_section(args.name):
        raise PackageError(f"{args.manifest}: no module [{args.name}]")
    module = manifest[args.name]
    for key in ("file_guid", "module_type"):
        if key not in module:
            raise PackageError(f"{args.manifest}: [{args.name}] lacks {key}")
    uuid.UUID(module["file_guid"])  # rejects a malformed GUID before it reaches a platform tree
    package_name, dec_guids = read_dec(args.dec)
    version = manifest.get("package", "version")

    depex_names = []
    if module["module_type"] == "DXE_DRIVER":
        depex_names = parse_depex(module.get("depex", ""), dec_guids)
    elif "depex" in module:
        raise PackageError(f"[{args.name}]: only a DXE_DRIVER carries a depex")

    patch_pcds = []
    if args.patch_pcd:
        patch_pcds = [line.strip() for line in Path(args.patch_pcd).read_text(encoding="utf-8").splitlines()
                      if line.strip()]
        for line in patch_pcds:
            if not re.fullmatch(r"[\w.]+\|(0x[0-9A-Fa-f]+|\{0x[0-9A-Fa-f]{2}(, 0x[0-9A-Fa-f]{2})*\})\|0x[0-9A-Fa-f]+", line):
                raise PackageError(f"{args.patch_pcd}: not a [PatchPcd] line: {line!r}")
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(args.image, out / f"{args.name}.efi")
    depex_path = out / f"{args.name}.depex"
    if depex_names:
        depex_path.write_bytes(encode_depex(depex_names, dec_guids))
    elif depex_path.exists():
        depex_path.unlink()
    (out / f"{args.name}.inf").write_text(
        render_inf(args.name, module, package_name, version, depex_names, dec_guids, patch_pcds),
        encoding="utf-8")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (PackageError, OSError, ValueError, configparser.Error) as error:
        print(f"package_module.py: {error}", file=sys.stderr)
        sys.exit(1)
