// The simulated firmware's service accounting and fault injection: every simulated service
// counts its call here and fails when a rule says so.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/uefi.h"

namespace sim {

struct FailRule {
  std::string Name;
  uint64_t Nth = 0;  // 0: every matching call
  EFI_STATUS Status = EFI_SUCCESS;
  uint64_t Seen = 0;
};

struct FaultState {
  std::vector<FailRule> Rules;
  uint64_t GlobalFailAt = 0;
  EFI_STATUS GlobalFailStatus = EFI_SUCCESS;
  uint64_t Calls = 0;
  std::map<std::string, uint64_t, std::less<>> CallsByName;
};

class FaultInjection {
 public:
  // Name is a service ("LocateProtocol", "AllocatePool", "GetString", "OutputString",
  // "UsbGetDeviceDescriptor") or a protocol member; "Pci.Read" also matches any qualified
  // name ending in ".Pci.Read" ("RootBridge.Pci.Read"). Nth counts matching calls from the
  // moment the rule is set, from 1.
  void FailNthCall(std::string Name, uint64_t Nth, EFI_STATUS Status);
  void FailEveryCall(std::string Name, EFI_STATUS Status);
  // Fails the K-th service call of this firmware (counted from 1), whatever it is.
  void FailGlobalCall(uint64_t K, EFI_STATUS Status);
  void ClearFailures();
  uint64_t ServiceCallCount() const;
  uint64_t CallCount(std::string_view Name) const;  // exact name

  // For every simulated service, including those of other sim files: counts the call and
  // returns the injected status when this call must fail.
  std::optional<EFI_STATUS> EnterService(std::string_view Name);
  // Appends a Service entry and returns Status.
  EFI_STATUS TraceService(std::string_view Name, EFI_STATUS Status, uint64_t Value = 0,
                          uint64_t Address = 0, std::u16string Text = {});

 protected:
  explicit FaultInjection(FaultState& State) : State_(State) {}

 private:
  FaultState& State_;
};

}  // namespace sim
