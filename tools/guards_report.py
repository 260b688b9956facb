#!/usr/bin/env python3
# What a firmware image will let boot: the guard drivers it holds and their settings as the
# image holds them, read without booting it.
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Reports the guard drivers in IMAGE, the settings each one carries and any setting the guard
will not use as written.

IMAGE is a flash image or firmware volume (.fd, compressed volumes included), a package folder
(build/package, or one driver's folder in it) or a single driver image (.efi). A firmware image
is unpacked with UEFIExtract and every firmware file of every volume is read where it stands: a
file is a guard when its PE32 image is one of the package's, so two copies in two volumes are
two guards, each named by its volume. A driver image is recognised by comparing it with the
package's images outside the places a platform build patches (the settings, and past a list's
storage the spill marker and what follows it when a value spilled there), after moving the
package's image to the other's image base (a volume GenFv placed at a fixed address: image
base and relocated addresses changed, section padding cleared). The settings are read at the
file offsets the package's as-built INFs name in their [PatchPcd] sections, so an image whose
values GenFds patched shows the patched values.

For each driver found: the volume that holds it (firmware images: numbered in image order,
a nested volume after the one holding it), its version, RELEASE, DEBUG or NOOPT
("DEBUG/NOOPT" when the package's images of both targets are the same bytes), and its
settings: the wireless-WAN allow-list (vendor:product, lower-case hex, as lsusb shows them) and
the port it guards (a controller other than the shipped one is used only when it is a USB host
controller at boot, which the image cannot tell); the wireless-LAN rows (vendor:device,
subsystem vendor:subsystem, root-port and card ASPM) and the configuration window's base and
size as the driver reaches it. A list count above the entries the image reserves is shown
clamped, as the drivers clamp it. Each setting the guard will not use as written follows on a
line starting with "!", with what the guard does instead: a port filter no controller has
(device above 0x1F, function above 7, port above 15), entries inside the count that can never
match (vendor ID 0000; a wireless-LAN chip vendor ID 0000 or FFFF), a count above the storage,
ASPM values above 3, a list value that spilled past its storage (the marker dword after it
changed), a configuration window base below 1 MiB or off a 1 MiB boundary (nothing reached
through it), a window past 4 GiB or beyond 256 buses. So does a firmware file that holds a
driver otherwise than the package packs it: a DXE_DEPEX section (its expression decoded, and
what the dispatcher then waits for) or a file type other than DRIVER, and a file named like one
of the drivers (FILE_GUID or user-interface name) whose image the package did not build.

--json prints one JSON list, one object per driver found (keys driver, version, target,
volume, volume_number, file_guid, settings, problems). --check prints only the "!" lines, each
naming its driver and volume, and exits 1 when there is one or when neither guard was found
("no guard driver was found: nothing will be guarded"; the LAN driver is no guard), 0 when
every setting of every guard will be used as written. --require NAME[,NAME] exits 1, with a
line for each, when a named driver is not found. Exit status 2 (one line on stderr) for a file
that is not a firmware image or not a driver image of the package, one cut short, or a
--package folder that is missing or holds no driver image. --package defaults to the package
this script ships in (the folder above Tools/), else to the repository's build/package.

Usage: guards_report.py [--json] [--check] [--require NAME[,NAME]] [--package DIR] IMAGE
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
# The drivers' FILE_GUIDs (integrator_package/modules.ini), which never change: a file named by
# one of them must hold one of the package's images.
FILE_GUIDS = {"18126C98-8F69-462E-997B-D1DAF8E06192": "wwan_port_guard",
              "8B29DA19-1607-4A64-9B89-821AD27FF460": "wlan_slot_guard",
              "6BB22B2F-271D-4EF3-B1F3-5DE96DE97418": "lan_controller_setup"}
# What guards a platform: the LAN driver alone guards nothing.
GUARDS = ("wwan_port_guard", "wlan_slot_guard")
TARGETS = ("RELEASE", "DEBUG", "NOOPT")


def default_package():
    """The package this script ships in (PlatformGuardsPkg/Tools/), else the repository's
    build/package."""
    here = Path(__file__).resolve().parent
    if here.name == "Tools" and (here.parent / "PlatformGuardsPkg.dec").is_file():
        return here.parent
    return here.parent / "build" / "package"


DEFAULT_PACKAGE = default_package()
PCD_SIZES = {"UINT8": 1, "UINT16": 2, "UINT32": 4, "UINT64": 8}
# The configuration window's PCDs: the package's own, or MdePkg's base of earlier packages.
WINDOW_BASE_PCD = "PcdPciExpressWindowBase"
WINDOW_SIZE_PCD = "PcdPciExpressWindowSize"
# The driver reaches 1 MiB per bus, at most 256 buses, never past 4 GiB; a base below 1 MiB or
# off a 1 MiB boundary it does not use at all.
WINDOW_LIMIT = 1 << 32
WINDOW_MAX_SIZE = 256 << 20
WINDOW_ALIGNMENT = 1 << 20
WLAN_ROW_SIZE = 10
# Right after each list's storage the image holds this dword; the guard takes a changed one
# for a list value that spilled past the storage and then uses its shipped list and filter.
SPILL_MARKER = (0x21444E45).to_bytes(4, "little")
LISTS = {"PcdWwanAllowList": 4, "PcdWlanAllowList": WLAN_ROW_SIZE}  # name: entry size
# What the wireless-WAN guard's port filter can name: a PCI device and function, a USB root port.
MAX_DEVICE, MAX_FUNCTION, MAX_PORT = 0x1F, 7, 15
MAX_ASPM = 3  # Link Control bits 1:0
NEVER_MATCHING_CHIP_VENDORS = (0x0000, 0xFFFF)
# Base-relocation types a rebase applies: padding, 32-bit and 64-bit addresses.
REL_ABSOLUTE, REL_HIGHLOW, REL_DIR64 = 0, 3, 10
DIR_BASERELOC = 5
# The certificate table (Authenticode signatures, appended by a signing tool such as sbsign) and
# the optional header's checksum field, which signing rewrites.
DIR_SECURITY = 4
CHECKSUM_IN_OPTIONAL = 64

# How the package packs each driver: a DRIVER file (EFI_FV_FILETYPE_DRIVER) without a DXE_DEPEX
# section, which the DXE dispatcher starts once every architectural protocol is installed.
FILE_TYPE_DRIVER = 0x07
FILE_TYPE_OFFSET = 0x12  # EFI_FFS_FILE_HEADER.Type
# The PI firmware file types (EFI_FV_FILETYPE_*) and what becomes of a driver packed as one. The
# DXE dispatcher starts DRIVER, COMBINED_PEIM_DRIVER and COMBINED_MM_DXE files only.
NEVER_STARTED = "the DXE dispatcher never starts it: the {role} never runs"
FILE_TYPES = {
    0x01: ("RAW", NEVER_STARTED), 0x02: ("FREEFORM", NEVER_STARTED),
    0x03: ("SECURITY_CORE", NEVER_STARTED), 0x04: ("PEI_CORE", NEVER_STARTED),
    0x05: ("DXE_CORE", "taken for the DXE core's own file, never dispatched as a driver: the "
                       "{role} never runs"),
    0x06: ("PEIM", "the DXE dispatcher never starts it (the {role} never runs), and a PEI core "
                   "that finds it calls it without boot services"),
    0x08: ("COMBINED_PEIM_DRIVER", "the DXE dispatcher starts it, but a PEI core that finds it "
                                   "calls it first, without boot services"),
    0x09: ("APPLICATION", "never dispatched: the {role} never runs"),
    0x0A: ("MM (SMM)", "the DXE dispatcher never starts it (the {role} never runs); the MM core "
                       "would load it into SMRAM"),
    0x0B: ("FIRMWARE_VOLUME_IMAGE", "taken for a volume and never dispatched: the {role} never "
                                    "runs"),
    0x0C: ("COMBINED_MM_DXE", "the DXE dispatcher starts it, and the MM core loads it into SMRAM "
                              "as well, where it has no boot services"),
    0x0D: ("MM_CORE (SMM_CORE)", NEVER_STARTED), 0x0E: ("MM_STANDALONE", NEVER_STARTED),
    0x0F: ("MM_CORE_STANDALONE", NEVER_STARTED), 0xF0: ("FFS_PAD", NEVER_STARTED),
}
# The DXE dependency expression's opcodes (EFI_DEP_*); BEFORE, AFTER and PUSH take a GUID.
DEPEX_OPCODES = {0x00: "BEFORE", 0x01: "AFTER", 0x02: "PUSH", 0x03: "AND", 0x04: "OR",
                 0x05: "NOT", 0x06: "TRUE", 0x07: "FALSE", 0x08: "END", 0x09: "SOR"}
DEPEX_GUID_OPCODES = ("BEFORE", "AFTER", "PUSH")
# Protocols a dependency expression may name: the Framework ones the package declares, and the
# DXE architectural protocols PI defines. Other GUIDs the package's DEC declares are
# named by their C names.
PROTOCOL_NAMES = {
    "EA816D2C-CEE5-4F02-99B5-D3905CBBD077": "Framework HII",
    "B0732526-38C8-4B40-8877-61C7B06AAC45": "Framework CPU I/O",
    "665E3FF6-46CC-11D4-9A38-0090273FC14D": "the BDS architectural protocol",
    "26BACCB1-6F42-11D4-BCE7-0080C73C8881": "the CPU architectural protocol",
    "26BACCB2-6F42-11D4-BCE7-0080C73C8881": "the Metronome architectural protocol",
    "1DA97072-BDDC-4B30-99F1-72A0B56FFF2A": "the Monotonic Counter architectural protocol",
    "27CFAC87-46CC-11D4-9A38-0090273FC14D": "the Real Time Clock architectural protocol",
    "27CFAC88-46CC-11D4-9A38-0090273FC14D": "the Reset architectural protocol",
    "B7DFB4E1-052F-449F-87BE-9818FC91B733": "the Runtime architectural protocol",
    "A46423E3-4617-49F1-B9FF-D1BFA9115839": "the Security architectural protocol",
    "94AB2F58-1438-4EF1-9152-18941A3A0E68": "the Security2 architectural protocol",
    "26BACCB3-6F42-11D4-BCE7-0080C73C8881": "the Timer architectural protocol",
    "1E5668E2-8481-11D4-BCF1-0080C73C8881": "the Variable architectural protocol",
    "6441F818-6362-4E44-B570-7DBA31DD2453": "the Variable Write architectural protocol",
    "665E3FF5-46CC-11D4-9A38-0090273FC14D": "the Watchdog Timer architectural protocol",
    "5053697E-2CBC-4819-90D9-0580DEEE5754": "the Capsule architectural protocol",
}


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
    """{PCD name: datum type} from the package's DEC, the package's own types where a driver's
    folder is given without it."""
    types = {WINDOW_BASE_PCD: "UINT64", WINDOW_SIZE_PCD: "UINT64", "PcdWwanAllowListCount": "UINT8",
             "PcdWwanControllerDevice": "UINT16", "PcdWwanControllerFunction": "UINT16",
             "PcdWwanPort": "UINT8", "PcdWlanAllowListCount": "UINT8"}
    if dec.is_file():
        for name, datum in re.findall(r"^\s*\w+\.(\w+)\|.*\|(\w+\*?)\|0x[0-9A-Fa-f]+\s*$",
                                      dec.read_text(errors="replace"), re.MULTILINE):
            types[name] = datum
    return types


def u(data, offset, size):
    return int.from_bytes(data[offset:offset + size], "little")


class PeLayout:
    """Where a PE32+ image keeps its image base, its sections and its base relocations."""

    def __init__(self, image):
        pe = u(image, 0x3C, 4)
        optional = pe + 24
        self.base_at = optional + 24
        self.base = u(image, self.base_at, 8)
        table = optional + u(image, pe + 20, 2)
        # (virtual address, virtual size, file offset, size in the file) of each section
        headers = range(table, table + 40 * u(image, pe + 6, 2), 40)
        self.sections = [(u(image, h + 12, 4), u(image, h + 8, 4), u(image, h + 20, 4),
                          u(image, h + 16, 4)) for h in headers]
        self.fixups = []  # (file offset, type)
        directory = optional + 112 + 8 * DIR_BASERELOC
        # An image without relocations has no entry, or one of size 0 (all sixteen written).
        if u(image, optional + 108, 4) > DIR_BASERELOC and u(image, directory + 4, 4):
            block = self.file_offset(u(image, directory, 4))
            end = block + u(image, directory + 4, 4)
            while block + 8 <= end:
                page, length = u(image, block, 4), u(image, block + 4, 4)
                if length < 8:
                    break
                for at in range(block + 8, block + length, 2):
                    word = u(image, at, 2)
                    if word >> 12 != REL_ABSOLUTE:
                        self.fixups.append((self.file_offset(page + (word & 0xFFF)), word >> 12))
                block += length

    def file_offset(self, rva):
        for virtual, vsize, raw, rsize in self.sections:
            if virtual <= rva < virtual + max(vsize, rsize):
                return raw + rva - virtual
        raise ValueError(f"RVA 0x{rva:X} lies in no section")

    def slack(self):
        """The file's bytes of each section past its virtual size: never loaded."""
        return [(raw + vsize, raw + rsize) for _, vsize, raw, rsize in self.sections
                if 0 < vsize < rsize]

    def section_end(self, offset):
        return next((raw + rsize for _, _, raw, rsize in self.sections
                     if raw <= offset < raw + rsize), offset)


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
        self.layout = PeLayout(self.image)
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
        # The lists whose storage this build follows with the spill marker (every image of a
        # package that has one): name: the marker's file offset.
        ends = {name: sum(self.pcds[name]) for name in LISTS if name in self.pcds}
        self.markers = {name: end for name, end in ends.items()
                        if self.image[end:end + 4] == SPILL_MARKER}

    def spilled(self, image):
        """The lists whose marker the image no longer holds."""
        return [name for name, at in self.markers.items() if image[at:at + 4] != SPILL_MARKER]

    def matches(self, image):
        """True when image is this module's image, the patchable values and a spill aside,
        placed at its own image base."""
        if len(image) != len(self.image) or image[:2] != b"MZ":
            return False
        mine = bytearray(self.image)
        try:
            theirs = PeLayout(image)
        except (ValueError, IndexError):
            return False
        if theirs.base_at != self.layout.base_at:
            return False
        delta = theirs.base - self.layout.base
        if delta:
            at = self.layout.base_at
            mine[at:at + 8] = image[at:at + 8]
            for offset, kind in self.layout.fixups:
                size = {REL_HIGHLOW: 4, REL_DIR64: 8}.get(kind)
                if size is None:
                    return False
                moved = (u(mine, offset, size) + delta) % (1 << (8 * size))
                mine[offset:offset + size] = moved.to_bytes(size, "little")
        theirs_masked = bytearray(image)
        ignored = [(offset, offset + size) for offset, size in self.pcds.values()]
        ignored += self.layout.slack()
        ignored += [(self.markers[name], self.layout.section_end(self.markers[name]))
                    for name in self.spilled(image)]
        for start, end in ignored:
            mine[start:end] = theirs_masked[start:end] = bytes(end - start)
        return mine == theirs_masked


def dec_names(dec):
    """{GUID text: C name} of the GUIDs the package's DEC declares."""
    names = {}
    if dec.is_file():
        for name, fields in re.findall(r"^\s*(g\w+)\s*=\s*\{([^}]*\{[^}]*\})\s*\}",
                                       dec.read_text(errors="replace"), re.MULTILINE):
            numbers = [int(n, 16) for n in re.findall(r"0x([0-9A-Fa-f]+)", fields)]
            if len(numbers) == 11:
                tail = "".join(f"{n:02X}" for n in numbers[3:])
                names[f"{numbers[0]:08X}-{numbers[1]:04X}-{numbers[2]:04X}-{tail[:4]}-"
                      f"{tail[4:]}"] = name
    return names


def package_dec(root, infs):
    """The package's DEC: in root, or above the driver folder given as root."""
    for folder in [root, *infs[0].parents]:
        if (folder / "PlatformGuardsPkg.dec").is_file():
            return folder / "PlatformGuardsPkg.dec"
    return root / "PlatformGuardsPkg.dec"


def load_package(root):
    """The modules of the package folder root (or of one driver's folder, or one target's)."""
    if not root.is_dir():
        raise ReportError(f"--package {root}: no such folder (the integrator package whose "
                          f"INFs name where the settings sit)")
    infs = sorted(p for p in root.rglob("*.inf")
                  if p.stem in DRIVERS and (p.parent / f"{p.stem}.efi").is_file())
    if not infs:
        raise ReportError(f"{root}: no guard driver image with its INF in it (not an integrator "
                          f"package folder)")
    dec = package_dec(root, infs)
    types = dec_types(dec)
    modules = [Module(inf, types) for inf in infs]
    names = {**dec_names(dec), **PROTOCOL_NAMES}
    for module in modules:
        module.guid_names = names
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


def usb_id(dword):
    return f"{dword & 0xFFFF:04x}:{dword >> 16:04x}"


def wwan_list(image, module):
    storage = raw(image, module, "PcdWwanAllowList")
    count = value(image, module, "PcdWwanAllowListCount")
    return [u(storage, i * 4, 4) for i in range(listed(count, len(storage) // 4))]


def wlan_rows(image, module):
    storage = raw(image, module, "PcdWlanAllowList")
    count = value(image, module, "PcdWlanAllowListCount")
    return [storage[i * WLAN_ROW_SIZE:(i + 1) * WLAN_ROW_SIZE]
            for i in range(listed(count, len(storage) // WLAN_ROW_SIZE))]


def settings_of(image, module):
    found = {}
    if "PcdWwanAllowList" in module.pcds:
        found["allow_list"] = [usb_id(i) for i in wwan_list(image, module)]
        found["allow_list_count"] = value(image, module, "PcdWwanAllowListCount")
        found["allow_list_capacity"] = module.pcds["PcdWwanAllowList"][1] // 4
        found["port"] = {"device": value(image, module, "PcdWwanControllerDevice"),
                         "function": value(image, module, "PcdWwanControllerFunction"),
                         "port": value(image, module, "PcdWwanPort")}
    if "PcdWlanAllowList" in module.pcds:
        found["allow_list"] = [{"chip": usb_id(u(row, 0, 4)), "subsystem": usb_id(u(row, 4, 4)),
                                "root_port_aspm": row[8], "card_aspm": row[9]}
                               for row in wlan_rows(image, module)]
        found["allow_list_count"] = value(image, module, "PcdWlanAllowListCount")
        found["allow_list_capacity"] = module.pcds["PcdWlanAllowList"][1] // WLAN_ROW_SIZE
    base, size = value(image, module, WINDOW_BASE_PCD), value(image, module, WINDOW_SIZE_PCD)
    if base is not None and size is not None:
        found["window"] = {"base": base, "size": window_reach(base, size)}
    return found


def window_refused(base):
    """Why the driver uses no window at this base (None: it uses it)."""
    if base < WINDOW_ALIGNMENT:
        return "below 1 MiB"
    if base % WINDOW_ALIGNMENT:
        return "not a multiple of 1 MiB"
    return None


def window_reach(base, size):
    """What the driver reaches of the window: at most 256 buses, never past 4 GiB, nothing
    through a base it refuses."""
    if base >= WINDOW_LIMIT or window_refused(base):
        return 0
    return min(size, WINDOW_MAX_SIZE, WINDOW_LIMIT - base)


def numbered(noun, indexes):
    """The entries by their 1-based numbers: "entry 2 holds", "rows 5-16, 18 hold"."""
    runs = []
    for i in indexes:
        if runs and runs[-1][1] == i - 1:
            runs[-1][1] = i
        else:
            runs.append([i, i])
    text = ", ".join(f"{a + 1}" if a == b else f"{a + 1}-{b + 1}" for a, b in runs)
    if len(indexes) == 1:
        return f"{noun} {text} holds"
    return f"{noun.replace('ry', 'rie')}s {text} hold"


def port_text(device, function, port):
    return f"controller 00:{device:02x}.{function:x}, root port {port}"


FILTER_PCDS = ("PcdWwanControllerDevice", "PcdWwanControllerFunction", "PcdWwanPort")


def problems_of(image, module):
    """Each setting the guard will not use as written, with what it does instead."""
    found = []
    spilled = module.spilled(image)
    if "PcdWwanAllowList" in module.pcds:
        found += wwan_problems(image, module, "PcdWwanAllowList" in spilled)
    if "PcdWlanAllowList" in module.pcds:
        found += wlan_problems(image, module, "PcdWlanAllowList" in spilled)
    base, size = value(image, module, WINDOW_BASE_PCD), value(image, module, WINDOW_SIZE_PCD)
    if base is not None and window_refused(base):
        found.append(f"configuration window base 0x{base:X}: {window_refused(base)}: the guard "
                     f"reads and writes nothing through the window: no link power is set on any "
                     f"port (the rest of the guard runs)")
    elif base is not None and size is not None and window_reach(base, size) != size:
        reach = window_reach(base, size)
        why = ("its base lies at or above 4 GiB" if base >= WINDOW_LIMIT else
               "it reaches past 256 buses" if reach == WINDOW_MAX_SIZE else "it reaches past 4 GiB")
        found.append(f"configuration window base 0x{base:X}, size 0x{size:X}: {why}: the guard "
                     f"reaches " + (f"0x{reach:X} bytes" if reach else "no configuration space"))
    return found


def spill_problem(name, module, pcd):
    return (f"{name}: its value runs past the {module.pcds[pcd][1]} bytes the image holds for "
            f"it (the marker after them changed): the guard uses its shipped list")


def count_problem(image, module, name, count_pcd, list_pcd, entry_size):
    count, capacity = value(image, module, count_pcd), module.pcds[list_pcd][1] // entry_size
    if count is not None and count > capacity:
        return [f"{name}: count {count} above the {capacity} entries the image holds: the guard "
                f"searches {capacity}"]
    return []


def wwan_problems(image, module, spilled):
    name = "wireless-WAN allow-list"
    shipped_filter = port_text(*(value(module.image, module, pcd) for pcd in FILTER_PCDS))
    if spilled:
        shipped_list = " ".join(usb_id(i) for i in wwan_list(module.image, module))
        return [f"{spill_problem(name, module, 'PcdWwanAllowList')} ({shipped_list}) and port "
                f"filter ({shipped_filter})"]
    found = count_problem(image, module, name, "PcdWwanAllowListCount", "PcdWwanAllowList", 4)
    never = [i for i, dword in enumerate(wwan_list(image, module)) if dword & 0xFFFF == 0]
    if never:
        found.append(f"{name}: {numbered('entry', never)} vendor ID 0000 (never matched)")
    device, function, port = (value(image, module, pcd) for pcd in FILTER_PCDS)
    wrong = [text for text, bad in
             ((f"device 0x{device:X} above 0x{MAX_DEVICE:X}", device > MAX_DEVICE),
              (f"function {function} above {MAX_FUNCTION}", function > MAX_FUNCTION),
              (f"root port {port} above {MAX_PORT}", port > MAX_PORT)) if bad]
    if wrong:
        found.append(f"port filter {port_text(device, function, port)}: {', '.join(wrong)}: the "
                     f"guard uses its shipped filter, {shipped_filter}")
    return found


def wlan_problems(image, module, spilled):
    name = "wireless-LAN allow-list"
    if spilled:
        rows = len(wlan_rows(module.image, module))
        return [f"{spill_problem(name, module, 'PcdWlanAllowList')} of {rows} rows"]
    found = count_problem(image, module, name, "PcdWlanAllowListCount", "PcdWlanAllowList",
                          WLAN_ROW_SIZE)
    rows = wlan_rows(image, module)
    never = [i for i, row in enumerate(rows) if u(row, 0, 2) in NEVER_MATCHING_CHIP_VENDORS]
    if never:
        found.append(f"{name}: {numbered('row', never)} chip vendor ID 0000 or FFFF "
                     f"(never matched)")
    for i, row in enumerate(rows):
        for field, aspm in (("root-port", row[8]), ("card", row[9])):
            if aspm > MAX_ASPM and i not in never:
                found.append(f"{name}: row {i + 1}: {field} ASPM {aspm} above {MAX_ASPM}: "
                             f"the guard writes {aspm & MAX_ASPM} (bits 1:0)")
    return found


def role(driver):
    return "guard" if driver in GUARDS else "driver"


# --- the firmware file around a driver ---------------------------------------------------------

def guid_text(data):
    """A GUID's text from its 16 bytes in memory order."""
    d1, d2, d3 = u(data, 0, 4), u(data, 4, 2), u(data, 6, 2)
    return f"{d1:08X}-{d2:04X}-{d3:04X}-{data[8:10].hex().upper()}-{data[10:16].hex().upper()}"


def decode_depex(body):
    """The expression as [(opcode name, GUID text or None)], up to its END."""
    program, at = [], 0
    while at < len(body):
        name = DEPEX_OPCODES.get(body[at])
        if name is None:
            raise ValueError(f"opcode 0x{body[at]:02X} at byte {at}")
        guid = None
        if name in DEPEX_GUID_OPCODES:
            if at + 17 > len(body):
                raise ValueError(f"{name} at byte {at} cut short")
            guid = guid_text(body[at + 1:at + 17])
        program.append((name, guid))
        at += 17 if guid else 1
        if name == "END":
            return program
    raise ValueError("no END")


def depex_meaning(program, module):
    """What the dispatcher waits for before it starts the driver."""
    def named(guid):
        return module.guid_names.get(guid, guid)

    ops = [op for op, _ in program]
    if ops[0] in ("BEFORE", "AFTER"):
        guid = program[0][1]
        other = FILE_GUIDS.get(guid, guid)
        return (f"the {role(module.driver)} is started right {ops[0].lower()} the driver of file "
                f"{other}, never if that one is not dispatched, and without waiting for the "
                f"architectural protocols")
    stack = []
    for op, guid in program[1:] if ops[0] == "SOR" else program:
        if op == "PUSH":
            stack.append(named(guid))
        elif op in ("TRUE", "FALSE"):
            stack.append(op)
        elif op == "NOT":
            stack.append(f"not {stack.pop()}")
        elif op in ("AND", "OR"):
            right, left = stack.pop(), stack.pop()
            stack.append(f"({left} {op.lower()} {right})")
        elif op == "END":
            break
        else:
            raise ValueError(f"{op} inside the expression")
    if len(stack) != 1:
        raise ValueError("the expression does not leave one value")
    condition = stack[0][1:-1] if stack[0].startswith("(") else stack[0]
    if condition == "FALSE":
        meaning = f"the {role(module.driver)} is never started"
    elif condition == "TRUE":
        meaning = (f"the {role(module.driver)} may be started before every architectural "
                   f"protocol is installed")
    elif ops[:2] == ["PUSH", "END"]:
        meaning = (f"the {role(module.driver)} waits for {condition}: on a platform that never "
                   f"installs it, it never runs")
    else:
        meaning = (f"the {role(module.driver)} waits for {condition}: on a platform where that "
                   f"never holds, it never runs")
    if ops[0] == "SOR":
        meaning = (f"the {role(module.driver)} is started only when another driver asks the "
                   f"dispatcher to schedule it; then {meaning.split(' ', 2)[2]}")
    return meaning


def file_problems(file_type, depexes, module):
    """How the firmware file holding the module differs from the package's, and what follows:
    the package packs it as a DRIVER file with no dependency expression, started once every
    architectural protocol is installed."""
    found = []
    if file_type is not None and file_type != FILE_TYPE_DRIVER:
        kind, consequence = FILE_TYPES.get(
            file_type, ("OEM" if 0xC0 <= file_type <= 0xDF else
                        "DEBUG" if 0xE0 <= file_type <= 0xEF else "unknown", NEVER_STARTED))
        found.append(f"firmware file type {kind} (0x{file_type:02X}), not DRIVER (0x07): "
                     + consequence.format(role=role(module.driver)))
    for body in depexes:
        try:
            program = decode_depex(body)
            shown = ", ".join(f"{op} {module.guid_names[g]} {g}" if g in module.guid_names
                              else f"{op} {g}" if g else op for op, g in program)
            meaning = depex_meaning(program, module)
        except (ValueError, IndexError) as error:
            found.append(f"firmware file has a DXE_DEPEX section the dispatcher cannot evaluate "
                         f"({error}; {body.hex().upper()}): the {role(module.driver)} never runs")
            continue
        found.append(f"firmware file has a DXE_DEPEX section ({shown}): {meaning} (the package's "
                     f"file has none: started once every architectural protocol is installed)")
    return found


def entry(modules, image, version=None, volume=None, number=None, file_guid=None, packing=(),
          signed=False):
    module = modules[0]
    shipped_port = None
    if "PcdWwanControllerDevice" in module.pcds:
        shipped_port = tuple(value(module.image, module, pcd) for pcd in FILTER_PCDS)
    return {"driver": module.driver, "version": version or module.version,
            "target": "/".join(m.target for m in modules) if module.target else None,
            "volume": volume, "volume_number": number, "file_guid": file_guid or module.file_guid,
            "signed": signed,
            "settings": settings_of(image, module),
            "problems": list(packing) + problems_of(image, module),
            "_shipped_port": shipped_port}


def foreign_entry(driver, how, version, volume, number, file_guid):
    """A firmware file named like one of the drivers whose image the package did not build."""
    return {"driver": driver, "version": version, "target": None, "volume": volume,
            "volume_number": number, "file_guid": file_guid, "settings": {},
            "problems": [f"a {driver} image this package did not build (the file carries its "
                         f"{how}; another package's? give it with --package): what it allows "
                         f"cannot be read"],
            "_foreign": True}


# --- the inputs --------------------------------------------------------------------------------

def report_folder(folder):
    return [entry([m], m.image) for m in load_package(folder)]


def unsigned(image):
    """A signed image as it was before signing: the certificate table's directory entry and the
    checksum cleared, the certificates (and the padding to 8 bytes before them) cut off; None
    for an image without a certificate table at its end."""
    try:
        optional = u(image, 0x3C, 4) + 24
        if u(image, optional + 108, 4) <= DIR_SECURITY:
            return None
        directory = optional + 112 + 8 * DIR_SECURITY
        offset, size = u(image, directory, 4), u(image, directory + 4, 4)
    except IndexError:
        return None
    if size == 0 or offset == 0 or offset + size != len(image):
        return None
    plain = bytearray(image[:offset])
    plain[directory:directory + 8] = bytes(8)
    plain[optional + CHECKSUM_IN_OPTIONAL:optional + CHECKSUM_IN_OPTIONAL + 4] = bytes(4)
    return bytes(plain)


def identify(image, modules):
    """The package's modules whose image this is (DEBUG and NOOPT may be the same bytes), and
    whether it is a signed copy of it."""
    found = [module for module in modules if module.matches(image)]
    plain = None if found else unsigned(image)
    if plain is None:
        return found, False
    # A signing tool pads the image to a multiple of 8 bytes before the certificates.
    return [module for module in modules
            if module.matches(plain[:len(module.image)])
            and not any(plain[len(module.image):])], True


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
    modules = load_package(package)
    found, signed = identify(image, modules)
    if not found:
        raise ReportError(f"{path}: not a driver image of the package at {package}: it differs "
                          f"from each of its images outside the settings")
    return [entry(found, image, signed=signed)]


def uefiextract(arguments, cwd):
    tool = shutil.which("UEFIExtract")
    if tool is None:
        raise ReportError("UEFIExtract is not installed (Debian package uefitool-cli)")
    return subprocess.run([tool, *arguments], cwd=cwd, capture_output=True, text=True,
                          errors="replace")


def info_of(folder):
    """The fields of a UEFIExtract dump folder's info.txt."""
    fields = {}
    info = folder / "info.txt"
    if info.is_file():
        for line in info.read_text(errors="replace").splitlines():
            key, _, text = line.partition(":")
            fields.setdefault(key.strip(), text.strip())
    return fields


def children(folder):
    """A dump folder's items in the order they stand (UEFIExtract numbers them)."""
    items = [(int(p.name.split(" ", 1)[0]), p) for p in folder.iterdir()
             if p.is_dir() and p.name.split(" ", 1)[0].isdigit()]
    return [p for _, p in sorted(items, key=lambda item: item[0])]


def walk(folder, volume, volumes, files):
    """Every firmware file under folder, in image order, with the volume holding it."""
    for item in children(folder):
        info = info_of(item)
        kind = info.get("Type")
        if kind == "Volume":
            volumes.append(info.get("Volume GUID"))  # None: a volume without a name
            walk(item, (volumes[-1], len(volumes)), volumes, files)
        elif kind == "File":
            files.append((info.get("File GUID", "").upper(), item, volume))
            walk(item, volume, volumes, files)  # volumes inside its sections
        else:
            walk(item, volume, volumes, files)


def file_type(file_folder):
    header = file_folder / "header.bin"
    if header.is_file():
        data = header.read_bytes()
        if len(data) > FILE_TYPE_OFFSET:
            return data[FILE_TYPE_OFFSET]
    return None


def sections(file_folder, subtype):
    """The bodies of the file's sections of one subtype, volumes inside it left out."""
    found = []
    for item in children(file_folder):
        info = info_of(item)
        if info.get("Type") != "Section":
            continue
        if info.get("Subtype") == subtype and (item / "body.bin").is_file():
            found.append((item / "body.bin").read_bytes())
        else:
            found += sections(item, subtype)
    return found


def report_firmware(path, package):
    modules = load_package(package)
    with tempfile.TemporaryDirectory(prefix="guards_report.") as work:
        work = Path(work)
        copy = work / "image.fd"
        shutil.copyfile(path, copy)
        result = uefiextract([copy.name, "all"], work)
        complaints = result.stdout + result.stderr
        if "overlaps the end of data" in complaints:
            raise ReportError(f"{path}: truncated: a firmware volume runs past the end of the file")
        dump = work / "image.fd.dump"
        if result.returncode != 0 or not dump.is_dir():
            raise ReportError(f"{path}: UEFIExtract could not read it: "
                              f"{complaints.strip().splitlines()[-1:] or ['no dump']}")
        volumes, files = [], []
        walk(dump, None, volumes, files)
        if not volumes:
            raise ReportError(f"{path}: not a firmware image (no firmware volume in it)")
        entries = []
        for guid, folder, (volume, number) in files:
            images = sections(folder, "PE32 image")
            found = next(((image, m, signed) for image in images
                          for m, signed in [identify(image, modules)] if m), None)
            version = None
            for body in sections(folder, "Version"):
                version = body.decode("utf-16-le", "replace").split("\0")[0]
            if found is None:
                ui = [body.decode("utf-16-le", "replace").split("\0")[0]
                      for body in sections(folder, "UI")]
                named = [(FILE_GUIDS[guid], "FILE_GUID")] if guid in FILE_GUIDS else []
                named += [(name, "user-interface name") for name in ui if name in DRIVERS]
                if named:
                    entries.append(foreign_entry(*named[0], version, volume, number, guid))
                continue
            packing = file_problems(file_type(folder), sections(folder, "DXE dependency"),
                                    found[1][0])
            entries.append(entry(found[1], found[0], version, volume, number, guid, packing,
                                 signed=found[2]))
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

def where(e):
    """The volume by its number in the image, and by its name when it has one."""
    return f"in volume {e['volume_number']}" + (f" ({e['volume']})" if e["volume"] else "")


def port_line(e):
    """The port filter, and when the controller is not the shipped one, that the guard uses it
    only if it is a USB host controller when the guard runs (the image cannot tell)."""
    port = e["settings"]["port"]
    line = f"  port: {port_text(**port)}"
    in_range = (port["device"] <= MAX_DEVICE and port["function"] <= MAX_FUNCTION
                and port["port"] <= MAX_PORT)
    if in_range and e["_shipped_port"][:2] != (port["device"], port["function"]):
        controller = f"00:{port['device']:02x}.{port['function']:x}"
        line += (f" (used if {controller} is a USB host controller at boot, else the shipped "
                 f"port)")
    return line


def text_lines(entries, verdicts):
    lines = []
    for e in entries:
        lines.append(f"{e['driver']}  {e['target'] or 'unknown target'}  version "
                     f"{e['version'] or 'unknown'}" + ("  signed" if e.get("signed") else "")
                     + (f"  {where(e)}" if e["volume_number"] else ""))
        s = e["settings"]
        if "allow_list" in s:
            note = f"{len(s['allow_list'])} of {s['allow_list_capacity']}"
            if s["allow_list_count"] > s["allow_list_capacity"]:
                note += f", count {s['allow_list_count']} clamped"
            if "port" in s:
                lines.append(f"  wireless-WAN allow-list ({note}): " + " ".join(s["allow_list"]))
                lines.append(port_line(e))
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
        lines += [f"  ! {problem}" for problem in e["problems"]]
    return lines + verdicts


def check_lines(entries, verdicts):
    lines = [f"{e['driver']} {e['target'] or 'unknown target'}"
             + (f" {where(e)}" if e["volume_number"] else "") + f": {problem}"
             for e in entries for problem in e["problems"]]
    lines += verdicts
    return lines or [f"every setting of the {len(entries)} driver images found will be used as "
                     f"written"]


def verdicts_of(entries, required):
    """The lines about the image as a whole: no guard at all, a required driver missing. A file
    whose image the package did not build counts as no driver."""
    present = {e["driver"] for e in entries if not e.get("_foreign")}
    no_guard = [] if present & set(GUARDS) else ["no guard driver was found: nothing will be "
                                                 "guarded"]
    missing = [f"{name} was not found, and --require names it" for name in required
               if name not in present]
    return no_guard, missing


def required_drivers(text):
    names = [name for name in text.split(",") if name]
    unknown = [name for name in names if name not in DRIVERS]
    if unknown or not names:
        raise argparse.ArgumentTypeError(f"{text!r}: name one or more of {', '.join(DRIVERS)}")
    return names


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", action="store_true", help="one JSON list, one object per driver")
    parser.add_argument("--check", action="store_true",
                        help="only the settings a guard will not use as written; exit 1 if any, "
                             "or if no guard was found")
    parser.add_argument("--require", type=required_drivers, default=[], metavar="NAME[,NAME]",
                        help="exit 1 when one of these drivers is not found")
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
    no_guard, missing = verdicts_of(entries, args.require)
    if args.json:
        print(json.dumps([{k: v for k, v in e.items() if not k.startswith("_")} for e in entries],
                         indent=2))
    else:
        lines = check_lines if args.check else text_lines
        print("\n".join(lines(entries, no_guard + missing)))
    failed = args.check and (no_guard or any(e["problems"] for e in entries))
    return 1 if failed or missing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
