// Framework HII string packs: a driver's localized messages, written in its source as readable
// text (one row per language) and turned into the exact pack bytes at compile time; their
// registration with the Framework HII protocol and their retrieval by token.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/driver_context.h"

// One language: token 0 is the three-letter code, token 1 the printable name, tokens 2 and 3
// the two message lines.
constexpr UINTN STRING_PACK_TOKEN_COUNT = 4;

struct StringPackRow {
  const char16_t *Tokens[STRING_PACK_TOKEN_COUNT];
};

// Header of a pack list's terminator (Length 0, Type 2) and the zero bytes after it, so that a
// database that reads a whole string-pack header there stays inside our data.
constexpr UINTN STRING_PACK_TERMINATOR_SIZE = sizeof(EFI_HII_PACK_HEADER);
constexpr UINTN STRING_PACK_TERMINATOR_PADDING = sizeof(EFI_HII_STRING_PACK) - sizeof(EFI_HII_PACK_HEADER);

namespace string_pack_detail {

constexpr UINTN StringBytes(const char16_t *Text) {
  UINTN Count = 0;
  while (Text[Count] != 0) ++Count;
  return (Count + 1) * 2;  // UTF-16LE with its NUL
}

constexpr UINTN PackSize(const StringPackRow &Row) {
  UINTN Size = sizeof(EFI_HII_STRING_PACK) + STRING_PACK_TOKEN_COUNT * sizeof(RELOFST);
  for (UINTN Token = 0; Token < STRING_PACK_TOKEN_COUNT; ++Token) Size += StringBytes(Row.Tokens[Token]);
  return Size;
}

constexpr VOID Put16(UINT8 *Bytes, UINTN At, UINT32 Value) {
  Bytes[At] = static_cast<UINT8>(Value);
  Bytes[At + 1] = static_cast<UINT8>(Value >> 8);
}

constexpr VOID Put32(UINT8 *Bytes, UINTN At, UINT32 Value) {
  Put16(Bytes, At, Value);
  Put16(Bytes, At + 2, Value >> 16);
}

}  // namespace string_pack_detail

template <UINTN RowCount>
constexpr UINTN StringPackListSize(const StringPackRow (&Rows)[RowCount]) {
  UINTN Size = STRING_PACK_TERMINATOR_SIZE + STRING_PACK_TERMINATOR_PADDING;
  for (UINTN Row = 0; Row < RowCount; ++Row) Size += string_pack_detail::PackSize(Rows[Row]);
  return Size;
}

// A driver's pack list: the bytes registered with the HII database, read-only in the image.
template <UINTN Size>
struct StringPackageList {
  UINT8 Bytes[Size];
};

// The packs back to back with no padding, then the terminator.
template <UINTN Size, UINTN RowCount>
constexpr StringPackageList<Size> BuildStringPackList(const StringPackRow (&Rows)[RowCount]) {
  using namespace string_pack_detail;
  StringPackageList<Size> List{};
  UINT8 *Bytes = List.Bytes;
  UINTN Pack = 0;
  for (UINTN Row = 0; Row < RowCount; ++Row) {
    const UINTN StringsAt = sizeof(EFI_HII_STRING_PACK) + STRING_PACK_TOKEN_COUNT * sizeof(RELOFST);
    Put32(Bytes, Pack + 0x00, static_cast<UINT32>(PackSize(Rows[Row])));
    Put16(Bytes, Pack + 0x04, EFI_HII_STRING_PACK_TYPE);
    Put32(Bytes, Pack + 0x06, static_cast<UINT32>(StringsAt));  // language code is token 0
    Put32(Bytes, Pack + 0x0A, static_cast<UINT32>(StringsAt + StringBytes(Rows[Row].Tokens[0])));
    Put32(Bytes, Pack + 0x0E, STRING_PACK_TOKEN_COUNT);
    Put32(Bytes, Pack + 0x12, 0);
    UINTN At = StringsAt;
    for (UINTN Token = 0; Token < STRING_PACK_TOKEN_COUNT; ++Token) {
      Put32(Bytes, Pack + sizeof(EFI_HII_STRING_PACK) + Token * sizeof(RELOFST), static_cast<UINT32>(At));
      for (const char16_t *Text = Rows[Row].Tokens[Token];; ++Text) {
        Put16(Bytes, Pack + At, *Text);
        At += 2;
        if (*Text == 0) break;
      }
    }
    Pack += At;
  }
  Put32(Bytes, Pack, 0);
  Put16(Bytes, Pack + 4, EFI_HII_STRING_PACK_TYPE);
  return List;
}

// The EFI_HII_PACKAGES block for registration: Count, the GUID pointer, then Count package
// pointers in argument order (slots without an argument stay zero). Null when the pool is
// exhausted; the caller frees the block.
template <typename... Packages>
EFI_HII_PACKAGES *BuildHiiPackages(UINTN Count, EFI_GUID *Guid, Packages... Package) {
  auto *Block = static_cast<EFI_HII_PACKAGES *>(
      AllocateZeroBootPool(sizeof(EFI_HII_PACKAGES) + Count * sizeof(VOID *)));
  if (Block == nullptr) return nullptr;
  Block->NumberOfPackages = Count;
  Block->GuidId = Guid;
  auto **Pointers = reinterpret_cast<VOID **>(Block + 1);
  UINTN Index = 0;
  ((Index < Count ? (void)(Pointers[Index++] = const_cast<VOID *>(static_cast<const VOID *>(Package)))
                  : (void)0),
   ...);
  return Block;
}

// This driver's HII interface (null while none was located), the handle its registration got
// back, whether NewPack succeeded and how often it was called: written by RegisterStringPackages,
// read by GetHiiString and StringPackagesPending.
extern FRAMEWORK_HII_PROTOCOL *gHii;
extern FRAMEWORK_HII_HANDLE gHiiHandle;
extern BOOLEAN gHiiPacksRegistered;
extern UINT8 gHiiNewPackCalls;

// Locates the HII protocol and registers the packs that start at FirstPack under PackageGuid.
EFI_STATUS RegisterStringPackages(EFI_GUID *PackageGuid, const VOID *FirstPack);

// True while no registration has succeeded and NewPack was called fewer than twice: a guard
// whose entry found no HII, or whose NewPack (or its pool) failed there, registers again at
// ready-to-boot only while this is true, so the packs are handed over at most twice.
BOOLEAN StringPackagesPending();

// The string of Token in the current language, in a pool buffer the caller frees; null when the
// packs are not registered or the string cannot be retrieved.
CHAR16 *GetHiiString(STRING_REF Token);
