#!/usr/bin/env python3
"""Builds the emulated board's firmware the way an integrator builds a platform: Debian's EDK II
source (the tree Debian builds its OVMF from), its BaseTools, OVMF's DSC and FDF with the
integrator package added exactly as the integrator steps of docs/integration.md say, and EDK
II's own build.

Firmware images written to OUT/firmware/<variant>/ (OVMF_CODE.fd and OVMF_VARS.fd):
  board           EDK II's build (RELEASE) of OVMF with the package and the board support
                  module, without OVMF's network stack
  no_board        board less the board module (its file padded over by FMMT -r)
  board_debug     board built with -b DEBUG, OVMF's and the drivers' lines on the serial port
  no_board_debug  board_debug less the board module, as no_board
  sku             board with the SKU's DSC line (integrator step dsc-sku), built in board's
                  output directory
  fmmt            Debian's prebuilt OVMF with the package's and the board module's files added
                  by FMMT

--variant NAME (repeatable) makes only those variants (and the one each starts from: board, or
board_debug for no_board_debug); without it, every variant. Each stage prints the time it took
as it ends.

The source is fetched and extracted once into OUT/edk2 (cached with BaseTools built); a variant
is rebuilt only when what goes into it changed. BaseTools stay exactly as Debian's source has
them: before every build, BaseTools/Source/Python is compared file by file with the same folder
read out of Debian's source package (the upstream tarball with Debian's patches), and the build
stops on any difference. Exit status: 0 built, 1 failed (the reason on
stderr), 77 Debian's source archive could not be reached (one line says why).

Usage: board/board_firmware.py --package DIR --images DIR --integration FILE --board-module DIR
                               --out DIR [--variant NAME]...
"""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
from pathlib import Path

SKIP = 77
SOURCE_PACKAGE = "edk2"
# The one change made to Debian's tree, and it concerns the emulated board's shell, not the
# package: Debian's patch that disables the shell when Secure Boot is enabled needs
# SecureBootVariableLib, which OVMF's DSC does not provide without Secure Boot, so OVMF's build
# stops on it. It touches ShellPkg only; BaseTools are left as Debian ships them (checked below).
PATCHES_TO_REVERSE = ["Disable-the-Shell-when-SecureBoot-is-enabled.patch"]
# The part of BaseTools that EDK II's build runs from source, compared with Debian's source
# package before every build. Python's byte-code caches are not part of the source.
BASE_TOOLS_PYTHON = "BaseTools/Source/Python"
PLATFORM_DSC = "OvmfPkg/OvmfPkgX64.dsc"
PLATFORM_FDF = "OvmfPkg/OvmfPkgX64.fdf"
DXE_VOLUME = "FV.DXEFV"
# The DXE volume's FvNameGuid in OVMF's FDF: where FMMT adds the firmware files.
DXE_VOLUME_GUID = "7CB8BDC9-F8EB-4F34-AAEA-3EE4AF6516A1"
PACKAGE_NAME = "PlatformGuardsPkg"
BOARD_PACKAGE = "EmulatedBoardPkg"
BOARD_MODULE_INF = f"{BOARD_PACKAGE}/board_support/board_support.inf"
TOOL_CHAIN = "GCC5"
TARGET = "RELEASE"
DEBUG_TARGET = "DEBUG"
# OVMF's DEBUG build sends DebugLib's lines to QEMU's debug console (I/O port 0x402) unless
# DEBUG_ON_SERIAL_PORT is defined, and its status-code handler keeps status codes in memory only
# (PcdStatusCodeUseSerial FALSE). The bring-up variant turns both to the serial port, where the
# serial worker prints a status code's ASCII string data as it comes.
DEBUG_DEFINES = ["-D", "DEBUG_ON_SERIAL_PORT=TRUE"]
# Every variant EDK II builds leaves OVMF's network stack out: the emulated board boots from its
# disk and shell, its network controllers have no option ROM, and no scenario boots from the
# network. Without it, the iSCSI driver's OpenSSL goes too: a third fewer compiles.
PLATFORM_DEFINES = ["-D", "NETWORK_ENABLE=FALSE"]
STATUS_CODE_SERIAL_PCD = "gEfiMdeModulePkgTokenSpaceGuid.PcdStatusCodeUseSerial"
PREBUILT_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
PREBUILT_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"
# The configuration window: two patchable PCDs of the wireless-LAN guard's binary module, which
# GenFds patches to the values the DSC sets (the integrator DSC step sets q35's 256 MiB at
# 0xB0000000), each 8 bytes.
WINDOW_PCDS = ("gPlatformGuardsPkgTokenSpaceGuid.PcdPciExpressWindowBase",
               "gPlatformGuardsPkgTokenSpaceGuid.PcdPciExpressWindowSize")
