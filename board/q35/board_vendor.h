// What a scenario can set on the emulated board before the board image loads: UEFI variables
// of the board's own vendor GUID, read once by the board image at its entry point. Shared by the
// board images; the scenario runner sets the same names with the shell's `setvar`.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/uefi.h"
#include "tests/sim/interface_constants.h"

// {4C3B9A61-7D2E-4F58-B1C4-93E0A6D2F817}
#define BOARD_VENDOR_GUID \
  { 0x4C3B9A61, 0x7D2E, 0x4F58, { 0xB1, 0xC4, 0x93, 0xE0, 0xA6, 0xD2, 0xF8, 0x17 } }

namespace board {

// One byte each, copied into the setup record at the option's offset.
constexpr const char16_t *PEG_ASPM_OPTION_VARIABLE = u"PegAspmOption";
constexpr const char16_t *LAN_PHY_OPTION_VARIABLE = u"LanPhyOption";
// Up to eight bytes: the station-address block; missing bytes read as zero.
constexpr const char16_t *STATION_ADDRESS_VARIABLE = u"StationAddress";

// The setup record the board publishes: zeroed, big enough for every field the drivers touch.
constexpr UINTN SETUP_RECORD_SIZE = 0x400;
constexpr UINTN PEG_ASPM_OPTION_OFFSET = interface_constants::kPegAspmOption;
constexpr UINTN LAN_PHY_OPTION_OFFSET = interface_constants::kLanPhyOption;

}  // namespace board
