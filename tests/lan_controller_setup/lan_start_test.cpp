// The LAN controller's start-up programming against the simulated firmware and a controller
// model: the bridges' cache-line size, the claim, the register sequence under the configuration
// lock, the record fields, and every way the start can stop early.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "lan_controller_setup/lan_start.h"

#include <gtest/gtest.h>

#include "support/setup_record.h"
#include "tests/lan_controller_setup/lan_fixture.h"

namespace {

namespace ic = interface_constants;

using lan_test::Id;
using lan_test::kController;
using lan_test::kIoBase;
using lan_test::LanTest;
using sim::TraceKind;

constexpr uint64_t kDecoding =
    EFI_PCI_IO_ATTRIBUTE_IO | EFI_PCI_IO_ATTRIBUTE_MEMORY | EFI_PCI_IO_ATTRIBUTE_BUS_MASTER;
constexpr uint32_t kStationLow = 0x3AC61F02, kStationHigh = 0xD8E4719B;

// One controller I/O access as the trace shows it.
struct IoAccess {
  TraceKind Kind;
  uint16_t Register;
  uint32_t Width;
  uint32_t Value;
  bool operator==(const IoAccess&) const = default;
};

std::ostream& operator<<(std::ostream& Out, const IoAccess& A) {
  return Out << (A.Kind == TraceKind::IoRead ? "read" : "write") << A.Width * 8 << " +0x"
             << std::hex << A.Register << " = 0x" << A.Value;
}

// The controller's I/O accesses in order, as offsets from the I/O base.
std::vector<IoAccess> ControllerIo() {
  std::vector<IoAccess> out;
  for (const auto& e : sim::GlobalTrace().Entries())
    if (e.Kind == TraceKind::IoRead || e.Kind == TraceKind::IoWrite)
      out.push_back({e.Kind, uint16_t(e.Address - kIoBase), e.Width, uint32_t(e.Value)});
  return out;
}

IoAccess R32(uint16_t Register, uint32_t Value) { return {TraceKind::IoRead, Register, 4, Value}; }
IoAccess W32(uint16_t Register, uint32_t Value) { return {TraceKind::IoWrite, Register, 4, Value}; }
IoAccess R8(uint16_t Register, uint32_t Value) { return {TraceKind::IoRead, Register, 1, Value}; }
IoAccess W8(uint16_t Register, uint32_t Value) { return {TraceKind::IoWrite, Register, 1, Value}; }

// Index of the first trace entry that satisfies Match, or the trace's size.
template <typename F>
size_t FirstIndex(F Match) {
  const auto& entries = sim::GlobalTrace().Entries();
  for (size_t i = 0; i < entries.size(); ++i)
    if (Match(entries[i])) return i;
  return entries.size();
}

// ---- The bridges ----

struct BridgeCase {
  const char* Name;
  bool Present;
  uint8_t Secondary, Subordinate;
  std::vector<std::pair<TraceKind, uint64_t>> Expected;  // root-bridge accesses in order
};
void PrintTo(const BridgeCase& Case, std::ostream* Out) { *Out << Case.Name; }

class BridgeCacheLineTest : public LanTest, public ::testing::WithParamInterface<BridgeCase> {};

TEST_P(BridgeCacheLineTest, WritesTheBridgeThenEachBusThatAnswers) {
  const BridgeCase& c = GetParam();
  const sim::PciLocation bridge{0, 0x1C, 3};
  if (c.Present) {
    fw.Config().Set8(bridge, 0x19, c.Secondary);
    fw.Config().Set8(bridge, 0x1A, c.Subordinate);
  } else {
    fw.Config().RemoveFunction(bridge);
  }
  SetBridgeCacheLineSize(fw.RootBridge(), 0, 0x1C, 3, 0x20);

  std::vector<std::pair<TraceKind, uint64_t>> seen;
  for (const auto& e : sim::GlobalTrace().Entries()) {
    ASSERT_EQ(e.Name, "rootbridge");
    EXPECT_EQ(e.Width, 1u);
    if (e.Kind == TraceKind::ConfigWrite) EXPECT_EQ(e.Value, 0x20u);
    seen.emplace_back(e.Kind, e.Address);
  }
  EXPECT_EQ(seen, c.Expected);
}

constexpr auto kRead = TraceKind::ConfigRead;
constexpr auto kWrite = TraceKind::ConfigWrite;

INSTANTIATE_TEST_SUITE_P(
    Buses, BridgeCacheLineTest,
    ::testing::Values(
        BridgeCase{"SecondaryAndSubordinate",
                   true,
                   4,
                   5,
                   {{kWrite, 0x001C030C},
                    {kRead, 0x001C0319},
                    {kWrite, 0x0400000C},
                    {kRead, 0x001C031A},
                    {kWrite, 0x0500000C}}},
        BridgeCase{"SecondaryEqualsSubordinateWritesTwice",
                   true,
                   6,
                   6,
                   {{kWrite, 0x001C030C},
                    {kRead, 0x001C0319},
                    {kWrite, 0x0600000C},
                    {kRead, 0x001C031A},
                    {kWrite, 0x0600000C}}},
        BridgeCase{"AbsentBridgeGetsOnlyItsOwnWrite",
                   false,
                   0,
                   0,
                   {{kWrite, 0x001C030C}, {kRead, 0x001C0319}, {kRead, 0x001C031A}}},
        BridgeCase{
            "BusZeroIsUsedAsRead",
            true,
            0,
            0xFF,
            {{kWrite, 0x001C030C}, {kRead, 0x001C0319}, {kWrite, 0x0000000C}, {kRead, 0x001C031A}}},
        BridgeCase{"OnlyTheSubordinateAnswers",
                   true,
                   0xFF,
                   7,
                   {{kWrite, 0x001C030C},
                    {kRead, 0x001C0319},
                    {kRead, 0x001C031A},
                    {kWrite, 0x0700000C}}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(LanTest, BusNumberReadsThatFailCountAsAbsent) {
  fw.Config().AddFunction({0, 0, 0});
  fw.Config().Set8({0, 0x1C, 3}, 0x19, 0x00);
  fw.Config().Set8({0, 0x1C, 3}, 0x1A, 0x00);
  fw.FailEveryCall("RootBridge.Pci.Read", EFI_DEVICE_ERROR);
  SetBridgeCacheLineSize(fw.RootBridge(), 0, 0x1C, 3, 0x20);
  auto writes = Accesses(TraceKind::ConfigWrite, "rootbridge");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].Address, 0x001C030Cu);
  // Above all, the host bridge at 0:0.0 is left alone.
  EXPECT_EQ(fw.Config().Get8({0, 0, 0}, 0x0C), 0u);
}

TEST_F(LanTest, StartPropagatesTheCacheLineSizeBeforeClaimingTheController) {
  ASSERT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), EFI_SUCCESS);

