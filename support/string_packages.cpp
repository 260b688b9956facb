// Registration of this driver's string packs with the Framework HII protocol and retrieval of a
// message in the firmware's current language.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "support/string_packages.h"

#include "support/platform.h"

FRAMEWORK_HII_PROTOCOL *gHii;
FRAMEWORK_HII_HANDLE gHiiHandle;
BOOLEAN gHiiPacksRegistered;
UINT8 gHiiNewPackCalls;

// The entry's NewPack and one more at ready-to-boot, however often that is signalled.
constexpr UINT8 HII_NEW_PACK_TRIES = 2;

// Enough for every message these drivers carry (127 characters and the NUL).
constexpr UINTN HII_STRING_FIRST_TRY_BYTES = 256;

EFI_STATUS RegisterStringPackages(EFI_GUID *PackageGuid, const VOID *FirstPack) {
  EFI_BOOT_SERVICES *BootServices = gDriverContext.BootServices;
  gHii = nullptr;
  EFI_STATUS Status = BootServices->LocateProtocol(&gFrameworkHiiProtocolGuid, nullptr,
                                                   reinterpret_cast<VOID **>(&gHii));
  if (EFI_ERROR(Status)) {
    gHii = nullptr;
    return Status;
  }
  if (gHii == nullptr) return EFI_NOT_FOUND;
  EFI_HII_PACKAGES *Packages = BuildHiiPackages(1, PackageGuid, FirstPack);
  if (Packages == nullptr) return EFI_OUT_OF_RESOURCES;
  ++gHiiNewPackCalls;
  Status = gHii->NewPack(gHii, Packages, &gHiiHandle);
  BootServices->FreePool(Packages);
  gHiiPacksRegistered = !EFI_ERROR(Status);
  return Status;
}

BOOLEAN StringPackagesPending() {
  return !gHiiPacksRegistered && gHiiNewPackCalls < HII_NEW_PACK_TRIES;
}

CHAR16 *GetHiiString(STRING_REF Token) {
  // A handle that NewPack did not hand back names no pack of this driver.
  if (gHii == nullptr || !gHiiPacksRegistered) return nullptr;

  // A full UINTN with its upper bytes zero also suits a database that writes only 16 bits.
  UINTN Size = HII_STRING_FIRST_TRY_BYTES;
  UINTN Length = Size;
  auto *Buffer = static_cast<CHAR16 *>(AllocateZeroBootPool(Size));
  // The first try, then at most one more with the bytes the database asked for (terminator
  // included), in a buffer that is not cleared.
  for (BOOLEAN Retried = FALSE; Buffer != nullptr; Retried = TRUE) {
    EFI_STATUS Status = gHii->GetString(gHii, gHiiHandle, Token, TRUE, nullptr, &Length, Buffer);
    // A database that reports success without leaving a terminated string in the buffer must
    // not make the caller print past its end: the buffer's last character is always a NUL (a
    // well-behaved database has put one there or earlier already).
    if (Status == EFI_SUCCESS && Size >= sizeof(CHAR16)) {
      Buffer[Size / sizeof(CHAR16) - 1] = 0;
      return Buffer;
    }
    gDriverContext.BootServices->FreePool(Buffer);
    if (Status != EFI_BUFFER_TOO_SMALL || Retried) break;
    Size = Length;
    Buffer = static_cast<CHAR16 *>(AllocateBootPool(Size));
  }
  return nullptr;
}
