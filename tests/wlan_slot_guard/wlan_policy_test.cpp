// The wireless-LAN guard as the firmware sees it: the entry point, the ready-to-boot decision
// for each kind of card with the link settings it leaves, the halt screen's console calls in
// their order and language, and the boots without the setup record or the root bridge.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "wlan_slot_guard/wlan_policy.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "support/string_packages.h"
#include "tests/sim/platform.h"
#include "tests/support/pack_walk.h"
#include "tests/wlan_slot_guard/slot_layout.h"
#include "wlan_slot_guard/slot_probe.h"
#include "wlan_slot_guard/wlan_strings.h"
#include "tests/sim/interface_guids.h"

namespace {

using namespace wlantest;
using ::testing::HasSubstr;
using sim::Printf;

constexpr uint16_t kBoardControlPort = 0x50F;
constexpr uint16_t kEcRadioRegister = 0x42FA;
constexpr uint16_t kGpioLevelPort = 0x48C;  // GPIO base 0x480 (LPC bridge register 0x48) + 0x0C
// Link Control before the guard runs: bit 6 set, ASPM field 1, a value the guard never writes.
constexpr uint8_t kLinkBefore = 0x41;

const char16_t kEnglishLine1[] = u"104-Unsupported wireless network device detected.";
const char16_t kEnglishLine2[] = u"System Halted. Remove device and restart.";

const EFI_GUID kSetupDataGuid = interface_guids::kSetupData;

constexpr Card kUnlistedEthernet{0x10D38086, 0x0200, 0x00008086};

// Console calls, pool releases and stalls in trace order: "EnableCursor 0", "SetAttribute 0x0F",
// "SetCursorPosition 0,1", "OutputString", "FreePool", "Stall 62000", "ReadKeyStroke".
std::vector<std::string> HaltLog() {
  std::vector<std::string> log;
  char line[64];
  for (const auto& e : sim::GlobalTrace().Entries()) {
    if (e.Kind == sim::TraceKind::Console) {
      if (e.Name == "SetCursorPosition")
        std::snprintf(line, sizeof line, "SetCursorPosition %llu,%llu", (unsigned long long)e.Address,
                      (unsigned long long)e.Value);
      else if (e.Name == "SetAttribute")
        std::snprintf(line, sizeof line, "SetAttribute 0x%02llX", (unsigned long long)e.Value);
      else if (e.Name == "EnableCursor")
        std::snprintf(line, sizeof line, "EnableCursor %llu", (unsigned long long)e.Value);
      else
        std::snprintf(line, sizeof line, "%s", e.Name.c_str());
    } else if (e.Kind == sim::TraceKind::Service && e.Name == "FreePool") {
      std::snprintf(line, sizeof line, "FreePool");
    } else if (e.Kind == sim::TraceKind::Service && e.Name == "Stall") {
      std::snprintf(line, sizeof line, "Stall %llu", (unsigned long long)e.Value);
    } else {
      continue;
    }
    log.emplace_back(line);
  }
  return log;
}

std::vector<std::string> Polls(size_t Count) { return std::vector<std::string>(Count, "ReadKeyStroke"); }

std::vector<std::string> Then(std::vector<std::string> First, const std::vector<std::string>& Rest) {
  First.insert(First.end(), Rest.begin(), Rest.end());
  return First;
}

class WlanPolicyTest : public ::testing::Test {
 protected:
  explicit WlanPolicyTest(sim::FirmwareOptions Options = {}, sim::PlatformOptions Board = {})
      : fw(Options), platform(fw, Board) {}

  void SetUp() override {
    fw.Config().AddFunction(kHostBridge);
    fw.Config().Set8(kHostBridge, 0x08, 0x04);
    AddRootPort(fw.Config(), kSlotRootPort, kSlotBus, kLinkBefore);
    AddRootPort(fw.Config(), kGraphicsPort, kGraphicsBus, kLinkBefore);
    AddPcieFunction(fw.Config(), {kGraphicsBus, 0, 0}, kLinkBefore);
    fw.Config().Set16(kLpcBridge, 0x48, 0x0481);
    platform.OptionCmos[0x4C] = 0x5A;
    platform.OptionCmos[0x4D] = 0xA5;
    platform.DefineRegister(kBoardControlPort, 1, 0x40);
  }

