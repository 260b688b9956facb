// The fixed numbers the drivers share with the firmware around them, as the test doubles know
// them: where each field of the platform's setup record lies, where the setup-data protocol keeps
// its record pointer, where the station-address block lies in its protocol's interface, and where
// the firmware maps the PCI Express configuration window by default. The simulated firmware, the
// board image and the fuzz harnesses lay out what they publish from here and never from the
// drivers' headers, so that a wrong number there makes the driver miss what its doubles hold.
// Header-only and freestanding: the board image includes it too.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/uefi.h"

namespace interface_constants {

// The setup record: byte offsets from its start; dword fields are little-endian, unaligned.
inline constexpr UINTN kPegAspmOption = 0x194;         // 1 byte, read
inline constexpr UINTN kLanPhyOption = 0x258;          // 1 byte, read
inline constexpr UINTN kWlanSlotFlags = 0x38B;         // 1 byte, read and written
inline constexpr UINTN kWlanChipId = 0x38C;            // 4 bytes, written
inline constexpr UINTN kWlanSubsystemId = 0x390;       // 4 bytes, written
inline constexpr UINTN kWlanStatusA = 0x39C;           // 1 byte, written
inline constexpr UINTN kWlanStatusB = 0x39D;           // 1 byte, written
inline constexpr UINTN kWlanStatusC = 0x39F;           // 1 byte, written
inline constexpr UINTN kLanIsFastEthernet = 0x3A9;     // 1 byte, written
inline constexpr UINTN kLanStationAddressLow = 0x3B4;  // 4 bytes, written
inline constexpr UINTN kLanStationAddressHigh = 0x3B8; // 4 bytes, written
// Bytes from the record's start to the end of its last field above.
inline constexpr UINTN kSetupRecordUsedSize = 0x3BC;

// The setup-data protocol's interface: the record pointer follows one 8-byte field.
inline constexpr UINTN kSetupDataRecordPointer = 0x08;
struct SetupDataInterface {
  UINT64 Reserved;
  UINT8 *Record;
};
static_assert(__builtin_offsetof(SetupDataInterface, Record) == kSetupDataRecordPointer);

// The station-address protocol's interface: the eight bytes at 0x20..0x27 are the block.
inline constexpr UINTN kStationAddressBlock = 0x20;
inline constexpr UINTN kStationAddressBlockSize = 8;

// Where the firmware maps the memory-mapped configuration window when no board sets it, and its
// size there: 128 MiB, buses 0-127, up to 4 GiB.
inline constexpr UINT64 kPciExpressBaseAddress = 0xF8000000;
inline constexpr UINT64 kPciExpressWindowSize = 0x08000000;

}  // namespace interface_constants