  auto reads = Accesses(TraceKind::ConfigRead, "rootbridge");
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.front().Address, 0x001B000Cu);
  EXPECT_EQ(reads.front().Width, 1u);
  EXPECT_EQ(reads.back().Address, 0x001C0194u);
  EXPECT_EQ(reads.back().Width, 4u);

  // The bridges' own writes, in the order graphics port, root ports 1 to 6.
  std::vector<uint64_t> own;
  for (const auto& w : Accesses(TraceKind::ConfigWrite, "rootbridge"))
    if ((w.Address >> 24) == 0) own.push_back(w.Address);
  EXPECT_EQ(own, (std::vector<uint64_t>{0x0001000C, 0x001C000C, 0x001C010C, 0x001C020C, 0x001C030C,
                                        0x001C040C, 0x001C050C}));

  // Every bridge and every device 0 behind one now has the chipset's value.
  for (const auto& bridge : lan_test::kBridges) {
    if (!bridge.Present) continue;
    EXPECT_EQ(fw.Config().Get8({0, bridge.Device, bridge.Function}, 0x0C),
              lan_test::kCacheLineSize);
    for (uint8_t bus : {bridge.Secondary, bridge.Subordinate})
      if (bus != 0xFF) EXPECT_EQ(fw.Config().Get8({bus, 0, 0}, 0x0C), lan_test::kCacheLineSize);
  }

  // All of it happens before the controller is opened.
  size_t open = FirstIndex([](const sim::TraceEntry& e) { return e.Name == "OpenProtocol"; });
  size_t last_bridge = 0;
  const auto& entries = sim::GlobalTrace().Entries();
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i].Name == "rootbridge") last_bridge = i;
  EXPECT_LT(last_bridge, open);
}

