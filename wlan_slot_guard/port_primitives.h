// The wireless-LAN slot guard's legacy port accesses: option bytes in the second CMOS bank, the
// embedded controller, the ACPI PM timer, configuration mechanism #1 and the PC speaker.
//
// Two routes reach the ports. CpuIoPort8 goes through the Framework CPU I/O protocol, located
// anew for every access (by the CMOS pair, once for each operation); the direct route is the
// processor's IN/OUT instructions through the hardware seam (hw::PortIn8/16/32,
// hw::PortOut8/16/32). Each operation below uses the route the hardware behind it has always
// been reached by, and the exact order of accesses it needs.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/uefi.h"

// Byte read through the CPU I/O protocol. The buffer starts at 0 and the status is not examined,
// so a failing read, or a firmware without the protocol, yields 0.
UINT8 CpuIoPort8Read(UINT16 Port);
// Byte write through the CPU I/O protocol; dropped when the protocol cannot be located.
VOID CpuIoPort8Write(UINT16 Port, UINT8 Value);
// True when the CPU I/O protocol can be located: without it a CpuIoPort8 read yields 0, a value
// that was never read and so decides no write.
BOOLEAN CpuIoPresent();

// Second CMOS bank (index 0x72, data 0x73), with an I/O delay after each index or data write.
// Without the CPU I/O protocol a read yields 0 and a write is dropped.
UINT8 ReadOptionCmos(UINT8 Index);
VOID WriteOptionCmos(UINT8 Index, UINT8 Value);

// Embedded-controller register file (address low 0x381, high 0x382, data 0x383); the controller
// is given 3 us after a read and 16 us after a write.
UINT8 EcRead(UINT16 Address);
VOID EcWrite(UINT16 Address, UINT8 Value);

// 16-bit configuration read by mechanism #1. Address: bus in bits 16-23, device in bits 11-15,
// function in bits 8-10, register in bits 0-7; bits 0-1 select the word within the dword.
UINT16 PciCf8Read16(UINT32 Address);

// Busy wait on the ACPI PM timer (24 bits, 3.58 MHz): 358/100 ticks per microsecond.
VOID PmTimerStall(UINT32 Microseconds);

// One beep of about 874 Hz for 62 ms on the PC speaker; port 0x61 is left as it was found.
VOID SoundAlertBeep();
