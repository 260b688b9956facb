// Shared pieces of the fuzz targets: the fatal gtest listener, status and failure scripts, the
// pool limit, halting and pool-balance checks.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "tests/fuzz/fuzz_support.h"

#include <gtest/gtest.h>
#include <sanitizer/common_interface_defs.h>

#include <cstdio>
#include <cstdlib>

namespace fuzz {
namespace {

class AbortOnFailure : public ::testing::EmptyTestEventListener {
  void OnTestPartResult(const ::testing::TestPartResult& Result) override {
    if (!Result.failed()) return;
    std::fprintf(stderr, "%s:%d: simulated firmware reported: %s\n",
                 Result.file_name() ? Result.file_name() : "?", Result.line_number(),
                 Result.message());
    std::abort();
  }
};

constexpr EFI_STATUS kErrors[] = {
    EFI_NOT_FOUND,        EFI_UNSUPPORTED,       EFI_DEVICE_ERROR, EFI_OUT_OF_RESOURCES,
    EFI_INVALID_PARAMETER, EFI_BUFFER_TOO_SMALL, EFI_ACCESS_DENIED, EFI_TIMEOUT,
};
// Warnings are not errors: a caller that tests EFI_ERROR takes them as success.
constexpr EFI_STATUS kWarnings[] = {EFI_WARN_UNKNOWN_GLYPH, EFI_WARN_BUFFER_TOO_SMALL};

size_t gPoolLimit = 0;
const FailureScript* gAppliedScript = nullptr;

const char* KindName(sim::TraceKind Kind) {
  switch (Kind) {
    case sim::TraceKind::Service: return "service";
    case sim::TraceKind::Console: return "console";
    case sim::TraceKind::PortRead: return "port read";
    case sim::TraceKind::PortWrite: return "port write";
    case sim::TraceKind::WindowRead: return "window read";
    case sim::TraceKind::WindowWrite: return "window write";
    case sim::TraceKind::ConfigRead: return "config read";
    case sim::TraceKind::ConfigWrite: return "config write";
    case sim::TraceKind::IoRead: return "io read";
    case sim::TraceKind::IoWrite: return "io write";
  }
  return "?";
}

// With FUZZ_EXPLAIN set in the environment, a violated oracle also prints the injected
// failures and everything the code under test did, to read a reproducer by.
void Explain() {
  if (std::getenv("FUZZ_EXPLAIN") == nullptr) return;
  if (gAppliedScript != nullptr)
    for (const auto& entry : gAppliedScript->Entries())
      std::fprintf(stderr, "injected: call %llu of %s fails with 0x%llx\n",
                   (unsigned long long)entry.Nth, entry.Service.c_str(),
                   (unsigned long long)entry.Status);
  for (const auto& e : sim::GlobalTrace().Entries()) {
    if (e.Kind == sim::TraceKind::PortRead && e.Value == 0xFFFFFF) continue;
    std::fprintf(stderr, "  %-12s %-24s addr 0x%llx width %u value 0x%llx status 0x%llx\n",
                 KindName(e.Kind), e.Name.c_str(), (unsigned long long)e.Address, e.Width,
                 (unsigned long long)e.Value, (unsigned long long)e.Status);
  }
}
EFI_ALLOCATE_POOL gFirmwareAllocatePool = nullptr;

// An oversized request is still counted, traced and open to injection like any other call.
EFI_STATUS EFIAPI LimitedAllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID** Buffer) {
  if (Size <= gPoolLimit) return gFirmwareAllocatePool(Type, Size, Buffer);
  sim::Firmware& fw = sim::Firmware::Current();
  std::optional<EFI_STATUS> injected = fw.EnterService("AllocatePool");
  return fw.TraceService("AllocatePool", injected.value_or(EFI_OUT_OF_RESOURCES), Size);
}

}  // namespace

void AbortOnSimulatedFailure() {
  ::testing::UnitTest::GetInstance()->listeners().Append(new AbortOnFailure);
}

void Violated(const std::string& Message) {
  Explain();
  std::fprintf(stderr, "fuzz oracle violated: %s\n", Message.c_str());
  std::abort();
}

EFI_STATUS ConsumeError(FuzzedDataProvider& In) {
  return kErrors[In.ConsumeIntegralInRange<size_t>(0, std::size(kErrors) - 1)];
}

EFI_STATUS ConsumeStatus(FuzzedDataProvider& In) {
  switch (In.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return EFI_SUCCESS;
    case 1:
      return kWarnings[In.ConsumeIntegralInRange<size_t>(0, std::size(kWarnings) - 1)];
    default:
      return ConsumeError(In);
  }
}

FailureScript::FailureScript(FuzzedDataProvider& In, const std::vector<std::string>& Services,
                             size_t MaxEntries, uint64_t MaxNth, bool ErrorsOnly) {
  size_t count = In.ConsumeIntegralInRange<size_t>(0, MaxEntries);
  for (size_t i = 0; i < count; ++i) {
    Entry entry;
    entry.Service = Services[In.ConsumeIntegralInRange<size_t>(0, Services.size() - 1)];
    entry.Nth = In.ConsumeIntegralInRange<uint64_t>(1, MaxNth);
    entry.Status = ErrorsOnly ? ConsumeError(In) : ConsumeStatus(In);
    Entries_.push_back(entry);
  }
}

void FailureScript::Apply(sim::Firmware& Fw) const {
  gAppliedScript = this;
  // When a reproducer is being read, a sanitizer's report is explained too (in place of
  // libFuzzer's own last words, which only matter while fuzzing).
  if (std::getenv("FUZZ_EXPLAIN") != nullptr) __sanitizer_set_death_callback(Explain);
  for (const auto& entry : Entries_) Fw.FailNthCall(entry.Service, entry.Nth, entry.Status);
}

std::optional<EFI_STATUS> FailureScript::Injected(std::string_view Service, uint64_t Nth) const {
  for (const auto& entry : Entries_)
    if (entry.Service == Service && entry.Nth == Nth) return entry.Status;
  return std::nullopt;
}

uint64_t FailureScript::FailedCalls(std::string_view Service, uint64_t Made) const {
  uint64_t failed = 0;
  for (uint64_t nth = 1; nth <= Made; ++nth) failed += Injected(Service, nth).has_value();
  return failed;
}

uint64_t CallCounter::Next(std::string_view Service) {
  for (auto& [name, count] : Counts_)
    if (name == Service) return ++count;
  Counts_.emplace_back(std::string(Service), 1);
  return 1;
}

void LimitPool(sim::Firmware& Fw, size_t Limit) {
  EFI_BOOT_SERVICES* boot = Fw.BootServices();
  if (boot->AllocatePool != LimitedAllocatePool) gFirmwareAllocatePool = boot->AllocatePool;
  gPoolLimit = Limit;
  boot->AllocatePool = LimitedAllocatePool;
}

bool Halts(const std::function<void()>& Path) {
  try {
    Path();
  } catch (const sim::HaltReached&) {
    return true;
  }
  return false;
}

void CheckPoolBalance(const sim::Firmware& Fw, size_t Before, uint64_t FreesFailedOnPurpose) {
  size_t live = Fw.LiveAllocations();
  FUZZ_CHECK(live == Before + FreesFailedOnPurpose,
             "pool blocks left behind: " + std::to_string(live) + " live, expected " +
                 std::to_string(Before + FreesFailedOnPurpose) + "\n" + Fw.DescribeLiveBlocks());
}

}  // namespace fuzz

// Every target: a failure the simulated firmware reports ends the run with the input kept.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::AbortOnSimulatedFailure();
  return 0;
}
