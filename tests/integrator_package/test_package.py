"""The built integrator package, read back without the tools that wrote it: each module's .inf,
.depex and firmware file against one another, against the driver image and against the GUIDs
the drivers themselves are compiled with."""
import configparser
import itertools
import re
import unittest
import uuid

import pi_reader
from built_package import (BuiltPackage, BUILD_TARGETS, ENTRY_POINT_PROTOCOLS, MODULE_TYPES, EFI_SECTION_DXE_DEPEX,
                           EFI_SECTION_PE32, EFI_SECTION_USER_INTERFACE, EFI_SECTION_VERSION)


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pkg = BuiltPackage()
        manifest = configparser.ConfigParser(interpolation=None)
        manifest.read(cls.pkg.source / "integrator_package" / "modules.ini", encoding="utf-8")
        cls.manifest = manifest
        cls.dec = pi_reader.dec_guids(cls.pkg.root / "PlatformGuardsPkg.dec")

    def each_module(self):
        self.assertTrue(self.pkg.modules, "no driver was packaged")
        return self.pkg.modules

    def is_dxe_driver(self, module):
        return MODULE_TYPES[module] == "DXE_DRIVER"


# Bytes of each scalar type a [PatchPcd] line can carry; a VOID* line lists its storage's bytes.
PCD_TYPE_SIZES = {"UINT8": 1, "UINT16": 2, "UINT32": 4, "UINT64": 8}
WINDOW_PCD = "gEfiMdePkgTokenSpaceGuid.PcdPciExpressBaseAddress"


class PatchPcdTest(PackageTest):
    def dec_types(self):
        types = {WINDOW_PCD: "UINT64"}
        for name, datum in re.findall(r"^\s*(\w+\.\w+)\|.*\|(\w+\*?)\|0x[0-9A-Fa-f]+\s*$",
                                      (self.pkg.root / "PlatformGuardsPkg.dec").read_text(), re.MULTILINE):
            types[name] = datum
        return types

    def test_each_patchable_value_is_in_the_image_at_its_offset(self):
        types = self.dec_types()
        for module in self.each_module():
            image = self.pkg.path(module, ".efi").read_bytes()
            for line in self.pkg.inf(module).get("PatchPcd.X64", []):
                with self.subTest(module=module, pcd=line[:60]):
                    name, value, offset = line.split("|")
                    offset = int(offset, 16)
                    if value.startswith("{"):
                        self.assertEqual(types[name], "VOID*")
                        stored = bytes(int(b, 16) for b in value.strip("{}").split(","))
                    else:
                        stored = int(value, 16).to_bytes(PCD_TYPE_SIZES[types[name]], "little")
                    self.assertEqual(image[offset:offset + len(stored)], stored)

    def test_window_base_is_patchable_and_the_q35_image_differs_only_there(self):
        if "wlan_slot_guard" not in self.pkg.modules:
            self.skipTest("wlan_slot_guard is not packaged")
        lines = [line for line in self.pkg.inf("wlan_slot_guard")["PatchPcd.X64"]
                 if line.startswith(WINDOW_PCD + "|")]
        self.assertEqual(len(lines), 1)
        name, value, offset = lines[0].split("|")
        self.assertEqual(int(value, 16), 0xF8000000)
        image = self.pkg.path("wlan_slot_guard", ".efi").read_bytes()
        offset = int(offset, 16)
        self.assertEqual(int.from_bytes(image[offset:offset + 8], "little"), 0xF8000000)
        q35 = (self.pkg.images / "wlan_slot_guard_q35.efi").read_bytes()
        self.assertEqual(int.from_bytes(q35[offset:offset + 8], "little"), 0xB0000000)
        self.assertEqual(q35[:offset] + q35[offset + 8:], image[:offset] + image[offset + 8:])


class ModuleFilesTest(PackageTest):
    def test_each_module_folder_holds_exactly_its_files(self):
        for module in self.each_module():
            with self.subTest(module=module):
                expected = {f"{module}{s}" for s in (".efi", ".inf", ".ffs")}
                if self.is_dxe_driver(module):
                    expected.add(f"{module}.depex")
                # One folder per build target and nothing beside them, so that
                # <module>/$(TARGET)/<module>.inf names exactly one module.
                self.assertEqual({p.name for p in (self.pkg.root / module).iterdir()}, BUILD_TARGETS)
                self.assertEqual({p.name for p in self.pkg.folder(module).iterdir()}, expected)
                self.assertEqual(self.pkg.path(module, ".efi").read_bytes(), self.pkg.image(module))

    def test_inf_defines(self):
        for module in self.each_module():
            with self.subTest(module=module):
                defines = pi_reader.inf_defines(self.pkg.inf(module))
                self.assertRegex(defines["INF_VERSION"], r"^0x0001[0-9A-Fa-f]{4}$")
                self.assertEqual(defines["BASE_NAME"], module)
                self.assertEqual(defines["MODULE_TYPE"], MODULE_TYPES[module])
                self.assertRegex(defines["VERSION_STRING"], r"^\d+\.\d+$")
                # The committed GUID, not one made up by the build.
                self.assertEqual(uuid.UUID(defines["FILE_GUID"]), uuid.UUID(self.manifest[module]["file_guid"]))

    def test_file_guids_are_distinct_and_not_the_package_guid(self):
        guids = [uuid.UUID(self.manifest[m]["file_guid"]) for m in MODULE_TYPES]
        dec_text = (self.pkg.root / "PlatformGuardsPkg.dec").read_text(encoding="utf-8")
        guids.append(uuid.UUID(re.search(r"PACKAGE_GUID\s*=\s*([0-9A-Fa-f-]+)", dec_text).group(1)))
        self.assertEqual(len(set(guids)), len(guids))

    def test_inf_binaries_name_the_image_and_the_depex(self):
        for module in self.each_module():
            with self.subTest(module=module):
                binaries = self.pkg.inf(module)["Binaries.X64"]
                expected = [f"PE32|{module}.efi"]
                if self.is_dxe_driver(module):
                    expected.append(f"DXE_DEPEX|{module}.depex")
                self.assertEqual(binaries, expected)

    def test_dec_declares_the_guids_the_drivers_are_compiled_with(self):
        for macro in ("FRAMEWORK_HII_PROTOCOL_GUID", "FRAMEWORK_CPU_IO_PROTOCOL_GUID"):
            with self.subTest(macro=macro):
                self.assertIn(self.pkg.uefi_guids[macro], self.dec.values())