// ---- The controller ----

struct ControllerCase {
  const char* Name;
  uint16_t Device;
  uint8_t Revision;
  uint8_t PhyOption;
  uint8_t FastEthernet;  // LanIsFastEthernet expected
  bool PhyPath;          // +0x55 bit 4 and the PHY write expected
  uint8_t Config6D = 0xF7;  // +0x6D before the start; only its bit 5 is to be cleared
  uint8_t Config55 = 0x0B;  // +0x55 before the start; only its bit 4 may be set
};
void PrintTo(const ControllerCase& Case, std::ostream* Out) { *Out << Case.Name; }

class LanStartControllerTest : public LanTest,
                               public ::testing::WithParamInterface<ControllerCase> {};

TEST_P(LanStartControllerTest, ProgramsTheRegistersInTheirOrder) {
  const ControllerCase& c = GetParam();
  SetIdentity(Id(0x10EC, c.Device), c.Revision);
  setup.Record[interface_constants::kLanPhyOption] = c.PhyOption;
  controller.SetRegister8(0x6D, c.Config6D);
  controller.SetRegister8(0x55, c.Config55);
  const uint8_t config_55_after = c.PhyPath ? c.Config55 | 0x10 : c.Config55;
  const uint8_t config_6d_after = c.Config6D & ~0x20;
  std::vector<uint8_t> expected_record = setup.Record;

  ASSERT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), EFI_SUCCESS);

  std::vector<IoAccess> expected = {
      R32(0x50, 0xC38F5A21), W32(0x50, 0xC38F5AC0),  // lock opened, +0x51..+0x53 as read
      W32(0x00, kStationLow), W32(0x04, kStationHigh), R32(0x50, 0xC38F5AC0)};
  if (c.PhyPath)
    expected.insert(expected.end(), {R8(0x55, c.Config55), W8(0x55, config_55_after), W32(0x60, 0x801115C0)});
  expected.insert(expected.end(),
                  {W32(0x50, 0xC34F5A00),  // lock closed, +0x52 bit 6 set and bit 7 cleared
                   R8(0x6D, c.Config6D), W8(0x6D, config_6d_after), W32(0x64, lan_test::kRootPortSubsystem),
                   W32(0x68, 0x8000F02C)});
  EXPECT_EQ(ControllerIo(), expected);

  // Final state of the controller.
  for (int i = 0; i < 8; ++i) EXPECT_EQ(controller.Register8(i), lan_test::kStationBlock[i]) << i;
  EXPECT_EQ(controller.Register32(0x50), 0xC34F5A00u);
  EXPECT_EQ(controller.Register8(0x55), config_55_after);
  EXPECT_EQ(Phy.count(0x11) ? Phy[0x11] : -1, c.PhyPath ? 0x15C0 : -1);
  EXPECT_EQ(controller.Register8(0x6D), config_6d_after);
  EXPECT_EQ(fw.Config().Get32(kController, 0x2C), lan_test::kRootPortSubsystem);
  EXPECT_EQ(controller.Attributes(), kDecoding);
  EXPECT_TRUE(Claimed());
  EXPECT_EQ(PciIoOpens(), 1u);

  // The record: the address and the flag, not a byte more.
  expected_record[interface_constants::kLanIsFastEthernet] = c.FastEthernet;
  for (int i = 0; i < 8; ++i)
    expected_record[interface_constants::kLanStationAddressLow + i] = lan_test::kStationBlock[i];
  EXPECT_EQ(setup.Record, expected_record);
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, LanStartControllerTest,
    ::testing::Values(ControllerCase{"GigabitOption0", 0x8168, 0x06, 0, 0, false},
                      ControllerCase{"GigabitIgnoresOption1", 0x8168, 0x06, 1, 0, false},
                      ControllerCase{"FastEthernetOption0", 0x8136, 0x02, 0, 1, false},
                      ControllerCase{"FastEthernetOption1", 0x8136, 0x02, 1, 1, true},
                      ControllerCase{"FastEthernetOption2", 0x8136, 0x02, 2, 1, false},
                      ControllerCase{"FastEthernetRevisionFFOption1", 0x8136, 0xFF, 1, 1, true},
                      ControllerCase{"FastEthernetRevision1Option1", 0x8136, 0x01, 1, 1, false},
                      ControllerCase{"GigabitConfig6DOnlyBit5Set", 0x8168, 0x06, 0, 0, false, 0x20},
                      ControllerCase{"FastEthernetConfig55Bit0Clear", 0x8136, 0x02, 1, 1, true, 0xF7, 0xA2}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(LanTest, StartReadsIdRevisionAndOnlyTheLowWordOfTheBar) {
  // Bits above the low word would move the registers out of the window.
  fw.Config().Set32(kController, 0x10, 0x0001E001);
  ASSERT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), EFI_SUCCESS);
  auto reads = Accesses(TraceKind::ConfigRead, sim::kPciIoTraceName);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(std::pair(reads[0].Address & 0xFF, reads[0].Width), std::pair(uint64_t(0x00), 4u));
  EXPECT_EQ(std::pair(reads[1].Address & 0xFF, reads[1].Width), std::pair(uint64_t(0x08), 1u));
  EXPECT_EQ(std::pair(reads[2].Address & 0xFF, reads[2].Width), std::pair(uint64_t(0x10), 2u));
  for (const auto& access : sim::GlobalTrace().Entries())
    if (access.Kind == TraceKind::IoRead || access.Kind == TraceKind::IoWrite) {
      EXPECT_GE(access.Address, 0xE000u);
      EXPECT_LT(access.Address, 0xE070u);
      EXPECT_EQ(access.Status, EFI_SUCCESS);
    }
  EXPECT_EQ(controller.Register32(0x04), kStationHigh);
}

