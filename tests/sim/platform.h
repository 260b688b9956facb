// The simulated PC platform behind the hardware seam: one I/O port space, reached by the direct
// route (the host definitions of hw::PortIn8/16/32 and hw::PortOut8/16/32), through a Framework
// CPU I/O protocol instance and through the root bridge's Io.Read/Io.Write, with the legacy
// devices the drivers talk to; and the memory-mapped configuration window (hw::WindowRead8 and
// hw::WindowWrite8) over the firmware's configuration-space model. Every access by the direct
// and CPU I/O routes and every window access is appended to the global trace in order.
//
//   sim::Firmware fw;
//   sim::Platform platform(fw);            // CPU I/O protocol installed, root bridge Io wired
//   platform.OptionCmos[0x49] = 0x0F;
//   EXPECT_EQ(ReadOptionCmos(0x49), 0x0F);
//
// One instance is live at a time. Unmodelled ports read all ones and ignore writes; an access
// to the window outside [WindowBase, WindowBase + WindowSize) fails the test, and so does, by any
// route, an access to a port below 0x100 that no driver uses (CheckLegacyPort), or an access to
// an index/data pair (0x72/0x73, 0x381-0x383, 0xCF8-0xCFF) by the direct or CPU I/O route while
// the seam's simulated interrupt flag is set.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>

#include "support/uefi.h"
#include "tests/sim/config_space.h"
#include "tests/sim/firmware.h"
#include "tests/sim/interface_constants.h"
#include "tests/sim/trace.h"

namespace sim {

// Names the CPU I/O protocol's services go by in failure injection and in the trace.
inline constexpr const char* kCpuIoReadService = "CpuIo.Io.Read";
inline constexpr const char* kCpuIoWriteService = "CpuIo.Io.Write";

extern const EFI_GUID kCpuIoProtocolGuid;

// The LPC bridge (bus 0, device 31, function 0) and its ACPI base register, from which the PM
// timer's port is decoded: (register & 0xFFFE) + 8.
inline constexpr PciLocation kLpcBridge{0, 31, 0};
inline constexpr uint16_t kLpcAcpiBaseRegister = 0x40;

struct RunawayAccesses : std::runtime_error {
  RunawayAccesses() : std::runtime_error("the code under test does not stop accessing ports") {}
};

struct PlatformOptions {
  bool InstallCpuIo = true;
  // ACPI base written into the LPC bridge's register 0x40 (bit 0 set, as the chipset reads it);
  // nullopt leaves the configuration space alone.
  std::optional<uint16_t> AcpiBase = 0x0400;
};

// The 8254's channel 2 as programmed through ports 0x43 and 0x42.
struct PitChannel2 {
  uint8_t ControlWord = 0;   // last mode command for channel 2 (not a latch command)
  uint16_t Divisor = 0;      // last complete count written
  uint32_t Latches = 0;      // latch commands for channel 2
  uint32_t CounterWrites = 0;
  bool HighByteNext = false;
  uint16_t Pending = 0;
  std::deque<uint8_t> LatchedBytes;
};

class Platform {
 public:
  static constexpr uint64_t kDefaultWindowBase = interface_constants::kPciExpressBaseAddress;
  static constexpr uint64_t kDefaultWindowSize = 256ull << 20;
  static constexpr uint64_t kDefaultAccessLimit = 1u << 18;

  explicit Platform(Firmware& Fw, PlatformOptions Options = {});
  ~Platform();
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  // The live instance, or null.
  static Platform* CurrentOrNull();

  // ---- CPU I/O protocol ----
  FRAMEWORK_CPU_IO_PROTOCOL* CpuIo();
  EFI_HANDLE CpuIoHandle() const { return CpuIoHandle_; }
  void InstallCpuIo();
  void UninstallCpuIo();

  // A CPU I/O that raises and restores the TPL: a call that reaches this port returns with
  // the interrupt flag set, as RestoreTPL below TPL_HIGH_LEVEL leaves it. nullopt: the protocol
  // leaves the flag alone.
  std::optional<uint16_t> CpuIoEnablesInterruptsAt;

  // ---- The port space as every route sees it (untraced; Width in bytes: 1, 2 or 4) ----
  uint32_t PortRead(uint16_t Port, int Width);
  void PortWrite(uint16_t Port, int Width, uint32_t Value);

  // Plain read/write registers at otherwise unmodelled ports (little-endian bytes), e.g. a
  // chipset control byte or a GPIO level register.
  void DefineRegister(uint16_t Port, int Width, uint32_t Value);
  uint32_t Register(uint16_t Port, int Width) const;

  // ---- Device models ----
  // Second CMOS bank, index port 0x72, data port 0x73.
  std::array<uint8_t, 256> OptionCmos{};
  uint8_t OptionCmosIndex = 0;

  // Embedded controller: address low 0x381, high 0x382, data 0x383.
  std::array<uint8_t, 0x10000> EcRegisters{};
  uint16_t EcAddress = 0;

