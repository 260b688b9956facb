// The simulated firmware's consoles: ConOut (the text as passed and an 80x25 screen model with
// its mode), ConIn (a queue of keys) and StdErr (the text as passed, nothing else: the DEBUG
// flavour's decision lines land there), and the status-code router a firmware may have instead
// (Firmware::InstallStatusCode): like EDK II's router for a handler registered below
// TPL_HIGH_LEVEL, it copies HeaderSize + Size bytes of each report's data and calls its handler
// only later, once ReportStatusCode has returned (when StatusCodes() is read, or at teardown).
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "support/uefi.h"

namespace sim {

// printf into a std::string (at most 255 characters), for the lines a test expects on StdErr.
std::string Printf(const char* Format, ...) __attribute__((format(printf, 1, 2)));

// One ReportStatusCode call as the handler saw it: its arguments, the caller ID as text, and from
// the debug record its error level and the text its format prints.
struct StatusCodeReport {
  uint32_t Type = 0;
  uint32_t Value = 0;
  uint32_t Instance = 0;
  std::u16string CallerId;
  uint32_t ErrorLevel = 0;
  std::string Text;
};

// A report the router has queued for its handler: the arguments and the copied data.
struct QueuedStatusCode {
  StatusCodeReport Report;
  std::vector<uint8_t> Data;
};

struct ConsoleState {
  SIMPLE_TEXT_OUTPUT_INTERFACE ConOut{};
  SIMPLE_TEXT_OUTPUT_MODE ConOutMode{};
  SIMPLE_INPUT_INTERFACE ConIn{};
  SIMPLE_TEXT_OUTPUT_INTERFACE StdErr{};
  EFI_HANDLE ConsoleHandle = nullptr;
  std::u16string ConsoleText;
  std::u16string StdErrText;
  EFI_STATUS_CODE_PROTOCOL StatusCode{};
  std::vector<QueuedStatusCode> QueuedStatusCodes;
  std::vector<StatusCodeReport> StatusCodes;
  std::vector<std::u16string> Screen;
  std::deque<EFI_INPUT_KEY> Keys;
};

class Consoles {
 public:
  static constexpr int kColumns = 80;
  static constexpr int kRows = 25;

  std::u16string ConsoleText() const;       // every OutputString text, concatenated as passed
  std::u16string ScreenRow(int Row) const;  // the row with trailing blanks removed
  // Every StdErr OutputString text, concatenated as passed; a character outside ASCII reads '?'.
  std::string StdErrText() const;
  // Runs the handler over the queued reports, then lists every report it has seen.
  const std::vector<StatusCodeReport>& StatusCodes();
  const SIMPLE_TEXT_OUTPUT_MODE& ConsoleMode() const;
  void QueueKey(EFI_INPUT_KEY Key);
  void QueueKey(char16_t Character);
  size_t QueuedKeys() const;

 protected:
  explicit Consoles(ConsoleState& State) : State_(State) {}

 private:
  ConsoleState& State_;
};

}  // namespace sim
