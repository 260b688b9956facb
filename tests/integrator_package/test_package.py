"""The built integrator package, read back without the tools that wrote it: each module's .inf
and firmware file against one another, against the driver image and against the GUIDs
the drivers themselves are compiled with."""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import hashlib
import json
import os
import re
import subprocess
import tempfile
import unittest
import uuid
import zipfile

import pi_reader
from built_package import (BuiltPackage, BUILD_TARGETS, MODULE_TYPES, EFI_SECTION_PE32,
                           EFI_SECTION_USER_INTERFACE, EFI_SECTION_VERSION)


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pkg = BuiltPackage()
        cls.manifest = cls.pkg.manifest()
        cls.dec = pi_reader.dec_guids(cls.pkg.root / "PlatformGuardsPkg.dec")

    def each_module(self):
        self.assertTrue(self.pkg.modules, "no driver was packaged")
        return self.pkg.modules


# The package's token space, and the GUIDs of the UEFI interfaces the modules consume or produce
# under EDK II's names, as the UEFI and PI standards give them.
TOKEN_SPACE = ("gPlatformGuardsPkgTokenSpaceGuid", "F599AB2B-FFEF-484D-88E0-DB8CE83AC571")
UEFI_NAMES = {
    "gEfiPciRootBridgeIoProtocolGuid": "2F707EBB-4A1A-11D4-9A38-0090273FC14D",
    "gEfiPciIoProtocolGuid": "4CF5B200-68B8-4CA5-9EEC-B23E3F50029A",
    "gEfiUsbIoProtocolGuid": "2B2F68D6-0CD2-44CF-8E8B-BBA20B1B5B75",
    "gEfiDevicePathProtocolGuid": "09576E91-6D3F-11D2-8E39-00A0C969723B",
    "gEfiDriverBindingProtocolGuid": "18A031AB-B443-4D1A-A5C0-0C09261E9F71",
    "gEfiEventReadyToBootGuid": "7CE88FB3-4BD7-4679-87A8-A8D8DEE50D2B",
    "gEfiStatusCodeRuntimeProtocolGuid": "D2B2B828-0826-48A7-B3DF-983C006024F0",
    "gEfiStatusCodeDataTypeDebugGuid": "9A4E9246-D553-11D5-87E2-00062945C3B9",
}
# How each listed interface is used; the rest are consumed. The DEBUG images report their lines
# through the status-code protocol, as data of EDK II's debug type, and the guards use the
# Framework ones, where the platform has them.
USAGES = {"gEfiDriverBindingProtocolGuid": "PRODUCES",
          "gEfiStatusCodeRuntimeProtocolGuid": "SOMETIMES_CONSUMES",
          "gEfiStatusCodeDataTypeDebugGuid": "SOMETIMES_PRODUCES",
          "gPlatformGuardsFrameworkHiiProtocolGuid": "SOMETIMES_CONSUMES",
          "gEfiCpuIoProtocolGuid": "SOMETIMES_CONSUMES"}
# The emulated board's window, patched into wlan_slot_guard_q35.efi.
Q35_WINDOW = {"PcdPciExpressWindowBase": 0xB0000000, "PcdPciExpressWindowSize": 0x10000000}


def dec_patchable_pcds(dec_path):
    """{name: (token space, default, type)} of the DEC's [PcdsPatchableInModule]."""
    pcds, section = {}, None
    for line in dec_path.read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if line.startswith("["):
            section = line
        elif section == "[PcdsPatchableInModule]" and line:
            name, default, kind, _ = line.split("|")
            space, pcd = name.split(".")
            pcds[pcd] = (space, default if kind == "VOID*" else int(default, 0), kind)
    return pcds


# Bytes of each scalar type a [PatchPcd] line can carry; a VOID* line lists its storage's bytes.
PCD_TYPE_SIZES = {"UINT8": 1, "UINT16": 2, "UINT32": 4, "UINT64": 8}


