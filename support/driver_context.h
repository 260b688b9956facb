// Each driver's saved firmware pointers and the small boot-service routines every driver uses:
// the ready-to-boot signal event and boot-time pool allocation.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/uefi.h"

struct DriverContext {
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_BOOT_SERVICES *BootServices;
  EFI_RUNTIME_SERVICES *RuntimeServices;  // kept with the others, used by no driver
};

// One per driver image, written at entry and read-only afterwards.
extern DriverContext gDriverContext;

EFI_STATUS InitDriverContext(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// A signal event in the ready-to-boot group; a null NotifyFunction binds an empty notify.
EFI_STATUS CreateReadyToBootEvent(EFI_TPL Tpl, EFI_EVENT_NOTIFY NotifyFunction,
                                  VOID *NotifyContext, EFI_EVENT *Event);

// The interface of a protocol, or null when none is installed. The status is not examined: a
// failing LocateProtocol leaves the interface null.
VOID *LocateInterface(EFI_GUID *Guid);

// LocateProtocol whose success without an interface counts as EFI_NOT_FOUND: *Interface is set
// to null before the locate, so it is either what the locate wrote or null; on success it is not
// null, otherwise the status is the locate's (or EFI_NOT_FOUND). Callers need not preset it.
EFI_STATUS LocateRequiredInterface(EFI_GUID *Guid, VOID **Interface);

// Boot-services data pool; null when the allocation fails.
VOID *AllocateBootPool(UINTN Size);
VOID *AllocateZeroBootPool(UINTN Size);
