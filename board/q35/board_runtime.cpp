// Byte fill and copy for the board images, and the two C library routines the compiler may
// call for aggregate copies and zeroing even in a freestanding build.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "board/q35/board_services.h"

namespace board {

// Volatile byte accesses keep the optimiser from turning these loops back into calls to
// memset and memcpy, which would call themselves.
void FillBytes(void *Destination, UINTN Size, UINT8 Value) {
  volatile UINT8 *To = static_cast<volatile UINT8 *>(Destination);
  for (UINTN Index = 0; Index < Size; Index++) {
    To[Index] = Value;
  }
}

void CopyBytes(void *Destination, const void *Source, UINTN Size) {
  volatile UINT8 *To = static_cast<volatile UINT8 *>(Destination);
  const UINT8 *From = static_cast<const UINT8 *>(Source);
  for (UINTN Index = 0; Index < Size; Index++) {
    To[Index] = From[Index];
  }
}

}  // namespace board

extern "C" void *memset(void *Destination, int Value, size_t Size) {
  board::FillBytes(Destination, Size, static_cast<UINT8>(Value));
  return Destination;
}

extern "C" void *memcpy(void *Destination, const void *Source, size_t Size) {
  board::CopyBytes(Destination, Source, Size);
  return Destination;
}
