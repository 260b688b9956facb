#!/usr/bin/env python3
# tools/guards_report.py on the board's firmware, the SKU firmware, Debian's stock OVMF, a
# truncated image, two volumes each holding a copy of a guard, a volume GenFv placed at a fixed
# address, guard files packed otherwise or holding an image the package did not build, and
# driver images whose settings were patched into what the guards will not use.
# SPDX-License-Identifier: BSD-2-Clause-Patent
import configparser
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import uuid
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
REPORT = ROOT / "tools" / "guards_report.py"
PACKAGE = Path(os.environ.get("PACKAGE_DIR", ROOT / "build" / "package"))
FIRMWARE = Path(os.environ.get("FIRMWARE_DIR", ROOT / "build" / "flash" / "firmware"))
STOCK_OVMF = Path("/usr/share/OVMF/OVMF_CODE_4M.fd")
GENFV = FIRMWARE.parent / "edk2" / "BaseTools" / "Source" / "C" / "bin" / "GenFv"
sys.path.insert(0, str(ROOT / "integrator_package"))
from gen_ffs import module_ffs  # noqa: E402

# What the allow-lists hold by default, written from the drivers' own tables.
WWAN_DEFAULT = ["7e2d:0c71", "7e2d:0c72", "7e2d:0c73", "7e2d:0c74"]
KEYBOARD = "0627:0001"
DXE_VOLUME = "7CB8BDC9-F8EB-4F34-AAEA-3EE4AF6516A1"
MANIFEST = configparser.ConfigParser(interpolation=None)
MANIFEST.read(ROOT / "integrator_package" / "modules.ini", encoding="utf-8")
VERSION = MANIFEST["package"]["version"]
WWAN, WLAN = "wwan_port_guard", "wlan_slot_guard"
BASE, SIZE = "PcdPciExpressWindowBase", "PcdPciExpressWindowSize"
MARKER = b"END!"  # the dword 0x21444E45 after each list's storage
FRAMEWORK_HII = uuid.UUID("EA816D2C-CEE5-4F02-99B5-D3905CBBD077").bytes_le
FRAMEWORK_CPU_IO = uuid.UUID("B0732526-38C8-4B40-8877-61C7B06AAC45").bytes_le
NO_GUARD = "no guard driver was found: nothing will be guarded"


def run(*arguments, package=PACKAGE):
    return subprocess.run([sys.executable, str(REPORT), "--package", str(package), *map(str, arguments)],
                          capture_output=True, text=True)


def report(*arguments):
    result = run("--json", *arguments)
    if result.returncode != 0:
        raise AssertionError(f"exit {result.returncode}: {result.stderr}")
    return {e["driver"]: e for e in json.loads(result.stdout)}


def pcd_line(folder, driver, pcd):
    """A setting's [PatchPcd] line in the as-built INF, its value, file offset and size (lists)."""
    line = next(l.strip() for l in (folder / f"{driver}.inf").read_text().splitlines() if f".{pcd}|" in l)
    _, value, offset = line.split("|")
    return line, value, int(offset, 0), len(value.split(",")) if value.startswith("{") else 0


def patched(out, folder, driver, patches):
    """The driver's image with each (setting, place in it or None for right after it, bytes) written in."""
    image = bytearray((folder / f"{driver}.efi").read_bytes())
    for pcd, at, data in patches:
        _, _, offset, size = pcd_line(folder, driver, pcd)
        offset += size if at is None else at
        image[offset:offset + len(data)] = data
    out.write_bytes(image)
    return out


def marked_package(work):
    """The guards' RELEASE images with each list followed by the marker: where an image does not
    hold it yet, the list's last entry gives its place to it."""
    package = Path(work) / "marked"
    package.mkdir()
    shutil.copy(PACKAGE / "PlatformGuardsPkg.dec", package)
    for driver, pcd, entry in ((WWAN, "PcdWwanAllowList", 4), (WLAN, "PcdWlanAllowList", 10)):
        folder = shutil.copytree(PACKAGE / driver / "RELEASE", package / driver / "RELEASE")
        line, value, offset, size = pcd_line(folder, driver, pcd)
        image = bytearray((folder / f"{driver}.efi").read_bytes())
        if image[offset + size:offset + size + 4] != MARKER:
            image[offset + size - entry:offset + size - entry + 4] = MARKER
            (folder / f"{driver}.efi").write_bytes(image)
            shorter = line.replace(value, "{" + ",".join(value.strip("{}").split(",")[:size - entry]) + "}")
            (folder / f"{driver}.inf").write_text((folder / f"{driver}.inf").read_text().replace(line, shorter))
    return package


