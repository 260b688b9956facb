// ConOut and ConIn: every member call is a Console trace entry in call order, and ConOut keeps
// an 80x25 screen so that a test can read what a halt screen shows where. StdErr only records
// its text: it is neither traced nor open to fault injection, so that the decision lines leave
// every trace and every swept call as they are.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tests/sim/firmware_internal.h"
#include "tests/sim/interface_guids.h"

namespace sim {
namespace {

constexpr char16_t kNarrowChar = 0xFFF0;
constexpr char16_t kWideChar = 0xFFF1;
constexpr char16_t kNonBreakingChar = 0xFFF2;
constexpr INT32 kDefaultAttribute = EFI_LIGHTGRAY | EFI_BACKGROUND_BLACK;

EFI_STATUS TraceConsole(const char* Name, EFI_STATUS Status, uint64_t Value = 0,
                        uint64_t Address = 0, std::u16string Text = {}) {
  return TraceCall(TraceKind::Console, Name, Status, Value, Address, std::move(Text));
}

// One ConOut/ConIn member call: counted, failed by injection or for a foreign This, else Body
// decides the status; traced either way with the call's arguments.
template <typename Body>
EFI_STATUS ConsoleCall(const char* Name, bool ValidThis, uint64_t Value, uint64_t Address, Body Run,
                       std::u16string Text = {}) {
  auto& fw = Fw();
  EFI_STATUS status;
  if (auto injected = fw.Self.EnterService(Name))
    status = *injected;
  else if (!ValidThis)
    status = EFI_INVALID_PARAMETER;
  else
    status = Run(fw);
  return TraceConsole(Name, status, Value, Address, std::move(Text));
}

void ClearScreenModel(FirmwareState& Fw) {
  for (auto& row : Fw.Screen) row.assign(Firmware::kColumns, u' ');
  Fw.ConOutMode.CursorColumn = 0;
  Fw.ConOutMode.CursorRow = 0;
}

void NextRow(FirmwareState& Fw) {
  SIMPLE_TEXT_OUTPUT_MODE& mode = Fw.ConOutMode;
  if (mode.CursorRow + 1 < Firmware::kRows) {
    ++mode.CursorRow;
    return;
  }
  Fw.Screen.erase(Fw.Screen.begin());
  Fw.Screen.push_back(std::u16string(Firmware::kColumns, u' '));
}

void PutText(FirmwareState& Fw, const std::u16string& Text) {
  SIMPLE_TEXT_OUTPUT_MODE& mode = Fw.ConOutMode;
  for (char16_t c : Text) {
    switch (c) {
      case u'\r':
        mode.CursorColumn = 0;
        break;
      case u'\n':
        NextRow(Fw);
        break;
      case u'\b':
        if (mode.CursorColumn > 0) --mode.CursorColumn;
        break;
      case kNarrowChar:
      case kWideChar:
      case kNonBreakingChar:
        break;  // glyph-width controls occupy no cell
      default:
        Fw.Screen[mode.CursorRow][mode.CursorColumn] = c;
        if (++mode.CursorColumn == Firmware::kColumns) {
          mode.CursorColumn = 0;
          NextRow(Fw);
        }
    }
  }
}

bool IsConOut(SIMPLE_TEXT_OUTPUT_INTERFACE* This) { return This == &Fw().ConOut; }

EFI_STATUS EFIAPI OutReset(SIMPLE_TEXT_OUTPUT_INTERFACE* This, BOOLEAN Extended) {
  return ConsoleCall("Reset", IsConOut(This), Extended, 0, [](FirmwareState& fw) -> EFI_STATUS {
    fw.ConOutMode.Attribute = kDefaultAttribute;
    ClearScreenModel(fw);
    return EFI_SUCCESS;
  });
}

EFI_STATUS EFIAPI OutputString(SIMPLE_TEXT_OUTPUT_INTERFACE* This, CHAR16* String) {
  std::u16string text;
  if (String != nullptr)
    for (const CHAR16* c = String; *c; ++c) text.push_back(char16_t(*c));
  return ConsoleCall(
      "OutputString", IsConOut(This) && String != nullptr, 0, 0,
      [&](FirmwareState& fw) -> EFI_STATUS {
        fw.ConsoleText += text;
        PutText(fw, text);
        return EFI_SUCCESS;
      },
      text);
}

EFI_STATUS EFIAPI TestString(SIMPLE_TEXT_OUTPUT_INTERFACE* This, CHAR16* String) {
  return ConsoleCall("TestString", IsConOut(This) && String != nullptr, 0, 0,
                     [](FirmwareState&) -> EFI_STATUS { return EFI_SUCCESS; });
}

EFI_STATUS EFIAPI QueryMode(SIMPLE_TEXT_OUTPUT_INTERFACE* This, UINTN Mode, UINTN* Columns,
                            UINTN* Rows) {
  bool valid = IsConOut(This) && Columns != nullptr && Rows != nullptr;
  return ConsoleCall("QueryMode", valid, Mode, 0, [&](FirmwareState&) -> EFI_STATUS {
    if (Mode != 0) return EFI_UNSUPPORTED;
    *Columns = Firmware::kColumns;
    *Rows = Firmware::kRows;
    return EFI_SUCCESS;
  });
}

EFI_STATUS EFIAPI SetMode(SIMPLE_TEXT_OUTPUT_INTERFACE* This, UINTN Mode) {
  return ConsoleCall("SetMode", IsConOut(This), Mode, 0, [&](FirmwareState& fw) -> EFI_STATUS {
    if (Mode != 0) return EFI_UNSUPPORTED;
    ClearScreenModel(fw);
    return EFI_SUCCESS;
  });
}

EFI_STATUS EFIAPI SetAttribute(SIMPLE_TEXT_OUTPUT_INTERFACE* This, UINTN Attribute) {
  return ConsoleCall("SetAttribute", IsConOut(This), Attribute, 0,
                     [&](FirmwareState& fw) -> EFI_STATUS {
                       if (Attribute > 0x7F) return EFI_UNSUPPORTED;
                       fw.ConOutMode.Attribute = INT32(Attribute);
                       return EFI_SUCCESS;
                     });
}

EFI_STATUS EFIAPI ClearScreen(SIMPLE_TEXT_OUTPUT_INTERFACE* This) {
  return ConsoleCall("ClearScreen", IsConOut(This), 0, 0, [](FirmwareState& fw) -> EFI_STATUS {
    ClearScreenModel(fw);
    return EFI_SUCCESS;
  });
}

// Traced with Address = column and Value = row.
EFI_STATUS EFIAPI SetCursorPosition(SIMPLE_TEXT_OUTPUT_INTERFACE* This, UINTN Column, UINTN Row) {
  return ConsoleCall("SetCursorPosition", IsConOut(This), Row, Column,
                     [&](FirmwareState& fw) -> EFI_STATUS {
                       if (Column >= UINTN(Firmware::kColumns) || Row >= UINTN(Firmware::kRows))
                         return EFI_UNSUPPORTED;
                       fw.ConOutMode.CursorColumn = INT32(Column);
                       fw.ConOutMode.CursorRow = INT32(Row);
                       return EFI_SUCCESS;
                     });
}

EFI_STATUS EFIAPI EnableCursor(SIMPLE_TEXT_OUTPUT_INTERFACE* This, BOOLEAN Visible) {
  return ConsoleCall("EnableCursor", IsConOut(This), Visible, 0,
                     [&](FirmwareState& fw) -> EFI_STATUS {
                       fw.ConOutMode.CursorVisible = Visible;
                       return EFI_SUCCESS;
                     });
}

EFI_STATUS EFIAPI InReset(SIMPLE_INPUT_INTERFACE* This, BOOLEAN Extended) {
  return ConsoleCall("ConIn.Reset", This == &Fw().ConIn, Extended, 0,
                     [](FirmwareState& fw) -> EFI_STATUS {
                       fw.Keys.clear();
                       return EFI_SUCCESS;
                     });
}

// Traced with Value = scan code << 16 | character of the key returned.
EFI_STATUS EFIAPI ReadKeyStroke(SIMPLE_INPUT_INTERFACE* This, EFI_INPUT_KEY* Key) {
  auto& fw = Fw();
  if (auto injected = fw.Self.EnterService("ReadKeyStroke"))
    return TraceConsole("ReadKeyStroke", *injected);
  if (This != &fw.ConIn || Key == nullptr)
    return TraceConsole("ReadKeyStroke", EFI_INVALID_PARAMETER);
  if (fw.Keys.empty()) return TraceConsole("ReadKeyStroke", EFI_NOT_READY);
  *Key = fw.Keys.front();
  fw.Keys.pop_front();
  return TraceConsole("ReadKeyStroke", EFI_SUCCESS,
                      (uint64_t(Key->ScanCode) << 16) | Key->UnicodeChar);
}

EFI_STATUS EFIAPI StdErrOutputString(SIMPLE_TEXT_OUTPUT_INTERFACE* This, CHAR16* String) {
  auto& fw = Fw();
  if (This != &fw.StdErr || String == nullptr) {
    ADD_FAILURE() << "StdErr.OutputString with a foreign This or no string";
    return EFI_INVALID_PARAMETER;
  }
  for (const CHAR16* c = String; *c; ++c) fw.StdErrText.push_back(char16_t(*c));
  return EFI_SUCCESS;
}

// The router: keeps the arguments and a copy of HeaderSize + Size bytes of the data, as EDK II's
// router does for a handler it calls from an event; nothing else of the caller's is kept.
EFI_STATUS EFIAPI ReportStatusCode(EFI_STATUS_CODE_TYPE Type, EFI_STATUS_CODE_VALUE Value,
                                   UINT32 Instance, EFI_GUID* CallerId,
                                   EFI_STATUS_CODE_DATA* Data) {
  QueuedStatusCode queued{{Type, Value, Instance, CallerId ? GuidText(*CallerId) : u"", 0, ""}, {}};
  const auto* bytes = reinterpret_cast<const uint8_t*>(Data);
  if (bytes == nullptr) {
    ADD_FAILURE() << "ReportStatusCode without data";
  } else {
    uint16_t headerSize, size;
    std::memcpy(&headerSize, bytes, 2);
    std::memcpy(&size, bytes + 2, 2);
    queued.Data.assign(bytes, bytes + headerSize + size);
  }
  Fw().QueuedStatusCodes.push_back(std::move(queued));
  return EFI_SUCCESS;
}

// The handler, as a serial port's prints a debug code: it takes EDK II's debug record from the
// copy, read byte by byte as the interface lays it out (a 20-byte header: sizes, then the type
// GUID; the error level at 20, twelve 8-byte argument slots from 24, the format from 120 to its
// terminator, all inside the copy) and prints the format, whose only conversion may be %%.
void HandleStatusCode(QueuedStatusCode& Queued) {
  const std::vector<uint8_t>& data = Queued.Data;
  constexpr size_t kFormat = 20 + 4 + 12 * 8;
  if (data.size() <= kFormat) {
    if (!data.empty()) ADD_FAILURE() << "data of " << data.size() << " bytes holds no format";
    return;
  }
  uint16_t headerSize;
  EFI_GUID type;
  std::memcpy(&headerSize, data.data(), 2);
  std::memcpy(&type, data.data() + 4, sizeof type);
  std::memcpy(&Queued.Report.ErrorLevel, data.data() + 20, 4);
  EXPECT_EQ(headerSize, 20u);
  if (!SameGuid(type, interface_guids::kStatusCodeDataTypeDebug)) {
    ADD_FAILURE() << "data is not a debug record";
    return;
  }
  const auto* format = reinterpret_cast<const char*>(data.data() + kFormat);
  const auto* end = static_cast<const char*>(std::memchr(format, 0, data.size() - kFormat));
  if (end == nullptr) {
    ADD_FAILURE() << "the format's terminator is past HeaderSize + Size";
    return;
  }
  for (const char* c = format; c < end; ++c) {
    if (*c == '%' && *++c != '%') {
      ADD_FAILURE() << "the format converts an argument: " << format;
      return;
    }
    Queued.Report.Text.push_back(*c);
  }
}

const char* const kTextOutSlotNames[] = {"Reset",        "OutputString",      "TestString",
                                         "QueryMode",    "SetMode",           "SetAttribute",
                                         "ClearScreen",  "SetCursorPosition", "EnableCursor"};

}  // namespace

void SetUpConsoles(FirmwareState& Fw) {
  Fw.ConOutMode.MaxMode = 1;
  Fw.ConOutMode.Mode = 0;
  Fw.ConOutMode.Attribute = kDefaultAttribute;
  Fw.ConOutMode.CursorVisible = TRUE;
  Fw.ConOut.Reset = OutReset;
  Fw.ConOut.OutputString = OutputString;
  Fw.ConOut.TestString = TestString;
  Fw.ConOut.QueryMode = QueryMode;
  Fw.ConOut.SetMode = SetMode;
  Fw.ConOut.SetAttribute = SetAttribute;
  Fw.ConOut.ClearScreen = ClearScreen;
  Fw.ConOut.SetCursorPosition = SetCursorPosition;
  Fw.ConOut.EnableCursor = EnableCursor;
  Fw.ConOut.Mode = &Fw.ConOutMode;
  Fw.ConIn.Reset = InReset;
  Fw.ConIn.ReadKeyStroke = ReadKeyStroke;
  Fw.ConIn.WaitForKey = &Fw.ConIn;  // opaque; waiting on events is not simulated
  FillUnimplemented(&Fw.StdErr.Reset, std::size(kTextOutSlotNames), "StdErr", kTextOutSlotNames);
  Fw.StdErr.OutputString = StdErrOutputString;
  Fw.StdErr.Mode = &Fw.ConOutMode;
  Fw.StatusCode.ReportStatusCode = ReportStatusCode;
}

std::u16string Consoles::ConsoleText() const { return State_.ConsoleText; }

const std::vector<StatusCodeReport>& Consoles::StatusCodes() {
  for (QueuedStatusCode& queued : State_.QueuedStatusCodes) {
    HandleStatusCode(queued);
    State_.StatusCodes.push_back(std::move(queued.Report));
  }
  State_.QueuedStatusCodes.clear();
  return State_.StatusCodes;
}

std::string Printf(const char* Format, ...) {
  char line[256];
  va_list arguments;
  va_start(arguments, Format);
  std::vsnprintf(line, sizeof line, Format, arguments);
  va_end(arguments);
  return line;
}

std::string Consoles::StdErrText() const {
  std::string text;
  for (char16_t c : State_.StdErrText) text.push_back(c < 0x80 ? char(c) : '?');
  return text;
}

std::u16string Consoles::ScreenRow(int Row) const {
  if (Row < 0 || Row >= kRows) return {};
  std::u16string row = State_.Screen[Row];
  row.erase(row.find_last_not_of(u' ') + 1);
  return row;
}

const SIMPLE_TEXT_OUTPUT_MODE& Consoles::ConsoleMode() const { return State_.ConOutMode; }

void Consoles::QueueKey(EFI_INPUT_KEY Key) { State_.Keys.push_back(Key); }

void Consoles::QueueKey(char16_t Character) {
  EFI_INPUT_KEY key{};
  key.UnicodeChar = Character;
  QueueKey(key);
}

size_t Consoles::QueuedKeys() const { return State_.Keys.size(); }

}  // namespace sim
