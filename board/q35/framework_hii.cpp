// The board's Framework HII protocol: a small database of string-pack lists. NewPack copies
// each registered list and hands out handles 1, 2, 3, ...; GetString answers from the pack of
// the current language, taken from the "Lang" global variable.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "board/q35/board_services.h"
#include "board/q35/hii_database.h"
#include "tests/sim/interface_guids.h"

namespace board {
namespace {

struct Registration {
  FRAMEWORK_HII_HANDLE Handle;
  UINT8 *List;
  UINTN ListBytes;
};

constexpr UINTN MAX_REGISTRATIONS = 32;
constexpr UINTN LANGUAGE_VARIABLE_MAX = 8;

Registration gRegistrations[MAX_REGISTRATIONS];
UINTN gRegistrationCount;
FRAMEWORK_HII_HANDLE gLastHandle;

const Registration *FindRegistration(FRAMEWORK_HII_HANDLE Handle) {
  for (UINTN Index = 0; Index < gRegistrationCount; Index++) {
    if (gRegistrations[Index].Handle == Handle) {
      return &gRegistrations[Index];
    }
  }
  return nullptr;
}

// The first string-pack list among the block's package pointers, or null.
const UINT8 *FindStringPackList(EFI_HII_PACKAGES *Packages) {
  VOID **Pointers = reinterpret_cast<VOID **>(Packages + 1);
  for (UINTN Index = 0; Index < Packages->NumberOfPackages; Index++) {
    const auto *Header = static_cast<const EFI_HII_PACK_HEADER *>(Pointers[Index]);
    if (Header != nullptr && Header->Type == EFI_HII_STRING_PACK_TYPE) {
      return reinterpret_cast<const UINT8 *>(Header);
    }
  }
  return nullptr;
}

EFI_STATUS EFIAPI NewPack(FRAMEWORK_HII_PROTOCOL *This, EFI_HII_PACKAGES *Packages,
                          FRAMEWORK_HII_HANDLE *Handle) {
  if (This == nullptr || Packages == nullptr || Handle == nullptr ||
      Packages->NumberOfPackages == 0) {
    return EFI_INVALID_PARAMETER;
  }
  const UINT8 *List = FindStringPackList(Packages);
  // Strings without forms are found again by their package GUID, so one is required.
  if (List == nullptr || Packages->GuidId == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const UINTN ListBytes = MeasureStringPackList(List);
  if (ListBytes == 0) {
    return EFI_INVALID_PARAMETER;
  }
  if (gRegistrationCount == MAX_REGISTRATIONS) {
    return EFI_OUT_OF_RESOURCES;
  }
  VOID *Copy = nullptr;
  if (gBootServices->AllocatePool(EfiBootServicesData, ListBytes, &Copy) != EFI_SUCCESS) {
    return EFI_OUT_OF_RESOURCES;
  }
  CopyBytes(Copy, List, ListBytes);

  Registration &Entry = gRegistrations[gRegistrationCount++];
  Entry.Handle = ++gLastHandle;
  Entry.List = static_cast<UINT8 *>(Copy);
  Entry.ListBytes = ListBytes;
  *Handle = Entry.Handle;
  return EFI_SUCCESS;
}

// The three letters of the current language, or false when "Lang" is missing or malformed.
bool CurrentLanguage(CHAR16 *Language) {
  EFI_GUID GlobalVariable = interface_guids::kGlobalVariable;
  UINT8 Value[LANGUAGE_VARIABLE_MAX];
  UINTN Size = sizeof(Value);
  CHAR16 *Name = reinterpret_cast<CHAR16 *>(const_cast<char16_t *>(u"Lang"));
  if (gSystemTable->RuntimeServices->GetVariable(Name, &GlobalVariable, nullptr, &Size, Value) !=
      EFI_SUCCESS) {
    return false;
  }
  return DecodeLanguageVariable(Value, Size, Language);
}

EFI_STATUS EFIAPI GetString(FRAMEWORK_HII_PROTOCOL *This, FRAMEWORK_HII_HANDLE Handle,
                            STRING_REF Token, BOOLEAN Raw, CHAR16 *LanguageString,
                            UINTN *BufferLength, CHAR16 *StringBuffer) {
  const Registration *Entry = FindRegistration(Handle);
  if (This == nullptr || Entry == nullptr || BufferLength == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  // Token 0 stands for the whole list, terminator included.
  if (Token == 0) {
    return CopyStringPackList(Entry->List, Entry->ListBytes, BufferLength, StringBuffer);
  }
  CHAR16 Current[3];
  const CHAR16 *Language = LanguageString;
  if (Language == nullptr && CurrentLanguage(Current)) {
    Language = Current;
  }
  return ReadPackString(SelectStringPack(Entry->List, Language), Token, Raw, BufferLength,
                        StringBuffer);
}

EFI_STATUS EFIAPI Unsupported() { return EFI_UNSUPPORTED; }

FRAMEWORK_HII_PROTOCOL gHii = {
    NewPack,     Unsupported, Unsupported, Unsupported, Unsupported, Unsupported,
    Unsupported, Unsupported, Unsupported, Unsupported, GetString,   Unsupported,
    Unsupported, Unsupported, Unsupported, Unsupported, Unsupported,
};

}  // namespace

FRAMEWORK_HII_PROTOCOL *FrameworkHiiInterface() { return &gHii; }

}  // namespace board