def retyped(ffs, file_type, name=None):
    """The firmware file as another type (and under another name), its header checksum redone."""
    header = bytearray((name or ffs[:16]) + ffs[16:24])
    header[18], header[16], state = file_type, 0, header[23]
    header[23] = 0
    header[16] = -sum(header) & 0xFF
    header[23] = state
    return bytes(header) + ffs[24:]


def volume(*files):
    """A firmware volume with erase polarity 1 (each file's state byte stored complemented) and no name."""
    body = b"".join(f[:23] + bytes([f[23] ^ 0xFF]) + f[24:] + b"\xff" * (-len(f) % 8) for f in files)
    length = -(-(0x48 + len(body)) // 0x1000) * 0x1000
    header = bytearray(bytes(16) + uuid.UUID("8C8CE578-8A3D-4F1C-9935-896185C32DD3").bytes_le
                       + struct.pack("<Q4sIHHHBB", length, b"_FVH", 0x30C06, 0x48, 0, 0, 0, 2)
                       + struct.pack("<IIII", length // 0x1000, 0x1000, 0, 0))
    struct.pack_into("<H", header, 0x32, -sum(struct.unpack("<36H", header)) & 0xFFFF)
    return bytes(header) + body + b"\xff" * (length - 0x48 - len(body))


class FirmwareVariantsTest(unittest.TestCase):
    def variant(self, name):
        path = FIRMWARE / name / "OVMF_CODE.fd"
        if not path.is_file():
            self.fail(f"{path} was not built")
        return path

    def test_the_sku_firmware_adds_the_keyboard_and_changes_nothing_else(self):
        board = report(self.variant("board"))
        sku = report(self.variant("sku"))
        self.assertEqual(set(board), {"wwan_port_guard", "wlan_slot_guard", "lan_controller_setup"})
        for entry in board.values():
            self.assertEqual((entry["target"], entry["version"], entry["volume"], entry["problems"]),
                             ("RELEASE", VERSION, DXE_VOLUME, []))
        for name in ("board", "sku"):
            self.assertEqual(run("--check", self.variant(name)).returncode, 0)
        wwan = board["wwan_port_guard"]["settings"]
        self.assertEqual(wwan["allow_list"], WWAN_DEFAULT)
        self.assertEqual(wwan["port"], {"device": 0x1A, "function": 0, "port": 1})
        self.assertEqual(board["wlan_slot_guard"]["settings"]["window"], {"base": 0xB0000000, "size": 0x10000000})
        self.assertEqual(len(board["wlan_slot_guard"]["settings"]["allow_list"]), 7)
        self.assertEqual(sku["wwan_port_guard"]["settings"]["allow_list"], WWAN_DEFAULT + [KEYBOARD])
        sku["wwan_port_guard"]["settings"]["allow_list"].pop()
        sku["wwan_port_guard"]["settings"]["allow_list_count"] = 4
        self.assertEqual(sku, board)

    def test_the_gate_fails_an_image_without_a_guard_or_without_a_required_one(self):
        wwan, lan = (PACKAGE / d / "RELEASE" / f"{d}.efi" for d in (WWAN, "lan_controller_setup"))
        both = "wwan_port_guard,wlan_slot_guard"
        for arguments, status, output in [
                ((STOCK_OVMF,), 0, [NO_GUARD]), (("--check", STOCK_OVMF), 1, [NO_GUARD]),
                (("--json", STOCK_OVMF), 0, ["[]"]), (("--check", lan), 1, [NO_GUARD]),
                (("--require", both, wwan), 1, ["wlan_slot_guard was not found, and --require names it"]),
                (("--check", "--require", both, self.variant("sku")), 0,
                 ["every setting of the 3 driver images found will be used as written"])]:
            if STOCK_OVMF in arguments and not STOCK_OVMF.is_file():
                continue  # Debian's ovmf, which the board scenarios boot, is not installed
            with self.subTest(arguments=arguments):
                result = run(*arguments)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertEqual(result.stdout.splitlines()[-len(output):], output)

    def test_what_is_no_image_gets_one_line_and_status_2(self):
        with tempfile.TemporaryDirectory() as work:
            truncated = Path(work) / "truncated.fd"
            truncated.write_bytes(self.variant("board").read_bytes()[:0x200000])
            efi = Path(work) / "truncated.efi"
            efi.write_bytes((PACKAGE / "wwan_port_guard" / "RELEASE" / "wwan_port_guard.efi").read_bytes()[:0x400])
            foreign = bytearray((PACKAGE / WWAN / "RELEASE" / f"{WWAN}.efi").read_bytes())
            foreign[0x200] ^= 0xFF  # a byte of code changed
            (Path(work) / "foreign.efi").write_bytes(foreign)
            for path, package in [(truncated, PACKAGE), (efi, PACKAGE), (ROOT / "README.md", PACKAGE),
                                  (Path(work) / "foreign.efi", PACKAGE),
                                  (PACKAGE / WWAN / "RELEASE" / f"{WWAN}.efi", Path(work) / "no_package")]:
                with self.subTest(path=path.name, package=package.name):
                    result = run("--json", path, package=package)
                    self.assertEqual((result.returncode, result.stdout), (2, ""))
                    self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)


class PatchedSettingsTest(unittest.TestCase):
    """Settings patched into a driver image: a count past the storage shown clamped, as the drivers
    clamp it, and each setting the guard will not use as written named on its own line, by --check
    (status 1) and in the report; settings at the edge of what the guards take pass (status 0)."""

    def test_settings_the_guards_will_not_use_as_written(self):
        shipped_filter = "the guard uses its shipped filter, controller 00:1a.0, root port 1"
        with tempfile.TemporaryDirectory() as work:
            marked = marked_package(work)
            for row in [
                    (WWAN, [("PcdWwanAllowListCount", 0, [200])], 16,
                     ["count 200 above the 16 entries the image holds", "entries 5-16 hold vendor ID 0000"]),
                    (WLAN, [("PcdWlanAllowListCount", 0, [17])], 16, ["count 17 above the 16", "rows 8-16 hold"]),
                    (WLAN, [("PcdWlanAllowListCount", 0, [9])], 9, ["rows 8-9 hold chip vendor ID 0000 or FFFF"]),
                    (WLAN, [("PcdWlanAllowList", 10, b"\xff\xff")], 7, ["row 2 holds chip vendor ID 0000 or FFFF"]),
                    (WWAN, [("PcdWwanAllowList", 4, b"\0\0")], 4, ["entry 2 holds vendor ID 0000 (never matched)"]),
                    (WLAN, [("PcdWlanAllowList", 28, b"\xff\x04")], 7,
                     ["row 3: root-port ASPM 255 above 3: the guard writes 3", "row 3: card ASPM 4 above 3: the guard writes 0"]),
                    (WWAN, [("PcdWwanControllerDevice", 0, b"\x20\0")], 4, ["00:20.0, root port 1: device 0x20 above 0x1F: "
                                                                            + shipped_filter]),
                    (WWAN, [("PcdWwanControllerFunction", 0, b"\x08\0"), ("PcdWwanPort", 0, [16])], 4,
                     ["function 8 above 7, root port 16 above 15: " + shipped_filter]),
                    (WWAN, [("PcdWwanControllerDevice", 0, b"\x1f\0"), ("PcdWwanControllerFunction", 0, b"\x07\0"),
                            ("PcdWwanPort", 0, [15])], 4, []),
                    (WLAN, [(BASE, 0, (1 << 32).to_bytes(8, "little"))], 7, ["4 GiB: the guard reaches no configuration space"]),
                    (WLAN, [(BASE, 0, (0x80000000).to_bytes(8, "little")), (SIZE, 0, (0x20000000).to_bytes(8, "little"))], 7,
                     ["it reaches past 256 buses: the guard reaches 0x10000000 bytes"]),
                    (WLAN, [(SIZE, 0, (0x08000001).to_bytes(8, "little"))], 7, ["past 4 GiB: the guard reaches 0x8000000 bytes"]),
                    (WLAN, [(BASE, 0, (0xF0000000).to_bytes(8, "little")), (SIZE, 0, (0x10000000).to_bytes(8, "little"))], 7, []),
                    (WLAN, [(BASE, 0, bytes(8))], 7, ["base 0x0: below 1 MiB: the guard reads and writes nothing through the "
                                                      "window: no link power is set on any port"]),
                    (WLAN, [(BASE, 0, (0xE0080000).to_bytes(8, "little"))], 7, ["base 0xE0080000: not a multiple of 1 MiB"]),
                    (WWAN, [("PcdWwanControllerDevice", 0, b"\x1b\0")], 4, [], "port: controller 00:1b.0, root port 1 (used if "
                     "00:1b.0 is a USB host controller at boot, else the shipped port)"),
                    (WWAN, [("PcdWwanAllowList", None, b"\x27\x06\x01\x00")], None, ["the guard uses its shipped list (7e2d:0c71 "
                     "7e2d:0c72 7e2d:0c73 7e2d:0c74) and port filter (controller 00:1a.0, root port 1)"]),
                    (WLAN, [("PcdWlanAllowList", None, b"\xe4\x14\x15\x43")], None, ["the guard uses its shipped list of 7 rows"])]:
                driver, patches, shown, problems, *text_lines = row
                package = marked if shown is None else PACKAGE  # a spill needs the marker
                image = patched(Path(work) / f"{driver}.efi", package / driver / "RELEASE", driver, patches)
                with self.subTest(driver=driver, patches=patches):
                    check = run("--check", image, package=package)
                    self.assertEqual((check.returncode, len(check.stdout.splitlines())),
                                     (1, len(problems)) if problems else (0, 1), check.stdout + check.stderr)
                    text = run(image, package=package).stdout
                    for line, problem in zip(check.stdout.splitlines(), problems):
                        self.assertIn(problem, line)
                        self.assertIn(f"! {line.split(': ', 1)[1]}", text)
                    for line in text_lines:
                        self.assertIn(f"\n  {line}\n", text)
                    if shown is not None:
                        self.assertEqual(len(report(image)[driver]["settings"]["allow_list"]), shown)

    def test_a_driver_image_names_every_target_built_to_its_bytes(self):
        for driver in (WWAN, WLAN, "lan_controller_setup"):
            images = {t: PACKAGE / driver / t / f"{driver}.efi" for t in ("RELEASE", "DEBUG", "NOOPT")}
            for target, image in images.items():
                same = "/".join(t for t, other in images.items() if other.read_bytes() == image.read_bytes())
                self.assertEqual(report(image)[driver]["target"], same)


class VolumesTest(unittest.TestCase):
    def test_each_copy_of_a_guard_is_read_in_its_own_volume(self):
        with tempfile.TemporaryDirectory() as work:
            folder = shutil.copytree(PACKAGE / WWAN / "RELEASE", Path(work) / "wwan")
            first = module_ffs(folder / f"{WWAN}.inf")
            patched(folder / f"{WWAN}.efi", folder, WWAN, [("PcdWwanPort", 0, [16])])
            image = Path(work) / "two_volumes.fd"
            image.write_bytes(volume(first) + volume(module_ffs(folder / f"{WWAN}.inf")))
            found = json.loads(run("--json", image).stdout)
            self.assertEqual([e["settings"]["port"]["port"] for e in found], [1, 16])
            self.assertEqual([e["volume_number"] for e in found], [1, 2])
            check = run("--check", image)
            self.assertEqual(check.returncode, 1)
            self.assertRegex(check.stdout, r"^wwan_port_guard RELEASE in volume 2: port filter [^\n]*\n$")

    def test_a_guard_file_packed_otherwise_or_holding_an_image_the_package_did_not_build(self):
        with tempfile.TemporaryDirectory() as work:
            folder = shutil.copytree(PACKAGE / WWAN / "RELEASE", Path(work) / "wwan")
            inf = folder / f"{WWAN}.inf"
            shipped = module_ffs(inf)
            inf.write_text(inf.read_text().replace(f"PE32|{WWAN}.efi", f"PE32|{WWAN}.efi\n  DXE_DEPEX|{WWAN}.depex"))
            depexes = []
            for program in (b"\x02" + FRAMEWORK_HII + b"\x08",
                            b"\x02" + FRAMEWORK_HII + b"\x02" + FRAMEWORK_CPU_IO + b"\x03\x08"):  # PUSH, PUSH, AND, END
                (folder / f"{WWAN}.depex").write_bytes(program)
                depexes.append(module_ffs(inf))
            code = bytearray((folder / f"{WWAN}.efi").read_bytes())
            code[0x400] ^= 0xFF  # a byte of code changed
            (folder / f"{WWAN}.efi").write_bytes(code)
            foreign = module_ffs(inf)
            for label, ffs, problem in [
                    ("depex", depexes[0], "firmware file has a DXE_DEPEX section (PUSH Framework HII EA816D2C-CEE5-4F02-"
                     "99B5-D3905CBBD077, END): the guard waits for Framework HII: on a platform that never installs it, "
                     "it never runs"),
                    ("depex of two", depexes[1], "the guard waits for Framework HII and Framework CPU I/O"),
                    ("application", retyped(shipped, 0x09), "firmware file type APPLICATION (0x09), not DRIVER (0x07): never "
                     "dispatched: the guard never runs"),
                    ("foreign image", foreign, "a wwan_port_guard image this package did not build (the file carries "
                     "its FILE_GUID"),
                    ("foreign image, named", retyped(foreign, 0x07, uuid.uuid4().bytes_le), "a wwan_port_guard image this "
                     "package did not build (the file carries its user-interface name")]:
                with self.subTest(label):
                    image = Path(work) / f"{label}.fd"
                    image.write_bytes(volume(ffs))
                    check = run("--check", image)
                    self.assertEqual(check.returncode, 1, check.stderr)
                    self.assertRegex(check.stdout, r"^wwan_port_guard (RELEASE|unknown target) in volume 1: ")
                    self.assertIn(problem, check.stdout.splitlines()[0])
                    self.assertIn(problem, json.loads(run("--json", image).stdout)[0]["problems"][0])

    def test_a_volume_at_a_fixed_address(self):
        if not GENFV.is_file():
            self.skipTest(f"{GENFV} was not built")
        drivers = (WWAN, WLAN, "lan_controller_setup")  # the LAN driver's image has base relocations
        with tempfile.TemporaryDirectory() as work:
            inf, fv = Path(work) / "fixed.inf", Path(work) / "fixed.fv"
            inf.write_text("[options]\nEFI_BLOCK_SIZE = 0x1000\nEFI_NUM_BLOCKS = 0x10\nEFI_BASE_ADDRESS = 0xFF000000\n"
                           "[attributes]\nEFI_ERASE_POLARITY = 1\n[files]\n"
                           + "".join(f"EFI_FILE_NAME = {PACKAGE / d / 'RELEASE' / d}.ffs\n" for d in drivers))
            # The images are page-aligned in memory only, so GenFv will not rebase them in place:
            # a volume at a fixed address holds them with FvForceRebase = FALSE (the DXE core
            # relocates a driver as it loads it).
            refused = subprocess.run([str(GENFV), "-i", str(inf), "-o", str(fv)], capture_output=True, text=True)
            self.assertNotEqual(refused.returncode, 0)
            self.assertIn("Section-Alignment and File-Alignment do not match", refused.stdout + refused.stderr)
            subprocess.run([str(GENFV), "-i", str(inf), "-o", str(fv), "-F", "FALSE"], check=True, capture_output=True)
            shipped = {e["driver"]: e["settings"] for e in json.loads(run("--json", PACKAGE).stdout)
                       if e["target"] == "RELEASE" and e["driver"] in drivers}
            self.assertEqual({d: e["settings"] for d, e in report(fv).items()}, shipped)
            self.assertEqual(run("--check", fv).returncode, 0)

if __name__ == "__main__":
    # The firmware build reports Debian's source archive unreachable this way: skipped, not failed.
    if (FIRMWARE.parent / "UNAVAILABLE").is_file():
        print((FIRMWARE.parent / "UNAVAILABLE").read_text().strip())
        sys.exit(77)
    unittest.main(verbosity=2)
