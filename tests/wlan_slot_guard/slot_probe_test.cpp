// The slot probe and the radio state against the simulated firmware and platform: what the
// record says for each kind of slot, which bits of it stay, the root port enabled for each
// host-bridge revision, the option bytes, and the order of the GPIO and embedded-controller
// accesses.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "wlan_slot_guard/slot_probe.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "support/driver_context.h"
#include "tests/sim/platform.h"
#include "tests/wlan_slot_guard/slot_layout.h"

namespace {

using namespace wlantest;
using ::testing::HasSubstr;
using sim::Printf;

constexpr Card kWirelessCard{0x431514E4, 0x0280, 0x0E517E1D};
constexpr uint16_t kGpioBase = 0x480;
constexpr uint16_t kGpioLevelPort = kGpioBase + 0x0C;
constexpr uint16_t kEcRadioRegister = 0x42FA;

// The option-CMOS accesses of the trace as "read 0x4C" and "write 0x48=0x20".
std::vector<std::string> CmosLog() {
  std::vector<std::string> log;
  uint64_t index = 0;
  char line[32];
  for (const auto& e : sim::GlobalTrace().Entries()) {
    if (e.Route != sim::PortRoute::CpuIo) continue;
    if (e.Kind == sim::TraceKind::PortWrite && e.Address == 0x72) {
      index = e.Value;
      continue;
    }
    if (e.Address != 0x73) continue;
    if (e.Kind == sim::TraceKind::PortRead)
      std::snprintf(line, sizeof line, "read 0x%02llX", (unsigned long long)index);
    else
      std::snprintf(line, sizeof line, "write 0x%02llX=0x%02llX", (unsigned long long)index,
                    (unsigned long long)e.Value);
    log.emplace_back(line);
  }
  return log;
}

// Position of the first trace entry that matches, or -1.
template <typename Match>
long FirstEntry(Match M) {
  const auto& entries = sim::GlobalTrace().Entries();
  for (size_t i = 0; i < entries.size(); ++i)
    if (M(entries[i])) return long(i);
  return -1;
}

class SlotProbeTest : public ::testing::Test {
 protected:
  explicit SlotProbeTest(sim::FirmwareOptions Options = {}) : fw(Options), platform(fw) {}

  void SetUp() override {
    InitDriverContext(fw.ImageHandle(), fw.SystemTable());
    fw.Config().AddFunction(kHostBridge);
    fw.Config().Set8(kHostBridge, 0x08, 0x04);
    for (uint8_t function : {1, 5}) fw.Config().AddFunction({0, 0x1C, function});
    AddRootPort(fw.Config(), kSlotRootPort, kSlotBus, 0x40);
    fw.Config().Set16(kLpcBridge, 0x48, kGpioBase | 1);
    platform.DefineRegister(kGpioLevelPort, 4, 0);
    SetSignature();
    sim::GlobalTrace().Clear();
  }

  void SetSignature() {
    platform.OptionCmos[0x4C] = 0x5A;
    platform.OptionCmos[0x4D] = 0xA5;
  }

  PlatformSetupRecord* Probe() {
    ProbeWlanSlot(record.Fields());
    return record.Fields();
  }

