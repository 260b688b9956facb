// PCI I/O protocol instances on controller handles, as the firmware's PCI bus driver publishes
// them: Pci.Read/Pci.Write reach the function's bytes in the firmware's configuration-space
// model (the same bytes the root bridge sees), Io.Read/Io.Write reach a register file decoded
// behind the I/O BAR 0 (through BAR index 0 or the pass-through BAR), Attributes keeps the
// function's attribute set. Every access is traced (Name "pciio") and every member can be
// failed by injection ("PciIo.Pci.Read", "PciIo.Io.Write", "PciIo.Attributes", ...).
//
//   sim::Firmware fw;
//   sim::PciIoDevice nic(fw, {2, 0, 0});          // handle with EFI_PCI_IO_PROTOCOL installed
//   fw.Config().Set32({2, 0, 0}, 0x00, 0x816810EC);
//   fw.Config().Set32({2, 0, 0}, 0x10, 0xE001);   // I/O BAR 0 at 0xE000
//   nic.SetRegister32(0x50, 0x12345678);
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "support/uefi.h"
#include "tests/sim/config_space.h"
#include "tests/sim/firmware.h"

namespace sim {

inline constexpr const char* kPciIoTraceName = "pciio";
extern const EFI_GUID kPciIoGuid;

class PciIoDevice {
 public:
  static constexpr size_t kIoRegisterBytes = 256;
  // Attributes the simulated function supports unless a test says otherwise.
  static constexpr uint64_t kDefaultSupportedAttributes =
      EFI_PCI_IO_ATTRIBUTE_IO | EFI_PCI_IO_ATTRIBUTE_MEMORY | EFI_PCI_IO_ATTRIBUTE_BUS_MASTER |
      EFI_PCI_IO_ATTRIBUTE_MEMORY_WRITE_COMBINE | EFI_PCI_IO_ATTRIBUTE_DUAL_ADDRESS_CYCLE;

  // Adds the function to the configuration space (if missing) and installs the protocol on a
  // new handle.
  PciIoDevice(Firmware& Fw, PciLocation Where);
  // Uninstalls the protocol when the firmware is still live.
  ~PciIoDevice();
  PciIoDevice(const PciIoDevice&) = delete;
  PciIoDevice& operator=(const PciIoDevice&) = delete;

  EFI_HANDLE Handle() const { return Handle_; }
  EFI_PCI_IO_PROTOCOL* Protocol() { return &Table_; }
  PciLocation Location() const { return Where_; }

  // The I/O window decoded from BAR 0 (bits 15:2 when bit 0 says I/O space), or nullopt when
  // BAR 0 is not an I/O BAR.
  std::optional<uint16_t> IoBase() const;

  // The register file (fixture side, untraced).
  uint8_t Register8(uint16_t Register) const;
  uint32_t Register32(uint16_t Register) const;
  void SetRegister8(uint16_t Register, uint8_t Value);
  void SetRegister32(uint16_t Register, uint32_t Value);

  uint64_t Attributes() const { return Attributes_; }
  void SetAttributes(uint64_t Attributes) { Attributes_ = Attributes; }
  uint64_t SupportedAttributes = kDefaultSupportedAttributes;

  // Device model: called for every write that reaches the register file, before its bytes are
  // stored; it may change other registers, and returns false to drop the write (a locked
  // register). Unset: every write is stored.
  std::function<bool(PciIoDevice&, uint16_t Register, int Width, uint32_t Value)> OnIoWrite;

 private:
  // The live device whose table This is; null (and a test failure) for an unknown table.
  static PciIoDevice* From(EFI_PCI_IO_PROTOCOL* This, const char* Member);
  static EFI_STATUS EFIAPI PciRead(EFI_PCI_IO_PROTOCOL* This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                   UINT32 Offset, UINTN Count, VOID* Buffer);
  static EFI_STATUS EFIAPI PciWrite(EFI_PCI_IO_PROTOCOL* This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                    UINT32 Offset, UINTN Count, VOID* Buffer);
  static EFI_STATUS EFIAPI IoRead(EFI_PCI_IO_PROTOCOL* This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                  UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID* Buffer);
  static EFI_STATUS EFIAPI IoWrite(EFI_PCI_IO_PROTOCOL* This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                   UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID* Buffer);
  static EFI_STATUS EFIAPI AttributesCall(EFI_PCI_IO_PROTOCOL* This,
                                          EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION Operation,
                                          UINT64 Attributes, UINT64* Result);
  EFI_STATUS ConfigAccess(bool Write, EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32 Offset, UINTN Count,
                          VOID* Buffer);
  EFI_STATUS IoAccess(bool Write, EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT8 BarIndex, UINT64 Offset,
                      UINTN Count, VOID* Buffer);

  EFI_PCI_IO_PROTOCOL Table_{};
  Firmware& Fw_;
  PciLocation Where_;
  EFI_HANDLE Handle_ = nullptr;
  std::array<uint8_t, kIoRegisterBytes> Io_{};
  uint64_t Attributes_ = 0;
};

}  // namespace sim