  // Runs the entry point; the trace then starts afresh unless the test looks at the entry.
  void StartDriver(bool KeepTrace = false) {
    sim::GlobalTrace().Clear();
    ASSERT_EQ(WlanSlotGuardEntry(fw.ImageHandle(), fw.SystemTable()), EFI_SUCCESS);
    if (!KeepTrace) sim::GlobalTrace().Clear();
  }

  // True when the notify returned, false when it reached its halt loop.
  bool SignalReadyToBoot() {
    try {
      EXPECT_EQ(fw.SignalGroup(sim::kReadyToBootGroupGuid), 1u);
      return true;
    } catch (const sim::HaltReached&) {
      return false;
    }
  }

  uint8_t Aspm(sim::PciLocation Where) { return LinkControlOf(fw.Config(), Where) & 3; }

  sim::Firmware fw;
  sim::Platform platform;
  sim::SetupDataFixture record;
};

// ---- Entry point ----

struct ControlPortCase {
  uint8_t Before, After;
};

class EntryTest : public WlanPolicyTest, public ::testing::WithParamInterface<ControlPortCase> {};

TEST_P(EntryTest, HooksReadyToBootThenSetsTheControlBitThenRegistersThePacks) {
  platform.DefineRegister(kBoardControlPort, 1, GetParam().Before);
  StartDriver(/*KeepTrace=*/true);
  EXPECT_EQ(platform.Register(kBoardControlPort, 1), GetParam().After);

  auto events = fw.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Type, uint32_t(EVT_NOTIFY_SIGNAL));
  EXPECT_EQ(events[0].Tpl, EFI_TPL(TPL_CALLBACK));
  EXPECT_TRUE(events[0].InGroup && sim::SameGuid(events[0].Group, sim::kReadyToBootGroupGuid));
  EXPECT_EQ(events[0].Notify, &OnReadyToBootWlan);
  EXPECT_EQ(events[0].Context, nullptr);
  ASSERT_EQ(fw.HiiPackages().size(), 1u);
  const EFI_GUID guid = interface_guids::kWlanStringPackage;
  EXPECT_TRUE(sim::SameGuid(fw.HiiPackages()[0].Guid, guid));
  EXPECT_EQ(fw.LiveAllocations(), 0u);

  // One read and one write of the control port, between the event and the registration.
  std::vector<std::string> steps;
  for (const auto& e : sim::GlobalTrace().Entries()) {
    if (e.Kind == sim::TraceKind::Service && (e.Name == "CreateEventEx" || e.Name == "NewPack"))
      steps.push_back(e.Name);
    if ((e.Kind == sim::TraceKind::PortRead || e.Kind == sim::TraceKind::PortWrite) &&
        e.Address == kBoardControlPort) {
      EXPECT_EQ(e.Route, sim::PortRoute::CpuIo);
      EXPECT_EQ(e.Width, 1u);
      steps.push_back(e.Kind == sim::TraceKind::PortRead ? "read" : "write " + std::to_string(e.Value));
    }
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"CreateEventEx", "read",
                                             "write " + std::to_string(GetParam().After), "NewPack"}));
  EXPECT_EQ(fw.StdErrText(), "wlan_slot_guard: entry: ready-to-boot event created (status 0), "
                             "board control port 50F enable bit set, string packs registered "
                             "(status 0)\r\n");
}

INSTANTIATE_TEST_SUITE_P(ControlPort, EntryTest,
                         ::testing::Values(ControlPortCase{0x00, 0x01}, ControlPortCase{0xA4, 0xA5},
                                           ControlPortCase{0xFF, 0xFF}));

TEST_F(WlanPolicyTest, AFailedControlPortReadWritesJustTheEnableBit) {
  fw.FailNthCall(sim::kCpuIoReadService, 1, EFI_DEVICE_ERROR);
  StartDriver();
  EXPECT_EQ(platform.Register(kBoardControlPort, 1), 0x01u);
}

