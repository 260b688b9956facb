#!/usr/bin/env python3
"""What the flash tools refuse and what they must not get wrong: the offline variable-store
writer (tests/e2e/varstore.py) and the integrator steps as board/board_firmware.py reads them from
docs/integration.md and applies them to a platform's DSC and FDF."""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import hashlib
import io
import shutil
import struct
import sys
import tarfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "board"))
import board_firmware  # noqa: E402
import varstore  # noqa: E402

GLOBAL = "8BE4DF61-93CA-11D2-AA0D-00E098032B8C"
# gEfiAuthenticatedVariableGuid, as the variable driver stamps a formatted store.
AUTHENTICATED_STORE = bytes.fromhex("782cf3aa7b949a43a1802e144ec37792")


def empty_store(size=0x400, format_=0x5A, state=0xFE):
    """A firmware volume header (0x48 bytes) followed by an empty variable store."""
    image = bytearray(b"\xff" * size)
    image[0x28:0x2C] = b"_FVH"
    struct.pack_into("<H", image, 0x30, 0x48)
    struct.pack_into("<16sIBBHI", image, 0x48, AUTHENTICATED_STORE, size - 0x48, format_, state,
                     0, 0)
    return image


class VariableStoreTest(unittest.TestCase):
    def test_refuses_what_is_not_a_formatted_store(self):
        for name, image in [("no volume", bytearray(0x400)),
                            ("not formatted", empty_store(format_=0xFF)),
                            ("unhealthy", empty_store(state=0xFF))]:
            with self.subTest(name), self.assertRaises(varstore.StoreError):
                varstore.set_variable(image, "Lang", GLOBAL, 7, b"fra\0")

    def test_refuses_a_variable_without_room(self):
        with self.assertRaisesRegex(varstore.StoreError, "no room"):
            varstore.set_variable(empty_store(size=0x48 + 28 + 70), "Lang", GLOBAL, 7,
                                  b"fra\0" * 4)

    def test_a_rewritten_variable_leaves_one_live_copy(self):
        image = empty_store()
        varstore.set_variable(image, "Lang", GLOBAL, 7, b"fra\0")
        varstore.set_variable(image, "Lang", GLOBAL, 7, b"spa\0")
        live = [found for _, state, found, _, _ in varstore._variables(image)
                if state == varstore.VAR_ADDED]
        self.assertEqual(len(live), 1)
        self.assertEqual(varstore.get_variable(image, "Lang", GLOBAL), b"spa\0")
        # The header: StartId, State, then Attributes at +4, NameSize and DataSize at +36.
        first = 0x48 + 28
        self.assertEqual(struct.unpack_from("<HB", image, first), (0x55AA, 0x3D))
        self.assertEqual(struct.unpack_from("<I", image, first + 4)[0], 7)
        self.assertEqual(struct.unpack_from("<II", image, first + 36), (10, 4))


FDF = """[FV.DXEFV]
INF  MdeModulePkg/Core/Dxe/DxeMain.inf

[FV.FVMAIN_COMPACT]
FvAlignment = 16

[Rule.Common.UEFI_DRIVER.BINARY]
  FILE DRIVER = $(NAMED_GUID) {
  }
"""


class IntegratorStepsTest(unittest.TestCase):
    def test_the_readme_steps_go_where_the_platform_needs_them(self):
        steps = board_firmware.integrator_steps(ROOT / "docs" / "integration.md")
        dsc, fdf = board_firmware.integrate("[Components]\n", FDF, steps, board_module=False)
        self.assertTrue(dsc.endswith(steps["dsc"]))
        volume = fdf[:fdf.index("[FV.FVMAIN_COMPACT]")]
        self.assertIn(steps["fdf-volume"], volume)
        # Only the missing rule is added: a second UEFI_DRIVER.BINARY section stops the build.
        self.assertEqual(fdf.count("[Rule.Common.UEFI_DRIVER.BINARY]"), 1)
        self.assertEqual(fdf.count("[Rule.Common.DXE_DRIVER.BINARY]"), 1)
        self.assertNotIn("board_support", dsc + fdf)

    def test_refuses_a_readme_without_the_steps(self):
        for text in ["no steps at all\n",
                     "<!-- integrator-step: dsc -->\n```\n[Components.X64]\n"]:
            readme = Path(self.id() + ".md")
            readme.write_text(text)
            try:
                with self.subTest(text), self.assertRaises(board_firmware.Failure):
                    board_firmware.integrator_steps(readme)
            finally:
                readme.unlink()

    def test_virtio_net_packed_only_where_the_dsc_builds_it(self):
        line = "  INF  " + board_firmware.VIRTIO_NET_INF + "\n"
        guarded = "!if $(NETWORK_ENABLE) == TRUE\n" + line + "!endif\n"
        for dsc, fdf in [("[Components]\n", FDF + guarded), (line, FDF + line)]:
            with self.subTest(dsc):
                self.assertEqual(board_firmware.network_free(dsc, FDF + line), fdf)
        with self.assertRaisesRegex(board_firmware.Failure, "0 times"):
            board_firmware.network_free("", FDF)

    def test_refuses_a_platform_without_a_dxe_volume(self):
        steps = board_firmware.integrator_steps(ROOT / "docs" / "integration.md")
        with self.assertRaisesRegex(board_firmware.Failure, "FV.DXEFV"):
            board_firmware.integrate("", FDF.replace("[FV.DXEFV]", "[FV.OTHER]"), steps, True)


