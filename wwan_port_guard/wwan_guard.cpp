// The wireless-WAN port guard: its entry point, the ready-to-boot notify and the port check.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "wwan_port_guard/wwan_guard.h"

#include "support/debug_log.h"
#include "support/driver_context.h"
#include "support/hw_seam.h"
#include "support/patchable.h"
#include "support/platform.h"
#include "support/string_packages.h"
#include "wwan_port_guard/wwan_strings.h"

// The modules that may sit on the wireless-WAN port as shipped, product ID << 16 | vendor ID,
// and the port: the USB host controller at device 0x1A, function 0, root port 1.
#define SHIPPED_WWAN_MODULES 0x0C717E2D, 0x0C727E2D, 0x0C737E2D, 0x0C747E2D
static constexpr UINT32 SHIPPED_WWAN_ALLOW_LIST[] = {SHIPPED_WWAN_MODULES};
constexpr UINT8 SHIPPED_WWAN_ALLOW_LIST_COUNT = sizeof(SHIPPED_WWAN_ALLOW_LIST) / sizeof(UINT32);
constexpr UINT16 SHIPPED_WWAN_CONTROLLER_FUNCTION = 0;
constexpr UINT8 SHIPPED_WWAN_PORT = 1;

// The settings as the image holds them, patched by the platform build.
volatile WwanAllowListStorage _gPcd_BinaryPatch_PcdWwanAllowList PATCHABLE_LIST = {
    {SHIPPED_WWAN_MODULES}, PATCHABLE_LIST_END_MARKER};
volatile UINT8 _gPcd_BinaryPatch_PcdWwanAllowListCount PATCHABLE_SETTING = SHIPPED_WWAN_ALLOW_LIST_COUNT;
volatile UINT16 _gPcd_BinaryPatch_PcdWwanControllerDevice PATCHABLE_SETTING = PLATFORM_USB_CONTROLLER_DEVICE;
volatile UINT16 _gPcd_BinaryPatch_PcdWwanControllerFunction PATCHABLE_SETTING = SHIPPED_WWAN_CONTROLLER_FUNCTION;
volatile UINT8 _gPcd_BinaryPatch_PcdWwanPort PATCHABLE_SETTING = SHIPPED_WWAN_PORT;

// What a PCI device and function number and a USB root port can be at most.
constexpr UINT16 PCI_DEVICE_MAX = 0x1F;
constexpr UINT16 PCI_FUNCTION_MAX = 7;
constexpr UINT8 USB_ROOT_PORT_MAX = 15;
// An allow-list entry whose vendor ID is 0 matches nothing: a module never reports vendor 0, and
// the check's cleared descriptor shows IDs that were not read as 0000:0000.
constexpr UINT32 USB_VENDOR_MASK = 0xFFFF;

WwanPortFilter gWwanPortFilter;

