// The wireless-LAN slot guard: its entry point and its ready-to-boot notify, which probes the
// slot, checks the card against the allow-list, sets link power, or stops the boot for good.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/patchable.h"
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
// WLAN_ALLOW_LIST_CAPACITY rows, followed by the end marker (support/patchable.h); the count
// says how many are searched.
constexpr UINTN WLAN_ALLOW_LIST_CAPACITY = 16;
using WlanAllowListStorage = PatchableList<WlanAllowEntry, WLAN_ALLOW_LIST_CAPACITY>;
extern "C" volatile WlanAllowListStorage _gPcd_BinaryPatch_PcdWlanAllowList;
extern "C" volatile UINT8 _gPcd_BinaryPatch_PcdWlanAllowListCount;

// Chooses the rows in force, once at entry: the count, or the capacity when the count is larger
// (the list is never read past its storage); the shipped rows and count when the end marker
// changed (a value spilled past the list). Wherever the rows come from, a row whose chip vendor
// is 0 or 0xFFFF never matches and a row's ASPM values are used through bits 1:0 only. The
// DEBUG image says which setting it refused and what it used instead.
VOID LoadWlanAllowList();

// The rows searched, as LoadWlanAllowList chose them.
UINTN WlanAllowListRows();
