// Port-level accesses of the wireless-LAN slot guard, each in the order its hardware needs.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "wlan_slot_guard/port_primitives.h"

#include "support/driver_context.h"
#include "support/hw_seam.h"
#include "support/platform.h"

namespace {

// A write to this unused port takes about a microsecond on the LPC bus; the CMOS and the 8254
// get one after each index or data write. The value carries no meaning.
constexpr UINT16 IO_DELAY_PORT = 0xED;
constexpr UINT8 IO_DELAY_VALUE = 0;

constexpr UINT16 OPTION_CMOS_INDEX_PORT = 0x72;
constexpr UINT16 OPTION_CMOS_DATA_PORT = 0x73;

constexpr UINT16 EC_ADDRESS_LOW_PORT = 0x381;
constexpr UINT16 EC_ADDRESS_HIGH_PORT = 0x382;
constexpr UINT16 EC_DATA_PORT = 0x383;
constexpr UINT32 EC_READ_SETTLE_US = 3;
constexpr UINT32 EC_WRITE_SETTLE_US = 16;

constexpr UINT16 PCI_CONFIG_ADDRESS_PORT = 0xCF8;
constexpr UINT16 PCI_CONFIG_DATA_PORT = 0xCFC;
constexpr UINT32 PCI_CONFIG_ENABLE = 0x80000000;

// Bus 0, device 31 (LPC bridge), function 0, register 0x40: the ACPI PM I/O base, bit 0 being
// the I/O-space indicator. The timer sits at base + 8.
constexpr UINT32 LPC_ACPI_BASE_CF8_ADDRESS = 0xF840;
constexpr UINT16 ACPI_BASE_IO_SPACE_BIT = 0x0001;
constexpr UINT16 PM_TIMER_OFFSET = 8;
constexpr UINT32 PM_TIMER_MASK = 0xFFFFFF;
constexpr UINT32 IO_SPACE_LAST_DWORD_PORT = 0xFFFC;
constexpr UINT32 PM_TIMER_WRAP_SHIFT = 24;
constexpr UINT32 PM_TIMER_TICKS_PER_100_US = 358;

// A running PM timer moves every 279 ns, and one port read of it takes longer than that, so
// consecutive readings of a live timer differ; even an emulated timer fed from a coarse clock
// moves within a millisecond, i.e. within a few hundred readings. A run of this many identical
// readings therefore comes only from a timer that has stopped (or was never started), and
// ending the wait there costs a dead timer a few milliseconds instead of the boot.
constexpr UINT32 PM_TIMER_STOPPED_READINGS = 4096;

constexpr UINT16 SPEAKER_GATE_PORT = 0x61;
constexpr UINT8 SPEAKER_GATE_AND_DATA = 0x03;
constexpr UINT16 PIT_MODE_PORT = 0x43;
constexpr UINT16 PIT_CHANNEL2_PORT = 0x42;
constexpr UINT8 PIT_CHANNEL2_SQUARE_WAVE_LOW_HIGH = 0xB6;
constexpr UINT8 PIT_CHANNEL2_LATCH = 0x80;
// Divisor 0x0555 of the 1.193 MHz input clock: about 874 Hz.
constexpr UINT8 BEEP_DIVISOR_LOW = 0x55;
constexpr UINT8 BEEP_DIVISOR_HIGH = 0x05;
constexpr UINTN BEEP_DURATION_US = 62000;

// Located anew for each access; only a missing interface is refused.
FRAMEWORK_CPU_IO_PROTOCOL *LocateCpuIo() {
  return static_cast<FRAMEWORK_CPU_IO_PROTOCOL *>(LocateInterface(&gFrameworkCpuIoProtocolGuid));
}

VOID IoDelay() { CpuIoPort8Write(IO_DELAY_PORT, IO_DELAY_VALUE); }

VOID WriteCpuIo8(FRAMEWORK_CPU_IO_PROTOCOL *CpuIo, UINT16 Port, UINT8 Value) {
  CpuIo->Io.Write(CpuIo, EfiCpuIoWidthUint8, Port, 1, &Value);
}

UINT32 ReadPmTimer(UINT16 TimerPort) { return hw::PortIn32(TimerPort) & PM_TIMER_MASK; }

}  // namespace

BOOLEAN CpuIoPresent() { return LocateCpuIo() != nullptr; }

UINT8 CpuIoPort8Read(UINT16 Port) {
  UINT8 Value = 0;
  FRAMEWORK_CPU_IO_PROTOCOL *CpuIo = LocateCpuIo();
  if (CpuIo != nullptr) CpuIo->Io.Read(CpuIo, EfiCpuIoWidthUint8, Port, 1, &Value);
  return Value;
}

VOID CpuIoPort8Write(UINT16 Port, UINT8 Value) {
  FRAMEWORK_CPU_IO_PROTOCOL *CpuIo = LocateCpuIo();
  if (CpuIo != nullptr) CpuIo->Io.Write(CpuIo, EfiCpuIoWidthUint8, Port, 1, &Value);
}

// Each index/data pair runs with interrupts off and is one operation with one location of the
// protocol, made before the pair: a firmware service called between index and data would turn
// interrupts back on.
UINT8 ReadOptionCmos(UINT8 Index) {
  UINT8 Value = 0;
  FRAMEWORK_CPU_IO_PROTOCOL *CpuIo = LocateCpuIo();
  if (CpuIo == nullptr) return Value;
  UINTN Interrupts = hw::DisableInterrupts();
  WriteCpuIo8(CpuIo, OPTION_CMOS_INDEX_PORT, Index);
  WriteCpuIo8(CpuIo, IO_DELAY_PORT, IO_DELAY_VALUE);
  CpuIo->Io.Read(CpuIo, EfiCpuIoWidthUint8, OPTION_CMOS_DATA_PORT, 1, &Value);
  hw::RestoreInterrupts(Interrupts);
  return Value;
}

