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

// Reports the line as EDK II's debug record; false when the firmware has no status-code protocol.
// Looked up for every line, not kept: the router may come after the first line (it is installed
// early in DXE, but no dispatch order promises that), and a line is rare enough.
bool ReportDebugRecord(const EFI_GUID *CallerId, const CHAR16 *Line, UINTN Length) {
  if (gDriverContext.BootServices == nullptr) {
    return false;
  }
  EFI_GUID ProtocolGuid = EFI_STATUS_CODE_RUNTIME_PROTOCOL_GUID;
  auto *StatusCode = static_cast<EFI_STATUS_CODE_PROTOCOL *>(LocateInterface(&ProtocolGuid));
  if (StatusCode == nullptr) {
    return false;
  }
  // The line, already formatted, is the record's format: each % doubled, so that a handler
  // formatting it prints it as it is and takes no argument from the (zeroed) slots. The line
  // break is ours, LF as in EDK II's own DEBUG() lines.
  EFI_DEBUG_STATUS_CODE_RECORD Record;
  UINTN Used = 0;
  for (UINTN Index = 0; Index < Length; Index++) {
    const CHAR8 Character = static_cast<CHAR8>(Line[Index]);
    if (Character == '%') {
      Record.Format[Used++] = '%';
    }
    Record.Format[Used++] = Character;
  }
  Record.Format[Used++] = '\n';
  Record.Format[Used++] = '\0';
  for (UINTN Slot = 0; Slot < EFI_DEBUG_ARGUMENT_SLOTS; Slot++) {
    Record.Arguments[Slot] = 0;
  }
  Record.DebugInfo.ErrorLevel = EFI_DEBUG_LEVEL_INFO;
  Record.DataHeader.HeaderSize = sizeof(EFI_STATUS_CODE_DATA);
  Record.DataHeader.Size = static_cast<UINT16>(offsetof(EFI_DEBUG_STATUS_CODE_RECORD, Format) +
                                               Used - sizeof(EFI_STATUS_CODE_DATA));
  Record.DataHeader.Type = EFI_STATUS_CODE_DATA_TYPE_DEBUG_GUID;
  // The status is not examined: a handler that refuses the line leaves nothing else to try,
  // and writing it to StdErr as well would show it twice where the handler did print it.
  StatusCode->ReportStatusCode(EFI_DEBUG_CODE, EFI_SOFTWARE_DXE_BS_DRIVER_DEBUG, 0,
                               const_cast<EFI_GUID *>(CallerId), &Record.DataHeader);
  return true;
}

// Every character of a line doubled, its LF and its terminator fit the record's format.
static_assert(2 * DEBUG_LINE_CAPACITY <= sizeof(EFI_DEBUG_STATUS_CODE_RECORD::Format));

}  // namespace

void EmitDebugLine(const EFI_GUID *CallerId, const char *Format, const DebugArg *Args,
                   UINTN Count) {
  CHAR16 Line[DEBUG_LINE_CAPACITY + 2];
  const UINTN Length = FormatDebugLine(Line, DEBUG_LINE_CAPACITY, Format, Args, Count);
  if (ReportDebugRecord(CallerId, Line, Length)) {
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
