// Finding the platform's setup record through the setup-data protocol.
#include "support/setup_record.h"

#include "support/driver_context.h"
#include "support/platform.h"

EFI_STATUS LocatePlatformSetupRecord(PlatformSetupRecord **Record) {
  *Record = nullptr;
  SetupDataProtocol *SetupData;
  EFI_STATUS Status = gDriverContext.BootServices->LocateProtocol(
      &gSetupDataProtocolGuid, nullptr, reinterpret_cast<VOID **>(&SetupData));
  // The publishing component guarantees that its interface carries the record.
  if (!EFI_ERROR(Status)) *Record = reinterpret_cast<PlatformSetupRecord *>(SetupData->Record);
  return Status;
}
