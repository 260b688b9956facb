// The wireless-LAN slot guard's entry point, its ready-to-boot notify, the allow-list and the
// halt screen.
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

// A board control port whose bit 0 is set once at entry.
constexpr UINT16 BOARD_CONTROL_PORT = 0x50F;
constexpr UINT8 BOARD_CONTROL_ENABLE = 0x01;

constexpr UINTN HALT_TEXT_ATTRIBUTE = EFI_TEXT_ATTR(EFI_WHITE, EFI_BLACK);

// Beep, the two message lines at the start of rows 0 and 1 in white on black over whatever the
// screen shows, then key polling that never ends.
[[noreturn]] VOID HaltWithMessage() {
  SoundAlertBeep();
  EFI_SIMPLE_TEXT_OUT_PROTOCOL *ConOut = gDriverContext.SystemTable->ConOut;
  ConOut->EnableCursor(ConOut, FALSE);
  ConOut->SetAttribute(ConOut, HALT_TEXT_ATTRIBUTE);
  CHAR16 *Lines[2];
  for (UINTN Row = 0; Row < 2; ++Row) {
    Lines[Row] = GetHiiString(static_cast<STRING_REF>(WLAN_STRING_HALT_LINE_1 + Row));
    ConOut->SetCursorPosition(ConOut, 0, Row);
    // A line that cannot be retrieved is left out; the halt follows all the same.
    if (Lines[Row] != nullptr) ConOut->OutputString(ConOut, Lines[Row]);
  }
  for (CHAR16 *Line : Lines)
    if (Line != nullptr) gDriverContext.BootServices->FreePool(Line);

  EFI_SIMPLE_TEXT_IN_PROTOCOL *ConIn = gDriverContext.SystemTable->ConIn;
  EFI_INPUT_KEY Key;
  for (;;) {
    ConIn->ReadKeyStroke(ConIn, &Key);
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
  CreateReadyToBootEvent(TPL_CALLBACK, OnReadyToBootWlan, nullptr, &Event);

  FRAMEWORK_CPU_IO_PROTOCOL *CpuIo = nullptr;
  if (!EFI_ERROR(SystemTable->BootServices->LocateProtocol(&gFrameworkCpuIoProtocolGuid, nullptr,
                                                           reinterpret_cast<VOID **>(&CpuIo))) &&
      CpuIo != nullptr) {
    // The read's status is not examined: a failed read leaves 0 and writes just the enable bit.
    UINT8 Control = 0;
    CpuIo->Io.Read(CpuIo, EfiCpuIoWidthUint8, BOARD_CONTROL_PORT, 1, &Control);
    Control |= BOARD_CONTROL_ENABLE;
    CpuIo->Io.Write(CpuIo, EfiCpuIoWidthUint8, BOARD_CONTROL_PORT, 1, &Control);
  }

  RegisterStringPackages(&gWlanPackageGuid, gWlanStringPacks.Bytes);
  return EFI_SUCCESS;
}
