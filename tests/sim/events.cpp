// Events, TPL and time (fixture side).
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <algorithm>

#include "tests/sim/firmware_internal.h"

namespace sim {

std::vector<EventRecord> EventQueue::Events() const {
  std::vector<EventRecord> out;
  for (const auto& event : State_.EventList) out.push_back(*event);
  return out;
}

void EventState::RunNotify(EventRecord& Event) {
  EFI_TPL saved = Tpl;
  if (Event.Tpl > Tpl) Tpl = Event.Tpl;
  ++Event.NotifyRuns;
  struct Restore {
    EFI_TPL& Tpl;
    EFI_TPL Saved;
    ~Restore() { Tpl = Saved; }
  } restore{Tpl, saved};
  Event.Notify(Event.Event, Event.Context);
}

size_t EventQueue::SignalGroup(const EFI_GUID& Group) {
  std::vector<EventRecord*> due;
  for (auto& event : State_.EventList)
    if (event->InGroup && !event->Closed && SameGuid(event->Group, Group) &&
        (event->Type & EVT_NOTIFY_SIGNAL) && event->Notify != nullptr)
      due.push_back(event.get());
  std::stable_sort(due.begin(), due.end(),
                   [](const EventRecord* a, const EventRecord* b) { return a->Tpl > b->Tpl; });
  for (EventRecord* event : due) State_.RunNotify(*event);
  return due.size();
}

EFI_TPL EventQueue::CurrentTpl() const { return State_.Tpl; }
uint64_t EventQueue::StalledMicroseconds() const { return State_.StallTotal; }
std::vector<uint64_t> EventQueue::Stalls() const { return State_.StallList; }

}  // namespace sim