class PatchPcdTest(PackageTest):
    def test_each_patchable_value_is_in_the_image_at_its_offset(self):
        declared = dec_patchable_pcds(self.pkg.root / "PlatformGuardsPkg.dec")
        for module in self.each_module():
            image = self.pkg.path(module, ".efi").read_bytes()
            for line in self.pkg.inf(module).get("PatchPcd.X64", []):
                with self.subTest(module=module, pcd=line[:60]):
                    name, value, offset = line.split("|")
                    kind = declared[name.split(".")[1]][2]
                    offset = int(offset, 16)
                    if value.startswith("{"):
                        self.assertEqual(kind, "VOID*")
                        stored = bytes(int(b, 16) for b in value.strip("{}").split(","))
                    else:
                        stored = int(value, 16).to_bytes(PCD_TYPE_SIZES[kind], "little")
                    self.assertEqual(image[offset:offset + len(stored)], stored)

    def test_the_window_pcds_are_the_package_s_own_and_the_q35_image_differs_only_there(self):
        if "wlan_slot_guard" not in self.pkg.modules:
            self.skipTest("wlan_slot_guard is not packaged")
        self.assertEqual(pi_reader.guid_text(self.dec[TOKEN_SPACE[0]]), TOKEN_SPACE[1])
        declared = dec_patchable_pcds(self.pkg.root / "PlatformGuardsPkg.dec")
        image = self.pkg.path("wlan_slot_guard", ".efi").read_bytes()
        q35 = bytearray((self.pkg.images / "wlan_slot_guard_q35.efi").read_bytes())
        lines = [line for line in self.pkg.inf("wlan_slot_guard")["PatchPcd.X64"]
                 if line.split("|")[0].split(".")[1] in Q35_WINDOW]
        self.assertEqual([line.split("|")[0] for line in lines],
                         [f"{TOKEN_SPACE[0]}.{name}" for name in Q35_WINDOW])
        for line in lines:
            name, value, offset = line.split("|")
            pcd, value, offset = name.split(".")[1], int(value, 16), int(offset, 16)
            with self.subTest(pcd):
                self.assertEqual(declared[pcd], (TOKEN_SPACE[0], value, "UINT64"))
                self.assertEqual(int.from_bytes(image[offset:offset + 8], "little"), value)
                self.assertEqual(int.from_bytes(q35[offset:offset + 8], "little"), Q35_WINDOW[pcd])
                q35[offset:offset + 8] = image[offset:offset + 8]
        self.assertEqual(bytes(q35), image)

    def test_no_module_patches_another_package_s_pcd(self):
        for module in self.each_module():
            with self.subTest(module=module):
                for line in self.pkg.inf(module).get("PatchPcd.X64", []):
                    self.assertTrue(line.startswith(TOKEN_SPACE[0] + "."), line)


class InterfacesTest(PackageTest):
    def known_guids(self):
        known = {name: uuid.UUID(text).bytes_le for name, text in UEFI_NAMES.items()}
        known.update({n: g for n, g in self.dec.items() if n != TOKEN_SPACE[0]})
        return known

    def test_inf_lists_exactly_the_interfaces_the_image_uses(self):
        known = self.known_guids()
        for module in self.each_module():
            with self.subTest(module=module):
                inf = self.pkg.inf(module)
                listed = [line.split()[0] for key in ("Protocols.X64", "Guids.X64")
                          for line in inf.get(key, [])]
                unknown = [n for n in listed if n not in known]
                self.assertEqual(unknown, [], "names neither EDK II nor the package declares")
                image = self.pkg.path(module, ".efi").read_bytes()
                # A GUID the code stores into a record is two 64-bit immediates, not 16 bytes.
                used = {n for n, guid in known.items()
                        if guid in image or (guid[:8] in image and guid[8:] in image)}
                self.assertEqual(set(listed), used)

    def test_binding_is_produced_and_the_rest_consumed(self):
        for module in self.each_module():
            with self.subTest(module=module):
                text = self.pkg.path(module, ".inf").read_text(encoding="utf-8")
                usages = dict(re.findall(r"(?m)^\s+(g\w+)\s+## (\w+)$", text))
                listed = [line.split()[0] for key in ("Protocols.X64", "Guids.X64")
                          for line in self.pkg.inf(module).get(key, [])]
                self.assertEqual(set(usages), set(listed))
                for name, usage in usages.items():
                    self.assertEqual(usage, USAGES.get(name, "CONSUMES"), name)


