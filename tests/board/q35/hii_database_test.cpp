// The board's HII database against string-pack lists built byte by byte: the walk NewPack
// relies on, the language choice GetString makes and its buffer rules.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "board/q35/hii_database.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes &Out, size_t At, uint16_t Value) {
  Out[At] = Value & 0xFF;
  Out[At + 1] = Value >> 8;
}

void Put32(Bytes &Out, size_t At, uint32_t Value) {
  for (int Byte = 0; Byte < 4; Byte++) {
    Out[At + Byte] = (Value >> (8 * Byte)) & 0xFF;
  }
}

// One string pack: token 0 the language codes, token 1 a name, then the given strings, all
// packed without padding after the offset table.
Bytes Pack(const std::u16string &Codes, const std::vector<std::u16string> &Strings) {
  std::vector<std::u16string> Tokens = {Codes, u"Name"};
  Tokens.insert(Tokens.end(), Strings.begin(), Strings.end());
  const size_t Header = 22 + 4 * Tokens.size();
  size_t Length = Header;
  for (const auto &Token : Tokens) {
    Length += 2 * (Token.size() + 1);
  }
  Bytes Out(Length, 0);
  Put32(Out, 0, Length);
  Put16(Out, 4, EFI_HII_STRING_PACK_TYPE);
  Put32(Out, 0x0E, Tokens.size());
  size_t At = Header;
  for (size_t Token = 0; Token < Tokens.size(); Token++) {
    Put32(Out, 22 + 4 * Token, At);
    if (Token == 0) {
      Put32(Out, 0x06, At);
    } else if (Token == 1) {
      Put32(Out, 0x0A, At);
    }
    for (char16_t Character : Tokens[Token]) {
      Put16(Out, At, Character);
      At += 2;
    }
    At += 2;
  }
  return Out;
}

// Packs back to back, then the short terminator and the zero bytes a full header would span.
Bytes List(const std::vector<Bytes> &Packs) {
  Bytes Out;
  for (const auto &P : Packs) {
    Out.insert(Out.end(), P.begin(), P.end());
  }
  Bytes Terminator(22, 0);
  Put16(Terminator, 4, EFI_HII_STRING_PACK_TYPE);
  Out.insert(Out.end(), Terminator.begin(), Terminator.end());
  return Out;
}

std::u16string Read(const uint8_t *Pack, STRING_REF Token, BOOLEAN Raw = TRUE) {
  CHAR16 Buffer[128] = {};
  UINTN Length = sizeof(Buffer);
  EXPECT_EQ(board::ReadPackString(Pack, Token, Raw, &Length, Buffer), EFI_SUCCESS);
  return std::u16string(reinterpret_cast<const char16_t *>(Buffer));
}

const Bytes kEnglish = Pack(u"eng", {u"Halted.", u"\r\nRemove it."});
const Bytes kFrench = Pack(u"fra", {u"Arr\u00EAt\u00E9.", u"\r\nRetirer."});
const Bytes kSpanishCatalan = Pack(u"spacat", {u"Detenido.", u"\r\nRetire."});

TEST(BoardHiiMeasure, CountsEveryPackAndOneFullHeaderAtTheTerminator) {
  const Bytes L = List({kEnglish, kFrench, kSpanishCatalan});
  EXPECT_EQ(board::MeasureStringPackList(L.data()),
            kEnglish.size() + kFrench.size() + kSpanishCatalan.size() + 22);
}

struct MalformedCase {
  const char *Name;
  size_t Offset;  // within the second pack
  uint32_t Value;
  bool Wide;
};

