#!/usr/bin/env python3
"""Writes the PI firmware file (FFS) of a binary module from its .inf, the way a platform
build would place it in a firmware volume: a DRIVER file named by FILE_GUID holding the
DXE_DEPEX (when the module has one), PE32, USER_INTERFACE (BASE_NAME) and VERSION
(VERSION_STRING) sections.

Usage: integrator_package/gen_ffs.py <module>.inf -o <module>.ffs
"""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import argparse
import struct
import sys
import uuid
from pathlib import Path

EFI_FV_FILETYPE_DRIVER = 0x07
FILE_TYPES = {"DXE_DRIVER": EFI_FV_FILETYPE_DRIVER, "UEFI_DRIVER": EFI_FV_FILETYPE_DRIVER}

# The file checksum covers the data; without this attribute it would be the fixed 0xAA.
FFS_ATTRIB_CHECKSUM = 0x40
# Header under construction, header valid, data valid: what GenFfs leaves; a volume with
# erase polarity 1 stores the complement.
FFS_STATE_VALID = 0x01 | 0x02 | 0x04
FFS_HEADER_SIZE = 24
MAX_SIZE_FIELD = 0xFFFFFF  # larger files and sections need the extended headers, not written here

EFI_SECTION_PE32 = 0x10
EFI_SECTION_VERSION = 0x14
EFI_SECTION_USER_INTERFACE = 0x15
EFI_SECTION_DXE_DEPEX = 0x13
SECTION_ALIGNMENT = 4


class FfsError(Exception):
    pass


def read_inf(path):
    """Returns ([Defines] as a dict, {binary type: path}) of a binary module .inf."""
    defines, binaries = {}, {}
    section = None
    for raw in Path(path).read_text(encoding="utf-8").splitlines():
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        if line.startswith("["):
            section = line.strip("[]").strip().lower()
            continue
        if section == "defines" and "=" in line:
            key, value = (part.strip() for part in line.split("=", 1))
            defines[key] = value
        elif section in ("binaries", "binaries.x64", "binaries.common"):
            kind, file_name = (part.strip() for part in line.split("|")[:2])
            binaries[kind] = Path(path).parent / file_name
    for key in ("BASE_NAME", "FILE_GUID", "MODULE_TYPE", "VERSION_STRING"):
        if key not in defines:
            raise FfsError(f"{path}: [Defines] lacks {key}")
    if "PE32" not in binaries:
        raise FfsError(f"{path}: [Binaries] names no PE32 image")
    return defines, binaries


def section(kind, body):
    size = 4 + len(body)
    if size > MAX_SIZE_FIELD:
        raise FfsError(f"section 0x{kind:02X} of {size} bytes needs an extended header")
    return size.to_bytes(3, "little") + bytes([kind]) + body


def ucs2z(text):
    return text.encode("utf-16-le") + b"\0\0"


def checksum8(data):
    return (-sum(data)) & 0xFF


def build_ffs(name_guid, file_type, sections):
    data = bytearray()
    for sec in sections:
        data += bytes(-len(data) % SECTION_ALIGNMENT)  # zero pad: every section starts 4-aligned
        data += sec
    size = FFS_HEADER_SIZE + len(data)
    if size > MAX_SIZE_FIELD:
        raise FfsError(f"file of {size} bytes needs the large-file header")
    # Header checksum is taken with the state and the file checksum counted as zero.
    header = bytearray(name_guid + bytes([0, 0, file_type, FFS_ATTRIB_CHECKSUM]) + size.to_bytes(3, "little") + b"\0")
    header[16] = checksum8(header)
    header[17] = checksum8(data)
    header[23] = FFS_STATE_VALID
    return bytes(header + data)


def module_ffs(inf_path):
    defines, binaries = read_inf(inf_path)
    module_type = defines["MODULE_TYPE"]
    if module_type not in FILE_TYPES:
        raise FfsError(f"{inf_path}: MODULE_TYPE {module_type} is not a driver this tool packs")
    pe32 = binaries["PE32"].read_bytes()
    if pe32[:2] != b"MZ":
        raise FfsError(f"{binaries['PE32']}: not a PE image")
    sections = []
    if "DXE_DEPEX" in binaries:
        sections.append(section(EFI_SECTION_DXE_DEPEX, binaries["DXE_DEPEX"].read_bytes()))
    sections.append(section(EFI_SECTION_PE32, pe32))
    sections.append(section(EFI_SECTION_USER_INTERFACE, ucs2z(defines["BASE_NAME"])))
    build_number = 0
    sections.append(section(EFI_SECTION_VERSION,
                            struct.pack("<H", build_number) + ucs2z(defines["VERSION_STRING"])))
    return build_ffs(uuid.UUID(defines["FILE_GUID"]).bytes_le, FILE_TYPES[module_type], sections)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("inf")
    parser.add_argument("-o", "--output", required=True)
    args = parser.parse_args(argv)
    Path(args.output).write_bytes(module_ffs(args.inf))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (FfsError, OSError, ValueError) as error:
        print(f"gen_ffs.py: {error}", file=sys.stderr)
        sys.exit(1)
