// Active State Power Management of a PCI Express link, set on the root port and on device 0 of
// the bus behind it through the memory-mapped configuration window.
#pragma once

#include "support/uefi.h"

// Board setting: where the firmware maps the configuration window. The target platform's
// chipset puts it at 0xF8000000; other boards build with BOARD_ECAM_BASE defined.
#ifndef BOARD_ECAM_BASE
#define BOARD_ECAM_BASE 0xF8000000
#endif

constexpr UINT64 ECAM_BASE = BOARD_ECAM_BASE;

// One MiB per bus, 256 buses, but never past 4 GiB: the window lies below 4 GiB, so with the
// target's base only buses 0-127 have a place in it.
constexpr UINT64 ECAM_WINDOW_LIMIT = 0x100000000ull;
constexpr UINT64 ECAM_WINDOW_SIZE =
    ECAM_WINDOW_LIMIT - ECAM_BASE < (256ull << 20) ? ECAM_WINDOW_LIMIT - ECAM_BASE : 256ull << 20;

static_assert(ECAM_BASE % (1u << 20) == 0 && ECAM_BASE < ECAM_WINDOW_LIMIT,
              "the configuration window starts on a bus boundary below 4 GiB");

// ASPM control values (bits 1:0 of Link Control).
constexpr UINT8 ASPM_DISABLED = 0;
constexpr UINT8 ASPM_L1 = 2;
constexpr UINT8 ASPM_L0S_L1 = 3;

// Offset of the capability with this ID in the function's list, 0 when it is not there. At
// most 64 entries are examined, so a list that loops, or an absent function, ends the walk.
UINT8 PcieFindCapability(UINT16 Bus, UINT16 Device, UINT16 Function, UINT8 CapabilityId);

// Sets the ASPM control of the root port at (Bus, Device, Function) to PortAspm and that of
// device 0, function 0 on its secondary bus to DeviceAspm; the other Link Control bits stay.
void SetLinkAspm(UINT16 Bus, UINT16 Device, UINT16 Function, UINT8 PortAspm, UINT8 DeviceAspm);