const WwanPortFilter *LoadWwanPortFilter() {
  const volatile WwanAllowListStorage &List = _gPcd_BinaryPatch_PcdWwanAllowList;
  UINT8 Count = _gPcd_BinaryPatch_PcdWwanAllowListCount;
  UINT16 Device = _gPcd_BinaryPatch_PcdWwanControllerDevice;
  UINT16 Function = _gPcd_BinaryPatch_PcdWwanControllerFunction;
  UINT8 Port = _gPcd_BinaryPatch_PcdWwanPort;
  const volatile UINT32 *Ids = List.Entries;
  const UINT32 Marker = List.EndMarker;
  if (Marker != PATCHABLE_LIST_END_MARKER) {
    // A list value longer than its storage: none of the patched settings is trusted.
    DEBUG_LINE("wwan_port_guard: allow-list spilled past its storage (end marker %8x): the "
               "shipped list of %x and port 00:%2x.%x port %x are used",
               Marker, SHIPPED_WWAN_ALLOW_LIST_COUNT, PLATFORM_USB_CONTROLLER_DEVICE,
               SHIPPED_WWAN_CONTROLLER_FUNCTION, SHIPPED_WWAN_PORT);
    Ids = SHIPPED_WWAN_ALLOW_LIST;
    Count = SHIPPED_WWAN_ALLOW_LIST_COUNT;
    Device = PLATFORM_USB_CONTROLLER_DEVICE;
    Function = SHIPPED_WWAN_CONTROLLER_FUNCTION;
    Port = SHIPPED_WWAN_PORT;
  }
  if (Count > WWAN_ALLOW_LIST_CAPACITY) {
    DEBUG_LINE("wwan_port_guard: allow-list count %x is above the %x entries stored: %x used",
               Count, static_cast<UINT64>(WWAN_ALLOW_LIST_CAPACITY),
               static_cast<UINT64>(WWAN_ALLOW_LIST_CAPACITY));
    Count = WWAN_ALLOW_LIST_CAPACITY;
  }
  // A port no controller has would make the check match nothing: the whole shipped filter.
  if (Device > PCI_DEVICE_MAX || Function > PCI_FUNCTION_MAX || Port > USB_ROOT_PORT_MAX) {
    DEBUG_LINE("wwan_port_guard: port 00:%2x.%x port %x cannot be: port 00:%2x.%x port %x is used",
               Device, Function, Port, PLATFORM_USB_CONTROLLER_DEVICE,
               SHIPPED_WWAN_CONTROLLER_FUNCTION, SHIPPED_WWAN_PORT);
    Device = PLATFORM_USB_CONTROLLER_DEVICE;
    Function = SHIPPED_WWAN_CONTROLLER_FUNCTION;
    Port = SHIPPED_WWAN_PORT;
  }
#if defined(GUARDS_DEBUG_LOG)
  for (UINT8 Index = 0; Index < Count; ++Index)
    if ((Ids[Index] & USB_VENDOR_MASK) == 0)
      DEBUG_LINE("wwan_port_guard: allow-list entry %x (%8x) has vendor 0000: it matches nothing",
                 static_cast<UINT8>(Index + 1), Ids[Index]);
#endif
  gWwanPortFilter.ControllerDevice = Device;
  gWwanPortFilter.ControllerFunction = Function;
  gWwanPortFilter.Port = Port;
  gWwanPortFilter.IdCount = Count;
  gWwanPortFilter.Ids = Ids;
  return &gWwanPortFilter;
}

static constexpr FirmwareGuid gWwanPackageGuid = {WWAN_STRING_PACKAGE_GUID};

// On an Intel controller the port is also reachable through the EHCI function of the device.
constexpr UINT16 INTEL_EHCI_FUNCTION = 7;
constexpr UINT16 OTHER_COMPANION_FUNCTION = 2;
constexpr UINT32 USB_ID_NOT_READ = 0xFFFFFFFF;

// A USB host controller's class code: base class 0x0C, subclass 0x03, and a programming
// interface of 0x00 (UHCI), 0x10 (OHCI), 0x20 (EHCI) or 0x30 (xHCI), the only ones with bits 7:6
// and 3:0 clear (0xFE is a USB device controller, 0x40 a USB4 host interface).
constexpr UINT32 USB_HOST_CLASS_MASK = 0xFFFFCF00;
constexpr UINT32 USB_HOST_CLASS = 0x0C030000;

// The class dword of the filter's controller (all ones when the read fails); a filter naming a
// function that is no USB host controller would match no handle, so the whole shipped port is
// judged instead, as for a port no controller has. Checked at ready-to-boot, when the root
// bridge is there.
static const WwanPortFilter *UsbHostFilter(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridge,
                                           const WwanPortFilter *Filter, WwanPortFilter *Shipped) {
  UINT32 Class = PCI_ALL_ONES;
  if (EFI_ERROR(RootBridge->Pci.Read(RootBridge, EfiPciWidthUint32,
                                     PciRootBridgeAddress(0, static_cast<UINT8>(Filter->ControllerDevice),
                                                          static_cast<UINT8>(Filter->ControllerFunction),
                                                          PCI_REG_REVISION_ID),
                                     1, &Class)))
    Class = PCI_ALL_ONES;
  if ((Class & USB_HOST_CLASS_MASK) == USB_HOST_CLASS) return Filter;
  DEBUG_LINE("wwan_port_guard: 00:%2x.%x class %8x is no USB host controller: port 00:%2x.%x "
             "port %x is used", Filter->ControllerDevice, Filter->ControllerFunction, Class,
             PLATFORM_USB_CONTROLLER_DEVICE, SHIPPED_WWAN_CONTROLLER_FUNCTION, SHIPPED_WWAN_PORT);
  Shipped->ControllerDevice = PLATFORM_USB_CONTROLLER_DEVICE;
  Shipped->ControllerFunction = SHIPPED_WWAN_CONTROLLER_FUNCTION;
  Shipped->Port = SHIPPED_WWAN_PORT;
  Shipped->IdCount = Filter->IdCount;
  Shipped->Ids = Filter->Ids;
  return Shipped;
}

