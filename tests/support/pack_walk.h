// Walks a compiled pack list the way the HII database walks it, checking every structural rule
// on the way, and hands back each pack's strings for the tests to compare.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/uefi.h"

namespace packtest {

struct WalkedPack {
  size_t Offset = 0;
  uint32_t Length = 0;
  std::vector<std::u16string> Tokens;
};

inline uint32_t Read32(const uint8_t* Bytes, size_t At) {
  uint32_t v;
  std::memcpy(&v, Bytes + At, 4);
  return v;
}
inline uint16_t Read16(const uint8_t* Bytes, size_t At) {
  uint16_t v;
  std::memcpy(&v, Bytes + At, 2);
  return v;
}

// Follows Length fields to the terminator. Fails the test on a pack that runs past the list, a
// header that is not a string pack, an offset outside its pack, a string without a NUL inside
// its pack, or a terminator without 22 readable bytes.
inline std::vector<WalkedPack> WalkPackList(const uint8_t* Bytes, size_t Size) {
  std::vector<WalkedPack> packs;
  size_t at = 0;
  for (;;) {
    if (at + sizeof(EFI_HII_STRING_PACK) > Size) {
      ADD_FAILURE() << "a whole string-pack header is not readable at offset " << at;
      return packs;
    }
    const uint32_t length = Read32(Bytes, at);
    EXPECT_EQ(Read16(Bytes, at + 4), EFI_HII_STRING_PACK_TYPE) << "pack at " << at;
    if (length == 0) {
      for (size_t i = 6; i < sizeof(EFI_HII_STRING_PACK); ++i)
        EXPECT_EQ(Bytes[at + i], 0) << "terminator byte " << i;
      EXPECT_EQ(at + sizeof(EFI_HII_STRING_PACK), Size) << "bytes after the terminator";
      return packs;
    }
    if (length < sizeof(EFI_HII_STRING_PACK) || at + length > Size) {
      ADD_FAILURE() << "pack at " << at << " claims " << length << " bytes";
      return packs;
    }
    WalkedPack pack{at, length, {}};
    const uint32_t count = Read32(Bytes, at + 0x0E);
    EXPECT_EQ(Read32(Bytes, at + 0x12), 0u) << "attributes";
    for (uint32_t token = 0; token < count; ++token) {
      const size_t table = sizeof(EFI_HII_STRING_PACK) + 4 * token;
      if (table + 4 > length) {
        ADD_FAILURE() << "offset table of pack " << at << " runs out of the pack";
        break;
      }
      size_t offset = Read32(Bytes, at + table);
      std::u16string text;
      bool ended = false;
      for (; offset + 2 <= length; offset += 2) {
        char16_t c = Read16(Bytes, at + offset);
        if (c == 0) {
          ended = true;
          break;
        }
        text.push_back(c);
      }
      EXPECT_TRUE(ended) << "token " << token << " of pack " << at << " has no NUL in the pack";
      pack.Tokens.push_back(text);
    }
    if (!pack.Tokens.empty()) {
      EXPECT_EQ(Read32(Bytes, at + 0x06), Read32(Bytes, at + sizeof(EFI_HII_STRING_PACK)))
          << "language code offset is token 0's";
    }
    if (pack.Tokens.size() > 1) {
      EXPECT_EQ(Read32(Bytes, at + 0x0A), Read32(Bytes, at + sizeof(EFI_HII_STRING_PACK) + 4))
          << "printable name offset is token 1's";
    }
    packs.push_back(pack);
    at += length;
  }
}

}  // namespace packtest
