// Finding the platform's setup record through the setup-data protocol.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "support/setup_record.h"

#include "support/driver_context.h"
#include "support/platform.h"

EFI_STATUS LocatePlatformSetupRecord(PlatformSetupRecord **Record) {
  *Record = nullptr;
  SetupDataProtocol *SetupData;
  EFI_STATUS Status =
      LocateRequiredInterface(&gSetupDataProtocolGuid, reinterpret_cast<VOID **>(&SetupData));
  if (EFI_ERROR(Status)) return Status;
  // An interface without a record is no record either.
  if (SetupData->Record == nullptr) return EFI_NOT_FOUND;
  *Record = reinterpret_cast<PlatformSetupRecord *>(SetupData->Record);
  return Status;
}
