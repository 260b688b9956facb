// Configuration-space layouts the wireless-LAN guard's tests start from: PCI Express root ports
// with a card behind them. The setup record the guard reports into is sim::SetupDataFixture.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <cstdint>
#include <vector>

#include "support/setup_record.h"
#include "tests/sim/firmware.h"
#include "tests/sim/platform_protocols.h"
#include "tests/support/driver_state.h"

namespace wlantest {

constexpr sim::PciLocation kHostBridge{0, 0, 0};
constexpr sim::PciLocation kSlotRootPort{0, 0x1C, 0};
constexpr sim::PciLocation kGraphicsPort{0, 1, 0};
constexpr sim::PciLocation kLpcBridge{0, 31, 0};
constexpr uint8_t kSlotBus = 4;
constexpr uint8_t kGraphicsBus = 1;

// Each function carries a power-management capability first and the PCI Express one second,
// so that a walk has to follow the list; Link Control's low byte then sits at 0x60.
constexpr uint16_t kLinkControl = 0x60;

inline void AddPcieFunction(sim::ConfigSpace& Config, sim::PciLocation Where, uint8_t LinkControl) {
  Config.AddFunction(Where);
  Config.Set8(Where, 0x34, 0x40);
  Config.Set8(Where, 0x40, 0x01);
  Config.Set8(Where, 0x41, 0x50);
  Config.Set8(Where, 0x50, 0x10);
  Config.Set8(Where, 0x51, 0x00);
  Config.Set8(Where, kLinkControl, LinkControl);
}

// A root port (a bridge: header type 1) whose secondary bus is Secondary (bus-number register:
// primary, secondary, subordinate).
inline void AddRootPort(sim::ConfigSpace& Config, sim::PciLocation Port, uint8_t Secondary,
                        uint8_t LinkControl) {
  AddPcieFunction(Config, Port, LinkControl);
  Config.Set8(Port, 0x0E, 0x01);
  Config.Set32(Port, 0x18, uint32_t(Secondary) << 16 | uint32_t(Secondary) << 8 | Port.Bus);
}

struct Card {
  uint32_t Id;         // device << 16 | vendor
  uint16_t Class;      // base class << 8 | subclass
  uint32_t Subsystem;  // subsystem << 16 | subsystem vendor
};

inline void AddCard(sim::ConfigSpace& Config, uint8_t Bus, const Card& C, uint8_t LinkControl) {
  sim::PciLocation where{Bus, 0, 0};
  AddPcieFunction(Config, where, LinkControl);
  Config.Set32(where, 0x00, C.Id);
  Config.Set32(where, 0x08, uint32_t(C.Class) << 16 | 0x01);
  Config.Set32(where, 0x2C, C.Subsystem);
}

inline uint8_t LinkControlOf(sim::ConfigSpace& Config, sim::PciLocation Where) {
  return Config.Get8(Where, kLinkControl);
}

}  // namespace wlantest
