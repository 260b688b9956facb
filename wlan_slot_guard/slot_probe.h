// What sits in the wireless-LAN slot, recorded in the platform's setup record, and the radio's
// state: its GPIO line from the option byte and the embedded controller's radio bit.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/setup_record.h"

// WlanSlotFlags bit 0: a network-class device sits in the slot.
constexpr UINT8 WLAN_SLOT_FLAG_CARD_PRESENT = 0x01;

// Enables the slot's root port, keeps the option bytes of the second CMOS bank initialised and
// records the card behind root port 1 (bus 0, device 0x1C, function 0) in Record: presence,
// chip and subsystem IDs, and the status bits every probe applies. Without the root-bridge
// protocol every configuration read counts as all ones, so the slot reads as empty.
VOID ProbeWlanSlot(PlatformSetupRecord *Record);

// Drives the radio's GPIO line (level bit 28) from bit 0 of option byte 0x49 and clears bit 6
// of embedded-controller register 0x42FA. The GPIO register is written back only when its base
// and its level could be read.
VOID ApplyRadioState();