TEST_F(WlanPolicyTest, EntrySucceedsWithoutCpuIoHiiOrEvent) {
  platform.UninstallCpuIo();
  fw.UninstallHii();
  fw.FailEveryCall("CreateEventEx", EFI_OUT_OF_RESOURCES);
  fw.InstallStatusCode();
  StartDriver();
  EXPECT_EQ(platform.Register(kBoardControlPort, 1), 0x40u) << "the control port is left alone";
  EXPECT_EQ(fw.LiveAllocations(), 0u);
  // The entry line says all three, through the status-code router only, from this module.
  EXPECT_EQ(fw.StdErrText(), "");
  ASSERT_EQ(fw.StatusCodes().size(), 1u);
  EXPECT_EQ(fw.StatusCodes()[0].CallerId, u"8B29DA19-1607-4A64-9B89-821AD27FF460");
  EXPECT_EQ(fw.StatusCodes()[0].Text,
            "wlan_slot_guard: entry: ready-to-boot event not created (status 8000000000000009), "
            "board control port 50F left for ready-to-boot (no CPU I/O), string packs not registered "
            "(status 800000000000000E)\n");
}

// ---- The ready-to-boot decision and the links it leaves ----

struct NotifyCase {
  const char* Name;
  std::optional<Card> Slot;
  uint8_t PegAspmOption;
  bool BootGoesOn;
  uint8_t SlotPortAspm, CardAspm, GraphicsAspm;  // 1: left as it was
};

// The driver started on a board that publishes its setup record.
class StartedGuardTest : public WlanPolicyTest {
 protected:
  void SetUp() override {
    WlanPolicyTest::SetUp();
    record.Publish(fw);
    StartDriver();
  }
};

class ReadyToBootTest : public StartedGuardTest, public ::testing::WithParamInterface<NotifyCase> {};

TEST_P(ReadyToBootTest, DecidesAndProgramsTheLinks) {
  const NotifyCase& c = GetParam();
  if (c.Slot) AddCard(fw.Config(), kSlotBus, *c.Slot, kLinkBefore);
  record.Record[interface_constants::kPegAspmOption] = c.PegAspmOption;

  EXPECT_EQ(SignalReadyToBoot(), c.BootGoesOn);

  EXPECT_EQ(Aspm(kSlotRootPort), c.SlotPortAspm);
  if (c.Slot) EXPECT_EQ(Aspm({kSlotBus, 0, 0}), c.CardAspm);
  EXPECT_EQ(Aspm(kGraphicsPort), c.GraphicsAspm);
  EXPECT_EQ(Aspm({kGraphicsBus, 0, 0}), c.GraphicsAspm);
  for (sim::PciLocation where : {kSlotRootPort, kGraphicsPort, sim::PciLocation{kGraphicsBus, 0, 0}})
    EXPECT_EQ(LinkControlOf(fw.Config(), where) & 0xFC, kLinkBefore & 0xFC);
  EXPECT_EQ(fw.LiveAllocations(), 0u) << fw.DescribeLiveBlocks();
  EXPECT_EQ(platform.EcRegisters[kEcRadioRegister] & 0x40, 0);

  // The decision lines: the row matched (RowN is row N-1) and the values it writes, or
  // "unlisted"; then the graphics port's value from the option, written to both ends.
  const std::string log = fw.StdErrText();
  if (std::string(c.Name).starts_with("Row"))
    EXPECT_THAT(log, HasSubstr(Printf("allow-list row %c, ASPM root port %X card %X\r\n",
                                      c.Name[3] - 1, c.SlotPortAspm, c.CardAspm)));
  if (c.SlotPortAspm != 1)
    EXPECT_THAT(log, HasSubstr(Printf("wlan_slot_guard: %02X:00.0: link control [", kSlotBus)));
  if (!c.BootGoesOn) {
    EXPECT_THAT(log, HasSubstr(Printf("chip %08X subsystem %08X: unlisted, boot stops\r\n",
                                      c.Slot->Id, c.Slot->Subsystem)));
    return;
  }
  EXPECT_THAT(log, HasSubstr(Printf("graphics port 00:01.0: ASPM %X from PegAspmOption %02X\r\n",
                                    c.GraphicsAspm, c.PegAspmOption)));
  EXPECT_TRUE(log.ends_with(Printf("wlan_slot_guard: %02X:00.0: link control [%02X] %02X -> %02X "
                                   "(ASPM %X)\r\n",
                                   kGraphicsBus, kLinkControl, kLinkBefore,
                                   (kLinkBefore & 0xFC) | c.GraphicsAspm, c.GraphicsAspm)))
      << log;
}

