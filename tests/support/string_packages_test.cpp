// Compile-time pack lists, their registration with the HII protocol, and message retrieval
// with its first 256-byte try and its retry.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "support/string_packages.h"

#include <gtest/gtest.h>

#include <array>

#include "tests/sim/firmware.h"
#include "tests/support/driver_state.h"
#include "tests/support/pack_walk.h"

namespace {

constexpr auto kLongLine = [] {
  std::array<char16_t, 201> text{};
  for (size_t i = 0; i + 1 < text.size(); ++i) text[i] = char16_t(u'A' + i % 26);
  return text;
}();

constexpr StringPackRow kRows[] = {
    {{u"eng", u"English", u"first line", kLongLine.data()}},
    {{u"fra", u"Français", u"première ligne", u"\uFFF1large\uFFF0"}},
};
constexpr auto kPacks = BuildStringPackList<StringPackListSize(kRows)>(kRows);
EFI_GUID gTestPackageGuid = {0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 6, 6, 7, 7}};

std::u16string Take(sim::Firmware& fw, CHAR16* Text) {
  if (Text == nullptr) return u"<null>";
  std::u16string out(reinterpret_cast<const char16_t*>(Text));
  fw.BootServices()->FreePool(Text);
  return out;
}

TEST(StringPackListTest, BuildsPacksTheDatabaseCanWalk) {
  auto packs = packtest::WalkPackList(kPacks.Bytes, sizeof(kPacks.Bytes));
  ASSERT_EQ(packs.size(), 2u);
  EXPECT_EQ(packs[0].Offset, 0u);
  EXPECT_EQ(packs[1].Offset, packs[0].Length);
  EXPECT_EQ(packs[0].Tokens, (std::vector<std::u16string>{u"eng", u"English", u"first line",
                                                           std::u16string(kLongLine.data())}));
  EXPECT_EQ(packs[1].Tokens[1], u"Français");
  EXPECT_EQ(packs[1].Tokens[3], u"\uFFF1large\uFFF0");
  // The fixed layout of these packs: four tokens, the code right after the offset table.
  for (const auto& pack : packs) {
    EXPECT_EQ(packtest::Read32(kPacks.Bytes, pack.Offset + 0x06), 0x26u);
    EXPECT_EQ(packtest::Read32(kPacks.Bytes, pack.Offset + 0x0A), 0x2Eu);
    EXPECT_EQ(packtest::Read32(kPacks.Bytes, pack.Offset + 0x0E), 4u);
  }
}

class StringPackagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fw.DeclareReadable(kPacks.Bytes, sizeof(kPacks.Bytes));
    InitDriverContext(fw.ImageHandle(), fw.SystemTable());
  }
  EFI_STATUS Register() { return RegisterStringPackages(&gTestPackageGuid, kPacks.Bytes); }
  sim::Firmware fw;
};

TEST_F(StringPackagesTest, PackagesBlockHoldsCountGuidAndPointersInOrder) {
  int first = 0, second = 0;
  EFI_HII_PACKAGES* block = BuildHiiPackages(2, &gTestPackageGuid, &first, &second);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->NumberOfPackages, 2u);
  EXPECT_EQ(block->GuidId, &gTestPackageGuid);
  auto** pointers = reinterpret_cast<void**>(block + 1);
  EXPECT_EQ(pointers[0], &first);
  EXPECT_EQ(pointers[1], &second);
  EXPECT_EQ(fw.LiveBlocks().at(0).Size, 16u + 2 * 8);
  fw.BootServices()->FreePool(block);
}

TEST_F(StringPackagesTest, RegistrationHandsTheWholeListToTheDatabaseAndFreesTheBlock) {
  ASSERT_EQ(Register(), EFI_SUCCESS);
  ASSERT_EQ(fw.HiiPackages().size(), 1u);
  const auto& list = fw.HiiPackages()[0];
  EXPECT_TRUE(sim::SameGuid(list.Guid, gTestPackageGuid));
  EXPECT_EQ(list.Packs.size(), 2u);
  EXPECT_EQ(list.Bytes.size(), sizeof(kPacks.Bytes));
  EXPECT_EQ(fw.LiveAllocations(), 0u);
}

TEST_F(StringPackagesTest, WithoutHiiRegistrationReturnsTheLocateStatusAndRetrievalGivesNull) {
  fw.UninstallHii();
  EXPECT_EQ(Register(), EFI_NOT_FOUND);
  EXPECT_EQ(GetHiiString(2), nullptr);
  EXPECT_EQ(fw.CallCount("AllocatePool"), 0u);
  EXPECT_EQ(fw.CallCount("GetString"), 0u);
  EXPECT_TRUE(StringPackagesPending()) << "a later registration is still to come";
  fw.InstallHii();
  EXPECT_EQ(Register(), EFI_SUCCESS);
  EXPECT_FALSE(StringPackagesPending());
}

