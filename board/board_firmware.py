#!/usr/bin/env python3
"""Builds the emulated board's firmware the way an integrator builds a platform: Debian's EDK II
source (the tree Debian builds its OVMF from), its BaseTools, OVMF's DSC and FDF with the
integrator package added exactly as the integrator steps of docs/integration.md say, and EDK
II's own build; on EDK II 2022.11 (Debian 12's edk2, the machine's own OVMF) and on today's
2025.02 (Debian 13's).

Firmware images written to OUT/firmware/<variant>/ (OVMF_CODE.fd and OVMF_VARS.fd):
  board             EDK II 2022.11's build (RELEASE) of OVMF with the package and the board
                    support module, without OVMF's network stack
  sku               board with the SKU's DSC line (integrator step dsc-sku), built in board's
                    output directory
  no_board          board less the board module (its file padded over by FMMT -r)
  fmmt              Debian 12's prebuilt OVMF with the package's and the board module's files
                    added by FMMT
  current           the DEBUG firmware: EDK II 2025.02's build (-b DEBUG) with its own BaseTools,
                    OVMF's and the drivers' lines on the serial port
  no_board_debug    current less the board module, as no_board
  current_strictnx  Debian 13's prebuilt Secure Boot OVMF with SMM and strict NX
                    (OVMF_CODE_4M.secboot.strictnx.fd) with the package's RELEASE files (the
                    wireless-LAN guard's with 2025.02's q35 window patched in) and the board
                    module's added by 2025.02's FMMT; booted on q35 with SMM and the flash secure

--variant NAME (repeatable) makes only those variants (and those they start from: --variants
lists each with the one it starts from); without it, every variant. Each stage prints the time it
took as it ends.

Each release's source is fetched and extracted once (2022.11 into OUT/edk2, 2025.02 into
OUT/trixie/edk2, each with its own private apt configuration, lists and workspace beside it, and
BaseTools built); a variant is rebuilt only when what goes into it changed. Where the archive
answers 404 for a package's .dsc alone, the tarballs are downloaded at the paths and checked
against the SHA-256 of the Sources index apt verified, and extracted as dpkg-source would, with
Debian's series of patches applied in order. BaseTools stay exactly as Debian's source has
them: before every build, BaseTools/Source/Python is compared file by file with the same folder
read out of Debian's source package (the upstream tarball with Debian's patches), and the build
stops on any difference. Exit status: 0 built, 1 failed (the reason on
stderr), 77 Debian's source archive could not be reached (one line says why).

Usage: board/board_firmware.py --package DIR --images DIR --integration FILE --board-module DIR
                               --out DIR [--variant NAME]...
       board/board_firmware.py --variants
"""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import argparse
import fcntl
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "integrator_package"), str(ROOT / "tools")]
import gen_ffs  # noqa: E402
import patch_pcd  # noqa: E402

SKIP = 77
SOURCE_PACKAGE = "edk2"
BINARY_PACKAGE = "ovmf"
APT_HELPER = "/usr/lib/apt/apt-helper"


@dataclass(frozen=True)
class Release:
    """One Debian release's EDK II: where its source comes from and how it is built. Each has its
    own apt configuration and lists, tree and workspace under OUT/<folder> (the first release's
    folder is OUT itself), so that fetching or building one never touches the other."""
    name: str
    # The Debian suite its source comes from, on the mirrors of the machine's own entries (each
    # of the machine's suites with its codename replaced: bookworm-security becomes
    # trixie-security); empty for the machine's own suites.
    codename: str
    folder: str
    # EDK II's name for the GCC tool chain.
    tool_chain: str
    # Debian's patches taken back out of the tree after extraction.
    reverse: tuple = ()
    # Fetch the source of the installed ovmf package when the archive still has it.
    installed_version: bool = False


# The board firmware's release: Debian 12's EDK II, the source of the machine's own OVMF. The one
# change made to its tree concerns the emulated board's shell, not the package: Debian's patch that
# disables the shell when Secure Boot is enabled needs SecureBootVariableLib, which OVMF's DSC does
# not provide without Secure Boot, so OVMF's build stops on it. It touches ShellPkg only; BaseTools
# are left as Debian ships them (checked below).
BOOKWORM = Release("2022.11", "", "", "GCC5",
                   reverse=("Disable-the-Shell-when-SecureBoot-is-enabled.patch",),
                   installed_version=True)
# Today's release: Debian 13's EDK II, taken as the archive has it (its series holds no shell
# patch, so nothing is taken back). It calls the GCC tool chain GCC and keeps GCC5, the name
# Debian's own build uses, as a deprecated alias with the same flags.
TRIXIE = Release("2025.02", "trixie", "trixie", "GCC")
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
# Debian's prebuilt OVMF: the machine's own (Debian 12), and the Secure Boot build with SMM and
# strict NX (the memory attribute protocol left installed) out of Debian 13's ovmf package,
# extracted under OUT/trixie/ovmf, never installed.
PREBUILT_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
PREBUILT_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"
STRICT_NX_CODE = "usr/share/OVMF/OVMF_CODE_4M.secboot.strictnx.fd"
STRICT_NX_VARS = "usr/share/OVMF/OVMF_VARS_4M.fd"
# The configuration window: two patchable PCDs of the wireless-LAN guard's binary module, which
# GenFds patches to the values the DSC sets (the integrator DSC step sets q35's 256 MiB at
# 0xB0000000), each 8 bytes.
WINDOW_PCDS = ("gPlatformGuardsPkgTokenSpaceGuid.PcdPciExpressWindowBase",
               "gPlatformGuardsPkgTokenSpaceGuid.PcdPciExpressWindowSize")
