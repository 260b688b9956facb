// Active State Power Management of a PCI Express link, set on the root port and on device 0 of
// the bus behind it through the memory-mapped configuration window.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/uefi.h"

// Board setting: where the firmware maps the configuration window and how far it reaches. Both
// are patchable PCDs of the package's own token space (PcdPciExpressWindowBase and
// PcdPciExpressWindowSize in PlatformGuardsPkg.dec): 8 bytes each of the image's data, read at
// run time (volatile, so that the optimiser cannot fold them into the code), at file offsets
// that the as-built INF lists under [PatchPcd.X64]. The defaults are the target platform's
// window, 128 MiB at 0xF8000000 (buses 0-127); a platform build that sets the PCDs gets its own
// values patched in by GenFds, and tools/patch_pcd.py patches q35's 256 MiB at 0xB0000000 in
// for the emulated board (wlan_slot_guard_q35.efi). EDK II's own names for the patchable values.
extern "C" volatile UINT64 _gPcd_BinaryPatch_PcdPciExpressWindowBase;
extern "C" volatile UINT64 _gPcd_BinaryPatch_PcdPciExpressWindowSize;
constexpr UINT64 PCI_EXPRESS_WINDOW_BASE_DEFAULT = 0xF8000000;
constexpr UINT64 PCI_EXPRESS_WINDOW_SIZE_DEFAULT = 0x08000000;

// One MiB per bus and 256 buses at most; the window lies below 4 GiB, on a bus boundary, and
// above the first MiB (legacy memory, never a configuration window).
constexpr UINT64 ECAM_WINDOW_LIMIT = 0x100000000ull;
constexpr UINT64 ECAM_BUS_SIZE = 1ull << 20;
constexpr UINT64 ECAM_WINDOW_MAX_SIZE = 256 * ECAM_BUS_SIZE;

// The window's base as patched, and the part of its patched size that the driver reaches: never
// more than 256 buses and never past 4 GiB; 0 (nothing read or written through it) for a base at
// or past 4 GiB, below 1 MiB, or off a 1 MiB boundary, which cannot be a window.
inline UINT64 EcamBase() { return _gPcd_BinaryPatch_PcdPciExpressWindowBase; }
inline UINT64 EcamWindowSize() {
  const UINT64 Base = EcamBase();
  if (Base >= ECAM_WINDOW_LIMIT || Base < ECAM_BUS_SIZE || (Base & (ECAM_BUS_SIZE - 1)) != 0)
    return 0;
  UINT64 Size = _gPcd_BinaryPatch_PcdPciExpressWindowSize;
  if (Size > ECAM_WINDOW_MAX_SIZE) Size = ECAM_WINDOW_MAX_SIZE;
  if (Size > ECAM_WINDOW_LIMIT - Base) Size = ECAM_WINDOW_LIMIT - Base;
  return Size;
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
// The secondary bus is followed only when the port is a bridge (header type 1 in bits 6:0 of
// byte 0x0E) whose byte 0x19 reads neither all ones nor a bus at or below the port's own;
// otherwise nothing behind the port is read or written.
VOID SetLinkAspm(UINT16 Bus, UINT16 Device, UINT16 Function, UINT8 PortAspm, UINT8 DeviceAspm);
