// The one way every source of the project reaches UEFI types: Debian's gnu-efi headers, made
// usable from C++, plus the firmware interfaces gnu-efi does not declare (Framework HII,
// Framework CPU I/O, USB I/O, the ready-to-boot group, the platform's setup-data and
// station-address protocols). Layouts are pinned by static_asserts at the end of this file.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

// NULL must be the C++ one before gnu-efi offers its ((VOID *) 0).
#include <stddef.h>

#include <efi.h>

// gnu-efi's compiler shim defines __attribute__ away when it believes it is under MSVC;
// the images build with -fno-ms-extensions, but never let our own attributes vanish.
#ifdef __attribute__
#undef __attribute__
#endif

// ---------------------------------------------------------------------------------------------
// GUIDs, as constant initialisers (no static constructors).

#define READY_TO_BOOT_EVENT_GROUP_GUID \
  { 0x7CE88FB3, 0x4BD7, 0x4679, { 0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B } }

#define FRAMEWORK_HII_PROTOCOL_GUID \
  { 0xEA816D2C, 0xCEE5, 0x4F02, { 0x99, 0xB5, 0xD3, 0x90, 0x5C, 0xBB, 0xD0, 0x77 } }

#define FRAMEWORK_CPU_IO_PROTOCOL_GUID \
  { 0xB0732526, 0x38C8, 0x4B40, { 0x88, 0x77, 0x61, 0xC7, 0xB0, 0x6A, 0xAC, 0x45 } }

#define USB_IO_PROTOCOL_GUID \
  { 0x2B2F68D6, 0x0CD2, 0x44CF, { 0x8E, 0x8B, 0xBB, 0xA2, 0x0B, 0x1B, 0x5B, 0x75 } }

#define SETUP_DATA_PROTOCOL_GUID \
  { 0xFE3542FE, 0xC1D3, 0x4EF8, { 0x65, 0x7C, 0x80, 0x48, 0x60, 0x6F, 0xF6, 0x70 } }

#define STATION_ADDRESS_PROTOCOL_GUID \
  { 0xBB03857D, 0xFF60, 0x4DDB, { 0xB6, 0x9E, 0x06, 0x54, 0x47, 0xE5, 0x9B, 0x37 } }

// ---------------------------------------------------------------------------------------------
// PCI root-bridge widths under their own names (gnu-efi only has the PCI I/O spelling; the
// values are the same enum).

constexpr EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH EfiPciWidthUint8 = EfiPciIoWidthUint8;
constexpr EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH EfiPciWidthUint16 = EfiPciIoWidthUint16;
constexpr EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH EfiPciWidthUint32 = EfiPciIoWidthUint32;

// Root-bridge configuration address: bus << 24 | device << 16 | function << 8 | register.
// (gnu-efi's EFI_PCI_ADDRESS is an unrelated three-argument macro.)
constexpr UINT64 PciRootBridgeAddress(UINT8 Bus, UINT8 Device, UINT8 Function, UINT8 Register) {
  return (static_cast<UINT64>(Bus) << 24) | (static_cast<UINT64>(Device) << 16) |
         (static_cast<UINT64>(Function) << 8) | Register;
}

// ---------------------------------------------------------------------------------------------
// Framework HII protocol (HII 0.92). Only NewPack (slot 0) and GetString (slot 10) are called;
// every slot is declared so that both land at their offsets.

typedef UINT16 FRAMEWORK_HII_HANDLE;
typedef UINT16 STRING_REF;
typedef UINT32 RELOFST;

#define EFI_HII_STRING_PACK_TYPE 2

#pragma pack(push, 1)
typedef struct {
  UINT32 Length;  // bytes of the whole pack, this header included
  UINT16 Type;
} EFI_HII_PACK_HEADER;

typedef struct {
  EFI_HII_PACK_HEADER Header;
  RELOFST LanguageNameString;
  RELOFST PrintableLanguageName;
  UINT32 NumStringPointers;
  UINT32 Attributes;
  // RELOFST StringPointers[NumStringPointers] follow, then the strings.
} EFI_HII_STRING_PACK;

typedef struct {
  UINTN NumberOfPackages;
  EFI_GUID *GuidId;
  // VOID *Packages[NumberOfPackages] follow.
} EFI_HII_PACKAGES;
#pragma pack(pop)

struct _FRAMEWORK_HII_PROTOCOL;
typedef struct _FRAMEWORK_HII_PROTOCOL FRAMEWORK_HII_PROTOCOL;

