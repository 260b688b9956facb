// The bring-up flavour's decision lines. A driver built with GUARDS_DEBUG_LOG says, one line per
// decision, what it read and what it decided, in the platform's debug log: each line is a debug
// status code carrying EDK II's debug record (the line inside it as a format that prints
// verbatim) and the module's FILE_GUID (GUARDS_FILE_GUID, from integrator_package/modules.ini) as
// caller ID, which the status-code router hands to every handler the platform registered (a
// serial port, a handler of its own), from the first dispatch on.
// Only a firmware without the status-code protocol gets the line on its standard-error console
// instead (when the system table has one; else it is dropped). Without the switch every
// DEBUG_LINE compiles to nothing and its arguments are never evaluated, so the release images
// are the bytes they would be without this header.
//
// The formatter is ours (no standard library in the images) and knows two conversions:
//   %s   an ASCII string argument (a null one prints as "(null)")
//   %x   a number in upper-case hex, as few digits as it needs; %2x ... %8x pad it with zeros
//        to at least that many digits; %% prints a percent sign
// A conversion without an argument, or with one of the other kind, prints "?"; arguments left
// over are ignored.
// SPDX-License-Identifier: BSD-2-Clause-Patent
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

// One line's characters, terminator included; a longer line is cut (still terminated). The
// longest, the wireless-LAN entry line with every step failing, takes about 170; the platform's
// serial status-code handler takes up to 255.
constexpr UINTN DEBUG_LINE_CAPACITY = 200;

// Formats Format with Args into Buffer (Capacity characters, terminator included, at least 1);
// returns the number of characters before the terminator.
UINTN FormatDebugLine(CHAR16 *Buffer, UINTN Capacity, const char *Format, const DebugArg *Args,
                      UINTN Count);

// Formats the line and reports it, followed by LF, as an EFI_DEBUG_CODE from CallerId through
// the status-code protocol (EDK II's debug record, error level DEBUG_INFO); where none is installed, writes it followed by CR LF to the
// standard-error console. Never both, so no console shows a line twice.
void EmitDebugLine(const EFI_GUID *CallerId, const char *Format, const DebugArg *Args,
                   UINTN Count);

#if defined(GUARDS_DEBUG_LOG)
#if defined(GUARDS_FILE_GUID)
// This module's caller ID (one per image: each driver's sources are compiled with their own).
static constexpr EFI_GUID DEBUG_CALLER_ID = GUARDS_FILE_GUID;
#endif
template <typename... Values>
inline void DebugLine(const EFI_GUID *CallerId, const char *Format, Values... Arguments) {
  const DebugArg List[] = {ToDebugArg(Arguments)..., {0, nullptr}};
  EmitDebugLine(CallerId, Format, List, sizeof...(Values));
}
#define DEBUG_LINE(...) DebugLine(&DEBUG_CALLER_ID, __VA_ARGS__)
#else
#define DEBUG_LINE(...) \
  do {                  \
  } while (0)
#endif
