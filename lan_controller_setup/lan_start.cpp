// Start-up programming of a claimed LAN controller, in one pass: the cache-line size of the
// bus-0 bridges, the claim, the station address under the configuration-write lock, the
// configuration bytes (with the 10/100 controller's extras), and the subsystem identifier that
// root port 2 carries, handed to the controller through its indirect configuration write.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "lan_controller_setup/lan_start.h"

#include "lan_controller_setup/lan_binding.h"
#include "support/debug_log.h"
#include "support/driver_context.h"
#include "support/platform.h"
#include "support/setup_record.h"

// A read that fails stands as all ones (PCI_ALL_ONES), the answer of an absent function: a bus
// number of 0xFF is skipped, and an I/O base of 0xFFFE puts the registers at the top of the I/O
// space or past it, where no device of the platform decodes.

// Root port 2 carries the platform's subsystem vendor ID and subsystem ID in register 0x94.
constexpr UINT8 ROOT_PORT_SUBSYSTEM_REGISTER = 0x94;

constexpr UINT16 IO_BAR_BASE_MASK = 0xFFFE;
// What a claimed controller is set to: I/O and memory decoding, bus mastering.
constexpr UINT64 LAN_DECODING_ATTRIBUTES =
    EFI_PCI_IO_ATTRIBUTE_IO | EFI_PCI_IO_ATTRIBUTE_MEMORY | EFI_PCI_IO_ATTRIBUTE_BUS_MASTER;
constexpr UINT16 IO_BAR_IO_SPACE = 0x0001;
constexpr UINT32 LAN_ID_FAST_ETHERNET =
    static_cast<UINT32>(PCI_DEVICE_FAST_ETHERNET) << 16 | PCI_VENDOR_REALTEK;
constexpr UINT8 LAN_PHY_OPTION_FAST_ETHERNET = 1;

// Controller I/O registers, offsets from the I/O base.
constexpr UINT16 LAN_ID_LOW_REGISTER = 0x00;
constexpr UINT16 LAN_ID_HIGH_REGISTER = 0x04;
// Byte +0x50 locks the ID and configuration registers; the dword carries +0x51..+0x53 along.
constexpr UINT16 LAN_CONFIG_LOCK_REGISTER = 0x50;
constexpr UINT32 CONFIG_LOCK_OPEN_KEEP = 0xFFFFFFC0;
constexpr UINT32 CONFIG_LOCK_OPEN = 0x000000C0;
// Closing clears the lock byte and bit 7 of +0x52 and sets bit 6 of +0x52.
constexpr UINT32 CONFIG_LOCK_CLOSE_KEEP = 0xFF7FFF00;
constexpr UINT32 CONFIG_LOCK_CLOSE = 0x00400000;
constexpr UINT16 LAN_FAST_ETHERNET_CONFIG_REGISTER = 0x55;
constexpr UINT8 FAST_ETHERNET_CONFIG_BIT = 0x10;
// PHY access: bit 31 write, bits 20:16 PHY register, bits 15:0 data.
constexpr UINT16 LAN_PHY_ACCESS_REGISTER = 0x60;
constexpr UINT32 PHY_WRITE_REGISTER_11_15C0 = 0x80000000 | 0x11 << 16 | 0x15C0;
// Indirect write into the controller's own configuration space: data, then command (bit 31
// write, bits 15:12 byte enables, bits 11:0 register).
constexpr UINT16 LAN_CONFIG_WRITE_DATA_REGISTER = 0x64;
constexpr UINT16 LAN_CONFIG_WRITE_COMMAND_REGISTER = 0x68;
constexpr UINT32 CONFIG_WRITE_SUBSYSTEM_ID = 0x80000000 | 0xF << 12 | 0x2C;
constexpr UINT16 LAN_CONFIG_6D_REGISTER = 0x6D;
constexpr UINT8 CONFIG_6D_CLEARED_BIT = 0x20;

static VOID WriteCacheLineSize(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT64 Function,
                               UINT8 CacheLineSize) {
  RootBridgeIo->Pci.Write(RootBridgeIo, EfiPciWidthUint8, Function | PCI_REG_CACHE_LINE_SIZE,
                          1, &CacheLineSize);
}

VOID SetBridgeCacheLineSize(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo, UINT8 Bus, UINT8 Device,
                            UINT8 Function, UINT8 CacheLineSize) {
  const UINT64 Base = PciRootBridgeAddress(Bus, Device, Function, 0);
  // The bridge's own write goes out whether or not the bridge answers.
  WriteCacheLineSize(RootBridgeIo, Base, CacheLineSize);
  // Device 0, function 0 of the secondary bus, then of the subordinate bus.
  for (UINT8 Register = PCI_REG_SECONDARY_BUS; Register <= PCI_REG_SUBORDINATE_BUS; ++Register) {
    const UINT8 BusNumber =
        static_cast<UINT8>(ReadConfigOrAllOnes(RootBridgeIo, EfiPciWidthUint8, Base | Register));
    if (BusNumber != PCI_BUS_NUMBER_ABSENT)
      WriteCacheLineSize(RootBridgeIo, PciRootBridgeAddress(BusNumber, 0, 0, 0), CacheLineSize);
  }
}