typedef EFI_STATUS(EFIAPI *FRAMEWORK_HII_NEW_PACK)(FRAMEWORK_HII_PROTOCOL *This,
                                                   EFI_HII_PACKAGES *Packages,
                                                   FRAMEWORK_HII_HANDLE *Handle);

// BufferLength is a full UINTN in bytes, terminator included; callers keep its upper bytes
// zero so that an early 16-bit implementation reads the same value.
typedef EFI_STATUS(EFIAPI *FRAMEWORK_HII_GET_STRING)(FRAMEWORK_HII_PROTOCOL *This,
                                                     FRAMEWORK_HII_HANDLE Handle,
                                                     STRING_REF Token, BOOLEAN Raw,
                                                     CHAR16 *LanguageString,
                                                     UINTN *BufferLength,
                                                     CHAR16 *StringBuffer);

typedef EFI_STATUS(EFIAPI *FRAMEWORK_HII_UNUSED_SLOT)(VOID);

struct _FRAMEWORK_HII_PROTOCOL {
  FRAMEWORK_HII_NEW_PACK NewPack;                       // 0
  FRAMEWORK_HII_UNUSED_SLOT RemovePack;                 // 1
  FRAMEWORK_HII_UNUSED_SLOT FindHandles;                // 2
  FRAMEWORK_HII_UNUSED_SLOT ExportDatabase;             // 3
  FRAMEWORK_HII_UNUSED_SLOT TestString;                 // 4
  FRAMEWORK_HII_UNUSED_SLOT GetGlyph;                   // 5
  FRAMEWORK_HII_UNUSED_SLOT GlyphToBlt;                 // 6
  FRAMEWORK_HII_UNUSED_SLOT NewString;                  // 7
  FRAMEWORK_HII_UNUSED_SLOT GetPrimaryLanguages;        // 8
  FRAMEWORK_HII_UNUSED_SLOT GetSecondaryLanguages;      // 9
  FRAMEWORK_HII_GET_STRING GetString;                   // 10
  FRAMEWORK_HII_UNUSED_SLOT ResetStrings;               // 11
  FRAMEWORK_HII_UNUSED_SLOT GetLine;                    // 12
  FRAMEWORK_HII_UNUSED_SLOT GetForms;                   // 13
  FRAMEWORK_HII_UNUSED_SLOT GetDefaultImage;            // 14
  FRAMEWORK_HII_UNUSED_SLOT UpdateForm;                 // 15
  FRAMEWORK_HII_UNUSED_SLOT GetKeyboardLayout;          // 16
};

// ---------------------------------------------------------------------------------------------
// Framework CPU I/O protocol (same table as PI CPU I/O 2, other GUID).

typedef enum {
  EfiCpuIoWidthUint8,
  EfiCpuIoWidthUint16,
  EfiCpuIoWidthUint32,
  EfiCpuIoWidthUint64,
  EfiCpuIoWidthFifoUint8,
  EfiCpuIoWidthFifoUint16,
  EfiCpuIoWidthFifoUint32,
  EfiCpuIoWidthFifoUint64,
  EfiCpuIoWidthFillUint8,
  EfiCpuIoWidthFillUint16,
  EfiCpuIoWidthFillUint32,
  EfiCpuIoWidthFillUint64,
  EfiCpuIoWidthMaximum
} FRAMEWORK_CPU_IO_WIDTH;

struct _FRAMEWORK_CPU_IO_PROTOCOL;
typedef struct _FRAMEWORK_CPU_IO_PROTOCOL FRAMEWORK_CPU_IO_PROTOCOL;

typedef EFI_STATUS(EFIAPI *FRAMEWORK_CPU_IO_ACCESS)(FRAMEWORK_CPU_IO_PROTOCOL *This,
                                                    FRAMEWORK_CPU_IO_WIDTH Width, UINT64 Address,
                                                    UINTN Count, VOID *Buffer);

typedef struct {
  FRAMEWORK_CPU_IO_ACCESS Read;
  FRAMEWORK_CPU_IO_ACCESS Write;
} FRAMEWORK_CPU_IO_ACCESS_PAIR;

struct _FRAMEWORK_CPU_IO_PROTOCOL {
  FRAMEWORK_CPU_IO_ACCESS_PAIR Mem;
  FRAMEWORK_CPU_IO_ACCESS_PAIR Io;
};

