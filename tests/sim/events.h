// The simulated firmware's events, task priority and time: events as created (signal groups
// included), the current TPL, and every Stall.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "support/uefi.h"

namespace sim {

struct EventRecord {
  EFI_EVENT Event = nullptr;
  UINT32 Type = 0;
  EFI_TPL Tpl = 0;
  EFI_EVENT_NOTIFY Notify = nullptr;
  VOID* Context = nullptr;
  bool InGroup = false;
  EFI_GUID Group{};
  bool CreatedEx = false;  // through CreateEventEx
  bool Closed = false;
  uint32_t NotifyRuns = 0;
};

struct EventState {
  std::vector<std::unique_ptr<EventRecord>> EventList;
  EFI_TPL Tpl = TPL_APPLICATION;
  std::vector<uint64_t> StallList;
  uint64_t StallTotal = 0;

  // Runs the event's notify at its TPL.
  void RunNotify(EventRecord& Event);
};

class EventQueue {
 public:
  std::vector<EventRecord> Events() const;
  // Runs the notify of every open signal event in the group (higher TPL first, then creation
  // order); returns how many ran. A notify that halts throws HaltReached through here.
  size_t SignalGroup(const EFI_GUID& Group);
  EFI_TPL CurrentTpl() const;
  uint64_t StalledMicroseconds() const;
  std::vector<uint64_t> Stalls() const;

 protected:
  explicit EventQueue(EventState& State) : State_(State) {}

 private:
  EventState& State_;
};

}  // namespace sim