WLAN_MODULE = "wlan_slot_guard"
# The DSC step's wireless-WAN guard line, which the SKU variant replaces.
WWAN_DSC_LINE = "  PlatformGuardsPkg/wwan_port_guard/$(TARGET)/wwan_port_guard.inf\n"
EFI_SECTION_PE32 = 0x10
DRIVERS = ("wwan_port_guard", "wlan_slot_guard", "lan_controller_setup")
# The DEBUG firmware, whose serial log holds the DXE core's lines and the drivers': the variants
# made from it start from this one.
DEBUG_VARIANT = "current"
# Every variant, in the order they are made, and the variant each starts from (made before it).
VARIANTS = {"board": None, "sku": "board", "no_board": "board", "fmmt": "board",
            DEBUG_VARIANT: None, "no_board_debug": DEBUG_VARIANT, "current_strictnx": "board"}
# The EDK II releases whose tree, apt configuration and workspace each variant uses, or whose
# build output it reads while another variant of that release may rewrite it: variants of one
# release take turns, those of the two releases build side by side (ctest's resource locks).
RELEASES_USED = {"board": ("2022.11",), "sku": ("2022.11",), "no_board": ("2022.11",),
                 "fmmt": ("2022.11",), DEBUG_VARIANT: ("2025.02",), "no_board_debug": ("2025.02",),
                 "current_strictnx": ("2022.11", "2025.02")}
EFI_SECTION_RAW = 0x19
EFI_FV_FILETYPE_FFS_PAD = 0xF0
STEP_MARK = re.compile(r"^\s*<!-- integrator-step: ([\w-]+(?: \w+)?) -->\s*$")


class Failure(Exception):
    """The build failed; the message is the one-line reason."""


class Unreachable(Exception):
    """Debian's source archive could not be reached."""


def attempt(command, log, **kwargs):
    """Runs command with its output appended to log; returns (exit status, that output)."""
    with open(log, "ab") as output:
        output.write(("\n$ " + " ".join(str(c) for c in command) + "\n").encode())
        output.flush()
        mark = output.tell()
        result = subprocess.run(command, stdout=output, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, **kwargs)
    with open(log, "rb") as output:
        output.seek(mark)
        return result.returncode, output.read().decode(errors="replace")


def run(command, log, **kwargs):
    """attempt() that returns the command's output, or Failure naming the log when it fails."""
    status, text = attempt(command, log, **kwargs)
    if status != 0:
        tail = log.read_text(errors="replace").strip().splitlines()[-3:]
        raise Failure(f"{Path(str(command[0])).name} failed (status {status}); "
                      f"see {log}: {' | '.join(tail)}")
    return text


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


def machine_codename():
    """The machine's Debian codename (VERSION_CODENAME of /etc/os-release)."""
    text = Path("/etc/os-release").read_text(errors="replace")
    match = re.search(r"^VERSION_CODENAME=\"?(\w+)\"?$", text, re.MULTILINE)
    if match is None:
        raise Failure("/etc/os-release names no VERSION_CODENAME")
    return match.group(1)


def apt_options(apt):
    """apt's options for a private configuration in the folder apt: its own sources list, lists
    and caches; the machine's own configuration is left as it is."""
    return ["-o", f"Dir::Etc::sourcelist={apt / 'sources.list'}", "-o", "Dir::Etc::sourceparts=-",
            "-o", f"Dir::State::Lists={apt / 'lists'}", "-o", f"Dir::Cache={apt / 'cache'}",
            "-o", "APT::Sandbox::User=root"]


def apt_update(apt, release, log):
    """Writes the release's sources list into apt and updates its lists; returns apt's options.
    Source entries on the machine's Debian mirrors, for the machine's suites or the release's
    (each machine suite's codename replaced, with binary entries for the release's prebuilt
    OVMF)."""
    (apt / "lists" / "partial").mkdir(parents=True, exist_ok=True)
    (apt / "cache" / "archives" / "partial").mkdir(parents=True, exist_ok=True)
    archives = machine_archives()
    if not archives:
        raise Failure("no Debian 'deb' entry in the machine's apt sources to take the source from")
    lines = []
    codename = machine_codename() if release.codename else ""
    for uri, suite, components, signed_by in archives:
        option = f"[signed-by={signed_by}] " if signed_by else ""
        if release.codename:
            if suite != codename and not suite.startswith(codename + "-"):
                continue
            suite = release.codename + suite[len(codename):]
            lines.append(f"deb {option}{uri} {suite} {components}")
        lines.append(f"deb-src {option}{uri} {suite} {components}")
    if not lines:
        raise Failure(f"no Debian entry for {codename} in the machine's apt sources to take "
                      f"{release.codename} from")
    (apt / "sources.list").write_text("\n".join(lines) + "\n")
    options = apt_options(apt)
    status, text = attempt(["apt-get", *options, "--error-on=any", "update"], log)
    if status != 0:
        raise unreachable(text, log)
    return options