// ---------------------------------------------------------------------------------------------
// USB I/O protocol: only UsbGetDeviceDescriptor (slot 6) is called.

#pragma pack(push, 1)
typedef struct {
  UINT8 Length;
  UINT8 DescriptorType;
  UINT16 BcdUSB;
  UINT8 DeviceClass;
  UINT8 DeviceSubClass;
  UINT8 DeviceProtocol;
  UINT8 MaxPacketSize0;
  UINT16 IdVendor;
  UINT16 IdProduct;
  UINT16 BcdDevice;
  UINT8 StrManufacturer;
  UINT8 StrProduct;
  UINT8 StrSerialNumber;
  UINT8 NumConfigurations;
} USB_DEVICE_DESCRIPTOR_RECORD;
#pragma pack(pop)

struct _USB_IO_PROTOCOL;
typedef struct _USB_IO_PROTOCOL USB_IO_PROTOCOL;

typedef EFI_STATUS(EFIAPI *USB_IO_GET_DEVICE_DESCRIPTOR)(USB_IO_PROTOCOL *This,
                                                         USB_DEVICE_DESCRIPTOR_RECORD *Descriptor);
typedef EFI_STATUS(EFIAPI *USB_IO_UNUSED_SLOT)(VOID);

struct _USB_IO_PROTOCOL {
  USB_IO_UNUSED_SLOT UsbControlTransfer;             // 0
  USB_IO_UNUSED_SLOT UsbBulkTransfer;                // 1
  USB_IO_UNUSED_SLOT UsbAsyncInterruptTransfer;      // 2
  USB_IO_UNUSED_SLOT UsbSyncInterruptTransfer;       // 3
  USB_IO_UNUSED_SLOT UsbIsochronousTransfer;         // 4
  USB_IO_UNUSED_SLOT UsbAsyncIsochronousTransfer;    // 5
  USB_IO_GET_DEVICE_DESCRIPTOR UsbGetDeviceDescriptor;  // 6
  USB_IO_UNUSED_SLOT UsbGetConfigDescriptor;         // 7
  USB_IO_UNUSED_SLOT UsbGetInterfaceDescriptor;      // 8
  USB_IO_UNUSED_SLOT UsbGetEndpointDescriptor;       // 9
  USB_IO_UNUSED_SLOT UsbGetStringDescriptor;         // 10
  USB_IO_UNUSED_SLOT UsbGetSupportedLanguages;       // 11
  USB_IO_UNUSED_SLOT UsbPortReset;                   // 12
};

// Device-path node types and subtypes the port check compares (type compared as type & 0x7F).
constexpr UINT8 DEVICE_PATH_TYPE_HARDWARE = 0x01;
constexpr UINT8 DEVICE_PATH_SUBTYPE_PCI = 0x01;
constexpr UINT8 DEVICE_PATH_TYPE_MESSAGING = 0x03;
constexpr UINT8 DEVICE_PATH_SUBTYPE_USB = 0x05;
constexpr UINT8 DEVICE_PATH_TYPE_END = 0x7F;
constexpr UINT8 DEVICE_PATH_SUBTYPE_END_ENTIRE = 0xFF;

// ---------------------------------------------------------------------------------------------
// The platform's setup-data protocol: the second field points at the setup record.

typedef struct {
  UINT64 Reserved;
  UINT8 *Record;
} SETUP_DATA_PROTOCOL;

// The station-address protocol: only the eight bytes at 0x20..0x27 are used.
constexpr UINTN STATION_ADDRESS_BLOCK_OFFSET = 0x20;
constexpr UINTN STATION_ADDRESS_BLOCK_SIZE = 8;

typedef struct {
  UINT8 Reserved[STATION_ADDRESS_BLOCK_OFFSET];
  UINT8 StationAddress[STATION_ADDRESS_BLOCK_SIZE];
} STATION_ADDRESS_PROTOCOL;

// ---------------------------------------------------------------------------------------------
// PI status codes: the status-code protocol (the DXE router's entry point), the debug code type
// and EDK II's debug record, the extended data its DebugLib reports each DEBUG() line with and
// its handlers (a serial port, ReportStatusCodeExtractDebugInfo in its report-status-code
// libraries) format as it comes.

#define EFI_STATUS_CODE_RUNTIME_PROTOCOL_GUID \
  { 0xD2B2B828, 0x0826, 0x48A7, { 0xB3, 0xDF, 0x98, 0x3C, 0x00, 0x60, 0x24, 0xF0 } }

