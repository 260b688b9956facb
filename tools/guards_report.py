#!/usr/bin/env python3
# What a firmware image will let boot: the guard drivers it holds and their settings as the
# image holds them, read without booting it.
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Reports the guard drivers in IMAGE and the settings each one carries.

IMAGE is a flash image or firmware volume (.fd, compressed volumes included), a package folder
(build/package, or one driver's folder in it) or a single driver image (.efi). In a firmware
image the drivers are found by their FILE_GUID and unpacked with UEFIExtract; a driver image is
recognised by comparing it with the package's images outside the places a platform build
patches. The settings are read at the file offsets the package's as-built INFs name in their
[PatchPcd] sections, so an image whose values GenFds patched shows the patched values.

For each driver found: the volume that holds it (firmware images), its version, RELEASE, DEBUG
or NOOPT, and its settings: the wireless-WAN allow-list (vendor:product, lower-case hex, as
lsusb shows them) and the port it guards; the wireless-LAN rows (vendor:device, subsystem
vendor:subsystem, root-port and card ASPM) and the configuration window's base and size. A list
count above the entries the image reserves is shown clamped, as the drivers clamp it.

--json prints one JSON list, one object per driver found (keys driver, version, target, volume,
file_guid, settings). Exit status 0 (also when no guard driver is found: [] under --json), 2
for a file that is not a firmware image, not a driver image or that is truncated (one line on
stderr).

Usage: guards_report.py [--json] [--package DIR] IMAGE
"""
import argparse
import json
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

DRIVERS = ("wwan_port_guard", "wlan_slot_guard", "lan_controller_setup")
# The drivers' FILE_GUIDs (integrator_package/modules.ini), which never change: a firmware image
# without any of them holds no guard, whatever package is at hand.
FILE_GUIDS = {"18126C98-8F69-462E-997B-D1DAF8E06192": "wwan_port_guard",
              "8B29DA19-1607-4A64-9B89-821AD27FF460": "wlan_slot_guard",
              "6BB22B2F-271D-4EF3-B1F3-5DE96DE97418": "lan_controller_setup"}
TARGETS = ("RELEASE", "DEBUG", "NOOPT")
DEFAULT_PACKAGE = Path(__file__).resolve().parent.parent / "build" / "package"
PCD_SIZES = {"UINT8": 1, "UINT16": 2, "UINT32": 4, "UINT64": 8}
# The configuration window's PCDs: the package's own, or MdePkg's base of earlier packages.
WINDOW_BASE_PCD = "PcdPciExpressWindowBase"
WINDOW_SIZE_PCD = "PcdPciExpressWindowSize"
# Without a size PCD the driver derives the size from the base: 1 MiB per bus, at most 256
# buses, never past 4 GiB.
WINDOW_LIMIT = 1 << 32
WINDOW_MAX_SIZE = 256 << 20
WLAN_ROW_SIZE = 10
EFI_SECTION_PE32 = "10"
EFI_SECTION_VERSION = "14"


class ReportError(Exception):
    """The input cannot be reported on; the message is the one-line reason."""


# --- the package: which settings sit where -----------------------------------------------------

def inf_sections(text):
    sections, current = {}, None
    for raw in text.splitlines():
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        match = re.fullmatch(r"\[([^\]]+)\]", line)
        if match:
            current = sections.setdefault(match.group(1), [])
        elif current is not None:
            current.append(line)
    return sections


def dec_types(dec):
    """{PCD name: datum type} from the package's DEC; the window's PCDs are UINT64."""
    types = {name: "UINT64" for name in (WINDOW_BASE_PCD, WINDOW_SIZE_PCD)}
    if dec.is_file():
        for name, datum in re.findall(r"^\s*\w+\.(\w+)\|.*\|(\w+\*?)\|0x[0-9A-Fa-f]+\s*$",
                                      dec.read_text(errors="replace"), re.MULTILINE):
            types[name] = datum
    return types


class Module:
    """One driver image of the package with its INF's facts."""

    def __init__(self, inf, types):
        sections = inf_sections(inf.read_text(errors="replace"))
        defines = dict(re.split(r"\s*=\s*", line, maxsplit=1) for line in sections.get("Defines", [])
                       if "=" in line)
        self.driver = defines.get("BASE_NAME", inf.stem)
        self.file_guid = defines.get("FILE_GUID", "").upper()
        self.version = defines.get("VERSION_STRING")
        self.target = inf.parent.name if inf.parent.name in TARGETS else None
        self.image = (inf.parent / f"{self.driver}.efi").read_bytes()
        self.pcds = {}  # name: (file offset, size)
        for line in sections.get("PatchPcd.X64", []) + sections.get("PatchPcd", []):
            fields = line.split("|")
            if len(fields) != 3:
                continue
            name = fields[0].rsplit(".", 1)[-1]
            if fields[1].startswith("{"):
                size = len(fields[1].split(","))
            else:
                size = PCD_SIZES.get(types.get(name, ""), 0)
            if size:
                self.pcds[name] = (int(fields[2], 0), size)

    def matches(self, image):
        """True when image is this module's image, the patchable values aside."""
        if len(image) != len(self.image):
            return False
        masked_mine, masked_theirs = bytearray(self.image), bytearray(image)
        for offset, size in self.pcds.values():
            masked_mine[offset:offset + size] = masked_theirs[offset:offset + size] = bytes(size)
        return masked_mine == masked_theirs


def load_package(root):
    """The modules of the package folder root (or of one driver's folder, or one target's)."""
    types = dec_types(root / "PlatformGuardsPkg.dec")
    infs = sorted(p for p in root.rglob("*.inf")
                  if p.stem in DRIVERS and (p.parent / f"{p.stem}.efi").is_file())
    if not infs and (root.parent / "PlatformGuardsPkg.dec").is_file():
        types = dec_types(root.parent / "PlatformGuardsPkg.dec")
    if infs and not (root / "PlatformGuardsPkg.dec").is_file():
        for parent in infs[0].parents:
            if (parent / "PlatformGuardsPkg.dec").is_file():
                types = dec_types(parent / "PlatformGuardsPkg.dec")
                break
    modules = [Module(inf, types) for inf in infs]
    return sorted(modules, key=lambda m: (DRIVERS.index(m.driver) if m.driver in DRIVERS else 9,
                                          TARGETS.index(m.target) if m.target in TARGETS else 9))


# --- the settings ------------------------------------------------------------------------------

def value(image, module, name):
    if name not in module.pcds:
        return None
    offset, size = module.pcds[name]
    if offset + size > len(image):
        raise ReportError(f"{module.driver}: {name} lies past the end of the image")
    return int.from_bytes(image[offset:offset + size], "little")


def raw(image, module, name):
    offset, size = module.pcds[name]
    return image[offset:offset + size]


def listed(count, capacity):
    """The entries the driver searches: the count, clamped to the storage's capacity."""
    return min(count, capacity)


def settings_of(image, module):
    found = {}
    if "PcdWwanAllowList" in module.pcds:
        storage = raw(image, module, "PcdWwanAllowList")
        capacity = len(storage) // 4
        count = value(image, module, "PcdWwanAllowListCount")
        ids = [int.from_bytes(storage[i * 4:i * 4 + 4], "little")
               for i in range(listed(count, capacity))]
        found["allow_list"] = [f"{i & 0xFFFF:04x}:{i >> 16:04x}" for i in ids]
        found["allow_list_count"] = count
        found["allow_list_capacity"] = capacity
        found["port"] = {"device": value(image, module, "PcdWwanControllerDevice"),
                         "function": value(image, module, "PcdWwanControllerFunction"),
                         "port": value(image, module, "PcdWwanPort")}
    if "PcdWlanAllowList" in module.pcds:
        storage = raw(image, module, "PcdWlanAllowList")
        capacity = len(storage) // WLAN_ROW_SIZE
        count = value(image, module, "PcdWlanAllowListCount")
        rows = []
        for i in range(listed(count, capacity)):
            row = storage[i * WLAN_ROW_SIZE:(i + 1) * WLAN_ROW_SIZE]
            chip = int.from_bytes(row[0:4], "little")
            subsystem = int.from_bytes(row[4:8], "little")
            rows.append({"chip": f"{chip & 0xFFFF:04x}:{chip >> 16:04x}",
                         "subsystem": f"{subsystem & 0xFFFF:04x}:{subsystem >> 16:04x}",
                         "root_port_aspm": row[8], "card_aspm": row[9]})
        found["allow_list"] = rows
        found["allow_list_count"] = count
        found["allow_list_capacity"] = capacity
    base, size = value(image, module, WINDOW_BASE_PCD), value(image, module, WINDOW_SIZE_PCD)
    if base is not None and size is not None:
        # What the driver reaches of it: at most 256 buses, never past 4 GiB.
        size = 0 if base >= WINDOW_LIMIT else min(size, WINDOW_MAX_SIZE, WINDOW_LIMIT - base)
        found["window"] = {"base": base, "size": size}
    return found


def entry(module, image, version=None, volume=None):
    return {"driver": module.driver, "version": version or module.version,
            "target": module.target, "volume": volume, "file_guid": module.file_guid,
            "settings": settings_of(image, module)}


# --- the inputs --------------------------------------------------------------------------------

def report_folder(folder):
    modules = load_package(folder)
    return [entry(m, m.image) for m in modules]


def identify(image, modules):
    for module in modules:
        if module.matches(image):
            return module
    return None


def check_pe(path, image):
    """A PE image whose headers and section data all lie inside the file."""
    try:
        pe = int.from_bytes(image[0x3C:0x40], "little")
        if image[pe:pe + 4] != b"PE\0\0":
            raise ReportError(f"{path}: not a PE image")
        count = int.from_bytes(image[pe + 6:pe + 8], "little")
        table = pe + 24 + int.from_bytes(image[pe + 20:pe + 22], "little")
        ends = [table + 40 * count]
        for i in range(count):
            header = image[table + 40 * i:table + 40 * (i + 1)]
            ends.append(int.from_bytes(header[20:24], "little")
                        + int.from_bytes(header[16:20], "little"))
    except IndexError:
        ends = [len(image) + 1]
    if len(image) < 0x40 or max(ends) > len(image):
        raise ReportError(f"{path}: truncated: its sections run past the end of the file")


def report_driver_image(path, image, package):
    check_pe(path, image)
    module = identify(image, load_package(package))
    return [entry(module, image)] if module else []


def uefiextract(arguments, cwd):
    tool = shutil.which("UEFIExtract")
    if tool is None:
        raise ReportError("UEFIExtract is not installed (Debian package uefitool-cli)")
    return subprocess.run([tool, *arguments], cwd=cwd, capture_output=True, text=True,
                          errors="replace")


def report_rows(text):
    """(type, depth, GUID, name) for each row of UEFIExtract's report."""
    rows = []
    for line in text.splitlines()[1:]:
        fields = [f.strip() for f in line.split("|")]
        if len(fields) < 6:
            continue
        match = re.match(r"(-+)\s*(\S*)", fields[5])
        if not match:
            continue
        rows.append((fields[0], len(match.group(1)), match.group(2).upper(),
                     fields[6] if len(fields) > 6 else ""))
    return rows


def report_firmware(path, package):
    modules = load_package(package)
    by_guid = {}
    for module in modules:
        by_guid.setdefault(module.file_guid, []).append(module)
    with tempfile.TemporaryDirectory(prefix="guards_report.") as work:
        work = Path(work)
        copy = work / "image.fd"
        shutil.copyfile(path, copy)
        result = uefiextract([copy.name, "report"], work)
        complaints = result.stdout + result.stderr
        if "overlaps the end of data" in complaints:
            raise ReportError(f"{path}: truncated: a firmware volume runs past the end of the file")
        report = work / "image.fd.report.txt"
        if result.returncode != 0 or not report.is_file():
            raise ReportError(f"{path}: UEFIExtract could not read it: "
                              f"{complaints.strip().splitlines()[-1:] or ['no report']}")
        rows = report_rows(report.read_text(errors="replace"))
        if not any(kind == "Volume" for kind, *_ in rows):
            raise ReportError(f"{path}: not a firmware image (no firmware volume in it)")
        found = []
        volumes = []  # (depth, GUID) of the volumes enclosing the current row
        for kind, depth, guid, _ in rows:
            while volumes and volumes[-1][0] >= depth:
                volumes.pop()
            if kind == "Volume":
                volumes.append((depth, guid))
            elif kind == "File" and (guid in FILE_GUIDS or guid in by_guid):
                found.append((guid, volumes[-1][1] if volumes else None))
        entries = []
        for index, (guid, volume) in enumerate(found):
            out = work / f"file{index}"
            pe32 = uefiextract([copy.name, guid, "-o", f"{out}.pe32", "-m", "body", "-t",
                                EFI_SECTION_PE32], work)
            body = Path(f"{out}.pe32") / "body.bin"
            if pe32.returncode != 0 or not body.is_file():
                raise ReportError(f"{path}: the firmware file {guid} has no PE32 section")
            image = body.read_bytes()
            uefiextract([copy.name, guid, "-o", f"{out}.version", "-m", "body", "-t",
                         EFI_SECTION_VERSION], work)
            version_file = Path(f"{out}.version") / "body.bin"
            version = None
            if version_file.is_file():
                version = version_file.read_bytes().decode("utf-16-le", "replace").split("\0")[0]
            module = identify(image, by_guid.get(guid, []))
            if module is None:
                raise ReportError(f"{path}: {FILE_GUIDS.get(guid, guid)} in volume {volume} is "
                                  f"not an image of the package at {package} (give --package)")
            entries.append(entry(module, image, version, volume))
        return entries


def report(path, package):
    if path.is_dir():
        return report_folder(path)
    if not path.is_file():
        raise ReportError(f"{path}: no such file or folder")
    head = path.read_bytes()[:2]
    if head == b"MZ":
        return report_driver_image(path, path.read_bytes(), package)
    return report_firmware(path, package)


# --- the output --------------------------------------------------------------------------------

def text_lines(entries):
    if not entries:
        return ["no guard driver was found"]
    lines = []
    for e in entries:
        where = f"  in volume {e['volume']}" if e["volume"] else ""
        lines.append(f"{e['driver']}  {e['target'] or 'unknown target'}  version "
                     f"{e['version'] or 'unknown'}{where}")
        s = e["settings"]
        if "allow_list" in s:
            note = f"{len(s['allow_list'])} of {s['allow_list_capacity']}"
            if s["allow_list_count"] > s["allow_list_capacity"]:
                note += f", count {s['allow_list_count']} clamped"
            if "port" in s:
                lines.append(f"  wireless-WAN allow-list ({note}): " + " ".join(s["allow_list"]))
                p = s["port"]
                lines.append(f"  port: controller 00:{p['device']:02x}.{p['function']:x}, "
                             f"root port {p['port']}")
            else:
                lines.append(f"  wireless-LAN allow-list ({note}):")
                for row in s["allow_list"]:
                    lines.append(f"    {row['chip']}  subsystem {row['subsystem']}  root-port ASPM "
                                 f"{row['root_port_aspm']}  card ASPM {row['card_aspm']}")
        if "window" in s:
            lines.append(f"  configuration window: base 0x{s['window']['base']:08X}, "
                         f"size 0x{s['window']['size']:08X}")
        if not s:
            lines.append("  no settings")
    return lines


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", action="store_true", help="one JSON list, one object per driver")
    parser.add_argument("--package", type=Path, default=DEFAULT_PACKAGE,
                        help=f"the integrator package whose INFs name the offsets "
                             f"(default {DEFAULT_PACKAGE})")
    parser.add_argument("image", type=Path)
    args = parser.parse_args(argv)
    try:
        entries = report(args.image, args.package)
    except (ReportError, OSError, ValueError) as error:
        print(f"guards_report.py: {error}", file=sys.stderr)
        return 2
    except Exception as error:  # an input no check above foresaw: one line, never a traceback
        print(f"guards_report.py: {args.image}: cannot be read as a firmware or driver image "
              f"({type(error).__name__}: {error})", file=sys.stderr)
        return 2
    if args.json:
        print(json.dumps(entries, indent=2))
    else:
        print("\n".join(text_lines(entries)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
