// The variable store (fixture side).
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <cstring>

#include "tests/sim/firmware_internal.h"

namespace sim {

static VariableKey KeyOf(std::string_view Name, const EFI_GUID& Vendor) {
  VariableKey key;
  key.Name.assign(Name.begin(), Name.end());
  std::memcpy(key.Vendor.data(), &Vendor, sizeof Vendor);
  return key;
}

void VariableStore::SetVariable(std::string_view Name, std::vector<uint8_t> Bytes) {
  SetVariable(Name, kGlobalVariableGuid, std::move(Bytes));
}
void VariableStore::SetVariable(std::string_view Name, const EFI_GUID& Vendor,
                           std::vector<uint8_t> Bytes) {
  State_.Variables[KeyOf(Name, Vendor)] = std::move(Bytes);
}
void VariableStore::RemoveVariable(std::string_view Name) { RemoveVariable(Name, kGlobalVariableGuid); }
void VariableStore::RemoveVariable(std::string_view Name, const EFI_GUID& Vendor) {
  State_.Variables.erase(KeyOf(Name, Vendor));
}
std::optional<std::vector<uint8_t>> VariableStore::Variable(std::string_view Name) const {
  auto it = State_.Variables.find(KeyOf(Name, kGlobalVariableGuid));
  if (it == State_.Variables.end()) return std::nullopt;
  return it->second;
}

}  // namespace sim