static UINT32 ReadControllerConfig(EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32 Register) {
  UINT32 Value = PCI_ALL_ONES;
  ReadLanConfig(Width, Register, &Value);
  return Value;
}

// The I/O base of the controller being started, kept in 64 bits so that a base near the top of
// the I/O space does not wrap around to port 0 when a register offset is added.
static UINT64 gLanIoBase;

// Controller I/O registers, reached through the pass-through BAR at the I/O base. A read
// that fails leaves all ones.
static UINT32 ReadLanRegister(EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT16 Register) {
  UINT32 Value = PCI_ALL_ONES;
  gLanPciIo->Io.Read(gLanPciIo, Width, EFI_PCI_IO_PASS_THROUGH_BAR, gLanIoBase + Register, 1, &Value);
  return Value;
}

static VOID WriteLanRegister(EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT16 Register, UINT32 Value) {
  gLanPciIo->Io.Write(gLanPciIo, Width, EFI_PCI_IO_PASS_THROUGH_BAR, gLanIoBase + Register, 1, &Value);
}

static UINT32 ReadLanRegister32(UINT16 Register) {
  return ReadLanRegister(EfiPciIoWidthUint32, Register);
}

static VOID WriteLanRegister32(UINT16 Register, UINT32 Value) {
  WriteLanRegister(EfiPciIoWidthUint32, Register, Value);
}

// Sets the bits of Set and clears those of Clear in a byte register.
static VOID UpdateLanRegister8(UINT16 Register, UINT8 Set, UINT8 Clear) {
  const UINT32 Value = ReadLanRegister(EfiPciIoWidthUint8, Register);
  WriteLanRegister(EfiPciIoWidthUint8, Register, UpdateBits<UINT32>(Value, Clear, Set));
}

