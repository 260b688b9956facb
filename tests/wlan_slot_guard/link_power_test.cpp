// Capability walks and ASPM programming through the simulated configuration window: lists that
// end, loop or read all ones, Link Control bits kept, and no access beyond the port's bus.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "wlan_slot_guard/link_power.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/driver_context.h"
#include "tests/sim/firmware.h"
#include "tests/sim/platform.h"
#include "tests/support/driver_state.h"

namespace {

using sim::PciLocation;
using Bytes = std::vector<std::pair<uint16_t, uint8_t>>;  // register, value

constexpr PciLocation kRootPort{0, 0x1C, 0};
constexpr uint8_t kPcieCapability = 0x10;

struct WindowAccess {
  bool Write;
  PciLocation Where;
  uint16_t Register;
  uint8_t Value;
};

class LinkPowerTest : public ::testing::Test {
 protected:
  LinkPowerTest() {
#ifdef LINK_POWER_TEST_WINDOW_BASE
    // The image as tools/patch_pcd.py patches it for another board.
    _gPcd_BinaryPatch_PcdPciExpressWindowBase = LINK_POWER_TEST_WINDOW_BASE;
    _gPcd_BinaryPatch_PcdPciExpressWindowSize = LINK_POWER_TEST_WINDOW_SIZE;
    platform.WindowBase = LINK_POWER_TEST_WINDOW_BASE;
#endif
    platform.WindowSize = EcamWindowSize();
  }
  ~LinkPowerTest() override {
    _gPcd_BinaryPatch_PcdPciExpressWindowBase = kBuiltBase;
    _gPcd_BinaryPatch_PcdPciExpressWindowSize = kBuiltSize;
  }

  const uint64_t kBuiltBase = _gPcd_BinaryPatch_PcdPciExpressWindowBase;
  const uint64_t kBuiltSize = _gPcd_BinaryPatch_PcdPciExpressWindowSize;

  // No firmware here: the DEBUG lines must not look for a router in an earlier test's tables.
  void SetUp() override {
    sim::GlobalTrace().Clear();
    gDriverContext = {};
  }

  void Lay(PciLocation Where, const Bytes& Values) {
    cs.AddFunction(Where);
    for (auto [reg, value] : Values) cs.Set8(Where, reg, value);
  }

  // A bridge (header type 1) with a power-management capability at 0x60 ahead of PCI Express at
  // 0x40 (Link Control's low byte at 0x50), and the given secondary bus.
  void LayRootPort(PciLocation Where, uint8_t Secondary, uint8_t LinkControl) {
    Lay(Where, {{0x0E, 0x01}, {0x19, Secondary}, {0x34, 0x60}, {0x60, 0x01}, {0x61, 0x40},
                {0x40, 0x10}, {0x41, 0x00}, {0x50, LinkControl}});
  }

  // Device 0 on a bus: a PCI Express capability at 0x80 behind an MSI capability at 0xA0.
  void LayEndpoint(uint8_t Bus, uint8_t LinkControl) {
    Lay({Bus, 0, 0}, {{0x34, 0xA0}, {0xA0, 0x05}, {0xA1, 0x80}, {0x80, 0x10}, {0x81, 0x00},
                      {0x90, LinkControl}});
  }

  std::vector<WindowAccess> Accesses() const {
    std::vector<WindowAccess> out;
    for (const auto& e : sim::GlobalTrace().Entries()) {
      if (e.Kind != sim::TraceKind::WindowRead && e.Kind != sim::TraceKind::WindowWrite) continue;
      uint64_t offset = e.Address - platform.WindowBase;
      out.push_back({e.Kind == sim::TraceKind::WindowWrite,
                     {uint8_t(offset >> 20), uint8_t((offset >> 15) & 0x1F),
                      uint8_t((offset >> 12) & 7)},
                     uint16_t(offset & 0xFFF),
                     uint8_t(e.Value)});
    }
    return out;
  }

  size_t WritesTo(PciLocation Where) const {
    size_t n = 0;
    for (const auto& a : Accesses()) n += a.Write && a.Where == Where;
    return n;
  }