Card Listed(uint32_t Chip, uint16_t Subsystem) { return Card{Chip, 0x0280, uint32_t(Subsystem) << 16 | 0x7E1D}; }

INSTANTIATE_TEST_SUITE_P(
    Slots, ReadyToBootTest,
    ::testing::Values(
        NotifyCase{"EmptySlotGraphicsOff", std::nullopt, 0, true, 1, 1, 0},
        NotifyCase{"EmptySlotGraphicsOn", std::nullopt, 1, true, 1, 1, 3},
        NotifyCase{"EmptySlotOptionTwoIsOff", std::nullopt, 2, true, 1, 1, 0},
        NotifyCase{"Row1", Listed(0x431514E4, 0x0E51), 0, true, 3, 3, 0},
        NotifyCase{"Row2", Listed(0x431514E4, 0x0E52), 1, true, 3, 3, 3},
        NotifyCase{"Row3", Listed(0x435314E4, 0x0E53), 0, true, 3, 3, 0},
        NotifyCase{"Row4", Listed(0x435314E4, 0x0E54), 0, true, 3, 3, 0},
        NotifyCase{"Row5", Listed(0x431514E4, 0x0E55), 0, true, 3, 3, 0},
        NotifyCase{"Row6", Listed(0x002A168C, 0x0E56), 1, true, 2, 2, 3},
        NotifyCase{"Row7", Listed(0x002A168C, 0x0E57), 0, true, 2, 2, 0},
        NotifyCase{"ListedIdsOnAnEthernetController", Card{0x002A168C, 0x0200, 0x0E577E1D}, 0, true, 2, 2, 0},
        NotifyCase{"ChipOfOneRowSubsystemOfAnother", Listed(0x431514E4, 0x0E56), 1, false, 1, 1, 1},
        NotifyCase{"ListedSubsystemOtherChip", Listed(0x432914E4, 0x0E51), 0, false, 1, 1, 1},
        NotifyCase{"UnlistedEthernetController", kUnlistedEthernet, 1, false, 1, 1, 1},
        NotifyCase{"ListedChipSubsystemReadsAllOnes", Card{0x431514E4, 0x0280, 0xFFFFFFFF}, 1, false, 1, 1, 1},
        NotifyCase{"UnlistedDisplayControllerReadsAsEmpty", Card{0x01111234, 0x0300, 0}, 1, true, 1, 1, 3}),
    [](const auto& info) { return std::string(info.param.Name); });

// The allow-list as a platform build patches it into the image: the count bounds the search, and
// a count above the 16 rows the image reserves searches those 16 and nothing past them. A row
// whose chip vendor no card has matches nothing, a row's ASPM values reach Link Control through
// bits 1:0 only, and a value GenFds writes past the list's 160 bytes (a DSC naming a larger
// size) gives the 7 shipped rows.
struct PatchedListCase {
  const char* Name;
  uint8_t Count;
  UINTN Rows;         // searched
  bool Listed;        // the card, whose IDs rows 8 to Written hold, passes
  Card Slot = kUnlistedEthernet;
  uint8_t Written = 8;
  uint8_t RootPortAspm = 2, CardAspm = 3;  // in the rows written
  uint8_t RootPortSet = 2, CardSet = 3;    // in Link Control when the card passes
};

class PatchedListTest : public StartedGuardTest, public ::testing::WithParamInterface<PatchedListCase> {
 protected:
  static volatile uint8_t* Image() { return reinterpret_cast<volatile uint8_t*>(&_gPcd_BinaryPatch_PcdWlanAllowList); }
  void SetUp() override {
    StartedGuardTest::SetUp();
    for (size_t i = 0; i < sizeof(Saved); ++i) Saved[i] = Image()[i];
  }
  void TearDown() override {
    for (size_t i = 0; i < sizeof(Saved); ++i) Image()[i] = Saved[i];
    _gPcd_BinaryPatch_PcdWlanAllowListCount = 7;
    LoadWlanAllowList();
  }
  uint8_t Saved[sizeof(_gPcd_BinaryPatch_PcdWlanAllowList)];
};

