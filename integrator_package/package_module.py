#!/usr/bin/env python3
"""Lays out one driver as a binary module of the integrator package: the image, a binary .inf
in the form EDK II writes for prebuilt ("as-built") modules, and, when the manifest gives a
DXE_DRIVER one, its dependency expression as PI opcodes (.depex).

Usage: integrator_package/package_module.py --manifest modules.ini --dec PlatformGuardsPkg.dec
           --image <name>.efi [--map <name>.map] --out <dir> <name>
The module's patchable PCDs (patch_pcds in the manifest) are found in lld-link's map (--map) and
listed in the INF's [PatchPcd.X64] section with their file offsets; the value each offset holds
must be the DEC's default, so that the image and the package declare the same value.
"""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import argparse
import configparser
import re
import shutil
import struct
import sys
import uuid
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
import patch_pcd  # noqa: E402

# The INF format's version that EDK II 2022.11's newest modules declare, and the UEFI and PI
# versions the modules need: UEFI 2.0 (event groups through CreateEventEx) and PI 1.0 (the DXE
# dependency expression).
INF_VERSION = "0x0001001B"
UEFI_SPECIFICATION_VERSION = "0x00020000"
PI_SPECIFICATION_VERSION = "0x00010000"
ARCH = "X64"
# Sizes of the PCD types a patchable PCD of this package may have.
PCD_TYPE_SIZES = {"UINT8": 1, "UINT16": 2, "UINT32": 4, "UINT64": 8, "BOOLEAN": 1}

# PI dependency-expression opcodes.
DEPEX_PUSH = 0x02
DEPEX_AND = 0x03
DEPEX_END = 0x08

DEC_PCD_LINE = re.compile(r"^\s*(\w+)\.(\w+)\|(\w+|\{[^}]*\})\|(\w+\*?)\|(0x[0-9A-Fa-f]+)\s*$")
# One item of a VOID* PCD's byte-array value: UINT8(..) to UINT64(..), or a byte.
ARRAY_ITEM = re.compile(r"^(?:UINT(8|16|32|64)\((\w+)\)|(\w+))$")
DEC_GUID_LINE = re.compile(
    r"^\s*(\w+)\s*=\s*\{\s*(0x[0-9A-Fa-f]+)\s*,\s*(0x[0-9A-Fa-f]+)\s*,\s*(0x[0-9A-Fa-f]+)\s*,"
    r"\s*\{([^}]*)\}\s*\}")


class PackageError(Exception):
    pass


def array_bytes(text):
    """The bytes of a byte-array value as a DEC or DSC writes it: {UINT32(0x0C717E2D), 0x03}."""
    out = b""
    for item in text.strip().strip("{}").split(","):
        m = ARRAY_ITEM.match(item.strip())
        if not m:
            raise PackageError(f"not an item of a byte array: {item.strip()!r}")
        width = int(m.group(1)) // 8 if m.group(1) else 1
        out += int(m.group(2) or m.group(3), 0).to_bytes(width, "little")
    return out


def read_dec_pcds(dec_path):
    """{PCD name: (token space, default, type)} for the DEC's [PcdsPatchableInModule] lines; a
    VOID* default is its bytes, any other an integer."""
    pcds = {}
    section = None
    for line in Path(dec_path).read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if line.startswith("["):
            section = line.strip("[]").split(".")[0]
            continue
        m = DEC_PCD_LINE.match(line)
        if section == "PcdsPatchableInModule" and m:
            if m.group(4) == "VOID*":
                pcds[m.group(2)] = (m.group(1), array_bytes(m.group(3)), m.group(4))
                continue
            if m.group(4) not in PCD_TYPE_SIZES:
                raise PackageError(f"{dec_path}: {m.group(2)} has type {m.group(4)}, not one of "
                                   f"{', '.join(PCD_TYPE_SIZES)}, VOID*")
            pcds[m.group(2)] = (m.group(1), int(m.group(3), 0), m.group(4))
    return pcds


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


