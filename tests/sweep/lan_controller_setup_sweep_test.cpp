// Every service call of the LAN driver's binding failed in turn: the entry point reports the
// installation's failure; the support test returns the failing open's or read's status and
// leaves nothing open; Start gives back the claim when the open or the attributes fail (and,
// having found no record, station address or root bridge, touches nothing), and otherwise runs
// to its end; Stop always succeeds and gives the claim back.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "lan_controller_setup/lan_binding.h"
#include "support/setup_record.h"
#include "tests/sim/pci_io.h"
#include "tests/sim/platform_protocols.h"
#include "tests/support/driver_state.h"
#include "tests/sweep/fault_sweep.h"
#include "tests/sim/interface_guids.h"

namespace {

using sweep::Fault;
using sweep::Outcome;

constexpr sim::PciLocation kController{3, 0, 0};
constexpr std::array<uint8_t, 8> kStationBlock = {0x02, 0x1F, 0xC6, 0x3A, 0x9B, 0x71, 0xE4, 0xD8};
constexpr uint8_t kRecordFill = 0xA5;

enum class State { Loaded, Unloaded, Started };

struct LanScene : sweep::Scene {
  LanScene(uint32_t Id, uint8_t Revision, State Initially)
      : Setup(Fw, kRecordFill), Station(Fw, kStationBlock), Controller(Fw, kController) {
    sim::ConfigSpace& config = Fw.Config();
    config.Set32(kController, 0x00, Id);
    config.Set8(kController, 0x08, Revision);
    config.Set32(kController, 0x10, 0xE001);
    config.Set8({0, 0x1B, 0}, 0x0C, 0x10);
    config.Set8({0, 1, 0}, 0x19, 1);
    config.Set8({0, 1, 0}, 0x1A, 1);
    for (uint8_t function = 0; function < 6; ++function) {
      config.Set8({0, 0x1C, function}, 0x19, uint8_t(2 + function));
      config.Set8({0, 0x1C, function}, 0x1A, uint8_t(2 + function));
    }
    config.Set32({0, 0x1C, 1}, 0x94, 0x3A4B1734);
    Setup.Record[interface_constants::kLanPhyOption] = 1;
    if (Initially == State::Unloaded) return;
    EXPECT_EQ(LanControllerSetupEntry(Fw.ImageHandle(), Fw.SystemTable()), EFI_SUCCESS);
    if (Initially == State::Started) EXPECT_EQ(Binding()->Start(Binding(), Handle(), nullptr), EFI_SUCCESS);
  }
  static EFI_DRIVER_BINDING_PROTOCOL* Binding() { return &LanDriverBinding; }
  EFI_HANDLE Handle() const { return Controller.Handle(); }
  bool Claimed() const {
    return Fw.IsOpenByDriver(Handle(), sim::kPciIoGuid, LanDriverBinding.DriverBindingHandle);
  }
  sim::SetupDataFixture Setup;
  sim::StationAddressFixture Station;
  sim::PciIoDevice Controller;
};

constexpr uint32_t kGigabit = 0x816810EC;
constexpr uint32_t kFastEthernet = 0x813610EC;

std::function<std::unique_ptr<LanScene>()> Scene(uint32_t Id, uint8_t Revision, State Initially) {
  return [=] { return std::make_unique<LanScene>(Id, Revision, Initially); };
}

// The controller's configuration dword 0 came back from a read that succeeded.
bool IdentifierRead() {
  for (const auto& e : sim::GlobalTrace().Entries())
    if (e.Kind == sim::TraceKind::ConfigRead && e.Name == sim::kPciIoTraceName && e.Width == 4 &&
        (e.Address & 0xFF) == 0 && e.Status == EFI_SUCCESS)
      return true;
  return false;
}

Outcome Supported(LanScene& S) { return Outcome{false, S.Binding()->Supported(S.Binding(), S.Handle(), nullptr)}; }

// The support test's failing open or read is its result; a failed close changes neither the
// result nor anything the driver could have done (the claim then stays, by the firmware's fault).
sweep::Path SupportTest(const char* Name, uint32_t Id, uint8_t Revision, EFI_STATUS Verdict) {
  return sweep::MakePath<LanScene>(
      Name, Scene(Id, Revision, State::Loaded), Supported,
      [Verdict](LanScene& S, const Outcome& O, const Fault& F) {
        bool fails = F.Is("OpenProtocol") || F.Is("PciIo.Pci.Read");
        EXPECT_EQ(O.Status, fails ? sweep::kInjected : Verdict);
        EXPECT_EQ(S.Claimed(), F.Is("CloseProtocol"));
      });
}

std::vector<sweep::Path> LanPaths() {
  std::vector<sweep::Path> paths;
  paths.push_back(sweep::MakePath<LanScene>(
      "entry point", Scene(kGigabit, 2, State::Unloaded),
      [](LanScene& S) { return Outcome{false, LanControllerSetupEntry(S.Fw.ImageHandle(), S.Fw.SystemTable())}; },
      [](LanScene& S, const Outcome& O, const Fault& F) {
        EXPECT_EQ(O.Status, F.Clean() ? EFI_SUCCESS : sweep::kInjected);
        EXPECT_EQ(S.Fw.HandlesWith(interface_guids::kDriverBinding).size(), F.Clean() ? 1u : 0u);
      }));
  paths.push_back(SupportTest("Supported, 10EC:8168", kGigabit, 0, EFI_SUCCESS));
  paths.push_back(SupportTest("Supported, 10EC:8136 revision 1", kFastEthernet, 1, EFI_UNSUPPORTED));
  paths.push_back(SupportTest("Supported, another controller", 0x813910EC, 2, EFI_UNSUPPORTED));
  paths.push_back(sweep::MakePath<LanScene>(
      "Supported, a controller already started", Scene(kGigabit, 2, State::Started), Supported,
      [](LanScene& S, const Outcome& O, const Fault& F) {
        EXPECT_TRUE(EFI_ERROR(O.Status));
        if (F.Is("OpenProtocol")) EXPECT_EQ(O.Status, sweep::kInjected);
        EXPECT_TRUE(S.Claimed());
        EXPECT_EQ(sweep::TracedCalls("PciIo.Pci.Read", EFI_SUCCESS), 0u);
      }));
  paths.push_back(sweep::MakePath<LanScene>(
      "Start, 10EC:8136 revision 2 with the 10/100 option", Scene(kFastEthernet, 2, State::Loaded),
      [](LanScene& S) { return Outcome{false, S.Binding()->Start(S.Binding(), S.Handle(), nullptr)}; },
      [](LanScene& S, const Outcome& O, const Fault& F) {
        // Only a missing protocol, the open and the attributes stop the start; past them no
        // status is examined.
        bool stops = F.Is("LocateProtocol") || F.Is("OpenProtocol") || F.Is("PciIo.Attributes");
        EXPECT_EQ(O.Status, stops ? sweep::kInjected : EFI_SUCCESS);
        EXPECT_EQ(S.Claimed(), !stops);
        const auto* record = reinterpret_cast<const PlatformSetupRecord*>(S.Setup.Record.data());
        if (stops) {
          EXPECT_EQ(record->LanIsFastEthernet, kRecordFill);
          EXPECT_EQ(sweep::TracedCalls("PciIo.Io.Write", EFI_SUCCESS), 0u);
        } else {
          EXPECT_EQ(record->LanStationAddressLow, 0x3AC61F02u);
          EXPECT_EQ(record->LanStationAddressHigh, 0xD8E4719Bu);
          // The 10/100 flag follows the identifier read: not set when that read failed.
          EXPECT_EQ(record->LanIsFastEthernet, IdentifierRead() ? 1 : 0);
        }
      }));
  paths.push_back(sweep::MakePath<LanScene>(
      "Stop", Scene(kGigabit, 2, State::Started),
      [](LanScene& S) { return Outcome{false, S.Binding()->Stop(S.Binding(), S.Handle(), 0, nullptr)}; },
      [](LanScene& S, const Outcome& O, const Fault& F) {
        EXPECT_EQ(O.Status, EFI_SUCCESS);
        EXPECT_EQ(S.Claimed(), F.Is("CloseProtocol"));
      }));
  return paths;
}

TEST(FaultSweep, LanControllerSetup) {
  EXPECT_GT(sweep::SweepDriver("lan_controller_setup", LanPaths()), 0u);
}

}  // namespace