  // Port 0x61: bits 0-3 are written, bits 4-7 are status the writes cannot change.
  uint8_t SpeakerGate = 0x20;
  bool SpeakerSounding() const { return (SpeakerGate & 0x03) == 0x03; }

  PitChannel2 Pit2;

  // Writes to the delay port 0xED.
  uint32_t DelayWrites = 0;

  // ACPI PM timer at the port decoded from the LPC bridge. Each read returns the count (24
  // bits, with PmTimerHighBits OR-ed into the upper byte) and then advances it by PmTimerStep;
  // PmTimerStuck keeps it where it is. Scripted readings are returned first, in order, each
  // becoming the count.
  uint32_t PmTimerCount = 0;
  uint32_t PmTimerStep = 1;
  bool PmTimerStuck = false;
  uint32_t PmTimerHighBits = 0;
  std::deque<uint32_t> PmTimerScript;
  uint64_t PmTimerReads = 0;
  std::optional<uint16_t> PmTimerPort() const;

  // Configuration mechanism #1: the address latched at 0xCF8.
  uint32_t Cf8Address = 0;

  // ---- Memory-mapped configuration window over Fw.Config() ----
  uint64_t WindowBase = kDefaultWindowBase;
  uint64_t WindowSize = kDefaultWindowSize;
  uint8_t WindowRead8(uint64_t Address);
  void WindowWrite8(uint64_t Address, uint8_t Value);

  // Port and window accesses by every route, counted together. The one past AccessLimit fails
  // the test and throws RunawayAccesses out of the code under test, so that a wait or walk
  // that would never end gives control back.
  uint64_t AccessLimit = kDefaultAccessLimit;
  uint64_t Accesses() const { return Accesses_; }

  ConfigSpace& Config() { return Fw_.Config(); }
  Firmware& Fw() { return Fw_; }

 private:
  struct CpuIoInstance {
    FRAMEWORK_CPU_IO_PROTOCOL Table;
    Platform* Owner;
  };

  static EFI_STATUS EFIAPI CpuIoRead(FRAMEWORK_CPU_IO_PROTOCOL* This,
                                     FRAMEWORK_CPU_IO_WIDTH Width, UINT64 Address,
                                     UINTN Count, VOID* Buffer);
  static EFI_STATUS EFIAPI CpuIoWrite(FRAMEWORK_CPU_IO_PROTOCOL* This,
                                      FRAMEWORK_CPU_IO_WIDTH Width, UINT64 Address,
                                      UINTN Count, VOID* Buffer);
  static EFI_STATUS EFIAPI CpuIoMem(FRAMEWORK_CPU_IO_PROTOCOL* This,
                                    FRAMEWORK_CPU_IO_WIDTH Width, UINT64 Address,
                                    UINTN Count, VOID* Buffer);
  static Platform* OwnerOf(FRAMEWORK_CPU_IO_PROTOCOL* This);
  EFI_STATUS CpuIoAccess(bool Write, FRAMEWORK_CPU_IO_WIDTH Width, UINT64 Address,
                         UINTN Count, VOID* Buffer);

  void CountAccess();
  uint8_t ReadByte(uint16_t Port);
  void WriteByte(uint16_t Port, uint8_t Value);
  uint32_t ReadPmTimer();
  bool WindowLocation(uint64_t Address, PciLocation* Where, uint16_t* Register) const;

  Firmware& Fw_;
  CpuIoInstance CpuIo_{};
  EFI_HANDLE CpuIoHandle_ = nullptr;
  std::map<uint16_t, uint8_t> Registers_;
  uint64_t Accesses_ = 0;
  std::function<uint32_t(uint16_t, int)> SavedRootBridgeRead_;
  std::function<void(uint16_t, int, uint32_t)> SavedRootBridgeWrite_;
};

// Fails the test for an access to a port below 0x100 other than the speaker gate, the 8254's
// channel 2 and mode ports, the second CMOS bank and the delay port: the rest down there are the
// DMA, interrupt, timer and keyboard controllers, the first CMOS bank and the like.
void CheckLegacyPort(uint16_t Port, int Width, const char* Route);
// The interrupt flag behind hw::DisableInterrupts/hw::RestoreInterrupts; set again by every
// Platform, which fails the test when it is left clear.
bool InterruptsEnabled();
void SetInterruptsEnabled(bool Enabled);
// Fails the test for an access to an index/data port pair made with interrupts enabled.
void CheckPairPort(uint16_t Port, int Width, const char* Route);

// Appends a port access to the global trace.
void TracePort(TraceKind Kind, PortRoute Route, uint16_t Port, int Width, uint32_t Value);

// What a port or register of Width bytes reads when nothing answers.
uint32_t AllOnes(int Width);
// The live platform; a test failure naming What, and null, when there is none.
Platform* Live(const char* What);

}  // namespace sim
