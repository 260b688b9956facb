#!/usr/bin/env python3
"""Patchable PCD values in a built image, as EDK II lists them in an as-built INF's
[PatchPcd.<arch>] section: <TokenSpace>.<PcdName>|<value>|<file offset>.

locate: finds each value's symbol in lld-link's map (EDK II's name, _gPcd_BinaryPatch_<Name>,
        unless --symbol names it), turns its RVA into a file offset of the image
        (PointerToRawData + RVA - VirtualAddress of the section holding it), reads the value
        there, and writes one [PatchPcd] line per PCD to --out, in the order given (--append:
        adds them to the lines already there). A VOID* PCD (--array) is written as EDK II
        writes a byte array, every byte of its storage (--size): {0x2D, 0x7E, ...}; GenFds
        takes its maximum size from that list.
patch:  copies an image with the value at a file offset replaced; it refuses an offset that is
        not inside a section's data or that does not hold the expected value, so a stale
        offset or a wrong image cannot be patched by accident. The offset and the expected
        value come from a line written by locate (--from, with --pcd naming the line when the
        file holds several), or are given (--offset, --expect).

Usage: patch_pcd.py locate --image X.efi --map X.map --pcd TokenSpace.Name [--pcd ...]
                           [--symbol SYM] [--size 8] [--array] [--append] --out X.pcd
       patch_pcd.py patch --image X.efi (--from X.pcd [--pcd TokenSpace.Name] |
                          --offset N --expect V) [--size 8] --value V --out Y.efi
"""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import argparse
import re
import struct
import sys


class PatchError(Exception):
    pass


def sections(data):
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        raise PatchError("not a PE image")
    (count,) = struct.unpack_from("<H", data, pe + 6)
    (opt_size,) = struct.unpack_from("<H", data, pe + 20)
    (image_base,) = struct.unpack_from("<Q", data, pe + 24 + 24)
    table = pe + 24 + opt_size
    out = []
    for i in range(count):
        vsize, vaddr, rsize, rptr = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        out.append((vaddr, vsize, rptr, rsize))
    return image_base, out


def file_offset(data, rva, size):
    _, table = sections(data)
    for vaddr, vsize, rptr, rsize in table:
        if vaddr <= rva and rva + size <= vaddr + min(vsize, rsize):
            return rptr + rva - vaddr
    raise PatchError(f"RVA 0x{rva:X} is not inside a section's data")


def check_offset(data, offset, size):
    _, table = sections(data)
    if not any(rptr <= offset and offset + size <= rptr + rsize for _, _, rptr, rsize in table):
        raise PatchError(f"offset 0x{offset:X} is not inside a section's data")


def symbol_rva(map_text, symbol, image_base):
    # lld-link: " 0001:00000650       <symbol>   0000000180000830     <object>"
    for line in map_text.splitlines():
        fields = line.split()
        if len(fields) >= 3 and fields[1] == symbol:
            return int(fields[2], 16) - image_base
    raise PatchError(f"{symbol} is not in the map")


def read_value(data, offset, size):
    return int.from_bytes(data[offset:offset + size], "little")


def parse_line(text):
    m = re.match(r"^\s*([\w.]+)\|(0x[0-9A-Fa-f]+)\|(0x[0-9A-Fa-f]+)\s*$", text.strip())
    if not m:
        raise PatchError(f"not a [PatchPcd] line: {text.strip()!r}")
    return m.group(1), int(m.group(2), 16), int(m.group(3), 16)


def locate_lines(image, map_text, pcds, size=8, symbols=None, array=False):
    """The [PatchPcd] line of each PCD (TokenSpace.Name) in the image, in the order given."""
    data = open(image, "rb").read()
    image_base, _ = sections(data)
    lines = []
    for index, pcd in enumerate(pcds):
        symbol = symbols[index] if symbols else "_gPcd_BinaryPatch_" + pcd.rsplit(".", 1)[-1]
        offset = file_offset(data, symbol_rva(map_text, symbol, image_base), size)
        if array:
            text = "{" + ", ".join(f"0x{b:02X}" for b in data[offset:offset + size]) + "}"
        else:
            text = f"0x{read_value(data, offset, size):X}"
        lines.append(f"{pcd}|{text}|0x{offset:X}")
    return lines


def locate(args):
    if args.symbol and len(args.symbol) != len(args.pcd):
        raise PatchError("give one --symbol per --pcd, or none")
    map_text = open(args.map, encoding="utf-8", errors="replace").read()
    lines = locate_lines(args.image, map_text, args.pcd, args.size, args.symbol, args.array)
    with open(args.out, "a" if args.append else "w", encoding="utf-8") as f:
        f.write("".join(line + "\n" for line in lines))


def patch(args):
    data = bytearray(open(args.image, "rb").read())
    if args.source:
        lines = [parse_line(line) for line in open(args.source, encoding="utf-8") if line.strip()]
        chosen = [line for line in lines if args.pcd in (None, line[0])]
        if len(chosen) != 1:
            raise PatchError(f"{args.source}: {len(chosen)} lines for {args.pcd or 'any PCD'}; "
                             "name one with --pcd")
        _, expect, offset = chosen[0]
    elif args.offset is not None and args.expect is not None:
        offset, expect = args.offset, args.expect
    else:
        raise PatchError("give --from, or --offset and --expect")
    check_offset(data, offset, args.size)
    found = read_value(data, offset, args.size)
    if found != expect:
        raise PatchError(f"offset 0x{offset:X} holds 0x{found:X}, not the expected 0x{expect:X}; "
                         "nothing patched")
    data[offset:offset + args.size] = args.value.to_bytes(args.size, "little")
    with open(args.out, "wb") as f:
        f.write(data)


def number(text):
    return int(text, 0)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("locate")
    p.add_argument("--image", required=True)
    p.add_argument("--map", required=True)
    p.add_argument("--pcd", required=True, action="append")
    p.add_argument("--symbol", action="append")
    p.add_argument("--size", type=number, default=8)
    p.add_argument("--array", action="store_true")
    p.add_argument("--append", action="store_true")
    p.add_argument("--out", required=True)
    p = commands.add_parser("patch")
    p.add_argument("--image", required=True)
    p.add_argument("--from", dest="source")
    p.add_argument("--pcd")
    p.add_argument("--offset", type=number)
    p.add_argument("--expect", type=number)
    p.add_argument("--size", type=number, default=8)
    p.add_argument("--value", type=number, required=True)
    p.add_argument("--out", required=True)
    args = parser.parse_args(argv)
    (locate if args.command == "locate" else patch)(args)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (PatchError, OSError, ValueError, struct.error) as error:
        print(f"patch_pcd.py: {error}", file=sys.stderr)
        sys.exit(1)
