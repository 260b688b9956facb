// The wireless-WAN guard's compiled packs: walked as the HII database walks them, and every
// language's two halt lines retrieved through the driver's own registration.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "wwan_port_guard/wwan_strings.h"

#include <gtest/gtest.h>

#include "tests/sim/firmware.h"
#include "tests/support/driver_state.h"
#include "tests/support/pack_walk.h"
#include "wwan_port_guard/wwan_guard.h"
#include "tests/sim/interface_guids.h"

namespace {

TEST(WwanStringPacksTest, FourLowerCaseLanguagesWithEnglishFirst) {
  auto packs = packtest::WalkPackList(gWwanStringPacks.Bytes, sizeof(gWwanStringPacks.Bytes));
  ASSERT_EQ(packs.size(), 4u);
  const char16_t* codes[] = {u"eng", u"fra", u"spa", u"chn"};
  for (size_t i = 0; i < packs.size(); ++i) {
    ASSERT_EQ(packs[i].Tokens.size(), 4u);
    EXPECT_EQ(packs[i].Tokens[0], codes[i]);
    EXPECT_EQ(packs[i].Tokens[2].substr(0, 4), u"105-") << "pack " << i;
    EXPECT_EQ(packs[i].Tokens[3].substr(0, 2), u"\r\n") << "pack " << i;
  }
}

struct LanguageCase {
  const char* Lang;  // nullptr: no "Lang" variable
  const char16_t* Line1;
  const char16_t* Line2;
};

class WwanHaltLinesTest : public ::testing::TestWithParam<LanguageCase> {};

TEST_P(WwanHaltLinesTest, BothLinesOfTheCurrentLanguage) {
  sim::Firmware fw;
  if (GetParam().Lang != nullptr) {
    std::string lang = GetParam().Lang;
    fw.SetVariable("Lang", std::vector<uint8_t>(lang.begin(), lang.end()));
  }
  ASSERT_EQ(WwanPortGuardEntry(fw.ImageHandle(), fw.SystemTable()), EFI_SUCCESS);
  ASSERT_EQ(fw.HiiPackages().size(), 1u);
  const EFI_GUID guid = interface_guids::kWwanStringPackage;
  EXPECT_TRUE(sim::SameGuid(fw.HiiPackages()[0].Guid, guid));
  for (auto [token, expected] : {std::pair{WWAN_STRING_HALT_LINE_1, GetParam().Line1},
                                 std::pair{WWAN_STRING_HALT_LINE_2, GetParam().Line2}}) {
    CHAR16* line = GetHiiString(token);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(line)), expected);
    fw.BootServices()->FreePool(line);
  }
  EXPECT_EQ(fw.LiveAllocations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Languages, WwanHaltLinesTest,
    ::testing::Values(
        LanguageCase{"eng", u"105-Unsupported wireless broadband device detected.",
                     u"\r\nSystem Halted. Remove device and restart."},
        LanguageCase{"fra",
                     u"105-Détection d'un périphérique large bande sans fil non pris en charge.",
                     u"\r\nSystème interrompu. Retirer le périphérique et redémarrer."},
        LanguageCase{"spa",
                     u"105-Se ha detectado un dispositivo inalámbrico de banda ancha no compatible.",
                     u"\r\nEl sistema se ha detenido. Extraiga el dispositivo y reinicie el sistema."},
        LanguageCase{"chn", u"105-\uFFF1偵測到不支援的無線寛頻網路裝置\uFFF0(WWAN)",
                     u"\r\n\uFFF1已停止系統\uFFF0. \uFFF1請移除此裝置並重新啟動"},
        LanguageCase{"deu", u"105-Unsupported wireless broadband device detected.",
                     u"\r\nSystem Halted. Remove device and restart."},
        LanguageCase{nullptr, u"105-Unsupported wireless broadband device detected.",
                     u"\r\nSystem Halted. Remove device and restart."}),
    [](const auto& info) {
      return std::string(info.param.Lang ? info.param.Lang : "unset");
    });

}  // namespace
