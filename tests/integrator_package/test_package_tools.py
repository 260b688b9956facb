"""The packaging tools on inputs made to expose layout faults: sizes that force padding between
every pair of sections, a GUID whose byte order shows, expressions and module types they must
refuse. Their output is read back with pi_reader, which shares no code with them."""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import uuid
from pathlib import Path

import pi_reader

ROOT = Path(__file__).resolve().parents[2]

INF = """[Defines]
  INF_VERSION    = 0x00010017
  BASE_NAME      = {name}
  FILE_GUID      = {guid}
  MODULE_TYPE    = {module_type}
  VERSION_STRING = {version}

[Binaries.X64]
  PE32|{name}.efi
{depex_line}"""

DEC = """[Defines]
  DEC_SPECIFICATION = 0x00010005
  PACKAGE_NAME      = TestPkg
  PACKAGE_GUID      = 5B5B6A8B-1F57-4C55-A2A5-4E1C1E3F0A10

[Protocols]
  gFirstProtocolGuid  = {{ 0x00112233, 0x4455, 0x6677, {{ 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF }} }}
  gSecondProtocolGuid = {{ 0x10203040, 0x5060, 0x7080, {{ 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0, 0x01 }} }}
  gThirdProtocolGuid  = {{ 0xCAFEF00D, 0x0001, 0x0002, {{ 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A }} }}
"""

FIRST_GUID_IN_MEMORY = bytes.fromhex("33221100 5544 7766 8899AABBCCDDEEFF")
SECOND_GUID_IN_MEMORY = bytes.fromhex("40302010 6050 8070 90A0B0C0D0E0F001")
THIRD_GUID_IN_MEMORY = bytes.fromhex("0DF0FECA 0100 0200 030405060708090A")


def run(tool, *args):
    return subprocess.run([sys.executable, str(ROOT / tool), *map(str, args)],
                          capture_output=True, text=True, check=False)


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = Path(self.tmp.name)

    def tearDown(self):
        self.tmp.cleanup()