def unreachable(text, log):
    """Unreachable naming apt's first complaint in text."""
    complaints = [line for line in text.splitlines() if line.startswith(("W:", "E:"))]
    reason = complaints[0] if complaints else "apt-get failed"
    return Unreachable(f"Debian's source archive could not be reached: {reason} (see {log})")


def source_files(options, request, log):
    """[(URI, file name, SHA-256)] of the source package asked for (edk2 or edk2=VERSION) as the
    Sources index apt verified lists them (apt-get source --print-uris), or None when the index
    has no such package."""
    status, text = attempt(["apt-get", *options, "source", "--print-uris", request], log)
    files = re.findall(r"^'(\S+)' (\S+) \d+ SHA256:([0-9a-f]{64})$", text, re.MULTILINE)
    return files if status == 0 and files else None


def fetch_source(root, release, log):
    """Downloads edk2's Debian source package into ROOT/apt/download with the release's private
    apt configuration; returns its description: the .dsc, or, when the archive answers 404 for
    the .dsc alone, the package's stanza of the Sources index, with the tarballs downloaded one by
    one at the index's paths and checked against its SHA-256."""
    apt = root / "apt"
    download = apt / "download"
    if download.exists():
        shutil.rmtree(download)
    download.mkdir(parents=True)
    options = apt_update(apt, release, log)
    # The installed OVMF's own source when the archive still has it, else the newest.
    version = installed_ovmf_version() if release.installed_version else None
    request = f"{SOURCE_PACKAGE}={version}" if version else SOURCE_PACKAGE
    files = source_files(options, request, log)
    if files is None and version:
        request = SOURCE_PACKAGE
        files = source_files(options, request, log)
    if files is None:
        raise Unreachable(f"the Sources index of {release.codename or 'the machine'} has no "
                          f"{SOURCE_PACKAGE} (see {log})")
    description = next((entry for entry in files if entry[1].endswith(".dsc")), None)
    if description is None:
        raise Failure(f"the Sources index names no .dsc for {request}")
    status, text = attempt(["apt-get", *options, "source", "--download-only", request], log,
                           cwd=download)
    if status == 0:
        return download / description[1]
    if not re.search(rf"Failed to fetch {re.escape(description[0])}\s+404", text):
        raise unreachable(text, log)
    version = description[1][len(SOURCE_PACKAGE) + 1:-len(".dsc")]
    stanzas = run(["apt-cache", *options, "showsrc", "--only-source", SOURCE_PACKAGE], log)
    stanza = next((block for block in re.split(r"\n\s*\n", stanzas)
                   if re.search(rf"^Version: {re.escape(version)}$", block, re.MULTILINE)), None)
    if stanza is None:
        raise Failure(f"apt-cache showsrc has no stanza for {SOURCE_PACKAGE} {version}")
    for path in download.iterdir():
        path.unlink()
    record = download / f"{SOURCE_PACKAGE}_{version}.sources"
    record.write_text(stanza.strip() + "\n")
    for uri, name, sha256 in files:
        if name != description[1]:
            status, text = attempt([APT_HELPER, *options, "download-file", uri,
                                    str(download / name), f"SHA256:{sha256}"], log)
            if status != 0:
                raise unreachable(text, log)
    return record


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


def prepare_source(root, release, log):
    """ROOT/edk2: the release's EDK II tree from Debian's source package with BaseTools' C tools
    built, extracted and built once. (BaseTools' Python tools run from source; their self-tests
    are not run.)"""
    tree = root / "edk2"
    ready = tree / ".prepared"
    if ready.is_file():
        return tree
    with Stage("fetch") as stage:
        description = fetch_source(root, release, log)
        if tree.exists():
            shutil.rmtree(tree)
        if description.suffix == ".dsc":
            run(["dpkg-source", "--no-check", "-x", str(description), str(tree)], log)
            how = "downloaded and extracted"
        else:
            applied = extract_source(source_package(description), tree, log)
            how = f"(the archive's .dsc answered 404) extracted, {applied} patches applied"
        for patch in release.reverse:
            reverse_patch(tree, tree / "debian" / "patches" / patch, log)
        stage.what = f"EDK II {release.name}: {description.name} {how}"
    with Stage("BaseTools") as stage:
        run(["make", "-C", "BaseTools/Source/C", "-j2"], log, cwd=tree)
        stage.what = f"EDK II {release.name}: C tools built"
    ready.write_text(description.name + "\n")
    return tree


