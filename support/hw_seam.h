// The only place that knows whether the drivers run on the board or in the host tests: direct
// I/O-port accesses, byte accesses to the memory-mapped PCI Express configuration window, and
// one pass of a halt loop. The images inline the x64 backend below; the host tests link a
// simulated platform that defines the same functions.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "uefi.h"

namespace hw {

// RFLAGS.IF, as DisableInterrupts hands it back.
constexpr UINTN RFLAGS_INTERRUPT_ENABLE = 0x200;

#if defined(UEFI_IMAGE)

inline UINT8 PortIn8(UINT16 Port) {
  UINT8 Value;
  __asm__ volatile("inb %w1, %b0" : "=a"(Value) : "Nd"(Port));
  return Value;
}
inline UINT16 PortIn16(UINT16 Port) {
  UINT16 Value;
  __asm__ volatile("inw %w1, %w0" : "=a"(Value) : "Nd"(Port));
  return Value;
}
inline UINT32 PortIn32(UINT16 Port) {
  UINT32 Value;
  __asm__ volatile("inl %w1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
}
inline VOID PortOut8(UINT16 Port, UINT8 Value) {
  __asm__ volatile("outb %b0, %w1" : : "a"(Value), "Nd"(Port));
}
inline VOID PortOut16(UINT16 Port, UINT16 Value) {
  __asm__ volatile("outw %w0, %w1" : : "a"(Value), "Nd"(Port));
}
inline VOID PortOut32(UINT16 Port, UINT32 Value) {
  __asm__ volatile("outl %0, %w1" : : "a"(Value), "Nd"(Port));
}

// The configuration window is identity-mapped during boot services.
inline UINT8 WindowRead8(UINTN Address) {
  return *reinterpret_cast<volatile UINT8 *>(Address);
}
inline VOID WindowWrite8(UINTN Address, UINT8 Value) {
  *reinterpret_cast<volatile UINT8 *>(Address) = Value;
}

// An index/data port pair runs with interrupts off, so that no interrupt handler can slip an
// access of its own between the index and the data: DisableInterrupts hands back the caller's
// RFLAGS and clears IF, RestoreInterrupts sets IF to exactly what those flags held (sti when it
// was set, cli when it was clear), as EDK II's SaveAndDisableInterrupts and SetInterruptState
// do. So the caller gets its own interrupt state back even when something in between changed
// it.
//
// No boot service may be called in between: the core's RestoreTPL enables interrupts again below
// TPL_HIGH_LEVEL. The embedded-controller and mechanism-#1 pairs use only the direct route. The
// second CMOS bank's pair goes through Framework CPU I/O (Io.Read/Io.Write) between the disable
// and the restore, and assumes that the protocol reaches the port without changing IF: neither
// raising and restoring the TPL nor calling another service (the q35 board's protocol,
// board/q35/framework_cpu_io.cpp, executes the IN/OUT directly). A CPU I/O that does turn
// interrupts back on leaves the rest of that pair unprotected, but not the caller's state: the
// restore still clears IF for a caller that had it clear.
inline UINTN DisableInterrupts() {
  UINTN Flags;
  __asm__ volatile("pushfq\n\tpopq %0\n\tcli" : "=r"(Flags) : : "memory");
  return Flags;
}
inline VOID RestoreInterrupts(UINTN Flags) {
  if ((Flags & RFLAGS_INTERRUPT_ENABLE) != 0)
    __asm__ volatile("sti" ::: "memory");
  else
    __asm__ volatile("cli" ::: "memory");
}

// One pass of a loop that must never end. The pause keeps the loop a real loop for the
// optimiser (an empty infinite loop may be removed in C++) and is gentle on the core.
inline VOID HaltStep() { __asm__ volatile("pause" ::: "memory"); }

#else

UINT8 PortIn8(UINT16 Port);
UINT16 PortIn16(UINT16 Port);
UINT32 PortIn32(UINT16 Port);
VOID PortOut8(UINT16 Port, UINT8 Value);
VOID PortOut16(UINT16 Port, UINT16 Value);
VOID PortOut32(UINT16 Port, UINT32 Value);
UINT8 WindowRead8(UINTN Address);
VOID WindowWrite8(UINTN Address, UINT8 Value);
// The host tests keep a simulated interrupt flag, saved, cleared and set back exactly as above:
// no trace entry, so every trace stays as the image would make it, but the simulated platform
// refuses an index/data access made with it set.
UINTN DisableInterrupts();
VOID RestoreInterrupts(UINTN Flags);
// In the host tests a halt loop hands control back to the test after a set number of passes.
VOID HaltStep();

#endif

}  // namespace hw
