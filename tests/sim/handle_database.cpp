// The handle database: lookups for the boot services and the fixture-side queries.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "tests/sim/firmware_internal.h"

namespace sim {

HandleRecord* HandleState::FindHandle(EFI_HANDLE Handle) const {
  if (Handle == nullptr) return nullptr;
  for (const auto& record : Handles)
    if (record.get() == Handle) return record.get();
  return nullptr;
}

ProtocolEntry* HandleState::FindProtocol(EFI_HANDLE Handle, const EFI_GUID& Guid) const {
  HandleRecord* record = FindHandle(Handle);
  if (record == nullptr) return nullptr;
  for (auto& entry : record->Protocols)
    if (SameGuid(entry.Guid, Guid)) return &entry;
  return nullptr;
}

EFI_HANDLE HandleDatabase::NewHandle() {
  auto record = std::make_unique<HandleRecord>();
  record->Id = State_.NextHandleId++;
  EFI_HANDLE handle = record.get();
  State_.Handles.push_back(std::move(record));
  return handle;
}

EFI_HANDLE HandleDatabase::InstallProtocol(EFI_HANDLE Handle, const EFI_GUID& Guid, void* Interface) {
  if (Handle == nullptr) Handle = NewHandle();
  HandleRecord* record = State_.FindHandle(Handle);
  if (record == nullptr) {
    ADD_FAILURE() << "InstallProtocol on a handle the firmware does not know";
    return Handle;
  }
  if (State_.FindProtocol(Handle, Guid) != nullptr) {
    ADD_FAILURE() << "protocol installed twice on one handle";
    return Handle;
  }
  record->Protocols.push_back(ProtocolEntry{Guid, Interface, {}});
  return Handle;
}

bool HandleDatabase::UninstallProtocol(EFI_HANDLE Handle, const EFI_GUID& Guid) {
  HandleRecord* record = State_.FindHandle(Handle);
  if (record == nullptr) return false;
  for (auto it = record->Protocols.begin(); it != record->Protocols.end(); ++it)
    if (SameGuid(it->Guid, Guid)) {
      record->Protocols.erase(it);
      return true;
    }
  return false;
}

void* HandleDatabase::Protocol(EFI_HANDLE Handle, const EFI_GUID& Guid) const {
  ProtocolEntry* entry = State_.FindProtocol(Handle, Guid);
  return entry ? entry->Interface : nullptr;
}

bool HandleDatabase::IsHandle(EFI_HANDLE Handle) const { return State_.FindHandle(Handle) != nullptr; }

std::vector<EFI_HANDLE> HandleDatabase::HandlesWith(const EFI_GUID& Guid) const {
  std::vector<EFI_HANDLE> out;
  for (const auto& record : State_.Handles)
    if (State_.FindProtocol(record.get(), Guid)) out.push_back(record.get());
  return out;
}

uint32_t HandleDatabase::OpenCount(EFI_HANDLE Handle, const EFI_GUID& Guid) const {
  uint32_t count = 0;
  for (const auto& open : Opens(Handle, Guid)) count += open.Count;
  return count;
}

bool HandleDatabase::IsOpenByDriver(EFI_HANDLE Handle, const EFI_GUID& Guid, EFI_HANDLE Agent) const {
  for (const auto& open : Opens(Handle, Guid))
    if (open.Agent == Agent && (open.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER)) return true;
  return false;
}

std::vector<OpenRecord> HandleDatabase::Opens(EFI_HANDLE Handle, const EFI_GUID& Guid) const {
  ProtocolEntry* entry = State_.FindProtocol(Handle, Guid);
  return entry ? entry->Opens : std::vector<OpenRecord>{};
}

}  // namespace sim