TEST_P(PatchedListTest, IsReadFromTheImageAndNeverPastItsStorage) {
  const PatchedListCase& c = GetParam();
  _gPcd_BinaryPatch_PcdWlanAllowListCount = c.Count;
  volatile WlanAllowEntry* rows = reinterpret_cast<volatile WlanAllowEntry*>(Image());
  for (int row = 7; row < c.Written; ++row) {
    rows[row].ChipId = c.Slot.Id;
    rows[row].SubsystemId = c.Slot.Subsystem;
    rows[row].RootPortAspm = c.RootPortAspm;
    rows[row].CardAspm = c.CardAspm;
  }
  LoadWlanAllowList();
  EXPECT_EQ(WlanAllowListRows(), c.Rows);
  AddCard(fw.Config(), kSlotBus, c.Slot, kLinkBefore);
  EXPECT_EQ(SignalReadyToBoot(), c.Listed);
  EXPECT_EQ(Aspm(kSlotRootPort), c.Listed ? c.RootPortSet : 1);
  EXPECT_EQ(Aspm({kSlotBus, 0, 0}), c.Listed ? c.CardSet : 1);
  for (sim::PciLocation where : {kSlotRootPort, sim::PciLocation{kSlotBus, 0, 0}})
    EXPECT_EQ(LinkControlOf(fw.Config(), where) & 0xFC, kLinkBefore & 0xFC);
}

