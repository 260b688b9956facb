// The pieces of the board support image: each publishes one interface the target platform's
// firmware provides and OVMF does not. The entry point installs them on its image handle.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/uefi.h"
#include "tests/sim/interface_constants.h"

namespace board {

// The firmware tables the board image keeps from its entry point.
extern EFI_SYSTEM_TABLE *gSystemTable;
extern EFI_BOOT_SERVICES *gBootServices;

// Interfaces, ready to install once the entry point has saved the tables.
FRAMEWORK_HII_PROTOCOL *FrameworkHiiInterface();
FRAMEWORK_CPU_IO_PROTOCOL *FrameworkCpuIoInterface();

// Builds the setup record and the station-address block from the board's variables; false when
// the record cannot be allocated.
bool PreparePlatformData();
interface_constants::SetupDataInterface *SetupDataInterface();
// Gives the chipset registers the target firmware programs and OVMF does not their values.
void ProgramChipset();
// The station-address interface: its bytes, the block at its fixed place.
UINT8 *StationAddressInterface();

// Byte fill and copy for the board's own buffers (no C library in the image).
void FillBytes(void *Destination, UINTN Size, UINT8 Value);
void CopyBytes(void *Destination, const void *Source, UINTN Size);

}  // namespace board
