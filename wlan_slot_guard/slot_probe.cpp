// The wireless-LAN slot probe and the radio state, all configuration and GPIO accesses through
// the PCI root-bridge protocol, located anew by each operation.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "wlan_slot_guard/slot_probe.h"

#include "support/debug_log.h"
#include "support/driver_context.h"
#include "support/platform.h"
#include "wlan_slot_guard/port_primitives.h"

namespace {

constexpr UINT64 HOST_BRIDGE_REVISION =
    PciRootBridgeAddress(0, PLATFORM_HOST_BRIDGE_DEVICE, 0, PCI_REG_REVISION_ID);
// From host-bridge revision 4 on, the root port to enable is function 5, before it function 1.
constexpr UINT8 HOST_BRIDGE_REVISION_ROOT_PORT_6 = 4;
constexpr UINT64 ROOT_PORT_6_COMMAND = PciRootBridgeAddress(0, PLATFORM_ROOT_PORT_DEVICE, 5, PCI_REG_COMMAND);
constexpr UINT64 ROOT_PORT_2_COMMAND = PciRootBridgeAddress(0, PLATFORM_ROOT_PORT_DEVICE, 1, PCI_REG_COMMAND);
constexpr UINT8 PCI_COMMAND_IO_MEMORY_BUS_MASTER = 0x07;

// The slot's root port: its bus-number register carries the secondary bus in bits 8-15.
constexpr UINT64 SLOT_ROOT_PORT_BUS_NUMBERS = PciRootBridgeAddress(
    0, PLATFORM_ROOT_PORT_DEVICE, PLATFORM_WLAN_ROOT_PORT_FUNCTION, PCI_REG_BUS_NUMBERS);

// Option bytes of the second CMOS bank, initialised together while the signature is missing.
constexpr UINT8 OPTION_CMOS_FIRST_INDEX = 0x48;
constexpr UINT8 OPTION_CMOS_INDEX_RADIO = 0x49;
constexpr UINT8 OPTION_CMOS_SIGNATURE_INDEX = 0x4C;
constexpr UINT8 OPTION_CMOS_SIGNATURE[] = {0x5A, 0xA5};
constexpr UINT8 OPTION_CMOS_DEFAULTS[] = {0x20, 0x0F, 0x0F, 0x0F, OPTION_CMOS_SIGNATURE[0],
                                          OPTION_CMOS_SIGNATURE[1]};
constexpr UINT8 OPTION_RADIO_LEVEL_HIGH = 0x01;

constexpr UINT8 WLAN_SLOT_FLAG_CARD_SEEN = 0x10;
constexpr UINT8 STATUS_A_CARD_PRESENT = 0x01;
constexpr UINT8 STATUS_A_PROBED = 0x20;
constexpr UINT8 STATUS_A_PROBE_CLEARS = 0x40;
constexpr UINT8 STATUS_B_CARD_PRESENT = 0x04;
constexpr UINT8 STATUS_B_PROBE_CLEARS = 0x30;
constexpr UINT8 STATUS_C_PROBE_CLEARS = 0x10;

// The LPC bridge's GPIO base (bit 0 is the I/O-space indicator) and the level register of the
// GPIO bank that carries the radio's line.
constexpr UINT64 LPC_GPIO_BASE = PciRootBridgeAddress(0, PLATFORM_LPC_BRIDGE_DEVICE, 0, 0x48);
constexpr UINT16 GPIO_BASE_IO_SPACE_BIT = 0x0001;
constexpr UINT16 GPIO_BASE_ABSENT = 0xFFFF & ~GPIO_BASE_IO_SPACE_BIT;
constexpr UINT16 GPIO_LEVEL_OFFSET = 0x0C;
constexpr UINT32 GPIO_LEVEL_RADIO = 1u << 28;

constexpr UINT16 EC_RADIO_REGISTER = 0x42FA;
constexpr UINT8 EC_RADIO_CLEARED_BIT = 0x40;

// Without a root bridge every configuration read counts as all ones, as a failed one does.
UINT32 ConfigRead(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridge,
                  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, UINT64 Address) {
  return RootBridge == nullptr ? PCI_ALL_ONES : ReadConfigOrAllOnes(RootBridge, Width, Address);
}

EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *LocateRootBridge() {
  return static_cast<EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *>(LocateInterface(&gPciRootBridgeIoProtocolGuid));
}

// The card is device 0, function 0 on the slot root port's secondary bus.
UINT8 SlotSecondaryBus(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridge) {
  return static_cast<UINT8>(ConfigRead(RootBridge, EfiPciWidthUint32, SLOT_ROOT_PORT_BUS_NUMBERS) >> 8);
}

// The card's subsystem ID, behind the secondary bus number read once more. A failed read of
// either stands in as all ones, which no allow-list row holds: a card that was identified is
// judged by the allow-list whatever its subsystem register answers.
UINT32 ReadCardSubsystem(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridge) {
  UINT32 BusNumbers = PCI_ALL_ONES;
  if (EFI_ERROR(RootBridge->Pci.Read(RootBridge, EfiPciWidthUint32, SLOT_ROOT_PORT_BUS_NUMBERS, 1,
                                     &BusNumbers)))
    return PCI_ALL_ONES;
  return ReadConfigOrAllOnes(RootBridge, EfiPciWidthUint32,
                             PciRootBridgeAddress(static_cast<UINT8>(BusNumbers >> 8), 0, 0,
                                                  PCI_REG_SUBSYSTEM_ID));
}

VOID KeepOptionCmosInitialised() {
  // The second signature byte is read only behind a matching first one.
  if (ReadOptionCmos(OPTION_CMOS_SIGNATURE_INDEX) == OPTION_CMOS_SIGNATURE[0] &&
      ReadOptionCmos(OPTION_CMOS_SIGNATURE_INDEX + 1) == OPTION_CMOS_SIGNATURE[1]) {
    DEBUG_LINE("wlan_slot_guard: option bytes signed, kept");
    return;
  }
  // In index order, so that the signature is written last.
  for (UINT8 Index = 0; Index < sizeof(OPTION_CMOS_DEFAULTS); ++Index)
    WriteOptionCmos(static_cast<UINT8>(OPTION_CMOS_FIRST_INDEX + Index), OPTION_CMOS_DEFAULTS[Index]);
  DEBUG_LINE("wlan_slot_guard: option bytes unsigned, defaults and signature written");
}

}  // namespace

