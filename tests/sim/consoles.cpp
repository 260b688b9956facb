// ConOut and ConIn: every member call is a Console trace entry in call order, and ConOut keeps
// an 80x25 screen so that a test can read what a halt screen shows where.
#include "tests/sim/firmware_internal.h"

namespace sim {
namespace {

constexpr char16_t kNarrowChar = 0xFFF0;
constexpr char16_t kWideChar = 0xFFF1;
constexpr char16_t kNonBreakingChar = 0xFFF2;
constexpr INT32 kDefaultAttribute = EFI_LIGHTGRAY | EFI_BACKGROUND_BLACK;

EFI_STATUS TraceConsole(const char* Name, EFI_STATUS Status, uint64_t Value = 0,
                        uint64_t Address = 0, std::u16string Text = {}) {
  TraceEntry entry;
  entry.Kind = TraceKind::Console;
  entry.Name = Name;
  entry.Status = Status;
  entry.Value = Value;
  entry.Address = Address;
  entry.Text = std::move(Text);
  GlobalTrace().Add(std::move(entry));
  return Status;
}

void ClearScreenModel(Firmware::Impl& Fw) {
  for (auto& row : Fw.Screen) row.assign(Firmware::kColumns, u' ');
  Fw.ConOutMode.CursorColumn = 0;
  Fw.ConOutMode.CursorRow = 0;
}

void NextRow(Firmware::Impl& Fw) {
  SIMPLE_TEXT_OUTPUT_MODE& mode = Fw.ConOutMode;
  if (mode.CursorRow + 1 < Firmware::kRows) {
    ++mode.CursorRow;
    return;
  }
  Fw.Screen.erase(Fw.Screen.begin());
  Fw.Screen.push_back(std::u16string(Firmware::kColumns, u' '));
}

void PutText(Firmware::Impl& Fw, const std::u16string& Text) {
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
  auto& fw = Fw();
  if (auto injected = fw.Self.EnterService("Reset")) return TraceConsole("Reset", *injected);
  if (!IsConOut(This)) return TraceConsole("Reset", EFI_INVALID_PARAMETER);
  fw.ConOutMode.Attribute = kDefaultAttribute;
  ClearScreenModel(fw);
  return TraceConsole("Reset", EFI_SUCCESS, Extended);
}

EFI_STATUS EFIAPI OutputString(SIMPLE_TEXT_OUTPUT_INTERFACE* This, CHAR16* String) {
  auto& fw = Fw();
  std::u16string text;
  if (String != nullptr)
    for (const CHAR16* c = String; *c; ++c) text.push_back(char16_t(*c));
  if (auto injected = fw.Self.EnterService("OutputString"))
    return TraceConsole("OutputString", *injected, 0, 0, text);
  if (!IsConOut(This) || String == nullptr)
    return TraceConsole("OutputString", EFI_INVALID_PARAMETER, 0, 0, text);
  fw.ConsoleText += text;
  PutText(fw, text);
  return TraceConsole("OutputString", EFI_SUCCESS, 0, 0, text);
}

EFI_STATUS EFIAPI TestString(SIMPLE_TEXT_OUTPUT_INTERFACE* This, CHAR16* String) {
  auto& fw = Fw();
  if (auto injected = fw.Self.EnterService("TestString"))
    return TraceConsole("TestString", *injected);
  if (!IsConOut(This) || String == nullptr) return TraceConsole("TestString", EFI_INVALID_PARAMETER);
  return TraceConsole("TestString", EFI_SUCCESS);
}

EFI_STATUS EFIAPI QueryMode(SIMPLE_TEXT_OUTPUT_INTERFACE* This, UINTN Mode, UINTN* Columns,
                            UINTN* Rows) {
  auto& fw = Fw();
  if (auto injected = fw.Self.EnterService("QueryMode"))
    return TraceConsole("QueryMode", *injected, Mode);
  if (!IsConOut(This) || Columns == nullptr || Rows == nullptr)
    return TraceConsole("QueryMode", EFI_INVALID_PARAMETER, Mode);
  if (Mode != 0) return TraceConsole("QueryMode", EFI_UNSUPPORTED, Mode);
  *Columns = Firmware::kColumns;
  *Rows = Firmware::kRows;
  return TraceConsole("QueryMode", EFI_SUCCESS, Mode);
}

EFI_STATUS EFIAPI SetMode(SIMPLE_TEXT_OUTPUT_INTERFACE* This, UINTN Mode) {
  auto& fw = Fw();
  if (auto injected = fw.Self.EnterService("SetMode"))
    return TraceConsole("SetMode", *injected, Mode);
  if (!IsConOut(This)) return TraceConsole("SetMode", EFI_INVALID_PARAMETER, Mode);
  if (Mode != 0) return TraceConsole("SetMode", EFI_UNSUPPORTED, Mode);
  ClearScreenModel(fw);
  return TraceConsole("SetMode", EFI_SUCCESS, Mode);
}

EFI_STATUS EFIAPI SetAttribute(SIMPLE_TEXT_OUTPUT_INTERFACE* This, UINTN Attribute) {
  auto& fw = Fw();
  if (auto injected = fw.Self.EnterService("SetAttribute"))
    return TraceConsole("SetAttribute", *injected, Attribute);
  if (!IsConOut(This)) return TraceConsole("SetAttribute", EFI_INVALID_PARAMETER, Attribute);
  if (Attribute > 0x7F) return TraceConsole("SetAttribute", EFI_UNSUPPORTED, Attribute);
  fw.ConOutMode.Attribute = INT32(Attribute);
  return TraceConsole("SetAttribute", EFI_SUCCESS, Attribute);
}

EFI_STATUS EFIAPI ClearScreen(SIMPLE_TEXT_OUTPUT_INTERFACE* This) {
  auto& fw = Fw();
  if (auto injected = fw.Self.EnterService("ClearScreen"))
    return TraceConsole("ClearScreen", *injected);
  if (!IsConOut(This)) return TraceConsole("ClearScreen", EFI_INVALID_PARAMETER);
  ClearScreenModel(fw);
  return TraceConsole("ClearScreen", EFI_SUCCESS);
}

// Traced with Address = column and Value = row.
EFI_STATUS EFIAPI SetCursorPosition(SIMPLE_TEXT_OUTPUT_INTERFACE* This, UINTN Column,
                                    UINTN Row) {
  auto& fw = Fw();
  if (auto injected = fw.Self.EnterService("SetCursorPosition"))
    return TraceConsole("SetCursorPosition", *injected, Row, Column);
  if (!IsConOut(This)) return TraceConsole("SetCursorPosition", EFI_INVALID_PARAMETER, Row, Column);
  if (Column >= UINTN(Firmware::kColumns) || Row >= UINTN(Firmware::kRows))
    return TraceConsole("SetCursorPosition", EFI_UNSUPPORTED, Row, Column);
  fw.ConOutMode.CursorColumn = INT32(Column);
  fw.ConOutMode.CursorRow = INT32(Row);
  return TraceConsole("SetCursorPosition", EFI_SUCCESS, Row, Column);
}

EFI_STATUS EFIAPI EnableCursor(SIMPLE_TEXT_OUTPUT_INTERFACE* This, BOOLEAN Visible) {
  auto& fw = Fw();
  if (auto injected = fw.Self.EnterService("EnableCursor"))
    return TraceConsole("EnableCursor", *injected, Visible);
  if (!IsConOut(This)) return TraceConsole("EnableCursor", EFI_INVALID_PARAMETER, Visible);
  fw.ConOutMode.CursorVisible = Visible;
  return TraceConsole("EnableCursor", EFI_SUCCESS, Visible);
}

EFI_STATUS EFIAPI InReset(SIMPLE_INPUT_INTERFACE* This, BOOLEAN Extended) {
  auto& fw = Fw();
  if (auto injected = fw.Self.EnterService("ConIn.Reset"))
    return TraceConsole("ConIn.Reset", *injected, Extended);
  if (This != &fw.ConIn) return TraceConsole("ConIn.Reset", EFI_INVALID_PARAMETER, Extended);
  fw.Keys.clear();
  return TraceConsole("ConIn.Reset", EFI_SUCCESS, Extended);
}

// Traced with Value = scan code << 16 | character of the key returned.
EFI_STATUS EFIAPI ReadKeyStroke(SIMPLE_INPUT_INTERFACE* This, EFI_INPUT_KEY* Key) {
  auto& fw = Fw();
  if (auto injected = fw.Self.EnterService("ReadKeyStroke"))
    return TraceConsole("ReadKeyStroke", *injected);
  if (This != &fw.ConIn || Key == nullptr) return TraceConsole("ReadKeyStroke", EFI_INVALID_PARAMETER);
  if (fw.Keys.empty()) return TraceConsole("ReadKeyStroke", EFI_NOT_READY);
  *Key = fw.Keys.front();
  fw.Keys.pop_front();
  return TraceConsole("ReadKeyStroke", EFI_SUCCESS,
                      (uint64_t(Key->ScanCode) << 16) | Key->UnicodeChar);
}

}  // namespace

void SetUpConsoles(Firmware::Impl& Fw) {
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
}

std::u16string Firmware::ConsoleText() const { return Impl_->ConsoleText; }

std::u16string Firmware::ScreenRow(int Row) const {
  if (Row < 0 || Row >= kRows) return {};
  std::u16string row = Impl_->Screen[Row];
  row.erase(row.find_last_not_of(u' ') + 1);
  return row;
}

const SIMPLE_TEXT_OUTPUT_MODE& Firmware::ConsoleMode() const { return Impl_->ConOutMode; }

void Firmware::QueueKey(EFI_INPUT_KEY Key) { Impl_->Keys.push_back(Key); }

void Firmware::QueueKey(char16_t Character) {
  EFI_INPUT_KEY key{};
  key.UnicodeChar = Character;
  QueueKey(key);
}

size_t Firmware::QueuedKeys() const { return Impl_->Keys.size(); }

}  // namespace sim