def render_inf(name, module, package_name, version, depex_names, dec_guids, patch_pcds=(),
               uses=None):
    """uses: {"protocols": [...], "sometimes_protocols": [...], "produces": [...], "guids": [...],
    "debug_protocols": [...], "debug_guids": [...]}
    beside the depex names."""
    uses = uses or {}
    module_type = module["module_type"]
    out = [
        "## @file",
        f"#  {name}: prebuilt binary module of {package_name}.",
        "#",
        "#  SPDX-License-Identifier: BSD-2-Clause-Patent",
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
        f"  UEFI_SPECIFICATION_VERSION = {UEFI_SPECIFICATION_VERSION}",
        f"  PI_SPECIFICATION_VERSION   = {PI_SPECIFICATION_VERSION}",
        "",
        f"[Packages.{ARCH}]",
        "  MdePkg/MdePkg.dec",
    ]
    # The debug record's data type is MdeModulePkg's (gEfiStatusCodeDataTypeDebugGuid).
    if uses.get("debug_guids"):
        out.append("  MdeModulePkg/MdeModulePkg.dec")
    out.append(f"  {package_name}/{package_name}.dec")
    out += ["", f"[Binaries.{ARCH}]", f"  PE32|{name}.efi"]
    if depex_names:
        out.append(f"  DXE_DEPEX|{name}.depex")
    if patch_pcds:
        # <TokenSpace>.<PcdName>|<value>|<file offset in the .efi>: GenFds patches a copy of the
        # image there when the platform DSC sets another value.
        out += ["", f"[PatchPcd.{ARCH}]"] + [f"  {line}" for line in patch_pcds]
    protocols = [(n, "CONSUMES") for n in dict.fromkeys(depex_names)]
    protocols += [(n, "CONSUMES") for n in uses.get("protocols", []) if n not in depex_names]
    protocols += [(n, "PRODUCES") for n in uses.get("produces", [])]
    protocols += [(n, "SOMETIMES_CONSUMES")
                  for n in uses.get("sometimes_protocols", []) + uses.get("debug_protocols", [])]
    if protocols:
        out += ["", f"[Protocols.{ARCH}]"] + [f"  {n:<44}## {usage}" for n, usage in protocols]
    guids = [(n, "CONSUMES") for n in uses.get("guids", [])]
    guids += [(n, "SOMETIMES_PRODUCES") for n in uses.get("debug_guids", [])]
    if guids:
        out += ["", f"[Guids.{ARCH}]"] + [f"  {n:<44}## {usage}" for n, usage in guids]
    if depex_names:
        out += ["", f"[Depex.{ARCH}.{module_type}]", "#  " + " AND ".join(depex_names), "#",
                f"#  {name}.depex, PI dependency-expression opcodes:"]
        out += [f"#    {line}" for line in depex_listing(depex_names, dec_guids)]
    else:
        out += ["", f"# {module_type}: no dependency expression; the DXE dispatcher starts it once",
                "# every architectural protocol is installed."]
    return "\n".join(out) + "\n"


def located_pcds(module_name, module, dec_path, image, map_path):
    """The module's [PatchPcd] lines, each checked against the DEC's declaration."""
    names = module.get("patch_pcds", "").split()
    if not names:
        return []
    if map_path is None:
        raise PackageError(f"[{module_name}] has patchable PCDs: give the image's map (--map)")
    declared = read_dec_pcds(dec_path)
    map_text = Path(map_path).read_text(encoding="utf-8", errors="replace")
    lines = []
    for entry in names:
        name, _, reserved = entry.partition(":")
        if name not in declared:
            raise PackageError(f"[{module_name}] patches {name}, which the DEC's "
                               "[PcdsPatchableInModule] does not declare")
        space, default, kind = declared[name]
        if (kind == "VOID*") != bool(reserved):
            raise PackageError(f"[{module_name}] {entry}: a VOID* PCD, and only one, names the "
                               "bytes its image reserves (Name:bytes)")
        if kind == "VOID*":
            size = int(reserved, 0)
            if len(default) > size:
                raise PackageError(f"{name}: the DEC's default takes {len(default)} bytes, the "
                                   f"image reserves {size}")
            (line,) = patch_pcd.locate_lines(image, map_text, [f"{space}.{name}"], size, array=True)
            value = array_bytes(line.split("|")[1])
            if value != default.ljust(size, b"\0"):
                raise PackageError(f"{image}: {name} holds {value.hex()}, the DEC declares "
                                   f"{default.hex()} and zeros after it")
        else:
            (line,) = patch_pcd.locate_lines(image, map_text, [f"{space}.{name}"],
                                             PCD_TYPE_SIZES[kind])
            value = int(line.split("|")[1], 16)
            if value != default:
                raise PackageError(f"{image}: {name} holds 0x{value:X}, the DEC declares "
                                   f"0x{default:X}")
        lines.append(line)
    return lines


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--manifest", required=True)
    parser.add_argument("--dec", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--map")
    parser.add_argument("--debug-image", action="store_true",
                        help="the image is a DEBUG one: its INF also lists the package's "
                             "debug_protocols and debug_guids")
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
    if "depex" in module:
        if module["module_type"] != "DXE_DRIVER":
            raise PackageError(f"[{args.name}]: only a DXE_DRIVER carries a depex")
        depex_names = parse_depex(module["depex"], dec_guids)

    patch_pcds = located_pcds(args.name, module, args.dec, args.image, args.map)
    uses = {key: module.get(key, "").split()
            for key in ("protocols", "sometimes_protocols", "produces", "guids")}
    if args.debug_image:
        uses["debug_protocols"] = manifest.get("package", "debug_protocols", fallback="").split()
        uses["debug_guids"] = manifest.get("package", "debug_guids", fallback="").split()
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(args.image, out / f"{args.name}.efi")
    depex_path = out / f"{args.name}.depex"
    if depex_names:
        depex_path.write_bytes(encode_depex(depex_names, dec_guids))
    elif depex_path.exists():
        depex_path.unlink()
    (out / f"{args.name}.inf").write_text(
        render_inf(args.name, module, package_name, version, depex_names, dec_guids, patch_pcds,
                   uses),
        encoding="utf-8")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (PackageError, patch_pcd.PatchError, OSError, ValueError, configparser.Error) as error:
        print(f"package_module.py: {error}", file=sys.stderr)
        sys.exit(1)
