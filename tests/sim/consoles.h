// The simulated firmware's consoles: ConOut (the text as passed and an 80x25 screen model with
// its mode) and ConIn (a queue of keys).
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "support/uefi.h"

namespace sim {

struct ConsoleState {
  SIMPLE_TEXT_OUTPUT_INTERFACE ConOut{};
  SIMPLE_TEXT_OUTPUT_MODE ConOutMode{};
  SIMPLE_INPUT_INTERFACE ConIn{};
  EFI_HANDLE ConsoleHandle = nullptr;
  std::u16string ConsoleText;
  std::vector<std::u16string> Screen;
  std::deque<EFI_INPUT_KEY> Keys;
};

class Consoles {
 public:
  static constexpr int kColumns = 80;
  static constexpr int kRows = 25;

  std::u16string ConsoleText() const;       // every OutputString text, concatenated as passed
  std::u16string ScreenRow(int Row) const;  // the row with trailing blanks removed
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