// A path that never reaches its end node is not walked forever.
constexpr UINTN DEVICE_PATH_MAX_NODES = 512;
constexpr UINT16 DEVICE_PATH_NODE_HEADER_SIZE = 4;

static UINT8 NodeType(const UINT8 *Node) { return Node[0] & 0x7F; }
static UINT16 NodeLength(const UINT8 *Node) {
  return static_cast<UINT16>(Node[2] | (Node[3] << 8));
}
static BOOLEAN IsEndOfPath(const UINT8 *Node) {
  return NodeType(Node) == DEVICE_PATH_TYPE_END && Node[1] == DEVICE_PATH_SUBTYPE_END_ENTIRE;
}

BOOLEAN FindPciUsbNodePair(const UINT8 *Path, const UINT8 **PciNode, const UINT8 **UsbNode) {
  const UINT8 *Node = Path;
  for (UINTN Walked = 0; Walked < DEVICE_PATH_MAX_NODES && !IsEndOfPath(Node); ++Walked) {
    // A node shorter than its own header would stall or derail the walk.
    if (NodeLength(Node) < DEVICE_PATH_NODE_HEADER_SIZE) return FALSE;
    const UINT8 *Next = Node + NodeLength(Node);
    if (NodeType(Node) == DEVICE_PATH_TYPE_HARDWARE && Node[1] == DEVICE_PATH_SUBTYPE_PCI &&
        NodeType(Next) == DEVICE_PATH_TYPE_MESSAGING && Next[1] == DEVICE_PATH_SUBTYPE_USB) {
      *PciNode = Node;
      *UsbNode = Next;
      return TRUE;
    }
    Node = Next;
  }
  return FALSE;
}

// Judges the module on the port: true when it is listed, or when its IDs could not be read.
// Descriptor is the check's buffer, cleared before the check began.
static BOOLEAN IsModuleAllowed(EFI_HANDLE Handle, const WwanPortFilter *Filter,
                               USB_DEVICE_DESCRIPTOR_RECORD *Descriptor) {
  EFI_BOOT_SERVICES *BootServices = gDriverContext.BootServices;
  USB_IO_PROTOCOL *UsbIo = nullptr;
  if (EFI_ERROR(BootServices->HandleProtocol(Handle, &gUsbIoProtocolGuid, reinterpret_cast<VOID **>(&UsbIo))) ||
      UsbIo == nullptr)
    return TRUE;
  if (EFI_ERROR(UsbIo->UsbGetDeviceDescriptor(UsbIo, Descriptor))) return TRUE;
  const UINT32 Id = (static_cast<UINT32>(Descriptor->IdProduct) << 16) | Descriptor->IdVendor;
  if (Id == USB_ID_NOT_READ) return TRUE;
  for (UINTN Index = 0; Index < Filter->IdCount; ++Index) {
    const UINT32 Entry = Filter->Ids[Index];
    if (Entry == Id && (Entry & USB_VENDOR_MASK) != 0) return TRUE;
  }
  return FALSE;
}