  size_t AccessesOnBus(uint8_t Bus) const {
    size_t n = 0;
    for (const auto& a : Accesses()) n += a.Where.Bus == Bus;
    return n;
  }

  std::vector<uint8_t> Snapshot(PciLocation Where) {
    uint8_t* b = cs.Bytes(Where);
    return b ? std::vector<uint8_t>(b, b + sim::ConfigSpace::kFunctionSize)
             : std::vector<uint8_t>();
  }

  sim::Firmware fw;
  sim::Platform platform{fw};
  sim::ConfigSpace& cs = fw.Config();
};

// ---- Capability walk -------------------------------------------------------------------------

struct WalkCase {
  const char* Name;
  Bytes Layout;
  uint8_t Id;
  uint8_t Expected;
};

std::ostream& operator<<(std::ostream& Out, const WalkCase& C) { return Out << C.Name; }

class CapabilityWalkTest : public LinkPowerTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(CapabilityWalkTest, FindsTheFirstEntryWithTheId) {
  const WalkCase& c = GetParam();
  Lay({3, 2, 1}, c.Layout);
  EXPECT_EQ(PcieFindCapability(3, 2, 1, c.Id), c.Expected);
  for (const auto& a : Accesses()) {
    EXPECT_FALSE(a.Write);
    EXPECT_EQ(a.Where, (PciLocation{3, 2, 1}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, CapabilityWalkTest,
    ::testing::Values(
        WalkCase{"First", {{0x34, 0x40}, {0x40, 0x10}, {0x41, 0x00}}, 0x10, 0x40},
        WalkCase{"Third",
                 {{0x34, 0x50}, {0x50, 0x01}, {0x51, 0x60}, {0x60, 0x05}, {0x61, 0x40},
                  {0x40, 0x10}, {0x41, 0x00}},
                 0x10, 0x40},
        WalkCase{"FirstOfTwo",
                 {{0x34, 0x50}, {0x50, 0x10}, {0x51, 0x60}, {0x60, 0x10}, {0x61, 0x00}},
                 0x10, 0x50},
        WalkCase{"Missing", {{0x34, 0x50}, {0x50, 0x01}, {0x51, 0x60}, {0x60, 0x05}}, 0x10, 0},
        WalkCase{"NoList", {{0x34, 0x00}, {0x00, 0x10}}, 0x10, 0},
        // A zero next pointer ends the list; offset 0 is not an entry to go on from.
        WalkCase{"EndsAtZeroNext",
                 {{0x34, 0x50}, {0x50, 0x01}, {0x51, 0x00}, {0x00, 0x05}, {0x01, 0x60},
                  {0x60, 0x10}},
                 0x10, 0},
        // Pointers are followed as read: 0x43 is not rounded down to 0x40.
        WalkCase{"UnalignedPointer", {{0x34, 0x43}, {0x40, 0x05}, {0x43, 0x10}}, 0x10, 0x43},
        WalkCase{"Extended", {{0x34, 0xF8}, {0xF8, 0x09}, {0xF9, 0xFC}, {0xFC, 0x10}}, 0x10,
                 0xFC}),
    [](const auto& Info) { return std::string(Info.param.Name); });

struct EndlessCase {
  const char* Name;
  Bytes Layout;
};

std::ostream& operator<<(std::ostream& Out, const EndlessCase& C) { return Out << C.Name; }

class EndlessWalkTest : public LinkPowerTest, public ::testing::WithParamInterface<EndlessCase> {};

TEST_P(EndlessWalkTest, StopsAfterSixtyFourEntries) {
  const EndlessCase& c = GetParam();
  if (c.Layout.empty()) {
    cs.RemoveFunction({3, 2, 1});  // nothing answers: every byte reads 0xFF
  } else {
    Lay({3, 2, 1}, c.Layout);
  }
  EXPECT_EQ(PcieFindCapability(3, 2, 1, kPcieCapability), 0);
  // The capabilities pointer, then an ID and a next pointer per entry (none after the last).
  EXPECT_EQ(Accesses().size(), 1u + 64 + 63);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, EndlessWalkTest,
    ::testing::Values(EndlessCase{"SelfLoop", {{0x34, 0x40}, {0x40, 0x01}, {0x41, 0x40}}},
                      EndlessCase{"TwoEntryLoop",
                                  {{0x34, 0x40}, {0x40, 0x01}, {0x41, 0x50}, {0x50, 0x05},
                                   {0x51, 0x40}}},
                      EndlessCase{"AbsentFunction", {}}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// ---- ASPM programming ------------------------------------------------------------------------

struct AspmCase {
  uint8_t PortBefore, DeviceBefore, PortAspm, DeviceAspm, PortAfter, DeviceAfter;
};

std::ostream& operator<<(std::ostream& Out, const AspmCase& C) {
  return Out << "port " << int(C.PortBefore) << "/" << int(C.PortAspm) << ", device "
             << int(C.DeviceBefore) << "/" << int(C.DeviceAspm);
}

class SetLinkAspmTest : public LinkPowerTest, public ::testing::WithParamInterface<AspmCase> {};

TEST_P(SetLinkAspmTest, ChangesBitsOneAndZeroOfBothLinksAndNothingElse) {
  const AspmCase& c = GetParam();
  LayRootPort(kRootPort, 2, c.PortBefore);
  LayEndpoint(2, c.DeviceBefore);
  auto port = Snapshot(kRootPort);
  auto device = Snapshot({2, 0, 0});
  port[0x50] = c.PortAfter;
  device[0x90] = c.DeviceAfter;

  SetLinkAspm(0, 0x1C, 0, c.PortAspm, c.DeviceAspm);

  EXPECT_EQ(Snapshot(kRootPort), port);
  EXPECT_EQ(Snapshot({2, 0, 0}), device);
  EXPECT_EQ(WritesTo(kRootPort), 1u);
  EXPECT_EQ(WritesTo({2, 0, 0}), 1u);
}

INSTANTIATE_TEST_SUITE_P(Values, SetLinkAspmTest,
                         ::testing::Values(AspmCase{0xFF, 0xFF, 0, 0, 0xFC, 0xFC},
                                           AspmCase{0x40, 0x00, 3, 2, 0x43, 0x02},
                                           AspmCase{0x41, 0x42, 2, 3, 0x42, 0x43},
                                           AspmCase{0x03, 0xA3, 0, 2, 0x00, 0xA2}));

TEST_F(LinkPowerTest, TheRootPortIsWrittenBeforeItsSecondaryBusIsRead) {
  LayRootPort({0, 1, 0}, 1, 0x00);
  LayEndpoint(1, 0x00);

  SetLinkAspm(0, 1, 0, 3, 3);

  auto accesses = Accesses();
  size_t portWrite = 0, secondaryRead = 0, deviceWrite = 0;
  for (size_t i = 0; i < accesses.size(); ++i) {
    const auto& a = accesses[i];
    if (a.Write && a.Where == PciLocation{0, 1, 0}) portWrite = i + 1;
    if (!a.Write && a.Where == PciLocation{0, 1, 0} && a.Register == 0x19) secondaryRead = i + 1;
    if (a.Write && a.Where == PciLocation{1, 0, 0}) deviceWrite = i + 1;
  }
  EXPECT_NE(portWrite, 0u);
  EXPECT_LT(portWrite, secondaryRead);
  EXPECT_LT(secondaryRead, deviceWrite);
  EXPECT_EQ(cs.Get8({0, 1, 0}, 0x50), 0x03);
  EXPECT_EQ(cs.Get8({1, 0, 0}, 0x90), 0x03);
}

TEST_F(LinkPowerTest, WritesLandAtTheWindowAddressOfEachFunction) {
  LayRootPort({0, 0x1C, 4}, 5, 0x00);
  LayEndpoint(5, 0x00);

  SetLinkAspm(0, 0x1C, 4, 2, 2);

  std::vector<uint64_t> writes;
  for (const auto& e : sim::GlobalTrace().Of(sim::TraceKind::WindowWrite))
    writes.push_back(e.Address);
  EXPECT_EQ(writes, (std::vector<uint64_t>{platform.WindowBase + 0x000E4050,
                                           platform.WindowBase + 0x00500090}));
}

TEST_F(LinkPowerTest, ARootPortWithoutCapabilitiesIsLeftAloneButItsDeviceIsProgrammed) {
  Lay(kRootPort, {{0x0E, 0x01}, {0x19, 2}, {0x34, 0x00}, {0x50, 0x40}});
  LayEndpoint(2, 0x40);

  SetLinkAspm(0, 0x1C, 0, 3, 2);

  EXPECT_EQ(WritesTo(kRootPort), 0u);
  EXPECT_EQ(cs.Get8(kRootPort, 0x50), 0x40);
  EXPECT_EQ(cs.Get8({2, 0, 0}, 0x90), 0x42);
}

TEST_F(LinkPowerTest, ADeviceWithoutAPciExpressCapabilityIsLeftAlone) {
  LayRootPort(kRootPort, 2, 0x00);
  Lay({2, 0, 0}, {{0x34, 0xA0}, {0xA0, 0x05}, {0xA1, 0x00}, {0x90, 0x40}});
  auto device = Snapshot({2, 0, 0});

  SetLinkAspm(0, 0x1C, 0, 3, 3);

  EXPECT_EQ(cs.Get8(kRootPort, 0x50), 0x03);
  EXPECT_EQ(Snapshot({2, 0, 0}), device);
}

TEST_F(LinkPowerTest, AnEmptySlotIsWalkedButNeverWritten) {
  LayRootPort(kRootPort, 2, 0x00);

  SetLinkAspm(0, 0x1C, 0, 3, 3);

  EXPECT_EQ(cs.Get8(kRootPort, 0x50), 0x03);
  for (const auto& a : Accesses())
    if (a.Where.Bus == 2) EXPECT_FALSE(a.Write);
  EXPECT_LE(AccessesOnBus(2), 1u + 64 + 63);
}

// A port whose byte 0x19 names no bus behind it: all ones, an endpoint's or another non-bridge
// header's byte (on q35, 00:01.0 is an endpoint and the byte is part of its BAR2), or a bus at
// or below the port's own. The port is programmed; nothing behind it is read or written.
struct BehindCase {
  const char* Name;
  PciLocation Port;
  uint8_t HeaderType, Secondary;
  bool Followed;
};

class BusBehindTest : public LinkPowerTest, public ::testing::WithParamInterface<BehindCase> {};

TEST_P(BusBehindTest, IsFollowedOnlyForABridgeWithABusAboveItsOwn) {
  const BehindCase& c = GetParam();
  LayRootPort(c.Port, c.Secondary, 0x00);
  cs.Set8(c.Port, 0x0E, c.HeaderType);
  // Should the bus lie inside this board's window, a device there must still not be touched.
  if (uint64_t(c.Secondary) << 20 < EcamWindowSize()) LayEndpoint(c.Secondary, 0x00);

  SetLinkAspm(c.Port.Bus, c.Port.Device, c.Port.Function, 3, 2);

  EXPECT_EQ(cs.Get8(c.Port, 0x50), 0x03);
  if (c.Followed) {
    EXPECT_EQ(cs.Get8({c.Secondary, 0, 0}, 0x90), 0x02);
  } else {
    for (const auto& a : Accesses()) EXPECT_EQ(a.Where, c.Port);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ports, BusBehindTest,
    ::testing::Values(BehindCase{"SecondaryAllOnes", kRootPort, 0x01, 0xFF, false},
                      BehindCase{"Endpoint", {0, 1, 0}, 0x00, 0x02, false},
                      BehindCase{"CardBusBridge", kRootPort, 0x02, 0x02, false},
                      BehindCase{"SecondaryIsBusZero", kRootPort, 0x01, 0x00, false},
                      BehindCase{"SecondaryBelowTheOwnBus", {3, 2, 0}, 0x01, 0x02, false},
                      BehindCase{"MultiFunctionBridge", kRootPort, 0x81, 0x02, true}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(LinkPowerTest, AnAbsentRootPortGetsNoWritesAndNothingBehindItIsTouched) {
  SetLinkAspm(0, 1, 0, 3, 3);

  auto accesses = Accesses();
  EXPECT_FALSE(accesses.empty());
  for (const auto& a : accesses) {
    EXPECT_FALSE(a.Write);
    EXPECT_EQ(a.Where, (PciLocation{0, 1, 0}));
  }
}

TEST_F(LinkPowerTest, LocationsOutsideTheWindowAreNeverTouched) {
  // Bus, device and function are 16-bit values; these all lead past the window's end.
  SetLinkAspm(0x100, 0, 0, 3, 3);
  SetLinkAspm(0, 0x2000, 0, 3, 3);
  SetLinkAspm(0, 0xFFFF, 0xFFFF, 3, 3);
  EXPECT_EQ(PcieFindCapability(0xFFFF, 0xFFFF, 0xFFFF, 0xFF), 0);
  EXPECT_TRUE(Accesses().empty());
}

TEST_F(LinkPowerTest, ASecondaryBusBeyondTheWindowIsNotFollowed) {
  if (EcamWindowSize() >= (256ull << 20)) GTEST_SKIP() << "every bus has a place in this window";
  auto beyond = uint8_t(EcamWindowSize() >> 20);
  LayRootPort(kRootPort, beyond, 0x00);

  SetLinkAspm(0, 0x1C, 0, 2, 2);

  EXPECT_EQ(cs.Get8(kRootPort, 0x50), 0x02);
  for (const auto& a : Accesses()) EXPECT_EQ(a.Where, kRootPort);
}

// ---- The window as patched ----------------------------------------------------------------------

// A patched base and size, and the secondary bus of the root port at 00:1C.0: the device behind
// it is programmed only when its bus lies inside the window the size covers, and nothing past
// 256 buses or past 4 GiB is touched whatever the size says. A base that cannot be a window
// (below 1 MiB, or off a 1 MiB bus boundary) reaches nothing, the root port included.
struct WindowCase {
  const char* Name;
  uint64_t Base;
  uint64_t Size;
  uint8_t Secondary;
  bool Reached;
  bool PortReached = true;
};

std::ostream& operator<<(std::ostream& Out, const WindowCase& C) { return Out << C.Name; }

class PatchedWindowTest : public LinkPowerTest, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(PatchedWindowTest, ReachesExactlyTheBusesTheSizeCovers) {
  const WindowCase& c = GetParam();
  _gPcd_BinaryPatch_PcdPciExpressWindowBase = c.Base;
  _gPcd_BinaryPatch_PcdPciExpressWindowSize = c.Size;
  platform.WindowBase = c.Base;
  platform.WindowSize = c.Size;
  LayRootPort(kRootPort, c.Secondary, 0x00);
  LayEndpoint(c.Secondary, 0x00);

  SetLinkAspm(0, 0x1C, 0, 2, 3);

  EXPECT_EQ(cs.Get8(kRootPort, 0x50), c.PortReached ? 0x02 : 0x00);
  EXPECT_EQ(cs.Get8({c.Secondary, 0, 0}, 0x90), c.Reached ? 0x03 : 0x00);
  if (!c.Reached) EXPECT_EQ(AccessesOnBus(c.Secondary), 0u);
  if (!c.PortReached) EXPECT_TRUE(Accesses().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Window, PatchedWindowTest,
    ::testing::Values(WindowCase{"OneBusKeepsOffBus1", 0xF8000000, 1ull << 20, 1, false},
                      WindowCase{"SizePastFourGiBEndsThere", 0xF8000000, 0x10000000, 128, false},
                      WindowCase{"Q35ReachesBus254", 0xB0000000, 0x10000000, 254, true},
                      WindowCase{"SizeOverTwoHundredFiftySixBuses", 0x80000000, 0x20000000, 254,
                                 true},
                      WindowCase{"BaseZeroIsNoWindow", 0, 0x10000000, 1, false, false},
                      WindowCase{"BaseOffABusBoundaryIsNoWindow", 0xB0080000, 0x10000000, 1, false, false}),
    [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