VOID WriteOptionCmos(UINT8 Index, UINT8 Value) {
  FRAMEWORK_CPU_IO_PROTOCOL *CpuIo = LocateCpuIo();
  if (CpuIo == nullptr) return;
  UINTN Interrupts = hw::DisableInterrupts();
  WriteCpuIo8(CpuIo, OPTION_CMOS_INDEX_PORT, Index);
  WriteCpuIo8(CpuIo, IO_DELAY_PORT, IO_DELAY_VALUE);
  WriteCpuIo8(CpuIo, OPTION_CMOS_DATA_PORT, Value);
  WriteCpuIo8(CpuIo, IO_DELAY_PORT, IO_DELAY_VALUE);
  hw::RestoreInterrupts(Interrupts);
}

UINT8 EcRead(UINT16 Address) {
  UINTN Interrupts = hw::DisableInterrupts();
  hw::PortOut8(EC_ADDRESS_LOW_PORT, static_cast<UINT8>(Address));
  hw::PortOut8(EC_ADDRESS_HIGH_PORT, static_cast<UINT8>(Address >> 8));
  UINT8 Value = hw::PortIn8(EC_DATA_PORT);
  hw::RestoreInterrupts(Interrupts);
  PmTimerStall(EC_READ_SETTLE_US);
  return Value;
}

VOID EcWrite(UINT16 Address, UINT8 Value) {
  UINTN Interrupts = hw::DisableInterrupts();
  hw::PortOut8(EC_ADDRESS_LOW_PORT, static_cast<UINT8>(Address));
  hw::PortOut8(EC_ADDRESS_HIGH_PORT, static_cast<UINT8>(Address >> 8));
  hw::PortOut8(EC_DATA_PORT, Value);
  hw::RestoreInterrupts(Interrupts);
  PmTimerStall(EC_WRITE_SETTLE_US);
}

UINT16 PciCf8Read16(UINT32 Address) {
  UINTN Interrupts = hw::DisableInterrupts();
  hw::PortOut32(PCI_CONFIG_ADDRESS_PORT, Address | PCI_CONFIG_ENABLE);
  UINT16 Value = hw::PortIn16(static_cast<UINT16>(PCI_CONFIG_DATA_PORT + (Address & 3)));
  hw::RestoreInterrupts(Interrupts);
  return Value;
}

VOID PmTimerStall(UINT32 Microseconds) {
  if (Microseconds == 0) return;

  // A base among the legacy ports (0 from an unprogrammed bridge), or one whose timer lies past
  // the top of the I/O space (all ones from an absent bridge, which would wrap to port 6 of the
  // DMA controller), gives no timer to wait on.
  UINT32 PmBase = PciCf8Read16(LPC_ACPI_BASE_CF8_ADDRESS) & ~ACPI_BASE_IO_SPACE_BIT;
  if (PmBase < LEGACY_PORT_LIMIT || PmBase + PM_TIMER_OFFSET > IO_SPACE_LAST_DWORD_PORT) return;
  UINT16 TimerPort = static_cast<UINT16>(PmBase + PM_TIMER_OFFSET);

  UINT32 Previous = ReadPmTimer(TimerPort);
  UINT32 Ticks = (Microseconds * PM_TIMER_TICKS_PER_100_US) / 100;  // the product wraps at 2^32
  UINT32 End = Previous + Ticks + 1;
  UINT32 Wraps = End >> PM_TIMER_WRAP_SHIFT;
  UINT32 Target = End & PM_TIMER_MASK;
  UINT32 Current = Previous;

  // Count the wraps of the 24-bit counter first. A reading that has not moved counts as one,
  // which also ends this phase for a timer that has stopped.
  while (Wraps != 0) {
    Current = ReadPmTimer(TimerPort);
    if (Current <= Previous) --Wraps;
    Previous = Current;
  }

  // Then wait for the remainder; a reading below the one before has wrapped past the target.
  UINT32 Unmoved = 0;
  while (Current < Target) {
    if (Previous > Current) return;
    if (Unmoved >= PM_TIMER_STOPPED_READINGS) return;
    Previous = Current;
    Current = ReadPmTimer(TimerPort);
    Unmoved = Current == Previous ? Unmoved + 1 : 0;
  }
}

VOID SoundAlertBeep() {
  UINT8 Gate = CpuIoPort8Read(SPEAKER_GATE_PORT);
  IoDelay();
  CpuIoPort8Write(SPEAKER_GATE_PORT, Gate | SPEAKER_GATE_AND_DATA);
  IoDelay();
  CpuIoPort8Write(PIT_MODE_PORT, PIT_CHANNEL2_SQUARE_WAVE_LOW_HIGH);
  IoDelay();
  CpuIoPort8Write(PIT_CHANNEL2_PORT, BEEP_DIVISOR_LOW);
  IoDelay();
  CpuIoPort8Write(PIT_CHANNEL2_PORT, BEEP_DIVISOR_HIGH);
  IoDelay();
  IoDelay();
  CpuIoPort8Write(PIT_MODE_PORT, PIT_CHANNEL2_LATCH);
  IoDelay();
  gDriverContext.BootServices->Stall(BEEP_DURATION_US);
  CpuIoPort8Write(SPEAKER_GATE_PORT, Gate);
  IoDelay();
}
