// Failure injection and service accounting.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "tests/sim/firmware_internal.h"

namespace sim {

static bool RuleMatches(std::string_view Rule, std::string_view Name) {
  if (Rule == Name) return true;
  return Name.size() > Rule.size() && Name.ends_with(Rule) &&
         Name[Name.size() - Rule.size() - 1] == '.';
}

void FaultInjection::FailNthCall(std::string Name, uint64_t Nth, EFI_STATUS Status) {
  if (Nth == 0) ADD_FAILURE() << "FailNthCall counts from 1";
  State_.Rules.push_back(FailRule{std::move(Name), Nth, Status, 0});
}

void FaultInjection::FailEveryCall(std::string Name, EFI_STATUS Status) {
  State_.Rules.push_back(FailRule{std::move(Name), 0, Status, 0});
}

void FaultInjection::FailGlobalCall(uint64_t K, EFI_STATUS Status) {
  State_.GlobalFailAt = K;
  State_.GlobalFailStatus = Status;
}

void FaultInjection::ClearFailures() {
  State_.Rules.clear();
  State_.GlobalFailAt = 0;
}

uint64_t FaultInjection::ServiceCallCount() const { return State_.Calls; }

uint64_t FaultInjection::CallCount(std::string_view Name) const {
  auto it = State_.CallsByName.find(Name);
  return it == State_.CallsByName.end() ? 0 : it->second;
}

std::optional<EFI_STATUS> FaultInjection::EnterService(std::string_view Name) {
  FaultState& fw = State_;
  ++fw.Calls;
  auto it = fw.CallsByName.find(Name);
  if (it == fw.CallsByName.end()) it = fw.CallsByName.emplace(std::string(Name), 0).first;
  ++it->second;
  std::optional<EFI_STATUS> result;
  if (fw.GlobalFailAt != 0 && fw.Calls == fw.GlobalFailAt) result = fw.GlobalFailStatus;
  for (auto& rule : fw.Rules) {
    if (!RuleMatches(rule.Name, Name)) continue;
    ++rule.Seen;
    if (!result && (rule.Nth == 0 || rule.Seen == rule.Nth)) result = rule.Status;
  }
  return result;
}

EFI_STATUS FaultInjection::TraceService(std::string_view Name, EFI_STATUS Status, uint64_t Value,
                                  uint64_t Address, std::u16string Text) {
  return TraceCall(TraceKind::Service, Name, Status, Value, Address, std::move(Text));
}

}  // namespace sim