class LanLockByteTest : public LanTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(LanLockByteTest, IsOpenDuringTheAddressWritesAndClosedAfter) {
  controller.SetRegister32(0x50, GetParam());
  std::vector<uint8_t> lock_at_address_writes;
  controller.OnIoWrite = [&](sim::PciIoDevice& Device, uint16_t Register, int Width,
                             uint32_t Value) {
    if (Register == 0x00 || Register == 0x04)
      lock_at_address_writes.push_back(Device.Register8(0x50));
    return ModelWrite(Device, Register, Width, Value);
  };
  ASSERT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), EFI_SUCCESS);
  EXPECT_EQ(lock_at_address_writes, (std::vector<uint8_t>{0xC0, 0xC0}));
  const uint8_t before_51 = uint8_t(GetParam() >> 8), before_52 = uint8_t(GetParam() >> 16),
                before_53 = uint8_t(GetParam() >> 24);
  EXPECT_EQ(controller.Register8(0x50), 0x00);
  EXPECT_EQ(controller.Register8(0x51), before_51);
  EXPECT_EQ(controller.Register8(0x52), (before_52 & 0x3F) | 0x40);
  EXPECT_EQ(controller.Register8(0x53), before_53);
}

INSTANTIATE_TEST_SUITE_P(LockDwords, LanLockByteTest,
                         ::testing::Values(0x00000000u, 0xFFFFFFFFu, 0x5A80A53Fu, 0x01407FC0u,
                                           0x12C33480u));

