// What the three drivers share about the platform and about PCI: the protocol GUIDs (declared
// once, here), the configuration registers and the platform's device numbers, the
// configuration read whose failure stands as all ones, and the read-modify-write rule. Names
// stay clear of gnu-efi's macros (pci22.h defines PCI_CLASS_ETHERNET and friends), so the
// header keeps compiling when efilib.h is included.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include "support/uefi.h"

// ---------------------------------------------------------------------------------------------
// Protocol GUIDs. Inline constants: one object per image however many sources use them, among
// the image's read-only data, where no value patched into .data can reach them. The boot
// services' prototypes take EFI_GUID * but only read through it, so taking a GUID's address
// hands the firmware that pointer with its const cast away.
struct FirmwareGuid {
  EFI_GUID Value;
  EFI_GUID *operator&() const { return const_cast<EFI_GUID *>(&Value); }
};

inline constexpr FirmwareGuid gPciRootBridgeIoProtocolGuid = {EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_GUID};
inline constexpr FirmwareGuid gPciIoProtocolGuid = {EFI_PCI_IO_PROTOCOL_GUID};
inline constexpr FirmwareGuid gDriverBindingProtocolGuid = {EFI_DRIVER_BINDING_PROTOCOL_GUID};
inline constexpr FirmwareGuid gDevicePathProtocolGuid = {EFI_DEVICE_PATH_PROTOCOL_GUID};
inline constexpr FirmwareGuid gUsbIoProtocolGuid = {USB_IO_PROTOCOL_GUID};
inline constexpr FirmwareGuid gFrameworkCpuIoProtocolGuid = {FRAMEWORK_CPU_IO_PROTOCOL_GUID};
inline constexpr FirmwareGuid gFrameworkHiiProtocolGuid = {FRAMEWORK_HII_PROTOCOL_GUID};
inline constexpr FirmwareGuid gSetupDataProtocolGuid = {SETUP_DATA_PROTOCOL_GUID};
inline constexpr FirmwareGuid gStationAddressProtocolGuid = {STATION_ADDRESS_PROTOCOL_GUID};
inline constexpr FirmwareGuid gReadyToBootEventGroupGuid = {READY_TO_BOOT_EVENT_GROUP_GUID};

// ---------------------------------------------------------------------------------------------
// Configuration registers (type 0 and type 1 headers, and the capability list).

constexpr UINT8 PCI_REG_VENDOR_ID = 0x00;  // the ID dword: device ID << 16 | vendor ID
constexpr UINT8 PCI_REG_DEVICE_ID = 0x02;
constexpr UINT8 PCI_REG_COMMAND = 0x04;
constexpr UINT8 PCI_REG_REVISION_ID = 0x08;  // the class dword: class << 16 | ... | revision
constexpr UINT8 PCI_REG_CACHE_LINE_SIZE = 0x0C;
constexpr UINT8 PCI_REG_BAR0 = 0x10;
constexpr UINT8 PCI_REG_BUS_NUMBERS = 0x18;  // primary, secondary, subordinate, latency
constexpr UINT8 PCI_REG_SECONDARY_BUS = 0x19;
constexpr UINT8 PCI_REG_SUBORDINATE_BUS = 0x1A;
constexpr UINT8 PCI_REG_SUBSYSTEM_ID = 0x2C;  // subsystem ID << 16 | subsystem vendor ID
constexpr UINT8 PCI_REG_CAPABILITIES_POINTER = 0x34;
constexpr UINT8 PCI_CAPABILITY_NEXT = 1;  // offset of the next pointer within a capability

constexpr UINT8 PCI_CAPABILITY_ID_PCI_EXPRESS = 0x10;
constexpr UINT8 PCIE_REG_LINK_CONTROL = 0x10;  // from the PCI Express capability

// Base class << 8 | subclass, as the class dword carries them in bits 31:16.
constexpr UINT16 PCI_CLASS_CODE_ETHERNET = 0x0200;
constexpr UINT16 PCI_CLASS_CODE_NETWORK_OTHER = 0x0280;

constexpr UINT16 PCI_VENDOR_INTEL = 0x8086;
constexpr UINT16 PCI_VENDOR_REALTEK = 0x10EC;

// A bus number that reads as this belongs to no bridge that answered.
constexpr UINT8 PCI_BUS_NUMBER_ABSENT = 0xFF;
// What a function that does not answer reads as; a failed read stands as the same.
constexpr UINT32 PCI_ALL_ONES = 0xFFFFFFFF;

// The ports below this belong to the PC's legacy devices (DMA, interrupt and keyboard
// controllers, timer, CMOS). A chipset or controller base register that reads below it has not
// been programmed, and registers at offsets from it would reach those devices.
constexpr UINT32 LEGACY_PORT_LIMIT = 0x100;

// ---------------------------------------------------------------------------------------------
// The platform's devices on bus 0.

constexpr UINT8 PLATFORM_HOST_BRIDGE_DEVICE = 0x00;
constexpr UINT8 PLATFORM_GRAPHICS_PORT_DEVICE = 0x01;  // the PCI Express graphics port
constexpr UINT8 PLATFORM_USB_CONTROLLER_DEVICE = 0x1A;  // the wireless-WAN port's controller
constexpr UINT8 PLATFORM_HDA_DEVICE = 0x1B;             // whose cache-line size the bridges take
constexpr UINT8 PLATFORM_ROOT_PORT_DEVICE = 0x1C;       // root ports 1-6 are its functions 0-5
constexpr UINT8 PLATFORM_ROOT_PORT_FUNCTIONS = 6;
constexpr UINT8 PLATFORM_LPC_BRIDGE_DEVICE = 0x1F;

// Root port 1 (function 0) carries the wireless-LAN slot; root port 2 (function 1) the
// platform's subsystem IDs.
constexpr UINT8 PLATFORM_WLAN_ROOT_PORT_FUNCTION = 0;
constexpr UINT8 PLATFORM_SUBSYSTEM_ROOT_PORT_FUNCTION = 1;

// ---------------------------------------------------------------------------------------------
// Access helpers.

// A little-endian dword at any byte address, as one 4-byte access (x64 has no alignment rule;
// the packed cell tells the compiler so).
struct __attribute__((packed, may_alias)) UnalignedDword {
  UINT32 Value;
};
inline UINT32 LoadDword(const UINT8 *Bytes) {
  return reinterpret_cast<const UnalignedDword *>(Bytes)->Value;
}
inline VOID StoreDword(UINT8 *Bytes, UINT32 Value) {
  reinterpret_cast<UnalignedDword *>(Bytes)->Value = Value;
}

// The value with the bits of Clear cleared and those of Set set.
template <typename T>
constexpr T UpdateBits(T Value, T Clear, T Set) {
  return static_cast<T>((Value & static_cast<T>(~Clear)) | Set);
}

// A configuration read through the root bridge whose status is not examined: the buffer starts
// all ones, so a failed read and an absent function both read as all ones. A narrow read fills
// only the low bytes.
inline UINT32 ReadConfigOrAllOnes(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridge,
                                  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, UINT64 Address) {
  UINT32 Value = PCI_ALL_ONES;
  RootBridge->Pci.Read(RootBridge, Width, Address, 1, &Value);
  return Value;
}
