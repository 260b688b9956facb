// The wireless-LAN slot guard: its entry point and its ready-to-boot notify, which probes the
// slot, checks the card against the allow-list, sets link power, or stops the boot for good.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/setup_record.h"

extern "C" EFI_STATUS EFIAPI WlanSlotGuardEntry(EFI_HANDLE ImageHandle,
                                                EFI_SYSTEM_TABLE *SystemTable);

// Returns only when the boot may go on; an unlisted card ends in the halt screen.
VOID EFIAPI OnReadyToBootWlan(EFI_EVENT Event, VOID *Context);

// True when the card recorded in Record is on the allow-list; its link (root port 1 and the
// card) then gets that row's ASPM values.
BOOLEAN MatchWlanAllowList(const PlatformSetupRecord *Record);

// One allow-list row as the image holds it: 10 bytes, little-endian, no padding.
#pragma pack(push, 1)
struct WlanAllowEntry {
  UINT32 ChipId;       // device ID << 16 | vendor ID
  UINT32 SubsystemId;  // subsystem ID << 16 | subsystem vendor ID
  UINT8 RootPortAspm;
  UINT8 CardAspm;
};
#pragma pack(pop)

// The allow-list as a platform build patches it into the image: EDK II's patchable PCDs of the
// package's token space, listed with their file offsets in the as-built INF's [PatchPcd]
// section, and volatile so that they are read from the image at run time. The image reserves
// WLAN_ALLOW_LIST_CAPACITY rows; the count says how many are searched.
constexpr UINTN WLAN_ALLOW_LIST_CAPACITY = 16;
extern "C" volatile WlanAllowEntry _gPcd_BinaryPatch_PcdWlanAllowList[WLAN_ALLOW_LIST_CAPACITY];
extern "C" volatile UINT8 _gPcd_BinaryPatch_PcdWlanAllowListCount;

// The rows searched: the count, or the capacity when the count is larger (the list is never
// read past its storage).
UINTN WlanAllowListRows();
