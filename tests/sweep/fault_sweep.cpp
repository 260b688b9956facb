// The sweep itself: clean run, then one run per service call with that call failing.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "tests/sweep/fault_sweep.h"

#include <cstdio>

namespace sweep {
namespace {

// The name failure injection uses for a traced call.
std::string ServiceName(const sim::TraceEntry& E) {
  using sim::TraceKind;
  if (E.Kind == TraceKind::Service || E.Kind == TraceKind::Console) return E.Name;
  std::string owner = E.Name == "pciio" ? "PciIo" : E.Name == "rootbridge" ? "RootBridge" : E.Name;
  switch (E.Kind) {
    case TraceKind::ConfigRead: return owner + ".Pci.Read";
    case TraceKind::ConfigWrite: return owner + ".Pci.Write";
    case TraceKind::IoRead: return owner + ".Io.Read";
    case TraceKind::IoWrite: return owner + ".Io.Write";
    default: return owner;
  }
}

// The first call of the run that answered the injected status: the one that was failed.
std::string FailedService() {
  for (const auto& entry : sim::GlobalTrace().Entries())
    if (entry.Status == kInjected) return ServiceName(entry);
  return {};
}

Outcome Run(const Path& P, Scene& S) {
  Outcome outcome;
  try {
    outcome = P.Act(S);
  } catch (const sim::HaltReached&) {
    outcome.Halted = true;
  }
  return outcome;
}

}  // namespace

size_t TracedCalls(const char* Service, EFI_STATUS Status) {
  size_t count = 0;
  for (const auto& entry : sim::GlobalTrace().Entries())
    count += ServiceName(entry) == Service && entry.Status == Status;
  return count;
}

uint64_t SweepDriver(const char* Driver, const std::vector<Path>& Paths) {
  uint64_t total = 0;
  for (const Path& path : Paths) {
    SCOPED_TRACE(path.Name);
    uint64_t calls;
    {
      std::unique_ptr<Scene> scene = path.Arrange();
      uint64_t base = scene->Fw.ServiceCallCount();
      size_t pool = scene->Fw.LiveAllocations();
      sim::GlobalTrace().Clear();
      Outcome clean = Run(path, *scene);
      calls = scene->Fw.ServiceCallCount() - base;
      path.Expect(*scene, clean, Fault{});
      EXPECT_EQ(scene->Fw.LiveAllocations(), pool) << scene->Fw.DescribeLiveBlocks();
    }
    EXPECT_GT(calls, 0u) << "a path that makes no firmware call has nothing to sweep";
    for (uint64_t k = 1; k <= calls; ++k) {
      std::unique_ptr<Scene> scene = path.Arrange();
      uint64_t base = scene->Fw.ServiceCallCount();
      size_t pool = scene->Fw.LiveAllocations();
      sim::GlobalTrace().Clear();
      scene->Fw.FailGlobalCall(base + k, kInjected);
      Outcome outcome = Run(path, *scene);
      Fault fault{k, FailedService()};
      SCOPED_TRACE("call " + std::to_string(k) + " of " + std::to_string(calls) + " failed: " +
                   fault.Service);
      EXPECT_FALSE(fault.Service.empty()) << "the call to fail was never made";
      scene->Fw.ClearFailures();
      path.Expect(*scene, outcome, fault);
      // A block whose release was the failed call stays; nothing else may.
      EXPECT_EQ(scene->Fw.LiveAllocations(), pool + (fault.Is("FreePool") ? 1 : 0))
          << scene->Fw.DescribeLiveBlocks();
    }
    std::printf("[ sweep    ] %s: %s: %llu service calls, %llu faults injected\n", Driver,
                path.Name.c_str(), (unsigned long long)calls, (unsigned long long)calls);
    total += calls;
  }
  std::printf("[ sweep    ] %s: %zu paths, %llu faults injected in all\n", Driver, Paths.size(),
              (unsigned long long)total);
  return total;
}

}  // namespace sweep
