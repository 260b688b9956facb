// Every service call of the wireless-WAN guard failed in turn: the entry point still succeeds,
// and the ready-to-boot notify stops the boot exactly when an unlisted module's IDs were read,
// whatever failed on the way (a failed message line is left out, the halt follows all the same).
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "tests/sim/device_path.h"
#include "tests/support/driver_state.h"
#include "tests/sweep/fault_sweep.h"
#include "wwan_port_guard/wwan_guard.h"

namespace {

using sweep::Fault;
using sweep::Outcome;

constexpr uint8_t kUsbDevice = 0x1A;

struct WwanScene : sweep::Scene {
  // Modules: the product IDs of modules of the listed vendor, in handle order; the first sits on
  // another port of the controller, the last on the guarded port (function 7, the controller
  // being Intel's, so that the vendor read decides).
  explicit WwanScene(std::vector<uint16_t> Products = {}, bool Entered = true) {
    Fw.Config().Set16({0, kUsbDevice, 0}, 0x00, 0x8086);
    for (size_t i = 0; i < Products.size(); ++i) {
      bool last = i + 1 == Products.size();
      Fw.AddUsbDevice(sim::DevicePath().Acpi().Pci(last ? 7 : 0, kUsbDevice).Usb(last ? 1 : 3).End(),
                      0x7E2D, Products[i]);
    }
    if (Entered) EXPECT_EQ(WwanPortGuardEntry(Fw.ImageHandle(), Fw.SystemTable()), EFI_SUCCESS);
  }
};

bool Listed(uint32_t Id) {
  for (size_t i = 0; i < gWwanPortFilter.IdCount; ++i)
    if (gWwanPortFilter.Ids[i] == Id) return true;
  return false;
}

// The guard's rule on the run's trace: the boot stops exactly when a descriptor read succeeded
// and gave IDs that are not listed.
void ExpectHaltOnlyForAnUnlistedModuleRead(const Outcome& O) {
  bool unlisted_read = false;
  for (const auto& e : sim::GlobalTrace().Entries())
    if (e.Name == "UsbGetDeviceDescriptor" && e.Status == EFI_SUCCESS && !Listed(uint32_t(e.Value)))
      unlisted_read = true;
  EXPECT_EQ(O.Halted, unlisted_read);
}

sweep::Path Notify(const char* Name, std::vector<uint16_t> Products) {
  return sweep::MakePath<WwanScene>(
      Name, [Products] { return std::make_unique<WwanScene>(Products); },
      [](WwanScene& S) {
        S.Fw.SignalGroup(sim::kReadyToBootGroupGuid);
        return Outcome{};
      },
      [](WwanScene&, const Outcome& O, const Fault&) { ExpectHaltOnlyForAnUnlistedModuleRead(O); });
}

std::vector<sweep::Path> WwanPaths() {
  std::vector<sweep::Path> paths;
  paths.push_back(sweep::MakePath<WwanScene>(
      "entry point", [] { return std::make_unique<WwanScene>(std::vector<uint16_t>{}, false); },
      [](WwanScene& S) { return Outcome{false, WwanPortGuardEntry(S.Fw.ImageHandle(), S.Fw.SystemTable())}; },
      [](WwanScene& S, const Outcome& O, const Fault& F) {
        EXPECT_EQ(O.Status, EFI_SUCCESS);
        EXPECT_EQ(S.Fw.Events().size(), F.Is("CreateEventEx") ? 0u : 1u);
        bool registered = F.Clean() || F.Is("FreePool") || F.Is("CreateEventEx");
        EXPECT_EQ(S.Fw.HiiPackages().size(), registered ? 1u : 0u);
      }));
  paths.push_back(Notify("ready to boot, no USB module", {}));
  paths.push_back(Notify("ready to boot, listed module on the port", {0x0C74, 0x0C71}));
  paths.push_back(Notify("ready to boot, unlisted module on the port", {0x0C74, 0x0C99}));
  return paths;
}

TEST(FaultSweep, WwanPortGuard) { EXPECT_GT(sweep::SweepDriver("wwan_port_guard", WwanPaths()), 0u); }

}  // namespace