WLAN_MODULE = "wlan_slot_guard"
# The DSC step's wireless-WAN guard line, which the SKU variant replaces.
WWAN_DSC_LINE = "  PlatformGuardsPkg/wwan_port_guard/$(TARGET)/wwan_port_guard.inf\n"
EFI_SECTION_PE32 = 0x10
EFI_SECTION_RAW = 0x19
EFI_FV_FILETYPE_FFS_PAD = 0xF0
# Every variant, in the order they are made: each after the one it starts from.
VARIANTS = ("board", "sku", "no_board", "board_debug", "no_board_debug", "fmmt")
# The variants made by padding over the board module's firmware file in another variant's image:
# {variant: (the variant whose image it starts from, the package's target in that image)}.
WITHOUT_BOARD = {"no_board": ("board", TARGET), "no_board_debug": ("board_debug", DEBUG_TARGET)}
# The variant each derived one starts from (its build or its image).
STARTS_FROM = dict({"sku": "board", "fmmt": "board"},
                   **{name: source for name, (source, _) in WITHOUT_BOARD.items()})
STEP_MARK = re.compile(r"^\s*<!-- integrator-step: ([\w-]+(?: \w+)?) -->\s*$")


class Failure(Exception):
    """The build failed; the message is the one-line reason."""


class Unreachable(Exception):
    """Debian's source archive could not be reached."""


def run(command, log, **kwargs):
    """Runs command with its output appended to log; Failure naming the log when it fails."""
    with open(log, "ab") as output:
        output.write(("\n$ " + " ".join(str(c) for c in command) + "\n").encode())
        output.flush()
        result = subprocess.run(command, stdout=output, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, **kwargs)
    if result.returncode != 0:
        tail = log.read_text(errors="replace").strip().splitlines()[-3:]
        raise Failure(f"{Path(str(command[0])).name} failed (status {result.returncode}); "
                      f"see {log}: {' | '.join(tail)}")


# --- the integrator steps, read from the integrators' text ---------------------------------------

def integrator_steps(text):
    """{step name: block text} for every fenced block the integrators' text (docs/integration.md)
    marks as an integrator step."""
    steps = {}
    lines = text.read_text(encoding="utf-8").splitlines()
    index = 0
    while index < len(lines):
        mark = STEP_MARK.match(lines[index])
        index += 1
        if not mark:
            continue
        if index >= len(lines) or lines[index].strip() != "```":
            raise Failure(f"{text}: integrator step {mark.group(1)!r} is not followed by a "
                          "fenced block")
        indent = len(lines[index]) - len(lines[index].lstrip())
        block = []
        index += 1
        while index < len(lines) and lines[index].strip() != "```":
            block.append(lines[index][indent:])
            index += 1
        if index == len(lines):
            raise Failure(f"{text}: integrator step {mark.group(1)!r} has no closing fence")
        steps[mark.group(1)] = "\n".join(block) + "\n"
    for needed in ("dsc", "fdf-volume", "fdf-rule DXE_DRIVER", "fdf-rule UEFI_DRIVER"):
        if needed not in steps:
            raise Failure(f"{text}: no integrator step {needed!r}")
    return steps


def section_bounds(text, header):
    """(start, end) of the section [header] in an EDK II description file: end is where the
    next section starts (or the end of the text)."""
    match = re.search(rf"^\[{re.escape(header)}\][ \t]*$", text, re.MULTILINE)
    if match is None:
        return None
    following = re.compile(r"^\[", re.MULTILINE).search(text, match.end())
    return match.start(), following.start() if following else len(text)


def integrate(dsc, fdf, steps, board_module):
    """OVMF's DSC and FDF with the integrator steps applied (and the board module added when
    board_module): the components appended to the DSC, the package's INF lines at the end of the
    DXE volume, and each binary-module rule the FDF lacks."""
    dsc += "\n" + steps["dsc"]
    if board_module:
        dsc += f"\n[Components.X64]\n  {BOARD_MODULE_INF}\n"
    bounds = section_bounds(fdf, DXE_VOLUME)
    if bounds is None:
        raise Failure(f"the FDF has no [{DXE_VOLUME}] section")
    volume_lines = steps["fdf-volume"]
    if board_module:
        volume_lines += f"INF {BOARD_MODULE_INF}\n"
    fdf = fdf[:bounds[1]] + volume_lines + "\n" + fdf[bounds[1]:]
    for module_type in ("DXE_DRIVER", "UEFI_DRIVER"):
        if section_bounds(fdf, f"Rule.Common.{module_type}.BINARY") is None:
            fdf += "\n" + steps[f"fdf-rule {module_type}"]
    return dsc, fdf


# --- Debian's EDK II source --------------------------------------------------------------------

