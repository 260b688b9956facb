// Message retrieval against a Framework HII database whose GetString answers are fuzzed: any
// status, any reported length (also one that changes between the first call and the retry, and
// the early databases' 16-bit length), any contents with or without a terminator, and failing
// pool services. What comes back is either nothing or a pool buffer holding a terminated
// string the caller can print and free; nothing else stays in the pool.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <fuzzer/FuzzedDataProvider.h>

#include "support/string_packages.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr size_t kMaxReplies = 3;
constexpr size_t kMaxCharacters = 300;
// Larger pool requests fail as an exhausted pool would answer them.
constexpr size_t kPoolLimit = 1 << 20;

constexpr StringPackRow kRows[] = {
    {{u"eng", u"English", u"first line", u"second line"}},
    {{u"fra", u"Français", u"première ligne", u"deuxième ligne"}},
};
constexpr auto kPacks = BuildStringPackList<StringPackListSize(kRows)>(kRows);
EFI_GUID gPackageGuid = {0x1F0C2A54, 0x7B1E, 0x4D0C, {0x9A, 0x31, 0x55, 0x0E, 0x6B, 0x22, 0x19, 0x8D}};

char16_t ConsumeCharacter(FuzzedDataProvider& In) {
  switch (In.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      return 0;
    case 1:
      return In.ConsumeBool() ? 0xFFF0 : 0xFFF1;
    case 2:
      return char16_t(In.ConsumeIntegral<uint16_t>());
    default:
      return char16_t(u'a' + In.ConsumeIntegralInRange<int>(0, 25));
  }
}

// A reported length: none, the text's own size give or take a little, anything small, or
// anything at all (the database's 64-bit or 16-bit field).
std::optional<uint64_t> ConsumeLength(FuzzedDataProvider& In, size_t TextBytes) {
  switch (In.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      return std::nullopt;
    case 1:
      return TextBytes + 2 + In.ConsumeIntegralInRange<int64_t>(-3, 3);
    case 2:
      return In.ConsumeIntegralInRange<uint64_t>(0, 600);
    case 3:
      return In.ConsumeIntegralInRange<uint64_t>(0, 2 * kPoolLimit);
    default:
      return In.ConsumeIntegral<uint64_t>();
  }
}

// Nullopt: the database answers from the registered packs.
std::optional<sim::GetStringReply> ConsumeReply(FuzzedDataProvider& In) {
  if (!fuzz::Mostly(In, 6)) return std::nullopt;
  sim::GetStringReply reply;
  switch (In.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      reply.Status = EFI_SUCCESS;
      break;
    case 1:
      reply.Status = EFI_BUFFER_TOO_SMALL;
      break;
    default:
      reply.Status = fuzz::ConsumeStatus(In);
      break;
  }
  if (fuzz::Mostly(In, 8)) {
    std::u16string text;
    size_t characters = In.ConsumeIntegralInRange<size_t>(0, kMaxCharacters);
    for (size_t i = 0; i < characters && In.remaining_bytes() > 0; ++i) text.push_back(ConsumeCharacter(In));
    reply.Text = text;
  }
  reply.Terminate = fuzz::Mostly(In, 8);
  reply.Length = ConsumeLength(In, reply.Text ? reply.Text->size() * 2 : 0);
  return reply;
}

// The characters a pool buffer holds up to its first NUL; nullopt when no NUL lies inside it.
std::optional<std::u16string> TerminatedText(const sim::Firmware& Fw, const CHAR16* Buffer) {
  std::optional<size_t> readable = Fw.ReadableBytesAt(Buffer);
  FUZZ_CHECK(readable.has_value(), "the string is not in pool memory");
  std::u16string text;
  for (size_t i = 0; (i + 1) * 2 <= *readable; ++i) {
    if (Buffer[i] == 0) return text;
    text.push_back(char16_t(Buffer[i]));
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  FuzzedDataProvider in(Data, Size);
  bool hii = fuzz::Mostly(in, 16);
  bool length16 = in.ConsumeBool();
  STRING_REF token = fuzz::Mostly(in, 2) ? STRING_REF(in.ConsumeIntegralInRange<int>(0, 4))
                                      : in.ConsumeIntegral<STRING_REF>();
  std::vector<std::optional<sim::GetStringReply>> replies;
  size_t reply_count = in.ConsumeIntegralInRange<size_t>(0, kMaxReplies);
  for (size_t i = 0; i < reply_count; ++i) replies.push_back(ConsumeReply(in));
  fuzz::FailureScript script(in, {"AllocatePool", "FreePool", "GetString"}, 3, 3);

  sim::Firmware fw(sim::FirmwareOptions{.InstallHii = hii, .InstallRootBridge = false});
  fw.SetGetStringLength16(length16);
  fuzz::LimitPool(fw, kPoolLimit);
  InitDriverContext(fw.ImageHandle(), fw.SystemTable());
  fw.DeclareReadable(kPacks.Bytes, sizeof kPacks.Bytes);
  EFI_STATUS registered = RegisterStringPackages(&gPackageGuid, kPacks.Bytes);
  FUZZ_CHECK(registered == (hii ? EFI_SUCCESS : EFI_NOT_FOUND), "registration");

  // The answers as the database gave them, with the room the caller offered.
  struct Answer {
    sim::GetStringCall Call;
    std::optional<sim::GetStringReply> Reply;
  };
  std::vector<Answer> answers;
  fw.GetStringHook = [&](const sim::GetStringCall& Call) -> std::optional<sim::GetStringReply> {
    std::optional<sim::GetStringReply> reply;
    if (Call.Index - 1 < replies.size()) reply = replies[Call.Index - 1];
    answers.push_back({Call, reply});
    return reply;
  };

  size_t pool_before = fw.LiveAllocations();
  uint64_t frees_before = fw.CallCount("FreePool");
  uint64_t get_string_before = fw.CallCount("GetString");
  script.Apply(fw);
  CHAR16* text = GetHiiString(token);

  uint64_t get_string_calls = fw.CallCount("GetString") - get_string_before;
  FUZZ_CHECK(get_string_calls <= 2, std::to_string(get_string_calls) + " GetString calls");
  if (!hii) FUZZ_CHECK(text == nullptr && get_string_calls == 0, "retrieval without an HII protocol");
  if (text != nullptr) {
    FUZZ_CHECK(fw.IsLive(text), "the string is not a live pool block");
    std::optional<std::u16string> got = TerminatedText(fw, text);
    FUZZ_CHECK(got.has_value(), "the string has no terminator inside its buffer");
    // A scripted success whose terminated text fitted the room offered comes back as given.
    const Answer* last = answers.empty() ? nullptr : &answers.back();
    if (last && last->Call.Index == fw.CallCount("GetString") && last->Reply && last->Reply->Status == EFI_SUCCESS && last->Reply->Text &&
        last->Reply->Terminate && (last->Reply->Text->size() + 1) * 2 <= last->Call.BufferLength) {
      std::u16string expected = last->Reply->Text->substr(0, last->Reply->Text->find(u'\0'));
      FUZZ_CHECK(*got == expected, "the string differs from the database's answer");
    }
    fw.BootServices()->FreePool(text);
  }
  fuzz::CheckPoolBalance(fw, pool_before,
                         script.FailedCalls("FreePool", fw.CallCount("FreePool") - frees_before));
  return 0;
}