def tarball(path, files):
    with tarfile.open(path, "w:xz") as tar:
        for name, text in files.items():
            entry = tarfile.TarInfo(name)
            entry.size = len(text.encode())
            tar.addfile(entry, io.BytesIO(text.encode()))


# Debian's patches for the scratch source package: the first with one hunk in BaseTools' Python
# and one elsewhere, the second applying only after the first.
PATCH = """--- a/BaseTools/Source/Python/b.py
+++ b/BaseTools/Source/Python/b.py
@@ -1 +1 @@
-b = 1
+b = 2
--- a/MdePkg/x.c
+++ b/MdePkg/x.c
@@ -1 +1 @@
-x
+y
"""
SECOND_PATCH = "--- a/MdePkg/x.c\n+++ b/MdePkg/x.c\n@@ -1 +1 @@\n-y\n+z\n"


def source_package(download, series):
    """The scratch package's tarballs, its .dsc, and its stanza as a Sources index has it (which
    also names the .dsc)."""
    for path in download.iterdir():
        path.unlink()
    tarball(download / "edk2_1.orig.tar.xz",
            {"edk2-1/BaseTools/Source/Python/a.py": "a = 1\n",
             "edk2-1/BaseTools/Source/Python/b.py": "b = 1\n", "edk2-1/MdePkg/x.c": "x\n"})
    tarball(download / "edk2_1-1.debian.tar.xz",
            {"debian/patches/series": series, "debian/patches/fix.patch": PATCH,
             "debian/patches/second.patch": SECOND_PATCH})
    sums = "".join(f" {hashlib.sha256(p.read_bytes()).hexdigest()} {p.stat().st_size} {p.name}\n"
                   for p in sorted(download.iterdir()))
    (download / "edk2_1-1.dsc").write_text(f"Source: edk2\nChecksums-Sha256:\n{sums}")
    (download / "edk2_1-1.sources").write_text(
        f"Package: edk2\nChecksums-Sha256:\n {'0' * 64} 20 edk2_1-1.dsc\n{sums}")


class BaseToolsCheckTest(unittest.TestCase):
    """A scratch source package and a tree extracted from it: the check passes on the tree as
    extracted (byte-code caches aside) and names what was changed, added or removed."""

    def setUp(self):
        self.out = Path(self.id()).resolve()
        self.download = self.out / "apt" / "download"
        self.download.mkdir(parents=True)
        source_package(self.download, "fix.patch\nsecond.patch\n")
        self.tree = self.out / "edk2"
        self.python = self.tree / board_firmware.BASE_TOOLS_PYTHON
        (self.python / "__pycache__").mkdir(parents=True)
        (self.python / "a.py").write_text("a = 1\n")
        (self.python / "b.py").write_text("b = 2\n")
        (self.python / "__pycache__" / "a.cpython-311.pyc").write_bytes(b"\0")
        (self.tree / ".prepared").write_text("edk2_1-1.dsc\n")

    def tearDown(self):
        shutil.rmtree(self.out)

    def test_the_tree_as_extracted_passes(self):
        # Described by its .dsc, or by the index's stanza where the archive had no .dsc.
        for description in ("edk2_1-1.dsc", "edk2_1-1.sources"):
            with self.subTest(description):
                (self.tree / ".prepared").write_text(description + "\n")
                count, _, name, patches = board_firmware.check_base_tools(
                    self.out, board_firmware.BOOKWORM, self.tree, self.out / "log")
                self.assertEqual((count, name, patches), (2, description, ["fix.patch"]))

    def test_extracted_without_a_dsc_as_dpkg_source_would(self):
        for series, applied in [("fix.patch\nsecond.patch\n", "z\n"),
                                ("second.patch\nfix.patch\n", None)]:
            with self.subTest(series):
                source_package(self.download, series)
                tree = self.out / "extracted"
                shutil.rmtree(tree, ignore_errors=True)
                package = board_firmware.source_package(self.download / "edk2_1-1.sources")
                if applied is None:
                    with self.assertRaisesRegex(board_firmware.Failure, "second.patch does not"):
                        board_firmware.extract_source(package, tree, self.out / "log")
                    continue
                self.assertEqual(board_firmware.extract_source(package, tree, self.out / "log"), 2)
                self.assertEqual((tree / "MdePkg" / "x.c").read_text(), applied)
                self.assertEqual((tree / board_firmware.BASE_TOOLS_PYTHON / "b.py").read_text(),
                                 "b = 2\n")

    def test_any_difference_stops_the_build(self):
        changes = {"changed: b.py": lambda: (self.python / "b.py").write_text("b = 1\n"),
                   "added: c.py": lambda: (self.python / "c.py").write_text(""),
                   "missing: a.py": lambda: (self.python / "a.py").unlink(),
                   "does not match": lambda: (self.out / "apt" / "download" / "edk2_1.orig.tar.xz")
                   .write_bytes(b"")}
        for message, change in changes.items():
            with self.subTest(message):
                self.tearDown()
                self.setUp()
                change()
                with self.assertRaisesRegex(board_firmware.Failure, message):
                    board_firmware.check_base_tools(self.out, board_firmware.BOOKWORM, self.tree,
                                                    self.out / "log")


if __name__ == "__main__":
    unittest.main()
