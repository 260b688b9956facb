// Where a guard's patchable settings sit in its image. A platform build patches each one at its
// file offset (the as-built INF's [PatchPcd] lines), so every one needs bytes in the file: all of
// them go to .data, a zero-valued one too (the compiler would put that in .bss, which has none).
// An allow-list, whose value a platform may write up to (and, with a DSC that names a larger
// size, past) its storage, sits in one object with a fixed end marker right after the storage,
// and that object is the last of the initialised data (.data$z sorts after .data). It starts and
// ends on a 32-byte boundary, the images' FileAlignment, so the file's data end with it: bytes a
// value spills past the storage reach the marker and the object's unread tail, never another
// setting, the guard's state (.bss, which has no bytes in the file) or a GUID (constants, in the
// code section). cmake/check_image.py refuses an image whose patchable value lies outside .data.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/uefi.h"

#if defined(UEFI_IMAGE)
#define PATCHABLE_SETTING __attribute__((section(".data")))
#define PATCHABLE_LIST __attribute__((section(".data$z")))
#else
#define PATCHABLE_SETTING
#define PATCHABLE_LIST
#endif

// The dword right after each list's storage: the file bytes "END!". A guard that finds anything
// else there knows a value spilled past the list and uses its shipped settings instead.
constexpr UINT32 PATCHABLE_LIST_END_MARKER = 0x21444E45;

template <typename Entry, UINTN Capacity>
struct alignas(32) PatchableList {
  Entry Entries[Capacity];
  UINT32 EndMarker;
};
