// The wireless-WAN port guard: at ready-to-boot it finds the USB module on the wireless-WAN
// port and stops the boot when the module's IDs are not on the allow-list.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/patchable.h"
#include "support/uefi.h"

// Which port is guarded and which modules may sit on it; handed to the notify as its context.
struct WwanPortFilter {
  UINT16 Reserved;            // not read
  UINT16 ControllerDevice;    // PCI device of the USB host controller
  UINT16 ControllerFunction;  // PCI function of the controller that owns the port
  UINT8 Port;                 // root port, compared with the device path's ParentPortNumber
  UINT8 IdCount;              // allow-list entries
  const volatile UINT32 *Ids; // product ID << 16 | vendor ID
};

// The settings a platform build patches into the image: EDK II's patchable PCDs of the
// package's token space, each listed with its file offset in the as-built INF's [PatchPcd]
// section. Volatile, so that they are read from the image at run time and never folded into the
// code. The image reserves WWAN_ALLOW_LIST_CAPACITY entries, followed by the end marker
// (support/patchable.h); the count says how many are used.
constexpr UINTN WWAN_ALLOW_LIST_CAPACITY = 16;
using WwanAllowListStorage = PatchableList<UINT32, WWAN_ALLOW_LIST_CAPACITY>;
extern "C" volatile WwanAllowListStorage _gPcd_BinaryPatch_PcdWwanAllowList;
extern "C" volatile UINT8 _gPcd_BinaryPatch_PcdWwanAllowListCount;
extern "C" volatile UINT16 _gPcd_BinaryPatch_PcdWwanControllerDevice;
extern "C" volatile UINT16 _gPcd_BinaryPatch_PcdWwanControllerFunction;
extern "C" volatile UINT8 _gPcd_BinaryPatch_PcdWwanPort;

// The record handed to the notify, filled from the patchable settings by LoadWwanPortFilter.
extern WwanPortFilter gWwanPortFilter;

// Fills gWwanPortFilter from the image's settings, once at entry, and returns it. No setting
// that cannot be right is used: a count above the entries stored is taken as that capacity (the
// list is never read past its storage); a controller device above 0x1F, a function above 7 or a
// port above 15 gives the whole shipped filter (00:1A.0 port 1); a changed end marker (a value
// spilled past the list) gives the shipped list and filter. An entry whose vendor ID is 0 never
// matches. The DEBUG image says which setting it refused and what it used instead.
const WwanPortFilter *LoadWwanPortFilter();

extern "C" EFI_STATUS EFIAPI WwanPortGuardEntry(EFI_HANDLE ImageHandle,
                                                EFI_SYSTEM_TABLE *SystemTable);

VOID EFIAPI OnReadyToBootWwan(EFI_EVENT Event, VOID *Context);

// True when the boot may go on.
BOOLEAN CheckWwanPort(const WwanPortFilter *Filter);

// The first hardware/PCI node of Path that is directly followed by a messaging/USB node. False
// when the path has no such pair, or when a node's length cannot be walked (below 4 bytes).
BOOLEAN FindPciUsbNodePair(const UINT8 *Path, const UINT8 **PciNode, const UINT8 **UsbNode);
