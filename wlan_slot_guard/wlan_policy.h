// The wireless-LAN slot guard: its entry point and its ready-to-boot notify, which probes the
// slot, checks the card against the allow-list, sets link power, or stops the boot for good.
#pragma once

#include "support/setup_record.h"

extern "C" EFI_STATUS EFIAPI WlanSlotGuardEntry(EFI_HANDLE ImageHandle,
                                                EFI_SYSTEM_TABLE *SystemTable);

// Returns only when the boot may go on; an unlisted card ends in the halt screen.
VOID EFIAPI OnReadyToBootWlan(EFI_EVENT Event, VOID *Context);

// True when the card recorded in Record is on the allow-list; its link (root port 1 and the
// card) then gets that row's ASPM values.
BOOLEAN MatchWlanAllowList(const PlatformSetupRecord *Record);
