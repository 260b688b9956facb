// The simulated firmware's PCI root bridge: its protocol instance over the configuration-space
// model, and the hooks its Io.Read/Io.Write reach.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <cstdint>
#include <functional>

#include "support/uefi.h"
#include "tests/sim/config_space.h"

namespace sim {

class Firmware;

struct RootBridgeState {
  ConfigSpace Config;
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL RootBridgeTable{};
  EFI_HANDLE RootBridgeHandle = nullptr;
};

class RootBridgeModel {
 public:
  ConfigSpace& Config();
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL* RootBridge();
  EFI_HANDLE RootBridgeHandle() const;  // null when not installed
  void InstallRootBridge();
  void UninstallRootBridge();
  // Io.Read/Io.Write of the root bridge land here (Width in bytes). Defaults: reads give all
  // ones, writes are dropped. A write is traced before it is passed on, a read after it
  // returns.
  std::function<uint32_t(uint16_t Port, int Width)> RootBridgePortRead;
  std::function<void(uint16_t Port, int Width, uint32_t Value)> RootBridgePortWrite;

 protected:
  RootBridgeModel(Firmware& Owner, RootBridgeState& State) : Owner_(Owner), State_(State) {}

 private:
  Firmware& Owner_;
  RootBridgeState& State_;
};

}  // namespace sim