class ReleaseFilesTest(PackageTest):
    def version(self):
        return self.manifest["package"]["version"]

    def test_one_version_everywhere(self):
        dec = (self.pkg.root / "PlatformGuardsPkg.dec").read_text(encoding="utf-8")
        self.assertRegex(dec, rf"(?m)^\s*PACKAGE_VERSION\s*=\s*{re.escape(self.version())}\s*$")
        self.assertRegex(dec, r"(?m)^\s*DEC_SPECIFICATION\s*=\s*0x0001001B\s*$")
        for module in self.each_module():
            with self.subTest(module=module):
                defines = pi_reader.inf_defines(self.pkg.inf(module))
                self.assertEqual(defines["VERSION_STRING"], self.version())
        notes = (self.pkg.root / "ReleaseNotes.md").read_text(encoding="utf-8")
        self.assertRegex(notes, rf"(?m)^## {re.escape(self.version())}$")
        self.assertIn(f"# PlatformGuardsPkg {self.version()}",
                      (self.pkg.root / "ReadMe.md").read_text(encoding="utf-8"))
        self.assertEqual(self.pkg.archive.name, f"PlatformGuardsPkg-{self.version()}.zip")

    def test_licence_and_spdx_lines(self):
        self.assertEqual((self.pkg.root / "License.txt").read_bytes(),
                         (self.pkg.source / "LICENSE").read_bytes())
        spdx = "SPDX-License-Identifier: BSD-2-Clause-Patent"
        written = [self.pkg.root / name for name in ("PlatformGuardsPkg.dec", "ReadMe.md", "ReleaseNotes.md")]
        written += [self.pkg.path(module, ".inf") for module in self.each_module()]
        for path in written:
            with self.subTest(path.name):
                head = path.read_text(encoding="utf-8").splitlines()[:12]
                self.assertTrue(any(line.endswith(spdx) for line in head), path)

    def test_readme_agrees_with_the_infs_and_the_dec(self):
        readme = (self.pkg.root / "ReadMe.md").read_text(encoding="utf-8")
        for module in self.each_module():
            with self.subTest(module=module):
                defines = pi_reader.inf_defines(self.pkg.inf(module))
                row = re.search(rf"(?m)^\| `{module}` \| `(\w+)` \| `([0-9A-F-]+)` \|", readme)
                self.assertEqual(row.groups(), (defines["MODULE_TYPE"], defines["FILE_GUID"]))
        for name, (_, default, kind) in dec_patchable_pcds(self.pkg.root / "PlatformGuardsPkg.dec").items():
            with self.subTest(pcd=name):
                shown = "the shipped list" if kind == "VOID*" else f"`0x{default:08X}`"
                self.assertRegex(readme, rf"(?m)^\| `{name}` \| `{re.escape(kind)}` \| {shown} \|")


