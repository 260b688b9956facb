// The simulated platform's port space, its legacy devices, the CPU I/O protocol over them and
// the host backend of the hardware seam.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "tests/sim/platform.h"

#include <gtest/gtest.h>

#include "support/hw_seam.h"
#include "tests/sim/firmware_internal.h"
#include "tests/sim/interface_guids.h"

namespace sim {

const EFI_GUID kCpuIoProtocolGuid = interface_guids::kFrameworkCpuIo;

namespace {

Platform* gCurrentPlatform = nullptr;

constexpr uint16_t kDelayPort = 0xED;
constexpr uint16_t kCmosIndexPort = 0x72;
constexpr uint16_t kCmosDataPort = 0x73;
constexpr uint16_t kSpeakerGatePort = 0x61;
constexpr uint16_t kPitChannel2Port = 0x42;
constexpr uint16_t kPitModePort = 0x43;
constexpr uint16_t kEcAddressLowPort = 0x381;
constexpr uint16_t kEcAddressHighPort = 0x382;
constexpr uint16_t kEcDataPort = 0x383;
constexpr uint16_t kCf8Port = 0xCF8;
constexpr uint16_t kCfcPort = 0xCFC;
constexpr uint32_t kPmTimerMask = 0xFFFFFF;

bool ValidWidth(int Width) { return Width == 1 || Width == 2 || Width == 4; }

bool gInterruptsEnabled = true;

bool AnyPortIn(uint16_t Port, int Width, std::initializer_list<uint16_t> Ports) {
  for (int i = 0; i < Width; ++i)
    for (uint16_t p : Ports)
      if (Port + i == p) return true;
  return false;
}

}  // namespace

void CheckLegacyPort(uint16_t Port, int Width, const char* Route) {
  for (int i = 0; i < Width && Port + i < 0x100; ++i)
    if (!AnyPortIn(uint16_t(Port + i), 1, {kPitChannel2Port, kPitModePort, kSpeakerGatePort,
                                           kCmosIndexPort, kCmosDataPort, kDelayPort})) {
      ADD_FAILURE() << Route << " access to legacy port 0x" << std::hex << Port + i
                    << ", which no driver uses";
      return;
    }
}

bool InterruptsEnabled() { return gInterruptsEnabled; }
void SetInterruptsEnabled(bool Enabled) { gInterruptsEnabled = Enabled; }

void CheckPairPort(uint16_t Port, int Width, const char* Route) {
  if (gInterruptsEnabled &&
      (AnyPortIn(Port, Width, {kCmosIndexPort, kCmosDataPort, kEcAddressLowPort, kEcAddressHighPort,
                               kEcDataPort}) ||
       (Port + Width > kCf8Port && Port < kCfcPort + 4)))
    ADD_FAILURE() << Route << " access to index/data port 0x" << std::hex << Port
                  << " with interrupts enabled";
}

uint32_t AllOnes(int Width) { return Width == 4 ? 0xFFFFFFFFu : (1u << (8 * Width)) - 1; }

Platform* Live(const char* What) {
  Platform* platform = Platform::CurrentOrNull();
  if (platform == nullptr) ADD_FAILURE() << What << " with no simulated platform";
  return platform;
}

void TracePort(TraceKind Kind, PortRoute Route, uint16_t Port, int Width, uint32_t Value) {
  TraceEntry entry;
  entry.Kind = Kind;
  entry.Route = Route;
  entry.Address = Port;
  entry.Width = static_cast<uint32_t>(Width);
  entry.Value = Value;
  GlobalTrace().Add(std::move(entry));
}

Platform::Platform(Firmware& Fw, PlatformOptions Options) : Fw_(Fw) {
  if (gCurrentPlatform != nullptr) ADD_FAILURE() << "two simulated platforms at once";
  gCurrentPlatform = this;
  gInterruptsEnabled = true;

  CpuIo_.Table.Mem.Read = CpuIoMem;
  CpuIo_.Table.Mem.Write = CpuIoMem;
  CpuIo_.Table.Io.Read = CpuIoRead;
  CpuIo_.Table.Io.Write = CpuIoWrite;
  CpuIo_.Owner = this;
  if (Options.InstallCpuIo) InstallCpuIo();

  if (Options.AcpiBase) Config().Set16(kLpcBridge, kLpcAcpiBaseRegister, *Options.AcpiBase | 1);

  SavedRootBridgeRead_ = Fw_.RootBridgePortRead;
  SavedRootBridgeWrite_ = Fw_.RootBridgePortWrite;
  Fw_.RootBridgePortRead = [this](uint16_t Port, int Width) { return PortRead(Port, Width); };
  Fw_.RootBridgePortWrite = [this](uint16_t Port, int Width, uint32_t Value) {
    PortWrite(Port, Width, Value);
  };
}

Platform::~Platform() {
  // A wait cut short by the access limit may have been inside a pair.
  if (!gInterruptsEnabled && Accesses_ <= AccessLimit)
    ADD_FAILURE() << "interrupts left disabled after an index/data pair";
  Fw_.RootBridgePortRead = SavedRootBridgeRead_;
  Fw_.RootBridgePortWrite = SavedRootBridgeWrite_;
  if (CpuIoHandle_ != nullptr) UninstallCpuIo();
  if (gCurrentPlatform == this) gCurrentPlatform = nullptr;
}

Platform* Platform::CurrentOrNull() { return gCurrentPlatform; }

// ---------------------------------------------------------------------------------------------
// CPU I/O protocol

FRAMEWORK_CPU_IO_PROTOCOL* Platform::CpuIo() { return &CpuIo_.Table; }

void Platform::InstallCpuIo() {
  if (CpuIoHandle_ != nullptr) return;
  CpuIoHandle_ = Fw_.InstallProtocol(nullptr, kCpuIoProtocolGuid, &CpuIo_.Table);
}

void Platform::UninstallCpuIo() {
  if (CpuIoHandle_ == nullptr) return;
  Fw_.UninstallProtocol(CpuIoHandle_, kCpuIoProtocolGuid);
  CpuIoHandle_ = nullptr;
}

// The platform behind an interface the code under test passes back; null (and a failure) for a
// pointer that is not the live platform's table.
Platform* Platform::OwnerOf(FRAMEWORK_CPU_IO_PROTOCOL* This) {
  auto* instance = reinterpret_cast<CpuIoInstance*>(This);
  if (This != nullptr && instance->Owner == gCurrentPlatform) return instance->Owner;
  ADD_FAILURE() << "CPU I/O call through a stale or null interface";
  return nullptr;
}

EFI_STATUS EFIAPI Platform::CpuIoRead(FRAMEWORK_CPU_IO_PROTOCOL* This,
                                      FRAMEWORK_CPU_IO_WIDTH Width, UINT64 Address, UINTN Count,
                                      VOID* Buffer) {
  Platform* owner = OwnerOf(This);
  return owner ? owner->CpuIoAccess(false, Width, Address, Count, Buffer) : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI Platform::CpuIoWrite(FRAMEWORK_CPU_IO_PROTOCOL* This,
                                       FRAMEWORK_CPU_IO_WIDTH Width, UINT64 Address, UINTN Count,
                                       VOID* Buffer) {
  Platform* owner = OwnerOf(This);
  return owner ? owner->CpuIoAccess(true, Width, Address, Count, Buffer) : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI Platform::CpuIoMem(FRAMEWORK_CPU_IO_PROTOCOL*, FRAMEWORK_CPU_IO_WIDTH,
                                     UINT64 Address, UINTN, VOID*) {
  ADD_FAILURE() << "CPU I/O memory access at 0x" << std::hex << Address << " is not modelled";
  return EFI_UNSUPPORTED;
}

// Plain widths step port and buffer, FIFO widths only the buffer, fill widths only the port;
// a null buffer, a 64-bit width or a range past port 0xFFFF is refused as the firmware does.
EFI_STATUS Platform::CpuIoAccess(bool Write, FRAMEWORK_CPU_IO_WIDTH Width, UINT64 Address,
                                 UINTN Count, VOID* Buffer) {
  const char* name = Write ? kCpuIoWriteService : kCpuIoReadService;
  if (auto failed = Fw_.EnterService(name)) return Fw_.TraceService(name, *failed, 0, Address);

  int kind = static_cast<int>(Width) / 4;  // 0 plain, 1 FIFO, 2 fill
  int bytes = 1 << (static_cast<int>(Width) % 4);
  if (Buffer == nullptr || Width >= EfiCpuIoWidthMaximum || bytes == 8)
    return Fw_.TraceService(name, EFI_INVALID_PARAMETER, 0, Address);
  uint64_t span = kind == 2 ? uint64_t(bytes) : uint64_t(bytes) * Count;
  if (Address + span > 0x10000) return Fw_.TraceService(name, EFI_UNSUPPORTED, 0, Address);

  auto* data = static_cast<uint8_t*>(Buffer);
  for (UINTN i = 0; i < Count; ++i) {
    auto port = static_cast<uint16_t>(Address + (kind == 2 ? 0 : i * bytes));
    uint8_t* element = data + (kind == 1 ? 0 : i * bytes);
    if (Write) {
      uint32_t value = 0;
      for (int b = 0; b < bytes; ++b) value |= uint32_t(element[b]) << (8 * b);
      TracePort(TraceKind::PortWrite, PortRoute::CpuIo, port, bytes, value);
      CheckPairPort(port, bytes, "CPU I/O");
      PortWrite(port, bytes, value);
    } else {
      CheckPairPort(port, bytes, "CPU I/O");
      uint32_t value = PortRead(port, bytes);
      TracePort(TraceKind::PortRead, PortRoute::CpuIo, port, bytes, value);
      for (int b = 0; b < bytes; ++b) element[b] = uint8_t(value >> (8 * b));
    }
  }
  if (CpuIoEnablesInterruptsAt == Address) gInterruptsEnabled = true;
  return EFI_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Port space

std::optional<uint16_t> Platform::PmTimerPort() const {
  uint32_t base = Fw_.Config().Get16(kLpcBridge, kLpcAcpiBaseRegister) & 0xFFFE;
  if (base + 8 > 0xFFFC) return std::nullopt;
  return static_cast<uint16_t>(base + 8);
}

uint32_t Platform::ReadPmTimer() {
  ++PmTimerReads;
  if (!PmTimerScript.empty()) {
    PmTimerCount = PmTimerScript.front() & kPmTimerMask;
    PmTimerScript.pop_front();
  }
  uint32_t reading = PmTimerCount | (PmTimerHighBits & ~kPmTimerMask);
  if (!PmTimerStuck) PmTimerCount = (PmTimerCount + PmTimerStep) & kPmTimerMask;
  return reading;
}

void Platform::CountAccess() {
  if (++Accesses_ <= AccessLimit) return;
  ADD_FAILURE() << "more than " << AccessLimit
                << " port and window accesses: a loop that does not end";
  throw RunawayAccesses();
}

uint32_t Platform::PortRead(uint16_t Port, int Width) {
  CountAccess();
  CheckLegacyPort(Port, Width, "port read:");
  if (!ValidWidth(Width)) {
    ADD_FAILURE() << "port read of width " << Width;
    return 0xFFFFFFFFu;
  }
  if (Port == kCf8Port && Width == 4) return Cf8Address;
  if (Port >= kCfcPort && Port + Width <= kCfcPort + 4) {
    if ((Cf8Address & 0x80000000u) == 0) return AllOnes(Width);
    PciLocation where{uint8_t(Cf8Address >> 16), uint8_t((Cf8Address >> 11) & 0x1F),
                      uint8_t((Cf8Address >> 8) & 0x07)};
    return Config().Read(where, uint16_t((Cf8Address & 0xFC) + (Port - kCfcPort)), Width);
  }
  if (auto timer = PmTimerPort(); timer && Port >= *timer && Port + Width <= *timer + 4) {
    uint32_t reading = ReadPmTimer() >> (8 * (Port - *timer));
    return reading & AllOnes(Width);
  }
  uint32_t value = 0;
  for (int i = 0; i < Width; ++i) value |= uint32_t(ReadByte(uint16_t(Port + i))) << (8 * i);
  return value;
}

void Platform::PortWrite(uint16_t Port, int Width, uint32_t Value) {
  CountAccess();
  CheckLegacyPort(Port, Width, "port write:");
  if (!ValidWidth(Width)) {
    ADD_FAILURE() << "port write of width " << Width;
    return;
  }
  if (Port == kCf8Port && Width == 4) {
    Cf8Address = Value;
    return;
  }
  if (Port >= kCfcPort && Port + Width <= kCfcPort + 4) {
    if ((Cf8Address & 0x80000000u) == 0) return;
    PciLocation where{uint8_t(Cf8Address >> 16), uint8_t((Cf8Address >> 11) & 0x1F),
                      uint8_t((Cf8Address >> 8) & 0x07)};
    Config().Write(where, uint16_t((Cf8Address & 0xFC) + (Port - kCfcPort)), Width, Value);
    return;
  }
  if (auto timer = PmTimerPort(); timer && Port >= *timer && Port + Width <= *timer + 4)
    return;  // the timer is read-only
  for (int i = 0; i < Width; ++i) WriteByte(uint16_t(Port + i), uint8_t(Value >> (8 * i)));
}

uint8_t Platform::ReadByte(uint16_t Port) {
  switch (Port) {
    case kCmosIndexPort:
      return OptionCmosIndex;
    case kCmosDataPort:
      return OptionCmos[OptionCmosIndex];
    case kSpeakerGatePort:
      return SpeakerGate;
    case kPitChannel2Port: {
      if (Pit2.LatchedBytes.empty()) return uint8_t(Pit2.Divisor);
      uint8_t b = Pit2.LatchedBytes.front();
      Pit2.LatchedBytes.pop_front();
      return b;
    }
    case kEcAddressLowPort:
      return uint8_t(EcAddress);
    case kEcAddressHighPort:
      return uint8_t(EcAddress >> 8);
    case kEcDataPort:
      return EcRegisters[EcAddress];
    default:
      break;
  }
  auto it = Registers_.find(Port);
  return it == Registers_.end() ? 0xFF : it->second;
}

void Platform::WriteByte(uint16_t Port, uint8_t Value) {
  switch (Port) {
    case kDelayPort:
      ++DelayWrites;
      return;
    case kCmosIndexPort:
      OptionCmosIndex = Value;
      return;
    case kCmosDataPort:
      OptionCmos[OptionCmosIndex] = Value;
      return;
    case kSpeakerGatePort:
      SpeakerGate = uint8_t((SpeakerGate & 0xF0) | (Value & 0x0F));
      return;
    case kPitModePort: {
      if ((Value >> 6) != 2) return;  // another channel, or read-back
      int access = (Value >> 4) & 3;
      if (access == 0) {
        ++Pit2.Latches;
        Pit2.LatchedBytes = {uint8_t(Pit2.Divisor), uint8_t(Pit2.Divisor >> 8)};
        return;
      }
      Pit2.ControlWord = Value;
      Pit2.HighByteNext = access == 2;
      return;
    }
    case kPitChannel2Port: {
      ++Pit2.CounterWrites;
      int access = (Pit2.ControlWord >> 4) & 3;
      if (access == 1) {
        Pit2.Divisor = Value;
      } else if (access == 2) {
        Pit2.Divisor = uint16_t(Value << 8);
      } else if (!Pit2.HighByteNext) {
        Pit2.Pending = Value;
        Pit2.HighByteNext = true;
      } else {
        Pit2.Divisor = uint16_t(Pit2.Pending | (Value << 8));
        Pit2.HighByteNext = false;
      }
      return;
    }
    case kEcAddressLowPort:
      EcAddress = uint16_t((EcAddress & 0xFF00) | Value);
      return;
    case kEcAddressHighPort:
      EcAddress = uint16_t((EcAddress & 0x00FF) | (Value << 8));
      return;
    case kEcDataPort:
      EcRegisters[EcAddress] = Value;
      return;
    default:
      break;
  }
  auto it = Registers_.find(Port);
  if (it != Registers_.end()) it->second = Value;
}

void Platform::DefineRegister(uint16_t Port, int Width, uint32_t Value) {
  for (int i = 0; i < Width; ++i) Registers_[uint16_t(Port + i)] = uint8_t(Value >> (8 * i));
}

uint32_t Platform::Register(uint16_t Port, int Width) const {
  uint32_t value = 0;
  for (int i = 0; i < Width; ++i) {
    auto it = Registers_.find(uint16_t(Port + i));
    value |= uint32_t(it == Registers_.end() ? 0xFF : it->second) << (8 * i);
  }
  return value;
}

// ---------------------------------------------------------------------------------------------
// Configuration window

bool Platform::WindowLocation(uint64_t Address, PciLocation* Where, uint16_t* Register) const {
  if (Address < WindowBase || Address - WindowBase >= WindowSize) return false;
  uint64_t offset = Address - WindowBase;
  *Where = PciLocation{uint8_t(offset >> 20), uint8_t((offset >> 15) & 0x1F),
                       uint8_t((offset >> 12) & 0x07)};
  *Register = uint16_t(offset & 0xFFF);
  return true;
}

uint8_t Platform::WindowRead8(uint64_t Address) {
  CountAccess();
  PciLocation where;
  uint16_t reg;
  if (!WindowLocation(Address, &where, &reg)) {
    ADD_FAILURE() << "configuration window read outside the window at 0x" << std::hex << Address;
    return 0xFF;
  }
  auto value = uint8_t(Config().Read(where, reg, 1));
  TraceAccess(TraceKind::WindowRead, "window", Address, 1, value, EFI_SUCCESS);
  return value;
}

void Platform::WindowWrite8(uint64_t Address, uint8_t Value) {
  CountAccess();
  PciLocation where;
  uint16_t reg;
  if (!WindowLocation(Address, &where, &reg)) {
    ADD_FAILURE() << "configuration window write outside the window at 0x" << std::hex << Address;
    return;
  }
  TraceAccess(TraceKind::WindowWrite, "window", Address, 1, Value, EFI_SUCCESS);
  Config().Write(where, reg, 1, Value);
}

}  // namespace sim