BOOLEAN CheckWwanPort(const WwanPortFilter *Filter) {
  EFI_BOOT_SERVICES *BootServices = gDriverContext.BootServices;
  // The descriptor buffer is cleared first, whatever follows.
  USB_DEVICE_DESCRIPTOR_RECORD Descriptor;
  BootServices->SetMem(&Descriptor, sizeof(Descriptor), 0);
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridge = nullptr;
  if (EFI_ERROR(BootServices->LocateProtocol(&gPciRootBridgeIoProtocolGuid, nullptr,
                                             reinterpret_cast<VOID **>(&RootBridge))) ||
      RootBridge == nullptr)
    return TRUE;
  WwanPortFilter Shipped;
  Filter = UsbHostFilter(RootBridge, Filter, &Shipped);

  UINTN Count = 0;
  EFI_HANDLE *Handles = nullptr;
  if (EFI_ERROR(BootServices->LocateHandleBuffer(ByProtocol, &gUsbIoProtocolGuid, nullptr, &Count, &Handles))) {
    DEBUG_LINE("wwan_port_guard: no USB device, no module on the port");
    return TRUE;
  }

  BOOLEAN Allowed = TRUE;
  // Kept from one handle to the next: a handle's failed read leaves the last vendor seen.
  UINT16 Vendor = 0;
  UINT8 AlternativePort = 0;
  UINTN Index = 0;
  for (; Index < Count; ++Index) {
    VOID *Path = nullptr;
    if (EFI_ERROR(BootServices->HandleProtocol(Handles[Index], &gDevicePathProtocolGuid, &Path)) || Path == nullptr)
      continue;
    const UINT8 *PciNode;
    const UINT8 *UsbNode;
    if (!FindPciUsbNodePair(static_cast<const UINT8 *>(Path), &PciNode, &UsbNode)) continue;
    const UINT8 PciFunction = PciNode[4];
    const UINT8 PciDevice = PciNode[5];
    const UINT8 ParentPortNumber = UsbNode[4];

    // The read's status is deliberately not examined.
    RootBridge->Pci.Read(RootBridge, EfiPciWidthUint16, PciRootBridgeAddress(0, PciDevice, 0, PCI_REG_VENDOR_ID), 1,
                         &Vendor);
    UINT16 AlternativeFunction = OTHER_COMPANION_FUNCTION;
    if (Vendor == PCI_VENDOR_INTEL) {
      AlternativeFunction = INTEL_EHCI_FUNCTION;
      AlternativePort = static_cast<UINT8>(Filter->ControllerFunction * 2 + Filter->Port);
    }

    if (PciDevice != Filter->ControllerDevice) continue;
    const BOOLEAN OnOwnFunction = PciFunction == Filter->ControllerFunction && ParentPortNumber == Filter->Port;
    const BOOLEAN OnAlternative = PciFunction == AlternativeFunction && ParentPortNumber == AlternativePort;
    if (!OnOwnFunction && !OnAlternative) continue;

    // Only the first handle on the port is judged. IDs that were not read show as the cleared
    // buffer's 0000:0000 (or as the all-ones answer), with the verdict "allowed".
    Allowed = IsModuleAllowed(Handles[Index], Filter, &Descriptor);
    DEBUG_LINE("wwan_port_guard: 00:%2x.%x port %x: module %4x:%4x, %s", PciDevice, PciFunction,
               ParentPortNumber, Descriptor.IdVendor, Descriptor.IdProduct,
               Allowed ? "allowed" : "unlisted, boot stops");
    break;
  }
  if (Index == Count) DEBUG_LINE("wwan_port_guard: no module on the port");
  if (Handles != nullptr) BootServices->FreePool(Handles);
  return Allowed;
}

static VOID PrintHaltLine(STRING_REF Token) {
  CHAR16 *Line = GetHiiString(Token);
  if (Line == nullptr) return;
  EFI_SIMPLE_TEXT_OUT_PROTOCOL *ConOut = gDriverContext.SystemTable->ConOut;
  if (ConOut != nullptr) ConOut->OutputString(ConOut, Line);
  gDriverContext.BootServices->FreePool(Line);
}

VOID EFIAPI OnReadyToBootWwan(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  // A platform that installs Framework HII after this guard started (or never), or whose NewPack
  // failed at the entry, gets the packs registered here, before the halt could need them.
  if (StringPackagesPending()) {
    [[maybe_unused]] const EFI_STATUS Packs =
        RegisterStringPackages(&gWwanPackageGuid, gWwanStringPacks.Bytes);
    DEBUG_LINE("wwan_port_guard: ready-to-boot: string packs %s (status %x)",
               Packs == EFI_SUCCESS ? "registered" : "not registered", Packs);
  }
  if (CheckWwanPort(static_cast<const WwanPortFilter *>(Context))) return;
  PrintHaltLine(WWAN_STRING_HALT_LINE_1);
  PrintHaltLine(WWAN_STRING_HALT_LINE_2);
  // The boot stops here for good.
  for (;;) hw::HaltStep();
}

extern "C" EFI_STATUS EFIAPI WwanPortGuardEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  InitDriverContext(ImageHandle, SystemTable);
  [[maybe_unused]] const EFI_STATUS Packs =
      RegisterStringPackages(&gWwanPackageGuid, gWwanStringPacks.Bytes);
  EFI_EVENT Event;
  [[maybe_unused]] const EFI_STATUS Created = CreateReadyToBootEvent(
      TPL_CALLBACK, OnReadyToBootWwan, const_cast<WwanPortFilter *>(LoadWwanPortFilter()), &Event);
  DEBUG_LINE("wwan_port_guard: entry: string packs %s (status %x), ready-to-boot event %s "
             "(status %x)", Packs == EFI_SUCCESS ? "registered" : "not registered", Packs,
             Created == EFI_SUCCESS ? "created" : "not created", Created);
  return EFI_SUCCESS;
}