def source_package(description):
    """{'description', 'orig', 'debian', 'components': {name: tarball}}: the tarballs of the
    source package a .dsc or a Sources stanza describes, each checked against the SHA-256 it
    lists."""
    text = description.read_text(errors="replace")
    block = re.search(r"^Checksums-Sha256:\n((?:[ \t].*\n?)+)", text, re.MULTILINE)
    if block is None:
        raise Failure(f"{description} lists no SHA-256 checksums")
    files = {"components": {}}
    for line in block.group(1).splitlines():
        digest_text, _, file_name = line.split()
        if file_name.endswith(".dsc"):
            continue
        path = description.parent / file_name
        if not path.is_file() or hashlib.sha256(path.read_bytes()).hexdigest() != digest_text:
            raise Failure(f"{path} does not match the SHA-256 {description.name} lists")
        component = re.search(r"\.orig-([\w-]+)\.tar\.", file_name)
        if component:
            files["components"][component.group(1)] = path
        elif ".orig.tar." in file_name:
            files["orig"] = path
        elif ".debian.tar." in file_name:
            files["debian"] = path
    if "orig" not in files or "debian" not in files:
        raise Failure(f"{description} does not name an upstream and a Debian tarball")
    return dict(files, description=description)


def series_names(text):
    """The patch names of a quilt series, in order."""
    names = []
    for line in text.splitlines():
        words = line.split("#", 1)[0].split()
        if words:
            if words[1:]:
                raise Failure(f"the series line {line.strip()!r} has options")
            names.append(words[0])
    return names


def extract_source(package, tree, log):
    """Extracts a 3.0 (quilt) source package into tree as dpkg-source does: the upstream tarball,
    each component tarball into the folder named after it, the Debian tarball, then every patch
    of debian/patches/series in order (patch -p1, no fuzz). Returns how many were applied."""
    tree.mkdir(parents=True)
    run(["tar", "-xf", str(package["orig"]), "-C", str(tree), "--strip-components=1"], log)
    for name, tarball in package["components"].items():
        (tree / name).mkdir(parents=True, exist_ok=True)
        run(["tar", "-xf", str(tarball), "-C", str(tree / name), "--strip-components=1"], log)
    run(["tar", "-xf", str(package["debian"]), "-C", str(tree)], log)
    patches = tree / "debian" / "patches"
    names = series_names((patches / "series").read_text()) if (patches / "series").is_file() else []
    for name in names:
        status, _ = attempt(["patch", "-p1", "-s", "-t", "-N", "-F", "0", "-E",
                             "--no-backup-if-mismatch", "-i", str(patches / name)], log, cwd=tree)
        if status != 0:
            raise Failure(f"Debian's {name} does not apply to {tree}; see {log}")
    return len(names)


def source_of_tree(root, release, tree, log):
    """source_package() of the package the tree was extracted from (the description that
    ROOT/edk2/.prepared names, in ROOT/apt/download), fetched again when it is not there."""
    name = (tree / ".prepared").read_text().split()[0]
    description = root / "apt" / "download" / name
    if not description.is_file():
        description = fetch_source(root, release, log)
        if description.name != name:
            raise Failure(f"the EDK II tree was extracted from {name}, the archive now has "
                          f"{description.name}; remove {tree} to extract the new one")
    return source_package(description)


def patches_touching(debian_tarball, prefix):
    """[(patch name, per-file diffs)] of Debian's series, in order, keeping only the file diffs
    whose target lies under prefix."""
    with tarfile.open(debian_tarball) as tar:
        series = tar.extractfile("debian/patches/series").read().decode()
        touching = []
        for name in series_names(series):
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


def check_base_tools(root, release, tree, log):
    """Compares BaseTools/Source/Python of the release's tree with the same folder as Debian's
    source package has it (read from the upstream tarball, Debian's patches that touch it
    applied); returns (file count, digest of the file list, the package's description, names of
    the patches applied), or Failure naming the files that differ."""
    package = source_of_tree(root, release, tree, log)
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
    return len(found), digest_all, package["description"].name, [name for name, _ in patches]


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
    """Runs an EDK II BaseTools command with edksetup.sh's environment; returns its output."""
    script = 'cd "$EDK2_TREE" && . ./edksetup.sh BaseTools >/dev/null && cd "$EDK2_CWD" && "$@"'
    return run(["bash", "-c", script, "edk2", *command], log,
        env=dict(env, EDK2_TREE=str(tree), EDK2_CWD=str(cwd or tree)))


