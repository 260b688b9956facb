// The firmware core's controller connection over the simulated handle database: connecting a
// controller asks every installed driver binding, highest version first, whether it supports
// the controller and starts each one that does; disconnecting stops every driver that holds a
// protocol of the controller open by driver. Like the core, these keep no record of their own:
// every connection asks Supported again (so a driver must refuse a controller it already holds),
// and what a disconnection stops is read from the handle database. Each Supported/Start/Stop call is traced as a Service entry
// ("DriverBinding.Supported", ".Start", ".Stop") with the handle as Address.
//
//   sim::Firmware fw;
//   LanControllerSetupEntry(fw.ImageHandle(), fw.SystemTable());
//   sim::PciIoDevice nic(fw, {2, 0, 0});
//   EXPECT_EQ(sim::CoreConnectController(fw, nic.Handle()), EFI_SUCCESS);
//   EXPECT_EQ(sim::CoreDisconnectController(fw, nic.Handle()), EFI_SUCCESS);
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <vector>

#include "support/uefi.h"
#include "tests/sim/firmware.h"

namespace sim {

// The driver bindings installed, in the order the core tries them: highest Version first,
// installation order among equals.
std::vector<EFI_DRIVER_BINDING_PROTOCOL*> DriverBindings(const Firmware& Fw);

// Asks the bindings in order; the first that supports the controller is started, then the
// remaining ones are asked again, until a round starts nobody. EFI_SUCCESS when some binding
// supported the controller (whatever its Start returned), EFI_NOT_FOUND otherwise.
// RemainingDevicePath is passed to Supported and Start unchanged.
EFI_STATUS CoreConnectController(Firmware& Fw, EFI_HANDLE Controller,
                                 EFI_DEVICE_PATH* RemainingDevicePath = nullptr);

// Connects every handle the firmware knows, in creation order, as a boot manager's "connect
// all" does; returns how many handles got a driver.
size_t CoreConnectAllControllers(Firmware& Fw);

// Stops each driver (or only DriverImage's when given) that holds a protocol of Controller
// open by driver. EFI_SUCCESS when nothing manages the controller or some Stop succeeded,
// EFI_NOT_FOUND otherwise.
EFI_STATUS CoreDisconnectController(Firmware& Fw, EFI_HANDLE Controller,
                                    EFI_HANDLE DriverImage = nullptr);

// The agents holding some protocol of Controller open by driver.
std::vector<EFI_HANDLE> ManagingDrivers(Firmware& Fw, EFI_HANDLE Controller);

}  // namespace sim