TEST_F(LanTest, ClosingWriteCarriesTheBytesAsTheyReadAfterTheAddressWrites) {
  // The controller updates +0x51 and +0x53 while the address goes in.
  controller.OnIoWrite = [&](sim::PciIoDevice& Device, uint16_t Register, int Width,
                             uint32_t Value) {
    if (Register == 0x04) {
      Device.SetRegister8(0x51, 0x66);
      Device.SetRegister8(0x53, 0x99);
    }
    return ModelWrite(Device, Register, Width, Value);
  };
  ASSERT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), EFI_SUCCESS);
  EXPECT_EQ(controller.Register32(0x50), 0x994F6600u);
}

TEST_F(LanTest, EachAddressHalfIsInTheRecordBeforeTheControllerGetsIt) {
  std::vector<uint32_t> record_at_write;
  controller.OnIoWrite = [&](sim::PciIoDevice& Device, uint16_t Register, int Width,
                             uint32_t Value) {
    if (Register == 0x00) record_at_write.push_back(setup.Dword(ic::kLanStationAddressLow));
    if (Register == 0x04) record_at_write.push_back(setup.Dword(ic::kLanStationAddressHigh));
    return ModelWrite(Device, Register, Width, Value);
  };
  ASSERT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), EFI_SUCCESS);
  EXPECT_EQ(record_at_write, (std::vector<uint32_t>{kStationLow, kStationHigh}));
  // Bytes 0x26 and 0x27 of the block end up in bits 31:16 of the high half.
  EXPECT_EQ(setup.Dword(interface_constants::kLanStationAddressHigh) >> 16, 0xD8E4u);
  EXPECT_EQ(controller.Register8(0x06), 0xE4);
  EXPECT_EQ(controller.Register8(0x07), 0xD8);
}

class LanSubsystemTest : public LanTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(LanSubsystemTest, IsCopiedUnchangedIntoTheControllersConfiguration) {
  fw.Config().Set32(lan_test::kRootPort2, 0x94, GetParam());
  ASSERT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), EFI_SUCCESS);
  EXPECT_EQ(controller.Register32(0x64), GetParam());
  EXPECT_EQ(fw.Config().Get32(kController, 0x2C), GetParam());
  const auto& a = lan_test::kStationBlock;
  EXPECT_EQ(DecisionLines(),
            sim::Printf("lan_controller_setup: Start 10EC:8168 revision 06: I/O base %04X, station "
                        "address %02X-%02X-%02X-%02X-%02X-%02X written, subsystem ID %08X handed "
                        "over\r\n",
                        lan_test::kIoBase, a[0], a[1], a[2], a[3], a[4], a[5], GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Values, LanSubsystemTest,
                         ::testing::Values(0xFFFFFFFFu, 0x00000000u, 0x21F317AAu));

// ---- Early ends ----

TEST_F(LanTest, FailingOpenReturnsItsStatusAfterTheBridgesAndTouchesNothingElse) {
  const std::vector<uint8_t> record = setup.Record;
  fw.FailEveryCall("OpenProtocol", EFI_ACCESS_DENIED);
  EXPECT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), EFI_ACCESS_DENIED);
  EXPECT_EQ(fw.Config().Get8({0, 0x01, 0}, 0x0C), lan_test::kCacheLineSize);
  EXPECT_EQ(ControllerAccesses(), 0u);
  EXPECT_EQ(controller.Attributes(), 0u);
  EXPECT_EQ(setup.Record, record);
  EXPECT_EQ(PciIoOpens(), 0u);
}

// The claim given back after Attributes: when reading (call 1) or setting (call 2) them fails,
// or when BAR 0 holds no I/O base (a memory BAR, or an I/O BAR left at 0, whose
// offsets would reach the legacy ports from 0 up), with the controller's attributes as found
// and the BAR's low word in the decision line. When setting them back (call 3) fails, the
// decoding the start enabled and the controller did not have is disabled instead (call 4).
struct GiveBackCase {
  const char* Name;
  EFI_STATUS AttributesStatus;
  uint64_t FailNth;
  uint32_t Bar;
  EFI_STATUS Expected;
  const char* Line;
  uint64_t Left = 0;  // the attributes left, when not those found
};

class LanGiveBackTest : public LanTest, public ::testing::WithParamInterface<GiveBackCase> {};

