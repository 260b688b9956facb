// The wireless-LAN slot guard's entry point, its ready-to-boot notify, the allow-list and the
// halt screen.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "wlan_slot_guard/wlan_policy.h"

#include "support/debug_log.h"
#include "support/driver_context.h"
#include "support/hw_seam.h"
#include "support/platform.h"
#include "support/string_packages.h"
#include "wlan_slot_guard/link_power.h"
#include "wlan_slot_guard/port_primitives.h"
#include "wlan_slot_guard/slot_probe.h"
#include "wlan_slot_guard/wlan_strings.h"

namespace {

EFI_GUID gWlanPackageGuid = WLAN_STRING_PACKAGE_GUID;

constexpr UINT8 PEG_ASPM_OPTION_ENABLED = 1;

// A board control port whose bit 0 is set once, through Framework CPU I/O: at entry, or at the
// start of ready-to-boot on a platform that installs CPU I/O after this guard started.
constexpr UINT16 BOARD_CONTROL_PORT = 0x50F;
constexpr UINT8 BOARD_CONTROL_ENABLE = 0x01;
BOOLEAN gBoardControlSet;  // the enable bit was written

// Read-modify-write of the enable bit; false, touching nothing, while there is no CPU I/O.
BOOLEAN SetBoardControlEnable() {
  FRAMEWORK_CPU_IO_PROTOCOL *CpuIo = nullptr;
  if (EFI_ERROR(gDriverContext.BootServices->LocateProtocol(&gFrameworkCpuIoProtocolGuid, nullptr,
                                                            reinterpret_cast<VOID **>(&CpuIo))) ||
      CpuIo == nullptr)
    return FALSE;
  // The read's status is not examined: a failed read leaves 0 and writes just the enable bit.
  UINT8 Control = 0;
  CpuIo->Io.Read(CpuIo, EfiCpuIoWidthUint8, BOARD_CONTROL_PORT, 1, &Control);
  Control |= BOARD_CONTROL_ENABLE;
  CpuIo->Io.Write(CpuIo, EfiCpuIoWidthUint8, BOARD_CONTROL_PORT, 1, &Control);
  return TRUE;
}

constexpr UINTN HALT_TEXT_ATTRIBUTE = EFI_TEXT_ATTR(EFI_WHITE, EFI_BLACK);

// Beep, the two message lines at the start of rows 0 and 1 in white on black over whatever the
// screen shows, then key polling that never ends. A firmware without a console (a null ConOut or
// ConIn in the system table) gets the beep and the endless loop without those calls.
[[noreturn]] VOID HaltWithMessage() {
  SoundAlertBeep();
  EFI_SIMPLE_TEXT_OUT_PROTOCOL *ConOut = gDriverContext.SystemTable->ConOut;
  if (ConOut != nullptr) {
    ConOut->EnableCursor(ConOut, FALSE);
    ConOut->SetAttribute(ConOut, HALT_TEXT_ATTRIBUTE);
  }
  // A line that cannot be retrieved is left out; the halt follows all the same.
  CHAR16 *Line1 = GetHiiString(WLAN_STRING_HALT_LINE_1);
  if (ConOut != nullptr) {
    ConOut->SetCursorPosition(ConOut, 0, 0);
    if (Line1 != nullptr) ConOut->OutputString(ConOut, Line1);
  }
  CHAR16 *Line2 = GetHiiString(WLAN_STRING_HALT_LINE_2);
  if (ConOut != nullptr) {
    ConOut->SetCursorPosition(ConOut, 0, 1);
    if (Line2 != nullptr) ConOut->OutputString(ConOut, Line2);
  }
  if (Line1 != nullptr) gDriverContext.BootServices->FreePool(Line1);
  if (Line2 != nullptr) gDriverContext.BootServices->FreePool(Line2);

  EFI_SIMPLE_TEXT_IN_PROTOCOL *ConIn = gDriverContext.SystemTable->ConIn;
  EFI_INPUT_KEY Key;
  for (;;) {
    if (ConIn != nullptr) ConIn->ReadKeyStroke(ConIn, &Key);
    hw::HaltStep();
  }
}

}  // namespace

// The cards the slot may hold, searched in this order, and how many rows are in use.
volatile WlanAllowEntry _gPcd_BinaryPatch_PcdWlanAllowList[WLAN_ALLOW_LIST_CAPACITY] = {
    {0x431514E4, 0x0E517E1D, ASPM_L0S_L1, ASPM_L0S_L1},
    {0x431514E4, 0x0E527E1D, ASPM_L0S_L1, ASPM_L0S_L1},
    {0x435314E4, 0x0E537E1D, ASPM_L0S_L1, ASPM_L0S_L1},
    {0x435314E4, 0x0E547E1D, ASPM_L0S_L1, ASPM_L0S_L1},
    {0x431514E4, 0x0E557E1D, ASPM_L0S_L1, ASPM_L0S_L1},
    {0x002A168C, 0x0E567E1D, ASPM_L1, ASPM_L1},
    {0x002A168C, 0x0E577E1D, ASPM_L1, ASPM_L1},
};
volatile UINT8 _gPcd_BinaryPatch_PcdWlanAllowListCount = 7;