EFI_STATUS EFIAPI LanStart(EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE ControllerHandle,
                           EFI_DEVICE_PATH *RemainingDevicePath) {
  (void)RemainingDevicePath;

  // Without any of the three there is nothing to program from or into: give up before the
  // first hardware access and without claiming the controller. A protocol located without an
  // interface, or a setup-data protocol without a record, counts as missing.
  PlatformSetupRecord *Record;
  EFI_STATUS Status = LocatePlatformSetupRecord(&Record);
  if (EFI_ERROR(Status)) return Status;
  StationAddressProtocol *StationAddress;
  Status = LocateRequiredInterface(&gStationAddressProtocolGuid,
                                   reinterpret_cast<VOID **>(&StationAddress));
  if (EFI_ERROR(Status)) return Status;
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL *RootBridgeIo;
  Status = LocateRequiredInterface(&gPciRootBridgeIoProtocolGuid,
                                   reinterpret_cast<VOID **>(&RootBridgeIo));
  if (EFI_ERROR(Status)) return Status;

  // The bridges do not depend on the controller: done on every start, even one that fails.
  const UINT8 CacheLineSize = static_cast<UINT8>(ReadConfigOrAllOnes(
      RootBridgeIo, EfiPciWidthUint8,
      PciRootBridgeAddress(0, PLATFORM_HDA_DEVICE, 0, PCI_REG_CACHE_LINE_SIZE)));
  SetBridgeCacheLineSize(RootBridgeIo, 0, PLATFORM_GRAPHICS_PORT_DEVICE, 0, CacheLineSize);
  for (UINT8 Function = 0; Function < PLATFORM_ROOT_PORT_FUNCTIONS; ++Function)
    SetBridgeCacheLineSize(RootBridgeIo, 0, PLATFORM_ROOT_PORT_DEVICE, Function, CacheLineSize);
  const UINT32 SubsystemId = ReadConfigOrAllOnes(
      RootBridgeIo, EfiPciWidthUint32,
      PciRootBridgeAddress(0, PLATFORM_ROOT_PORT_DEVICE, PLATFORM_SUBSYSTEM_ROOT_PORT_FUNCTION,
                           ROOT_PORT_SUBSYSTEM_REGISTER));

  // The claim: held until the release, given back at once when decoding cannot be enabled.
  // An open that handed back no interface is given back as a device error. The attributes the
  // controller had are read first, so that a controller refused below is left decoding (and
  // mastering the bus) exactly as it was found; a read that fails ends the start like a set
  // that fails.
  Status = OpenLanController(This, ControllerHandle);
  if (EFI_ERROR(Status)) return Status;
  UINT64 FoundAttributes = 0;
  Status = gLanPciIo == nullptr ? EFI_DEVICE_ERROR
                                : gLanPciIo->Attributes(gLanPciIo, EfiPciIoAttributeOperationGet,
                                                        0, &FoundAttributes);
  if (!EFI_ERROR(Status))
    Status = gLanPciIo->Attributes(gLanPciIo, EfiPciIoAttributeOperationSet,
                                   LAN_DECODING_ATTRIBUTES, nullptr);
  if (EFI_ERROR(Status)) {
    CloseLanController(This, ControllerHandle);
    return Status;
  }

  // From here on no status is examined: once the controller has an I/O base, the sequence runs
  // to its end.
  const UINT32 Id = ReadControllerConfig(EfiPciIoWidthUint32, PCI_REG_VENDOR_ID);
  const UINT8 Revision =
      static_cast<UINT8>(ReadControllerConfig(EfiPciIoWidthUint8, PCI_REG_REVISION_ID));
  // Only the low word of the I/O BAR is read; bit 0 is the I/O-space indicator. A memory BAR, or
  // an I/O BAR left at 0 (or anywhere among the legacy ports), gives no register block: the
  // offsets would reach the DMA and keyboard controllers, so the controller is given back
  // untouched, its attributes set back to those it was found with; when that is refused, the
  // decoding and bus mastering this start enabled are disabled again (and if that is refused
  // too, nothing else is left to try).
  const UINT16 Bar =
      static_cast<UINT16>(ReadControllerConfig(EfiPciIoWidthUint16, PCI_REG_BAR0));
  gLanIoBase = Bar & IO_BAR_BASE_MASK;
  if ((Bar & IO_BAR_IO_SPACE) == 0 || gLanIoBase < LEGACY_PORT_LIMIT) {
    DEBUG_LINE("lan_controller_setup: Start %4x:%4x: BAR0 %4x holds no I/O base, not programmed",
               Id & 0xFFFF, Id >> 16, Bar);
    if (EFI_ERROR(gLanPciIo->Attributes(gLanPciIo, EfiPciIoAttributeOperationSet, FoundAttributes,
                                        nullptr)))
      gLanPciIo->Attributes(gLanPciIo, EfiPciIoAttributeOperationDisable,
                            LAN_DECODING_ATTRIBUTES & ~FoundAttributes, nullptr);
    CloseLanController(This, ControllerHandle);
    return EFI_DEVICE_ERROR;
  }

  // Open the ID and configuration registers; +0x51..+0x53 go back as read.
  UINT32 Lock = ReadLanRegister32(LAN_CONFIG_LOCK_REGISTER);
  WriteLanRegister32(LAN_CONFIG_LOCK_REGISTER, UpdateBits(Lock, ~CONFIG_LOCK_OPEN_KEEP, CONFIG_LOCK_OPEN));

  // Each half of the address is published in the record before it goes to the controller.
  const UINT32 Low = LoadDword(StationAddress->StationAddress);
  StoreRecordDword(Record, LAN_STATION_ADDRESS_LOW_OFFSET, Low);
  WriteLanRegister32(LAN_ID_LOW_REGISTER, Low);
  const UINT32 High = LoadDword(StationAddress->StationAddress + 4);
  StoreRecordDword(Record, LAN_STATION_ADDRESS_HIGH_OFFSET, High);
  WriteLanRegister32(LAN_ID_HIGH_REGISTER, High);

  // The closing write carries the bytes +0x51..+0x53 as they read after the address writes.
  Lock = ReadLanRegister32(LAN_CONFIG_LOCK_REGISTER);

  const BOOLEAN FastEthernet = Id == LAN_ID_FAST_ETHERNET;
  Record->LanIsFastEthernet = FastEthernet ? 1 : 0;
  if (FastEthernet && Revision >= FAST_ETHERNET_MIN_REVISION &&
      Record->LanPhyOption == LAN_PHY_OPTION_FAST_ETHERNET) {
    UpdateLanRegister8(LAN_FAST_ETHERNET_CONFIG_REGISTER, FAST_ETHERNET_CONFIG_BIT, 0);
    WriteLanRegister32(LAN_PHY_ACCESS_REGISTER, PHY_WRITE_REGISTER_11_15C0);
  }

  WriteLanRegister32(LAN_CONFIG_LOCK_REGISTER, UpdateBits(Lock, ~CONFIG_LOCK_CLOSE_KEEP, CONFIG_LOCK_CLOSE));

  UpdateLanRegister8(LAN_CONFIG_6D_REGISTER, 0, CONFIG_6D_CLEARED_BIT);

  // The controller takes root port 2's subsystem IDs into its own configuration register 0x2C.
  WriteLanRegister32(LAN_CONFIG_WRITE_DATA_REGISTER, SubsystemId);
  WriteLanRegister32(LAN_CONFIG_WRITE_COMMAND_REGISTER, CONFIG_WRITE_SUBSYSTEM_ID);
  DEBUG_LINE("lan_controller_setup: Start %4x:%4x revision %2x: I/O base %4x, station address "
             "%2x-%2x-%2x-%2x-%2x-%2x written, subsystem ID %8x handed over",
             Id & 0xFFFF, Id >> 16, Revision, gLanIoBase, Low & 0xFF, (Low >> 8) & 0xFF,
             (Low >> 16) & 0xFF, Low >> 24, High & 0xFF, (High >> 8) & 0xFF, SubsystemId);
  return EFI_SUCCESS;
}
