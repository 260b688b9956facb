// The decision lines' formatter and their way out: the platform's status-code protocol, or the
// standard-error console where the firmware has none.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "support/debug_log.h"

#include "support/driver_context.h"

namespace {

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";
// Digits of a UINT64 in hex, and the widest padding a conversion may ask for.
constexpr UINTN MAX_HEX_DIGITS = 16;

struct LineWriter {
  CHAR16 *Buffer;
  UINTN Capacity;  // characters, terminator included
  UINTN Length;

  void Put(char Character) {
    if (Length + 1 < Capacity) {
      Buffer[Length++] = static_cast<CHAR16>(static_cast<UINT8>(Character));
    }
  }
  void PutText(const char *Text) {
    while (*Text != '\0') {
      Put(*Text++);
    }
  }
  void PutHex(UINT64 Value, UINTN Width) {
    char Digits[MAX_HEX_DIGITS];
    UINTN Count = 0;
    do {
      Digits[Count++] = HEX_DIGITS[Value & 0xF];
      Value >>= 4;
    } while (Value != 0);
    while (Count < Width) {
      Digits[Count++] = '0';
    }
    while (Count > 0) {
      Put(Digits[--Count]);
    }
  }
};

}  // namespace

UINTN FormatDebugLine(CHAR16 *Buffer, UINTN Capacity, const char *Format, const DebugArg *Args,
                      UINTN Count) {
  LineWriter Writer{Buffer, Capacity, 0};
  UINTN Next = 0;
  while (*Format != '\0') {
    const char Character = *Format++;
    if (Character != '%') {
      Writer.Put(Character);
      continue;
    }
    UINTN Width = 0;
    if (*Format >= '1' && *Format <= '8') {
      Width = static_cast<UINTN>(*Format++ - '0');
    }
    const char Conversion = *Format;
    if (Conversion == '%') {
      Writer.Put('%');
    } else if (Conversion != 's' && Conversion != 'x') {
      // Not a conversion: print what was written, so a mistake in a format shows.
      Writer.Put('%');
      continue;
    } else if (Next >= Count || (Args[Next].Text != nullptr) != (Conversion == 's')) {
      // No argument left, or one of the other kind.
      Writer.Put('?');
      Next++;
    } else if (Conversion == 's') {
      Writer.PutText(Args[Next++].Text);
    } else {
      Writer.PutHex(Args[Next++].Value, Width);
    }
    Format++;
  }
  Buffer[Writer.Length] = 0;
  return Writer.Length;
}

namespace {

// Reports the line as ASCII string data; false when the firmware has no status-code protocol.
// Looked up for every line, not kept: the router may come after the first line (it is installed
// early in DXE, but no dispatch order promises that), and a line is rare enough.
bool ReportDebugString(const EFI_GUID *CallerId, const CHAR16 *Line, UINTN Length) {
  if (gDriverContext.BootServices == nullptr) {
    return false;
  }
  EFI_GUID ProtocolGuid = EFI_STATUS_CODE_RUNTIME_PROTOCOL_GUID;
  auto *StatusCode = static_cast<EFI_STATUS_CODE_PROTOCOL *>(LocateInterface(&ProtocolGuid));
  if (StatusCode == nullptr) {
    return false;
  }
  // The handlers print the string as it comes: the line break is ours, LF as in EDK II's own
  // DEBUG() lines.
  CHAR8 Ascii[DEBUG_LINE_CAPACITY + 1];
  for (UINTN Index = 0; Index < Length; Index++) {
    Ascii[Index] = static_cast<CHAR8>(Line[Index]);
  }
  Ascii[Length] = '\n';
  Ascii[Length + 1] = '\0';
  EFI_STATUS_CODE_STRING_DATA Data;
  Data.DataHeader.HeaderSize = sizeof(EFI_STATUS_CODE_DATA);
  Data.DataHeader.Size = sizeof(EFI_STATUS_CODE_STRING_DATA) - sizeof(EFI_STATUS_CODE_DATA);
  Data.DataHeader.Type = EFI_STATUS_CODE_DATA_TYPE_STRING_GUID;
  Data.StringType = EfiStringAscii;
  Data.String.Ascii = Ascii;
  // The status is not examined: a handler that refuses the line leaves nothing else to try,
  // and writing it to StdErr as well would show it twice where the handler did print it.
  StatusCode->ReportStatusCode(EFI_DEBUG_CODE, EFI_SOFTWARE_DXE_BS_DRIVER_DEBUG, 0,
                               const_cast<EFI_GUID *>(CallerId), &Data.DataHeader);
  return true;
}

}  // namespace

void EmitDebugLine(const EFI_GUID *CallerId, const char *Format, const DebugArg *Args,
                   UINTN Count) {
  CHAR16 Line[DEBUG_LINE_CAPACITY + 2];
  const UINTN Length = FormatDebugLine(Line, DEBUG_LINE_CAPACITY, Format, Args, Count);
  if (ReportDebugString(CallerId, Line, Length)) {
    return;
  }
  EFI_SYSTEM_TABLE *SystemTable = gDriverContext.SystemTable;
  if (SystemTable == nullptr || SystemTable->StdErr == nullptr) {
    return;
  }
  Line[Length] = u'\r';
  Line[Length + 1] = u'\n';
  Line[Length + 2] = 0;
  SystemTable->StdErr->OutputString(SystemTable->StdErr, Line);
}
