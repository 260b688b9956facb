// What the fuzz targets share: fuzz bytes turned into firmware answers (service statuses, a
// script of injected failures), a simulated-firmware failure made fatal so that libFuzzer keeps
// the input, and the checks every driver path must pass (pool balance, bounded work, halting
// caught and reported).
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/uefi.h"
#include "tests/sim/firmware.h"

namespace fuzz {

// Every failure the simulated firmware or platform reports with gtest (a read outside the
// configuration window, a write past a pool block, a service nobody provides, a wait that does
// not end) aborts the process from then on. Every target calls it once, from the
// LLVMFuzzerInitialize that this library defines.
void AbortOnSimulatedFailure();

// Prints the message and aborts: an oracle of a fuzz target was violated. With FUZZ_EXPLAIN set
// in the environment it first prints the injected failures and the trace of the run, and so
// does a sanitizer's report.
[[noreturn]] void Violated(const std::string& Message);

#define FUZZ_CHECK(Condition, Message)                                             \
  do {                                                                             \
    if (!(Condition)) ::fuzz::Violated(std::string(#Condition " -- ") + (Message)); \
  } while (0)

// True except once in N draws. Exhausted input answers true, so that short inputs describe the
// usual case and the fuzzer grows them towards the unusual ones.
inline bool Mostly(FuzzedDataProvider& In, int N) { return In.ConsumeIntegralInRange<int>(0, N - 1) != N - 1; }

// A status a firmware service may answer with: success, a warning (not an error, so callers take
// it as success) or one of the errors firmware commonly returns.
EFI_STATUS ConsumeStatus(FuzzedDataProvider& In);
// An error status only.
EFI_STATUS ConsumeError(FuzzedDataProvider& In);

// Failures injected into named services: the Nth call of a service answers Status without doing
// its work (an allocation then hands back nothing). The same script tells a model of the driver
// what each call answered.
class FailureScript {
 public:
  struct Entry {
    std::string Service;
    uint64_t Nth;
    EFI_STATUS Status;
  };

  // Up to MaxEntries entries, each naming one of Services and one of its first MaxNth calls;
  // the statuses are errors only, or also success and warnings.
  FailureScript(FuzzedDataProvider& In, const std::vector<std::string>& Services,
                size_t MaxEntries = 4, uint64_t MaxNth = 8, bool ErrorsOnly = false);

  void Apply(sim::Firmware& Fw) const;
  // The status the Nth call of Service answers when the script fails it (the first entry that
  // names the call wins, as in the firmware), or nullopt.
  std::optional<EFI_STATUS> Injected(std::string_view Service, uint64_t Nth) const;
  // How many calls of Service the script failed, given how many were made.
  uint64_t FailedCalls(std::string_view Service, uint64_t Made) const;
  const std::vector<Entry>& Entries() const { return Entries_; }

 private:
  std::vector<Entry> Entries_;
};

// Calls counted per service, in the order a model of the driver expects them.
class CallCounter {
 public:
  uint64_t Next(std::string_view Service);

 private:
  std::vector<std::pair<std::string, uint64_t>> Counts_;
};

// Pool requests above Limit bytes fail with EFI_OUT_OF_RESOURCES, as a real pool of that size
// would answer, instead of reaching the simulation's host allocator. The wrapper stays in the
// system table of Fw (every driver reaches the pool through that table).
void LimitPool(sim::Firmware& Fw, size_t Limit);

// Runs Path and tells whether it ended in the driver's halt loop.
bool Halts(const std::function<void()>& Path);

// Pool blocks the code under test left behind beyond Before, less those whose release the
// script failed on purpose.
void CheckPoolBalance(const sim::Firmware& Fw, size_t Before, uint64_t FreesFailedOnPurpose);

}  // namespace fuzz
