// The capability walk and ASPM programming over a fuzzed configuration window: the registers of
// the root port and of the device behind it are fuzz bytes, and so are the port's bus, device
// and function (16 bits each, as callers may pass them). No access may leave the window (the
// simulated platform fails the run), every walk ends within its bound, and the result is what
// the walk and the Link Control update give on those bytes: only bits 1:0 of each Link Control
// byte found change, and the device behind the port only when the port is a bridge whose
// secondary bus lies above its own.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <fuzzer/FuzzedDataProvider.h>

#include <map>

#include "tests/fuzz/fuzz_support.h"
#include "tests/sim/platform.h"
#include "wlan_slot_guard/link_power.h"

namespace {

// Registers a walk can reach: pointers up to 0xFF, their next byte, Link Control at +0x10.
constexpr size_t kLaidBytes = 0x110;
constexpr uint32_t kWalkEntries = 64;
constexpr uint8_t kPcieCapability = 0x10;
constexpr uint16_t kCapabilitiesPointer = 0x34;
constexpr uint16_t kSecondaryBus = 0x19;
constexpr uint16_t kHeaderType = 0x0E;
constexpr uint16_t kLinkControl = 0x10;
constexpr uint8_t kAspmValues[] = {0, 2, 3};

struct Location {
  uint16_t Bus, Device, Function;
};

// Where a register lies in the window, or nullopt when the address formula leads outside it.
std::optional<sim::PciLocation> InWindow(Location L) {
  uint64_t offset = (uint64_t(L.Bus) << 20) + (uint64_t(L.Device) << 15) + (uint64_t(L.Function) << 12);
  if (offset >= EcamWindowSize()) return std::nullopt;
  return sim::PciLocation{uint8_t(offset >> 20), uint8_t((offset >> 15) & 0x1F), uint8_t((offset >> 12) & 7)};
}

uint16_t ConsumeCoordinate(FuzzedDataProvider& In, uint16_t Usual) {
  return fuzz::Mostly(In, 8) ? In.ConsumeIntegralInRange<uint16_t>(0, Usual)
                                                   : In.ConsumeIntegral<uint16_t>();
}

// The configuration space as the model sees it: a copy of every function's bytes.
class Model {
 public:
  explicit Model(sim::ConfigSpace& Config, const std::vector<sim::PciLocation>& Functions) {
    for (auto where : Functions)
      if (const uint8_t* bytes = Config.Bytes(where))
        Bytes_[where].assign(bytes, bytes + sim::ConfigSpace::kFunctionSize);
  }

  uint8_t Read(Location L, uint16_t Register) const {
    auto where = InWindow(L);
    if (!where) return 0xFF;
    auto it = Bytes_.find(*where);
    return it == Bytes_.end() ? 0xFF : it->second[Register];
  }

  void Write(Location L, uint16_t Register, uint8_t Value) {
    auto where = InWindow(L);
    if (!where) return;
    auto it = Bytes_.find(*where);
    if (it != Bytes_.end()) it->second[Register] = Value;
  }

  // The list from the capabilities pointer, pointers used as read, at most 64 entries.
  uint8_t FindCapability(Location L, uint8_t Id) const {
    if (!InWindow(L)) return 0;
    uint8_t pointer = Read(L, kCapabilitiesPointer);
    for (uint32_t examined = 0; pointer != 0;) {
      if (Read(L, pointer) == Id) return pointer;
      if (++examined == kWalkEntries) return 0;
      pointer = Read(L, uint16_t(pointer + 1));
    }
    return 0;
  }

  void SetAspm(Location L, uint8_t Aspm) {
    uint8_t capability = FindCapability(L, kPcieCapability);
    if (capability == 0) return;
    uint16_t reg = uint16_t(capability + kLinkControl);
    Write(L, reg, uint8_t((Read(L, reg) & 0xFC) | Aspm));
  }

