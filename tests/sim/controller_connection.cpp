// Controller connection and disconnection as the firmware core does them, over the simulated
// handle database.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "tests/sim/controller_connection.h"

#include <algorithm>

#include "tests/sim/firmware_internal.h"

namespace sim {

namespace {

uint64_t Bits(const void* Pointer) { return reinterpret_cast<uintptr_t>(Pointer); }

}  // namespace

std::vector<EFI_DRIVER_BINDING_PROTOCOL*> DriverBindings(const Firmware& Fw) {
  std::vector<EFI_DRIVER_BINDING_PROTOCOL*> bindings;
  for (EFI_HANDLE handle : Fw.HandlesWith(kDriverBindingGuid))
    bindings.push_back(
        static_cast<EFI_DRIVER_BINDING_PROTOCOL*>(Fw.Protocol(handle, kDriverBindingGuid)));
  std::stable_sort(bindings.begin(), bindings.end(),
                   [](auto* A, auto* B) { return A->Version > B->Version; });
  return bindings;
}

EFI_STATUS CoreConnectController(Firmware& Fw, EFI_HANDLE Controller,
                                 EFI_DEVICE_PATH* RemainingDevicePath) {
  // A binding that accepted the controller is not asked again; after each successful Start the
  // others are asked again from the top, since a started driver may have changed the handle.
  std::vector<EFI_DRIVER_BINDING_PROTOCOL*> pending = DriverBindings(Fw);
  bool found = false;
  bool one_started;
  do {
    one_started = false;
    for (auto& slot : pending) {
      if (slot == nullptr) continue;
      EFI_DRIVER_BINDING_PROTOCOL* binding = slot;
      EFI_STATUS status = binding->Supported(binding, Controller, RemainingDevicePath);
      Fw.TraceService("DriverBinding.Supported", status, 0, Bits(Controller));
      if (EFI_ERROR(status)) continue;
      slot = nullptr;
      found = true;
      status = binding->Start(binding, Controller, RemainingDevicePath);
      Fw.TraceService("DriverBinding.Start", status, 0, Bits(Controller));
      if (!EFI_ERROR(status)) {
        one_started = true;
        break;
      }
    }
  } while (one_started);
  return found ? EFI_SUCCESS : EFI_NOT_FOUND;
}

size_t CoreConnectAllControllers(Firmware& Fw) {
  std::vector<EFI_HANDLE> handles;
  for (const auto& record : Fw.Internals().Handles) handles.push_back(record.get());
  size_t connected = 0;
  for (EFI_HANDLE handle : handles)
    if (Fw.IsHandle(handle) && CoreConnectController(Fw, handle) == EFI_SUCCESS) ++connected;
  return connected;
}

std::vector<EFI_HANDLE> ManagingDrivers(Firmware& Fw, EFI_HANDLE Controller) {
  std::vector<EFI_HANDLE> agents;
  const HandleRecord* record = Fw.Internals().FindHandle(Controller);
  if (record == nullptr) return agents;
  for (const ProtocolEntry& protocol : record->Protocols)
    for (const OpenRecord& open : protocol.Opens)
      if ((open.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) &&
          std::find(agents.begin(), agents.end(), open.Agent) == agents.end())
        agents.push_back(open.Agent);
  return agents;
}

EFI_STATUS CoreDisconnectController(Firmware& Fw, EFI_HANDLE Controller, EFI_HANDLE DriverImage) {
  std::vector<EFI_HANDLE> agents = ManagingDrivers(Fw, Controller);
  if (agents.empty()) return EFI_SUCCESS;
  size_t stopped = 0;
  for (EFI_HANDLE agent : agents) {
    if (DriverImage != nullptr && agent != DriverImage) continue;
    auto* binding =
        static_cast<EFI_DRIVER_BINDING_PROTOCOL*>(Fw.Protocol(agent, kDriverBindingGuid));
    if (binding == nullptr) continue;  // opened by something that is not a driver
    EFI_STATUS status = binding->Stop(binding, Controller, 0, nullptr);
    Fw.TraceService("DriverBinding.Stop", status, 0, Bits(Controller));
    if (!EFI_ERROR(status)) ++stopped;
  }
  return stopped > 0 ? EFI_SUCCESS : EFI_NOT_FOUND;
}

}  // namespace sim