VOID ProbeWlanSlot(PlatformSetupRecord *Record) {
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridge = LocateRootBridge();

  UINT8 Revision = static_cast<UINT8>(ConfigRead(RootBridge, EfiPciWidthUint8, HOST_BRIDGE_REVISION));
  if (RootBridge != nullptr) {
    UINT8 Command = PCI_COMMAND_IO_MEMORY_BUS_MASTER;
    RootBridge->Pci.Write(RootBridge, EfiPciWidthUint8,
                          Revision >= HOST_BRIDGE_REVISION_ROOT_PORT_6 ? ROOT_PORT_6_COMMAND
                                                                       : ROOT_PORT_2_COMMAND,
                          1, &Command);
    DEBUG_LINE("wlan_slot_guard: host bridge revision %2x, root port 00:1C.%x enabled", Revision,
               Revision >= HOST_BRIDGE_REVISION_ROOT_PORT_6 ? UINT8{5} : UINT8{1});
  }

  KeepOptionCmosInitialised();

  UINT8 Secondary = SlotSecondaryBus(RootBridge);
  UINT16 Class = static_cast<UINT16>(
      ConfigRead(RootBridge, EfiPciWidthUint32, PciRootBridgeAddress(Secondary, 0, 0, PCI_REG_REVISION_ID)) >> 16);
  UINT32 Id = ConfigRead(RootBridge, EfiPciWidthUint32, PciRootBridgeAddress(Secondary, 0, 0, PCI_REG_VENDOR_ID));

  // Presence is decided by the chip ID and the class alone; the allow-list then judges the IDs.
  // Without a root bridge the chip ID reads as all ones, so past this test the bridge is there.
  UINT32 Subsystem = PCI_ALL_ONES;
  if (Id == PCI_ALL_ONES || (Class != PCI_CLASS_CODE_NETWORK_OTHER && Class != PCI_CLASS_CODE_ETHERNET)) {
    Record->WlanSlotFlags &= ~WLAN_SLOT_FLAG_CARD_PRESENT;
  } else {
    Record->WlanSlotFlags |= WLAN_SLOT_FLAG_CARD_PRESENT;
    Record->WlanSlotFlags |= WLAN_SLOT_FLAG_CARD_SEEN;
    Record->WlanStatusA |= STATUS_A_CARD_PRESENT;
    Record->WlanStatusB |= STATUS_B_CARD_PRESENT;
    StoreRecordDword(Record, WLAN_CHIP_ID_OFFSET, Id);
    Subsystem = ReadCardSubsystem(RootBridge);
    StoreRecordDword(Record, WLAN_SUBSYSTEM_ID_OFFSET, Subsystem);
  }
  DEBUG_LINE("wlan_slot_guard: probe 00:1C.%x bus %2x: chip %8x subsystem %8x class %4x, %s",
             PLATFORM_WLAN_ROOT_PORT_FUNCTION, Secondary, Id, Subsystem, Class,
             (Record->WlanSlotFlags & WLAN_SLOT_FLAG_CARD_PRESENT) != 0 ? "card present"
                                                                        : "no card");

  Record->WlanStatusB &= ~STATUS_B_PROBE_CLEARS;
  Record->WlanStatusC &= ~STATUS_C_PROBE_CLEARS;
  Record->WlanStatusA &= ~STATUS_A_PROBE_CLEARS;
  Record->WlanStatusA |= STATUS_A_PROBED;
}

