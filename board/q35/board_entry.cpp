// Entry point of the board support image: keeps the firmware tables, prepares the platform
// data, programs the chipset registers OVMF leaves alone and installs the four interfaces on
// the image handle. The image stays resident.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "board/q35/board_services.h"
#include "tests/sim/interface_guids.h"

namespace board {

EFI_SYSTEM_TABLE *gSystemTable;
EFI_BOOT_SERVICES *gBootServices;

namespace {

struct Publication {
  EFI_GUID Guid;
  VOID *Interface;
};

}  // namespace
}  // namespace board

extern "C" EFI_STATUS EFIAPI BoardSupportEntry(EFI_HANDLE ImageHandle,
                                               EFI_SYSTEM_TABLE *SystemTable) {
  using namespace board;
  gSystemTable = SystemTable;
  gBootServices = SystemTable->BootServices;

  if (!PreparePlatformData()) {
    return EFI_OUT_OF_RESOURCES;
  }
  ProgramChipset();
  Publication Publications[] = {
      {interface_guids::kFrameworkHii, FrameworkHiiInterface()},
      {interface_guids::kFrameworkCpuIo, FrameworkCpuIoInterface()},
      {interface_guids::kSetupData, SetupDataInterface()},
      {interface_guids::kStationAddress, StationAddressInterface()},
  };
  const UINTN Count = sizeof(Publications) / sizeof(Publications[0]);
  for (UINTN Index = 0; Index < Count; Index++) {
    EFI_HANDLE Handle = ImageHandle;
    const EFI_STATUS Status = gBootServices->InstallProtocolInterface(
        &Handle, &Publications[Index].Guid, EFI_NATIVE_INTERFACE, Publications[Index].Interface);
    if (Status != EFI_SUCCESS) {
      // An image that fails its entry point is unloaded: nothing may point into it afterwards.
      while (Index-- > 0) {
        gBootServices->UninstallProtocolInterface(ImageHandle, &Publications[Index].Guid,
                                                  Publications[Index].Interface);
      }
      gBootServices->FreePool(SetupDataInterface()->Record);
      return Status;
    }
  }
  return EFI_SUCCESS;
}
