// The Framework HII database as the reference implementation behaves: NewPack walks each
// string-pack list by its Length fields and copies it with the 22 bytes at the terminator;
// GetString picks the pack of the "Lang" language (or the first pack) and answers in bytes,
// terminator included. Walks that would leave the bytes the caller provided fail the test. The
// choice of the pack and the copy of the string are the board's own database code
// (board/q35/hii_database.h), so the drivers meet the same answers here and on the board.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <cstring>

#include "board/q35/hii_database.h"
#include "support/string_pack_walk.h"
#include "tests/sim/firmware_internal.h"

namespace sim {
namespace {

constexpr uint16_t kIfrPackType = 3;
constexpr size_t kStringPackHeaderSize = sizeof(EFI_HII_STRING_PACK);  // 22
constexpr size_t kMaxPackages = 1024;

char16_t ReadChar(const uint8_t* Bytes) { return char16_t(string_pack::Read16(Bytes)); }

// Characters from Offset up to the NUL, which must lie before End; nullopt otherwise.
std::optional<std::u16string> ReadString(const std::vector<uint8_t>& Bytes, size_t Offset,
                                         size_t End) {
  std::u16string text;
  for (size_t at = Offset; at + 2 <= End && at + 2 <= Bytes.size(); at += 2) {
    char16_t c = ReadChar(&Bytes[at]);
    if (c == 0) return text;
    text.push_back(c);
  }
  return std::nullopt;
}

// Checks that Size bytes at Pointer are the caller's to give; unknown memory is bounded by
// Limit. Fails the test and returns false when they are not.
bool Readable(Firmware& Self, const void* Pointer, size_t Size, size_t Limit, const char* What) {
  std::optional<size_t> known = Self.ReadableBytesAt(Pointer);
  if (known && *known < Size) {
    ADD_FAILURE() << "NewPack: " << What << " needs " << Size << " bytes, but only " << *known
                  << " are provided";
    return false;
  }
  if (!known && Size > Limit) {
    ADD_FAILURE() << "NewPack: " << What << " runs past " << Limit
                  << " bytes without a zero Length";
    return false;
  }
  return true;
}

EFI_STATUS AddStringList(Firmware& Self, const uint8_t* First, HiiPackageList& List) {
  // The walk reads each Length field; the pack contents are the driver's business here.
  std::vector<std::pair<size_t, uint32_t>> walked;
  UINTN offset = 0;
  if (!string_pack::WalkStringPackList(
          First,
          [&](UINTN At) {
            return Readable(Self, First, At + 4, Self.NewPackWalkLimit, "the pack-list walk");
          },
          [&](UINTN At, UINT32 Length) {
            walked.emplace_back(At, Length);
            return true;
          },
          &offset))
    return EFI_INVALID_PARAMETER;
  size_t size = offset + kStringPackHeaderSize;
  if (!Readable(Self, First, size, Self.NewPackWalkLimit, "the copy of the terminator"))
    return EFI_INVALID_PARAMETER;

  size_t base = List.Bytes.size();
  List.Bytes.insert(List.Bytes.end(), First, First + size);
  if (List.Packs.empty() && base == 0) List.TokenCount = string_pack::TokenCount(First);
  for (const auto& [at, length] : walked) {
    HiiStringPackView pack;
    pack.Offset = base + at;
    pack.Length = length;
    if (pack.Length >= kStringPackHeaderSize) {
      pack.NumStringPointers = string_pack::TokenCount(First + at);
      uint32_t language = string_pack::LanguageOffset(First + at);
      if (auto text = ReadString(List.Bytes, pack.Offset + language, pack.Offset + pack.Length))
        pack.Languages = *text;
    }
    List.Packs.push_back(pack);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI NewPack(FRAMEWORK_HII_PROTOCOL* This, EFI_HII_PACKAGES* Packages,
                          FRAMEWORK_HII_HANDLE* Handle) {
  auto& fw = Fw();
  Firmware& self = fw.Self;
  if (auto injected = self.EnterService("NewPack")) return self.TraceService("NewPack", *injected);
  if (This != &fw.HiiTable || Packages == nullptr || Handle == nullptr)
    return self.TraceService("NewPack", EFI_INVALID_PARAMETER);
  if (!Readable(self, Packages, sizeof(EFI_HII_PACKAGES), self.NewPackWalkLimit, "the block"))
    return self.TraceService("NewPack", EFI_INVALID_PARAMETER);
  UINTN count = Packages->NumberOfPackages;
  if (count == 0) return self.TraceService("NewPack", EFI_INVALID_PARAMETER);
  if (count > kMaxPackages) {
    ADD_FAILURE() << "NewPack: " << count << " packages in one block";
    return self.TraceService("NewPack", EFI_INVALID_PARAMETER, count);
  }
  size_t block_size = sizeof(EFI_HII_PACKAGES) + count * sizeof(void*);
  if (!Readable(self, Packages, block_size, self.NewPackWalkLimit, "the package pointers"))
    return self.TraceService("NewPack", EFI_INVALID_PARAMETER, count);
  void* const* pointers = reinterpret_cast<void* const*>(Packages + 1);

  bool has_string = false, has_ifr = false;
  for (UINTN i = 0; i < count; ++i) {
    if (pointers[i] == nullptr || !Readable(self, pointers[i], sizeof(EFI_HII_PACK_HEADER),
                                            self.NewPackWalkLimit, "a pack header"))
      return self.TraceService("NewPack", EFI_INVALID_PARAMETER, count);
    auto* header = static_cast<const EFI_HII_PACK_HEADER*>(pointers[i]);
    has_string |= header->Type == EFI_HII_STRING_PACK_TYPE;
    has_ifr |= header->Type == kIfrPackType;
  }
  if (has_string && !has_ifr && Packages->GuidId == nullptr)
    return self.TraceService("NewPack", EFI_INVALID_PARAMETER, count);

  HiiPackageList list;
  if (Packages->GuidId != nullptr) list.Guid = *Packages->GuidId;
  for (UINTN i = 0; i < count; ++i) {
    auto* header = static_cast<const EFI_HII_PACK_HEADER*>(pointers[i]);
    if (header->Type != EFI_HII_STRING_PACK_TYPE) continue;
    EFI_STATUS status = AddStringList(self, static_cast<const uint8_t*>(pointers[i]), list);
    if (EFI_ERROR(status)) return self.TraceService("NewPack", status, count);
  }
  FRAMEWORK_HII_HANDLE highest = 0;
  for (const auto& existing : fw.HiiLists) highest = std::max(highest, existing.Handle);
  list.Handle = FRAMEWORK_HII_HANDLE(highest + 1);
  *Handle = list.Handle;
  fw.HiiLists.push_back(std::move(list));
  return self.TraceService("NewPack", EFI_SUCCESS, count, *Handle);
}

// The three letters of "Lang" as the board's database decodes them, or false.
bool CurrentLanguage(FirmwareState& Fw, CHAR16* Language) {
  VariableKey key;
  key.Name = u"Lang";
  std::memcpy(key.Vendor.data(), &kGlobalVariableGuid, sizeof(EFI_GUID));
  auto it = Fw.Variables.find(key);
  return it != Fw.Variables.end() &&
         board::DecodeLanguageVariable(it->second.data(), it->second.size(), Language);
}

void StoreLength(UINTN* BufferLength, uint64_t Length, bool Length16) {
  if (Length16) {
    uint16_t low = uint16_t(Length);
    std::memcpy(BufferLength, &low, sizeof low);
  } else {
    *BufferLength = Length;
  }
}

EFI_STATUS EFIAPI GetString(FRAMEWORK_HII_PROTOCOL* This, FRAMEWORK_HII_HANDLE Handle,
                            STRING_REF Token, BOOLEAN Raw, CHAR16* LanguageString,
                            UINTN* BufferLength, CHAR16* StringBuffer) {
  auto& fw = Fw();
  Firmware& self = fw.Self;
  uint64_t index = ++fw.GetStringCalls;
  auto done = [&](EFI_STATUS status, std::u16string text = {}) {
    return self.TraceService("GetString", status, Token, Handle, std::move(text));
  };
  if (auto injected = self.EnterService("GetString")) return done(*injected);
  if (This != &fw.HiiTable || BufferLength == nullptr) return done(EFI_INVALID_PARAMETER);
  uint64_t room = *BufferLength;
  if (fw.Length16) {
    uint16_t low;
    std::memcpy(&low, BufferLength, sizeof low);
    room = low;
  }

  if (self.GetStringHook) {
    GetStringCall call;
    call.Index = index;
    call.Handle = Handle;
    call.Token = Token;
    call.Raw = Raw != 0;
    if (LanguageString) call.Language = std::u16string(LanguageString, LanguageString + 3);
    call.BufferLength = room;
    call.BufferPresent = StringBuffer != nullptr;
    if (std::optional<GetStringReply> reply = self.GetStringHook(call)) {
      if (reply->Text && StringBuffer) {
        std::u16string text = *reply->Text;
        if (reply->Terminate) text.push_back(u'\0');
        size_t bytes = std::min<uint64_t>(text.size() * 2, room & ~uint64_t(1));
        std::memcpy(StringBuffer, text.data(), bytes);
      }
      if (reply->Length) StoreLength(BufferLength, *reply->Length, fw.Length16);
      return done(reply->Status, reply->Text.value_or(u""));
    }
  }

  const HiiPackageList* list = self.HiiPackage(Handle);
  if (list == nullptr || list->Packs.empty()) return done(EFI_INVALID_PARAMETER);
  UINTN length = room;
  EFI_STATUS status;
  if (Token == 0) {
    // The whole list of the handle, terminator included.
    status = board::CopyStringPackList(list->Bytes.data(), list->Bytes.size(), &length, StringBuffer);
    StoreLength(BufferLength, length, fw.Length16);
    return done(status);
  }
  CHAR16 current[3];
  const CHAR16* language = LanguageString;
  if (language == nullptr && CurrentLanguage(fw, current)) language = current;
  const UINT8* pack = board::SelectStringPack(list->Bytes.data(), language);
  status = board::ReadPackString(pack, Token, Raw, &length, StringBuffer);
  if (status == EFI_INVALID_PARAMETER) {
    if (Token < string_pack::TokenCount(pack))
      ADD_FAILURE() << "GetString: token " << Token
                    << " does not lead to a terminated string inside its pack";
    return done(status);
  }
  StoreLength(BufferLength, length, fw.Length16);
  return done(status, status == EFI_SUCCESS ? std::u16string(reinterpret_cast<char16_t*>(StringBuffer))
                                            : std::u16string());
}

const char* const kHiiSlotNames[] = {"NewPack",
                                     "RemovePack",
                                     "FindHandles",
                                     "ExportDatabase",
                                     "TestString",
                                     "GetGlyph",
                                     "GlyphToBlt",
                                     "NewString",
                                     "GetPrimaryLanguages",
                                     "GetSecondaryLanguages",
                                     "GetString",
                                     "ResetStrings",
                                     "GetLine",
                                     "GetForms",
                                     "GetDefaultImage",
                                     "UpdateForm",
                                     "GetKeyboardLayout"};

}  // namespace

std::optional<std::u16string> HiiPackageList::String(size_t PackIndex, uint32_t Token) const {
  if (PackIndex >= Packs.size()) return std::nullopt;
  const HiiStringPackView& pack = Packs[PackIndex];
  size_t end = pack.Offset + pack.Length;
  size_t slot = pack.Offset + string_pack::TokenSlot(Token);
  if (Token >= pack.NumStringPointers || slot + 4 > end || end > Bytes.size()) return std::nullopt;
  uint32_t offset = string_pack::StringOffset(&Bytes[pack.Offset], Token);
  if (offset >= pack.Length) return std::nullopt;
  return ReadString(Bytes, pack.Offset + offset, end);
}

void SetUpHiiTable(FirmwareState& Fw) {
  FillUnimplemented(&Fw.HiiTable, sizeof(FRAMEWORK_HII_PROTOCOL) / 8, "Hii", kHiiSlotNames);
  Fw.HiiTable.NewPack = NewPack;
  Fw.HiiTable.GetString = GetString;
}

void HiiDatabase::InstallHii() {
  if (State_.HiiHandle != nullptr) return;
  State_.HiiHandle = Owner_.InstallProtocol(nullptr, kHiiProtocolGuid, &State_.HiiTable);
}

void HiiDatabase::UninstallHii() {
  if (State_.HiiHandle == nullptr) return;
  Owner_.UninstallProtocol(State_.HiiHandle, kHiiProtocolGuid);
  State_.HiiHandle = nullptr;
}

bool HiiDatabase::HiiInstalled() const { return State_.HiiHandle != nullptr; }
FRAMEWORK_HII_PROTOCOL* HiiDatabase::Hii() { return &State_.HiiTable; }
const std::vector<HiiPackageList>& HiiDatabase::HiiPackages() const { return State_.HiiLists; }

const HiiPackageList* HiiDatabase::HiiPackage(FRAMEWORK_HII_HANDLE Handle) const {
  for (const auto& list : State_.HiiLists)
    if (list.Handle == Handle) return &list;
  return nullptr;
}

void HiiDatabase::SetGetStringLength16(bool Enabled) { State_.Length16 = Enabled; }

}  // namespace sim
