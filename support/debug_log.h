// The bring-up flavour's decision lines. A driver built with GUARDS_DEBUG_LOG says, one line per
// decision, what it read and what it decided, on the firmware's standard-error console when the
// system table has one (during DXE dispatch it has none, and the line is dropped). Without the
// switch every DEBUG_LINE compiles to nothing and its arguments are never evaluated, so the
// release images are the bytes they would be without this header.
//
// The formatter is ours (no standard library in the images) and knows two conversions:
//   %s   an ASCII string argument (a null one prints as "(null)")
//   %x   a number in upper-case hex, as few digits as it needs; %2x ... %8x pad it with zeros
//        to at least that many digits; %% prints a percent sign
// A conversion without an argument, or with one of the other kind, prints "?"; arguments left
// over are ignored.
#pragma once

#include "support/uefi.h"

struct DebugArg {
  UINT64 Value;
  const char *Text;  // not null: the argument of a %s
};

constexpr DebugArg ToDebugArg(const char *Text) { return {0, Text != nullptr ? Text : "(null)"}; }
constexpr DebugArg ToDebugArg(UINT64 Value) { return {Value, nullptr}; }
constexpr DebugArg ToDebugArg(UINT32 Value) { return {Value, nullptr}; }
constexpr DebugArg ToDebugArg(UINT16 Value) { return {Value, nullptr}; }
constexpr DebugArg ToDebugArg(UINT8 Value) { return {Value, nullptr}; }
constexpr DebugArg ToDebugArg(bool Value) { return {Value ? 1u : 0u, nullptr}; }

// One line's characters, terminator included; a longer line is cut (still terminated).
constexpr UINTN DEBUG_LINE_CAPACITY = 160;

// Formats Format with Args into Buffer (Capacity characters, terminator included, at least 1);
// returns the number of characters before the terminator.
UINTN FormatDebugLine(CHAR16 *Buffer, UINTN Capacity, const char *Format, const DebugArg *Args,
                      UINTN Count);

// Formats the line and writes it, followed by CR LF, to the standard-error console.
void EmitDebugLine(const char *Format, const DebugArg *Args, UINTN Count);

#if defined(GUARDS_DEBUG_LOG)
template <typename... Values>
inline void DebugLine(const char *Format, Values... Arguments) {
  const DebugArg List[] = {ToDebugArg(Arguments)..., {0, nullptr}};
  EmitDebugLine(Format, List, sizeof...(Values));
}
#define DEBUG_LINE(...) DebugLine(__VA_ARGS__)
#else
#define DEBUG_LINE(...) \
  do {                  \
  } while (0)
#endif