class GenFfsTest(ToolTest):
    def module(self, name="m", module_type="DXE_DRIVER", pe32=b"MZ" + bytes(range(33)), depex=None,
               guid="00112233-4455-6677-8899-AABBCCDDEEFF", version="2.5"):
        (self.dir / f"{name}.efi").write_bytes(pe32)
        depex_line = ""
        if depex is not None:
            (self.dir / f"{name}.depex").write_bytes(depex)
            depex_line = f"  DXE_DEPEX|{name}.depex\n"
        inf = self.dir / f"{name}.inf"
        inf.write_text(INF.format(name=name, guid=guid, module_type=module_type, version=version,
                                  depex_line=depex_line), encoding="utf-8")
        return inf

    def gen(self, inf):
        out = self.dir / "out.ffs"
        result = run("integrator_package/gen_ffs.py", inf, "-o", out)
        return result, out

    def test_odd_sizes_pad_every_section_to_four_bytes(self):
        # Depex section 22 bytes, PE32 39, UI 8: each following section needs padding.
        depex = b"\x02" + FIRST_GUID_IN_MEMORY + b"\x08"
        pe32 = b"MZ" + bytes(range(1, 34))
        result, out = self.gen(self.module(name="m", pe32=pe32, depex=depex))
        self.assertEqual(result.returncode, 0, result.stderr)
        ffs = pi_reader.FirmwareFile(out.read_bytes())
        self.assertEqual([(s.kind, s.offset) for s in ffs.sections],
                         [(0x13, 24), (0x10, 48), (0x15, 88), (0x14, 96)])
        self.assertEqual(ffs.only(0x13).body, depex)
        self.assertEqual(ffs.only(0x10).body, pe32)
        self.assertEqual(pi_reader.ucs2z(ffs.only(0x15).body), "m")
        self.assertEqual(pi_reader.version_section(ffs.only(0x14).body), (0, "2.5"))
        self.assertEqual(ffs.size, 96 + 4 + 2 + 8, "no padding after the last section")

    def test_file_name_is_the_guid_in_memory_order(self):
        result, out = self.gen(self.module(module_type="UEFI_DRIVER"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(out.read_bytes()[:16], FIRST_GUID_IN_MEMORY)

    def test_uefi_driver_has_no_depex_section(self):
        result, out = self.gen(self.module(module_type="UEFI_DRIVER"))
        self.assertEqual(result.returncode, 0, result.stderr)
        ffs = pi_reader.FirmwareFile(out.read_bytes())
        self.assertEqual(ffs.type, 0x07)
        self.assertEqual([s.kind for s in ffs.sections], [0x10, 0x15, 0x14])

    def test_reader_rejects_any_flipped_byte(self):
        result, out = self.gen(self.module(depex=b"\x06\x08"))
        self.assertEqual(result.returncode, 0, result.stderr)
        good = out.read_bytes()
        pi_reader.FirmwareFile(good)
        # Name, type, size, every section header and body: a change anywhere but the state byte
        # must break a checksum or the layout.
        for offset in [0, 15, 18, 20, 24, 27, 28, len(good) - 1]:
            with self.subTest(offset=offset):
                bad = bytearray(good)
                bad[offset] ^= 0x01
                with self.assertRaises(pi_reader.FormatError):
                    pi_reader.FirmwareFile(bad)

    def test_refuses_what_it_cannot_pack(self):
        cases = {
            "peim": self.module(name="p", module_type="PEIM"),
            "not a PE image": self.module(name="q", pe32=b"\x7fELF" + bytes(60)),
        }
        broken = self.dir / "broken.inf"
        broken.write_text("[Defines]\n  BASE_NAME = x\n", encoding="utf-8")
        cases["no FILE_GUID"] = broken
        for label, inf in cases.items():
            with self.subTest(label):
                result, out = self.gen(inf)
                self.assertEqual(result.returncode, 1)
                self.assertIn("gen_ffs.py:", result.stderr)
                self.assertFalse(out.exists())


class PackageModuleTest(ToolTest):
    def package(self, module_type, depex=None):
        manifest = self.dir / "modules.ini"
        text = f"[package]\nname = TestPkg\nversion = 3.1\n\n[drv]\nfile_guid = {uuid.uuid4()}\nmodule_type = {module_type}\n"
        if depex is not None:
            text += f"depex = {depex}\n"
        manifest.write_text(text, encoding="utf-8")
        (self.dir / "DEC.dec").write_text(DEC.format(), encoding="utf-8")
        (self.dir / "drv_image.efi").write_bytes(b"MZ" + bytes(30))
        out = self.dir / "out"
        result = run("integrator_package/package_module.py", "--manifest", manifest,
                     "--dec", self.dir / "DEC.dec", "--image", self.dir / "drv_image.efi",
                     "--out", out, "drv")
        return result, out

    def test_conjunction_of_three_protocols(self):
        result, out = self.package("DXE_DRIVER", "gFirstProtocolGuid AND gSecondProtocolGuid AND gThirdProtocolGuid")
        self.assertEqual(result.returncode, 0, result.stderr)
        program = pi_reader.decode_depex((out / "drv.depex").read_bytes())
        guids = [FIRST_GUID_IN_MEMORY, SECOND_GUID_IN_MEMORY, THIRD_GUID_IN_MEMORY]
        self.assertEqual([g for op, g in program if op == "PUSH"], guids)
        for missing in guids:
            self.assertFalse(pi_reader.evaluate_depex(program, set(guids) - {missing}))
        self.assertTrue(pi_reader.evaluate_depex(program, set(guids)))
        defines = pi_reader.inf_defines(pi_reader.read_inf(out / "drv.inf"))
        self.assertEqual((defines["VERSION_STRING"], defines["MODULE_TYPE"]), ("3.1", "DXE_DRIVER"))
        self.assertEqual((out / "drv.efi").read_bytes(), b"MZ" + bytes(30))

    def test_a_module_without_depex_gets_none(self):
        for module_type in ("UEFI_DRIVER", "DXE_DRIVER"):
            with self.subTest(module_type):
                result, out = self.package(module_type)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(sorted(p.name for p in out.iterdir()), ["drv.efi", "drv.inf"])
                self.assertEqual(pi_reader.read_inf(out / "drv.inf")["Binaries.X64"], ["PE32|drv.efi"])

    def test_refuses_expressions_it_cannot_encode(self):
        cases = {
            "or": ("DXE_DRIVER", "gFirstProtocolGuid OR gSecondProtocolGuid"),
            "dangling and": ("DXE_DRIVER", "gFirstProtocolGuid AND"),
            "undeclared name": ("DXE_DRIVER", "gFirstProtocolGuid AND gUnknownProtocolGuid"),
            "empty": ("DXE_DRIVER", ""),
            "uefi driver with depex": ("UEFI_DRIVER", "gFirstProtocolGuid"),
        }
        for label, (module_type, depex) in cases.items():
            with self.subTest(label):
                result, out = self.package(module_type, depex)
                self.assertEqual(result.returncode, 1)
                self.assertIn("package_module.py:", result.stderr)
                self.assertFalse((out / "drv.inf").exists())


class PackagePatchPcdTest(ToolTest):
    """A module's patchable PCD reaches its INF only when the DEC declares it with the value the
    image holds."""

    def package(self, declared, give_map=True, listed="PcdX"):
        (self.dir / "modules.ini").write_text(
            f"[package]\nname = TestPkg\nversion = 1.0\n\n[drv]\nfile_guid = {uuid.uuid4()}\n"
            f"module_type = UEFI_DRIVER\npatch_pcds = {listed}\n", encoding="utf-8")
        (self.dir / "DEC.dec").write_text(DEC.format() + f"\n[PcdsPatchableInModule]\n{declared}\n",
                                          encoding="utf-8")
        (self.dir / "drv.efi").write_bytes(tiny_image(0x18, 0xF8000000))
        (self.dir / "drv.map").write_text(" 0001:00000018  _gPcd_BinaryPatch_PcdX 0000000180001018  d.obj\n")
        args = ["--map", self.dir / "drv.map"] if give_map else []
        shutil.rmtree(self.dir / "out", ignore_errors=True)
        return run("integrator_package/package_module.py", "--manifest",
                   self.dir / "modules.ini", "--dec", self.dir / "DEC.dec",
                   "--image", self.dir / "drv.efi", *args, "--out", self.dir / "out", "drv")

    def test_declared_pcd_is_listed_at_its_offset(self):
        result = self.package("  gSpace.PcdX|0xF8000000|UINT64|0x1")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(pi_reader.read_inf(self.dir / "out" / "drv.inf")["PatchPcd.X64"],
                         ["gSpace.PcdX|0xF8000000|0x218"])
        result = self.package("  gSpace.PcdX|{0x00, 0x00, UINT16(0xF800)}|VOID*|0x1", listed="PcdX:8")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(pi_reader.read_inf(self.dir / "out" / "drv.inf")["PatchPcd.X64"],
                         ["gSpace.PcdX|{0x00, 0x00, 0x00, 0xF8, 0x00, 0x00, 0x00, 0x00}|0x218"])

    def test_refuses_a_pcd_the_dec_declares_otherwise(self):
        for label, declared, give_map, listed in [
                ("other default", "  gSpace.PcdX|0xE0000000|UINT64|0x1", True, "PcdX"),
                ("undeclared", "  gSpace.PcdY|0xF8000000|UINT64|0x1", True, "PcdX"),
                ("no map", "  gSpace.PcdX|0xF8000000|UINT64|0x1", False, "PcdX"),
                ("array, other default", "  gSpace.PcdX|{UINT32(0xE0000000)}|VOID*|0x1", True, "PcdX:8"),
                ("array, storage not zero after the default", "  gSpace.PcdX|{UINT16(0)}|VOID*|0x1", True, "PcdX:8"),
                ("number with a storage size", "  gSpace.PcdX|0xF8000000|UINT64|0x1", True, "PcdX:8")]:
            with self.subTest(label):
                result = self.package(declared, give_map, listed)
                self.assertEqual(result.returncode, 1)
                self.assertIn("package_module.py:", result.stderr)
                self.assertFalse((self.dir / "out" / "drv.inf").exists())


def tiny_image(value_at, value):
    """A PE32+ image with one section of 0x100 bytes at file offset 0x200 (RVA 0x1000), holding
    the 8-byte value at section offset value_at."""
    data = bytearray(0x300)
    data[0:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, 0x40)
    data[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", data, 0x44, 0x8664, 1, 0, 0, 0, 0xF0, 0x2022)
    struct.pack_into("<HBB", data, 0x58, 0x20B, 14, 0)
    struct.pack_into("<Q", data, 0x58 + 24, 0x180000000)
    table = 0x58 + 0xF0
    data[table:table + 8] = b".text\0\0\0"
    struct.pack_into("<IIII", data, table + 8, 0x100, 0x1000, 0x100, 0x200)
    struct.pack_into("<Q", data, 0x200 + value_at, value)
    return bytes(data)


class PatchPcdTest(ToolTest):
    def write_image(self):
        image = self.dir / "drv.efi"
        image.write_bytes(tiny_image(0x18, 0xF8000000))
        return image

    def test_patches_only_the_value_at_an_offset_that_holds_the_expected_one(self):
        image = self.write_image()
        out = self.dir / "patched.efi"
        result = run("tools/patch_pcd.py", "patch", "--image", image, "--offset", "0x218",
                     "--expect", "0xF8000000", "--value", "0xB0000000", "--out", out)
        self.assertEqual(result.returncode, 0, result.stderr)
        before, after = image.read_bytes(), out.read_bytes()
        self.assertEqual(after[:0x218] + after[0x220:], before[:0x218] + before[0x220:])
        self.assertEqual(struct.unpack_from("<Q", after, 0x218)[0], 0xB0000000)

    def test_refuses_an_offset_that_does_not_hold_the_expected_value(self):
        image = self.write_image()
        cases = {
            "another value there": ("0x210", "0xF8000000"),
            "another value expected": ("0x218", "0xE0000000"),
            "outside every section": ("0x100", "0x0"),
            "past the section's end": ("0x2FC", "0x0"),
        }
        for label, (offset, expect) in cases.items():
            with self.subTest(label):
                out = self.dir / "patched.efi"
                result = run("tools/patch_pcd.py", "patch", "--image", image, "--offset", offset,
                             "--expect", expect, "--value", "0xB0000000", "--out", out)
                self.assertEqual(result.returncode, 1)
                self.assertIn("patch_pcd.py:", result.stderr)
                self.assertFalse(out.exists())

    def test_locate_writes_the_file_offset_of_the_symbol(self):
        image = self.write_image()
        map_file = self.dir / "drv.map"
        map_file.write_text(" 0001:00000018       _gPcd_BinaryPatch_PcdX 0000000180001018     drv.obj\n")
        line = self.dir / "drv.patchpcd"
        result = run("tools/patch_pcd.py", "locate", "--image", image, "--map", map_file,
                     "--symbol", "_gPcd_BinaryPatch_PcdX", "--pcd", "gSpace.PcdX", "--out", line)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(line.read_text(), "gSpace.PcdX|0xF8000000|0x218\n")


def two_section_image(text_flags, data_flags, dll_characteristics, header):
    """tiny_image as a boot-service driver whose entry is in .text, with a .data on the next page,
    laid out as the links are (base 0, page-aligned sections, 32-byte file alignment, sixteen data
    directories), then the optional-header fields in header (name: value) written over it."""
    data = bytearray(tiny_image(0, 0))
    struct.pack_into("<H", data, 0x46, 2)
    struct.pack_into("<I", data, 0x58 + 16, 0x1000)
    fields = {"ImageBase": (24, "<Q", 0), "SectionAlignment": (32, "<I", 0x1000),
              "FileAlignment": (36, "<I", 0x20), "SizeOfImage": (56, "<I", 0x3000),
              "SizeOfHeaders": (60, "<I", 0x200), "NumberOfRvaAndSizes": (108, "<I", 16)}
    for name, (offset, layout, value) in fields.items():
        struct.pack_into(layout, data, 0x58 + offset, header.get(name, value))
    struct.pack_into("<HH", data, 0x58 + 68, 11, dll_characteristics)
    struct.pack_into("<I", data, 0x148 + 36, text_flags)
    struct.pack_into("<8sIIII12xI", data, 0x170, b".data", 0x80, 0x2000, 0x80, 0x280, data_flags)
    return bytes(data)


class CheckImageTest(ToolTest):
    def test_section_flags_must_say_what_each_section_holds(self):
        code, rw_data, wx = 0x60000020, 0xC0000040, 0xE0000020
        cases = {  # label: text flags, data flags, DllCharacteristics, map rows, refusal, header
            "honest": (code, rw_data, 0x160, "1 .text, 2 .data, 2 .bss", None),
            "sections sharing a page": (code, rw_data, 0x160, "1 .text", "cannot protect",
                                        {"SectionAlignment": 0x20}),
            "base the DXE core allocates": (code, rw_data, 0x160, "1 .text", "allocate",
                                            {"ImageBase": 0x180000000}),
            "section off its page": (code, rw_data, 0x160, "1 .text", "VirtualAddress 0x1000",
                                     {"SectionAlignment": 0x2000, "SizeOfImage": 0x4000}),
            "raw data off the file alignment": (code, rw_data, 0x160, "1 .text",
                                                "PointerToRawData", {"FileAlignment": 0x100}),
            "image size off the page": (code, rw_data, 0x160, "1 .text", "SizeOfImage",
                                        {"SizeOfImage": 0x2080}),
            "data directories cut short": (code, rw_data, 0x160, "1 .text", "NumberOfRvaAndSizes 6",
                                           {"NumberOfRvaAndSizes": 6}),
            "W+X section": (wx, rw_data, 0x60, "1 .text", "writable and executable"),
            "NX_COMPAT over W+X": (wx, rw_data, 0x160, "1 .text", "claims NX_COMPAT"),
            ".data merged into code": (code, rw_data, 0x160, "1 .data", "not writable"),
            ".bss read-only": (code, 0x40000040, 0x160, "2 .bss", "not writable"),
            "code not executable": (code, rw_data, 0x160, "2 .text", "not executable"),
            "map names no section": (code, rw_data, 0x160, "3 .data", "lacks"),
            # A patchable value at 2:08 (in the first row of section 2) or 2:18 (in the second).
            "patchable value in .data": (code, rw_data, 0x160, "1 .text, 2 .data, 2 .bss, @2:08", None),
            "patchable value in a .data group": (code, rw_data, 0x160, "2 .data$z, 2 .bss, @2:08", None),
            "patchable value in .bss": (code, rw_data, 0x160, "2 .data, 2 .bss, @2:18", "in .bss, not in .data"),
            "patchable value in code": (code, rw_data, 0x160, "1 .text, 2 .data, @1:08", "in .text"),
            # .data's 0x80 bytes end the file: a list ending there passes, one with data after it not.
            "patchable list ending the file": (code, rw_data, 0x160, "2 .data 70, 2 .data$z, 2 .bss, @2:70 PcdWlanAllowList", None),
            "patchable list before other data": (code, rw_data, 0x160, "2 .data$z, 2 .data 70, @2:00 PcdWwanAllowList",
                                                 "not the last initialised data"),
        }
        for label, (text, data, dll, rows, refusal, *header) in cases.items():
            with self.subTest(label):
                image, map_file = self.dir / "drv.efi", self.dir / "drv.map"
                image.write_bytes(two_section_image(text, data, dll, *header or [{}]))
                lines, starts = [], {}
                for row in rows.split(", "):
                    if row.startswith("@"):  # @section:offset [name]
                        at, _, pcd = row[3:].partition(" ")
                        lines.append(f" 000{row[1]}:000000{at}       _gPcd_BinaryPatch_{pcd or 'PcdX'} 0 d.obj\n")
                        continue
                    kind, _, size = row[2:].partition(" ")  # section input-section [hex size, else 0x10]
                    start = starts.get(row[0], 0)
                    starts[row[0]] = start + int(size or "10", 16)
                    lines.append(f" 000{row[0]}:{start:08x} {int(size or '10', 16):08x}H {kind}  DATA\n")
                map_file.write_text("".join(lines))
                result = run("cmake/check_image.py", "--map", map_file, image)
                self.assertEqual(result.returncode, 1 if refusal else 0, result.stderr)
                self.assertIn(refusal or "OK", result.stderr if refusal else result.stdout)

if __name__ == "__main__":
    os.chdir(Path(__file__).parent)
    unittest.main()
