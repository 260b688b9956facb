// The wireless-LAN guard's ready-to-boot notify (slot probe, radio state, allow-list, link power,
// halt screen) over a fuzzed platform: the configuration bytes of the host bridge, the slot's
// root port, the card, the graphics port and the device behind it, the GPIO base and level, the
// option bytes in CMOS, the embedded controller's radio register, the PM timer's readings, the
// setup record, and failing services on the way. The boot must stop exactly when a card
// identified by its class and chip ID is not one of the seven listed cards (a subsystem ID that
// was not read counts as all ones, which no row holds); no access may leave the configuration
// window and no wait may run on.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <fuzzer/FuzzedDataProvider.h>

#include <tuple>

#include "tests/fuzz/fuzz_support.h"
#include "tests/sim/platform.h"
#include "tests/sim/platform_protocols.h"
#include "tests/wlan_slot_guard/slot_layout.h"
#include "wlan_slot_guard/link_power.h"
#include "wlan_slot_guard/wlan_policy.h"

namespace {

// The seven cards the slot may hold: chip ID, subsystem ID.
constexpr std::pair<uint32_t, uint32_t> kListedCards[] = {
    {0x431514E4, 0x0E517E1D}, {0x431514E4, 0x0E527E1D}, {0x435314E4, 0x0E537E1D},
    {0x435314E4, 0x0E547E1D}, {0x431514E4, 0x0E557E1D}, {0x002A168C, 0x0E567E1D},
    {0x002A168C, 0x0E577E1D},
};
constexpr uint16_t kNetworkClasses[] = {0x0280, 0x0200};

using wlantest::kGraphicsPort;
using wlantest::kHostBridge;
using wlantest::kSlotRootPort;

constexpr uint16_t kBusNumbers = 0x18;
constexpr uint16_t kGpioBaseRegister = 0x48;
constexpr uint16_t kEcRadioRegister = 0x42FA;
constexpr size_t kLaidBytes = 0x110;
// Port and window accesses of one notify: two settle waits (3 us and 16 us) of at most the
// readings that show a stopped timer each, up to four capability walks of at most 129 window
// reads each, and some dozens more (option bytes, embedded controller, beep, Link Control).
constexpr uint64_t kAccessBound = 2 * (4096 + 64) + 4 * 129 + 1000;
constexpr uint64_t kMaxNth = 40;
constexpr uint64_t kServiceCallBound = 400;

void LayRaw(FuzzedDataProvider& In, sim::ConfigSpace& Config, sim::PciLocation Where) {
  uint8_t* bytes = Config.AddFunction(Where);
  auto laid = In.ConsumeBytes<uint8_t>(In.ConsumeIntegralInRange<size_t>(0, kLaidBytes));
  std::copy(laid.begin(), laid.end(), bytes);
}

// The slot's secondary bus and, mostly, a card on it: a network class or another, a listed
// card (now and then with another row's subsystem, or one bit off) or any IDs.
void LayCard(FuzzedDataProvider& In, sim::ConfigSpace& Config) {
  uint8_t bus = fuzz::Mostly(In, 4) ? 2 : In.ConsumeIntegral<uint8_t>();
  Config.Set8(kSlotRootPort, kBusNumbers + 1, bus);
  if (!fuzz::Mostly(In, 8)) return;
  uint16_t cls = fuzz::Mostly(In, 4)
                     ? kNetworkClasses[In.ConsumeIntegralInRange<size_t>(0, 1)]
                     : In.ConsumeIntegral<uint16_t>();
  uint32_t class_dword = uint32_t(cls) << 16 | In.ConsumeIntegral<uint16_t>();
  uint32_t id, subsystem;
  if (fuzz::Mostly(In, 4)) {
    size_t last = std::size(kListedCards) - 1;
    std::tie(id, subsystem) = kListedCards[In.ConsumeIntegralInRange<size_t>(0, last)];
    if (!fuzz::Mostly(In, 4))
      subsystem = kListedCards[In.ConsumeIntegralInRange<size_t>(0, last)].second ^
                  (In.ConsumeBool() ? 1u << In.ConsumeIntegralInRange<int>(0, 31) : 0u);
  } else {
    id = In.ConsumeIntegral<uint32_t>();
    subsystem = In.ConsumeIntegral<uint32_t>();
  }
  sim::PciLocation where{bus, 0, 0};
  LayRaw(In, Config, where);
  Config.Set32(where, 0x00, id);
  Config.Set32(where, 0x08, class_dword);
  Config.Set32(where, 0x2C, subsystem);
}

// What the probe reads of the card: the configuration dword as the card answers it, all ones
// for a function that is not there.
uint32_t CardDword(sim::Firmware& Fw, uint8_t Bus, uint16_t Register) {
  return Fw.Config().Read({Bus, 0, 0}, Register, 4);
}

bool Listed(uint32_t Id, uint32_t Subsystem) {
  for (auto [chip, sub] : kListedCards)
    if (chip == Id && sub == Subsystem) return true;
  return false;
}

// The guard's rule on what the firmware answered: the boot stops when the root bridge was found,
// the class read is a network one, the chip ID read is not all ones, and the pair of chip ID and
// subsystem ID is not listed. A read the script answered (even with success) wrote nothing and
// leaves all ones; a failed second bus-number read leaves the subsystem ID all ones unread.
bool ExpectedHalt(sim::Firmware& Fw, bool RootBridge, const fuzz::FailureScript& Script) {
  fuzz::CallCounter calls;
  auto failed = [&](const char* Service) { return Script.Injected(Service, calls.Next(Service)).has_value(); };
  failed("LocateProtocol");  // the setup record: it decides nothing about the card
  if (failed("LocateProtocol") || !RootBridge) return false;
  failed("Pci.Read");  // host bridge revision
  uint8_t slot_bus = uint8_t(Fw.Config().Read(kSlotRootPort, kBusNumbers, 4) >> 8);
  uint8_t bus = failed("Pci.Read") ? 0xFF : slot_bus;
  uint16_t cls = failed("Pci.Read") ? 0xFFFF : uint16_t(CardDword(Fw, bus, 0x08) >> 16);
  uint32_t id = failed("Pci.Read") ? 0xFFFFFFFF : CardDword(Fw, bus, 0x00);
  if (id == 0xFFFFFFFF || (cls != kNetworkClasses[0] && cls != kNetworkClasses[1])) return false;
  std::optional<EFI_STATUS> again = Script.Injected("Pci.Read", calls.Next("Pci.Read"));
  if (again && EFI_ERROR(*again)) return true;
  if (failed("Pci.Read")) return true;  // subsystem
  return !Listed(id, CardDword(Fw, again ? uint8_t(0xFF) : slot_bus, 0x2C));
}

void ConsumeTimer(FuzzedDataProvider& In, sim::Platform& Platform) {
  Platform.PmTimerCount = In.ConsumeIntegralInRange<uint32_t>(0, 0xFFFFFF);
  switch (In.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      Platform.PmTimerStuck = true;
      break;
    case 1:
      Platform.PmTimerStep = In.ConsumeIntegral<uint32_t>() & 0xFFFFFF;
      break;
    default:
      Platform.PmTimerStep = In.ConsumeIntegralInRange<uint32_t>(0, 4);
      break;
  }
  Platform.PmTimerHighBits = fuzz::Mostly(In, 2) ? 0 : In.ConsumeIntegral<uint32_t>();
  size_t scripted = In.ConsumeIntegralInRange<size_t>(0, 8);
  for (size_t i = 0; i < scripted; ++i) Platform.PmTimerScript.push_back(In.ConsumeIntegral<uint32_t>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  FuzzedDataProvider in(Data, Size);
  fuzz::FailureScript script(in,
                             {"LocateProtocol", "Pci.Read", "Pci.Write", "RootBridge.Io.Read",
                              "RootBridge.Io.Write", sim::kCpuIoReadService, sim::kCpuIoWriteService,
                              "Stall", "AllocatePool", "FreePool", "GetString", "OutputString",
                              "SetAttribute", "SetCursorPosition", "EnableCursor", "ReadKeyStroke"},
                             4, kMaxNth, /*ErrorsOnly=*/false);
  bool root_bridge = fuzz::Mostly(in, 16);
  bool record = fuzz::Mostly(in, 16);
  sim::PlatformOptions board;
  board.InstallCpuIo = fuzz::Mostly(in, 16);
  board.AcpiBase = fuzz::Mostly(in, 8) ? uint16_t(0x400) : in.ConsumeIntegral<uint16_t>();

  sim::Firmware fw(sim::FirmwareOptions{.InstallHii = true, .InstallRootBridge = root_bridge});
  sim::Platform platform(fw, board);
  platform.WindowSize = EcamWindowSize();
  std::optional<sim::SetupDataFixture> setup;
  if (record) {
    setup.emplace(fw, in.ConsumeIntegral<uint8_t>());
    setup->Record[interface_constants::kPegAspmOption] = in.ConsumeIntegralInRange<uint8_t>(0, 3);
  }

  sim::ConfigSpace& config = fw.Config();
  config.Set8(kHostBridge, 0x08, in.ConsumeIntegral<uint8_t>());
  LayRaw(in, config, kSlotRootPort);
  LayCard(in, config);
  LayRaw(in, config, kGraphicsPort);
  if (fuzz::Mostly(in, 2)) LayRaw(in, config, {config.Get8(kGraphicsPort, 0x19), 0, 0});
  uint16_t gpio_base = fuzz::Mostly(in, 2) ? 0x500 : in.ConsumeIntegral<uint16_t>();
  config.Set16(sim::kLpcBridge, kGpioBaseRegister, gpio_base | 1);
  platform.DefineRegister(uint16_t((gpio_base & 0xFFFE) + 0x0C), 4, in.ConsumeIntegral<uint32_t>());
  for (uint8_t index = 0x48; index <= 0x4D; ++index) platform.OptionCmos[index] = in.ConsumeIntegral<uint8_t>();
  if (fuzz::Mostly(in, 2)) {
    platform.OptionCmos[0x4C] = 0x5A;
    platform.OptionCmos[0x4D] = 0xA5;
  }
  platform.EcRegisters[kEcRadioRegister] = in.ConsumeIntegral<uint8_t>();
  ConsumeTimer(in, platform);
  platform.AccessLimit = kAccessBound;

  FUZZ_CHECK(WlanSlotGuardEntry(fw.ImageHandle(), fw.SystemTable()) == EFI_SUCCESS, "entry");
  bool expected = ExpectedHalt(fw, root_bridge, script);

  size_t pool_before = fw.LiveAllocations();
  uint64_t frees_before = fw.CallCount("FreePool");
  uint64_t calls_before = fw.ServiceCallCount();
  script.Apply(fw);
  sim::GlobalTrace().Clear();
  bool halted = fuzz::Halts([&] { fw.SignalGroup(sim::kReadyToBootGroupGuid); });

  FUZZ_CHECK(halted == expected, expected ? "an unlisted card whose IDs were read did not stop the boot"
                                          : "the boot was stopped although no unlisted card was read");
  uint64_t calls = fw.ServiceCallCount() - calls_before;
  // A clean halting run makes about eighty (every CPU I/O access locates the protocol anew).
  FUZZ_CHECK(calls <= kServiceCallBound, std::to_string(calls) + " service calls in one notify");
  fuzz::CheckPoolBalance(fw, pool_before, script.FailedCalls("FreePool", fw.CallCount("FreePool") - frees_before));
  return 0;
}