VOID ApplyRadioState() {
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridge = LocateRootBridge();

  // Without a GPIO base, or without a level that was read, there is no register to write back:
  // writing a level never read would drive every other line of the bank. A missing root bridge
  // reads the base as all ones, so past that test the root bridge is there. A base among the
  // legacy ports (0 when the bridge was never programmed) is not one either. Without CPU I/O the
  // radio option cannot be read, so the level is left exactly as found.
  UINT16 GpioBase = static_cast<UINT16>(ConfigRead(RootBridge, EfiPciWidthUint16, LPC_GPIO_BASE)) &
                    ~GPIO_BASE_IO_SPACE_BIT;
  UINT64 LevelPort = static_cast<UINT64>(GpioBase) + GPIO_LEVEL_OFFSET;
  UINT32 Level = 0;
  const BOOLEAN OptionKnown = CpuIoPresent();
  BOOLEAN LevelRead = OptionKnown && GpioBase >= LEGACY_PORT_LIMIT && GpioBase != GPIO_BASE_ABSENT &&
                      !EFI_ERROR(RootBridge->Io.Read(RootBridge, EfiPciWidthUint32, LevelPort, 1, &Level));
  if (LevelRead) {
    if (ReadOptionCmos(OPTION_CMOS_INDEX_RADIO) & OPTION_RADIO_LEVEL_HIGH)
      Level |= GPIO_LEVEL_RADIO;
    else
      Level &= ~GPIO_LEVEL_RADIO;
  }

  EcWrite(EC_RADIO_REGISTER, EcRead(EC_RADIO_REGISTER) & ~EC_RADIO_CLEARED_BIT);

  if (LevelRead) {
    RootBridge->Io.Write(RootBridge, EfiPciWidthUint32, LevelPort, 1, &Level);
    DEBUG_LINE("wlan_slot_guard: radio line %s: GPIO level %8x written at port %4x",
               (Level & GPIO_LEVEL_RADIO) != 0 ? "high" : "low", Level, LevelPort);
  } else {
    DEBUG_LINE("wlan_slot_guard: radio line not written (GPIO base %4x%s)", GpioBase,
               OptionKnown ? "" : ", no CPU I/O to read the radio option");
  }
}
