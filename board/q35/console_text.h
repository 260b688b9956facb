// Building and printing one console line at a time for the board's applications.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/uefi.h"

namespace board {

constexpr UINTN TEXT_LINE_CAPACITY = 160;

struct TextLine {
  CHAR16 Text[TEXT_LINE_CAPACITY];
  UINTN Length;
};

// Appends as much of Text as fits; the line always stays NUL-terminated.
void AppendText(TextLine *Line, const char16_t *Text);
// Appends "0x" and Value in Digits upper-case hexadecimal digits.
void AppendHex(TextLine *Line, UINT64 Value, UINTN Digits);
// Writes the line and CR LF to ConOut, then empties it.
void PrintLine(EFI_SYSTEM_TABLE *SystemTable, TextLine *Line);
// Prints Text as a line of its own.
void PrintText(EFI_SYSTEM_TABLE *SystemTable, const char16_t *Text);

}  // namespace board