TEST_F(StringPackagesTest, BlockAllocationFailureReportsOutOfResourcesWithoutNewPack) {
  fw.FailNthCall("AllocatePool", 1, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Register(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(fw.CallCount("NewPack"), 0u);
  EXPECT_EQ(fw.LiveAllocations(), 0u);
}

// A failed NewPack leaves the packs to one more registration, and no handle to retrieve with.
TEST_F(StringPackagesTest, NewPackFailureIsReturnedTheBlockFreedAndOneMoreTryLeft) {
  fw.FailEveryCall("NewPack", EFI_INVALID_PARAMETER);
  for (int Try = 1; Try <= 2; ++Try) {
    EXPECT_EQ(Register(), EFI_INVALID_PARAMETER);
    EXPECT_EQ(fw.LiveAllocations(), 0u);
    EXPECT_EQ(StringPackagesPending(), Try == 1);
  }
  EXPECT_EQ(GetHiiString(2), nullptr);
  EXPECT_EQ(fw.CallCount("GetString"), 0u);
}

TEST_F(StringPackagesTest, FirstTryUsesA256ByteBufferRawAndTheCurrentLanguage) {
  ASSERT_EQ(Register(), EFI_SUCCESS);
  std::vector<sim::GetStringCall> calls;
  fw.GetStringHook = [&](const sim::GetStringCall& call) {
    calls.push_back(call);
    return std::nullopt;
  };
  EXPECT_EQ(Take(fw, GetHiiString(2)), u"first line");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].BufferLength, 256u);
  EXPECT_TRUE(calls[0].Raw);
  EXPECT_FALSE(calls[0].Language.has_value());
  EXPECT_EQ(calls[0].Handle, fw.HiiPackages()[0].Handle);
  EXPECT_EQ(fw.LiveAllocations(), 0u);
}

TEST_F(StringPackagesTest, ControlCharactersComeBackAsStoredInTheChosenLanguage) {
  ASSERT_EQ(Register(), EFI_SUCCESS);
  fw.SetVariable("Lang", {'f', 'r', 'a'});
  EXPECT_EQ(Take(fw, GetHiiString(2)), u"première ligne");
  EXPECT_EQ(Take(fw, GetHiiString(3)), u"\uFFF1large\uFFF0");
}

// A string of more than 127 characters takes the retry, with the length the database asked
// for, and comes back whole; so it does with a database that writes only 16 bits of length.
TEST_F(StringPackagesTest, LongStringTakesTheRetryAndComesBackWhole) {
  for (bool length16 : {false, true}) {
    SCOPED_TRACE(length16 ? "16-bit length" : "UINTN length");
    fw.SetGetStringLength16(length16);
    ASSERT_EQ(Register(), EFI_SUCCESS);
    std::vector<uint64_t> lengths;
    fw.GetStringHook = [&](const sim::GetStringCall& call) {
      lengths.push_back(call.BufferLength);
      return std::nullopt;
    };
    EXPECT_EQ(Take(fw, GetHiiString(3)), std::u16string(kLongLine.data()));
    EXPECT_EQ(lengths, (std::vector<uint64_t>{256, 402}));
    EXPECT_EQ(fw.LiveAllocations(), 0u);
  }
}

// Every way retrieval can fail gives null and leaves no buffer behind.
struct RetrievalFailure {
  const char* Name;
  const char* Service;
  uint64_t Nth;
  STRING_REF Token;
};

class RetrievalFailureTest : public StringPackagesTest,
                             public ::testing::WithParamInterface<RetrievalFailure> {};

TEST_P(RetrievalFailureTest, GivesNullWithoutLeaking) {
  ASSERT_EQ(Register(), EFI_SUCCESS);
  fw.FailNthCall(GetParam().Service, GetParam().Nth, EFI_DEVICE_ERROR);
  EXPECT_EQ(GetHiiString(GetParam().Token), nullptr);
  EXPECT_EQ(fw.LiveAllocations(), 0u) << fw.DescribeLiveBlocks();
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RetrievalFailureTest,
    ::testing::Values(RetrievalFailure{"FirstBuffer", "AllocatePool", 1, 2},
                      RetrievalFailure{"FirstGetString", "GetString", 1, 2},
                      RetrievalFailure{"RetryBuffer", "AllocatePool", 2, 3},
                      RetrievalFailure{"RetryGetString", "GetString", 2, 3},
                      RetrievalFailure{"TokenOutOfRange", "none", 1, 7}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(StringPackagesTest, ARetryThatIsStillTooSmallDoesNotLoop) {
  ASSERT_EQ(Register(), EFI_SUCCESS);
  fw.GetStringHook = [](const sim::GetStringCall&) {
    return std::optional<sim::GetStringReply>(sim::GetStringReply{EFI_BUFFER_TOO_SMALL, 512, {}});
  };
  EXPECT_EQ(GetHiiString(2), nullptr);
  EXPECT_EQ(fw.CallCount("GetString"), 2u);
  EXPECT_EQ(fw.LiveAllocations(), 0u);
}

}  // namespace
