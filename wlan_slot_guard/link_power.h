// Active State Power Management of a PCI Express link, set on the root port and on device 0 of
// the bus behind it through the memory-mapped configuration window.
#pragma once

#include "support/uefi.h"

// Board setting: where the firmware maps the configuration window. It is EDK II's
// PcdPciExpressBaseAddress as a patchable value: 8 bytes of the image's data, read at run time
// (volatile, so that the optimiser cannot fold it into the code), at a file offset that the
// as-built INF lists under [PatchPcd.X64]. The target platform's chipset puts the window at
// 0xF8000000; a platform build that sets the PCD gets its own value patched in by GenFds, and
// tools/patch_pcd.py patches 0xB0000000 in for the emulated q35 board (wlan_slot_guard_q35.efi).
// EDK II's own name for a patchable PCD's value.
extern "C" volatile UINT64 _gPcd_BinaryPatch_PcdPciExpressBaseAddress;
constexpr UINT64 PCI_EXPRESS_BASE_ADDRESS_DEFAULT = 0xF8000000;

// One MiB per bus, 256 buses, but never past 4 GiB: the window lies below 4 GiB, so with the
// target's base only buses 0-127 have a place in it.
constexpr UINT64 ECAM_WINDOW_LIMIT = 0x100000000ull;
constexpr UINT64 ECAM_WINDOW_MAX_SIZE = 256ull << 20;

// The window's base as patched, and its size computed from it (0 for a base at or past 4 GiB).
inline UINT64 EcamBase() { return _gPcd_BinaryPatch_PcdPciExpressBaseAddress; }
inline UINT64 EcamWindowSize() {
  const UINT64 Base = EcamBase();
  if (Base >= ECAM_WINDOW_LIMIT) return 0;
  return ECAM_WINDOW_LIMIT - Base < ECAM_WINDOW_MAX_SIZE ? ECAM_WINDOW_LIMIT - Base
                                                         : ECAM_WINDOW_MAX_SIZE;
}

// ASPM control values (bits 1:0 of Link Control).
constexpr UINT8 ASPM_DISABLED = 0;
constexpr UINT8 ASPM_L1 = 2;
constexpr UINT8 ASPM_L0S_L1 = 3;

// Offset of the capability with this ID in the function's list, 0 when it is not there. At
// most 64 entries are examined, so a list that loops, or an absent function, ends the walk.
UINT8 PcieFindCapability(UINT16 Bus, UINT16 Device, UINT16 Function, UINT8 CapabilityId);

// Sets the ASPM control of the root port at (Bus, Device, Function) to PortAspm and that of
// device 0, function 0 on its secondary bus to DeviceAspm; the other Link Control bits stay.
VOID SetLinkAspm(UINT16 Bus, UINT16 Device, UINT16 Function, UINT8 PortAspm, UINT8 DeviceAspm);
