// String-pack list walking and string lookup for the board's Framework HII database.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "board/q35/hii_database.h"

#include "support/string_pack_walk.h"

namespace board {
namespace {

constexpr CHAR16 NARROW_CHAR = 0xFFF0;
constexpr CHAR16 WIDE_CHAR = 0xFFF1;
constexpr CHAR16 NON_BREAKING_CHAR = 0xFFF2;
constexpr UINTN LANGUAGE_CODE_LENGTH = 3;

using string_pack::Read16;

CHAR16 LowerCase(CHAR16 Character) {
  return (Character >= u'A' && Character <= u'Z') ? static_cast<CHAR16>(Character + 0x20)
                                                  : Character;
}

bool IsGlyphControl(CHAR16 Character) {
  return Character == NARROW_CHAR || Character == WIDE_CHAR || Character == NON_BREAKING_CHAR;
}

// True when one of the three-letter codes at the pack's language offset equals Language.
bool PackSpeaks(const UINT8 *Pack, const CHAR16 *Language) {
  const UINT32 Length = string_pack::Length(Pack);
  UINT32 Offset = string_pack::LanguageOffset(Pack);
  while (Offset + 2 * LANGUAGE_CODE_LENGTH <= Length) {
    const UINT8 *Code = Pack + Offset;
    if (Read16(Code) == 0) {
      return false;
    }
    bool Same = true;
    for (UINTN Index = 0; Index < LANGUAGE_CODE_LENGTH; Index++) {
      if (Read16(Code + 2 * Index) != Language[Index]) {
        Same = false;
      }
    }
    if (Same) {
      return true;
    }
    Offset += 2 * LANGUAGE_CODE_LENGTH;
  }
  return false;
}

}  // namespace

UINTN MeasureStringPackList(const UINT8 *List) {
  if (List == nullptr) {
    return 0;
  }
  UINTN Total = 0;
  const bool Walked = string_pack::WalkStringPackList(
      List, [](UINTN) { return true; },
      [List](UINTN Offset, UINT32 Length) {
        const UINT8 *Pack = List + Offset;
        return Length >= STRING_PACK_HEADER_SIZE && string_pack::Type(Pack) == EFI_HII_STRING_PACK_TYPE &&
               string_pack::TokenCount(Pack) <= (Length - STRING_PACK_HEADER_SIZE) / sizeof(RELOFST) &&
               Length <= STRING_PACK_LIST_LIMIT - Offset;
      },
      &Total);
  return !Walked || Total == 0 ? 0 : Total + STRING_PACK_HEADER_SIZE;
}

const UINT8 *SelectStringPack(const UINT8 *List, const CHAR16 *Language) {
  if (Language == nullptr) {
    return List;
  }
  CHAR16 Wanted[LANGUAGE_CODE_LENGTH];
  for (UINTN Index = 0; Index < LANGUAGE_CODE_LENGTH; Index++) {
    Wanted[Index] = LowerCase(Language[Index]);
  }
  for (const UINT8 *Pack = List; string_pack::Length(Pack) != 0; Pack += string_pack::Length(Pack)) {
    if (PackSpeaks(Pack, Wanted)) {
      return Pack;
    }
  }
  return List;
}

EFI_STATUS ReadPackString(const UINT8 *Pack, STRING_REF Token, BOOLEAN Raw, UINTN *BufferLength,
                          CHAR16 *Buffer) {
  if (Pack == nullptr || BufferLength == nullptr || Token == 0 ||
      Token >= string_pack::TokenCount(Pack)) {
    return EFI_INVALID_PARAMETER;
  }
  const UINT32 Length = string_pack::Length(Pack);
  const UINT32 Offset = string_pack::StringOffset(Pack, Token);
  if (Offset < STRING_PACK_HEADER_SIZE || Offset >= Length) {
    return EFI_INVALID_PARAMETER;
  }

  // Characters up to the NUL, which must lie inside the pack.
  UINTN Characters = 0;
  if (!string_pack::StringCharacters(Pack, Offset, Length, &Characters)) {
    return EFI_INVALID_PARAMETER;
  }

  const UINTN Needed = (Characters + 1) * sizeof(CHAR16);
  if (Buffer == nullptr || *BufferLength < Needed) {
    *BufferLength = Needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  UINTN Copied = 0;
  for (UINTN Index = 0; Index < Characters; Index++) {
    const CHAR16 Character = Read16(Pack + Offset + 2 * Index);
    if (Raw || !IsGlyphControl(Character)) {
      Buffer[Copied++] = Character;
    }
  }
  Buffer[Copied] = 0;
  *BufferLength = (Copied + 1) * sizeof(CHAR16);
  return EFI_SUCCESS;
}

EFI_STATUS CopyStringPackList(const UINT8 *List, UINTN ListBytes, UINTN *BufferLength, VOID *Buffer) {
  if (Buffer == nullptr || *BufferLength < ListBytes) {
    *BufferLength = ListBytes;
    return EFI_BUFFER_TOO_SMALL;
  }
  for (UINTN Index = 0; Index < ListBytes; Index++) {
    static_cast<UINT8 *>(Buffer)[Index] = List[Index];
  }
  *BufferLength = ListBytes;
  return EFI_SUCCESS;
}

bool DecodeLanguageVariable(const UINT8 *Value, UINTN Size, CHAR16 *Language) {
  if (Value == nullptr || Language == nullptr) {
    return false;
  }
  if (Size != LANGUAGE_CODE_LENGTH && !(Size == LANGUAGE_CODE_LENGTH + 1 && Value[3] == 0)) {
    return false;
  }
  for (UINTN Index = 0; Index < LANGUAGE_CODE_LENGTH; Index++) {
    if (Value[Index] == 0 || Value[Index] >= 0x80) {
      return false;
    }
    Language[Index] = Value[Index];
  }
  return true;
}

}  // namespace board
