#!/usr/bin/env python3
"""Writes UEFI variables into an OVMF variable-store image offline, before the firmware boots.

A board scenario that boots the drivers from flash has no shell step before the DXE dispatcher
runs them, so the board's options and "Lang" must already be in the store when the board module
reads them. The store is the firmware volume OVMF keeps its non-volatile variables in: a
firmware-volume header, a variable-store header, then the variables one after another, each
4-byte aligned, the free space erased to 0xFF. Both header layouts of the variable driver are
understood (with and without the authentication fields).

Usage: varstore.py STORE NAME GUID ATTRIBUTES HEX_DATA   (writes one variable in place)
Refuses (exit 1) a file that is not a formatted variable store, or a store without room.
"""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import struct
import sys
import uuid

FV_SIGNATURE = b"_FVH"
AUTHENTICATED_STORE = uuid.UUID("AAF32C78-947B-439A-A180-2E144EC37792")
PLAIN_STORE = uuid.UUID("DDCF3616-3275-4164-98B6-FE85707FFE7D")
STORE_FORMATTED = 0x5A
STORE_HEALTHY = 0xFE
START_ID = 0x55AA
VAR_ADDED = 0x3F
VAR_DELETED_MASK = 0xFD     # clearing bit 1 marks a variable deleted
STORE_HEADER = struct.Struct("<16sIBBHI")
# StartId, State, Reserved, Attributes, [MonotonicCount, TimeStamp, PubKeyIndex,]
# NameSize, DataSize, VendorGuid
AUTHENTICATED_HEADER = struct.Struct("<HBBIQ16sIII16s")
PLAIN_HEADER = struct.Struct("<HBBIII16s")


class StoreError(Exception):
    """The image is not a variable store this writer understands, or it is full."""


def align4(value):
    return (value + 3) & ~3


def _layout(image):
    """(offset of the first variable, end of the store, header struct) for the image."""
    if image[0x28:0x2C] != FV_SIGNATURE:
        raise StoreError("not a firmware volume (no _FVH signature at 0x28)")
    header_length = struct.unpack_from("<H", image, 0x30)[0]
    signature, size, format_, state, _, _ = STORE_HEADER.unpack_from(image, header_length)
    kind = uuid.UUID(bytes_le=signature)
    if kind == AUTHENTICATED_STORE:
        variable_header = AUTHENTICATED_HEADER
    elif kind == PLAIN_STORE:
        variable_header = PLAIN_HEADER
    else:
        raise StoreError(f"no variable store after the volume header (signature {kind})")
    if format_ != STORE_FORMATTED or state != STORE_HEALTHY:
        raise StoreError(f"variable store not formatted and healthy "
                         f"(format 0x{format_:02X}, state 0x{state:02X})")
    end = header_length + size
    if end > len(image):
        raise StoreError(f"variable store of {size} bytes runs past the image")
    return align4(header_length + STORE_HEADER.size), end, variable_header


def _variables(image):
    """Yields (header offset, state, vendor GUID and name bytes, data offset, data size) for each
    variable in the store, then (offset of the free space, None, None, None, None)."""
    offset, end, header = _layout(image)
    while offset + header.size <= end:
        values = header.unpack_from(image, offset)
        start_id, state, name_size, data_size = values[0], values[1], values[-3], values[-2]
        if start_id != START_ID:
            break
        name_at = offset + header.size
        yield offset, state, values[-1] + bytes(image[name_at:name_at + name_size]), \
            name_at + name_size, data_size
        offset = align4(name_at + name_size + data_size)
    yield offset, None, None, None, None


def _key(name, guid):
    """What identifies a variable: its vendor GUID and its NUL-terminated UTF-16 name."""
    return uuid.UUID(guid).bytes_le + (name + "\0").encode("utf-16-le")


def set_variable(image, name, guid, attributes, data):
    """Appends the variable to the store in image (a bytearray); an earlier live copy of the
    same name and GUID is marked deleted, as the variable driver does."""
    key = _key(name, guid)
    for offset, state, found, _, _ in _variables(image):
        if state == VAR_ADDED and found == key:
            image[offset + 2] = state & VAR_DELETED_MASK
    _, end, header = _layout(image)
    encoded_name = key[16:]
    record_size = header.size + len(encoded_name) + len(data)
    if offset + record_size > end or any(b != 0xFF for b in image[offset:offset + record_size]):
        raise StoreError(f"no room for {name} in the variable store")
    if header is AUTHENTICATED_HEADER:
        fields = (START_ID, VAR_ADDED, 0, attributes, 0, bytes(16), 0,
                  len(encoded_name), len(data), key[:16])
    else:
        fields = (START_ID, VAR_ADDED, 0, attributes, len(encoded_name), len(data), key[:16])
    image[offset:offset + header.size] = header.pack(*fields)
    image[offset + header.size:offset + record_size] = encoded_name + data


def get_variable(image, name, guid):
    """The data of the live variable name/guid in image, or None."""
    key = _key(name, guid)
    for _, state, found, data_at, data_size in _variables(image):
        if state == VAR_ADDED and found == key:
            return bytes(image[data_at:data_at + data_size])
    return None


def main(argv):
    if len(argv) != 6:
        print(__doc__.strip().splitlines()[-2], file=sys.stderr)
        return 2
    path, name, guid, attributes, hex_data = argv[1:]
    with open(path, "rb") as file:
        image = bytearray(file.read())
    try:
        set_variable(image, name, guid, int(attributes, 0), bytes.fromhex(hex_data))
    except StoreError as error:
        print(f"varstore: {path}: {error}", file=sys.stderr)
        return 1
    with open(path, "wb") as file:
        file.write(image)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