def lay_out_packages(packages, package_dir, images, board_module):
    """OUT/packages: the integrator package as the build left it and the emulated board's
    module; laid out again only when what goes into it changed, under a lock, since the builds
    of the two releases run side by side and read it."""
    sources = [package_dir, board_module / f"{BOARD_PACKAGE}.dec",
               board_module / "board_support.inf", images / "board_support.efi"]
    inputs = digest(sources)
    stamp = packages.parent / "packages.sha256"
    with open(packages.parent / "packages.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if packages.is_dir() and stamp.is_file() and stamp.read_text().strip() == inputs:
            return
        stamp.unlink(missing_ok=True)
        lay_out_packages_once(packages, package_dir, images, board_module)
        stamp.write_text(inputs + "\n")


def lay_out_packages_once(packages, package_dir, images, board_module):
    if packages.exists():
        shutil.rmtree(packages)
    shutil.copytree(package_dir, packages / PACKAGE_NAME)
    board = packages / BOARD_PACKAGE
    (board / "board_support").mkdir(parents=True)
    shutil.copyfile(board_module / f"{BOARD_PACKAGE}.dec", board / f"{BOARD_PACKAGE}.dec")
    shutil.copyfile(board_module / "board_support.inf", board / "board_support" / "board_support.inf")
    shutil.copyfile(images / "board_support.efi", board / "board_support" / "board_support.efi")


def pcd_value(text, name):
    """The last value a DSC gives the PCD name (as an integer; a value naming another PCD is
    that PCD's, as EDK II's build evaluates it), or None."""
    values = re.findall(rf"^\s*{re.escape(name)}\|(0x[0-9A-Fa-f]+|\d+|\w+\.\w+)\s*(?:#.*)?$",
                        text, re.MULTILINE)
    if not values:
        return None
    return pcd_value(text, values[-1]) if "." in values[-1] else int(values[-1], 0)


def window_patches(package_inf):
    """{PCD: (shipped value, file offset)} of the window's [PatchPcd] lines in the INF."""
    inf = package_inf.read_text()
    patches = {}
    for pcd in WINDOW_PCDS:
        match = re.search(rf"^\s*{re.escape(pcd)}\|(0x[0-9A-Fa-f]+)\|(0x[0-9A-Fa-f]+)\s*$", inf,
                          re.MULTILINE)
        if match is None:
            raise Failure(f"{package_inf} lists no [PatchPcd] line for {pcd}")
        patches[pcd] = (int(match.group(1), 16), int(match.group(2), 16))
    return patches


def check_window_patched(built, package_inf, dsc):
    """The wireless-LAN guard's firmware file in the built volume must carry the platform's
    window at the INF's patch offsets: EDK II's GenFds patches them from the DSC's PCDs. Returns
    {PCD: value}."""
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
    for pcd, (_, offset) in window_patches(package_inf).items():
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


# EDK II 2025.02's OVMF builds VirtioNetDxe only with the network stack (its DSC lists the module
# in OvmfPkg/Include/Dsc/NetworkComponents.dsc.inc, inside NETWORK_ENABLE) but its FDF packs it
# outside that condition, so a build without the network stack stops with "VirtioNet.inf NOT found
# in DSC file". Later EDK II puts the FDF line inside the same condition, and so does this build
# where the platform's DSC does not list the module itself (2022.11's does: its FDF is left as it
# is). Nothing of the integrator steps: only a platform built without its network stack needs it.
VIRTIO_NET_INF = "OvmfPkg/VirtioNetDxe/VirtioNet.inf"


def network_free(dsc, fdf):
    """The FDF for a build without the network stack: VirtioNetDxe packed only with it where the
    DSC builds it only with it."""
    if VIRTIO_NET_INF in dsc:
        return fdf
    line = re.compile(rf"^[ \t]*INF[ \t]+{re.escape(VIRTIO_NET_INF)}[ \t]*\n", re.MULTILINE)
    found = line.findall(fdf)
    if len(found) != 1:
        raise Failure(f"the platform FDF packs {VIRTIO_NET_INF} {len(found)} times, not once")
    return line.sub(lambda match: f"!if $(NETWORK_ENABLE) == TRUE\n{match.group(0)}!endif\n", fdf)


def sku_steps(steps):
    """The integrator steps of the SKU variant: the DSC step with its wireless-WAN guard line
    replaced by the integrator step's SKU line."""
    if "dsc-sku" not in steps:
        raise Failure("the integrators' text has no integrator step 'dsc-sku'")
    if steps["dsc"].count(WWAN_DSC_LINE) != 1:
        raise Failure("the integrator DSC step does not list the wireless-WAN guard on one line")
    return dict(steps, dsc=steps["dsc"].replace(WWAN_DSC_LINE, steps["dsc-sku"]))


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


def file_guid(inf):
    """The FILE_GUID an INF gives its module, upper case."""
    match = re.search(r"^\s*FILE_GUID\s*=\s*([0-9A-Fa-f-]{36})\s*$", inf.read_text(), re.MULTILINE)
    if match is None:
        raise Failure(f"{inf} names no FILE_GUID")
    return match.group(1).upper()


def up_to_date(destination, inputs):
    """True when destination holds a variant made from the same inputs."""
    stamp = destination / "inputs.sha256"
    return (stamp.is_file() and stamp.read_text().strip() == inputs
            and (destination / "OVMF_CODE.fd").is_file())


class Firmware:
    """Makes the firmware variants in OUT/firmware, each only when what goes into it changed
    since it was last made."""

    def __init__(self, out, steps, packages, package_dir, log):
        self.out, self.steps, self.packages, self.package_dir = out, steps, packages, package_dir
        self.log = log
        self.firmware = out / "firmware"
        self.sources = {}
        self.checked = set()

    def source(self, release):
        """(root, tree, environment) of the release's EDK II, prepared on first use."""
        if release not in self.sources:
            root = self.out / release.folder
            tree = prepare_source(root, release, self.log)
            unavailable = self.out / "UNAVAILABLE"
            if unavailable.exists():
                unavailable.unlink()
            self.sources[release] = (root, tree,
                                     edk2_environment(tree, root / "workspace", self.packages))
        return self.sources[release]

    def base_tools_checked(self, release):
        """The BaseTools check of the release, before the first variant this run makes with it."""
        if release in self.checked:
            return
        root, tree, _ = self.source(release)
        count, base_tools_digest, source_name, patched = check_base_tools(root, release, tree,
                                                                          self.log)
        origin = ("upstream tarball + " + ", ".join(patched) if patched
                  else "upstream tarball; none of Debian's patches touches it")
        print(f"board firmware: EDK II {release.name} {BASE_TOOLS_PYTHON}: {count} files as in "
              f"{source_name} ({origin})")
        print(f"board firmware: EDK II {release.name} {BASE_TOOLS_PYTHON} unmodified, "
              f"sha256 {base_tools_digest}")
        self.checked.add(release)

    def tool(self, release, command, cwd):
        """Runs one of the release's EDK II tools; returns what it printed."""
        _, tree, env = self.source(release)
        return edk2_tool(tree, env, command, self.log, cwd=cwd)

    # The variants made by padding over the board module's firmware file in another variant's
    # image: {variant: (the package's target in that image, the release whose FMMT does it)}.
    WITHOUT_BOARD = {"no_board": (TARGET, BOOKWORM), "no_board_debug": (DEBUG_TARGET, TRIXIE)}

    def make(self, name):
        if name == "board":
            self.build("board", self.steps, BOOKWORM)
        elif name == "sku":
            self.build("sku", sku_steps(self.steps), BOOKWORM, output_of="board")
        elif name == DEBUG_VARIANT:
            self.build(name, self.steps, TRIXIE, target=DEBUG_TARGET)
        elif name in self.WITHOUT_BOARD:
            self.without_board_module(name)
        elif name == "fmmt":
            self.add_with_fmmt(name, BOOKWORM, Path(PREBUILT_CODE), Path(PREBUILT_VARS),
                               [self.package_ffs(driver) for driver in DRIVERS])
        else:
            prebuilt = self.prebuilt(TRIXIE)
            ffs_files = [self.package_ffs(driver) if driver != WLAN_MODULE
                         else self.window_ffs(TRIXIE, self.firmware / name / "window")
                         for driver in DRIVERS]
            self.add_with_fmmt(name, TRIXIE, prebuilt / STRICT_NX_CODE, prebuilt / STRICT_NX_VARS,
                               ffs_files)

    def build(self, name, steps, release, target=TARGET, output_of=None):
        """One variant of the platform built by the release's EDK II build for target (in the
        output directory of the variant output_of when given, so that only the modules that differ
        are rebuilt before GenFds packs the volumes)."""
        _, tree, env = self.source(release)
        dsc, fdf = integrate((tree / PLATFORM_DSC).read_text(), (tree / PLATFORM_FDF).read_text(),
                             steps, board_module=True)
        fdf = network_free(dsc, fdf)
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
        self.base_tools_checked(release)
        built = Path(env["WORKSPACE"]) / output / f"{target}_{release.tool_chain}" / "FV"
        with Stage(f"EDK II build ({name})") as stage:
            edk2_tool(tree, env, ["build", "-a", "X64", "-t", release.tool_chain, "-b", target,
                                  "-n", "2", *defines, "-p", f"OvmfPkg/{platform}.dsc"], self.log)
            stage.what = f"EDK II {release.name}, -b {target}" + (
                f", in {output_of}'s output directory" if output_of else "")
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

    def board_built(self):
        """The FV folder of the board variant's build."""
        root = self.out / BOOKWORM.folder
        return (root / "workspace" / "Build" / "EmulatedBoard_board" /
                f"{TARGET}_{BOOKWORM.tool_chain}" / "FV")

    def board_ffs(self, module):
        """The firmware file EDK II's build of the board variant made of module."""
        found = sorted(self.board_built().glob(f"Ffs/*{module}/*.ffs"))
        if len(found) != 1:
            raise Failure(f"the board build left {len(found)} firmware files for {module}")
        return found[0]

    def package_ffs(self, driver):
        return self.package_dir / driver / TARGET / f"{driver}.ffs"

    def window_ffs(self, release, work):
        """The package's RELEASE firmware file of the wireless-LAN guard with the window the DSC
        step gives on the release's OVMF patched in (q35's, as that OVMF programs it; the
        shipped window lies in q35's MMIO hole): the image patched at the INF's offsets by
        tools/patch_pcd.py and the file written again by integrator_package/gen_ffs.py, then read
        back."""
        _, tree, _ = self.source(release)
        dsc = (tree / PLATFORM_DSC).read_text() + "\n" + self.steps["dsc"]
        module = self.packages / PACKAGE_NAME / WLAN_MODULE / TARGET
        if work.exists():
            shutil.rmtree(work)
        shutil.copytree(module, work / WLAN_MODULE)
        inf = work / WLAN_MODULE / f"{WLAN_MODULE}.inf"
        image = str(work / WLAN_MODULE / f"{WLAN_MODULE}.efi")
        try:
            for pcd, (shipped, offset) in window_patches(inf).items():
                value = pcd_value(dsc, pcd)
                if value is None:
                    raise Failure(f"the DSC step sets no {pcd} on EDK II {release.name}'s OVMF")
                patch_pcd.main(["patch", "--image", image, "--offset", str(offset), "--expect",
                                str(shipped), "--value", str(value), "--out", image])
            ffs = work / "Ffs" / WLAN_MODULE / f"{WLAN_MODULE}.ffs"
            ffs.parent.mkdir(parents=True)
            gen_ffs.main([str(inf), "-o", str(ffs)])
        except (patch_pcd.PatchError, gen_ffs.FfsError) as error:
            raise Failure(f"{WLAN_MODULE} with EDK II {release.name}'s window: {error}")
        check_window_patched(work, inf, dsc)
        return ffs

    def prebuilt(self, release):
        """ROOT/ovmf: Debian's ovmf binary package of the release's source version, downloaded
        with the release's private apt configuration and extracted (never installed), once."""
        root, tree, _ = self.source(release)
        version = (tree / ".prepared").read_text().split()[0]
        version = re.sub(r"\.(dsc|sources)$", "", version[len(SOURCE_PACKAGE) + 1:])
        folder = root / BINARY_PACKAGE
        stamp = folder / ".extracted"
        if stamp.is_file() and stamp.read_text().strip() == version:
            return folder
        with Stage(f"fetch {BINARY_PACKAGE}") as stage:
            download = root / "apt" / "binary"
            if download.exists():
                shutil.rmtree(download)
            download.mkdir(parents=True)
            command = ["apt-get", *apt_options(root / "apt"), "download",
                       f"{BINARY_PACKAGE}={version}"]
            status, text = attempt(command, self.log, cwd=download)
            if status != 0:
                # The lists of an earlier fetch may name files the archive no longer has.
                apt_update(root / "apt", release, self.log)
                status, text = attempt(command, self.log, cwd=download)
                if status != 0:
                    raise unreachable(text, self.log)
            package = sorted(download.glob(f"{BINARY_PACKAGE}_*.deb"))[-1]
            if folder.exists():
                shutil.rmtree(folder)
            run(["dpkg-deb", "-x", str(package), str(folder)], self.log)
            stamp.write_text(version + "\n")
            stage.what = f"{package.name} extracted"
        return folder

    def without_board_module(self, name):
        """The image of the variant name starts from (board, or the DEBUG firmware) with the board
        support module's firmware file replaced in its DXE volume by a pad file of the same size,
        by FMMT: the package without the board's module. Not FMMT's -d: that shrinks a volume
        held in a compressed section to the space its files take, and OVMF's SEC and PEI take the
        DXE volume at the FDF's size (a DEBUG build stops on an ASSERT). The result is read back:
        the module's FILE_GUID gone, the package's three still there, the volume's size kept."""
        source = VARIANTS[name]
        target, release = self.WITHOUT_BOARD[name]
        destination = self.firmware / name
        board = self.firmware / source
        board_guid = file_guid(self.packages / BOARD_MODULE_INF)
        inputs = digest([board / "OVMF_CODE.fd", board / "OVMF_VARS.fd", board_guid,
                         "FMMT -r, same-size pad file"])
        if up_to_date(destination, inputs):
            print(f"board firmware {name}: up to date ({destination})")
            return
        self.base_tools_checked(release)
        work = destination / "work"
        if work.exists():
            shutil.rmtree(work)
        work.mkdir(parents=True)
        result, module, pad = work / "OVMF_CODE.fd", work / "board.ffs", work / "pad.ffs"
        with Stage(f"FMMT ({name})") as stage:
            self.tool(release, ["FMMT", "-e", str(board / "OVMF_CODE.fd"), DXE_VOLUME_GUID,
                                board_guid, str(module)], work)
            if not module.is_file():
                raise Failure(f"FMMT found no firmware file {board_guid} in the {source} "
                              f"image's DXE volume; see {self.log}")
            pad.write_bytes(pad_file(int.from_bytes(module.read_bytes()[20:23], "little")))
            self.tool(release, ["FMMT", "-r", str(board / "OVMF_CODE.fd"), DXE_VOLUME_GUID,
                                board_guid, str(pad), str(result)], work)
            if not result.is_file():
                raise Failure(f"FMMT did not replace {board_guid}; see {self.log}")
            before = self.tool(release, ["FMMT", "-v", str(board / "OVMF_CODE.fd")], work).upper()
            stage.what = f"{source} image with {board_guid} padded over"
        listing = self.volume_files(release, result, work, target)
        if board_guid in listing:
            raise Failure(f"{board_guid} is still in the image FMMT wrote; see {self.log}")
        if dxe_volume_size(listing) != dxe_volume_size(before) or not dxe_volume_size(before):
            raise Failure(f"the DXE volume holds {dxe_volume_size(listing)} bytes in the image "
                          f"FMMT wrote, {dxe_volume_size(before)} in {source}'s; see {self.log}")
        shutil.copyfile(result, destination / "OVMF_CODE.fd")
        shutil.copyfile(board / "OVMF_VARS.fd", destination / "OVMF_VARS.fd")
        shutil.rmtree(work)
        (destination / "inputs.sha256").write_text(inputs + "\n")
        print(f"board firmware {name}: built {destination / 'OVMF_CODE.fd'}")

    def volume_files(self, release, image, work, target=TARGET):
        """FMMT's listing of image (upper case); Failure when one of the package's drivers (of
        target) is not in it."""
        listing = self.tool(release, ["FMMT", "-v", str(image)], work).upper()
        for driver in DRIVERS:
            guid = file_guid(self.packages / PACKAGE_NAME / driver / target / f"{driver}.inf")
            if guid not in listing:
                raise Failure(f"{driver} ({guid}) is missing from the image FMMT wrote")
        return listing

    def add_with_fmmt(self, name, release, code, variables, ffs_files):
        """A prebuilt OVMF code image with ffs_files and the board module's firmware file (as
        EDK II's build of the board variant made it) added to its DXE volume by the release's
        FMMT, one file at a time; its variable store is the prebuilt one. The result is read
        back: the package's drivers and the board module in it."""
        destination = self.firmware / name
        ffs_files = ffs_files + [self.board_ffs("board_support")]
        inputs = digest([code, variables, *ffs_files])
        if up_to_date(destination, inputs):
            print(f"board firmware {name}: up to date ({destination})")
            return
        self.base_tools_checked(release)
        destination.mkdir(parents=True, exist_ok=True)
        work = destination / "work"
        work.mkdir(exist_ok=True)
        current = code
        with Stage(f"FMMT ({name})") as stage:
            for index, ffs in enumerate(ffs_files):
                following = work / f"step{index}.fd"
                self.tool(release, ["FMMT", "-a", str(current), DXE_VOLUME_GUID, str(ffs),
                                    str(following)], work)
                if not following.is_file():
                    raise Failure(f"FMMT did not add {ffs.name}; see {self.log}")
                current = following
            stage.what = (f"{code.name} of EDK II {release.name} plus {len(ffs_files)} "
                          "firmware files")
        board_guid = file_guid(self.packages / BOARD_MODULE_INF)
        if board_guid not in self.volume_files(release, current, work):
            raise Failure(f"the board module ({board_guid}) is missing from the image FMMT wrote")
        shutil.copyfile(current, destination / "OVMF_CODE.fd")
        shutil.copyfile(variables, destination / "OVMF_VARS.fd")
        shutil.rmtree(work)
        (destination / "inputs.sha256").write_text(inputs + "\n")
        print(f"board firmware {name}: built {destination / 'OVMF_CODE.fd'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--package", type=Path, help="build/package")
    parser.add_argument("--images", type=Path, help="build/images")
    parser.add_argument("--integration", type=Path,
                        help="the integrators' text with the steps, docs/integration.md")
    parser.add_argument("--board-module", type=Path,
                        help="the board module's INF and DEC (board/q35/flash)")
    parser.add_argument("--out", type=Path, help="build/flash")
    parser.add_argument("--variant", action="append", choices=VARIANTS,
                        help="make this variant (repeatable; default: every variant)")
    parser.add_argument("--variants", action="store_true",
                        help="print variant:the variant it starts from of every variant, "
                             "separated by ';' (for CMake), and exit")
    args = parser.parse_args()
    if args.variants:
        print(";".join(f"{name}:{base or ''}:{','.join(RELEASES_USED[name])}"
                       for name, base in VARIANTS.items()))
        return 0
    for option in ("package", "images", "integration", "board_module", "out"):
        if getattr(args, option) is None:
            parser.error(f"--{option.replace('_', '-')} is required")
    wanted = set(args.variant or VARIANTS)
    for name in list(wanted):
        while VARIANTS[name]:
            name = VARIANTS[name]
            wanted.add(name)
    out = args.out.resolve()
    out.mkdir(parents=True, exist_ok=True)
    # One log per set of variants, so that the runs ctest makes one after another keep theirs.
    log = out / ("build.log" if args.variant is None else
                 f"build-{'-'.join(sorted(set(args.variant)))}.log")
    log.write_text("")
    try:
        steps = integrator_steps(args.integration)
        for needed in [args.package / f"{PACKAGE_NAME}.dec",
                       args.images / "board_support.efi"]:
            if not needed.is_file():
                raise Failure(f"missing {needed} (build the project first)")
        packages = out / "packages"
        lay_out_packages(packages, args.package.resolve(), args.images.resolve(),
                         args.board_module.resolve())
        firmware = Firmware(out, steps, packages, args.package.resolve(), log)
        for name in VARIANTS:
            if name in wanted:
                firmware.make(name)
    except Unreachable as reason:
        (out / "UNAVAILABLE").write_text(f"{reason}\n")
        print(f"board_firmware: SKIPPED: {reason}", file=sys.stderr)
        return SKIP
    except Failure as failure:
        print(f"board_firmware: FAILED: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