def machine_archives():
    """The machine's Debian 'deb' entries as (URI, suite, components, signed-by) tuples, from
    both the one-line and the deb822 source formats."""
    entries = []
    listing = [Path("/etc/apt/sources.list")] + sorted(Path("/etc/apt/sources.list.d").glob("*"))
    for path in listing:
        if not path.is_file():
            continue
        text = path.read_text(errors="replace")
        if path.suffix == ".sources":
            for stanza in re.split(r"\n\s*\n", text):
                fields = {}
                for line in stanza.splitlines():
                    if line.startswith("#") or ":" not in line:
                        continue
                    key, value = line.split(":", 1)
                    fields[key.strip().lower()] = value.strip()
                if "deb" not in fields.get("types", "").split():
                    continue
                if fields.get("enabled", "yes").lower() == "no":
                    continue
                for uri in fields.get("uris", "").split():
                    for suite in fields.get("suites", "").split():
                        entries.append((uri, suite, fields.get("components", ""),
                                        fields.get("signed-by", "")))
        elif path.suffix == ".list":
            for line in text.splitlines():
                words = line.split("#", 1)[0].split()
                if len(words) < 3 or words[0] != "deb":
                    continue
                options = ""
                if words[1].startswith("["):
                    while not words[1].endswith("]"):
                        options += words.pop(1) + " "
                    options += words.pop(1)
                signed = re.search(r"signed-by=(\S+?)\]?(?:\s|$)", options)
                entries.append((words[1], words[2], " ".join(words[3:]),
                                signed.group(1) if signed else ""))
    return [entry for entry in entries if "debian" in entry[0]]


def installed_ovmf_version():
    """The version of the installed ovmf package (its firmware is built from that edk2 source),
    or None."""
    result = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "ovmf"],
                            capture_output=True, text=True)
    return result.stdout.strip() if result.returncode == 0 and result.stdout.strip() else None


def fetch_source(out, log):
    """Downloads edk2's Debian source package into OUT/apt/download with a private apt
    configuration (the machine's own is left as it is); returns the .dsc path."""
    apt = out / "apt"
    lists = apt / "lists"
    (lists / "partial").mkdir(parents=True, exist_ok=True)
    download = apt / "download"
    if download.exists():
        shutil.rmtree(download)
    download.mkdir(parents=True)
    archives = machine_archives()
    if not archives:
        raise Failure("no Debian 'deb' entry in the machine's apt sources to take the source from")
    lines = []
    for uri, suite, components, signed_by in archives:
        option = f"[signed-by={signed_by}] " if signed_by else ""
        lines.append(f"deb-src {option}{uri} {suite} {components}")
    (apt / "sources.list").write_text("\n".join(lines) + "\n")
    options = ["-o", f"Dir::Etc::sourcelist={apt / 'sources.list'}",
               "-o", "Dir::Etc::sourceparts=-", "-o", f"Dir::State::Lists={lists}",
               "-o", "APT::Sandbox::User=root"]
    try:
        run(["apt-get", *options, "--error-on=any", "update"], log)
        # The installed OVMF's own source when the archive still has it, else the newest.
        version = installed_ovmf_version()
        try:
            run(["apt-get", *options, "source", "--download-only",
                 f"{SOURCE_PACKAGE}={version}" if version else SOURCE_PACKAGE], log, cwd=download)
        except Failure:
            if version is None:
                raise
            run(["apt-get", *options, "source", "--download-only", SOURCE_PACKAGE], log,
                cwd=download)
    except Failure:
        complaints = [line for line in log.read_text(errors="replace").splitlines()
                      if line.startswith(("W:", "E:"))]
        reason = complaints[0] if complaints else "apt-get failed"
        raise Unreachable(f"Debian's source archive could not be reached: {reason} "
                          f"(see {log})")
    descriptions = sorted(download.glob(f"{SOURCE_PACKAGE}_*.dsc"))
    if not descriptions:
        raise Unreachable("apt-get source left no .dsc")
    return descriptions[-1]


class Stage:
    """Prints the time a stage took as it ends: `== NAME: M min SS s (what)`."""

    def __init__(self, name):
        self.name = name
        self.what = ""

    def __enter__(self):
        self.started = time.monotonic()
        return self

    def __exit__(self, kind, _value, _traceback):
        if kind is None:
            seconds = round(time.monotonic() - self.started)
            print(f"== {self.name}: {seconds // 60} min {seconds % 60:02d} s"
                  + (f" ({self.what})" if self.what else ""), flush=True)


def prepare_source(out, log):
    """OUT/edk2: Debian's EDK II tree with BaseTools' C tools built, extracted and built once.
    (BaseTools' Python tools run from source; their self-tests are not run.)"""
    tree = out / "edk2"
    ready = tree / ".prepared"
    if ready.is_file():
        return tree
    with Stage("fetch") as stage:
        description = fetch_source(out, log)
        if tree.exists():
            shutil.rmtree(tree)
        run(["dpkg-source", "--no-check", "-x", str(description), str(tree)], log)
        for patch in PATCHES_TO_REVERSE:
            reverse_patch(tree, tree / "debian" / "patches" / patch, log)
        stage.what = f"{description.name} downloaded and extracted"
    with Stage("BaseTools") as stage:
        run(["make", "-C", "BaseTools/Source/C", "-j2"], log, cwd=tree)
        stage.what = "C tools built"
    ready.write_text(description.name + "\n")
    return tree


