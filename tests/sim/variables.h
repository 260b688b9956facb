// The simulated firmware's variable store (GetVariable and SetVariable of the runtime
// services): names as ASCII on the fixture side, the vendor defaulting to the EFI global
// variable GUID.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/uefi.h"

namespace sim {

struct VariableKey {
  std::u16string Name;
  std::array<uint8_t, sizeof(EFI_GUID)> Vendor;
  auto operator<=>(const VariableKey&) const = default;
};

struct VariableState {
  std::map<VariableKey, std::vector<uint8_t>> Variables;
};

class VariableStore {
 public:
  void SetVariable(std::string_view Name, std::vector<uint8_t> Bytes);
  void SetVariable(std::string_view Name, const EFI_GUID& Vendor, std::vector<uint8_t> Bytes);
  void RemoveVariable(std::string_view Name);
  void RemoveVariable(std::string_view Name, const EFI_GUID& Vendor);
  std::optional<std::vector<uint8_t>> Variable(std::string_view Name) const;

 protected:
  explicit VariableStore(VariableState& State) : State_(State) {}

 private:
  VariableState& State_;
};

}  // namespace sim
