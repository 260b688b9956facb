// The outside firmware components the drivers meet only through their protocols: the setup-data
// protocol with its record, and the station-address protocol. Each fixture installs its
// interface on a handle of its own and keeps the bytes a test inspects.
//
//   sim::Firmware fw;
//   sim::SetupDataFixture setup(fw);                     // or setup(0), then setup.Publish(fw)
//   setup.Record[interface_constants::kLanPhyOption] = 1;  // or setup.Fields()->LanPhyOption = 1
//   sim::StationAddressFixture station(fw, {0x00, 0x1B, 0x21, 0x3C, 0x4D, 0x5E, 0x00, 0x00});
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "support/setup_record.h"
#include "support/uefi.h"
#include "tests/sim/firmware.h"
#include "tests/sim/interface_constants.h"
#include "tests/sim/interface_guids.h"

namespace sim {

inline constexpr EFI_GUID kSetupDataProtocolGuid = interface_guids::kSetupData;
inline constexpr EFI_GUID kStationAddressProtocolGuid = interface_guids::kStationAddress;

using interface_constants::SetupDataInterface;
using StationAddressBlock = std::array<uint8_t, interface_constants::kStationAddressBlockSize>;

// The one setup-record fixture of the tests: the record bytes, the protocol interface that
// points at them, and the handle once it is published.
class SetupDataFixture {
 public:
  // A record larger than every field the drivers use, as the firmware's own record is.
  static constexpr size_t kRecordBytes = 0x400;

  // Published at once, each byte preset to Fill so that a write to the wrong byte shows.
  explicit SetupDataFixture(Firmware& Fw, uint8_t Fill = 0xA5) : SetupDataFixture(Fill) {
    Publish(Fw);
  }
  // Not published yet: a test lays out the record first, or hands Fields() to a driver
  // function directly.
  explicit SetupDataFixture(uint8_t Fill = 0) : Record(kRecordBytes, Fill) {
    Interface.Reserved = 0;
    Interface.Record = Record.data();
  }
  SetupDataFixture(const SetupDataFixture&) = delete;
  SetupDataFixture& operator=(const SetupDataFixture&) = delete;

  void Publish(Firmware& Fw) {
    Handle = Fw.InstallProtocol(nullptr, kSetupDataProtocolGuid, &Interface);
  }
  // Every byte set to Fill again; the record stays where it is.
  void Refill(uint8_t Fill) { std::fill(Record.begin(), Record.end(), Fill); }

  // The record as the drivers see it.
  PlatformSetupRecord* Fields() { return reinterpret_cast<PlatformSetupRecord*>(Record.data()); }

  uint32_t Dword(size_t Offset) const {
    return uint32_t(Record.at(Offset)) | uint32_t(Record.at(Offset + 1)) << 8 |
           uint32_t(Record.at(Offset + 2)) << 16 | uint32_t(Record.at(Offset + 3)) << 24;
  }

  std::vector<uint8_t> Record;
  SetupDataInterface Interface{};
  EFI_HANDLE Handle = nullptr;
};

class StationAddressFixture {
 public:
  StationAddressFixture(Firmware& Fw, StationAddressBlock Block) {
    // The bytes before the block are the component's own; fill them so that a read from the
    // wrong place shows.
    std::fill(Interface.begin(), Interface.end(), 0xEE);
    std::copy(Block.begin(), Block.end(),
              Interface.begin() + interface_constants::kStationAddressBlock);
    Handle = Fw.InstallProtocol(nullptr, kStationAddressProtocolGuid, &Interface);
  }
  StationAddressFixture(const StationAddressFixture&) = delete;
  StationAddressFixture& operator=(const StationAddressFixture&) = delete;

  std::array<uint8_t, interface_constants::kStationAddressBlock +
                         interface_constants::kStationAddressBlockSize>
      Interface{};
  EFI_HANDLE Handle = nullptr;
};

}  // namespace sim