class DepexTest(PackageTest):
    def test_depex_holds_until_every_entry_point_protocol_is_installed(self):
        unrelated = self.pkg.uefi_guids["USB_IO_PROTOCOL_GUID"]
        for module in self.each_module():
            with self.subTest(module=module):
                if not self.is_dxe_driver(module):
                    continue
                program = pi_reader.decode_depex(self.pkg.path(module, ".depex").read_bytes())
                required = set(self.pkg.required_guids(module))
                self.assertEqual({guid for op, guid in program if op == "PUSH"}, required)
                universe = sorted(required | {unrelated})
                for count in range(len(universe) + 1):
                    for installed in itertools.combinations(universe, count):
                        self.assertEqual(pi_reader.evaluate_depex(program, set(installed)),
                                         required <= set(installed),
                                         [pi_reader.guid_text(g) for g in installed])

    def test_as_built_comment_writes_out_the_depex(self):
        for module in self.each_module():
            with self.subTest(module=module):
                inf = self.pkg.inf(module)
                depex_sections = [name for name in inf if name.startswith("Depex") and not name.endswith("#")]
                if not self.is_dxe_driver(module):
                    self.assertEqual(depex_sections, [])
                    self.assertNotIn("Protocols.X64", inf)
                    continue
                self.assertEqual(depex_sections, ["Depex.X64.DXE_DRIVER"])
                self.assertEqual(inf["Depex.X64.DXE_DRIVER"], [], "the depex of a binary module is a comment")
                expression = inf["Depex.X64.DXE_DRIVER#"][0].split()
                self.assertEqual(expression[1::2], ["AND"] * (len(expression) // 2))
                names = expression[0::2]
                program = pi_reader.decode_depex(self.pkg.path(module, ".depex").read_bytes())
                self.assertEqual([self.dec[n] for n in names], [g for op, g in program if op == "PUSH"])
                self.assertEqual([line.split()[0] for line in inf["Protocols.X64"]], names)
                # The opcode listing names each GUID in registry format, in the order of the file.
                listing = [line for line in inf["Depex.X64.DXE_DRIVER#"] if line.startswith(("PUSH", "AND", "END"))]
                self.assertEqual([line.split()[0] for line in listing], [op for op, _ in program])
                for line, (op, guid) in zip(listing, program):
                    if guid:
                        self.assertIn("{" + pi_reader.guid_text(guid) + "}", line)


class FirmwareFileTest(PackageTest):
    def firmware_file(self, module):
        return pi_reader.FirmwareFile(self.pkg.path(module, ".ffs").read_bytes())

    def test_header(self):
        for module in self.each_module():
            with self.subTest(module=module):
                ffs = self.firmware_file(module)  # checksums and size are verified on reading
                defines = pi_reader.inf_defines(self.pkg.inf(module))
                self.assertEqual(ffs.name, uuid.UUID(defines["FILE_GUID"]).bytes_le)
                self.assertEqual(ffs.type, 0x07, "EFI_FV_FILETYPE_DRIVER")
                self.assertEqual(ffs.attributes, 0x40, "data checksummed, no alignment, small file")
                self.assertEqual(ffs.state, 0x07, "header construction, header valid, data valid")

    def test_sections_in_build_order(self):
        for module in self.each_module():
            with self.subTest(module=module):
                kinds = [s.kind for s in self.firmware_file(module).sections]
                expected = [EFI_SECTION_PE32, EFI_SECTION_USER_INTERFACE, EFI_SECTION_VERSION]
                if self.is_dxe_driver(module):
                    expected.insert(0, EFI_SECTION_DXE_DEPEX)
                self.assertEqual(kinds, expected)

    def test_section_bodies(self):
        for module in self.each_module():
            with self.subTest(module=module):
                ffs = self.firmware_file(module)
                self.assertEqual(ffs.only(EFI_SECTION_PE32).body, self.pkg.image(module))
                self.assertEqual(pi_reader.ucs2z(ffs.only(EFI_SECTION_USER_INTERFACE).body), module)
                version = pi_reader.inf_defines(self.pkg.inf(module))["VERSION_STRING"]
                self.assertEqual(pi_reader.version_section(ffs.only(EFI_SECTION_VERSION).body), (0, version))
                if self.is_dxe_driver(module):
                    self.assertEqual(ffs.only(EFI_SECTION_DXE_DEPEX).body, self.pkg.path(module, ".depex").read_bytes())


if __name__ == "__main__":
    unittest.main()