  void SetLinkAspm(Location Port, uint8_t PortAspm, uint8_t DeviceAspm) {
    SetAspm(Port, PortAspm);
    // Only a bridge's bus behind it, numbered above the port's own.
    uint8_t secondary = Read(Port, kSecondaryBus);
    bool bridge = (Read(Port, kHeaderType) & 0x7F) == 1;
    if (secondary != 0xFF && bridge && secondary > Port.Bus) SetAspm({secondary, 0, 0}, DeviceAspm);
  }

  const std::map<sim::PciLocation, std::vector<uint8_t>>& Functions() const { return Bytes_; }

 private:
  std::map<sim::PciLocation, std::vector<uint8_t>> Bytes_;
};

// Fuzz bytes for the registers a walk reaches, unless the function is to be absent.
void LayFunction(FuzzedDataProvider& In, sim::ConfigSpace& Config, std::optional<sim::PciLocation> Where) {
  if (!fuzz::Mostly(In, 8) || !Where) return;
  uint8_t* bytes = Config.AddFunction(*Where);
  auto laid = In.ConsumeBytes<uint8_t>(In.ConsumeIntegralInRange<size_t>(0, kLaidBytes));
  std::copy(laid.begin(), laid.end(), bytes);
}

size_t WindowAccesses() {
  size_t count = 0;
  for (const auto& entry : sim::GlobalTrace().Entries())
    count += entry.Kind == sim::TraceKind::WindowRead || entry.Kind == sim::TraceKind::WindowWrite;
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  FuzzedDataProvider in(Data, Size);
  sim::Firmware fw;
  sim::Platform platform(fw, sim::PlatformOptions{.InstallCpuIo = false, .AcpiBase = std::nullopt});
  platform.WindowSize = EcamWindowSize();

  Location port{ConsumeCoordinate(in, 3), ConsumeCoordinate(in, 31), ConsumeCoordinate(in, 7)};
  uint8_t id = fuzz::Mostly(in, 2) ? kPcieCapability : in.ConsumeIntegral<uint8_t>();
  uint8_t port_aspm = kAspmValues[in.ConsumeIntegralInRange<size_t>(0, 2)];
  uint8_t device_aspm = kAspmValues[in.ConsumeIntegralInRange<size_t>(0, 2)];
  std::optional<sim::PciLocation> port_where = InWindow(port);
  LayFunction(in, fw.Config(), port_where);
  // The device behind the port: on the bus its secondary-bus register names.
  std::optional<sim::PciLocation> device_where;
  if (port_where && fw.Config().Exists(*port_where))
    device_where = InWindow({fw.Config().Get8(*port_where, kSecondaryBus), 0, 0});
  LayFunction(in, fw.Config(), device_where);

  std::vector<sim::PciLocation> laid;
  for (auto where : {port_where, device_where})
    if (where) laid.push_back(*where);
  Model model(fw.Config(), laid);

  sim::GlobalTrace().Clear();
  uint8_t found = PcieFindCapability(port.Bus, port.Device, port.Function, id);
  FUZZ_CHECK(found == model.FindCapability(port, id), "capability offset");
  size_t walk = WindowAccesses();
  FUZZ_CHECK(walk <= 1 + 2 * kWalkEntries, std::to_string(walk) + " window accesses for one walk");

  sim::GlobalTrace().Clear();
  SetLinkAspm(port.Bus, port.Device, port.Function, port_aspm, device_aspm);
  model.SetLinkAspm(port, port_aspm, device_aspm);
  size_t accesses = WindowAccesses();
  FUZZ_CHECK(accesses <= 2 * (1 + 2 * kWalkEntries + 2) + 1,
             std::to_string(accesses) + " window accesses for one link");
  for (const auto& [where, bytes] : model.Functions()) {
    const uint8_t* now = fw.Config().Bytes(where);
    FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), now), "configuration bytes after SetLinkAspm");
  }
  return 0;
}