// gEfiStatusCodeDataTypeDebugGuid: the data is an EFI_DEBUG_INFO record.
#define EFI_STATUS_CODE_DATA_TYPE_DEBUG_GUID \
  { 0x9A4E9246, 0xD553, 0x11D5, { 0x87, 0xE2, 0x00, 0x06, 0x29, 0x45, 0xC3, 0xB9 } }

typedef UINT32 EFI_STATUS_CODE_TYPE;
typedef UINT32 EFI_STATUS_CODE_VALUE;

// Code types (bits 7:0 of EFI_STATUS_CODE_TYPE).
constexpr EFI_STATUS_CODE_TYPE EFI_DEBUG_CODE = 0x00000003;
// Value of a debug code reported by a DXE boot-service driver, no specific operation:
// EFI_SOFTWARE (class 0x03) | EFI_SOFTWARE_DXE_BS_DRIVER (subclass 0x05) | EFI_DC_UNSPECIFIED.
constexpr EFI_STATUS_CODE_VALUE EFI_SOFTWARE_DXE_BS_DRIVER_DEBUG = 0x03050000;
// DebugLib's error level of informational lines (DEBUG_INFO).
constexpr UINT32 EFI_DEBUG_LEVEL_INFO = 0x00000040;

typedef struct {
  UINT16 HeaderSize;  // of this header
  UINT16 Size;        // of the data that follows it
  EFI_GUID Type;
} EFI_STATUS_CODE_DATA;

typedef struct {
  UINT32 ErrorLevel;
} EFI_DEBUG_INFO;

// The largest data after the header that EDK II's report-status-code libraries pass on
// (EFI_STATUS_CODE_DATA_MAX_SIZE).
constexpr UINTN EFI_STATUS_CODE_DATA_MAX_SIZE = 0x200;
// The argument slots between EFI_DEBUG_INFO and the format: DebugLib's BASE_LIST of at most 12.
constexpr UINTN EFI_DEBUG_ARGUMENT_SLOTS = 12;

// One debug record, whole: the header, the error level, the argument slots (8-byte aligned, as
// the record is), then the null-terminated ASCII format, which a handler formats with the slots.
// Everything sits inside the HeaderSize + Size bytes a router copies for a handler it calls
// later, so the record carries no pointer. Size covers EFI_DEBUG_INFO, the slots and the format
// up to its terminator; the format room fills the record to the largest size the libraries pass.
typedef struct {
  EFI_STATUS_CODE_DATA DataHeader;
  EFI_DEBUG_INFO DebugInfo;
  UINT64 Arguments[EFI_DEBUG_ARGUMENT_SLOTS];
  CHAR8 Format[EFI_STATUS_CODE_DATA_MAX_SIZE - sizeof(EFI_DEBUG_INFO) -
               EFI_DEBUG_ARGUMENT_SLOTS * sizeof(UINT64)];
} EFI_DEBUG_STATUS_CODE_RECORD;

typedef EFI_STATUS(EFIAPI *EFI_REPORT_STATUS_CODE)(EFI_STATUS_CODE_TYPE Type,
                                                   EFI_STATUS_CODE_VALUE Value, UINT32 Instance,
                                                   EFI_GUID *CallerId, EFI_STATUS_CODE_DATA *Data);

typedef struct {
  EFI_REPORT_STATUS_CODE ReportStatusCode;
} EFI_STATUS_CODE_PROTOCOL;

// ---------------------------------------------------------------------------------------------
// The offsets this project relies on, checked at compile time in every build.

static_assert(sizeof(EFI_HII_PACK_HEADER) == 6, "pack header must be byte-packed");
static_assert(sizeof(EFI_HII_STRING_PACK) == 22, "string-pack header must be byte-packed");
static_assert(offsetof(EFI_HII_STRING_PACK, LanguageNameString) == 0x06);
static_assert(offsetof(EFI_HII_STRING_PACK, PrintableLanguageName) == 0x0A);
static_assert(offsetof(EFI_HII_STRING_PACK, NumStringPointers) == 0x0E);
static_assert(offsetof(EFI_HII_STRING_PACK, Attributes) == 0x12);
static_assert(sizeof(EFI_HII_PACKAGES) == 16);
static_assert(offsetof(EFI_HII_PACKAGES, GuidId) == 8);
static_assert(offsetof(FRAMEWORK_HII_PROTOCOL, NewPack) == 0x00);
static_assert(offsetof(FRAMEWORK_HII_PROTOCOL, GetString) == 0x50);
static_assert(sizeof(FRAMEWORK_HII_PROTOCOL) == 0x88);

