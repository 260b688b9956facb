#!/usr/bin/env python3
"""Checks UEFI driver images: PE32+, machine x64, the expected subsystem, relocatable (base
relocations not stripped), no import table, entry point inside an executable section, a layout a
firmware can protect, section flags that say what each section holds, and an optional size
limit. Prints each image's size in bytes. Exits non-zero on the first image that fails.

Layout: sections page-aligned in memory (the DXE core protects no image with less), an image
base below 1 MiB (the DXE core tries a base at or above that first), SizeOfHeaders and each
PointerToRawData multiples of FileAlignment, each VirtualAddress and SizeOfImage multiples of
SectionAlignment, every section inside SizeOfImage. All sixteen data directories: a signing tool
signs into the certificate-table entry (index 4).

Section flags: no section may be both writable and executable (a header claiming NX_COMPAT over
such a section would be false, and these images have no need of one). With --map (lld-link's map
of the image) each input section is looked up in the output section the map puts it in: data
written at run time (.data, .bss) must sit in a writable section, code (.text) in an executable
one. The map numbers output sections as the linker wrote them; compact_image.py only folds the
trailing .reloc away, so the numbers still name the image's sections.

Patchable values: with --map, every EDK II patchable PCD (_gPcd_BinaryPatch_<Name>) must lie in an
input section of initialised data (.data, .data$<group>), where it has bytes in the file that a
platform build can patch; a zero-valued one that the compiler left in .bss has none. A patchable
list (the allow-lists, PATCHABLE_LIST of support/patchable.h: its storage and end marker in
.data$z) must be the last initialised data of the file: its input section ends where the file
ends, nothing else of its input section follows it, so that a value a platform build writes past
the storage reaches only the marker and the list's own tail, never relocation blocks, a .bss
written out as zeros or other data."""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import argparse
import re
import struct
import sys

IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B
SCN_CNT_CODE = 0x00000020
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
DLL_NX_COMPAT = 0x0100
DIR_IMPORT = 1
DIR_COUNT = 16
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
PAGE_SIZE = 0x1000
# The patchable lists: the PATCHABLE_LIST objects, storage and end marker.
PATCHABLE_LISTS = ("_gPcd_BinaryPatch_PcdWwanAllowList", "_gPcd_BinaryPatch_PcdWlanAllowList")
LOWEST_ALLOCATED_BASE = 0x100000


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
    image_base, section_align, file_align = struct.unpack_from("<QII", data, opt + 24)
    size_of_image, size_of_headers = struct.unpack_from("<II", data, opt + 56)
    (subsystem, dll_characteristics) = struct.unpack_from("<HH", data, opt + 68)
    (dir_count,) = struct.unpack_from("<I", data, opt + 108)
    dirs = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(min(dir_count, 16))]
    table = opt + opt_size
    section_list, raw_pointers = [], []
    for i in range(sections):
        name, vsize, vaddr, rsize, rptr, _, _, _, _, flags = struct.unpack_from(
            "<8sIIIIIIHHI", data, table + 40 * i)
        section_list.append((name.rstrip(b"\0").decode(errors="replace"), vaddr, max(vsize, rsize), flags))
        raw_pointers.append(rptr)
    return {
        "image_base": image_base, "section_align": section_align, "file_align": file_align,
        "size_of_image": size_of_image, "size_of_headers": size_of_headers,
        "raw_pointers": raw_pointers,
        "size": len(data), "machine": machine, "characteristics": characteristics,
        "subsystem": subsystem, "entry": entry, "dll_characteristics": dll_characteristics,
        "dirs": dirs, "dir_count": dir_count, "opt_size": opt_size, "sections": section_list,
    }


# lld-link's map, the section-contribution table: " 0002:00000000 00000080H .data   DATA", and
# the symbols: " 0002:00000020       _gPcd_BinaryPatch_PcdX 0000000180000c80     x.obj"
MAP_CONTRIBUTION = re.compile(r"^\s*([0-9A-Fa-f]{4}):([0-9A-Fa-f]{8})\s+([0-9A-Fa-f]{8})H\s+(\S+)")
MAP_PATCHABLE = re.compile(r"^\s*([0-9A-Fa-f]{4}):([0-9A-Fa-f]{8})\s+(_gPcd_BinaryPatch_\w+)\s")


