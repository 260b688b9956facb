// The decision lines' formatter at its boundaries: widest and narrowest numbers, padding, the
// line's capacity, and formats that do not match their arguments; and their way out, with and
// without a standard-error console.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "support/debug_log.h"

#include <gtest/gtest.h>

#include "support/driver_context.h"
#include "tests/sim/firmware.h"
#include "tests/sim/interface_guids.h"
#include "tests/support/driver_state.h"

#include <string>
#include <vector>

namespace {

struct FormatCase {
  const char *Name;
  const char *Format;
  std::vector<DebugArg> Args;
  UINTN Capacity;
  std::u16string Expected;
};

class FormatDebugLineTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatDebugLineTest, WritesTheLineAndNothingPastItsCapacity) {
  const FormatCase &Case = GetParam();
  // Guard characters after the capacity: none may be written.
  std::vector<CHAR16> Buffer(Case.Capacity + 4, u'#');
  const UINTN Length =
      FormatDebugLine(Buffer.data(), Case.Capacity, Case.Format, Case.Args.data(), Case.Args.size());
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(Buffer.data()), Length),
            Case.Expected);
  EXPECT_EQ(Buffer[Length], 0);
  for (UINTN Index = Case.Capacity; Index < Buffer.size(); Index++) {
    EXPECT_EQ(Buffer[Index], u'#') << "written at " << Index;
  }
}

const DebugArg kZero = ToDebugArg(UINT64{0});
const DebugArg kAllOnes = ToDebugArg(~UINT64{0});

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatDebugLineTest,
    ::testing::Values(
        FormatCase{"Zero", "%x", {kZero}, 32, u"0"},
        FormatCase{"AllSixteenDigits", "%x", {kAllOnes}, 32, u"FFFFFFFFFFFFFFFF"},
        FormatCase{"PaddedToWidth", "%4x:%8x", {ToDebugArg(UINT8{0x1A}), kZero}, 32,
                   u"001A:00000000"},
        FormatCase{"WidthNeverCuts", "%2x", {ToDebugArg(UINT32{0x8086ABCD})}, 32, u"8086ABCD"},
        FormatCase{"Booleans", "%x%x", {ToDebugArg(true), ToDebugArg(false)}, 32, u"10"},
        FormatCase{"TextAndPercent", "%s 100%%", {ToDebugArg("unlisted")}, 32, u"unlisted 100%"},
        FormatCase{"NullText", "[%s]", {ToDebugArg(static_cast<const char *>(nullptr))}, 32,
                   u"[(null)]"},
        FormatCase{"MissingArgument", "%x %s", {kZero}, 32, u"0 ?"},
        FormatCase{"ArgumentOfTheOtherKind", "%x %s", {ToDebugArg("a"), kZero}, 32, u"? ?"},
        FormatCase{"UnknownConversionAndTrailingPercent", "%q%", {}, 32, u"%q%"},
        FormatCase{"CutAtTheCapacity", "%s", {ToDebugArg("abcdefgh")}, 5, u"abcd"},
        FormatCase{"OnlyTheTerminatorFits", "%x", {kAllOnes}, 1, u""}),
    [](const ::testing::TestParamInfo<FormatCase> &Info) { return Info.param.Name; });

// A standard-error console that keeps what it is given.
std::u16string gWritten;
EFI_STATUS EFIAPI KeepText(SIMPLE_TEXT_OUTPUT_INTERFACE *, CHAR16 *Text) {
  for (; *Text != 0; ++Text) gWritten.push_back(char16_t(*Text));
  return EFI_SUCCESS;
}

// The caller ID handed through: any GUID, written here from its text.
constexpr EFI_GUID kCaller = interface_guids::FromText("6BB22B2F-271D-4EF3-B1F3-5DE96DE97418");

TEST(EmitDebugLineTest, EndsEachLineWithCrLfEvenAtTheCapacityAndIsSilentWithoutAConsole) {
  SIMPLE_TEXT_OUTPUT_INTERFACE stdErr{};
  stdErr.OutputString = KeepText;
  EFI_SYSTEM_TABLE system{};
  DriverContext saved = gDriverContext;
  gDriverContext = {&system, nullptr, nullptr};
  gWritten.clear();
  const std::string longText(2 * DEBUG_LINE_CAPACITY, 'a');
  const DebugArg args[] = {ToDebugArg(longText.c_str())};
  EmitDebugLine(&kCaller, "%s", args, 1);  // no console: nothing is written, nothing breaks
  system.StdErr = &stdErr;
  EmitDebugLine(&kCaller, "%s", args, 1);
  gDriverContext = saved;
  EXPECT_EQ(gWritten, std::u16string(DEBUG_LINE_CAPACITY - 1, u'a') + u"\r\n");
}

// Where the firmware has a status-code router the line goes there, and only there: a debug code
// of a DXE boot-service driver from the caller, at DEBUG_INFO, whose debug record the handler
// prints after the call has returned (the router keeps only HeaderSize + Size bytes): the line,
// cut at the capacity, ending in LF, each % in it printed as it is; StdErr stays empty.
TEST(EmitDebugLineTest, ReportsTheLineAsAStatusCodeInsteadOfStdErrWhereTheRouterExists) {
  sim::Firmware fw;
  fw.InstallStatusCode();
  DriverContext saved = gDriverContext;
  InitDriverContext(fw.ImageHandle(), fw.SystemTable());
  const std::string longText(2 * DEBUG_LINE_CAPACITY, '%');
  const DebugArg args[] = {ToDebugArg(longText.c_str()), ToDebugArg(UINT8{0x5A}),
                           ToDebugArg("%s%x")};
  EmitDebugLine(&kCaller, "%s", args, 1);
  EmitDebugLine(&kCaller, "row %2x 100%%", args + 1, 1);
  EmitDebugLine(&kCaller, "[%s]", args + 2, 1);
  gDriverContext = saved;
  EXPECT_EQ(fw.StdErrText(), "");
  ASSERT_EQ(fw.StatusCodes().size(), 3u);
  for (const sim::StatusCodeReport &report : fw.StatusCodes()) {
    EXPECT_EQ(report.Type, 0x00000003u);   // EFI_DEBUG_CODE
    EXPECT_EQ(report.Value, 0x03050000u);  // software, DXE boot-service driver, unspecified
    EXPECT_EQ(report.Instance, 0u);
    EXPECT_EQ(report.CallerId, u"6BB22B2F-271D-4EF3-B1F3-5DE96DE97418");
    EXPECT_EQ(report.ErrorLevel, 0x40u);   // DEBUG_INFO
  }
  EXPECT_EQ(fw.StatusCodes()[0].Text, std::string(DEBUG_LINE_CAPACITY - 1, '%') + "\n");
  EXPECT_EQ(fw.StatusCodes()[1].Text, "row 5A 100%\n");
  EXPECT_EQ(fw.StatusCodes()[2].Text, "[%s%x]\n");
}

}  // namespace
