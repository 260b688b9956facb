// The saved firmware pointers of this driver image and the boot-service routines over them.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "support/driver_context.h"

#include "support/platform.h"

DriverContext gDriverContext;

EFI_STATUS InitDriverContext(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  gDriverContext.SystemTable = SystemTable;
  gDriverContext.BootServices = SystemTable->BootServices;
  gDriverContext.RuntimeServices = SystemTable->RuntimeServices;
  return EFI_SUCCESS;
}

static VOID EFIAPI EmptyNotify(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
}

EFI_STATUS CreateReadyToBootEvent(EFI_TPL Tpl, EFI_EVENT_NOTIFY NotifyFunction,
                                  VOID *NotifyContext, EFI_EVENT *Event) {
  if (NotifyFunction == nullptr) NotifyFunction = EmptyNotify;
  return gDriverContext.BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, Tpl, NotifyFunction,
                                                    NotifyContext, &gReadyToBootEventGroupGuid, Event);
}

VOID *LocateInterface(EFI_GUID *Guid) {
  VOID *Interface = nullptr;
  gDriverContext.BootServices->LocateProtocol(Guid, nullptr, &Interface);
  return Interface;
}

EFI_STATUS LocateRequiredInterface(EFI_GUID *Guid, VOID **Interface) {
  // A locate that answers success without writing the interface leaves this null, not whatever
  // the caller's variable held.
  *Interface = nullptr;
  EFI_STATUS Status = gDriverContext.BootServices->LocateProtocol(Guid, nullptr, Interface);
  if (!EFI_ERROR(Status) && *Interface == nullptr) Status = EFI_NOT_FOUND;
  return Status;
}

VOID *AllocateBootPool(UINTN Size) {
  VOID *Buffer = nullptr;
  gDriverContext.BootServices->AllocatePool(EfiBootServicesData, Size, &Buffer);
  return Buffer;
}

VOID *AllocateZeroBootPool(UINTN Size) {
  VOID *Buffer = AllocateBootPool(Size);
  if (Buffer != nullptr) gDriverContext.BootServices->SetMem(Buffer, Size, 0);
  return Buffer;
}
