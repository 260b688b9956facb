"""Outside tools on the package: sbsign and sbverify on each image, fwupd reading it (pefile) and the
uSWID tags; with BOARD_FIRMWARE (the flash test) fwupd reading the board's firmware instead. Exits
77 (ctest: skipped) naming what is missing: openssl, sbsigntool, fwupd or the firmware."""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import uuid
import xml.etree.ElementTree as ET
from pathlib import Path

from built_package import BuiltPackage

TOOLS = {"openssl": "openssl", "sbsign": "sbsigntool", "sbverify": "sbsigntool", "fwupdtool": "fwupd"}


def fwupd_parse(path, kind):
    """What fwupd reads in the file as firmware of type kind, as an XML tree."""
    result = subprocess.run(["fwupdtool", "firmware-parse", str(path), kind], capture_output=True,
                            text=True, errors="replace", timeout=300, check=False)
    start, end = result.stdout.find("<firmware"), result.stdout.rfind("</firmware>")
    if result.returncode or start < 0 or end < 0:
        raise AssertionError(f"fwupdtool firmware-parse {path} {kind}: {result.stderr[-200:]}")
    # Its previews of data bytes may hold control characters XML does not allow.
    return ET.fromstring(re.sub(r"[\x00-\x08\x0b\x0c\x0e-\x1f]", "", result.stdout[start:end + 11]))


def kids(node, gtype=None):
    return [c for c in node.findall("firmware") if gtype in (None, c.get("gtype"))]


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, check=False)


class OutsideToolsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pkg = BuiltPackage()
        manifest = cls.pkg.manifest()
        cls.version = manifest["package"]["version"]
        cls.guids = {m: str(uuid.UUID(manifest[m]["file_guid"])) for m in cls.pkg.modules}

    def test_each_image_signs_verifies_and_reads_the_same_to_fwupd(self):
        with tempfile.TemporaryDirectory() as tmp:
            for key in ("signer", "stranger"):
                run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                    "/CN=throwaway", "-keyout", f"{tmp}/{key}.key", "-out", f"{tmp}/{key}.pem")
            for module in self.pkg.modules:
                with self.subTest(module=module):
                    image, signed = self.pkg.images / f"{module}.efi", f"{tmp}/{module}.efi"
                    sign = run("sbsign", "--key", f"{tmp}/signer.key", "--cert", f"{tmp}/signer.pem",
                               "--output", signed, image)
                    self.assertEqual(sign.returncode, 0, sign.stderr)
                    self.assertEqual([run("sbverify", "--cert", f"{tmp}/{key}.pem", signed).returncode
                                      for key in ("signer", "stranger")], [0, 1])
                    plain, after = fwupd_parse(image, "pefile"), fwupd_parse(signed, "pefile")
                    self.assertEqual(plain.findtext("subsystem"), "efi-boot-service-driver")
                    self.assertEqual([s.findtext("id") for s in kids(plain)], [".text", ".data"])
                    # The Authenticode digest leaves the certificate table out: signing keeps it.
                    self.assertRegex(plain.findtext("authenticode_hash") or "", r"^[0-9a-f]{64}$")
                    self.assertEqual(after.findtext("authenticode_hash"), plain.findtext("authenticode_hash"))
                    # The release gate knows the signed copy for the package's image, and says so.
                    said = run(sys.executable, str(self.pkg.source / "tools" / "guards_report.py"),
                               "--package", str(self.pkg.root), signed)
                    self.assertEqual(said.returncode, 0, said.stderr)
                    self.assertRegex(said.stdout.splitlines()[0], rf"^{module}  \S+  version \S+  signed$")

    def test_one_uswid_tag_per_module(self):
        self.assertTrue(os.environ.get("PACKAGE_USWID"), "configured without fwupdtool: reconfigure")
        name, regid = re.fullmatch(r"(.*?)\s*<(.*)>", os.environ["PACKAGE_TAG_CREATOR"]).groups()
        tags = [[t.findtext(k) for k in ("id", "product", "version", "link/rel", "link/href")]
                + [e.text for e in t.find("entity")]
                for t in kids(fwupd_parse(os.environ["PACKAGE_USWID"], "uswid"), "FuCoswidFirmware")]
        self.assertEqual(tags, [[self.guids[m], m, self.version, "license",
                                 "https://spdx.org/licenses/BSD-2-Clause-Patent.html", name, regid,
                                 "tag-creator"] for m in self.pkg.modules])

    def test_the_board_firmware_s_dxe_volume_holds_each_module_once(self):
        volumes = [v for v in fwupd_parse(os.environ["BOARD_FIRMWARE"], "efi-volume").iter("firmware")
                   if v.get("gtype") == "FuEfiVolume"]
        files = {id(v): [f for fs in kids(v, "FuEfiFilesystem") for f in kids(fs, "FuEfiFile")] for v in volumes}
        # The DXE volume holds the DXE core (file type 5); each module a driver file (type 7) with its
        # PE32 (0x10), version (0x14) and UI (0x15) sections.
        (dxe,) = [v for v in volumes if any(int(f.findtext("type"), 16) == 5 for f in files[id(v)])]
        everywhere = [f.findtext("id") for v in volumes for f in files[id(v)]]
        for module, guid in self.guids.items():
            with self.subTest(module=module):
                self.assertEqual(everywhere.count(guid), 1)
                (found,) = [f for f in files[id(dxe)] if f.findtext("id") == guid]
                sections = {int(s.findtext("type"), 16): s for s in kids(found)}
                self.assertEqual((int(found.findtext("type"), 16), sorted(sections)), (7, [0x10, 0x14, 0x15]))
                self.assertEqual((sections[0x15].findtext("user_interface"), sections[0x14].findtext("version"),
                                  int(sections[0x10].find("data").get("size"), 16)),
                                 (module, self.version, len(self.pkg.image(module))))


if __name__ == "__main__":
    missing = sorted({package for tool, package in TOOLS.items() if shutil.which(tool) is None})
    board = os.environ.get("BOARD_FIRMWARE")
    if missing or (board and not Path(board).is_file()):
        print(f"SKIPPED: not installed: {', '.join(missing)}" if missing else f"SKIPPED: {board} not built")
        sys.exit(77)
    tests = ["board_firmware_s_dxe_volume"] if board else ["signs_verifies", "uswid_tag"]
    unittest.main(argv=[sys.argv[0], "-v", *(f"-k{t}" for t in tests)])
