// The board's Framework CPU I/O protocol: port accesses with the processor's IN/OUT
// instructions and memory accesses as volatile loads and stores, in the plain, FIFO and fill
// forms of the width enum.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "board/q35/board_services.h"
#include "support/hw_seam.h"

namespace board {
namespace {

constexpr UINT64 IO_PORT_LIMIT = 0x10000;

enum class Space { Memory, Io };
enum class Direction { Read, Write };

// Bytes per access for the width's base size (Uint8..Uint64).
UINTN AccessBytes(FRAMEWORK_CPU_IO_WIDTH Width) { return UINTN{1} << (Width & 3); }

void AccessPort(Direction Dir, UINTN Bytes, UINT16 Port, UINT8 *Item) {
  switch (Bytes) {
    case 1:
      if (Dir == Direction::Read) {
        *Item = hw::PortIn8(Port);
      } else {
        hw::PortOut8(Port, *Item);
      }
      break;
    case 2:
      if (Dir == Direction::Read) {
        *reinterpret_cast<UINT16 *>(Item) = hw::PortIn16(Port);
      } else {
        hw::PortOut16(Port, *reinterpret_cast<UINT16 *>(Item));
      }
      break;
    default:
      if (Dir == Direction::Read) {
        *reinterpret_cast<UINT32 *>(Item) = hw::PortIn32(Port);
      } else {
        hw::PortOut32(Port, *reinterpret_cast<UINT32 *>(Item));
      }
      break;
  }
}

template <typename T>
void AccessMemory(Direction Dir, UINT64 Address, UINT8 *Item) {
  volatile T *Location = reinterpret_cast<volatile T *>(static_cast<UINTN>(Address));
  if (Dir == Direction::Read) {
    *reinterpret_cast<T *>(Item) = *Location;
  } else {
    *Location = *reinterpret_cast<T *>(Item);
  }
}

EFI_STATUS Access(Space Where, Direction Dir, FRAMEWORK_CPU_IO_WIDTH Width, UINT64 Address,
                  UINTN Count, VOID *Buffer) {
  if (Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (static_cast<UINT32>(Width) >= EfiCpuIoWidthMaximum) {
    return EFI_INVALID_PARAMETER;
  }
  const UINTN Bytes = AccessBytes(Width);
  // Plain widths step address and buffer, FIFO only the buffer, fill only the address.
  const bool StepAddress = Width < EfiCpuIoWidthFifoUint8 || Width >= EfiCpuIoWidthFillUint8;
  const bool StepBuffer = Width < EfiCpuIoWidthFillUint8;
  if (reinterpret_cast<UINTN>(Buffer) % Bytes != 0) {
    return EFI_UNSUPPORTED;
  }
  if (Where == Space::Io) {
    if (Bytes == 8 || Address >= IO_PORT_LIMIT || (StepAddress && Count > IO_PORT_LIMIT)) {
      return EFI_UNSUPPORTED;
    }
    const UINT64 Span = StepAddress ? Count * Bytes : Bytes;
    if (Span > IO_PORT_LIMIT - Address) {
      return EFI_UNSUPPORTED;
    }
  }
  auto *Item = static_cast<UINT8 *>(Buffer);
  for (UINTN Index = 0; Index < Count; Index++) {
    if (Where == Space::Io) {
      AccessPort(Dir, Bytes, static_cast<UINT16>(Address), Item);
    } else if (Bytes == 1) {
      AccessMemory<UINT8>(Dir, Address, Item);
    } else if (Bytes == 2) {
      AccessMemory<UINT16>(Dir, Address, Item);
    } else if (Bytes == 4) {
      AccessMemory<UINT32>(Dir, Address, Item);
    } else {
      AccessMemory<UINT64>(Dir, Address, Item);
    }
    if (StepAddress) {
      Address += Bytes;
    }
    if (StepBuffer) {
      Item += Bytes;
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI MemRead(FRAMEWORK_CPU_IO_PROTOCOL *, FRAMEWORK_CPU_IO_WIDTH Width,
                          UINT64 Address, UINTN Count, VOID *Buffer) {
  return Access(Space::Memory, Direction::Read, Width, Address, Count, Buffer);
}
EFI_STATUS EFIAPI MemWrite(FRAMEWORK_CPU_IO_PROTOCOL *, FRAMEWORK_CPU_IO_WIDTH Width,
                           UINT64 Address, UINTN Count, VOID *Buffer) {
  return Access(Space::Memory, Direction::Write, Width, Address, Count, Buffer);
}
EFI_STATUS EFIAPI IoRead(FRAMEWORK_CPU_IO_PROTOCOL *, FRAMEWORK_CPU_IO_WIDTH Width,
                         UINT64 Address, UINTN Count, VOID *Buffer) {
  return Access(Space::Io, Direction::Read, Width, Address, Count, Buffer);
}
EFI_STATUS EFIAPI IoWrite(FRAMEWORK_CPU_IO_PROTOCOL *, FRAMEWORK_CPU_IO_WIDTH Width,
                          UINT64 Address, UINTN Count, VOID *Buffer) {
  return Access(Space::Io, Direction::Write, Width, Address, Count, Buffer);
}

FRAMEWORK_CPU_IO_PROTOCOL gCpuIo = {{MemRead, MemWrite}, {IoRead, IoWrite}};

}  // namespace

FRAMEWORK_CPU_IO_PROTOCOL *FrameworkCpuIoInterface() { return &gCpuIo; }

}  // namespace board