UINTN WlanAllowListRows() {
  UINTN Rows = _gPcd_BinaryPatch_PcdWlanAllowListCount;
  return Rows > WLAN_ALLOW_LIST_CAPACITY ? WLAN_ALLOW_LIST_CAPACITY : Rows;
}

BOOLEAN MatchWlanAllowList(const PlatformSetupRecord *Record) {
  UINT32 ChipId = LoadRecordDword(Record, WLAN_CHIP_ID_OFFSET);
  UINT32 SubsystemId = LoadRecordDword(Record, WLAN_SUBSYSTEM_ID_OFFSET);
  const UINTN Rows = WlanAllowListRows();
  for (UINTN Row = 0; Row < Rows; ++Row) {
    const volatile WlanAllowEntry &Entry = _gPcd_BinaryPatch_PcdWlanAllowList[Row];
    if (Entry.ChipId == ChipId && Entry.SubsystemId == SubsystemId) {
      DEBUG_LINE("wlan_slot_guard: chip %8x subsystem %8x: allow-list row %x, ASPM root port %x "
                 "card %x",
                 ChipId, SubsystemId, static_cast<UINT64>(Row),
                 Entry.RootPortAspm, Entry.CardAspm);
      SetLinkAspm(0, PLATFORM_ROOT_PORT_DEVICE, PLATFORM_WLAN_ROOT_PORT_FUNCTION, Entry.RootPortAspm,
                  Entry.CardAspm);
      return TRUE;
    }
  }
  DEBUG_LINE("wlan_slot_guard: chip %8x subsystem %8x: unlisted, boot stops", ChipId, SubsystemId);
  return FALSE;
}

VOID EFIAPI OnReadyToBootWlan(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  // What the entry could not do for want of CPU I/O or HII is done here, once, before the slot
  // is probed and before any halt.
  if (!gBoardControlSet) {
    gBoardControlSet = SetBoardControlEnable();
    DEBUG_LINE("wlan_slot_guard: ready-to-boot: board control port %x %s", BOARD_CONTROL_PORT,
               gBoardControlSet ? "enable bit set" : "not written (no CPU I/O)");
  }
  if (!StringPackagesRegistered()) {
    [[maybe_unused]] const EFI_STATUS Packs =
        RegisterStringPackages(&gWlanPackageGuid, gWlanStringPacks.Bytes);
    DEBUG_LINE("wlan_slot_guard: ready-to-boot: string packs %s (status %x)",
               Packs == EFI_SUCCESS ? "registered" : "not registered", Packs);
  }
  // Without the setup-data protocol (or without a record behind it) the probe still runs, on a
  // zeroed record of the guard's own that nobody else sees.
  PlatformSetupRecord OwnRecord;
  PlatformSetupRecord *Record;
  if (EFI_ERROR(LocatePlatformSetupRecord(&Record))) {
    gDriverContext.BootServices->SetMem(&OwnRecord, sizeof(OwnRecord), 0);
    Record = &OwnRecord;
  }

  ProbeWlanSlot(Record);
  ApplyRadioState();
  if ((Record->WlanSlotFlags & WLAN_SLOT_FLAG_CARD_PRESENT) != 0 && !MatchWlanAllowList(Record))
    HaltWithMessage();

  UINT8 GraphicsAspm = Record->PegAspmOption == PEG_ASPM_OPTION_ENABLED ? ASPM_L0S_L1 : ASPM_DISABLED;
  DEBUG_LINE("wlan_slot_guard: graphics port 00:01.0: ASPM %x from PegAspmOption %2x", GraphicsAspm,
             Record->PegAspmOption);
  SetLinkAspm(0, PLATFORM_GRAPHICS_PORT_DEVICE, 0, GraphicsAspm, GraphicsAspm);
}

extern "C" EFI_STATUS EFIAPI WlanSlotGuardEntry(EFI_HANDLE ImageHandle,
                                                EFI_SYSTEM_TABLE *SystemTable) {
  InitDriverContext(ImageHandle, SystemTable);
  EFI_EVENT Event;
  [[maybe_unused]] const EFI_STATUS Created =
      CreateReadyToBootEvent(TPL_CALLBACK, OnReadyToBootWlan, nullptr, &Event);

  gBoardControlSet = SetBoardControlEnable();

  [[maybe_unused]] const EFI_STATUS Packs =
      RegisterStringPackages(&gWlanPackageGuid, gWlanStringPacks.Bytes);
  DEBUG_LINE("wlan_slot_guard: entry: ready-to-boot event %s (status %x), board control port %x "
             "%s, string packs %s (status %x)", Created == EFI_SUCCESS ? "created" : "not created",
             Created, BOARD_CONTROL_PORT,
             gBoardControlSet ? "enable bit set" : "left for ready-to-boot (no CPU I/O)",
             Packs == EFI_SUCCESS ? "registered" : "not registered", Packs);
  return EFI_SUCCESS;
}
