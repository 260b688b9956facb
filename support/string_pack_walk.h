// The one walker over Framework HII string-pack lists, shared by the board's HII database (in
// its image), the simulated firmware's database and the tests that check the drivers' packs.
// Packs are byte-packed and their strings sit at any offset, so every field is read byte by
// byte. Nothing here calls the firmware; each user decides what may be read and what a pack
// must look like, through the two callbacks of WalkStringPackList.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/uefi.h"

namespace string_pack {

constexpr UINT16 Read16(const UINT8 *Bytes) {
  return static_cast<UINT16>(Bytes[0] | (Bytes[1] << 8));
}

constexpr UINT32 Read32(const UINT8 *Bytes) {
  return static_cast<UINT32>(Bytes[0]) | (static_cast<UINT32>(Bytes[1]) << 8) |
         (static_cast<UINT32>(Bytes[2]) << 16) | (static_cast<UINT32>(Bytes[3]) << 24);
}

// The header fields of the pack at Pack.
constexpr UINT32 Length(const UINT8 *Pack) {
  return Read32(Pack + offsetof(EFI_HII_PACK_HEADER, Length));
}
constexpr UINT16 Type(const UINT8 *Pack) {
  return Read16(Pack + offsetof(EFI_HII_PACK_HEADER, Type));
}
constexpr UINT32 LanguageOffset(const UINT8 *Pack) {
  return Read32(Pack + offsetof(EFI_HII_STRING_PACK, LanguageNameString));
}
constexpr UINT32 PrintableNameOffset(const UINT8 *Pack) {
  return Read32(Pack + offsetof(EFI_HII_STRING_PACK, PrintableLanguageName));
}
constexpr UINT32 TokenCount(const UINT8 *Pack) {
  return Read32(Pack + offsetof(EFI_HII_STRING_PACK, NumStringPointers));
}
constexpr UINT32 Attributes(const UINT8 *Pack) {
  return Read32(Pack + offsetof(EFI_HII_STRING_PACK, Attributes));
}
// Where the offset of Token's string is kept, from the start of the pack.
constexpr UINTN TokenSlot(UINT32 Token) {
  return sizeof(EFI_HII_STRING_PACK) + static_cast<UINTN>(Token) * sizeof(RELOFST);
}
constexpr UINT32 StringOffset(const UINT8 *Pack, UINT32 Token) {
  return Read32(Pack + TokenSlot(Token));
}

// The characters of the string at Offset before its NUL, which must lie before End (both from
// the start of Pack); false when no NUL ends it there.
constexpr BOOLEAN StringCharacters(const UINT8 *Pack, UINTN Offset, UINTN End, UINTN *Characters) {
  for (UINTN At = Offset; At + 2 <= End; At += 2) {
    if (Read16(Pack + At) == 0) {
      *Characters = (At - Offset) / 2;
      return TRUE;
    }
  }
  return FALSE;
}

// Follows the Length fields of the list at List to its terminator (a Length of 0). Before the
// header at each offset is read, CanRead(Offset) is asked; for each pack, OnPack(Offset,
// Length). The walk stops when either answers false, and then returns false; otherwise it
// returns true with *End set to the terminator's offset.
template <typename CanReadFn, typename OnPackFn>
constexpr BOOLEAN WalkStringPackList(const UINT8 *List, CanReadFn &&CanRead, OnPackFn &&OnPack,
                                  UINTN *End) {
  UINTN Offset = 0;
  for (;;) {
    if (!CanRead(Offset)) return FALSE;
    const UINT32 PackLength = Length(List + Offset);
    if (PackLength == 0) break;
    if (!OnPack(Offset, PackLength)) return FALSE;
    Offset += PackLength;
  }
  *End = Offset;
  return TRUE;
}

}  // namespace string_pack