def source_package(out, tree, log):
    """{'dsc', 'orig', 'debian'}: the source package the tree was extracted from (the .dsc that
    OUT/edk2/.prepared names), in OUT/apt/download, fetched again when it is not there; each
    tarball checked against the .dsc's SHA-256."""
    name = (tree / ".prepared").read_text().split()[0]
    description = out / "apt" / "download" / name
    if not description.is_file():
        description = fetch_source(out, log)
        if description.name != name:
            raise Failure(f"the EDK II tree was extracted from {name}, the archive now has "
                          f"{description.name}; remove {tree} to extract the new one")
    text = description.read_text(errors="replace")
    block = re.search(r"^Checksums-Sha256:\n((?:[ \t].*\n?)+)", text, re.MULTILINE)
    if block is None:
        raise Failure(f"{description} lists no SHA-256 checksums")
    files = {}
    for line in block.group(1).splitlines():
        digest_text, _, file_name = line.split()
        path = description.parent / file_name
        if hashlib.sha256(path.read_bytes()).hexdigest() != digest_text:
            raise Failure(f"{path} does not match the SHA-256 its .dsc lists")
        kind = "orig" if ".orig.tar." in file_name else "debian" if ".debian.tar." in file_name else None
        if kind:
            files[kind] = path
    if set(files) != {"orig", "debian"}:
        raise Failure(f"{description} does not name an upstream and a Debian tarball")
    return dict(files, dsc=description)


def patches_touching(debian_tarball, prefix):
    """[(patch name, per-file diffs)] of Debian's series, in order, keeping only the file diffs
    whose target lies under prefix."""
    with tarfile.open(debian_tarball) as tar:
        series = tar.extractfile("debian/patches/series").read().decode().split("\n")
        touching = []
        for name in (line.split("#", 1)[0].strip() for line in series):
            if not name:
                continue
            text = tar.extractfile(f"debian/patches/{name}").read().decode(errors="replace")
            diffs = re.split(r"(?m)^(?=--- )", text)[1:]
            kept = [d for d in diffs
                    if re.match(rf"--- .*\n\+\+\+ [^/\s]+/{re.escape(prefix)}/", d)]
            if kept:
                touching.append((name, "".join(kept)))
    return touching


def python_files(root):
    """{relative path: SHA-256} of the files under root, byte-code caches left out."""
    return {path.relative_to(root).as_posix(): hashlib.sha256(path.read_bytes()).hexdigest()
            for path in sorted(root.rglob("*"))
            if path.is_file() and "__pycache__" not in path.parts and path.suffix != ".pyc"}


def check_base_tools(out, tree, log):
    """Compares BaseTools/Source/Python of the tree with the same folder as Debian's source
    package has it (read from the upstream tarball, Debian's patches that touch it applied);
    returns (file count, digest of the file list, .dsc name, names of the patches applied), or
    Failure naming the files that differ."""
    package = source_package(out, tree, log)
    with tempfile.TemporaryDirectory() as scratch:
        scratch = Path(scratch)
        with tarfile.open(package["orig"]) as tar:
            members = []
            for member in tar:
                parts = member.name.split("/", 1)
                if len(parts) == 2 and parts[1].startswith(BASE_TOOLS_PYTHON + "/"):
                    member.name = parts[1]
                    members.append(member)
            tar.extractall(scratch, members=members)
        patches = patches_touching(package["debian"], BASE_TOOLS_PYTHON)
        for name, diff in patches:
            result = subprocess.run(["patch", "-p1", "-s", "--no-backup-if-mismatch"],
                                    cwd=scratch, input=diff.encode(), capture_output=True)
            if result.returncode != 0:
                raise Failure(f"Debian's {name} does not apply to the upstream {BASE_TOOLS_PYTHON}")
        expected = python_files(scratch / BASE_TOOLS_PYTHON)
    found = python_files(tree / BASE_TOOLS_PYTHON)
    if not expected:
        raise Failure(f"{package['orig'].name} holds no {BASE_TOOLS_PYTHON}")
    changed = sorted(p for p in expected.keys() & found.keys() if expected[p] != found[p])
    missing = sorted(expected.keys() - found.keys())
    added = sorted(found.keys() - expected.keys())
    if changed or missing or added:
        listing = "; ".join(f"{label}: {', '.join(paths[:5])}" + (" ..." if len(paths) > 5 else "")
                            for label, paths in (("changed", changed), ("missing", missing),
                                                 ("added", added)) if paths)
        raise Failure(f"{tree / BASE_TOOLS_PYTHON} is not Debian's ({listing}); remove {tree} "
                      "to extract it again")
    digest_all = hashlib.sha256("".join(f"{h}  {p}\n" for p, h in sorted(found.items()))
                                .encode()).hexdigest()
    return len(found), digest_all, package["dsc"].name, [name for name, _ in patches]


