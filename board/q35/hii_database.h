// The byte-level part of the board's Framework HII database: walking a string-pack list,
// choosing the pack of a language and copying one string out of it. No firmware calls here,
// so the host tests drive it with nothing but bytes.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/uefi.h"

namespace board {

// A registered list is copied together with one whole string-pack header at its terminator,
// because a list may end with the short six-byte header and the database reads a full header
// there.
constexpr UINTN STRING_PACK_HEADER_SIZE = sizeof(EFI_HII_STRING_PACK);

// Upper bound for one registered list; a longer walk means the lengths are garbage.
constexpr UINTN STRING_PACK_LIST_LIMIT = 0x100000;

// Bytes to copy for the list starting at List: the sum of the pack lengths plus one string-pack
// header for the terminator. 0 for a list that cannot be a string-pack list: a first length of 0,
// a pack shorter than its header or than its own offset table, a type other than string, or a
// walk past STRING_PACK_LIST_LIMIT.
UINTN MeasureStringPackList(const UINT8 *List);

// The pack of List whose primary or secondary language codes contain Language (three
// characters, compared after lower-casing them); the first pack when Language is null or no
// pack matches. List must have been accepted by MeasureStringPackList.
const UINT8 *SelectStringPack(const UINT8 *List, const CHAR16 *Language);

// Copies string Token (>= 1) of Pack into Buffer the way the Framework GetString does:
// the length is in bytes and counts the terminating NUL; with Raw FALSE the glyph-width
// control characters U+FFF0..U+FFF2 are dropped. EFI_INVALID_PARAMETER for a token the pack
// does not have (or whose string runs past the pack), EFI_BUFFER_TOO_SMALL with *BufferLength
// set to the bytes needed when Buffer is null or shorter than that.
EFI_STATUS ReadPackString(const UINT8 *Pack, STRING_REF Token, BOOLEAN Raw, UINTN *BufferLength,
                          CHAR16 *Buffer);

// Copies a whole registered list of ListBytes bytes (terminator included) into Buffer, as
// GetString answers token 0; EFI_BUFFER_TOO_SMALL with *BufferLength set to ListBytes when Buffer
// is null or shorter than that.
EFI_STATUS CopyStringPackList(const UINT8 *List, UINTN ListBytes, UINTN *BufferLength, VOID *Buffer);

// The current language from the raw value of the "Lang" variable: three ASCII letters, as
// Framework firmware stores it, or three letters and a NUL, as UEFI 2.x variable checks
// require. Anything else is no language (the caller falls back to the first pack).
bool DecodeLanguageVariable(const UINT8 *Value, UINTN Size, CHAR16 *Language);

}  // namespace board