class ArchiveTest(PackageTest):
    def test_archive_holds_the_package_reproducibly(self):
        archive = self.pkg.archive
        sums = (archive.parent / "SHA256SUMS").read_text(encoding="utf-8")
        self.assertEqual(sums, f"{hashlib.sha256(archive.read_bytes()).hexdigest()}  {archive.name}\n")
        files = {p.relative_to(self.pkg.root).as_posix(): p.read_bytes()
                 for p in self.pkg.root.rglob("*") if p.is_file()}
        with zipfile.ZipFile(archive) as zf:
            entries = zf.infolist()
            names = [e.filename for e in entries]
            self.assertEqual(names, sorted(f"PlatformGuardsPkg/{n}" for n in files))
            for entry in entries:
                with self.subTest(entry.filename):
                    self.assertEqual(entry.date_time, (1980, 1, 1, 0, 0, 0))
                    tool = entry.filename.startswith("PlatformGuardsPkg/Tools/")
                    self.assertEqual(entry.external_attr >> 16, 0o100755 if tool else 0o100644)
                    self.assertEqual(zf.read(entry), files[entry.filename.split("/", 1)[1]])

    def test_the_release_gate_ships_in_the_package_and_reads_the_package_it_came_in(self):
        report = "Tools/guards_report.py"
        self.assertEqual((self.pkg.root / report).read_bytes(),
                         (self.pkg.source / "tools" / "guards_report.py").read_bytes())
        listed = [line.split("  ", 1)[1] for line in (self.pkg.root / "SHA256SUMS").read_text().splitlines()]
        self.assertEqual(listed, sorted(p.relative_to(self.pkg.root).as_posix() for p in self.pkg.root.rglob("*")
                                        if p.is_file() and p.name != "SHA256SUMS"))
        module = self.each_module()[0]
        with tempfile.TemporaryDirectory() as work, zipfile.ZipFile(self.pkg.archive) as zf:
            for entry in zf.infolist():  # unpacked as unzip does, modes included
                os.chmod(zf.extract(entry, work), entry.external_attr >> 16 & 0o777)
            result = subprocess.run([f"PlatformGuardsPkg/{report}", "--json",
                                     f"PlatformGuardsPkg/{module}/{self.pkg.target}/{module}.efi"],
                                    cwd=work, capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(self.pkg.target, json.loads(result.stdout)[0]["target"].split("/"))


def spdx_sums(data):
    return {"SHA1": hashlib.sha1(data).hexdigest(), "SHA256": hashlib.sha256(data).hexdigest()}


class SpdxTest(PackageTest):
    def test_document_describes_the_archive_and_each_file_in_it(self):
        doc = json.loads(self.pkg.spdx.read_text(encoding="utf-8"))
        sums = lambda item: {c["algorithm"]: c["checksumValue"] for c in item["checksums"]}
        with zipfile.ZipFile(self.pkg.archive) as zf:
            shipped = {f"./{e.filename}": spdx_sums(zf.read(e)) for e in zf.infolist()}
        (package,), files = doc["packages"], doc["files"]
        self.assertEqual([doc["spdxVersion"], doc["dataLicense"], package["name"], package["versionInfo"],
                          package["downloadLocation"], package["licenseDeclared"]],
                         ["SPDX-2.3", "CC0-1.0", "PlatformGuardsPkg", self.manifest["package"]["version"],
                          "NOASSERTION", "BSD-2-Clause-Patent"])
        self.assertEqual(sums(package), spdx_sums(self.pkg.archive.read_bytes()))
        self.assertTrue(doc["documentNamespace"].endswith(f"/{self.pkg.archive.stem}-{sums(package)['SHA256']}"))
        self.assertEqual({f["fileName"]: sums(f) for f in files}, shipped)
        code = hashlib.sha1("".join(sorted(sums(f)["SHA1"] for f in files)).encode()).hexdigest()
        self.assertEqual(package["packageVerificationCode"]["packageVerificationCodeValue"], code)
        ids = [item["SPDXID"] for item in [package] + files]
        self.assertEqual(len(set(ids)), len(ids))
        self.assertTrue(all(re.fullmatch(r"SPDXRef-[A-Za-z0-9.-]+", i) for i in ids), ids)
        self.assertEqual(sorted((r["spdxElementId"], r["relationshipType"], r["relatedSpdxElement"])
                                for r in doc["relationships"]),
                         sorted([("SPDXRef-DOCUMENT", "DESCRIBES", ids[0])] + [(ids[0], "CONTAINS", i) for i in ids[1:]]))


class ModuleFilesTest(PackageTest):
    def test_each_module_folder_holds_exactly_its_files(self):
        for module in self.each_module():
            with self.subTest(module=module):
                expected = {f"{module}{s}" for s in (".efi", ".inf", ".ffs")}  # no .depex
                # One folder per build target and nothing beside them, so that
                # <module>/$(TARGET)/<module>.inf names exactly one module.
                self.assertEqual({p.name for p in (self.pkg.root / module).iterdir()}, BUILD_TARGETS)
                self.assertEqual({p.name for p in self.pkg.folder(module).iterdir()}, expected)
                self.assertEqual(self.pkg.path(module, ".efi").read_bytes(), self.pkg.image(module))

    def test_inf_defines(self):
        for module in self.each_module():
            with self.subTest(module=module):
                defines = pi_reader.inf_defines(self.pkg.inf(module))
                self.assertEqual(defines["INF_VERSION"], "0x0001001B")
                self.assertEqual(defines["UEFI_SPECIFICATION_VERSION"], "0x00020000")
                self.assertEqual(defines["PI_SPECIFICATION_VERSION"], "0x00010000")
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

    def test_inf_binaries_name_the_image_alone_and_no_depex(self):
        for module in self.each_module():
            with self.subTest(module=module):
                inf = self.pkg.inf(module)
                self.assertEqual(inf["Binaries.X64"], [f"PE32|{module}.efi"])
                # Started once the architectural protocols are there, Framework ones or not.
                self.assertEqual([name for name in inf if name.startswith("Depex")], [])

    def test_dec_declares_the_guids_the_drivers_are_compiled_with(self):
        for macro in ("FRAMEWORK_HII_PROTOCOL_GUID", "FRAMEWORK_CPU_IO_PROTOCOL_GUID",
                      "SETUP_DATA_PROTOCOL_GUID", "STATION_ADDRESS_PROTOCOL_GUID"):
            with self.subTest(macro=macro):
                self.assertIn(self.pkg.uefi_guids[macro], self.dec.values())


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
                self.assertEqual(kinds, [EFI_SECTION_PE32, EFI_SECTION_USER_INTERFACE, EFI_SECTION_VERSION])

    def test_section_bodies(self):
        for module in self.each_module():
            with self.subTest(module=module):
                ffs = self.firmware_file(module)
                self.assertEqual(ffs.only(EFI_SECTION_PE32).body, self.pkg.image(module))
                self.assertEqual(pi_reader.ucs2z(ffs.only(EFI_SECTION_USER_INTERFACE).body), module)
                version = pi_reader.inf_defines(self.pkg.inf(module))["VERSION_STRING"]
                self.assertEqual(pi_reader.version_section(ffs.only(EFI_SECTION_VERSION).body), (0, version))


if __name__ == "__main__":
    unittest.main()