def reverse_patch(tree, patch, log):
    """Takes one of Debian's patches back out of the extracted tree."""
    with open(patch, "rb") as diff, open(log, "ab") as output:
        result = subprocess.run(["patch", "-R", "-p1", "-s"], cwd=tree, stdin=diff,
                                stdout=output, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        raise Failure(f"could not reverse {patch.name} in the EDK II tree; see {log}")


# --- the platform build ------------------------------------------------------------------------

def edk2_environment(tree, workspace, packages):
    conf = workspace / "Conf"
    conf.mkdir(parents=True, exist_ok=True)
    for name in ("target", "tools_def", "build_rule"):
        template = tree / "BaseTools" / "Conf" / f"{name}.template"
        target = conf / f"{name}.txt"
        if not target.is_file() or target.read_bytes() != template.read_bytes():
            shutil.copyfile(template, target)
    env = dict(os.environ)
    env.update(WORKSPACE=str(workspace), PACKAGES_PATH=f"{tree}:{packages}",
               EDK_TOOLS_PATH=str(tree / "BaseTools"), CONF_PATH=str(conf),
               PYTHON_COMMAND="/usr/bin/python3")
    env.pop("PYTHONPATH", None)
    # EDK II's build starts BaseTools' Python tools again for every module: with byte-code caches
    # (which the BaseTools check leaves out) each start no longer compiles them anew.
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    return env


def edk2_tool(tree, env, command, log, cwd=None):
    """Runs an EDK II BaseTools command with edksetup.sh's environment."""
    script = 'cd "$EDK2_TREE" && . ./edksetup.sh BaseTools >/dev/null && cd "$EDK2_CWD" && "$@"'
    run(["bash", "-c", script, "edk2", *command], log,
        env=dict(env, EDK2_TREE=str(tree), EDK2_CWD=str(cwd or tree)))


def lay_out_packages(packages, package_dir, images, board_module):
    """OUT/packages: the integrator package as the build left it and the emulated board's
    module."""
    if packages.exists():
        shutil.rmtree(packages)
    shutil.copytree(package_dir, packages / PACKAGE_NAME)
    board = packages / BOARD_PACKAGE
    (board / "board_support").mkdir(parents=True)
    shutil.copyfile(board_module / f"{BOARD_PACKAGE}.dec", board / f"{BOARD_PACKAGE}.dec")
    shutil.copyfile(board_module / "board_support.inf", board / "board_support" / "board_support.inf")
    shutil.copyfile(images / "board_support.efi", board / "board_support" / "board_support.efi")


def pcd_value(text, name):
    """The last value a DSC gives the PCD name (as an integer), or None."""
    values = re.findall(rf"^\s*{re.escape(name)}\|(0x[0-9A-Fa-f]+|\d+)\s*(?:#.*)?$", text,
                        re.MULTILINE)
    return int(values[-1], 0) if values else None


def check_window_patched(built, package_inf, dsc):
    """The wireless-LAN guard's firmware file in the built volume must carry the platform's
    window at the INF's patch offsets: EDK II's GenFds patches them from the DSC's PCDs. Returns
    {PCD: value}."""
    inf = package_inf.read_text()
    files = sorted(built.glob(f"Ffs/*{WLAN_MODULE}/*.ffs"))
    if len(files) != 1:
        raise Failure(f"the build left {len(files)} firmware files for {WLAN_MODULE}")
    data = files[0].read_bytes()
    image = None
    position = 0x18  # past the firmware-file header: the sections, each 4-byte aligned
    while position + 4 <= len(data) and image is None:
        size = int.from_bytes(data[position:position + 3], "little")
        if size < 4:
            break
        if data[position + 3] == EFI_SECTION_PE32:
            image = data[position + 4:position + size]
        position += (size + 3) & ~3
    if image is None:
        raise Failure(f"no PE32 section in {files[0]}")
    values = {}
    for pcd in WINDOW_PCDS:
        match = re.search(rf"^\s*{re.escape(pcd)}\|(0x[0-9A-Fa-f]+)\|(0x[0-9A-Fa-f]+)\s*$", inf,
                          re.MULTILINE)
        if match is None:
            raise Failure(f"{package_inf} lists no [PatchPcd] line for {pcd}")
        offset = int(match.group(2), 16)
        wanted = pcd_value(dsc, pcd)
        if wanted is None:
            raise Failure(f"the platform DSC sets no {pcd}")
        value = int.from_bytes(image[offset:offset + 8], "little")
        if value != wanted:
            raise Failure(f"{WLAN_MODULE} in the built volume holds 0x{value:X} at {pcd}'s "
                          f"offset 0x{offset:X}, not the platform's 0x{wanted:X}")
        values[pcd] = value
    return values


def digest(paths_and_texts):
    hasher = hashlib.sha256()
    for item in paths_and_texts:
        if isinstance(item, Path):
            for path in sorted(p for p in item.rglob("*") if p.is_file()) if item.is_dir() else [item]:
                hasher.update(str(path.relative_to(item.parent)).encode())
                hasher.update(path.read_bytes())
        else:
            hasher.update(item.encode())
    return hasher.hexdigest()


def status_codes_on_serial(dsc):
    """OVMF's DSC with the status-code handler's serial output turned on."""
    dsc, count = re.subn(rf"^(\s*{re.escape(STATUS_CODE_SERIAL_PCD)}\|)FALSE\b", r"\g<1>TRUE",
                         dsc, flags=re.MULTILINE)
    if count != 1:
        raise Failure(f"the platform DSC sets {STATUS_CODE_SERIAL_PCD} to FALSE {count} times, "
                      "not once")
    return dsc


def sku_steps(steps):
    """The integrator steps of the SKU variant: the DSC step with its wireless-WAN guard line
    replaced by the integrator step's SKU line."""
    if "dsc-sku" not in steps:
        raise Failure("the integrators' text has no integrator step 'dsc-sku'")
    if steps["dsc"].count(WWAN_DSC_LINE) != 1:
        raise Failure("the integrator DSC step does not list the wireless-WAN guard on one line")
    return dict(steps, dsc=steps["dsc"].replace(WWAN_DSC_LINE, steps["dsc-sku"]))


def file_guid(inf):
    """The FILE_GUID an INF gives its module, upper case."""
    match = re.search(r"^\s*FILE_GUID\s*=\s*([0-9A-Fa-f-]{36})\s*$", inf.read_text(), re.MULTILINE)
    if match is None:
        raise Failure(f"{inf} names no FILE_GUID")
    return match.group(1).upper()


def pad_file(size):
    """A pad file of size bytes as GenFv writes one (all-ones name, no file checksum, state
    header-valid and data-valid, which FMMT turns to the volume's erase polarity), its data one raw
    section of erased bytes."""
    header = bytearray(b"\xff" * 16 + bytes([0, 0, EFI_FV_FILETYPE_FFS_PAD, 0])
                       + size.to_bytes(3, "little") + b"\x00")
    header[16] = -sum(header) & 0xFF  # the header checksum, taken with the state and file bytes 0
    header[17], header[23] = 0xAA, 0x07
    section = ((size - 24) | EFI_SECTION_RAW << 24).to_bytes(4, "little")
    return bytes(header) + section + b"\xff" * (size - 28)


def dxe_volume_size(listing):
    """The DXE volume's size in an upper-cased FMMT -v listing, or None."""
    match = re.search(rf"FVNAMEGUID: {DXE_VOLUME_GUID}\s+ATTRIBUTES: \S+\s+"
                      r"TOTAL VOLUME SIZE: (\S+)", listing)
    return match and match.group(1)


def up_to_date(destination, inputs):
    """True when destination holds a variant made from the same inputs."""
    stamp = destination / "inputs.sha256"
    return (stamp.is_file() and stamp.read_text().strip() == inputs
            and (destination / "OVMF_CODE.fd").is_file())


class Firmware:
    """Makes the firmware variants in OUT/firmware, each only when what goes into it changed
    since it was last made."""

    def __init__(self, out, tree, steps, env, packages, package_dir, log):
        self.out, self.tree, self.steps, self.env = out, tree, steps, env
        self.packages, self.package_dir, self.log = packages, package_dir, log
        self.firmware = out / "firmware"
        self.checked = False

    def base_tools_checked(self):
        """The BaseTools check, before the first variant this run makes."""
        if self.checked:
            return
        count, base_tools_digest, source_name, patched = check_base_tools(self.out, self.tree,
                                                                          self.log)
        origin = ("upstream tarball + " + ", ".join(patched) if patched
                  else "upstream tarball; none of Debian's patches touches it")
        print(f"board firmware: {BASE_TOOLS_PYTHON}: {count} files as in {source_name} ({origin})")
        print(f"board firmware: {BASE_TOOLS_PYTHON} unmodified, sha256 {base_tools_digest}")
        self.checked = True

    def tool_output(self, command, cwd):
        """Runs an EDK II tool as edk2_tool does; returns what it printed."""
        mark = self.log.stat().st_size
        edk2_tool(self.tree, self.env, command, self.log, cwd=cwd)
        with open(self.log, "rb") as log:
            log.seek(mark)
            return log.read().decode(errors="replace")

    def make(self, name):
        if name == "board":
            self.build("board", self.steps)
        elif name == "sku":
            self.build("sku", sku_steps(self.steps), output_of="board")
        elif name == "board_debug":
            self.build("board_debug", self.steps, target=DEBUG_TARGET)
        elif name in WITHOUT_BOARD:
            self.without_board_module(name)
        else:
            self.add_with_fmmt()

    def build(self, name, steps, target=TARGET, output_of=None):
        """One variant of the platform built by EDK II's build for target (in the output
        directory of the variant output_of when given, so that only the modules that differ are
        rebuilt before GenFds packs the volumes)."""
        tree = self.tree
        dsc, fdf = integrate((tree / PLATFORM_DSC).read_text(), (tree / PLATFORM_FDF).read_text(),
                             steps, board_module=True)
        defines = PLATFORM_DEFINES
        if target == DEBUG_TARGET:
            dsc = status_codes_on_serial(dsc)
            defines = PLATFORM_DEFINES + DEBUG_DEFINES
        platform = f"EmulatedBoard_{name}"
        output = f"Build/EmulatedBoard_{output_of or name}"
        dsc = re.sub(r"^(\s*OUTPUT_DIRECTORY\s*=\s*).*$", rf"\g<1>{output}", dsc, count=1,
                     flags=re.MULTILINE)
        dsc = re.sub(r"^(\s*FLASH_DEFINITION\s*=\s*).*$", rf"\g<1>OvmfPkg/{platform}.fdf", dsc,
                     count=1, flags=re.MULTILINE)
        # Beside OVMF's own files, so that the FDF's relative !include lines still resolve.
        (tree / "OvmfPkg" / f"{platform}.dsc").write_text(dsc)
        (tree / "OvmfPkg" / f"{platform}.fdf").write_text(fdf)
        destination = self.firmware / name
        inputs = digest([dsc, fdf, " ".join(defines), self.packages / PACKAGE_NAME,
                         self.packages / BOARD_PACKAGE])
        if up_to_date(destination, inputs):
            print(f"board firmware {name}: up to date ({destination})")
            return
        self.base_tools_checked()
        built = Path(self.env["WORKSPACE"]) / output / f"{target}_{TOOL_CHAIN}" / "FV"
        with Stage(f"EDK II build ({name})") as stage:
            edk2_tool(tree, self.env, ["build", "-a", "X64", "-t", TOOL_CHAIN, "-b", target,
                                       "-n", "2", *defines, "-p", f"OvmfPkg/{platform}.dsc"],
                      self.log)
            stage.what = f"-b {target}" + (f", in {output_of}'s output directory" if output_of
                                          else "")
        destination.mkdir(parents=True, exist_ok=True)
        window = check_window_patched(built, self.packages / PACKAGE_NAME / WLAN_MODULE / target /
                                      f"{WLAN_MODULE}.inf", dsc)
        patched = ", ".join(f"{pcd.split('.')[-1]} 0x{value:X}" for pcd, value in window.items())
        for image in ("OVMF_CODE.fd", "OVMF_VARS.fd"):
            shutil.copyfile(built / image, destination / image)
        (destination / "inputs.sha256").write_text(inputs + "\n")
        print(f"board firmware {name}: {WLAN_MODULE} patched by GenFds to the platform's window: "
              f"{patched}")
        print(f"board firmware {name}: built {destination / 'OVMF_CODE.fd'}")

    def without_board_module(self, name):
        """The image of the variant name starts from (board or board_debug) with the board
        support module's firmware file replaced in its DXE volume by a pad file of the same size,
        by FMMT: the package without the board's module. Not FMMT's -d: that shrinks a volume
        held in a compressed section to the space its files take, and OVMF's SEC and PEI take the
        DXE volume at the FDF's size (a DEBUG build stops on an ASSERT). The result is read back:
        the module's FILE_GUID gone, the package's three still there, the volume's size kept."""
        source, target = WITHOUT_BOARD[name]
        destination = self.firmware / name
        board = self.firmware / source
        board_guid = file_guid(self.packages / BOARD_MODULE_INF)
        inputs = digest([board / "OVMF_CODE.fd", board / "OVMF_VARS.fd", board_guid,
                         "FMMT -r, same-size pad file"])
        if up_to_date(destination, inputs):
            print(f"board firmware {name}: up to date ({destination})")
            return
        self.base_tools_checked()
        work = destination / "work"
        if work.exists():
            shutil.rmtree(work)
        work.mkdir(parents=True)
        result, module, pad = work / "OVMF_CODE.fd", work / "board.ffs", work / "pad.ffs"
        with Stage(f"FMMT ({name})") as stage:
            self.tool_output(["FMMT", "-e", str(board / "OVMF_CODE.fd"), DXE_VOLUME_GUID,
                              board_guid, str(module)], work)
            if not module.is_file():
                raise Failure(f"FMMT found no firmware file {board_guid} in the {source} "
                              f"image's DXE volume; see {self.log}")
            pad.write_bytes(pad_file(int.from_bytes(module.read_bytes()[20:23], "little")))
            self.tool_output(["FMMT", "-r", str(board / "OVMF_CODE.fd"), DXE_VOLUME_GUID,
                              board_guid, str(pad), str(result)], work)
            if not result.is_file():
                raise Failure(f"FMMT did not replace {board_guid}; see {self.log}")
            before = self.tool_output(["FMMT", "-v", str(board / "OVMF_CODE.fd")], work).upper()
            listing = self.tool_output(["FMMT", "-v", str(result)], work).upper()
            stage.what = f"{source} image with {board_guid} padded over"
        if board_guid in listing:
            raise Failure(f"{board_guid} is still in the image FMMT wrote; see {self.log}")
        if dxe_volume_size(listing) != dxe_volume_size(before) or not dxe_volume_size(before):
            raise Failure(f"the DXE volume holds {dxe_volume_size(listing)} bytes in the image "
                          f"FMMT wrote, {dxe_volume_size(before)} in {source}'s; see {self.log}")
        for driver in ("wwan_port_guard", "wlan_slot_guard", "lan_controller_setup"):
            guid = file_guid(self.packages / PACKAGE_NAME / driver / target / f"{driver}.inf")
            if guid not in listing:
                raise Failure(f"{driver} ({guid}) is missing from the image FMMT wrote")
        shutil.copyfile(result, destination / "OVMF_CODE.fd")
        shutil.copyfile(board / "OVMF_VARS.fd", destination / "OVMF_VARS.fd")
        shutil.rmtree(work)
        (destination / "inputs.sha256").write_text(inputs + "\n")
        print(f"board firmware {name}: built {destination / 'OVMF_CODE.fd'}")

    def add_with_fmmt(self):
        """Debian's prebuilt OVMF code image with the package's .ffs files and the board
        module's firmware file (as EDK II's build of the board variant made it) added to its DXE
        volume by FMMT."""
        destination = self.firmware / "fmmt"
        ffs_files = [self.package_dir / d / TARGET / f"{d}.ffs"
                     for d in ("wwan_port_guard", "wlan_slot_guard", "lan_controller_setup")]
        built_board = (Path(self.env["WORKSPACE"]) / "Build/EmulatedBoard_board" /
                       f"{TARGET}_{TOOL_CHAIN}" / "FV")
        board_ffs = sorted(built_board.glob("Ffs/*board_support/*.ffs"))
        if len(board_ffs) != 1:
            raise Failure(f"the board build left {len(board_ffs)} firmware files for board_support")
        ffs_files.append(board_ffs[0])
        inputs = digest([Path(PREBUILT_CODE), *ffs_files])
        if up_to_date(destination, inputs):
            print(f"board firmware fmmt: up to date ({destination})")
            return
        self.base_tools_checked()
        destination.mkdir(parents=True, exist_ok=True)
        work = destination / "work"
        work.mkdir(exist_ok=True)
        current = Path(PREBUILT_CODE)
        with Stage("FMMT (fmmt)") as stage:
            for index, ffs in enumerate(ffs_files):
                following = work / f"step{index}.fd"
                edk2_tool(self.tree, self.env, ["FMMT", "-a", str(current), DXE_VOLUME_GUID,
                                                str(ffs), str(following)], self.log, cwd=work)
                if not following.is_file():
                    raise Failure(f"FMMT did not add {ffs.name}; see {self.log}")
                current = following
            stage.what = f"Debian's OVMF plus {len(ffs_files)} firmware files"
        shutil.copyfile(current, destination / "OVMF_CODE.fd")
        shutil.copyfile(PREBUILT_VARS, destination / "OVMF_VARS.fd")
        shutil.rmtree(work)
        (destination / "inputs.sha256").write_text(inputs + "\n")
        print(f"board firmware fmmt: built {destination / 'OVMF_CODE.fd'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--package", type=Path, required=True, help="build/package")
    parser.add_argument("--images", type=Path, required=True, help="build/images")
    parser.add_argument("--integration", type=Path, required=True,
                        help="the integrators' text with the steps, docs/integration.md")
    parser.add_argument("--board-module", type=Path, required=True,
                        help="the board module's INF and DEC (board/q35/flash)")
    parser.add_argument("--out", type=Path, required=True, help="build/flash")
    parser.add_argument("--variant", action="append", choices=VARIANTS,
                        help="make this variant (repeatable; default: every variant)")
    args = parser.parse_args()
    wanted = set(args.variant or VARIANTS)
    wanted |= {STARTS_FROM[name] for name in wanted if name in STARTS_FROM}
    out = args.out.resolve()
    out.mkdir(parents=True, exist_ok=True)
    # One log per set of variants, so that the runs ctest makes one after another keep theirs.
    log = out / ("build.log" if args.variant is None else
                 f"build-{'-'.join(sorted(set(args.variant)))}.log")
    log.write_text("")
    unavailable = out / "UNAVAILABLE"
    try:
        steps = integrator_steps(args.integration)
        for needed in [args.package / f"{PACKAGE_NAME}.dec",
                       args.images / "board_support.efi"]:
            if not needed.is_file():
                raise Failure(f"missing {needed} (build the project first)")
        tree = prepare_source(out, log)
        if unavailable.exists():
            unavailable.unlink()
        workspace = out / "workspace"
        packages = out / "packages"
        lay_out_packages(packages, args.package.resolve(), args.images.resolve(),
                         args.board_module.resolve())
        firmware = Firmware(out, tree, steps, edk2_environment(tree, workspace, packages),
                            packages, args.package.resolve(), log)
        for name in VARIANTS:
            if name in wanted:
                firmware.make(name)
    except Unreachable as reason:
        unavailable.write_text(f"{reason}\n")
        print(f"board_firmware: SKIPPED: {reason}", file=sys.stderr)
        return SKIP
    except Failure as failure:
        print(f"board_firmware: FAILED: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