TEST_P(LanGiveBackTest, ClosesTheControllerAndTouchesNothingElse) {
  const GiveBackCase& c = GetParam();
  const std::vector<uint8_t> record = setup.Record;
  const uint64_t found = EFI_PCI_IO_ATTRIBUTE_MEMORY_WRITE_COMBINE | EFI_PCI_IO_ATTRIBUTE_IO;
  controller.SetAttributes(found);
  if (EFI_ERROR(c.AttributesStatus))
    fw.FailNthCall("PciIo.Attributes", c.FailNth, c.AttributesStatus);
  fw.Config().Set32(kController, 0x10, c.Bar);
  EXPECT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), c.Expected);
  EXPECT_EQ(PciIoOpens(), 0u);
  EXPECT_FALSE(Claimed());
  EXPECT_EQ(controller.Attributes(), c.Left != 0 ? c.Left : found);
  // Every Attributes call, the setting back included, before the close.
  size_t close = FirstIndex([](const auto& e) { return e.Name == "CloseProtocol"; });
  const auto& entries = sim::GlobalTrace().Entries();
  for (size_t i = close; i < entries.size(); ++i) EXPECT_NE(entries[i].Name, "PciIo.Attributes");
  EXPECT_LT(close, entries.size());
  EXPECT_TRUE(sim::GlobalTrace().Of(TraceKind::IoRead).empty());
  EXPECT_TRUE(sim::GlobalTrace().Of(TraceKind::IoWrite).empty());
  EXPECT_EQ(controller.Register32(0x50), 0xC38F5A21u);
  EXPECT_EQ(setup.Record, record);
  if (c.Line[0] != 0) EXPECT_NE(DecisionLines().find(c.Line), std::string::npos) << DecisionLines();
}

INSTANTIATE_TEST_SUITE_P(
    Ends, LanGiveBackTest,
    ::testing::Values(
        GiveBackCase{"AttributesGetFails", EFI_UNSUPPORTED, 1, lan_test::kIoBase | 1, EFI_UNSUPPORTED, ""},
        GiveBackCase{"AttributesSetFails", EFI_UNSUPPORTED, 2, lan_test::kIoBase | 1, EFI_UNSUPPORTED, ""},
        GiveBackCase{"MemoryBar", EFI_SUCCESS, 0, 0xFEB00000, EFI_DEVICE_ERROR, "BAR0 0000 holds"},
        GiveBackCase{"MemoryBarWithAnIoLookingWord", EFI_SUCCESS, 0, 0xFEB0E000, EFI_DEVICE_ERROR, "BAR0 E000 holds"},
        GiveBackCase{"IoBarLeftAtZero", EFI_SUCCESS, 0, 0x00000001, EFI_DEVICE_ERROR, "BAR0 0001 holds"},
        GiveBackCase{"SettingBackFails", EFI_UNSUPPORTED, 3, 0xFEB00000, EFI_DEVICE_ERROR, "BAR0 0000 holds",
                     EFI_PCI_IO_ATTRIBUTE_IO}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(LanTest, AttributesReplaceTheControllersSet) {
  controller.SetAttributes(EFI_PCI_IO_ATTRIBUTE_MEMORY_WRITE_COMBINE | EFI_PCI_IO_ATTRIBUTE_IO);
  ASSERT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), EFI_SUCCESS);
  EXPECT_EQ(controller.Attributes(), kDecoding);
}

// A protocol that cannot be located ends the start before any hardware access, unclaimed.
class LanLocateFailureTest : public LanTest, public ::testing::WithParamInterface<int> {};

TEST_P(LanLocateFailureTest, ReturnsTheLocateStatusBeforeAnyHardwareAccess) {
  const std::vector<uint8_t> record = setup.Record;
  fw.FailNthCall("LocateProtocol", GetParam(), EFI_DEVICE_ERROR);
  EXPECT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), EFI_DEVICE_ERROR);
  for (const auto& e : sim::GlobalTrace().Entries()) {
    EXPECT_EQ(e.Kind, TraceKind::Service) << e.Name;
    EXPECT_EQ(e.Name, "LocateProtocol");
  }
  EXPECT_EQ(fw.CallCount("LocateProtocol"), uint64_t(GetParam()));
  EXPECT_EQ(PciIoOpens(), 0u);
  EXPECT_EQ(setup.Record, record);
}

