"""Each module's firmware file as a third-party parser sees it: UEFIExtract (Debian package
uefitool-cli) opens a firmware volume holding the file and reports its header checksums, its
sections, the dependency expression it decodes and the section bodies it dumps.

UEFIExtract only looks for files inside volumes, so the file is placed in a minimal FFSv2 volume
with erase polarity 1, where its state byte is stored complemented, as EDK II's GenFv does.
Exits 77 (ctest: skipped) with the reason when UEFIExtract is not installed."""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import uuid
from pathlib import Path

import pi_reader
from built_package import BuiltPackage

UEFIEXTRACT = shutil.which("UEFIExtract")
EFI_FIRMWARE_FILE_SYSTEM2_GUID = uuid.UUID("8C8CE578-8A3D-4F1C-9935-896185C32DD3")
# Read enabled and on, memory mapped, erase polarity 1, 8-byte alignment.
FV_ATTRIBUTES = 0x00000002 | 0x00000004 | 0x00000400 | 0x00000800 | 0x00030000
FV_HEADER_LENGTH = 0x48  # 0x38 fixed part, one block-map entry, the terminating entry
FV_BLOCK_SIZE = 0x1000
# A volume that is not the boot volume has no top file; UEFIExtract says so for any such volume.
EXPECTED_NOTICES = {"parse: not a single Volume Top File is found, the image may be corrupted"}
# Every module's sections: none carries a dependency expression.
SECTION_SUBTYPES = ["PE32 image", "UI", "Version"]


def firmware_volume(ffs):
    ffs = bytearray(ffs)
    ffs[23] ^= 0xFF
    body = bytes(ffs) + b"\xff" * (-len(ffs) % 8)
    length = FV_HEADER_LENGTH + len(body)
    length += -length % FV_BLOCK_SIZE
    header = bytearray(bytes(16) + EFI_FIRMWARE_FILE_SYSTEM2_GUID.bytes_le
                       + struct.pack("<Q4sIHHHBB", length, b"_FVH", FV_ATTRIBUTES, FV_HEADER_LENGTH, 0, 0, 0, 2)
                       + struct.pack("<IIII", length // FV_BLOCK_SIZE, FV_BLOCK_SIZE, 0, 0))
    checksum = sum(struct.unpack(f"<{FV_HEADER_LENGTH // 2}H", header)) & 0xFFFF
    struct.pack_into("<H", header, 0x32, -checksum & 0xFFFF)
    volume = bytes(header) + body
    return volume + b"\xff" * (length - len(volume))


class Extraction:
    """UEFIExtract's notices, report rows and dumped tree for one volume."""

    def __init__(self, workdir, volume):
        image = Path(workdir) / "volume.fd"
        image.write_bytes(volume)
        result = subprocess.run([UEFIEXTRACT, str(image), "all"], capture_output=True, text=True,
                                cwd=workdir, timeout=120, check=False)
        self.notices = [line.strip() for line in (result.stdout + result.stderr).splitlines() if line.strip()]
        report = Path(f"{image}.report.txt").read_text(encoding="utf-8", errors="replace").splitlines()
        self.rows = [[cell.strip() for cell in line.split("|")] for line in report[1:] if "|" in line]
        self.dump = Path(f"{image}.dump")

    def item(self, key, value):
        """The dump folder of the one item whose info.txt has `key: value`."""
        found = [p.parent for p in self.dump.rglob("info.txt") if f"{key}: {value}" in self.info_text(p.parent)]
        if len(found) != 1:
            raise AssertionError(f"{len(found)} dumped items with {key}: {value}")
        return found[0]

    @staticmethod
    def info_text(folder):
        return (folder / "info.txt").read_text(encoding="utf-8", errors="replace")

    @staticmethod
    def info(folder):
        fields = {}
        for line in Extraction.info_text(folder).splitlines():
            if ": " in line:
                key, value = line.split(": ", 1)
                fields[key] = value  # "Type" comes twice: item kind, then the raw type byte
        return fields


class UefiExtractTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pkg = BuiltPackage()
        cls.tmp = tempfile.TemporaryDirectory()
        cls.extractions = {}
        for module in cls.pkg.modules:
            workdir = Path(cls.tmp.name) / module
            workdir.mkdir()
            volume = firmware_volume(cls.pkg.path(module, ".ffs").read_bytes())
            cls.extractions[module] = Extraction(workdir, volume)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def each_module(self):
        self.assertTrue(self.pkg.modules, "no driver was packaged")
        return [(module, self.extractions[module]) for module in self.pkg.modules]

    def file_guid(self, module):
        return uuid.UUID(pi_reader.inf_defines(self.pkg.inf(module))["FILE_GUID"])

    def test_parser_raises_nothing(self):
        for _, extraction in self.each_module():
            with self.subTest(module=_):
                self.assertEqual(set(extraction.notices) - EXPECTED_NOTICES, set())

    def test_report_lists_one_driver_file_and_its_sections(self):
        for module, extraction in self.each_module():
            with self.subTest(module=module):
                kinds = [(row[0], row[1]) for row in extraction.rows]
                guid = str(self.file_guid(module)).upper()
                files = [row for row in extraction.rows if row[0] == "File"]
                self.assertEqual(len(files), 1, kinds)
                self.assertEqual((files[0][1], files[0][-2].lstrip("- "), files[0][-1]), ("DXE driver", guid, module))
                sections = [row[1] for row in extraction.rows if row[0] == "Section"]
                self.assertEqual(sections, SECTION_SUBTYPES)
                self.assertEqual({row[0] for row in extraction.rows}, {"Image", "Volume", "File", "Section", "Free space"})

    def test_file_header_checksums_are_valid(self):
        for module, extraction in self.each_module():
            with self.subTest(module=module):
                info = extraction.info(extraction.item("File GUID", str(self.file_guid(module)).upper()))
                self.assertRegex(info["Header checksum"], r"^[0-9A-F]{2}h, valid$")
                self.assertRegex(info["Data checksum"], r"^[0-9A-F]{2}h, valid$")
                self.assertEqual((info["Type"], info["State"]), ("07h", "F8h"))

    def test_dumped_bodies(self):
        for module, extraction in self.each_module():
            with self.subTest(module=module):
                pe32 = extraction.item("Subtype", "PE32 image")
                self.assertEqual((pe32 / "body.bin").read_bytes(), self.pkg.image(module))
                self.assertEqual(extraction.info(pe32)["Subsystem"], "000Bh")
                self.assertEqual(extraction.info(extraction.item("Subtype", "UI"))["Text"], module)
                version = extraction.info(extraction.item("Subtype", "Version"))["Version string"]
                self.assertEqual(version, pi_reader.inf_defines(self.pkg.inf(module))["VERSION_STRING"])

    def test_corrupted_file_is_flagged(self):
        # The same parser must object once one byte of the image changes, or its silence above
        # would prove nothing.
        module = self.pkg.modules[0]
        ffs = bytearray(self.pkg.path(module, ".ffs").read_bytes())
        ffs[len(ffs) // 2] ^= 0x01
        with tempfile.TemporaryDirectory() as workdir:
            extraction = Extraction(workdir, firmware_volume(ffs))
            self.assertTrue(any("invalid data checksum" in notice for notice in extraction.notices), extraction.notices)
            info = extraction.info(extraction.item("File GUID", str(self.file_guid(module)).upper()))
            self.assertIn("invalid", info["Data checksum"])


if __name__ == "__main__":
    if UEFIEXTRACT is None:
        print("SKIPPED: UEFIExtract not found; install the Debian package uefitool-cli")
        sys.exit(77)
    unittest.main()
