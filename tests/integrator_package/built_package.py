"""The package the build produced, as ctest hands it to the package tests (environment:
PACKAGE_DIR, IMAGE_DIR, SOURCE_DIR, PACKAGE_MODULES, PACKAGE_ARCHIVE (the release .zip),
PACKAGE_SPDX (its SPDX document), and
PACKAGE_TARGET: the build target whose modules are read, RELEASE, DEBUG or NOOPT, with IMAGE_DIR
holding that target's images), and what each driver must declare."""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import configparser
import os
from pathlib import Path

import pi_reader

MODULE_TYPES = {
    "wwan_port_guard": "DXE_DRIVER",
    "wlan_slot_guard": "DXE_DRIVER",
    "lan_controller_setup": "UEFI_DRIVER",
}
# One module folder per build target under each driver's folder.
BUILD_TARGETS = {"RELEASE", "DEBUG", "NOOPT"}
EFI_SECTION_PE32, EFI_SECTION_DXE_DEPEX, EFI_SECTION_VERSION, EFI_SECTION_USER_INTERFACE = 0x10, 0x13, 0x14, 0x15


class BuiltPackage:
    def __init__(self):
        missing = [v for v in ("PACKAGE_DIR", "IMAGE_DIR", "SOURCE_DIR", "PACKAGE_MODULES") if v not in os.environ]
        if missing:
            raise RuntimeError(f"run through ctest: {', '.join(missing)} not set")
        self.root = Path(os.environ["PACKAGE_DIR"])
        self.images = Path(os.environ["IMAGE_DIR"])
        self.source = Path(os.environ["SOURCE_DIR"])
        self.modules = [m for m in os.environ["PACKAGE_MODULES"].split(",") if m]
        self.archive = Path(os.environ["PACKAGE_ARCHIVE"]) if "PACKAGE_ARCHIVE" in os.environ else None
        self.spdx = Path(os.environ["PACKAGE_SPDX"]) if "PACKAGE_SPDX" in os.environ else None
        self.target = os.environ.get("PACKAGE_TARGET", "RELEASE")
        if self.target not in BUILD_TARGETS:
            raise RuntimeError(f"PACKAGE_TARGET {self.target} is not one of {sorted(BUILD_TARGETS)}")
        self.uefi_guids = pi_reader.header_guids(self.source / "support" / "uefi.h")

    def manifest(self):
        """integrator_package/modules.ini, parsed."""
        manifest = configparser.ConfigParser(interpolation=None)
        manifest.read(self.source / "integrator_package" / "modules.ini", encoding="utf-8")
        return manifest

    def folder(self, module):
        """The module's folder for the build target under test."""
        return self.root / module / self.target

    def path(self, module, suffix):
        return self.folder(module) / f"{module}{suffix}"

    def image(self, module):
        return (self.images / f"{module}.efi").read_bytes()

    def inf(self, module):
        return pi_reader.read_inf(self.path(module, ".inf"))
