// The GUIDs of the interfaces the drivers meet, as the test doubles know them: each one from its
// registry text, turned into bytes at compile time. The simulated firmware, the board image and
// the fuzz harnesses take their GUIDs from here and never from the drivers' declarations, so that
// a wrong byte there makes the driver look for something its doubles do not publish.
// Header-only and freestanding: the board image includes it too.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/uefi.h"

namespace interface_guids {

// Never defined: reached only by malformed text, which then fails to compile.
void MalformedGuidText();

consteval UINT8 HexDigit(char Digit) {
  if (Digit >= '0' && Digit <= '9') return static_cast<UINT8>(Digit - '0');
  if (Digit >= 'A' && Digit <= 'F') return static_cast<UINT8>(Digit - 'A' + 10);
  if (Digit >= 'a' && Digit <= 'f') return static_cast<UINT8>(Digit - 'a' + 10);
  MalformedGuidText();
  return 0;
}

consteval UINT32 Hex(const char *Text, int First, int Digits) {
  UINT32 Value = 0;
  for (int Index = First; Index < First + Digits; ++Index) Value = Value << 4 | HexDigit(Text[Index]);
  return Value;
}

// "7CE88FB3-4BD7-4679-87A8-A8D8DEE50D2B": Data1-Data2-Data3-Data4[0..1]-Data4[2..7].
consteval EFI_GUID FromText(const char (&Text)[37]) {
  if (Text[8] != '-' || Text[13] != '-' || Text[18] != '-' || Text[23] != '-') MalformedGuidText();
  return EFI_GUID{Hex(Text, 0, 8),
                  static_cast<UINT16>(Hex(Text, 9, 4)),
                  static_cast<UINT16>(Hex(Text, 14, 4)),
                  {static_cast<UINT8>(Hex(Text, 19, 2)), static_cast<UINT8>(Hex(Text, 21, 2)),
                   static_cast<UINT8>(Hex(Text, 24, 2)), static_cast<UINT8>(Hex(Text, 26, 2)),
                   static_cast<UINT8>(Hex(Text, 28, 2)), static_cast<UINT8>(Hex(Text, 30, 2)),
                   static_cast<UINT8>(Hex(Text, 32, 2)), static_cast<UINT8>(Hex(Text, 34, 2))}};
}

// The platform's and the Framework's interfaces.
inline constexpr EFI_GUID kReadyToBootGroup = FromText("7CE88FB3-4BD7-4679-87A8-A8D8DEE50D2B");
inline constexpr EFI_GUID kFrameworkHii = FromText("EA816D2C-CEE5-4F02-99B5-D3905CBBD077");
inline constexpr EFI_GUID kFrameworkCpuIo = FromText("B0732526-38C8-4B40-8877-61C7B06AAC45");
inline constexpr EFI_GUID kUsbIo = FromText("2B2F68D6-0CD2-44CF-8E8B-BBA20B1B5B75");
inline constexpr EFI_GUID kSetupData = FromText("FE3542FE-C1D3-4EF8-657C-8048606FF670");
inline constexpr EFI_GUID kStationAddress = FromText("BB03857D-FF60-4DDB-B69E-065447E59B37");
// The string packages the two guards register.
inline constexpr EFI_GUID kWlanStringPackage = FromText("3B8577BA-0032-42BC-CCAA-53154F4399F2");
inline constexpr EFI_GUID kWwanStringPackage = FromText("602C46B4-90B4-4424-8183-5D5939E4494A");
// UEFI's own, which the drivers take from gnu-efi.
inline constexpr EFI_GUID kPciIo = FromText("4CF5B200-68B8-4CA5-9EEC-B23E3F50029A");
inline constexpr EFI_GUID kPciRootBridgeIo = FromText("2F707EBB-4A1A-11D4-9A38-0090273FC14D");
inline constexpr EFI_GUID kDevicePath = FromText("09576E91-6D3F-11D2-8E39-00A0C969723B");
inline constexpr EFI_GUID kDriverBinding = FromText("18A031AB-B443-4D1A-A5C0-0C09261E9F71");
inline constexpr EFI_GUID kLoadedImage = FromText("5B1B31A1-9562-11D2-8E3F-00A0C969723B");
inline constexpr EFI_GUID kGlobalVariable = FromText("8BE4DF61-93CA-11D2-AA0D-00E098032B8C");
inline constexpr EFI_GUID kSimpleTextOutput = FromText("387477C2-69C7-11D2-8E39-00A0C969723B");
inline constexpr EFI_GUID kSimpleTextInput = FromText("387477C1-69C7-11D2-8E39-00A0C969723B");
// PI's status-code protocol, and the type of EDK II's debug record (gEfiStatusCodeDataTypeDebugGuid).
inline constexpr EFI_GUID kStatusCodeRuntime = FromText("D2B2B828-0826-48A7-B3DF-983C006024F0");
inline constexpr EFI_GUID kStatusCodeDataTypeDebug = FromText("9A4E9246-D553-11D5-87E2-00062945C3B9");

}  // namespace interface_guids
