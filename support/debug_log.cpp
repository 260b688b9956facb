// The decision lines' formatter and their way out to the standard-error console.
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

void EmitDebugLine(const char *Format, const DebugArg *Args, UINTN Count) {
  EFI_SYSTEM_TABLE *SystemTable = gDriverContext.SystemTable;
  if (SystemTable == nullptr || SystemTable->StdErr == nullptr) {
    return;
  }
  CHAR16 Line[DEBUG_LINE_CAPACITY + 2];
  const UINTN Length = FormatDebugLine(Line, DEBUG_LINE_CAPACITY, Format, Args, Count);
  Line[Length] = u'\r';
  Line[Length + 1] = u'\n';
  Line[Length + 2] = 0;
  SystemTable->StdErr->OutputString(SystemTable->StdErr, Line);
}
