// The LAN controller driver's binding: the entry point that publishes it, the support test that
// accepts the Realtek Gigabit and 10/100 controllers, and the release of a started controller.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/platform.h"

constexpr UINT32 LAN_DRIVER_BINDING_VERSION = 0x10;

constexpr UINT16 PCI_DEVICE_GIGABIT = 0x8168;
constexpr UINT16 PCI_DEVICE_FAST_ETHERNET = 0x8136;
// The 10/100 controller is taken on from this revision on.
constexpr UINT8 FAST_ETHERNET_MIN_REVISION = 2;

// The single binding instance; the entry point fills in its three functions and both handles.
extern EFI_DRIVER_BINDING_PROTOCOL LanDriverBinding;
// The PCI I/O protocol of the controller last opened by the support test or the start-up.
extern EFI_PCI_IO_PROTOCOL *gLanPciIo;

// The claim on a controller: its PCI I/O protocol opened by driver under the binding's handle,
// into gLanPciIo (null after an open that succeeded without handing one back), and given back.
EFI_STATUS OpenLanController(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle);
VOID CloseLanController(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle);
// One configuration register of the opened controller into Value (a narrow read fills only its
// low bytes); the status of the read.
EFI_STATUS ReadLanConfig(EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32 Register, UINT32 *Value);

extern "C" EFI_STATUS EFIAPI LanControllerSetupEntry(EFI_HANDLE ImageHandle,
                                                     EFI_SYSTEM_TABLE *SystemTable);

// True for a controller the driver takes on, judged from its configuration header.
BOOLEAN IsSupportedLanController(UINT16 VendorId, UINT16 DeviceId, UINT8 RevisionId);

EFI_STATUS EFIAPI LanSupported(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                               EFI_DEVICE_PATH *RemainingDevicePath);
EFI_STATUS EFIAPI LanStop(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                          UINTN NumberOfChildren, EFI_HANDLE *ChildHandleBuffer);