static_assert(offsetof(FRAMEWORK_CPU_IO_PROTOCOL, Io.Read) == 0x10);
static_assert(offsetof(FRAMEWORK_CPU_IO_PROTOCOL, Io.Write) == 0x18);
static_assert(sizeof(FRAMEWORK_CPU_IO_PROTOCOL) == 0x20);
static_assert(sizeof(FRAMEWORK_CPU_IO_WIDTH) == 4);

static_assert(offsetof(USB_IO_PROTOCOL, UsbGetDeviceDescriptor) == 0x30);
static_assert(sizeof(USB_IO_PROTOCOL) == 0x68);
static_assert(sizeof(USB_DEVICE_DESCRIPTOR_RECORD) == 18);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR_RECORD, IdVendor) == 8);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR_RECORD, IdProduct) == 10);

static_assert(offsetof(SETUP_DATA_PROTOCOL, Record) == 8);
static_assert(offsetof(STATION_ADDRESS_PROTOCOL, StationAddress) == 0x20);

// gnu-efi declarations we call through, checked where a wrong header would silently misplace a slot.
static_assert(offsetof(EFI_SYSTEM_TABLE, ConIn) == 0x30);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConOut) == 0x40);
static_assert(offsetof(EFI_SYSTEM_TABLE, RuntimeServices) == 0x58);
static_assert(offsetof(EFI_SYSTEM_TABLE, BootServices) == 0x60);
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePool) == 0x40);
static_assert(offsetof(EFI_BOOT_SERVICES, FreePool) == 0x48);
static_assert(offsetof(EFI_BOOT_SERVICES, InstallProtocolInterface) == 0x80);
static_assert(offsetof(EFI_BOOT_SERVICES, HandleProtocol) == 0x98);
static_assert(offsetof(EFI_BOOT_SERVICES, Stall) == 0xF8);
static_assert(offsetof(EFI_BOOT_SERVICES, OpenProtocol) == 0x118);
static_assert(offsetof(EFI_BOOT_SERVICES, CloseProtocol) == 0x120);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateHandleBuffer) == 0x138);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateProtocol) == 0x140);
static_assert(offsetof(EFI_BOOT_SERVICES, SetMem) == 0x168);
static_assert(offsetof(EFI_BOOT_SERVICES, CreateEventEx) == 0x170);
static_assert(offsetof(EFI_SIMPLE_TEXT_OUT_PROTOCOL, OutputString) == 0x08);
static_assert(offsetof(EFI_SIMPLE_TEXT_OUT_PROTOCOL, SetAttribute) == 0x28);
static_assert(offsetof(EFI_SIMPLE_TEXT_OUT_PROTOCOL, SetCursorPosition) == 0x38);
static_assert(offsetof(EFI_SIMPLE_TEXT_OUT_PROTOCOL, EnableCursor) == 0x40);
static_assert(offsetof(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL, Pci) == 0x38);
static_assert(sizeof(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL) == 0x98);
static_assert(offsetof(EFI_PCI_IO_PROTOCOL, Io) == 0x20);
static_assert(offsetof(EFI_PCI_IO_PROTOCOL, Pci) == 0x30);
static_assert(offsetof(EFI_PCI_IO_PROTOCOL, Attributes) == 0x78);
static_assert(offsetof(EFI_DRIVER_BINDING_PROTOCOL, Version) == 0x18);
static_assert(offsetof(EFI_DRIVER_BINDING_PROTOCOL, DriverBindingHandle) == 0x28);
static_assert(sizeof(EFI_STATUS_CODE_DATA) == 20);
static_assert(offsetof(EFI_STATUS_CODE_DATA, Type) == 4);
static_assert(offsetof(EFI_DEBUG_STATUS_CODE_RECORD, DebugInfo) == 20);
static_assert(offsetof(EFI_DEBUG_STATUS_CODE_RECORD, Arguments) == 24);
static_assert(offsetof(EFI_DEBUG_STATUS_CODE_RECORD, Format) == 24 + 12 * 8);
static_assert(offsetof(EFI_DEBUG_STATUS_CODE_RECORD, Format) +
                  sizeof(EFI_DEBUG_STATUS_CODE_RECORD::Format) == 20 + 0x200);