INSTANTIATE_TEST_SUITE_P(
    Image, PatchedListTest,
    ::testing::Values(PatchedListCase{"CountOfTheDefaults", 7, 7, false},
                      PatchedListCase{"OneMore", 8, 8, true},
                      PatchedListCase{"FullStorage", 16, 16, true},
                      PatchedListCase{"CountPastTheStorageIsClamped", 17, 16, true},
                      PatchedListCase{"LargestCountIsClamped", 255, 16, true},
                      PatchedListCase{.Name = "AspmThroughBits1To0Only", .Count = 8, .Rows = 8, .Listed = true,
                                      .RootPortAspm = 0xFF, .CardAspm = 0xFE, .RootPortSet = 3, .CardSet = 2},
                      PatchedListCase{.Name = "ZeroRowsInTheCountMatchNothing", .Count = 16, .Rows = 16,
                                      .Listed = false, .Slot = Card{0, 0x0280, 0}, .Written = 0},
                      PatchedListCase{.Name = "ChipVendorAllOnesMatchesNothing", .Count = 8, .Rows = 8,
                                      .Listed = false, .Slot = Card{0x4315FFFF, 0x0280, 0x0E517E1D}},
                      PatchedListCase{.Name = "ValuePastTheEndMarkerGivesTheShippedRows", .Count = 17,
                                      .Rows = 7, .Listed = false, .Written = 17}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(StartedGuardTest, TheCardIsRecordedInThePublishedRecord) {
  AddCard(fw.Config(), kSlotBus, Listed(0x435314E4, 0x0E54), kLinkBefore);
  EXPECT_TRUE(SignalReadyToBoot());
  EXPECT_EQ(record.Record[interface_constants::kWlanSlotFlags], 0x11);
  EXPECT_EQ(record.Dword(interface_constants::kWlanChipId), 0x435314E4u);
  EXPECT_EQ(record.Dword(interface_constants::kWlanSubsystemId), 0x0E547E1Du);
}

TEST_F(StartedGuardTest, MatchingReadsTheRecordNotTheSlot) {
  record.Fields()->WlanChipId = 0x002A168C;
  record.Fields()->WlanSubsystemId = 0x0E567E1D;
  EXPECT_TRUE(MatchWlanAllowList(record.Fields()));
  EXPECT_EQ(Aspm(kSlotRootPort), 2);
  record.Fields()->WlanSubsystemId = 0x0E587E1D;
  EXPECT_FALSE(MatchWlanAllowList(record.Fields()));
}

// ---- The halt screen ----

struct HaltCase {
  const char* Name;
  bool FailFirstString;
  bool NoConOut;
  bool NoConIn;
  std::vector<std::string> Log;  // before the key polls
  std::u16string Text;
};

class HaltScreenTest : public StartedGuardTest, public ::testing::WithParamInterface<HaltCase> {};

TEST_P(HaltScreenTest, BeepsWritesTheLinesItHasThenNeverReturns) {
  const HaltCase& c = GetParam();
  AddCard(fw.Config(), kSlotBus, kUnlistedEthernet, kLinkBefore);
  if (c.FailFirstString) fw.FailNthCall("GetString", 1, EFI_DEVICE_ERROR);
  if (c.NoConOut) fw.SystemTable()->ConOut = nullptr;
  if (c.NoConIn) fw.SystemTable()->ConIn = nullptr;
  fw.QueueKey(u'x');
  fw.QueueKey(u'\r');
  sim::SetHaltPassLimit(6);

  EXPECT_FALSE(SignalReadyToBoot());

  EXPECT_EQ(HaltLog(), Then(c.Log, Polls(c.NoConIn ? 0 : 6)));
  EXPECT_EQ(sim::HaltPasses(), 6u);
  EXPECT_EQ(fw.ConsoleText(), c.Text);
  if (!c.FailFirstString && !c.NoConOut) {
    EXPECT_EQ(fw.ScreenRow(0), kEnglishLine1);
    EXPECT_EQ(fw.ScreenRow(1), kEnglishLine2);
    EXPECT_EQ(fw.ConsoleMode().Attribute, 0x0F);
    EXPECT_FALSE(fw.ConsoleMode().CursorVisible);
  }
  EXPECT_EQ(fw.QueuedKeys(), c.NoConIn ? 2u : 0u) << "keys are read and ignored";
  EXPECT_EQ(fw.LiveAllocations(), 0u) << fw.DescribeLiveBlocks();
  EXPECT_EQ(platform.Pit2.Divisor, 0x0555);
  EXPECT_FALSE(platform.SpeakerSounding());
}

const std::vector<std::string> kBothLines{
    "Stall 62000", "EnableCursor 0", "SetAttribute 0x0F", "SetCursorPosition 0,0", "OutputString",
    "SetCursorPosition 0,1", "OutputString", "FreePool", "FreePool"};

INSTANTIATE_TEST_SUITE_P(
    Consoles, HaltScreenTest,
    ::testing::Values(
        HaltCase{"BothLines", false, false, false, kBothLines,
                 std::u16string(kEnglishLine1) + kEnglishLine2},
        // GetString frees its own buffer when it fails: that is the first FreePool.
        HaltCase{"ALineThatCannotBeRetrievedIsLeftOut", true, false, false,
                 {"Stall 62000", "EnableCursor 0", "SetAttribute 0x0F", "FreePool",
                  "SetCursorPosition 0,0", "SetCursorPosition 0,1", "OutputString", "FreePool"},
                 kEnglishLine2},
        HaltCase{"NoConOut", false, true, false, {"Stall 62000", "FreePool", "FreePool"}, u""},
        HaltCase{"NoConIn", false, false, true, kBothLines,
                 std::u16string(kEnglishLine1) + kEnglishLine2}),
    [](const auto& info) { return std::string(info.param.Name); });

struct LanguageCase {
  const char* Lang;  // nullptr: no "Lang" variable
  const char16_t* Line1;
  const char16_t* Line2;
};

class HaltLanguageTest : public StartedGuardTest, public ::testing::WithParamInterface<LanguageCase> {};

TEST_P(HaltLanguageTest, ShowsBothLinesOfTheCurrentLanguage) {
  if (GetParam().Lang != nullptr) {
    std::string lang = GetParam().Lang;
    fw.SetVariable("Lang", std::vector<uint8_t>(lang.begin(), lang.end()));
  }
  AddCard(fw.Config(), kSlotBus, kUnlistedEthernet, kLinkBefore);
  EXPECT_FALSE(SignalReadyToBoot());
  EXPECT_EQ(fw.ConsoleText(), std::u16string(GetParam().Line1) + GetParam().Line2);
}

INSTANTIATE_TEST_SUITE_P(
    Languages, HaltLanguageTest,
    ::testing::Values(
        LanguageCase{"eng", kEnglishLine1, kEnglishLine2},
        LanguageCase{"fra", u"104-Détection d'un périphérique réseau sans fil non pris en charge.",
                     u"Système interrompu. Retirer le périphérique et redémarrer."},
        LanguageCase{"spa", u"104-Se ha detectado un dispositivo de red inalámbrica no compatible.",
                     u"El sistema se ha detenido. Extraiga el dispositivo y reinicie el sistema."},
        LanguageCase{"chn", u"104-\uFFF1偵測到不支援的無線網路裝置\uFFF0(WLAN)",
                     u"\uFFF1已停止系統. 請移除此裝置並重新啟動\uFFF0"},
        LanguageCase{"deu", kEnglishLine1, kEnglishLine2},
        LanguageCase{nullptr, kEnglishLine1, kEnglishLine2}),
    [](const auto& info) { return std::string(info.param.Lang ? info.param.Lang : "unset"); });

TEST(WlanStringPacksTest, FourLanguagesWithTheirNamesEnglishFirst) {
  auto packs = packtest::WalkPackList(gWlanStringPacks.Bytes, sizeof(gWlanStringPacks.Bytes));
  ASSERT_EQ(packs.size(), 4u);
  const char16_t* codes[] = {u"eng", u"fra", u"spa", u"chn"};
  const char16_t* names[] = {u"English", u"Français", u"español", u"\uFFF1中文"};
  for (size_t i = 0; i < packs.size(); ++i) {
    ASSERT_EQ(packs[i].Tokens.size(), 4u);
    EXPECT_EQ(packs[i].Tokens[0], codes[i]);
    EXPECT_EQ(packs[i].Tokens[1], names[i]);
  }
}

// ---- Without the setup record, without the root bridge ----

struct MissingRecordCase {
  const char* Name;
  bool Installed;  // installed, but without a record
};

class NoSetupRecordTest : public WlanPolicyTest, public ::testing::WithParamInterface<MissingRecordCase> {
 protected:
  void SetUp() override {
    WlanPolicyTest::SetUp();
    if (GetParam().Installed) {
      record.Interface.Record = nullptr;
      record.Publish(fw);
    }
    StartDriver();
    // Graphics link left in L0s and L1 by an earlier boot: with no record the option reads 0.
    fw.Config().Set8(kGraphicsPort, kLinkControl, 0x43);
  }
};

TEST_P(NoSetupRecordTest, AListedCardIsStillProgrammedAndTheGraphicsLinkTurnedOff) {
  AddCard(fw.Config(), kSlotBus, Listed(0x431514E4, 0x0E51), kLinkBefore);
  EXPECT_TRUE(SignalReadyToBoot());
  EXPECT_EQ(Aspm(kSlotRootPort), 3);
  EXPECT_EQ(Aspm(kGraphicsPort), 0);
  EXPECT_EQ(fw.HandlesWith(kSetupDataGuid).size(), GetParam().Installed ? 1u : 0u)
      << "nothing is published";
}

TEST_P(NoSetupRecordTest, AnUnlistedCardStillStopsTheBoot) {
  AddCard(fw.Config(), kSlotBus, kUnlistedEthernet, kLinkBefore);
  EXPECT_FALSE(SignalReadyToBoot());
  EXPECT_EQ(fw.ScreenRow(0), kEnglishLine1);
}

INSTANTIATE_TEST_SUITE_P(Setups, NoSetupRecordTest,
                         ::testing::Values(MissingRecordCase{"ProtocolAbsent", false},
                                           MissingRecordCase{"ProtocolWithoutRecord", true}),
                         [](const auto& info) { return std::string(info.param.Name); });

class NoRootBridgePolicyTest : public WlanPolicyTest {
 protected:
  NoRootBridgePolicyTest() : WlanPolicyTest(sim::FirmwareOptions{.InstallRootBridge = false}) {}
  void SetUp() override {
    WlanPolicyTest::SetUp();
    record.Publish(fw);
    StartDriver();
  }
};

TEST_F(NoRootBridgePolicyTest, TheSlotReadsEmptyTheBootGoesOnAndTheOtherUpdatesHappen) {
  AddCard(fw.Config(), kSlotBus, kUnlistedEthernet, kLinkBefore);
  record.Record[interface_constants::kPegAspmOption] = 1;
  platform.EcRegisters[kEcRadioRegister] = 0xFF;
  EXPECT_TRUE(SignalReadyToBoot());
  EXPECT_EQ(record.Fields()->WlanSlotFlags & WLAN_SLOT_FLAG_CARD_PRESENT, 0);
  EXPECT_EQ(platform.EcRegisters[kEcRadioRegister], 0xBF);
  EXPECT_EQ(Aspm(kGraphicsPort), 3);
  EXPECT_EQ(Aspm({kSlotBus, 0, 0}), 1);
}

// CPU I/O and HII installed after the entry, or never: each ready-to-boot run (two here) finds
// the bit set and the packs registered by the first, which did it before judging the card.
struct LateCase { const char* Name; bool CpuIoLater, HiiLater, Unlisted; };
class LateProtocolsTest : public WlanPolicyTest, public ::testing::WithParamInterface<LateCase> {};

TEST_P(LateProtocolsTest, TheNotifyDoesOnceWhatTheEntryCouldNot) {
  const LateCase& c = GetParam();
  platform.UninstallCpuIo();
  fw.UninstallHii();
  record.Publish(fw);
  // The radio option (high) matches the level's bit 28: only a level decided without the option
  // (read as 0 for want of CPU I/O) would change it.
  platform.OptionCmos[0x49] = 0x0F;
  platform.DefineRegister(kGpioLevelPort, 4, 0x10000001);
  StartDriver(/*KeepTrace=*/true);
  if (c.CpuIoLater) platform.InstallCpuIo();
  if (c.HiiLater) fw.InstallHii();
  AddCard(fw.Config(), kSlotBus, c.Unlisted ? kUnlistedEthernet : Listed(0x431514E4, 0x0E51), kLinkBefore);
  for (int run = 0; run < 2; ++run) EXPECT_EQ(SignalReadyToBoot(), !c.Unlisted);
  size_t accesses = 0;  // of the control port, by any route: CPU I/O's read and write only
  size_t cpuIoWrites = 0;  // to the CMOS pair, the speaker and the timer, by any route
  for (const auto& e : sim::GlobalTrace().Entries()) {
    if ((e.Kind == sim::TraceKind::PortRead || e.Kind == sim::TraceKind::PortWrite) && e.Address == kBoardControlPort)
      accesses += e.Route == sim::PortRoute::CpuIo ? 1 : 100;
    if (e.Kind == sim::TraceKind::PortWrite && (e.Address == 0x61 || (e.Address >= 0x42 && e.Address <= 0x43) ||
                                                (e.Address >= 0x72 && e.Address <= 0x73)))
      ++cpuIoWrites;
  }
  EXPECT_EQ(accesses, c.CpuIoLater ? 2u : 0u);
  EXPECT_EQ(cpuIoWrites > 0, c.CpuIoLater) << "without CPU I/O nothing it would have read decides a write";
  EXPECT_EQ(platform.Register(kBoardControlPort, 1), c.CpuIoLater ? 0x41u : 0x40u);
  EXPECT_EQ(fw.CallCount("NewPack"), c.HiiLater ? 1u : 0u);
  EXPECT_EQ(fw.ScreenRow(0), c.Unlisted && c.HiiLater ? kEnglishLine1 : u"");
  EXPECT_EQ(platform.Register(kGpioLevelPort, 4), 0x10000001u);
}

INSTANTIATE_TEST_SUITE_P(Dispatch, LateProtocolsTest,
                         ::testing::Values(LateCase{"BothLaterListedCard", true, true, false},
                                           LateCase{"BothLaterUnlistedCard", true, true, true},
                                           LateCase{"NeitherEverUnlistedCard", false, false, true}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