def map_contributions(map_path):
    """(output section number, start, length, input section name) of every non-empty
    contribution."""
    out = []
    with open(map_path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = MAP_CONTRIBUTION.match(line)
            if m and int(m.group(3), 16):
                out.append((int(m.group(1), 16), int(m.group(2), 16), int(m.group(3), 16),
                            m.group(4)))
    return out


def check_patchable(info, map_path, contributions):
    """Every patchable PCD lies in a contribution of initialised data, and every patchable list
    ends the file."""
    with open(map_path, encoding="utf-8", errors="replace") as f:
        symbols = [(int(n, 16), int(o, 16), name)
                   for n, o, name in (m.groups() for m in map(MAP_PATCHABLE.match, f) if m)]
    for number, offset, symbol in symbols:
        holders = [(start, length, name) for n, start, length, name in contributions
                   if n == number and start <= offset < start + length]
        if not holders or holders[0][2].split("$")[0] != ".data":
            where = holders[0][2] if holders else "no input section"
            raise ImageError(f"{symbol} is in {where}, not in .data: a platform build could not "
                             "patch it")
        start, length, _ = holders[0]
        if symbol in PATCHABLE_LISTS:
            check_list_last(info, symbols, (number, offset, symbol), start + length)


def check_list_last(info, symbols, list_symbol, holder_end):
    """The list's input section ends the file's data, and no other patchable value follows the
    list inside it: what a value spills past the storage reaches nothing else."""
    number, offset, symbol = list_symbol
    after = [name for n, o, name in symbols if n == number and offset < o < holder_end]
    if after:
        raise ImageError(f"{symbol} is followed by {after[0]} in its input section: a value "
                         "spilling past the list would reach it")
    if not 1 <= number <= len(info["raw_pointers"]):
        raise ImageError(f"{symbol} is in section {number}, which the image lacks")
    end = info["raw_pointers"][number - 1] + holder_end
    file_align = info["file_align"] or 1
    if info["size"] > -(-end // file_align) * file_align:
        raise ImageError(f"{symbol} is not the last initialised data in the file: it ends at "
                         f"file offset 0x{end:X}, the file at 0x{info['size']:X} (relocation "
                         "blocks, .bss written out or other data after it): a value spilling "
                         "past the list would reach them")


def check_sections(info, map_path):
    nx = info["dll_characteristics"] & DLL_NX_COMPAT
    for name, _, _, flags in info["sections"]:
        if flags & SCN_MEM_WRITE and flags & (SCN_MEM_EXECUTE | SCN_CNT_CODE):
            claim = " while the header claims NX_COMPAT" if nx else ""
            raise ImageError(f"section {name} is both writable and executable{claim}")
    if not map_path:
        return
    contributions = map_contributions(map_path)
    if not contributions:
        raise ImageError(f"{map_path} lists no sections")
    for number, _, _, input_name in contributions:
        if not 1 <= number <= len(info["sections"]):
            raise ImageError(f"the map puts {input_name} in section {number}, which the image lacks")
        name, _, _, flags = info["sections"][number - 1]
        kind = input_name.split("$")[0]
        if kind in (".data", ".bss") and not flags & SCN_MEM_WRITE:
            raise ImageError(f"{input_name}, written at run time, is in section {name}, "
                             "which is not writable")
        if kind == ".text" and not flags & SCN_MEM_EXECUTE:
            raise ImageError(f"{input_name} is in section {name}, which is not executable")
    check_patchable(info, map_path, contributions)


def check_layout(info):
    section_align, file_align = info["section_align"], info["file_align"]
    if section_align < PAGE_SIZE or section_align % PAGE_SIZE:
        raise ImageError(f"SectionAlignment 0x{section_align:X} is not a multiple of a page: "
                         "a firmware cannot protect its sections")
    if info["image_base"] >= LOWEST_ALLOCATED_BASE:
        raise ImageError(f"ImageBase 0x{info['image_base']:X}: the DXE core would try to "
                         "allocate the image there first")
    if not file_align or info["size_of_headers"] % file_align:
        raise ImageError(f"SizeOfHeaders 0x{info['size_of_headers']:X} is not a multiple of "
                         f"FileAlignment 0x{file_align:X}")
    for (name, vaddr, size, _), rptr in zip(info["sections"], info["raw_pointers"]):
        if rptr % file_align:
            raise ImageError(f"section {name}: PointerToRawData 0x{rptr:X} is not a multiple of "
                             f"FileAlignment 0x{file_align:X}")
        if vaddr % section_align:
            raise ImageError(f"section {name}: VirtualAddress 0x{vaddr:X} is not a multiple of "
                             f"SectionAlignment 0x{section_align:X}")
        if vaddr + size > info["size_of_image"]:
            raise ImageError(f"section {name} ends past SizeOfImage")
    if info["size_of_image"] % section_align:
        raise ImageError(f"SizeOfImage 0x{info['size_of_image']:X} is not a multiple of "
                         f"SectionAlignment 0x{section_align:X}")


def check(path, subsystem, max_bytes, map_path=None):
    info = inspect(path)
    if info["machine"] != IMAGE_FILE_MACHINE_AMD64:
        raise ImageError(f"machine 0x{info['machine']:X}, not x64")
    if info["subsystem"] != subsystem:
        raise ImageError(f"subsystem {info['subsystem']}, expected {subsystem}")
    if (info["dir_count"], info["opt_size"]) != (DIR_COUNT, 112 + 8 * DIR_COUNT):
        raise ImageError(f"NumberOfRvaAndSizes {info['dir_count']}, SizeOfOptionalHeader "
                         f"{info['opt_size']}: all {DIR_COUNT} data directories expected (a "
                         "signing tool needs the certificate-table entry)")
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
    check_layout(info)
    check_sections(info, map_path)
    if max_bytes and info["size"] > max_bytes:
        raise ImageError(f"{info['size']} bytes, more than the {max_bytes} allowed")
    return info["size"]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("images", nargs="+", help="image[:max_bytes]")
    parser.add_argument("--subsystem", type=int, default=11,
                        help="expected PE subsystem (11 boot-service driver, 10 application)")
    parser.add_argument("--map", help="lld-link's map of the image (one image only)")
    args = parser.parse_args()
    if args.map and len(args.images) > 1:
        parser.error("--map goes with one image")
    status = 0
    for entry in args.images:
        path, _, limit = entry.partition(":")
        name = path.rsplit("/", 1)[-1]
        try:
            size = check(path, args.subsystem, int(limit) if limit else 0, args.map)
            bound = f" (limit {limit})" if limit else ""
            print(f"{name}: {size} bytes{bound}: PE32+ x64, subsystem {args.subsystem}, "
                  "16 data directories, relocatable, no imports, entry in code, page-aligned sections, "
                  "no W+X section"
                  f"{', data writable' if args.map else ''}: OK")
        except (ImageError, OSError, struct.error) as error:
            print(f"{name}: FAILED: {error}", file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
