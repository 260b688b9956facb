// The wireless-LAN slot guard's entry point, its ready-to-boot notify, the allow-list and the
// halt screen.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "wlan_slot_guard/wlan_policy.h"

#include "support/debug_log.h"
#include "support/driver_context.h"
#include "support/hw_seam.h"
#include "support/patchable.h"
#include "support/platform.h"
#include "support/string_packages.h"
#include "wlan_slot_guard/link_power.h"
#include "wlan_slot_guard/port_primitives.h"
#include "wlan_slot_guard/slot_probe.h"
#include "wlan_slot_guard/wlan_strings.h"

namespace {

constexpr FirmwareGuid gWlanPackageGuid = {WLAN_STRING_PACKAGE_GUID};

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

// The cards the slot may hold as shipped, searched in this order.
#define SHIPPED_WLAN_ROWS                               \
  {0x431514E4, 0x0E517E1D, ASPM_L0S_L1, ASPM_L0S_L1},   \
  {0x431514E4, 0x0E527E1D, ASPM_L0S_L1, ASPM_L0S_L1},   \
  {0x435314E4, 0x0E537E1D, ASPM_L0S_L1, ASPM_L0S_L1},   \
  {0x435314E4, 0x0E547E1D, ASPM_L0S_L1, ASPM_L0S_L1},   \
  {0x431514E4, 0x0E557E1D, ASPM_L0S_L1, ASPM_L0S_L1},   \
  {0x002A168C, 0x0E567E1D, ASPM_L1, ASPM_L1},           \
  {0x002A168C, 0x0E577E1D, ASPM_L1, ASPM_L1}
static constexpr WlanAllowEntry SHIPPED_WLAN_ALLOW_LIST[] = {SHIPPED_WLAN_ROWS};
constexpr UINT8 SHIPPED_WLAN_ROW_COUNT = sizeof(SHIPPED_WLAN_ALLOW_LIST) / sizeof(WlanAllowEntry);

// The list as the image holds it, patched by the platform build, and how many rows are in use.
volatile WlanAllowListStorage _gPcd_BinaryPatch_PcdWlanAllowList PATCHABLE_LIST = {
    {SHIPPED_WLAN_ROWS}, PATCHABLE_LIST_END_MARKER};
volatile UINT8 _gPcd_BinaryPatch_PcdWlanAllowListCount PATCHABLE_SETTING = SHIPPED_WLAN_ROW_COUNT;

namespace {

// The rows in force, chosen once at entry by LoadWlanAllowList.
const volatile WlanAllowEntry *gWlanRows;
UINTN gWlanRowCount;

// A chip vendor no card reports: 0, or all ones (what an absent function reads as).
constexpr UINT32 PCI_VENDOR_MASK = 0xFFFF;
BOOLEAN RowCanMatch(UINT32 ChipId) {
  const UINT32 Vendor = ChipId & PCI_VENDOR_MASK;
  return Vendor != 0 && Vendor != PCI_VENDOR_MASK;
}

// The ASPM field of Link Control: a row's values are used through it only, so no other bit of
// the link (Link Disable, Retrain Link) is ever set from a row.
constexpr UINT8 ASPM_FIELD_MASK = 0x03;

}  // namespace

VOID LoadWlanAllowList() {
  const volatile WlanAllowListStorage &List = _gPcd_BinaryPatch_PcdWlanAllowList;
  const UINT32 Marker = List.EndMarker;
  if (Marker != PATCHABLE_LIST_END_MARKER) {
    // A list value longer than its storage: neither its rows nor its count is trusted.
    DEBUG_LINE("wlan_slot_guard: allow-list spilled past its storage (end marker %8x): the "
               "shipped %x rows are used", Marker, SHIPPED_WLAN_ROW_COUNT);
    gWlanRows = SHIPPED_WLAN_ALLOW_LIST;
    gWlanRowCount = SHIPPED_WLAN_ROW_COUNT;
    return;
  }
  UINTN Rows = _gPcd_BinaryPatch_PcdWlanAllowListCount;
  if (Rows > WLAN_ALLOW_LIST_CAPACITY) {
    DEBUG_LINE("wlan_slot_guard: allow-list count %x is above the %x rows stored: %x used",
               static_cast<UINT64>(Rows), static_cast<UINT64>(WLAN_ALLOW_LIST_CAPACITY),
               static_cast<UINT64>(WLAN_ALLOW_LIST_CAPACITY));
    Rows = WLAN_ALLOW_LIST_CAPACITY;
  }
  gWlanRows = List.Entries;
  gWlanRowCount = Rows;
#if defined(GUARDS_DEBUG_LOG)
  for (UINTN Row = 0; Row < Rows; ++Row) {
    const volatile WlanAllowEntry &Entry = List.Entries[Row];
    if (!RowCanMatch(Entry.ChipId))
      DEBUG_LINE("wlan_slot_guard: allow-list row %x chip %8x: no card has that vendor, the row "
                 "matches nothing", static_cast<UINT64>(Row), Entry.ChipId);
    const UINT8 RootPortAspm = Entry.RootPortAspm, CardAspm = Entry.CardAspm;
    if (((RootPortAspm | CardAspm) & ~ASPM_FIELD_MASK) != 0)
      DEBUG_LINE("wlan_slot_guard: allow-list row %x ASPM root port %2x card %2x: bits 1:0 used "
                 "(%x, %x)", static_cast<UINT64>(Row), RootPortAspm, CardAspm,
                 static_cast<UINT8>(RootPortAspm & ASPM_FIELD_MASK),
                 static_cast<UINT8>(CardAspm & ASPM_FIELD_MASK));
  }
#endif
}

UINTN WlanAllowListRows() { return gWlanRowCount; }

BOOLEAN MatchWlanAllowList(const PlatformSetupRecord *Record) {
  UINT32 ChipId = LoadRecordDword(Record, WLAN_CHIP_ID_OFFSET);
  UINT32 SubsystemId = LoadRecordDword(Record, WLAN_SUBSYSTEM_ID_OFFSET);
  for (UINTN Row = 0; Row < gWlanRowCount; ++Row) {
    const volatile WlanAllowEntry &Entry = gWlanRows[Row];
    const UINT32 RowChipId = Entry.ChipId;
    if (RowChipId == ChipId && Entry.SubsystemId == SubsystemId && RowCanMatch(RowChipId)) {
      const UINT8 RootPortAspm = Entry.RootPortAspm & ASPM_FIELD_MASK;
      const UINT8 CardAspm = Entry.CardAspm & ASPM_FIELD_MASK;
      DEBUG_LINE("wlan_slot_guard: chip %8x subsystem %8x: allow-list row %x, ASPM root port %x "
                 "card %x",
                 ChipId, SubsystemId, static_cast<UINT64>(Row), RootPortAspm, CardAspm);
      SetLinkAspm(0, PLATFORM_ROOT_PORT_DEVICE, PLATFORM_WLAN_ROOT_PORT_FUNCTION, RootPortAspm,
                  CardAspm);
      return TRUE;
    }
  }
  DEBUG_LINE("wlan_slot_guard: chip %8x subsystem %8x: unlisted, boot stops", ChipId, SubsystemId);
  return FALSE;
}

VOID EFIAPI OnReadyToBootWlan(EFI_EVENT Event, VOID *Context) {
  (void)Event;
  (void)Context;
  // What the entry could not do for want of CPU I/O or HII (or a NewPack that failed there) is
  // done here before the slot is probed and before any halt: the port once, the packs while
  // StringPackagesPending says so.
  if (!gBoardControlSet) {
    gBoardControlSet = SetBoardControlEnable();
    DEBUG_LINE("wlan_slot_guard: ready-to-boot: board control port %x %s", BOARD_CONTROL_PORT,
               gBoardControlSet ? "enable bit set" : "not written (no CPU I/O)");
  }
  if (StringPackagesPending()) {
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
  LoadWlanAllowList();
  if (EcamWindowSize() == 0)
    DEBUG_LINE("wlan_slot_guard: configuration window base %8x size %8x: no window below 4 GiB "
               "on a 1 MiB boundary, no link power is set", EcamBase(),
               static_cast<UINT64>(_gPcd_BinaryPatch_PcdPciExpressWindowSize));
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