class BoardHiiMalformedList : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(BoardHiiMalformedList, IsRejected) {
  Bytes Second = kFrench;
  if (GetParam().Wide) {
    Put32(Second, GetParam().Offset, GetParam().Value);
  } else {
    Put16(Second, GetParam().Offset, GetParam().Value);
  }
  const Bytes L = List({kEnglish, Second});
  EXPECT_EQ(board::MeasureStringPackList(L.data()), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Board, BoardHiiMalformedList,
    ::testing::Values(MalformedCase{"LengthShorterThanHeader", 0, 10, true},
                      MalformedCase{"NotAStringPack", 4, 3, false},
                      MalformedCase{"OffsetTableLongerThanPack", 0x0E, 0x1000, true},
                      MalformedCase{"LengthBeyondLimit", 0, 0x7FFFFFF0, true}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(BoardHiiMeasure, ListWithoutAnyPackIsRejected) {
  const Bytes L = List({});
  EXPECT_EQ(board::MeasureStringPackList(L.data()), 0u);
  EXPECT_EQ(board::MeasureStringPackList(nullptr), 0u);
}

struct LanguageCase {
  const char16_t *Language;  // null: no current language
  const char16_t *Expected;  // token 2 of the chosen pack
};

class BoardHiiSelect : public ::testing::TestWithParam<LanguageCase> {};

TEST_P(BoardHiiSelect, ChoosesByPrimaryOrSecondaryCodeElseTheFirstPack) {
  const Bytes L = List({kEnglish, kFrench, kSpanishCatalan});
  const auto *Language = reinterpret_cast<const CHAR16 *>(GetParam().Language);
  EXPECT_EQ(Read(board::SelectStringPack(L.data(), Language), 2), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Board, BoardHiiSelect,
                         ::testing::Values(LanguageCase{u"fra", u"Arr\u00EAt\u00E9."},
                                           LanguageCase{u"FrA", u"Arr\u00EAt\u00E9."},
                                           LanguageCase{u"cat", u"Detenido."},
                                           LanguageCase{u"spa", u"Detenido."},
                                           LanguageCase{u"deu", u"Halted."},
                                           LanguageCase{u"pac", u"Halted."},
                                           LanguageCase{nullptr, u"Halted."}));

TEST(BoardHiiRead, AnExactBufferIsEnoughAndTheLengthCountsTheNul) {
  const char16_t Expected[] = u"\r\nRemove it.";
  const UINTN Needed = sizeof(Expected);
  CHAR16 Buffer[64];
  UINTN Length = Needed;
  ASSERT_EQ(board::ReadPackString(kEnglish.data(), 3, TRUE, &Length, Buffer), EFI_SUCCESS);
  EXPECT_EQ(Length, Needed);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(Buffer)), Expected);
}

TEST(BoardHiiRead, AShortOrMissingBufferGetsTheNeededLengthAndNothingCopied) {
  const UINTN Needed = sizeof(u"Halted.");
  CHAR16 Buffer[64];
  Buffer[0] = 0x5A5A;
  UINTN Length = Needed - 1;
  EXPECT_EQ(board::ReadPackString(kEnglish.data(), 2, TRUE, &Length, Buffer),
            EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Length, Needed);
  EXPECT_EQ(Buffer[0], 0x5A5A);

  Length = 1000;
  EXPECT_EQ(board::ReadPackString(kEnglish.data(), 2, TRUE, &Length, nullptr),
            EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Length, Needed);
}

TEST(BoardHiiRead, GlyphWidthControlsStayWhenRawAndGoOtherwise) {
  const Bytes Chinese = Pack(u"chn", {u"105-\uFFF1\u4E2D\u6587\uFFF0(WWAN)\uFFF2"});
  EXPECT_EQ(Read(Chinese.data(), 2, TRUE), u"105-\uFFF1\u4E2D\u6587\uFFF0(WWAN)\uFFF2");

  CHAR16 Buffer[64];
  UINTN Length = sizeof(Buffer);
  ASSERT_EQ(board::ReadPackString(Chinese.data(), 2, FALSE, &Length, Buffer), EFI_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(Buffer)), u"105-\u4E2D\u6587(WWAN)");
  EXPECT_EQ(Length, sizeof(u"105-\u4E2D\u6587(WWAN)"));
}

TEST(BoardHiiRead, TokensThePackCannotResolveAreInvalid) {
  UINTN Length = 64;
  CHAR16 Buffer[32];
  for (STRING_REF Token : {STRING_REF{0}, STRING_REF{4}, STRING_REF{0xFFFF}}) {
    EXPECT_EQ(board::ReadPackString(kEnglish.data(), Token, TRUE, &Length, Buffer),
              EFI_INVALID_PARAMETER)
        << "token " << Token;
  }
}

TEST(BoardHiiRead, AStringThatRunsPastItsPackIsInvalid) {
  Bytes Broken = kEnglish;
  Put16(Broken, Broken.size() - 2, u'!');  // the last string loses its NUL
  UINTN Length = 64;
  CHAR16 Buffer[32];
  EXPECT_EQ(board::ReadPackString(Broken.data(), 3, TRUE, &Length, Buffer),
            EFI_INVALID_PARAMETER);

  Bytes Outside = kEnglish;
  Put32(Outside, 22 + 4 * 2, Outside.size());  // token 2 points past the pack
  EXPECT_EQ(board::ReadPackString(Outside.data(), 2, TRUE, &Length, Buffer),
            EFI_INVALID_PARAMETER);
}

struct VariableCase {
  const char *Value;
  UINTN Size;
  const char16_t *Language;  // null: no language
};

class BoardHiiLanguage : public ::testing::TestWithParam<VariableCase> {};

TEST_P(BoardHiiLanguage, AcceptsThreeLettersWithOrWithoutOneNul) {
  CHAR16 Language[3] = {};
  const bool Decoded = board::DecodeLanguageVariable(
      reinterpret_cast<const UINT8 *>(GetParam().Value), GetParam().Size, Language);
  if (GetParam().Language == nullptr) {
    EXPECT_FALSE(Decoded);
  } else {
    ASSERT_TRUE(Decoded);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(Language), 3),
              GetParam().Language);
  }
}

INSTANTIATE_TEST_SUITE_P(Board, BoardHiiLanguage,
                         ::testing::Values(VariableCase{"fra", 3, u"fra"},
                                           VariableCase{"eng\0", 4, u"eng"},
                                           VariableCase{"engx", 4, nullptr},
                                           VariableCase{"eng\0\0", 5, nullptr},
                                           VariableCase{"en\0\0", 4, nullptr},
                                           VariableCase{"en", 2, nullptr},
                                           VariableCase{"\xE9ng", 3, nullptr}));

}  // namespace
