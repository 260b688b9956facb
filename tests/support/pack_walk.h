// Walks a compiled pack list with the project's one walker (support/string_pack_walk.h), the way
// the HII database walks it, checking every structural rule on the way, and hands back each
// pack's strings for the tests to compare.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/string_pack_walk.h"
#include "support/uefi.h"

namespace packtest {

struct WalkedPack {
  size_t Offset = 0;
  uint32_t Length = 0;
  std::vector<std::u16string> Tokens;
};

inline uint32_t Read32(const uint8_t* Bytes, size_t At) { return string_pack::Read32(Bytes + At); }
inline uint16_t Read16(const uint8_t* Bytes, size_t At) { return string_pack::Read16(Bytes + At); }

// Follows Length fields to the terminator. Fails the test on a pack that runs past the list, a
// header that is not a string pack, an offset outside its pack, a string without a NUL inside
// its pack, or a terminator without 22 readable bytes.
inline std::vector<WalkedPack> WalkPackList(const uint8_t* Bytes, size_t Size) {
  std::vector<WalkedPack> packs;
  size_t end = 0;
  const bool walked = string_pack::WalkStringPackList(
      Bytes,
      [&](size_t At) {
        if (At + sizeof(EFI_HII_STRING_PACK) > Size) {
          ADD_FAILURE() << "a whole string-pack header is not readable at offset " << At;
          return false;
        }
        EXPECT_EQ(string_pack::Type(Bytes + At), EFI_HII_STRING_PACK_TYPE) << "pack at " << At;
        return true;
      },
      [&](size_t At, uint32_t Length) {
        if (Length < sizeof(EFI_HII_STRING_PACK) || At + Length > Size) {
          ADD_FAILURE() << "pack at " << At << " claims " << Length << " bytes";
          return false;
        }
        const uint8_t* pack_bytes = Bytes + At;
        WalkedPack pack{At, Length, {}};
        const uint32_t count = string_pack::TokenCount(pack_bytes);
        EXPECT_EQ(string_pack::Attributes(pack_bytes), 0u) << "attributes";
        for (uint32_t token = 0; token < count; ++token) {
          if (string_pack::TokenSlot(token) + 4 > Length) {
            ADD_FAILURE() << "offset table of pack " << At << " runs out of the pack";
            break;
          }
          const size_t offset = string_pack::StringOffset(pack_bytes, token);
          size_t characters = 0;
          const bool ended = string_pack::StringCharacters(pack_bytes, offset, Length, &characters);
          std::u16string text;
          const size_t readable = ended ? characters : (Length > offset ? (Length - offset) / 2 : 0);
          for (size_t i = 0; i < readable; ++i)
            text.push_back(char16_t(Read16(pack_bytes, offset + 2 * i)));
          EXPECT_TRUE(ended) << "token " << token << " of pack " << At << " has no NUL in the pack";
          pack.Tokens.push_back(text);
        }
        if (!pack.Tokens.empty()) {
          EXPECT_EQ(string_pack::LanguageOffset(pack_bytes), string_pack::StringOffset(pack_bytes, 0))
              << "language code offset is token 0's";
        }
        if (pack.Tokens.size() > 1) {
          EXPECT_EQ(string_pack::PrintableNameOffset(pack_bytes),
                    string_pack::StringOffset(pack_bytes, 1))
              << "printable name offset is token 1's";
        }
        packs.push_back(pack);
        return true;
      },
      &end);
  if (!walked) return packs;
  for (size_t i = 6; i < sizeof(EFI_HII_STRING_PACK); ++i)
    EXPECT_EQ(Bytes[end + i], 0) << "terminator byte " << i;
  EXPECT_EQ(end + sizeof(EFI_HII_STRING_PACK), Size) << "bytes after the terminator";
  return packs;
}

}  // namespace packtest