  sim::Firmware fw;
  sim::Platform platform;
  sim::SetupDataFixture record;
};

// ---- What the record says about the slot ----

struct SlotCase {
  const char* Name;
  bool CardPresent;  // a function answers behind the root port
  Card Slot;
  bool Recorded;  // the probe reports a card
};

class SlotContentTest : public SlotProbeTest, public ::testing::WithParamInterface<SlotCase> {};

TEST_P(SlotContentTest, RecordsTheCardOrKeepsThePreviousIds) {
  if (GetParam().CardPresent) AddCard(fw.Config(), kSlotBus, GetParam().Slot, 0x40);
  record.Fields()->WlanSlotFlags = 0x01;  // what an earlier boot with a card left
  record.Fields()->WlanChipId = 0x11223344;
  record.Fields()->WlanSubsystemId = 0x55667788;

  PlatformSetupRecord* r = Probe();

  const Card& slot = GetParam().Slot;
  EXPECT_THAT(fw.StdErrText(),
              HasSubstr(GetParam().Recorded
                            ? Printf("wlan_slot_guard: probe 00:1C.0 bus %02X: chip %08X subsystem "
                                   "%08X class %04X, card present\r\n",
                                   kSlotBus, slot.Id, slot.Subsystem, slot.Class)
                            : std::string(", no card\r\n")));
  if (GetParam().Recorded) {
    EXPECT_EQ(r->WlanSlotFlags, 0x11);
    EXPECT_EQ(r->WlanChipId, GetParam().Slot.Id);
    EXPECT_EQ(r->WlanSubsystemId, GetParam().Slot.Subsystem);
    EXPECT_EQ(r->WlanStatusA, 0x21);
    EXPECT_EQ(r->WlanStatusB, 0x04);
  } else {
    EXPECT_EQ(r->WlanSlotFlags, 0x00);
    EXPECT_EQ(r->WlanChipId, 0x11223344u);
    EXPECT_EQ(r->WlanSubsystemId, 0x55667788u);
    EXPECT_EQ(r->WlanStatusA, 0x20);
    EXPECT_EQ(r->WlanStatusB, 0x00);
  }
  EXPECT_EQ(r->WlanStatusC, 0x00);
}

INSTANTIATE_TEST_SUITE_P(
    Slots, SlotContentTest,
    ::testing::Values(SlotCase{"Empty", false, {}, false},
                      SlotCase{"WirelessController", true, kWirelessCard, true},
                      SlotCase{"EthernetController", true, {0x10D38086, 0x0200, 0x00008086}, true},
                      SlotCase{"UnlistedWirelessController", true, {0x12345678, 0x0280, 0}, true},
                      SlotCase{"DisplayController", true, {0x01111234, 0x0300, 0x0E517E1D}, false},
                      SlotCase{"WirelessClassOtherThanNetwork", true, {0x431514E4, 0x0D80, 0x0E517E1D}, false},
                      SlotCase{"NetworkSubclassOtherThanTheTwo", true, {0x431514E4, 0x0201, 0x0E517E1D}, false},
                      SlotCase{"IdsReadAllOnes", true, {0xFFFFFFFF, 0x0280, 0x0E517E1D}, false},
                      // Presence is the chip ID and the class: the all-ones subsystem is recorded.
                      SlotCase{"SubsystemReadsAllOnes", true, {0x12345678, 0x0280, 0xFFFFFFFF}, true}),
    [](const auto& info) { return std::string(info.param.Name); });

// Every probe clears status bits and sets one; all other bits of the record stay as they were.
struct FillCase {
  const char* Name;
  bool CardPresent;
  uint8_t Flags, StatusA, StatusB, StatusC;
};

class RecordBitsTest : public SlotProbeTest, public ::testing::WithParamInterface<FillCase> {};

TEST_P(RecordBitsTest, OnlyTheNamedBitsChange) {
  if (GetParam().CardPresent) AddCard(fw.Config(), kSlotBus, kWirelessCard, 0x40);
  record.Refill(0xFF);
  std::vector<uint8_t> before = record.Record;

  PlatformSetupRecord* r = Probe();

  EXPECT_EQ(r->WlanSlotFlags, GetParam().Flags);
  EXPECT_EQ(r->WlanStatusA, GetParam().StatusA);
  EXPECT_EQ(r->WlanStatusB, GetParam().StatusB);
  EXPECT_EQ(r->WlanStatusC, GetParam().StatusC);
  namespace ic = interface_constants;
  const size_t status[] = {ic::kWlanSlotFlags, ic::kWlanStatusA, ic::kWlanStatusB,
                           ic::kWlanStatusC};
  for (size_t i = 0; i < before.size(); ++i) {
    bool named = std::find(std::begin(status), std::end(status), i) != std::end(status) ||
                 (GetParam().CardPresent && i >= ic::kWlanChipId && i < ic::kWlanChipId + 8);
    if (!named) EXPECT_EQ(record.Record[i], before[i]) << "record byte 0x" << std::hex << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Fills, RecordBitsTest,
                         ::testing::Values(FillCase{"EmptySlot", false, 0xFE, 0xBF, 0xCF, 0xEF},
                                           FillCase{"CardInSlot", true, 0xFF, 0xBF, 0xCF, 0xEF}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(SlotProbeTest, IdsAreStoredLeastSignificantByteFirst) {
  AddCard(fw.Config(), kSlotBus, kWirelessCard, 0x40);
  Probe();
  const uint8_t* chip = &record.Record[interface_constants::kWlanChipId];
  EXPECT_EQ(std::vector<uint8_t>(chip, chip + 8),
            (std::vector<uint8_t>{0xE4, 0x14, 0x15, 0x43, 0x1D, 0x7E, 0x51, 0x0E}));
}

TEST_F(SlotProbeTest, TheCardIsReadOnTheSecondaryBusOfRootPortOne) {
  // A card on the bus that root port 1 does not lead to is not the slot's.
  AddCard(fw.Config(), kSlotBus + 1, kWirelessCard, 0x40);
  EXPECT_EQ(Probe()->WlanSlotFlags & WLAN_SLOT_FLAG_CARD_PRESENT, 0);

  fw.Config().Set8(kSlotRootPort, 0x19, kSlotBus + 1);
  EXPECT_EQ(Probe()->WlanSlotFlags & WLAN_SLOT_FLAG_CARD_PRESENT, WLAN_SLOT_FLAG_CARD_PRESENT);
  EXPECT_EQ(record.Fields()->WlanChipId, kWirelessCard.Id);
}

// Every configuration access of a probe that finds a card, in order and at its width: the
// root port's bus numbers are read once for the class and ID, and once more for the subsystem.
TEST_F(SlotProbeTest, ConfigurationAccessesOfAProbeWithACard) {
  AddCard(fw.Config(), kSlotBus, kWirelessCard, 0x40);
  Probe();
  std::vector<std::pair<uint64_t, uint32_t>> accesses;
  for (const auto& e : sim::GlobalTrace().Entries())
    if (e.Kind == sim::TraceKind::ConfigRead || e.Kind == sim::TraceKind::ConfigWrite)
      accesses.emplace_back(e.Address, e.Width);
  const uint64_t busNumbers = PciRootBridgeAddress(0, 0x1C, 0, 0x18);
  EXPECT_EQ(accesses, (std::vector<std::pair<uint64_t, uint32_t>>{
                          {PciRootBridgeAddress(0, 0, 0, 0x08), 1},
                          {PciRootBridgeAddress(0, 0x1C, 5, 0x04), 1},
                          {busNumbers, 4},
                          {PciRootBridgeAddress(kSlotBus, 0, 0, 0x08), 4},
                          {PciRootBridgeAddress(kSlotBus, 0, 0, 0x00), 4},
                          {busNumbers, 4},
                          {PciRootBridgeAddress(kSlotBus, 0, 0, 0x2C), 4},
                      }));
}

// ---- The root port enabled for the host bridge's revision ----

struct RevisionCase {
  const char* Name;
  bool HostBridge;
  uint8_t Revision;
  uint8_t EnabledFunction;
};

class HostBridgeRevisionTest : public SlotProbeTest,
                               public ::testing::WithParamInterface<RevisionCase> {};

TEST_P(HostBridgeRevisionTest, EnablesOneRootPortFunctionAfterReadingTheRevision) {
  if (GetParam().HostBridge)
    fw.Config().Set8(kHostBridge, 0x08, GetParam().Revision);
  else
    fw.Config().RemoveFunction(kHostBridge);
  Probe();

  auto writes = sim::GlobalTrace().Of(sim::TraceKind::ConfigWrite);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].Address, PciRootBridgeAddress(0, 0x1C, GetParam().EnabledFunction, 0x04));
  EXPECT_EQ(writes[0].Width, 1u);
  EXPECT_EQ(writes[0].Value, 0x07u);
  auto reads = sim::GlobalTrace().Of(sim::TraceKind::ConfigRead);
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads[0].Address, PciRootBridgeAddress(0, 0, 0, 0x08));
  EXPECT_EQ(reads[0].Width, 1u);
  for (uint8_t function : {1, 5})
    EXPECT_EQ(fw.Config().Get8({0, 0x1C, function}, 0x04),
              function == GetParam().EnabledFunction ? 0x07 : 0x00);
  EXPECT_THAT(fw.StdErrText(), HasSubstr(Printf("root port 00:1C.%u enabled\r\n",
                                              unsigned(GetParam().EnabledFunction))));
}

INSTANTIATE_TEST_SUITE_P(Revisions, HostBridgeRevisionTest,
                         ::testing::Values(RevisionCase{"Revision0", true, 0, 1},
                                           RevisionCase{"Revision3", true, 3, 1},
                                           RevisionCase{"Revision4", true, 4, 5},
                                           RevisionCase{"Revision0x10", true, 0x10, 5},
                                           RevisionCase{"NoHostBridge", false, 0, 5}),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---- Option bytes of the second CMOS bank ----

struct SignatureCase {
  const char* Name;
  uint8_t First, Second;
  std::vector<std::string> Accesses;
};

const std::vector<std::string> kDefaultsWritten = {
    "write 0x48=0x20", "write 0x49=0x0F", "write 0x4A=0x0F",
    "write 0x4B=0x0F", "write 0x4C=0x5A", "write 0x4D=0xA5"};

std::vector<std::string> Then(std::vector<std::string> First, const std::vector<std::string>& Rest) {
  First.insert(First.end(), Rest.begin(), Rest.end());
  return First;
}

class OptionCmosTest : public SlotProbeTest, public ::testing::WithParamInterface<SignatureCase> {};

TEST_P(OptionCmosTest, DefaultsAreWrittenInIndexOrderOnlyWithoutTheSignature) {
  for (uint8_t index = 0x48; index < 0x4C; ++index) platform.OptionCmos[index] = 0x77;
  platform.OptionCmos[0x4C] = GetParam().First;
  platform.OptionCmos[0x4D] = GetParam().Second;
  Probe();
  EXPECT_EQ(CmosLog(), GetParam().Accesses);
  if (GetParam().Accesses.size() == 2)
    EXPECT_EQ(platform.OptionCmos[0x49], 0x77) << "option bytes under a signature stay";
  EXPECT_THAT(fw.StdErrText(), HasSubstr(GetParam().Accesses.size() == 2
                                             ? "option bytes signed, kept\r\n"
                                             : "option bytes unsigned, defaults and signature written\r\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Signatures, OptionCmosTest,
    ::testing::Values(
        SignatureCase{"Present", 0x5A, 0xA5, {"read 0x4C", "read 0x4D"}},
        SignatureCase{"FirstByteWrong", 0x00, 0xA5, Then({"read 0x4C"}, kDefaultsWritten)},
        SignatureCase{"FirstByteIsTheSecond", 0xA5, 0x5A, Then({"read 0x4C"}, kDefaultsWritten)},
        SignatureCase{"SecondByteWrong", 0x5A, 0x5A, Then({"read 0x4C", "read 0x4D"}, kDefaultsWritten)}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---- Without the root bridge, or with reads that fail ----

class NoRootBridgeTest : public SlotProbeTest {
 protected:
  NoRootBridgeTest() : SlotProbeTest(sim::FirmwareOptions{.InstallRootBridge = false}) {}
};

TEST_F(NoRootBridgeTest, TheSlotReadsEmptyAndTheOptionBytesAreStillKept) {
  AddCard(fw.Config(), kSlotBus, kWirelessCard, 0x40);
  platform.OptionCmos[0x4C] = 0;
  record.Fields()->WlanSlotFlags = 0x11;
  record.Fields()->WlanChipId = 0x11223344;

  PlatformSetupRecord* r = Probe();

  EXPECT_EQ(r->WlanSlotFlags, 0x10);
  EXPECT_EQ(r->WlanChipId, 0x11223344u);
  EXPECT_EQ(r->WlanStatusA, 0x20);
  EXPECT_EQ(CmosLog(), Then({"read 0x4C"}, kDefaultsWritten));
  EXPECT_EQ(fw.Config().Get8({0, 0x1C, 5}, 0x04), 0) << "no root port is enabled";
}

TEST_F(NoRootBridgeTest, TheEmbeddedControllerIsStillUpdatedButTheGpioIsNot) {
  platform.EcRegisters[kEcRadioRegister] = 0xFF;
  platform.DefineRegister(kGpioLevelPort, 4, 0x12345678);
  ApplyRadioState();
  EXPECT_EQ(platform.EcRegisters[kEcRadioRegister], 0xBF);
  EXPECT_EQ(platform.Register(kGpioLevelPort, 4), 0x12345678u);
  EXPECT_TRUE(CmosLog().empty()) << "the radio option is read only for the GPIO";
}

TEST_F(SlotProbeTest, FailedConfigurationReadsCountAsAllOnes) {
  AddCard(fw.Config(), kSlotBus, kWirelessCard, 0x40);
  fw.FailNthCall("Pci.Read", 1, EFI_DEVICE_ERROR);
  Probe();
  EXPECT_EQ(fw.Config().Get8({0, 0x1C, 5}, 0x04), 0x07) << "a revision not read counts as 0xFF";
  EXPECT_EQ(record.Fields()->WlanSlotFlags, 0x11);

  // The card is identified; a failed bus-number or subsystem read records all ones.
  for (uint64_t Nth : {5, 6}) {
    record.Fields()->WlanSubsystemId = 0;
    fw.FailNthCall("Pci.Read", Nth, EFI_DEVICE_ERROR);
    EXPECT_EQ(Probe()->WlanSlotFlags, 0x11) << Nth;
    EXPECT_EQ(record.Fields()->WlanSubsystemId, 0xFFFFFFFFu) << Nth;
  }

  fw.FailEveryCall("Pci.Read", EFI_DEVICE_ERROR);
  EXPECT_EQ(Probe()->WlanSlotFlags, 0x10);
}

// ---- Radio state ----

struct RadioCase {
  const char* Name;
  uint8_t Option;
  uint32_t LevelBefore, LevelAfter;
  uint8_t EcBefore, EcAfter;
};

class RadioStateTest : public SlotProbeTest, public ::testing::WithParamInterface<RadioCase> {};

TEST_P(RadioStateTest, SetsBit28FromTheOptionAndClearsTheEcBit) {
  platform.OptionCmos[0x49] = GetParam().Option;
  platform.DefineRegister(kGpioLevelPort, 4, GetParam().LevelBefore);
  platform.EcRegisters[kEcRadioRegister] = GetParam().EcBefore;
  ApplyRadioState();
  EXPECT_EQ(platform.Register(kGpioLevelPort, 4), GetParam().LevelAfter);
  EXPECT_EQ(platform.EcRegisters[kEcRadioRegister], GetParam().EcAfter);
  EXPECT_EQ(fw.StdErrText(), Printf("wlan_slot_guard: radio line %s: GPIO level %08X written at port "
                                  "%04X\r\n",
                                  (GetParam().Option & 1) != 0 ? "high" : "low", GetParam().LevelAfter,
                                  kGpioLevelPort));
}

INSTANTIATE_TEST_SUITE_P(
    Options, RadioStateTest,
    ::testing::Values(RadioCase{"HighFromLow", 0x0F, 0x00000000, 0x10000000, 0x40, 0x00},
                      RadioCase{"LowFromHigh", 0x0E, 0xFFFFFFFF, 0xEFFFFFFF, 0xFF, 0xBF},
                      RadioCase{"HighStaysHigh", 0x01, 0x9000000F, 0x9000000F, 0x00, 0x00},
                      RadioCase{"LowStaysLow", 0xFE, 0x0ABCDEF1, 0x0ABCDEF1, 0xBF, 0xBF}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(SlotProbeTest, EcUpdateLiesBetweenTheGpioReadAndTheGpioWrite) {
  ApplyRadioState();
  auto gpio = [](sim::TraceKind Kind) {
    return [Kind](const sim::TraceEntry& e) {
      return e.Kind == Kind && e.Address == kGpioLevelPort && e.Width == 4;
    };
  };
  auto ecData = [](sim::TraceKind Kind) {
    return [Kind](const sim::TraceEntry& e) {
      return e.Kind == Kind && e.Route == sim::PortRoute::Direct && e.Address == 0x383;
    };
  };
  long gpioRead = FirstEntry(gpio(sim::TraceKind::IoRead));
  long option = FirstEntry([](const sim::TraceEntry& e) {
    return e.Kind == sim::TraceKind::PortRead && e.Route == sim::PortRoute::CpuIo && e.Address == 0x73;
  });
  long ecRead = FirstEntry(ecData(sim::TraceKind::PortRead));
  long ecWrite = FirstEntry(ecData(sim::TraceKind::PortWrite));
  long gpioWrite = FirstEntry(gpio(sim::TraceKind::IoWrite));
  ASSERT_GE(gpioRead, 0);
  EXPECT_LT(gpioRead, option);
  EXPECT_LT(option, ecRead);
  EXPECT_LT(ecRead, ecWrite);
  EXPECT_LT(ecWrite, gpioWrite);
  EXPECT_EQ(CmosLog(), std::vector<std::string>{"read 0x49"});
}

TEST_F(SlotProbeTest, AGpioLevelThatCouldNotBeReadIsNotWrittenBack) {
  platform.DefineRegister(kGpioLevelPort, 4, 0x12345678);
  platform.EcRegisters[kEcRadioRegister] = 0xFF;
  fw.FailNthCall("RootBridge.Io.Read", 1, EFI_DEVICE_ERROR);
  ApplyRadioState();
  EXPECT_TRUE(sim::GlobalTrace().Of(sim::TraceKind::IoWrite).empty());
  EXPECT_EQ(platform.Register(kGpioLevelPort, 4), 0x12345678u);
  EXPECT_EQ(platform.EcRegisters[kEcRadioRegister], 0xBF);
  EXPECT_EQ(fw.StdErrText(), "wlan_slot_guard: radio line not written (GPIO base 0480)\r\n");
}

TEST_F(SlotProbeTest, WithoutAGpioBaseOnlyTheEmbeddedControllerIsUpdated) {
  // Absent (all ones), or never programmed: 0 would put the level on the DMA controller's port.
  for (uint16_t Base : {0xFFFF, 0x0001}) {
    fw.Config().Set16(kLpcBridge, 0x48, Base);
    platform.EcRegisters[kEcRadioRegister] = 0x40;
    ApplyRadioState();
    EXPECT_TRUE(sim::GlobalTrace().Of(sim::TraceKind::IoRead).empty());
    EXPECT_TRUE(sim::GlobalTrace().Of(sim::TraceKind::IoWrite).empty());
    EXPECT_EQ(platform.EcRegisters[kEcRadioRegister], 0x00);
  }
}

}  // namespace
