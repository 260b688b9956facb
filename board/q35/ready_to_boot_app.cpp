// The boot manager's last step before it starts a boot option, as an application: signal the
// ready-to-boot event group the way the boot manager does (an event of the group with an empty
// notify, signalled, then closed) and say that the boot goes on. A notify that stops the boot
// never returns here, so the closing line never appears.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "board/q35/console_text.h"
#include "tests/sim/interface_guids.h"

namespace {

VOID EFIAPI EmptyNotify(EFI_EVENT, VOID *) {}

// Every image of the project carries base relocations (the build checks it); the notify
// pointer held in data is this application's one absolute address.
EFI_EVENT_NOTIFY volatile gGroupNotify = EmptyNotify;

}  // namespace

extern "C" EFI_STATUS EFIAPI ReadyToBootEntry(EFI_HANDLE, EFI_SYSTEM_TABLE *SystemTable) {
  using namespace board;
  EFI_BOOT_SERVICES *BootServices = SystemTable->BootServices;
  EFI_GUID Group = interface_guids::kReadyToBootGroup;
  EFI_EVENT Event = nullptr;

  PrintText(SystemTable, u"Signalling ready-to-boot.");
  const EFI_STATUS Status = BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK,
                                                        gGroupNotify, nullptr, &Group, &Event);
  if (Status != EFI_SUCCESS) {
    TextLine Line = {};
    AppendText(&Line, u"ready-to-boot: CreateEventEx failed with ");
    AppendHex(&Line, Status, 16);
    PrintLine(SystemTable, &Line);
    return Status;
  }
  BootServices->SignalEvent(Event);
  BootServices->CloseEvent(Event);
  PrintText(SystemTable, u"Boot continues.");
  return EFI_SUCCESS;
}
