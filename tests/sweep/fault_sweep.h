// Fault injection through the simulated firmware, call by call. Each driver path runs once
// without faults to count the firmware service calls it makes (N), then N more times on a
// fresh firmware, the k-th of those calls failing with kInjected (an allocation then hands back
// nothing). Every run must end (a halt loop hands control back, a runaway port loop fails the
// test), leave no pool behind (but for a block whose FreePool was the failed call), and end as
// the driver's failure rules say, which each path checks in its Expect.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/uefi.h"
#include "tests/sim/firmware.h"

namespace sweep {

constexpr EFI_STATUS kInjected = EFI_DEVICE_ERROR;

// Which call failed: 0 and an empty name in the clean run.
struct Fault {
  uint64_t K = 0;
  std::string Service;  // as failure injection names it: "AllocatePool", "RootBridge.Pci.Read", ...
  bool Is(const char* Name) const { return Service == Name; }
  bool Clean() const { return K == 0; }
};

struct Outcome {
  bool Halted = false;                // the path ended in its halt loop
  EFI_STATUS Status = EFI_SUCCESS;    // what the path returned, when it returned a status
};

// A fresh simulated firmware; each path's scene adds what it needs.
struct Scene {
  virtual ~Scene() = default;
  sim::Firmware Fw;
};

struct Path {
  std::string Name;
  std::function<std::unique_ptr<Scene>()> Arrange;  // its calls are not counted
  std::function<Outcome(Scene&)> Act;
  // Checks the outcome and releases what the path handed to its caller.
  std::function<void(Scene&, const Outcome&, const Fault&)> Expect;
};

template <typename SceneT>
Path MakePath(std::string Name, std::function<std::unique_ptr<SceneT>()> Arrange,
              std::function<Outcome(SceneT&)> Act,
              std::function<void(SceneT&, const Outcome&, const Fault&)> Expect) {
  return Path{std::move(Name), [Arrange] { return std::unique_ptr<Scene>(Arrange()); },
              [Act](Scene& S) { return Act(static_cast<SceneT&>(S)); },
              [Expect](Scene& S, const Outcome& O, const Fault& F) {
                Expect(static_cast<SceneT&>(S), O, F);
              }};
}

// Sweeps every path, prints the calls and faults of each and of the whole driver, and returns
// the number of faults injected.
uint64_t SweepDriver(const char* Driver, const std::vector<Path>& Paths);

// The trace entries of the run for Service (as injection names it) that answered Status.
size_t TracedCalls(const char* Service, EFI_STATUS Status);

}  // namespace sweep
