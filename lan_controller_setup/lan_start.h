// Start-up programming of a claimed LAN controller: the bridges' cache-line size, the claim and
// decoding, the station address, the configuration bytes and the subsystem identifier.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/uefi.h"

// Writes CacheLineSize into the bridge at Bus:Device.Function and into device 0, function 0 of
// its secondary and of its subordinate bus; a bus number that reads 0xFF is skipped.
VOID SetBridgeCacheLineSize(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT8 Bus, UINT8 Device,
                            UINT8 Function, UINT8 CacheLineSize);

EFI_STATUS EFIAPI LanStart(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                           EFI_DEVICE_PATH *RemainingDevicePath);
