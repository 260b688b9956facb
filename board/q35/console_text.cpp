// Console lines for the board's applications: fixed buffers, no allocation.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "board/q35/console_text.h"

namespace board {
namespace {

void AppendCharacter(TextLine *Line, CHAR16 Character) {
  if (Line->Length + 1 < TEXT_LINE_CAPACITY) {
    Line->Text[Line->Length++] = Character;
  }
  Line->Text[Line->Length] = 0;
}

}  // namespace

void AppendText(TextLine *Line, const char16_t *Text) {
  for (; *Text != 0; Text++) {
    AppendCharacter(Line, static_cast<CHAR16>(*Text));
  }
}

void AppendHex(TextLine *Line, UINT64 Value, UINTN Digits) {
  AppendText(Line, u"0x");
  for (UINTN Index = Digits; Index-- > 0;) {
    const UINTN Nibble = (Value >> (4 * Index)) & 0xF;
    AppendCharacter(Line, static_cast<CHAR16>(Nibble < 10 ? u'0' + Nibble : u'A' + Nibble - 10));
  }
}

void PrintLine(EFI_SYSTEM_TABLE *SystemTable, TextLine *Line) {
  AppendText(Line, u"\r\n");
  SystemTable->ConOut->OutputString(SystemTable->ConOut, Line->Text);
  Line->Length = 0;
  Line->Text[0] = 0;
}

void PrintText(EFI_SYSTEM_TABLE *SystemTable, const char16_t *Text) {
  TextLine Line = {};
  AppendText(&Line, Text);
  PrintLine(SystemTable, &Line);
}

}  // namespace board
