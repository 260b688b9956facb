#!/usr/bin/env python3
"""Rewrites the file layout of a PE32+ image that lld-link wrote, in place, without moving
anything in memory but the relocation blocks (every other RVA and the entry point stay as
linked):

- the DOS part becomes a bare 64-byte MZ header with e_lfanew 0x40 (lld-link 14 lists /stub:
  but ignores it and always writes its 56-byte stub program, putting the PE header at 0x78);
- a trailing .reloc section is folded into the section before it: its blocks move to just after
  that section's bytes (4-byte aligned) and the base-relocation directory, through which the
  loader finds them, moves with them; the section header and the padding of a section of its
  own go away;
- the optional header holds all sixteen data directories, as EDK II's GenFw writes them, the
  unused ones zero: signing tools (sbsign, and anything computing the Authenticode digest) need
  the certificate-table entry (index 4) in the header to sign into, and refuse an image whose
  header ends before it;
- the section data follow the shorter headers at once, each at a multiple of FileAlignment;
- SizeOfImage ends with the last section's page (a multiple of SectionAlignment), so the page
  .reloc had of its own goes with it.

The loader copies SizeOfHeaders bytes and then each section from PointerToRawData to its
VirtualAddress, so the image in memory is the one lld-link laid out, the relocation blocks
aside."""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import argparse
import struct
import sys

DOS_HEADER_SIZE = 64
SECTION_HEADER_SIZE = 40
PE32_PLUS_MAGIC = 0x20B
DIR_BASERELOC = 5
DIR_COUNT = 16


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def compact(data):
    if data[:2] != b"MZ":
        raise ValueError("no DOS header")
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    (count,) = struct.unpack_from("<H", data, pe + 6)
    (opt_size,) = struct.unpack_from("<H", data, pe + 20)
    opt = pe + 24
    if struct.unpack_from("<H", data, opt)[0] != PE32_PLUS_MAGIC:
        raise ValueError("not PE32+")
    (section_align, file_align) = struct.unpack_from("<II", data, opt + 32)
    (dir_count,) = struct.unpack_from("<I", data, opt + 108)
    table = opt + opt_size
    if dir_count > DIR_COUNT or opt_size < 112 + 8 * dir_count:
        raise ValueError(f"{dir_count} data directories in a {opt_size}-byte optional header")
    dirs = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(dir_count)]
    dirs += [(0, 0)] * (DIR_COUNT - dir_count)
    new_opt_size = 112 + 8 * DIR_COUNT

    sections = []
    for i in range(count):
        raw = bytearray(data[table + SECTION_HEADER_SIZE * i:table + SECTION_HEADER_SIZE * (i + 1)])
        _, vsize, vaddr, rsize, rptr = struct.unpack_from("<8sIIII", raw)
        sections.append({"header": raw, "vsize": vsize, "vaddr": vaddr,
                         "body": bytes(data[rptr:rptr + rsize])})

    last = sections[-1]
    if len(sections) > 1 and last["header"][:8].rstrip(b"\0") == b".reloc":
        prev = sections[-2]
        reloc_rva, reloc_size = dirs[DIR_BASERELOC]
        if (prev["vaddr"] + prev["vsize"] <= last["vaddr"] and len(prev["body"]) <= last["vaddr"] -
                prev["vaddr"] and reloc_rva == last["vaddr"] and reloc_size <= last["vsize"]):
            # The relocation blocks go right after the section's own bytes (the blocks need only
            # 32-bit alignment), and the directory follows them there.
            # Past VirtualSize the raw data is only FileAlignment padding.
            moved_rva = prev["vaddr"] + align(prev["vsize"], 4)
            body = prev["body"][:prev["vsize"]].ljust(moved_rva - prev["vaddr"], b"\0")
            prev["body"] = body + last["body"][:reloc_size]
            prev["vsize"] = len(prev["body"])
            dirs[DIR_BASERELOC] = (moved_rva, reloc_size)
            sections.pop()

    headers_end = DOS_HEADER_SIZE + 24 + new_opt_size + SECTION_HEADER_SIZE * len(sections)
    size_of_headers = align(headers_end, file_align)

    out = bytearray(size_of_headers)
    out[0:2] = b"MZ"
    struct.pack_into("<I", out, 0x3C, DOS_HEADER_SIZE)
    out[DOS_HEADER_SIZE:DOS_HEADER_SIZE + 24 + 112] = data[pe:opt + 112]
    new_pe = DOS_HEADER_SIZE
    new_opt = new_pe + 24
    struct.pack_into("<H", out, new_pe + 6, len(sections))
    struct.pack_into("<H", out, new_pe + 20, new_opt_size)
    struct.pack_into("<I", out, new_opt + 108, DIR_COUNT)
    for i in range(DIR_COUNT):
        struct.pack_into("<II", out, new_opt + 112 + 8 * i, *dirs[i])
    struct.pack_into("<I", out, new_opt + 56,
                     align(max(s["vaddr"] + s["vsize"] for s in sections), section_align))
    struct.pack_into("<I", out, new_opt + 60, size_of_headers)
    struct.pack_into("<I", out, new_opt + 64, 0)  # CheckSum: not kept for these images

    at = size_of_headers
    for i, section in enumerate(sections):
        body = section["body"].ljust(align(len(section["body"]), file_align), b"\0")
        header = section["header"]
        struct.pack_into("<IIII", header, 8, section["vsize"], section["vaddr"], len(body),
                         at if body else 0)
        start = new_opt + new_opt_size + SECTION_HEADER_SIZE * i
        out[start:start + SECTION_HEADER_SIZE] = header
        out += body
        at += len(body)
    return bytes(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("image")
    args = parser.parse_args()
    with open(args.image, "rb") as f:
        data = f.read()
    try:
        compacted = compact(data)
    except (ValueError, struct.error) as error:
        print(f"{args.image}: {error}", file=sys.stderr)
        return 1
    with open(args.image, "wb") as f:
        f.write(compacted)
    return 0


if __name__ == "__main__":
    sys.exit(main())
