// The LAN driver's binding over fuzzed controllers and firmware: up to three PCI functions with
// fuzzed identifiers, revision, I/O BAR and register file, fuzzed bridge bus numbers and
// cache-line size, an optional setup record and station address, and failing services, driven
// through a fuzzed sequence of Supported, Start, Stop and the firmware core's connect and
// disconnect. What each call did is checked against what the firmware answered it, as the
// trace shows: a controller is claimed only by a Start that succeeds and let go by Stop, the
// support test accepts only identifiers it read, the record changes only in the LAN fields,
// the chipset only in cache-line sizes, and nothing stays in the pool. (Failures are errors:
// this driver takes a service that reports success as having answered.)
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>

#include "lan_controller_setup/lan_binding.h"
#include "lan_controller_setup/lan_start.h"
#include "support/setup_record.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/sim/controller_connection.h"
#include "tests/sim/pci_io.h"
#include "tests/sim/platform_protocols.h"

namespace {

constexpr size_t kMaxControllers = 3;
constexpr size_t kMaxOperations = 8;
constexpr uint64_t kMaxNth = 16;
constexpr uint64_t kServiceCallBound = 300;
constexpr uint16_t kRealtek = 0x10EC;
constexpr uint16_t kGigabit = 0x8168;
constexpr uint16_t kFastEthernet = 0x8136;
constexpr uint8_t kPciCacheLineSize = 0x0C;

enum class Operation { Supported, Start, Stop, Connect, Disconnect };

void LayController(FuzzedDataProvider& In, sim::Firmware& Fw, sim::PciIoDevice& Device) {
  sim::PciLocation where = Device.Location();
  sim::ConfigSpace& config = Fw.Config();
  uint16_t device_id = fuzz::Mostly(In, 2) ? kGigabit : fuzz::Mostly(In, 2) ? kFastEthernet : In.ConsumeIntegral<uint16_t>();
  uint16_t vendor_id = fuzz::Mostly(In, 8) ? kRealtek : In.ConsumeIntegral<uint16_t>();
  config.Set32(where, 0x00, uint32_t(device_id) << 16 | vendor_id);
  config.Set8(where, 0x08, In.ConsumeIntegral<uint8_t>());
  uint32_t bar = fuzz::Mostly(In, 4) ? 0xE001u + (uint32_t(In.ConsumeIntegralInRange<int>(0, 15)) << 8)
                                     : In.ConsumeIntegral<uint32_t>();
  config.Set32(where, 0x10, bar);
  auto registers = In.ConsumeBytes<uint8_t>(In.ConsumeIntegralInRange<size_t>(0, sim::PciIoDevice::kIoRegisterBytes));
  for (size_t i = 0; i < registers.size(); ++i) Device.SetRegister8(uint16_t(i), registers[i]);
}

// The bridges of bus 0 whose bus numbers the cache-line size follows, the source of that size
// and root port 2's subsystem IDs.
void LayChipset(FuzzedDataProvider& In, sim::ConfigSpace& Config) {
  Config.Set8({0, 0x1B, 0}, kPciCacheLineSize, In.ConsumeIntegral<uint8_t>());
  std::vector<sim::PciLocation> bridges = {{0, 1, 0}};
  for (uint8_t function = 0; function < 6; ++function) bridges.push_back({0, 0x1C, function});
  for (auto bridge : bridges) {
    if (!fuzz::Mostly(In, 4)) continue;  // absent: reads all ones
    Config.Set8(bridge, 0x19, fuzz::Mostly(In, 4) ? In.ConsumeIntegralInRange<uint8_t>(1, 8) : In.ConsumeIntegral<uint8_t>());
    Config.Set8(bridge, 0x1A, fuzz::Mostly(In, 4) ? In.ConsumeIntegralInRange<uint8_t>(1, 8) : In.ConsumeIntegral<uint8_t>());
  }
  Config.Set32({0, 0x1C, 1}, 0x94, In.ConsumeIntegral<uint32_t>());
}

// What one call did, read from the trace entries it added.
struct Slice {
  std::vector<sim::TraceEntry> Entries;
  std::optional<EFI_STATUS> First(const char* Service) const {
    for (const auto& e : Entries)
      if (e.Kind == sim::TraceKind::Service && e.Name == Service) return e.Status;
    return std::nullopt;
  }
  size_t Count(sim::TraceKind Kind, const char* Name) const {
    size_t n = 0;
    for (const auto& e : Entries) n += e.Kind == Kind && e.Name == Name;
    return n;
  }
  std::vector<sim::TraceEntry> Of(sim::TraceKind Kind, const char* Name) const {
    std::vector<sim::TraceEntry> out;
    for (const auto& e : Entries)
      if (e.Kind == Kind && e.Name == Name) out.push_back(e);
    return out;
  }
  // A close the script failed on purpose (even with a success status) left the claim in place.
  bool CloseFailed = false;
  // An open the script answered without an error handed back no interface: the driver closes
  // again, which gives up a claim an earlier Start left.
  bool OpenAnsweredNothing = false;
};

// The support test accepts a controller only for identifiers it read successfully.
void CheckSupported(EFI_STATUS Result, const Slice& S) {
  std::optional<EFI_STATUS> open = S.First("OpenProtocol");
  FUZZ_CHECK(open.has_value(), "the support test did not open the controller");
  auto reads = S.Of(sim::TraceKind::ConfigRead, sim::kPciIoTraceName);
  if (EFI_ERROR(*open)) {
    FUZZ_CHECK(Result == *open, "the support test's result is not the failing open's status");
    FUZZ_CHECK(reads.empty() && !S.First("CloseProtocol"), "a controller that was not opened was read or closed");
    return;
  }
  FUZZ_CHECK(S.Count(sim::TraceKind::Service, "CloseProtocol") == 1, "the support test must close what it opened, once");
  for (const auto& read : reads)
    if (EFI_ERROR(read.Status)) {
      FUZZ_CHECK(Result == read.Status, "the support test's result is not the failing read's status");
      return;
    }
  FUZZ_CHECK(Result == EFI_SUCCESS || Result == EFI_UNSUPPORTED, "support test result");
  if (Result != EFI_SUCCESS) return;
  FUZZ_CHECK(reads.size() == 3, "a controller was accepted without its three identifier reads");
  FUZZ_CHECK(reads[0].Status == EFI_SUCCESS && reads[1].Status == EFI_SUCCESS,
             "accepted on an identifier read that answered nothing");
  uint16_t vendor = uint16_t(reads[0].Value), device = uint16_t(reads[1].Value);
  FUZZ_CHECK(vendor == kRealtek && (device == kGigabit || device == kFastEthernet),
             "a controller other than the two Realtek ones was accepted");
  // The revision counts for the 10/100 controller only.
  if (device == kFastEthernet)
    FUZZ_CHECK(reads[2].Status == EFI_SUCCESS && uint8_t(reads[2].Value) >= 2,
               "a 10/100 controller was accepted without a revision of 2 or later read");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  FuzzedDataProvider in(Data, Size);
  fuzz::FailureScript script(in,
                             {"OpenProtocol", "CloseProtocol", "LocateProtocol", "PciIo.Pci.Read",
                              "PciIo.Attributes", "PciIo.Io.Read", "PciIo.Io.Write",
                              "RootBridge.Pci.Read", "RootBridge.Pci.Write"},
                             4, kMaxNth, /*ErrorsOnly=*/false);

  sim::Firmware fw;
  std::optional<sim::SetupDataFixture> setup;
  if (fuzz::Mostly(in, 16)) {
    setup.emplace(fw, in.ConsumeIntegral<uint8_t>());
    setup->Record[interface_constants::kLanPhyOption] = in.ConsumeIntegralInRange<uint8_t>(0, 2);
  }
  sim::StationAddressBlock block{};
  for (auto& byte : block) byte = in.ConsumeIntegral<uint8_t>();
  std::optional<sim::StationAddressFixture> station;
  if (fuzz::Mostly(in, 16)) station.emplace(fw, block);
  LayChipset(in, fw.Config());

  std::vector<std::unique_ptr<sim::PciIoDevice>> controllers;
  size_t count = in.ConsumeIntegralInRange<size_t>(1, kMaxControllers);
  for (size_t i = 0; i < count; ++i) {
    sim::PciLocation where{uint8_t(0x10 + i), 0, 0};
    controllers.push_back(std::make_unique<sim::PciIoDevice>(fw, where));
    LayController(in, fw, *controllers.back());
  }
  FUZZ_CHECK(LanControllerSetupEntry(fw.ImageHandle(), fw.SystemTable()) == EFI_SUCCESS, "entry");
  EFI_DRIVER_BINDING_PROTOCOL* binding = &LanDriverBinding;
  EFI_HANDLE agent = binding->DriverBindingHandle;

  size_t pool_before = fw.LiveAllocations();
  uint64_t closes_base = fw.CallCount("CloseProtocol");
  uint64_t opens_base = fw.CallCount("OpenProtocol");
  script.Apply(fw);
  size_t operations = in.ConsumeIntegralInRange<size_t>(1, kMaxOperations);
  for (size_t op = 0; op < operations; ++op) {
    auto what = static_cast<Operation>(in.ConsumeIntegralInRange<int>(0, 4));
    // A controller, or now and then a handle without PCI I/O (the image's own).
    EFI_HANDLE handle = fw.ImageHandle();
    sim::PciIoDevice* device = nullptr;
    if (fuzz::Mostly(in, 8)) {
      device = controllers[in.ConsumeIntegralInRange<size_t>(0, controllers.size() - 1)].get();
      handle = device->Handle();
    }
    bool claimed_before = device && fw.IsOpenByDriver(handle, sim::kPciIoGuid, agent);
    std::vector<uint8_t> record_before = setup ? setup->Record : std::vector<uint8_t>();
    size_t trace_before = sim::GlobalTrace().Entries().size();
    uint64_t calls_before = fw.ServiceCallCount();
    uint64_t closes_before = fw.CallCount("CloseProtocol") - closes_base;
    uint64_t opens_before = fw.CallCount("OpenProtocol") - opens_base;

    EFI_STATUS result = EFI_SUCCESS;
    switch (what) {
      case Operation::Supported:
        result = binding->Supported(binding, handle, nullptr);
        break;
      case Operation::Start:
        result = binding->Start(binding, handle, nullptr);
        break;
      case Operation::Stop:
        result = binding->Stop(binding, handle, 0, nullptr);
        break;
      case Operation::Connect:
        sim::CoreConnectController(fw, handle);
        break;
      case Operation::Disconnect:
        sim::CoreDisconnectController(fw, handle);
        break;
    }

    Slice slice;
    const auto& entries = sim::GlobalTrace().Entries();
    slice.Entries.assign(entries.begin() + trace_before, entries.end());
    for (uint64_t nth = closes_before + 1; nth <= fw.CallCount("CloseProtocol") - closes_base; ++nth)
      slice.CloseFailed |= script.Injected("CloseProtocol", nth).has_value();
    for (uint64_t nth = opens_before + 1; nth <= fw.CallCount("OpenProtocol") - opens_base; ++nth) {
      std::optional<EFI_STATUS> injected = script.Injected("OpenProtocol", nth);
      slice.OpenAnsweredNothing |= injected && !EFI_ERROR(*injected);
    }
    bool claimed = device && fw.IsOpenByDriver(handle, sim::kPciIoGuid, agent);
    uint64_t calls = fw.ServiceCallCount() - calls_before;
    // A Start makes about sixty; a connection through the core adds its own few.
    FUZZ_CHECK(calls <= kServiceCallBound, std::to_string(calls) + " service calls in one operation");

    if (what == Operation::Supported) {
      CheckSupported(result, slice);
      FUZZ_CHECK(claimed == claimed_before || (slice.CloseFailed && claimed) ||
                     (slice.OpenAnsweredNothing && !claimed),
                 "the support test changed the claim on the controller");
    } else if (what == Operation::Start) {
      if (EFI_ERROR(result)) {
        FUZZ_CHECK(claimed == claimed_before || (slice.CloseFailed && claimed) ||
                       (slice.OpenAnsweredNothing && !claimed),
                   "a Start that failed left the controller claimed");
        FUZZ_CHECK(slice.Count(sim::TraceKind::IoWrite, sim::kPciIoTraceName) == 0,
                   "a Start that failed programmed the controller");
        FUZZ_CHECK(!setup || setup->Record == record_before, "a Start that failed changed the record");
      } else {
        FUZZ_CHECK(setup && station, "a Start without a record or a station address succeeded");
        std::optional<EFI_STATUS> attributes = slice.First("PciIo.Attributes");
        FUZZ_CHECK(attributes && !EFI_ERROR(*attributes), "a Start succeeded without enabling decoding");
        uint64_t low = 0, high = 0;
        for (int i = 3; i >= 0; --i) {
          low = low << 8 | block[i];
          high = high << 8 | block[4 + i];
        }
        FUZZ_CHECK(setup->Dword(interface_constants::kLanStationAddressLow) == low &&
                       setup->Dword(interface_constants::kLanStationAddressHigh) == high,
                   "the record's station address");
        // The 10/100 flag follows the identifier read, all ones when the read answered nothing.
        auto reads = slice.Of(sim::TraceKind::ConfigRead, sim::kPciIoTraceName);
        FUZZ_CHECK(!reads.empty(), "a Start that succeeded read nothing of the controller");
        bool fast = reads[0].Status == EFI_SUCCESS && reads[0].Value == (uint32_t(kFastEthernet) << 16 | kRealtek);
        FUZZ_CHECK(setup->Record[interface_constants::kLanIsFastEthernet] == (fast ? 1 : 0),
                   "LanIsFastEthernet");
      }
      if (setup) {
        for (size_t at = 0; at < setup->Record.size(); ++at) {
          namespace ic = interface_constants;
          bool lan_field = at == ic::kLanIsFastEthernet ||
                           (at >= ic::kLanStationAddressLow && at < ic::kLanStationAddressHigh + 4);
          FUZZ_CHECK(lan_field || setup->Record[at] == record_before[at], "Start wrote outside the LAN fields");
        }
      }
    } else if (what == Operation::Stop) {
      FUZZ_CHECK(result == EFI_SUCCESS, "Stop failed");
      FUZZ_CHECK(!claimed || slice.CloseFailed, "Stop left the controller claimed");
    }
    for (const auto& write : slice.Of(sim::TraceKind::ConfigWrite, "rootbridge"))
      FUZZ_CHECK((write.Address & 0xFF) == kPciCacheLineSize && write.Width == 1,
                 "a chipset configuration write other than a cache-line size");
    fuzz::CheckPoolBalance(fw, pool_before, 0);
  }
  return 0;
}
