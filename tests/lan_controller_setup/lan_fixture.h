// The LAN controller driver's world for the host tests: the driver loaded on the simulated
// firmware, the two outside protocols, the chipset's bridges around bus 0, and a controller on
// the bus behind root port 2 whose I/O registers behave like the hardware's: the ID registers
// and the configuration bytes take writes only while the lock byte +0x50 reads 0xC0, the PHY
// access register keeps what was written per PHY register, and the indirect configuration
// write copies +0x64 into the controller's own configuration space.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <gtest/gtest.h>

#include <map>

#include "lan_controller_setup/lan_binding.h"
#include "lan_controller_setup/lan_start.h"
#include "tests/sim/firmware.h"
#include "tests/sim/pci_io.h"
#include "tests/sim/platform_protocols.h"
#include "tests/support/driver_state.h"

namespace lan_test {

inline constexpr sim::PciLocation kController{3, 0, 0};
inline constexpr uint16_t kIoBase = 0xE000;
inline constexpr sim::PciLocation kCacheLineSource{0, 0x1B, 0};
inline constexpr sim::PciLocation kRootPort2{0, 0x1C, 1};
inline constexpr uint8_t kCacheLineSize = 0x10;
inline constexpr uint32_t kRootPortSubsystem = 0x3A4B1734;
// The station-address block as the outside component holds it.
inline constexpr std::array<uint8_t, 8> kStationBlock = {0x02, 0x1F, 0xC6, 0x3A,
                                                         0x9B, 0x71, 0xE4, 0xD8};

// Registers of the controller model.
inline constexpr uint16_t kLock = 0x50;
inline constexpr uint16_t kPhyAccess = 0x60;
inline constexpr uint16_t kConfigData = 0x64;
inline constexpr uint16_t kConfigCommand = 0x68;
inline constexpr uint8_t kLockOpen = 0xC0;

// The driver's own state between calls, cleared with every simulated firmware: the controller it
// opened last and the handles its entry point filled in.
inline void ClearLanState() {
  gLanPciIo = nullptr;
  LanDriverBinding.ImageHandle = nullptr;
  LanDriverBinding.DriverBindingHandle = nullptr;
}
inline const bool kLanStateCleared = sim::AddStateReset(ClearLanState);

inline uint32_t Id(uint16_t Vendor, uint16_t Device) { return uint32_t(Device) << 16 | Vendor; }

// Bridges of bus 0 as laid out for most tests: (device, function) → secondary, subordinate.
struct BridgeLayout {
  uint8_t Device, Function;
  bool Present;
  uint8_t Secondary, Subordinate;
};
inline const BridgeLayout kBridges[] = {
    {0x01, 0, true, 1, 1},       // graphics port
    {0x1C, 0, true, 2, 2},       // root port 1
    {0x1C, 1, true, 3, 3},       // root port 2, the controller's bus
    {0x1C, 2, false, 0, 0},      // root port 3 absent: its bus numbers read 0xFF
    {0x1C, 3, true, 4, 5},       // root port 4 with a switch behind it
    {0x1C, 4, true, 6, 6},       // root port 5
    {0x1C, 5, true, 0xFF, 0xFF}  // root port 6 present, no bus assigned
};

class LanTest : public ::testing::Test {
 protected:
  LanTest() : setup(fw), station(fw, kStationBlock), controller(fw, kController) {}

  void SetUp() override {
    ASSERT_EQ(LanControllerSetupEntry(fw.ImageHandle(), fw.SystemTable()), EFI_SUCCESS);
    EntryLine = fw.StdErrText();
    LayOutChipset();
    SetIdentity(Id(0x10EC, 0x8168), 0x06);
    fw.Config().Set32(kController, 0x10, kIoBase | 1);
    controller.SetRegister32(kLock, 0xC38F5A21);
    controller.SetRegister8(0x55, 0x0B);
    controller.SetRegister8(0x6D, 0xF7);
    controller.OnIoWrite = [this](sim::PciIoDevice& Device, uint16_t Register, int Width,
                                  uint32_t Value) {
      return ModelWrite(Device, Register, Width, Value);
    };
    sim::GlobalTrace().Clear();
  }

  void LayOutChipset() {
    auto& config = fw.Config();
    config.Set8(kCacheLineSource, 0x0C, kCacheLineSize);
    config.Set32(kRootPort2, 0x94, kRootPortSubsystem);
    for (const BridgeLayout& bridge : kBridges) {
      sim::PciLocation where{0, bridge.Device, bridge.Function};
      if (!bridge.Present) {
        config.RemoveFunction(where);
        continue;
      }
      config.Set8(where, 0x19, bridge.Secondary);
      config.Set8(where, 0x1A, bridge.Subordinate);
      if (bridge.Secondary != 0xFF) config.AddFunction({bridge.Secondary, 0, 0});
      if (bridge.Subordinate != 0xFF) config.AddFunction({bridge.Subordinate, 0, 0});
    }
  }

  void SetIdentity(uint32_t VendorDevice, uint8_t Revision) {
    fw.Config().Set32(kController, 0x00, VendorDevice);
    fw.Config().Set8(kController, 0x08, Revision);
  }

  // What StdErr received after the entry's own line.
  std::string DecisionLines() const { return fw.StdErrText().substr(EntryLine.size()); }

  EFI_HANDLE Agent() const { return LanDriverBinding.DriverBindingHandle; }
  bool Claimed() const { return fw.IsOpenByDriver(controller.Handle(), sim::kPciIoGuid, Agent()); }
  uint32_t PciIoOpens() const { return fw.OpenCount(controller.Handle(), sim::kPciIoGuid); }

  // Trace entries of one kind and source (Name "pciio" or "rootbridge").
  static std::vector<sim::TraceEntry> Accesses(sim::TraceKind Kind, const char* Name) {
    std::vector<sim::TraceEntry> out;
    for (const auto& entry : sim::GlobalTrace().Of(Kind))
      if (entry.Name == Name) out.push_back(entry);
    return out;
  }
  static size_t ControllerAccesses() {
    size_t count = 0;
    for (const auto& entry : sim::GlobalTrace().Entries())
      if (entry.Name == sim::kPciIoTraceName) ++count;
    return count;
  }

  // The hardware's answer to a register write; false drops it.
  bool ModelWrite(sim::PciIoDevice& Device, uint16_t Register, int Width, uint32_t Value) {
    bool id_or_config = Register < 0x08 || (Register >= 0x54 && Register < 0x58);
    if (id_or_config && Device.Register8(kLock) != kLockOpen) return false;
    if (Register == kPhyAccess && (Value & 0x80000000)) Phy[(Value >> 16) & 0x1F] = Value & 0xFFFF;
    if (Register == kConfigCommand && (Value & 0x80000000)) {
      uint16_t target = Value & 0xFFF;
      uint32_t data = Device.Register32(kConfigData);
      for (int i = 0; i < 4; ++i)
        if (Value & (0x1000u << i))
          fw.Config().Set8(kController, target + i, uint8_t(data >> (8 * i)));
    }
    (void)Width;
    return true;
  }

  sim::Firmware fw;
  std::string EntryLine;
  sim::SetupDataFixture setup;
  sim::StationAddressFixture station;
  sim::PciIoDevice controller;
  std::map<uint8_t, uint16_t> Phy;  // PHY registers written through +0x60
};

}  // namespace lan_test
