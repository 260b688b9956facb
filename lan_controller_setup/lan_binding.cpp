// The driver binding of the LAN controller driver: entry point, support test and release. The
// driver keeps no per-controller record; a started controller is one whose PCI I/O protocol it
// holds open by driver.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "lan_controller_setup/lan_binding.h"

#include "lan_controller_setup/lan_start.h"
#include "support/debug_log.h"
#include "support/driver_context.h"

EFI_PCI_IO_PROTOCOL *gLanPciIo;

EFI_STATUS OpenLanController(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle) {
  // An open that succeeds without handing back an interface leaves it null.
  gLanPciIo = nullptr;
  return gDriverContext.BootServices->OpenProtocol(
      ControllerHandle, &gPciIoProtocolGuid, reinterpret_cast<VOID **>(&gLanPciIo),
      This->DriverBindingHandle, ControllerHandle, EFI_OPEN_PROTOCOL_BY_DRIVER);
}

// The close's own status changes nothing for any caller.
VOID CloseLanController(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle) {
  gDriverContext.BootServices->CloseProtocol(ControllerHandle, &gPciIoProtocolGuid,
                                             This->DriverBindingHandle, ControllerHandle);
}

EFI_STATUS ReadLanConfig(EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32 Register, UINT32 *Value) {
  return gLanPciIo->Pci.Read(gLanPciIo, Width, Register, 1, Value);
}

BOOLEAN IsSupportedLanController(UINT16 VendorId, UINT16 DeviceId, UINT8 RevisionId) {
  if (VendorId != PCI_VENDOR_REALTEK) return FALSE;
  if (DeviceId == PCI_DEVICE_GIGABIT) return TRUE;
  return DeviceId == PCI_DEVICE_FAST_ETHERNET && RevisionId >= FAST_ETHERNET_MIN_REVISION;
}

EFI_STATUS EFIAPI LanSupported(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                               EFI_DEVICE_PATH *RemainingDevicePath) {
  (void)RemainingDevicePath;
  // A controller this driver already holds fails here, before its configuration is read.
  EFI_STATUS Status = OpenLanController(This, ControllerHandle);
  if (EFI_ERROR(Status)) return Status;
  // An open that handed back no interface is closed again below, the controller refused.
  if (gLanPciIo == nullptr) Status = EFI_UNSUPPORTED;

  // Vendor and device ID, then the revision, each read only when the reads before it
  // succeeded. The IDs start as all ones and the revision as 0, so a read that answers a
  // warning without writing cannot make a claim.
  UINT16 VendorId = 0xFFFF;
  UINT16 DeviceId = 0xFFFF;
  UINT8 RevisionId = 0;
  if (!EFI_ERROR(Status))
    Status = gLanPciIo->Pci.Read(gLanPciIo, EfiPciIoWidthUint16, PCI_REG_VENDOR_ID, 1, &VendorId);
  if (!EFI_ERROR(Status))
    Status = gLanPciIo->Pci.Read(gLanPciIo, EfiPciIoWidthUint16, PCI_REG_DEVICE_ID, 1, &DeviceId);
  if (!EFI_ERROR(Status))
    Status = gLanPciIo->Pci.Read(gLanPciIo, EfiPciIoWidthUint8, PCI_REG_REVISION_ID, 1, &RevisionId);
  if (!EFI_ERROR(Status)) {
    Status = IsSupportedLanController(VendorId, DeviceId, RevisionId) ? EFI_SUCCESS : EFI_UNSUPPORTED;
    DEBUG_LINE("lan_controller_setup: Supported %4x:%4x revision %2x: %s", VendorId, DeviceId,
               RevisionId, Status == EFI_SUCCESS ? "supported" : "unsupported");
  } else {
    DEBUG_LINE("lan_controller_setup: Supported: configuration not read (status %x), unsupported",
               Status);
  }

  // The test leaves nothing open.
  CloseLanController(This, ControllerHandle);
  return Status;
}

EFI_STATUS EFIAPI LanStop(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                          UINTN NumberOfChildren, EFI_HANDLE *ChildHandleBuffer) {
  (void)NumberOfChildren;
  (void)ChildHandleBuffer;
  // The programming done at start stays; only the claim is given up, whatever the close says.
  CloseLanController(This, ControllerHandle);
  return EFI_SUCCESS;
}

// The handles are the image's own, filled in at entry.
EFI_DRIVER_BINDING_PROTOCOL LanDriverBinding = {LanSupported, LanStart, LanStop,
                                                LAN_DRIVER_BINDING_VERSION, nullptr, nullptr};

extern "C" EFI_STATUS EFIAPI LanControllerSetupEntry(EFI_HANDLE ImageHandle,
                                                     EFI_SYSTEM_TABLE *SystemTable) {
  InitDriverContext(ImageHandle, SystemTable);
  LanDriverBinding.ImageHandle = ImageHandle;
  LanDriverBinding.DriverBindingHandle = ImageHandle;
  const EFI_STATUS Status = gDriverContext.BootServices->InstallProtocolInterface(
      &LanDriverBinding.DriverBindingHandle, &gDriverBindingProtocolGuid, EFI_NATIVE_INTERFACE,
      &LanDriverBinding);
  DEBUG_LINE("lan_controller_setup: entry: driver binding version %2x %s (status %x)",
             LanDriverBinding.Version, Status == EFI_SUCCESS ? "installed" : "not installed",
             Status);
  return Status;
}
