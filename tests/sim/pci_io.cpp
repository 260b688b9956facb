// PCI I/O protocol instances over the configuration-space model and a per-function I/O register
// file; one trace entry per access, failure injection per member.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "tests/sim/pci_io.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "tests/sim/firmware_internal.h"
#include "tests/sim/interface_guids.h"
#include "tests/sim/platform.h"

namespace sim {

const EFI_GUID kPciIoGuid = interface_guids::kPciIo;

namespace {

constexpr uint32_t kBar0Register = 0x10;
constexpr uint64_t kIoSpaceEnd = 0x10000;

std::vector<PciIoDevice*>& LiveDevices() {
  static std::vector<PciIoDevice*> devices;
  return devices;
}

// Bytes per element of the plain widths; the FIFO and fill forms are not simulated.
size_t ElementSize(EFI_PCI_IO_PROTOCOL_WIDTH Width) {
  switch (Width) {
    case EfiPciIoWidthUint8:
      return 1;
    case EfiPciIoWidthUint16:
      return 2;
    case EfiPciIoWidthUint32:
      return 4;
    default:
      return 0;
  }
}

uint32_t AllOnes(size_t Size) { return Size == 4 ? 0xFFFFFFFFu : (1u << (8 * Size)) - 1; }

const char* const kPciIoSlotNames[] = {
    "PollMem",    "PollIo",           "Mem.Read",        "Mem.Write", "Io.Read",
    "Io.Write",   "Pci.Read",         "Pci.Write",       "CopyMem",   "Map",
    "Unmap",      "AllocateBuffer",   "FreeBuffer",      "Flush",     "GetLocation",
    "Attributes", "GetBarAttributes", "SetBarAttributes"};

}  // namespace

PciIoDevice::PciIoDevice(Firmware& Fw, PciLocation Where) : Fw_(Fw), Where_(Where) {
  FillUnimplemented(&Table_.PollMem, std::size(kPciIoSlotNames), "PciIo", kPciIoSlotNames);
  Table_.Pci.Read = PciRead;
  Table_.Pci.Write = PciWrite;
  Table_.Io.Read = IoRead;
  Table_.Io.Write = IoWrite;
  Table_.Attributes = AttributesCall;
  Fw_.Config().AddFunction(Where_);
  Handle_ = Fw_.InstallProtocol(nullptr, kPciIoGuid, &Table_);
  LiveDevices().push_back(this);
}

PciIoDevice::~PciIoDevice() {
  std::erase(LiveDevices(), this);
  if (Firmware::CurrentOrNull() == &Fw_) Fw_.UninstallProtocol(Handle_, kPciIoGuid);
}

PciIoDevice* PciIoDevice::From(EFI_PCI_IO_PROTOCOL* This, const char* Member) {
  for (PciIoDevice* device : LiveDevices())
    if (&device->Table_ == This) return device;
  ADD_FAILURE() << "PciIo." << Member << " through an unknown instance";
  return nullptr;
}

std::optional<uint16_t> PciIoDevice::IoBase() const {
  uint32_t bar = Fw_.Config().Get32(Where_, kBar0Register);
  if ((bar & 1) == 0) return std::nullopt;
  return uint16_t(bar & 0xFFFC);
}

uint8_t PciIoDevice::Register8(uint16_t Register) const { return Io_.at(Register); }
uint32_t PciIoDevice::Register32(uint16_t Register) const {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t(Io_.at(Register + i)) << (8 * i);
  return value;
}
void PciIoDevice::SetRegister8(uint16_t Register, uint8_t Value) { Io_.at(Register) = Value; }
void PciIoDevice::SetRegister32(uint16_t Register, uint32_t Value) {
  for (int i = 0; i < 4; ++i) Io_.at(Register + i) = uint8_t(Value >> (8 * i));
}

EFI_STATUS PciIoDevice::ConfigAccess(bool Write, EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32 Offset,
                                     UINTN Count, VOID* Buffer) {
  TraceKind kind = Write ? TraceKind::ConfigWrite : TraceKind::ConfigRead;
  size_t size = ElementSize(Width);
  uint64_t first = ConfigAddress(Where_, uint16_t(std::min<UINT32>(Offset, 0xFFFF)));
  if (auto injected = Fw_.EnterService(Write ? "PciIo.Pci.Write" : "PciIo.Pci.Read"))
    return TraceAccess(kind, kPciIoTraceName, first, size, 0, *injected);
  if (Buffer == nullptr || size == 0)
    return TraceAccess(kind, kPciIoTraceName, first, size, 0, EFI_INVALID_PARAMETER);
  if (uint64_t(Offset) + Count * size > ConfigSpace::kFunctionSize)
    return TraceAccess(kind, kPciIoTraceName, first, size, 0, EFI_UNSUPPORTED);
  if (Offset & (size - 1))
    return TraceAccess(kind, kPciIoTraceName, first, size, 0, EFI_UNSUPPORTED);
  auto* bytes = static_cast<uint8_t*>(Buffer);
  for (UINTN i = 0; i < Count; ++i) {
    uint16_t at = uint16_t(Offset + i * size);
    uint8_t* element = bytes + i * size;
    if (Write) {
      uint32_t value = 0;
      std::memcpy(&value, element, size);
      TraceAccess(kind, kPciIoTraceName, ConfigAddress(Where_, at), size, value, EFI_SUCCESS);
      Fw_.Config().Write(Where_, at, int(size), value);
    } else {
      uint32_t value = Fw_.Config().Read(Where_, at, int(size));
      std::memcpy(element, &value, size);
      TraceAccess(kind, kPciIoTraceName, ConfigAddress(Where_, at), size, value, EFI_SUCCESS);
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS PciIoDevice::IoAccess(bool Write, EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT8 BarIndex,
                                 UINT64 Offset, UINTN Count, VOID* Buffer) {
  TraceKind kind = Write ? TraceKind::IoWrite : TraceKind::IoRead;
  size_t size = ElementSize(Width);
  std::optional<uint16_t> base = IoBase();
  // Through BAR 0 the offset is relative to the window; through the pass-through BAR it is
  // the port itself.
  uint64_t port = BarIndex == 0 && base ? *base + Offset : Offset;
  if (auto injected = Fw_.EnterService(Write ? "PciIo.Io.Write" : "PciIo.Io.Read"))
    return TraceAccess(kind, kPciIoTraceName, port, size, 0, *injected);
  if (Buffer == nullptr || size == 0)
    return TraceAccess(kind, kPciIoTraceName, port, size, 0, EFI_INVALID_PARAMETER);
  bool in_bar = BarIndex == 0 && base && Offset + Count * size <= kIoRegisterBytes;
  bool pass_through =
      BarIndex == EFI_PCI_IO_PASS_THROUGH_BAR && Offset + Count * size <= kIoSpaceEnd;
  if (!in_bar && !pass_through)
    return TraceAccess(kind, kPciIoTraceName, port, size, 0, EFI_INVALID_PARAMETER);
  if (port & (size - 1)) return TraceAccess(kind, kPciIoTraceName, port, size, 0, EFI_UNSUPPORTED);

  auto* bytes = static_cast<uint8_t*>(Buffer);
  for (UINTN i = 0; i < Count; ++i) {
    uint64_t at = port + i * size;
    uint8_t* element = bytes + i * size;
    // Ports outside the window are someone else's: the root bridge passes them on to the port
    // space (the simulated platform's, when one is live).
    bool decoded = base && at >= *base && at + size <= uint64_t(*base) + kIoRegisterBytes;
    uint16_t reg = decoded ? uint16_t(at - *base) : 0;
    if (!decoded && !(Write ? bool(Fw_.RootBridgePortWrite) : bool(Fw_.RootBridgePortRead)))
      CheckLegacyPort(uint16_t(at), int(size), "PCI I/O pass-through");
    if (Write) {
      uint32_t value = 0;
      std::memcpy(&value, element, size);
      TraceAccess(kind, kPciIoTraceName, at, size, value, EFI_SUCCESS);
      if (decoded && (!OnIoWrite || OnIoWrite(*this, reg, int(size), value)))
        std::memcpy(&Io_[reg], &value, size);
      else if (!decoded && Fw_.RootBridgePortWrite)
        Fw_.RootBridgePortWrite(uint16_t(at), int(size), value);
    } else {
      uint32_t value = AllOnes(size);
      if (decoded) std::memcpy(&value, &Io_[reg], size);
      else if (Fw_.RootBridgePortRead) value = Fw_.RootBridgePortRead(uint16_t(at), int(size));
      std::memcpy(element, &value, size);
      TraceAccess(kind, kPciIoTraceName, at, size, value, EFI_SUCCESS);
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PciIoDevice::PciRead(EFI_PCI_IO_PROTOCOL* This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                       UINT32 Offset, UINTN Count, VOID* Buffer) {
  PciIoDevice* device = From(This, "Pci.Read");
  return device ? device->ConfigAccess(false, Width, Offset, Count, Buffer) : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI PciIoDevice::PciWrite(EFI_PCI_IO_PROTOCOL* This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                        UINT32 Offset, UINTN Count, VOID* Buffer) {
  PciIoDevice* device = From(This, "Pci.Write");
  return device ? device->ConfigAccess(true, Width, Offset, Count, Buffer) : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI PciIoDevice::IoRead(EFI_PCI_IO_PROTOCOL* This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                      UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID* Buffer) {
  PciIoDevice* device = From(This, "Io.Read");
  return device ? device->IoAccess(false, Width, BarIndex, Offset, Count, Buffer)
                : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI PciIoDevice::IoWrite(EFI_PCI_IO_PROTOCOL* This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                       UINT8 BarIndex, UINT64 Offset, UINTN Count, VOID* Buffer) {
  PciIoDevice* device = From(This, "Io.Write");
  return device ? device->IoAccess(true, Width, BarIndex, Offset, Count, Buffer)
                : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI PciIoDevice::AttributesCall(EFI_PCI_IO_PROTOCOL* This,
                                              EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION Operation,
                                              UINT64 Attributes, UINT64* Result) {
  PciIoDevice* device = From(This, "Attributes");
  if (device == nullptr) return EFI_INVALID_PARAMETER;
  Firmware& fw = device->Fw_;
  auto finish = [&](EFI_STATUS Status) {
    return fw.TraceService("PciIo.Attributes", Status, Attributes, uint64_t(Operation));
  };
  if (auto injected = fw.EnterService("PciIo.Attributes")) return finish(*injected);
  bool changes =
      Operation == EfiPciIoAttributeOperationSet || Operation == EfiPciIoAttributeOperationEnable;
  if (changes && (Attributes & ~device->SupportedAttributes) != 0) return finish(EFI_UNSUPPORTED);
  switch (Operation) {
    case EfiPciIoAttributeOperationGet:
    case EfiPciIoAttributeOperationSupported:
      if (Result == nullptr) return finish(EFI_INVALID_PARAMETER);
      *Result = Operation == EfiPciIoAttributeOperationGet ? device->Attributes_
                                                           : device->SupportedAttributes;
      return finish(EFI_SUCCESS);
    case EfiPciIoAttributeOperationSet:
      device->Attributes_ = Attributes;
      return finish(EFI_SUCCESS);
    case EfiPciIoAttributeOperationEnable:
      device->Attributes_ |= Attributes;
      return finish(EFI_SUCCESS);
    case EfiPciIoAttributeOperationDisable:
      device->Attributes_ &= ~Attributes;
      return finish(EFI_SUCCESS);
    default:
      return finish(EFI_INVALID_PARAMETER);
  }
}

}  // namespace sim
