// The simulated firmware's Framework HII database: the registrations NewPack accepted and the
// GetString answers, with the hook a test answers in the database's place.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/uefi.h"

namespace sim {

class Firmware;

// One registration accepted by NewPack: the copied list (sum of the pack lengths plus the 22
// bytes read at the terminator) and where its packs start.
struct HiiStringPackView {
  size_t Offset = 0;  // within Bytes
  uint32_t Length = 0;
  uint32_t NumStringPointers = 0;
  std::u16string Languages;  // the codes at LanguageNameString, "eng" or "engfra"
};

struct HiiPackageList {
  FRAMEWORK_HII_HANDLE Handle = 0;
  EFI_GUID Guid{};
  std::vector<uint8_t> Bytes;
  std::vector<HiiStringPackView> Packs;
  uint32_t TokenCount = 0;  // NumStringPointers of the first pack, as the database keeps it
  // The string of Token in pack PackIndex as stored (control characters included), or nullopt
  // when the token or its offset is outside the pack or no NUL ends it inside the pack.
  std::optional<std::u16string> String(size_t PackIndex, uint32_t Token) const;
};

// What a GetString hook sees, and what it may answer instead of the database.
struct GetStringCall {
  uint64_t Index = 0;  // 1 for the first GetString call of this firmware
  FRAMEWORK_HII_HANDLE Handle = 0;
  STRING_REF Token = 0;
  bool Raw = false;
  std::optional<std::u16string> Language;  // 3 characters when the caller passed one
  uint64_t BufferLength = 0;               // as the simulated width reads it
  bool BufferPresent = false;
};

struct GetStringReply {
  EFI_STATUS Status = EFI_SUCCESS;
  std::optional<uint64_t> Length;      // stored into *BufferLength (16 bits in that mode)
  std::optional<std::u16string> Text;  // copied, never past the caller's BufferLength bytes
  bool Terminate = true;               // append a NUL to Text
};

struct HiiState {
  FRAMEWORK_HII_PROTOCOL HiiTable{};
  EFI_HANDLE HiiHandle = nullptr;
  std::vector<HiiPackageList> HiiLists;
  bool Length16 = false;
  uint64_t GetStringCalls = 0;
};

class HiiDatabase {
 public:
  static constexpr size_t kDefaultWalkLimit = 64 * 1024;

  void InstallHii();
  void UninstallHii();
  bool HiiInstalled() const;
  FRAMEWORK_HII_PROTOCOL* Hii();
  const std::vector<HiiPackageList>& HiiPackages() const;
  const HiiPackageList* HiiPackage(FRAMEWORK_HII_HANDLE Handle) const;
  // The early database variant: reads and writes only the low 16 bits of *BufferLength.
  void SetGetStringLength16(bool Enabled);
  // Asked first on every GetString that was not failed by injection; nullopt lets the database
  // answer.
  std::function<std::optional<GetStringReply>(const GetStringCall&)> GetStringHook;
  // Upper bound of a NewPack walk when the packs lie in memory the firmware does not know.
  size_t NewPackWalkLimit = kDefaultWalkLimit;

 protected:
  HiiDatabase(Firmware& Owner, HiiState& State) : Owner_(Owner), State_(State) {}

 private:
  Firmware& Owner_;
  HiiState& State_;
};

}  // namespace sim
