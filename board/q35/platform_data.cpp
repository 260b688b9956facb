// The setup record and the station-address block of the board, as the platform's own firmware
// components would publish them. Both start from fixed contents; a scenario overrides options
// and the address through the board's variables before the image loads.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "board/q35/board_services.h"
#include "board/q35/board_vendor.h"
#include "tests/sim/interface_guids.h"

namespace board {
namespace {

// A locally administered address, so that no real vendor's block is implied.
constexpr UINT8 DEFAULT_STATION_ADDRESS[interface_constants::kStationAddressBlockSize] = {
    0x02, 0x5B, 0x0A, 0x3D, 0x71, 0xC4, 0x00, 0x00};

// The LPC bridge's GPIO base: the target firmware sets it, OVMF leaves it at 0. 0x500 is free
// on q35 (the PM block is at 0x600, PCI I/O starts at 0x6000); bit 0 marks I/O space.
constexpr UINT64 LPC_GPIO_BASE_REGISTER = PciRootBridgeAddress(0, 31, 0, 0x48);
constexpr UINT32 LPC_GPIO_BASE_VALUE = 0x0501;

interface_constants::SetupDataInterface gSetupData;
UINT8 gStationAddress[interface_constants::kStationAddressBlock +
                      interface_constants::kStationAddressBlockSize];
UINT8 *const gStationAddressBlock = gStationAddress + interface_constants::kStationAddressBlock;

// Reads the board variable Name into Buffer (at most Capacity bytes); the number of bytes
// read, 0 when the variable is absent or larger than Capacity.
UINTN ReadBoardVariable(const char16_t *Name, UINT8 *Buffer, UINTN Capacity) {
  EFI_GUID Vendor = BOARD_VENDOR_GUID;
  UINTN Size = Capacity;
  CHAR16 *VariableName = reinterpret_cast<CHAR16 *>(const_cast<char16_t *>(Name));
  if (gSystemTable->RuntimeServices->GetVariable(VariableName, &Vendor, nullptr, &Size, Buffer) !=
      EFI_SUCCESS) {
    return 0;
  }
  return Size;
}

void ApplyOption(const char16_t *Name, UINTN Offset) {
  UINT8 Value = 0;
  if (ReadBoardVariable(Name, &Value, sizeof(Value)) == sizeof(Value)) {
    gSetupData.Record[Offset] = Value;
  }
}

}  // namespace

bool PreparePlatformData() {
  VOID *Record = nullptr;
  if (gBootServices->AllocatePool(EfiBootServicesData, SETUP_RECORD_SIZE, &Record) !=
      EFI_SUCCESS) {
    return false;
  }
  FillBytes(Record, SETUP_RECORD_SIZE, 0);
  gSetupData.Reserved = 0;
  gSetupData.Record = static_cast<UINT8 *>(Record);
  ApplyOption(PEG_ASPM_OPTION_VARIABLE, PEG_ASPM_OPTION_OFFSET);
  ApplyOption(LAN_PHY_OPTION_VARIABLE, LAN_PHY_OPTION_OFFSET);

  FillBytes(gStationAddress, sizeof(gStationAddress), 0);
  UINT8 Address[interface_constants::kStationAddressBlockSize] = {};
  if (ReadBoardVariable(STATION_ADDRESS_VARIABLE, Address, sizeof(Address)) != 0) {
    CopyBytes(gStationAddressBlock, Address, sizeof(Address));
  } else {
    CopyBytes(gStationAddressBlock, DEFAULT_STATION_ADDRESS, sizeof(Address));
  }
  return true;
}

void ProgramChipset() {
  EFI_GUID Guid = interface_guids::kPciRootBridgeIo;
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridge = nullptr;
  if (gBootServices->LocateProtocol(&Guid, nullptr, reinterpret_cast<VOID **>(&RootBridge)) !=
      EFI_SUCCESS) {
    return;
  }
  UINT32 GpioBase = LPC_GPIO_BASE_VALUE;
  RootBridge->Pci.Write(RootBridge, EfiPciWidthUint32, LPC_GPIO_BASE_REGISTER, 1, &GpioBase);
}

interface_constants::SetupDataInterface *SetupDataInterface() { return &gSetupData; }

UINT8 *StationAddressInterface() { return gStationAddress; }

}  // namespace board
