// The simulated firmware's handle and protocol database: handles in creation order, the
// interfaces installed on each and the opens through OpenProtocol. The boot services reach the
// state (HandleState); a test reaches it through the Firmware's HandleDatabase part.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "support/uefi.h"

namespace sim {

class Firmware;

struct OpenRecord {
  EFI_HANDLE Agent = nullptr;
  EFI_HANDLE Controller = nullptr;
  UINT32 Attributes = 0;
  uint32_t Count = 0;
};

struct ProtocolEntry {
  EFI_GUID Guid;
  void* Interface;
  std::vector<OpenRecord> Opens;
};

struct HandleRecord {
  uint64_t Id;
  std::vector<ProtocolEntry> Protocols;
};

struct HandleState {
  // Handles in creation order; an EFI_HANDLE is the address of its record.
  std::vector<std::unique_ptr<HandleRecord>> Handles;
  uint64_t NextHandleId = 1;

  HandleRecord* FindHandle(EFI_HANDLE Handle) const;
  ProtocolEntry* FindProtocol(EFI_HANDLE Handle, const EFI_GUID& Guid) const;
};

// Fixture side, untraced.
class HandleDatabase {
 public:
  EFI_HANDLE NewHandle();
  // A null Handle makes a new one; returns the handle. Installing a GUID twice on one handle
  // fails the test.
  EFI_HANDLE InstallProtocol(EFI_HANDLE Handle, const EFI_GUID& Guid, void* Interface);
  bool UninstallProtocol(EFI_HANDLE Handle, const EFI_GUID& Guid);
  void* Protocol(EFI_HANDLE Handle, const EFI_GUID& Guid) const;
  bool IsHandle(EFI_HANDLE Handle) const;
  std::vector<EFI_HANDLE> HandlesWith(const EFI_GUID& Guid) const;
  // Opens through OpenProtocol (HandleProtocol does not leave one), summed over agents.
  uint32_t OpenCount(EFI_HANDLE Handle, const EFI_GUID& Guid) const;
  bool IsOpenByDriver(EFI_HANDLE Handle, const EFI_GUID& Guid, EFI_HANDLE Agent) const;
  std::vector<OpenRecord> Opens(EFI_HANDLE Handle, const EFI_GUID& Guid) const;

 protected:
  explicit HandleDatabase(HandleState& State) : State_(State) {}

 private:
  HandleState& State_;
};

}  // namespace sim