INSTANTIATE_TEST_SUITE_P(SetupDataStationAddressRootBridge, LanLocateFailureTest,
                         ::testing::Values(1, 2, 3));

// A setup-data protocol whose record pointer is null (0), or any of the three protocols located
// with success but without an interface (the Nth locate), counts as a missing protocol:
// EFI_NOT_FOUND before any hardware access, and no claim.
class LanStartWithoutInterfaceTest : public LanTest, public ::testing::WithParamInterface<int> {};

TEST_P(LanStartWithoutInterfaceTest, CountsAsAMissingProtocol) {
  if (GetParam() == 0)
    setup.Interface.Record = nullptr;
  else
    fw.FailNthCall("LocateProtocol", GetParam(), EFI_SUCCESS);
  const std::vector<uint8_t> record = setup.Record;
  EXPECT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), EFI_NOT_FOUND);
  EXPECT_TRUE(sim::GlobalTrace().Of(TraceKind::ConfigRead).empty());
  EXPECT_TRUE(sim::GlobalTrace().Of(TraceKind::ConfigWrite).empty());
  EXPECT_EQ(ControllerAccesses(), 0u);
  EXPECT_EQ(PciIoOpens(), 0u);
  EXPECT_EQ(setup.Record, record);
}

INSTANTIATE_TEST_SUITE_P(NullRecordSetupDataStationAddressRootBridge,
                         LanStartWithoutInterfaceTest, ::testing::Values(0, 1, 2, 3));

TEST(LanStartMissingProtocolTest, WithoutTheOutsideProtocolsReturnsNotFound) {
  // No setup data, no station address, and no root bridge either.
  sim::Firmware fw(sim::FirmwareOptions{.InstallRootBridge = false});
  ASSERT_EQ(LanControllerSetupEntry(fw.ImageHandle(), fw.SystemTable()), EFI_SUCCESS);
  sim::PciIoDevice controller(fw, kController);
  sim::GlobalTrace().Clear();
  EXPECT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), EFI_NOT_FOUND);
  EXPECT_TRUE(sim::GlobalTrace().Of(TraceKind::ConfigRead).empty());
  EXPECT_TRUE(sim::GlobalTrace().Of(TraceKind::ConfigWrite).empty());
  EXPECT_EQ(fw.OpenCount(controller.Handle(), sim::kPciIoGuid), 0u);

  sim::SetupDataFixture setup(fw);
  sim::StationAddressFixture station(fw, lan_test::kStationBlock);
  EXPECT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), EFI_NOT_FOUND);
  EXPECT_TRUE(sim::GlobalTrace().Of(TraceKind::ConfigRead).empty());
  EXPECT_EQ(fw.OpenCount(controller.Handle(), sim::kPciIoGuid), 0u);
}

TEST_F(LanTest, AFailingBarReadKeepsEveryRegisterAccessAwayFromThePlatformsPorts) {
  // Third configuration read of the start: the BAR.
  fw.FailNthCall("PciIo.Pci.Read", 3, EFI_DEVICE_ERROR);
  const uint32_t lock = controller.Register32(0x50);
  ASSERT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), EFI_SUCCESS);
  auto writes = sim::GlobalTrace().Of(TraceKind::IoWrite);
  ASSERT_FALSE(writes.empty());
  // The base stands at 0xFFFE: the address dword there is misaligned, the rest lies past the
  // top of the I/O space.
  for (const auto& w : writes) {
    EXPECT_GE(w.Address, 0xFFFEu);
    EXPECT_NE(w.Status, EFI_SUCCESS);
  }
  EXPECT_EQ(controller.Register32(0x50), lock);
  EXPECT_EQ(controller.Register32(0x00), 0u);
  EXPECT_TRUE(Claimed());
}

}  // namespace
