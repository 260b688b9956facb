// Every service call of the support library's routines failed in turn: registration reports the
// failure and registers nothing, retrieval hands back nothing (or, when only the release of the
// first buffer failed, the whole string), event creation and allocation report their failure.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <array>

#include "support/driver_context.h"
#include "support/setup_record.h"
#include "support/string_packages.h"
#include "tests/sim/platform_protocols.h"
#include "tests/support/driver_state.h"
#include "tests/sweep/fault_sweep.h"

namespace {

using sweep::Fault;
using sweep::Outcome;

constexpr auto kLongLine = [] {
  std::array<char16_t, 201> text{};
  for (size_t i = 0; i + 1 < text.size(); ++i) text[i] = char16_t(u'a' + i % 26);
  return text;
}();
constexpr StringPackRow kRows[] = {{{u"eng", u"English", u"first line", kLongLine.data()}}};
constexpr auto kPacks = BuildStringPackList<StringPackListSize(kRows)>(kRows);
EFI_GUID gPackageGuid = {0x5EE9A11B, 0x0C3D, 0x4E6F, {0x81, 0x2A, 0x3B, 0x4C, 0x5D, 0x6E, 0x7F, 0x80}};

struct SupportScene : sweep::Scene {
  explicit SupportScene(bool Registered = false) {
    InitDriverContext(Fw.ImageHandle(), Fw.SystemTable());
    Fw.DeclareReadable(kPacks.Bytes, sizeof kPacks.Bytes);
    if (Registered) EXPECT_EQ(RegisterStringPackages(&gPackageGuid, kPacks.Bytes), EFI_SUCCESS);
  }
  CHAR16* Text = nullptr;
  VOID* Block = nullptr;
  EFI_EVENT Event = nullptr;
  PlatformSetupRecord* Record = nullptr;
};

// Retrieval of Token: the string, or nothing when a call on the way failed. Only a failed
// release of the first (too small) buffer leaves the result whole.
sweep::Path Retrieval(const char* Name, STRING_REF Token, std::u16string Expected) {
  return sweep::MakePath<SupportScene>(
      Name, [] { return std::make_unique<SupportScene>(true); },
      [Token](SupportScene& S) {
        S.Text = GetHiiString(Token);
        return Outcome{};
      },
      [Expected](SupportScene& S, const Outcome&, const Fault& F) {
        if (F.Clean() || F.Is("FreePool")) {
          ASSERT_NE(S.Text, nullptr);
          EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(S.Text)), Expected);
        } else {
          EXPECT_EQ(S.Text, nullptr);
        }
        if (S.Text != nullptr) S.Fw.BootServices()->FreePool(S.Text);
      });
}

std::vector<sweep::Path> SupportPaths() {
  std::vector<sweep::Path> paths;
  paths.push_back(sweep::MakePath<SupportScene>(
      "RegisterStringPackages", [] { return std::make_unique<SupportScene>(); },
      [](SupportScene&) { return Outcome{false, RegisterStringPackages(&gPackageGuid, kPacks.Bytes)}; },
      [](SupportScene& S, const Outcome& O, const Fault& F) {
        // The release of the block after NewPack is the one call whose failure changes nothing.
        bool registered = F.Clean() || F.Is("FreePool");
        EXPECT_EQ(O.Status == EFI_SUCCESS, registered);
        EXPECT_EQ(S.Fw.HiiPackages().size(), registered ? 1u : 0u);
        if (F.Is("LocateProtocol") || F.Is("NewPack")) EXPECT_EQ(O.Status, sweep::kInjected);
      }));
  paths.push_back(Retrieval("GetHiiString, first try", 2, u"first line"));
  paths.push_back(Retrieval("GetHiiString, retry with the reported length", 3, kLongLine.data()));
  paths.push_back(sweep::MakePath<SupportScene>(
      "CreateReadyToBootEvent", [] { return std::make_unique<SupportScene>(); },
      [](SupportScene& S) { return Outcome{false, CreateReadyToBootEvent(TPL_CALLBACK, nullptr, nullptr, &S.Event)}; },
      [](SupportScene& S, const Outcome& O, const Fault& F) {
        EXPECT_EQ(O.Status, F.Clean() ? EFI_SUCCESS : sweep::kInjected);
        EXPECT_EQ(S.Fw.Events().size(), F.Clean() ? 1u : 0u);
      }));
  paths.push_back(sweep::MakePath<SupportScene>(
      "AllocateZeroBootPool", [] { return std::make_unique<SupportScene>(); },
      [](SupportScene& S) {
        S.Block = AllocateZeroBootPool(64);
        return Outcome{};
      },
      [](SupportScene& S, const Outcome&, const Fault& F) {
        EXPECT_EQ(S.Block != nullptr, F.Clean());
        // A failed allocation touches no memory.
        EXPECT_EQ(sweep::TracedCalls("SetMem", EFI_SUCCESS), F.Clean() ? 1u : 0u);
        if (S.Block != nullptr) S.Fw.BootServices()->FreePool(S.Block);
      }));
  paths.push_back(sweep::MakePath<SupportScene>(
      "LocatePlatformSetupRecord",
      [] {
        auto scene = std::make_unique<SupportScene>();
        static std::vector<uint8_t> record(0x400);
        static sim::SetupDataInterface setup{0, record.data()};
        scene->Fw.InstallProtocol(nullptr, sim::kSetupDataProtocolGuid, &setup);
        return scene;
      },
      [](SupportScene& S) { return Outcome{false, LocatePlatformSetupRecord(&S.Record)}; },
      [](SupportScene& S, const Outcome& O, const Fault& F) {
        EXPECT_EQ(O.Status, F.Clean() ? EFI_SUCCESS : sweep::kInjected);
        EXPECT_EQ(S.Record != nullptr, F.Clean());
      }));
  return paths;
}

TEST(FaultSweep, Support) { EXPECT_GT(sweep::SweepDriver("support", SupportPaths()), 0u); }

}  // namespace
