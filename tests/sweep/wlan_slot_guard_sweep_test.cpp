// Every service call of the wireless-LAN guard failed in turn: the entry point still succeeds,
// and the ready-to-boot notify stops the boot exactly when the card's class and chip ID were read
// and the card is unlisted or its subsystem ID (read last) was not read; a failure anywhere else
// changes at most what the halt screen shows.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "support/driver_context.h"
#include "tests/sim/platform.h"
#include "tests/sweep/fault_sweep.h"
#include "tests/wlan_slot_guard/slot_layout.h"
#include "wlan_slot_guard/link_power.h"
#include "wlan_slot_guard/wlan_policy.h"

namespace {

using namespace wlantest;
using sweep::Fault;
using sweep::Outcome;

constexpr uint16_t kGpioBase = 0x500;
constexpr Card kListedCard{0x431514E4, 0x0280, 0x0E517E1D};
constexpr Card kUnlistedCard{0x431514E4, 0x0280, 0x0E587E1D};

struct WlanScene : sweep::Scene {
  explicit WlanScene(std::optional<Card> Slot, bool Entered = true) : Platform(Fw) {
    Platform.WindowSize = EcamWindowSize();
    sim::ConfigSpace& config = Fw.Config();
    config.Set8(kHostBridge, 0x08, 0x04);
    for (uint8_t function : {1, 5}) config.AddFunction({0, 0x1C, function});
    AddRootPort(config, kSlotRootPort, kSlotBus, 0x40);
    AddRootPort(config, kGraphicsPort, kGraphicsBus, 0x40);
    AddPcieFunction(config, {kGraphicsBus, 0, 0}, 0x40);
    if (Slot) AddCard(config, kSlotBus, *Slot, 0x40);
    config.Set16(kLpcBridge, 0x48, kGpioBase | 1);
    Platform.DefineRegister(kGpioBase + 0x0C, 4, 0);
    Platform.OptionCmos[0x4C] = 0x5A;
    Platform.OptionCmos[0x4D] = 0xA5;
    Record.Publish(Fw);
    if (Entered) EXPECT_EQ(WlanSlotGuardEntry(Fw.ImageHandle(), Fw.SystemTable()), EFI_SUCCESS);
  }
  sim::Platform Platform;
  sim::SetupDataFixture Record;
};

// The card's configuration dword at Register came back from a read that succeeded.
bool CardRead(uint8_t Register) {
  uint64_t address = PciRootBridgeAddress(kSlotBus, 0, 0, Register);
  for (const auto& e : sim::GlobalTrace().Entries())
    if (e.Kind == sim::TraceKind::ConfigRead && e.Address == address && e.Status == EFI_SUCCESS) return true;
  return false;
}

sweep::Path Notify(const char* Name, std::optional<Card> Slot, bool Unlisted) {
  return sweep::MakePath<WlanScene>(
      Name, [Slot] { return std::make_unique<WlanScene>(Slot); },
      [](WlanScene& S) {
        S.Fw.SignalGroup(sim::kReadyToBootGroupGuid);
        return Outcome{};
      },
      [Slot, Unlisted](WlanScene&, const Outcome& O, const Fault&) {
        EXPECT_EQ(O.Halted, Slot && CardRead(0x08) && CardRead(0x00) && (Unlisted || !CardRead(0x2C)));
      });
}

std::vector<sweep::Path> WlanPaths() {
  std::vector<sweep::Path> paths;
  paths.push_back(sweep::MakePath<WlanScene>(
      "entry point", [] { return std::make_unique<WlanScene>(std::nullopt, false); },
      [](WlanScene& S) { return Outcome{false, WlanSlotGuardEntry(S.Fw.ImageHandle(), S.Fw.SystemTable())}; },
      [](WlanScene& S, const Outcome& O, const Fault& F) {
        EXPECT_EQ(O.Status, EFI_SUCCESS);
        EXPECT_EQ(S.Fw.Events().size(), F.Is("CreateEventEx") ? 0u : 1u);
      }));
  paths.push_back(Notify("ready to boot, empty slot", std::nullopt, false));
  paths.push_back(Notify("ready to boot, listed card", kListedCard, false));
  paths.push_back(Notify("ready to boot, unlisted card", kUnlistedCard, true));
  return paths;
}

TEST(FaultSweep, WlanSlotGuard) { EXPECT_GT(sweep::SweepDriver("wlan_slot_guard", WlanPaths()), 0u); }

}  // namespace
