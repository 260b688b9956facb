// The PCI root-bridge I/O protocol over the configuration-space model: Pci.Read/Pci.Write
// reach sim::ConfigSpace, Io.Read/Io.Write reach the port hooks; one trace entry per access.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <cstring>

#include "tests/sim/firmware_internal.h"
#include "tests/sim/platform.h"

namespace sim {
namespace {

constexpr const char* kTraceName = "rootbridge";

struct Access {
  size_t Size = 0;  // bytes per element
  bool StepAddress = true;
  bool StepBuffer = true;
};

// Plain widths step address and buffer, Fifo only the buffer, Fill only the address.
std::optional<Access> DecodeWidth(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width) {
  if (Width < 0 || Width >= EfiPciIoWidthMaximum) return std::nullopt;
  int w = int(Width);
  Access access;
  access.Size = size_t(1) << (w & 3);
  if (access.Size == 8) return std::nullopt;  // no 64-bit configuration or port cycles here
  access.StepAddress = w < 4 || w >= 8;
  access.StepBuffer = w < 8;
  return access;
}

uint32_t LoadElement(const uint8_t* Buffer, size_t Size) {
  uint32_t value = 0;
  std::memcpy(&value, Buffer, Size);
  return value;
}

void StoreElement(uint8_t* Buffer, size_t Size, uint32_t Value) {
  std::memcpy(Buffer, &Value, Size);
}

EFI_STATUS TraceAccess(TraceKind Kind, uint64_t Address, size_t Size, uint64_t Value,
                       EFI_STATUS Status) {
  return sim::TraceAccess(Kind, kTraceName, Address, Size, Value, Status);
}

// Moves Count elements between Buffer and a target reached by byte offset from the first
// element; a write is traced before it reaches the target, a read after.
EFI_STATUS Transfer(bool Write, TraceKind Kind, const Access& A, UINTN Count, VOID* Buffer,
                    const std::function<uint64_t(UINTN)>& TraceAddress,
                    const std::function<uint32_t(UINTN)>& Read,
                    const std::function<void(UINTN, uint32_t)>& Store) {
  auto* bytes = static_cast<uint8_t*>(Buffer);
  for (UINTN i = 0; i < Count; ++i) {
    UINTN offset = A.StepAddress ? i * A.Size : 0;
    uint8_t* element = bytes + (A.StepBuffer ? i * A.Size : 0);
    if (Write) {
      uint32_t value = LoadElement(element, A.Size);
      TraceAccess(Kind, TraceAddress(offset), A.Size, value, EFI_SUCCESS);
      Store(offset, value);
    } else {
      uint32_t value = Read(offset);
      StoreElement(element, A.Size, value);
      TraceAccess(Kind, TraceAddress(offset), A.Size, value, EFI_SUCCESS);
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS PciAccess(bool Write, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL* This,
                     EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count,
                     VOID* Buffer) {
  auto& fw = Fw();
  TraceKind kind = Write ? TraceKind::ConfigWrite : TraceKind::ConfigRead;
  std::optional<Access> access = DecodeWidth(Width);
  size_t size = access ? access->Size : 0;
  if (auto injected = fw.Self.EnterService(Write ? "RootBridge.Pci.Write" : "RootBridge.Pci.Read"))
    return TraceAccess(kind, Address, size, 0, *injected);
  if (This != &fw.RootBridgeTable || Buffer == nullptr || !access)
    return TraceAccess(kind, Address, size, 0, EFI_INVALID_PARAMETER);
  PciLocation where{uint8_t(Address >> 24), uint8_t(Address >> 16), uint8_t(Address >> 8)};
  uint32_t extended = uint32_t(Address >> 32);
  uint32_t reg = extended != 0 ? extended : uint32_t(Address & 0xFF);
  if (where.Device > 31 || where.Function > 7 || reg >= ConfigSpace::kFunctionSize ||
      reg + (access->StepAddress ? Count : 1) * size > ConfigSpace::kFunctionSize)
    return TraceAccess(kind, Address, size, 0, EFI_INVALID_PARAMETER);
  if (reg & (size - 1)) return TraceAccess(kind, Address, size, 0, EFI_UNSUPPORTED);

  uint16_t first = uint16_t(reg);
  return Transfer(
      Write, kind, *access, Count, Buffer,
      [&](UINTN offset) { return ConfigAddress(where, uint16_t(first + offset)); },
      [&](UINTN offset) { return fw.Config.Read(where, uint16_t(first + offset), int(size)); },
      [&](UINTN offset, uint32_t value) {
        fw.Config.Write(where, uint16_t(first + offset), int(size), value);
      });
}

EFI_STATUS IoAccess(bool Write, EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL* This,
                    EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count,
                    VOID* Buffer) {
  auto& fw = Fw();
  Firmware& self = fw.Self;
  TraceKind kind = Write ? TraceKind::IoWrite : TraceKind::IoRead;
  std::optional<Access> access = DecodeWidth(Width);
  size_t size = access ? access->Size : 0;
  if (auto injected = self.EnterService(Write ? "RootBridge.Io.Write" : "RootBridge.Io.Read"))
    return TraceAccess(kind, Address, size, 0, *injected);
  if (This != &fw.RootBridgeTable || Buffer == nullptr || !access ||
      Address + (access->StepAddress ? Count : 1) * size > 0x10000)
    return TraceAccess(kind, Address, size, 0, EFI_INVALID_PARAMETER);
  if (Address & (size - 1)) return TraceAccess(kind, Address, size, 0, EFI_UNSUPPORTED);

  uint32_t all_ones = size == 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1;
  return Transfer(
      Write, kind, *access, Count, Buffer, [&](UINTN offset) { return Address + offset; },
      [&](UINTN offset) {
        auto port = uint16_t(Address + offset);
        if (!self.RootBridgePortRead) CheckLegacyPort(port, int(size), "root bridge");
        return self.RootBridgePortRead ? self.RootBridgePortRead(port, int(size)) : all_ones;
      },
      [&](UINTN offset, uint32_t value) {
        if (self.RootBridgePortWrite)
          self.RootBridgePortWrite(uint16_t(Address + offset), int(size), value);
        else
          CheckLegacyPort(uint16_t(Address + offset), int(size), "root bridge");
      });
}

EFI_STATUS EFIAPI PciRead(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL* This,
                          EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count,
                          VOID* Buffer) {
  return PciAccess(false, This, Width, Address, Count, Buffer);
}
EFI_STATUS EFIAPI PciWrite(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL* This,
                           EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count,
                           VOID* Buffer) {
  return PciAccess(true, This, Width, Address, Count, Buffer);
}
EFI_STATUS EFIAPI IoRead(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL* This,
                         EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count,
                         VOID* Buffer) {
  return IoAccess(false, This, Width, Address, Count, Buffer);
}
EFI_STATUS EFIAPI IoWrite(EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL* This,
                          EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width, UINT64 Address, UINTN Count,
                          VOID* Buffer) {
  return IoAccess(true, This, Width, Address, Count, Buffer);
}

const char* const kRootBridgeSlotNames[] = {
    "PollMem",    "PollIo",    "Mem.Read",      "Mem.Write",     "Io.Read",      "Io.Write",
    "Pci.Read",   "Pci.Write", "CopyMem",       "Map",           "Unmap",        "AllocateBuffer",
    "FreeBuffer", "Flush",     "GetAttributes", "SetAttributes", "Configuration"};

}  // namespace

void SetUpRootBridgeTable(FirmwareState& Fw) {
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL& rb = Fw.RootBridgeTable;
  FillUnimplemented(&rb.PollMem, sizeof(kRootBridgeSlotNames) / sizeof(kRootBridgeSlotNames[0]),
                    "RootBridge", kRootBridgeSlotNames);
  rb.Pci.Read = PciRead;
  rb.Pci.Write = PciWrite;
  rb.Io.Read = IoRead;
  rb.Io.Write = IoWrite;
  rb.SegmentNumber = 0;
}

ConfigSpace& RootBridgeModel::Config() { return State_.Config; }
EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL* RootBridgeModel::RootBridge() { return &State_.RootBridgeTable; }
EFI_HANDLE RootBridgeModel::RootBridgeHandle() const { return State_.RootBridgeHandle; }

void RootBridgeModel::InstallRootBridge() {
  if (State_.RootBridgeHandle != nullptr) return;
  State_.RootBridgeHandle = Owner_.InstallProtocol(nullptr, kRootBridgeIoGuid, &State_.RootBridgeTable);
  State_.RootBridgeTable.ParentHandle = State_.RootBridgeHandle;
}

void RootBridgeModel::UninstallRootBridge() {
  if (State_.RootBridgeHandle == nullptr) return;
  Owner_.UninstallProtocol(State_.RootBridgeHandle, kRootBridgeIoGuid);
  State_.RootBridgeHandle = nullptr;
}

}  // namespace sim
