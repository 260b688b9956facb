// The platform firmware's setup record, as the drivers see it through the setup-data protocol:
// the options they read and the fields they report into. The record belongs to another firmware
// component; only the fields below are touched, every other byte is left as it was.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/platform.h"

typedef SETUP_DATA_PROTOCOL SetupDataProtocol;
typedef STATION_ADDRESS_PROTOCOL StationAddressProtocol;

// Byte offsets of the fields from the start of the record; multi-byte fields are little-endian
// and need not be aligned. Every driver reads and writes a dword field with LoadRecordDword and
// StoreRecordDword below (one 4-byte access each), a byte field as one byte.
constexpr UINTN PEG_ASPM_OPTION_OFFSET = 0x194;
constexpr UINTN LAN_PHY_OPTION_OFFSET = 0x258;
constexpr UINTN WLAN_SLOT_FLAGS_OFFSET = 0x38B;
constexpr UINTN WLAN_CHIP_ID_OFFSET = 0x38C;
constexpr UINTN WLAN_SUBSYSTEM_ID_OFFSET = 0x390;
constexpr UINTN WLAN_STATUS_A_OFFSET = 0x39C;
constexpr UINTN WLAN_STATUS_B_OFFSET = 0x39D;
constexpr UINTN WLAN_STATUS_C_OFFSET = 0x39F;
constexpr UINTN LAN_IS_FAST_ETHERNET_OFFSET = 0x3A9;
constexpr UINTN LAN_STATION_ADDRESS_LOW_OFFSET = 0x3B4;
constexpr UINTN LAN_STATION_ADDRESS_HIGH_OFFSET = 0x3B8;
// Bytes from the start of the record to the end of the last field used.
constexpr UINTN PLATFORM_SETUP_RECORD_USED_SIZE = 0x3BC;

// Byte-packed so that every field sits at its offset whatever its alignment. The firmware's other
// users expect a dword field to be written as one dword and a byte field as one byte.
#pragma pack(push, 1)
struct PlatformSetupRecord {
  UINT8 Unused0[PEG_ASPM_OPTION_OFFSET];
  UINT8 PegAspmOption;  // 1: ASPM L0s and L1 on the graphics-port link, else ASPM off there
  UINT8 Unused1[LAN_PHY_OPTION_OFFSET - PEG_ASPM_OPTION_OFFSET - 1];
  UINT8 LanPhyOption;  // 1: the extra settings of the 10/100 controller
  UINT8 Unused2[WLAN_SLOT_FLAGS_OFFSET - LAN_PHY_OPTION_OFFSET - 1];
  UINT8 WlanSlotFlags;     // bit 0: a network device in the wireless-LAN slot; bit 4 with it
  UINT32 WlanChipId;       // the card's configuration dword 0
  UINT32 WlanSubsystemId;  // the card's configuration dword 0x2C
  UINT8 Unused3[WLAN_STATUS_A_OFFSET - WLAN_SUBSYSTEM_ID_OFFSET - 4];
  UINT8 WlanStatusA;
  UINT8 WlanStatusB;
  UINT8 Unused4[WLAN_STATUS_C_OFFSET - WLAN_STATUS_B_OFFSET - 1];
  UINT8 WlanStatusC;
  UINT8 Unused5[LAN_IS_FAST_ETHERNET_OFFSET - WLAN_STATUS_C_OFFSET - 1];
  UINT8 LanIsFastEthernet;  // 1 when the claimed controller is the 10/100 one
  UINT8 Unused6[LAN_STATION_ADDRESS_LOW_OFFSET - LAN_IS_FAST_ETHERNET_OFFSET - 1];
  UINT32 LanStationAddressLow;   // station-address bytes 0..3, byte 0 in bits 7:0
  UINT32 LanStationAddressHigh;  // station-address bytes 4..7
};
#pragma pack(pop)

static_assert(alignof(PlatformSetupRecord) == 1);
static_assert(sizeof(PlatformSetupRecord) == PLATFORM_SETUP_RECORD_USED_SIZE);
static_assert(offsetof(PlatformSetupRecord, PegAspmOption) == PEG_ASPM_OPTION_OFFSET);
static_assert(offsetof(PlatformSetupRecord, LanPhyOption) == LAN_PHY_OPTION_OFFSET);
static_assert(offsetof(PlatformSetupRecord, WlanSlotFlags) == WLAN_SLOT_FLAGS_OFFSET);
static_assert(offsetof(PlatformSetupRecord, WlanChipId) == WLAN_CHIP_ID_OFFSET);
static_assert(offsetof(PlatformSetupRecord, WlanSubsystemId) == WLAN_SUBSYSTEM_ID_OFFSET);
static_assert(offsetof(PlatformSetupRecord, WlanStatusA) == WLAN_STATUS_A_OFFSET);
static_assert(offsetof(PlatformSetupRecord, WlanStatusB) == WLAN_STATUS_B_OFFSET);
static_assert(offsetof(PlatformSetupRecord, WlanStatusC) == WLAN_STATUS_C_OFFSET);
static_assert(offsetof(PlatformSetupRecord, LanIsFastEthernet) == LAN_IS_FAST_ETHERNET_OFFSET);
static_assert(offsetof(PlatformSetupRecord, LanStationAddressLow) ==
              LAN_STATION_ADDRESS_LOW_OFFSET);
static_assert(offsetof(PlatformSetupRecord, LanStationAddressHigh) ==
              LAN_STATION_ADDRESS_HIGH_OFFSET);

// The dword field at Offset (one of the *_OFFSET values above), as one 4-byte access.
inline UINT32 LoadRecordDword(const PlatformSetupRecord *Record, UINTN Offset) {
  return LoadDword(reinterpret_cast<const UINT8 *>(Record) + Offset);
}
inline VOID StoreRecordDword(PlatformSetupRecord *Record, UINTN Offset, UINT32 Value) {
  StoreDword(reinterpret_cast<UINT8 *>(Record) + Offset, Value);
}

// Locates the setup-data protocol and hands back its record; on failure the locate status, and
// *Record is null. A located protocol without an interface or without a record answers
// EFI_NOT_FOUND.
EFI_STATUS LocatePlatformSetupRecord(PlatformSetupRecord **Record);
