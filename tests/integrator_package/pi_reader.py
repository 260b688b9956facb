"""Reads firmware files, dependency expressions and binary-module .inf files back, written
from the PI and EDK II formats alone so that it shares no code with the tools that write them.
Every check raises FormatError naming the first rule broken."""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import re
import struct
import uuid
from pathlib import Path

SECTION_NAMES = {0x10: "PE32", 0x13: "DXE_DEPEX", 0x14: "VERSION", 0x15: "USER_INTERFACE"}
DEPEX_OPS = {0x00: "BEFORE", 0x01: "AFTER", 0x02: "PUSH", 0x03: "AND", 0x04: "OR", 0x05: "NOT",
             0x06: "TRUE", 0x07: "FALSE", 0x08: "END", 0x09: "SOR"}
DEPEX_GUID_OPS = {"BEFORE", "AFTER", "PUSH"}


class FormatError(Exception):
    pass


def guid_text(guid_bytes):
    return str(uuid.UUID(bytes_le=bytes(guid_bytes))).upper()


GUID_INITIALISER = r"\{\s*0x(\w+)\s*,\s*0x(\w+)\s*,\s*0x(\w+)\s*,\s*\{([^}]*)\}\s*\}"


def _guid_initialisers(path, lead):
    """{name: 16 bytes in EFI_GUID memory order} for each `lead` followed by a C GUID initialiser."""
    guids = {}
    for m in re.finditer(lead + GUID_INITIALISER, Path(path).read_text(encoding="utf-8"), re.M):
        tail = bytes(int(b, 16) for b in m.group(5).split(","))
        guids[m.group(1)] = struct.pack("<IHH", *(int(m.group(i), 16) for i in (2, 3, 4))) + tail
    return guids


def header_guids(uefi_h):
    """The GUID macros of a C header."""
    return _guid_initialisers(uefi_h, r"#define\s+(\w+_GUID)\s*\\\s*")


def dec_guids(dec_path):
    """The GUID declarations of a DEC file ([Protocols], [Guids], [Ppis])."""
    return _guid_initialisers(dec_path, r"^\s*(\w+)\s*=\s*")


class Section:
    def __init__(self, kind, offset, body):
        self.kind, self.offset, self.body = kind, offset, body

    @property
    def name(self):
        return SECTION_NAMES.get(self.kind, f"0x{self.kind:02X}")


class FirmwareFile:
    """One EFI_FFS_FILE_HEADER file (24-byte header, sizes below 16 MiB)."""

    def __init__(self, data):
        data = bytes(data)
        if len(data) < 24:
            raise FormatError("shorter than a file header")
        self.name = data[0:16]
        self.header_checksum, self.file_checksum, self.type, self.attributes = data[16:20]
        self.size = int.from_bytes(data[20:23], "little")
        self.state = data[23]
        if self.attributes & 0x01:
            raise FormatError("large-file attribute set on a file with a 24-byte header")
        if self.size != len(data):
            raise FormatError(f"size field {self.size} but the file has {len(data)} bytes")
        # The header sums to zero with the state and the file checksum taken as zero.
        if (sum(data[0:17]) + sum(data[18:23])) & 0xFF:
            raise FormatError(f"header checksum 0x{self.header_checksum:02X} is wrong")
        self.data = data[24:]
        if self.attributes & 0x40:
            if (sum(self.data) + self.file_checksum) & 0xFF:
                raise FormatError(f"file checksum 0x{self.file_checksum:02X} does not match the data")
        elif self.file_checksum != 0xAA:
            raise FormatError("without the checksum attribute the file checksum must be 0xAA")
        self.sections = self._sections()

    def _sections(self):
        sections, offset = [], 24
        end = 24 + len(self.data)
        while offset < end:
            pad = -offset % 4
            if any(self.data[offset - 24:offset - 24 + pad]):
                raise FormatError(f"non-zero padding before offset 0x{offset + pad:X}")
            offset += pad
            if offset + 4 > end:
                raise FormatError(f"{end - offset} stray bytes at the end of the file")
            raw = self.data[offset - 24:]
            size, kind = int.from_bytes(raw[0:3], "little"), raw[3]
            if size == 0xFFFFFF or size < 4 or offset + size > end:
                raise FormatError(f"section at 0x{offset:X} has size {size}, beyond the file")
            sections.append(Section(kind, offset, raw[4:size]))
            offset += size
        return sections

    def only(self, kind):
        found = [s for s in self.sections if s.kind == kind]
        if len(found) != 1:
            raise FormatError(f"{len(found)} sections of type 0x{kind:02X}")
        return found[0]


def ucs2z(body):
    if len(body) % 2 or body[-2:] != b"\0\0":
        raise FormatError("string not NUL-terminated UTF-16")
    text = body[:-2].decode("utf-16-le")
    if "\0" in text:
        raise FormatError("NUL inside a string")
    return text


def version_section(body):
    """(build number, version string) of an EFI_VERSION_SECTION body."""
    return struct.unpack_from("<H", body)[0], ucs2z(body[2:])


def decode_depex(code):
    """[(opcode name, GUID bytes or None)], END last."""
    program, offset = [], 0
    while offset < len(code):
        op = DEPEX_OPS.get(code[offset])
        if op is None:
            raise FormatError(f"unknown depex opcode 0x{code[offset]:02X} at {offset}")
        guid = None
        if op in DEPEX_GUID_OPS:
            guid = bytes(code[offset + 1:offset + 17])
            if len(guid) != 16:
                raise FormatError(f"{op} at {offset} cut short")
        program.append((op, guid))
        offset += 17 if guid else 1
        if op == "END":
            break
    if not program or program[-1][0] != "END" or offset != len(code):
        raise FormatError("depex does not end with END as its last byte")
    return program


def evaluate_depex(program, installed):
    """The dispatcher's verdict for a set of installed protocol GUIDs (PUSH/AND/OR/NOT/TRUE/FALSE)."""
    stack = []
    for op, guid in program:
        if op == "PUSH":
            stack.append(guid in installed)
        elif op in ("TRUE", "FALSE"):
            stack.append(op == "TRUE")
        elif op == "NOT":
            stack.append(not stack.pop())
        elif op in ("AND", "OR"):
            if len(stack) < 2:
                raise FormatError(f"{op} with fewer than two operands")
            right, left = stack.pop(), stack.pop()
            stack.append(left and right if op == "AND" else left or right)
        elif op == "END":
            if len(stack) != 1:
                raise FormatError(f"END with {len(stack)} values on the stack")
            return stack[0]
        else:
            raise FormatError(f"{op} is not for a DXE driver's ordinary expression")
    raise FormatError("no END")


def read_inf(path):
    """{section name: [lines]} with comments kept apart: {'[Depex...]#': comment lines}."""
    sections, current = {}, None
    for raw in Path(path).read_text(encoding="utf-8").splitlines():
        text = raw.strip()
        if text.startswith("[") and text.endswith("]"):
            current = text[1:-1]
            sections.setdefault(current, [])
            sections.setdefault(current + "#", [])
            continue
        if current is None or not text:
            continue
        if text.startswith("#"):
            sections[current + "#"].append(text.lstrip("#").strip())
        else:
            sections[current].append(text.split("#", 1)[0].strip())
    return sections


def inf_defines(sections):
    return dict((part.strip() for part in line.split("=", 1)) for line in sections.get("Defines", []))
