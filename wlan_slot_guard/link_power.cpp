// Link power control through single-byte accesses to the memory-mapped configuration window.
// Every address is checked against the window before it is touched: bus, device and function
// come from callers and from bridge registers, and neither may lead outside it.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "wlan_slot_guard/link_power.h"

#include "support/debug_log.h"
#include "support/hw_seam.h"
#include "support/platform.h"

extern "C" volatile UINT64 _gPcd_BinaryPatch_PcdPciExpressWindowBase =
    PCI_EXPRESS_WINDOW_BASE_DEFAULT;
extern "C" volatile UINT64 _gPcd_BinaryPatch_PcdPciExpressWindowSize =
    PCI_EXPRESS_WINDOW_SIZE_DEFAULT;

namespace {

constexpr UINT8 PCIE_LINK_CONTROL_ASPM_MASK = 0x03;
constexpr UINT32 CAPABILITY_WALK_LIMIT = 64;
// A function that does not answer reads all ones; so does a location outside the window.
constexpr UINT8 ABSENT_BYTE = 0xFF;
// Bits 6:0 of the header-type byte: 1 for a PCI-to-PCI bridge, whose byte 0x19 is its secondary
// bus number (in any other header it is part of a base address or of something else).
constexpr UINT16 PCI_REG_HEADER_TYPE = 0x0E;
constexpr UINT8 PCI_HEADER_LAYOUT_MASK = 0x7F;
constexpr UINT8 PCI_HEADER_LAYOUT_BRIDGE = 0x01;

BOOLEAN WindowAddress(UINT16 Bus, UINT16 Device, UINT16 Function, UINT16 Register,
                   UINTN *Address) {
  UINT64 Offset = (static_cast<UINT64>(Bus) << 20) + (static_cast<UINT64>(Device) << 15) +
                  (static_cast<UINT64>(Function) << 12) + Register;
  const UINT64 Base = EcamBase();
  if (Offset >= EcamWindowSize()) return FALSE;
  *Address = static_cast<UINTN>(Base + Offset);
  return TRUE;
}

UINT8 ConfigRead8(UINT16 Bus, UINT16 Device, UINT16 Function, UINT16 Register) {
  UINTN Address;
  if (!WindowAddress(Bus, Device, Function, Register, &Address)) return ABSENT_BYTE;
  return hw::WindowRead8(Address);
}

VOID ConfigWrite8(UINT16 Bus, UINT16 Device, UINT16 Function, UINT16 Register, UINT8 Value) {
  UINTN Address;
  if (WindowAddress(Bus, Device, Function, Register, &Address)) hw::WindowWrite8(Address, Value);
}

VOID SetAspmControl(UINT16 Bus, UINT16 Device, UINT16 Function, UINT8 Aspm) {
  UINT8 Capability = PcieFindCapability(Bus, Device, Function, PCI_CAPABILITY_ID_PCI_EXPRESS);
  if (Capability == 0) {
    DEBUG_LINE("wlan_slot_guard: %2x:%2x.%x: no PCI Express capability, ASPM %x not written", Bus,
               Device, Function, Aspm);
    return;
  }
  UINT16 LinkControl = static_cast<UINT16>(Capability + PCIE_REG_LINK_CONTROL);
  UINT8 Value = ConfigRead8(Bus, Device, Function, LinkControl);
  // Callers pass only 0, 2 or 3, so the value is OR-ed in as it is.
  ConfigWrite8(Bus, Device, Function, LinkControl, UpdateBits(Value, PCIE_LINK_CONTROL_ASPM_MASK, Aspm));
  DEBUG_LINE("wlan_slot_guard: %2x:%2x.%x: link control [%2x] %2x -> %2x (ASPM %x)", Bus, Device,
             Function, LinkControl, Value, UpdateBits(Value, PCIE_LINK_CONTROL_ASPM_MASK, Aspm),
             Aspm);
}

}  // namespace

UINT8 PcieFindCapability(UINT16 Bus, UINT16 Device, UINT16 Function, UINT8 CapabilityId) {
  UINTN Address;
  if (!WindowAddress(Bus, Device, Function, PCI_REG_CAPABILITIES_POINTER, &Address)) return 0;

  // The pointers are followed as read, low bits included.
  UINT8 Pointer = ConfigRead8(Bus, Device, Function, PCI_REG_CAPABILITIES_POINTER);
  for (UINT32 Examined = 0; Pointer != 0;) {
    if (ConfigRead8(Bus, Device, Function, Pointer) == CapabilityId) return Pointer;
    if (++Examined == CAPABILITY_WALK_LIMIT) return 0;
    Pointer = ConfigRead8(Bus, Device, Function, static_cast<UINT16>(Pointer + PCI_CAPABILITY_NEXT));
  }
  return 0;
}

VOID SetLinkAspm(UINT16 Bus, UINT16 Device, UINT16 Function, UINT8 PortAspm, UINT8 DeviceAspm) {
  SetAspmControl(Bus, Device, Function, PortAspm);
  // Only a bridge has a bus behind it, and only one numbered above the port's own: all ones is
  // what a port that does not answer reports; an endpoint's byte 0x19 (on q35, 00:01.0 is one)
  // is part of its BAR2, and a bus at or below the port's own would lead back up the hierarchy.
  UINT8 Secondary = ConfigRead8(Bus, Device, Function, PCI_REG_SECONDARY_BUS);
  if (Secondary == PCI_BUS_NUMBER_ABSENT) return;
  UINT8 HeaderType = ConfigRead8(Bus, Device, Function, PCI_REG_HEADER_TYPE);
  if ((HeaderType & PCI_HEADER_LAYOUT_MASK) != PCI_HEADER_LAYOUT_BRIDGE || Secondary <= Bus) {
    DEBUG_LINE("wlan_slot_guard: %2x:%2x.%x: header type %2x, bus %2x behind it not followed", Bus,
               Device, Function, HeaderType, Secondary);
    return;
  }
  SetAspmControl(Secondary, 0, 0, DeviceAspm);
}
