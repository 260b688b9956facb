#!/usr/bin/env python3
"""Checks UEFI driver images: PE32+, machine x64, the expected subsystem, relocatable (base
relocations not stripped), no import table, entry point inside an executable section, and an
optional size limit. Prints each image's size in bytes. Exits non-zero on the first image that fails."""
import argparse
import struct
import sys

IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B
SCN_CNT_CODE = 0x00000020
SCN_MEM_EXECUTE = 0x20000000
DIR_IMPORT = 1
IMAGE_FILE_RELOCS_STRIPPED = 0x0001


class ImageError(Exception):
    pass


def inspect(path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise ImageError("no DOS header")
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe_offset:pe_offset + 4] != b"PE\0\0":
        raise ImageError("no PE signature")
    machine, sections, _, _, _, opt_size, characteristics = struct.unpack_from(
        "<HHIIIHH", data, pe_offset + 4)
    opt = pe_offset + 24
    (magic,) = struct.unpack_from("<H", data, opt)
    if magic != PE32_PLUS_MAGIC:
        raise ImageError(f"optional-header magic 0x{magic:X}, not PE32+")
    (entry,) = struct.unpack_from("<I", data, opt + 16)
    (subsystem,) = struct.unpack_from("<H", data, opt + 68)
    (dir_count,) = struct.unpack_from("<I", data, opt + 108)
    dirs = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(min(dir_count, 16))]
    table = opt + opt_size
    section_list = []
    for i in range(sections):
        name, vsize, vaddr, rsize, _, _, _, _, _, flags = struct.unpack_from(
            "<8sIIIIIIHHI", data, table + 40 * i)
        section_list.append((name.rstrip(b"\0").decode(errors="replace"), vaddr, max(vsize, rsize), flags))
    return {
        "size": len(data), "machine": machine, "characteristics": characteristics,
        "subsystem": subsystem, "entry": entry,
        "dirs": dirs, "sections": section_list,
    }


def check(path, subsystem, max_bytes):
    info = inspect(path)
    if info["machine"] != IMAGE_FILE_MACHINE_AMD64:
        raise ImageError(f"machine 0x{info['machine']:X}, not x64")
    if info["subsystem"] != subsystem:
        raise ImageError(f"subsystem {info['subsystem']}, expected {subsystem}")
    dirs = info["dirs"]
    # The loader may place the image anywhere. A /fixed link marks the image stripped of its
    # relocations; otherwise lld-link emits every base relocation the image needs, and none at
    # all for an image without absolute addresses.
    if info["characteristics"] & IMAGE_FILE_RELOCS_STRIPPED:
        raise ImageError("base relocations stripped")
    if len(dirs) > DIR_IMPORT and dirs[DIR_IMPORT][1] != 0:
        raise ImageError("has an import table")
    if any(name == ".idata" for name, *_ in info["sections"]):
        raise ImageError("has an .idata section")
    entry = info["entry"]
    executable = [s for s in info["sections"]
                  if s[3] & (SCN_MEM_EXECUTE | SCN_CNT_CODE) and s[1] <= entry < s[1] + s[2]]
    if not executable:
        raise ImageError(f"entry point 0x{entry:X} is not inside an executable section")
    if max_bytes and info["size"] > max_bytes:
        raise ImageError(f"{info['size']} bytes, more than the {max_bytes} allowed")
    return info["size"]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("images", nargs="+", help="image[:max_bytes]")
    parser.add_argument("--subsystem", type=int, default=11,
                        help="expected PE subsystem (11 boot-service driver, 10 application)")
    args = parser.parse_args()
    status = 0
    for entry in args.images:
        path, _, limit = entry.partition(":")
        name = path.rsplit("/", 1)[-1]
        try:
            size = check(path, args.subsystem, int(limit) if limit else 0)
            bound = f" (limit {limit})" if limit else ""
            print(f"{name}: {size} bytes{bound}: PE32+ x64, subsystem {args.subsystem}, "
                  "relocatable, no imports, entry in code: OK")
        except (ImageError, OSError, struct.error) as error:
            print(f"{name}: FAILED: {error}", file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
