// The simulated firmware's state, shared by the files that implement its services.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <gtest/gtest.h>

#include "tests/sim/firmware.h"

namespace sim {

// Every concern's state, and what belongs to no one concern: the tables and the image handle.
struct FirmwareState : HandleState,
                       PoolState,
                       EventState,
                       VariableState,
                       ConsoleState,
                       HiiState,
                       RootBridgeState,
                       UsbState,
                       FaultState {
  explicit FirmwareState(Firmware& Owner) : Self(Owner) {}
  Firmware& Self;

  EFI_SYSTEM_TABLE System{};
  EFI_BOOT_SERVICES Boot{};
  EFI_RUNTIME_SERVICES Runtime{};
  EFI_LOADED_IMAGE_PROTOCOL LoadedImage{};
  EFI_HANDLE Image = nullptr;
};

// Appends one call of Kind (Service or Console) to the trace and returns Status.
EFI_STATUS TraceCall(TraceKind Kind, std::string_view Name, EFI_STATUS Status, uint64_t Value,
                     uint64_t Address, std::u16string Text);

// Appends one hardware access (ConfigRead/Write, IoRead/Write, ...) of Size bytes by the route
// Name ("rootbridge", "pciio") and returns Status.
EFI_STATUS TraceAccess(TraceKind Kind, std::string_view Name, uint64_t Address, size_t Size,
                       uint64_t Value, EFI_STATUS Status);

// Fills Count function-pointer slots with stubs that fail the test as "<Table>.<slot name>".
void FillUnimplemented(void* FirstSlot, size_t Count, const char* Table,
                       const char* const* SlotNames);

void InitTableHeader(EFI_TABLE_HEADER& Header, UINT64 Signature, UINT32 Size);
void SetUpBootServices(FirmwareState& Fw);
void SetUpConsoles(FirmwareState& Fw);
void SetUpHiiTable(FirmwareState& Fw);
void SetUpRootBridgeTable(FirmwareState& Fw);
void SetUpUsbTable(UsbDevice& Device);

inline FirmwareState& Fw() { return Firmware::Current().Internals(); }

}  // namespace sim
