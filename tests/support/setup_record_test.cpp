// The platform setup record as the outside component lays it out: each field lands at its byte
// offset with its width, little-endian, whatever the alignment, and the record is found through
// the setup-data protocol.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "support/setup_record.h"

#include <gtest/gtest.h>

#include "support/driver_context.h"
#include "tests/sim/firmware.h"
#include "tests/sim/platform_protocols.h"
#include "tests/support/driver_state.h"

namespace {

struct FieldCase {
  const char* Name;
  size_t Offset;  // as the publishing component defines it
  size_t Width;
  void (*Store)(PlatformSetupRecord&, uint32_t);
};
void PrintTo(const FieldCase& Case, std::ostream* Out) { *Out << Case.Name; }

class SetupRecordLayoutTest : public ::testing::TestWithParam<FieldCase> {};

TEST_P(SetupRecordLayoutTest, FieldWritesLandAtTheirOffsetLittleEndianAndNowhereElse) {
  const FieldCase& c = GetParam();
  std::vector<uint8_t> bytes(0x400, 0x5C);
  // One byte in, so that every dword field is misaligned.
  auto* record = reinterpret_cast<PlatformSetupRecord*>(bytes.data() + 1);
  c.Store(*record, 0x04030201);
  for (size_t i = 0; i < bytes.size(); ++i) {
    size_t at = i - 1;
    bool in_field = i >= 1 && at >= c.Offset && at < c.Offset + c.Width;
    EXPECT_EQ(bytes[i], in_field ? uint8_t(1 + at - c.Offset) : 0x5C)
        << "record byte 0x" << std::hex << at;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, SetupRecordLayoutTest,
    ::testing::Values(
        FieldCase{"PegAspmOption", 0x194, 1,
                  [](auto& r, uint32_t v) { r.PegAspmOption = UINT8(v); }},
        FieldCase{"LanPhyOption", 0x258, 1, [](auto& r, uint32_t v) { r.LanPhyOption = UINT8(v); }},
        FieldCase{"WlanSlotFlags", 0x38B, 1,
                  [](auto& r, uint32_t v) { r.WlanSlotFlags = UINT8(v); }},
        FieldCase{"WlanChipId", 0x38C, 4, [](auto& r, uint32_t v) { r.WlanChipId = v; }},
        FieldCase{"WlanSubsystemId", 0x390, 4, [](auto& r, uint32_t v) { r.WlanSubsystemId = v; }},
        FieldCase{"WlanStatusA", 0x39C, 1, [](auto& r, uint32_t v) { r.WlanStatusA = UINT8(v); }},
        FieldCase{"WlanStatusB", 0x39D, 1, [](auto& r, uint32_t v) { r.WlanStatusB = UINT8(v); }},
        FieldCase{"WlanStatusC", 0x39F, 1, [](auto& r, uint32_t v) { r.WlanStatusC = UINT8(v); }},
        FieldCase{"LanIsFastEthernet", 0x3A9, 1,
                  [](auto& r, uint32_t v) { r.LanIsFastEthernet = UINT8(v); }},
        FieldCase{"LanStationAddressLow", 0x3B4, 4,
                  [](auto& r, uint32_t v) { r.LanStationAddressLow = v; }},
        FieldCase{"LanStationAddressHigh", 0x3B8, 4,
                  [](auto& r, uint32_t v) { r.LanStationAddressHigh = v; }}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(LocatePlatformSetupRecordTest, HandsBackTheRecordThatTheProtocolPointsAt) {
  sim::Firmware fw;
  InitDriverContext(fw.ImageHandle(), fw.SystemTable());
  sim::SetupDataFixture setup(fw);
  PlatformSetupRecord* record = nullptr;
  ASSERT_EQ(LocatePlatformSetupRecord(&record), EFI_SUCCESS);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(record), setup.Record.data());
}

TEST(LocatePlatformSetupRecordTest, WithoutTheProtocolReturnsTheLocateStatusAndNoRecord) {
  sim::Firmware fw;
  InitDriverContext(fw.ImageHandle(), fw.SystemTable());
  PlatformSetupRecord* record = reinterpret_cast<PlatformSetupRecord*>(&fw);
  EXPECT_EQ(LocatePlatformSetupRecord(&record), EFI_NOT_FOUND);
  EXPECT_EQ(record, nullptr);
  sim::SetupDataFixture setup(fw);
  fw.FailNthCall("LocateProtocol", 1, EFI_DEVICE_ERROR);
  EXPECT_EQ(LocatePlatformSetupRecord(&record), EFI_DEVICE_ERROR);
  EXPECT_EQ(record, nullptr);
}

}  // namespace
