// The port-level accesses against the simulated platform: the exact order of every index, data
// and delay access, the PM-timer wait with a running, wrapping and dead timer, and the beep.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "wlan_slot_guard/port_primitives.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "support/driver_context.h"
#include "tests/sim/firmware.h"
#include "tests/sim/platform.h"
#include "tests/support/driver_state.h"

namespace {

constexpr uint16_t kDelayPort = 0xED;

// One line per port access and per Stall, in trace order: "cpu-io out8 0x72 0x49",
// "direct in16 0xcfe = 0x1234", "Stall 62000". Writes to the delay port read "delay <route>"
// because their value carries no meaning.
std::vector<std::string> PortLog() {
  std::vector<std::string> log;
  char line[96];
  for (const auto& e : sim::GlobalTrace().Entries()) {
    if (e.Kind == sim::TraceKind::Service) {
      if (e.Name != "Stall") continue;
      std::snprintf(line, sizeof line, "Stall %llu", (unsigned long long)e.Value);
    } else if (e.Kind == sim::TraceKind::PortRead || e.Kind == sim::TraceKind::PortWrite) {
      const char* route = e.Route == sim::PortRoute::CpuIo ? "cpu-io" : "direct";
      bool write = e.Kind == sim::TraceKind::PortWrite;
      if (write && e.Address == kDelayPort && e.Width == 1)
        std::snprintf(line, sizeof line, "delay %s", route);
      else
        std::snprintf(line, sizeof line, write ? "%s out%u 0x%llx 0x%llx" : "%s in%u 0x%llx = 0x%llx",
                      route, e.Width * 8, (unsigned long long)e.Address,
                      (unsigned long long)e.Value);
    } else {
      continue;
    }
    log.emplace_back(line);
  }
  return log;
}

std::vector<std::string> Prefix(const std::vector<std::string>& Log, size_t Count) {
  return std::vector<std::string>(Log.begin(), Log.begin() + std::min(Count, Log.size()));
}

class PortPrimitivesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitDriverContext(fw.ImageHandle(), fw.SystemTable());
    sim::GlobalTrace().Clear();
  }

  // Timer readings of the last wait, in order (24 bits).
  std::vector<uint32_t> TimerReadings() const {
    std::vector<uint32_t> readings;
    auto port = platform.PmTimerPort();
    for (const auto& e : sim::GlobalTrace().Of(sim::TraceKind::PortRead))
      if (port && e.Address == *port) readings.push_back(uint32_t(e.Value) & 0xFFFFFF);
    return readings;
  }

  // Ticks of a running timer between the first and the last reading, wraps included.
  uint64_t TimerSpan() const {
    auto readings = TimerReadings();
    uint64_t span = 0;
    for (size_t i = 1; i < readings.size(); ++i)
      span += (readings[i] - readings[i - 1]) & 0xFFFFFF;
    return span;
  }

  size_t LocateCalls() const {
    size_t n = 0;
    for (const auto& e : sim::GlobalTrace().Of(sim::TraceKind::Service))
      if (e.Name == "LocateProtocol") ++n;
    return n;
  }

  sim::Firmware fw;
  sim::Platform platform{fw};
};

// ---- Second CMOS bank ----------------------------------------------------------------------

TEST_F(PortPrimitivesTest, OptionCmosReadWritesIndexThenDelayThenReadsData) {
  platform.OptionCmos[0x49] = 0x0E;
  platform.OptionCmos[0x4C] = 0x5A;

  EXPECT_EQ(ReadOptionCmos(0x49), 0x0E);
  EXPECT_EQ(ReadOptionCmos(0x4C), 0x5A);

  EXPECT_EQ(PortLog(), (std::vector<std::string>{
                           "cpu-io out8 0x72 0x49", "delay cpu-io", "cpu-io in8 0x73 = 0xe",
                           "cpu-io out8 0x72 0x4c", "delay cpu-io", "cpu-io in8 0x73 = 0x5a"}));
  // The protocol is located once for each operation, before the pair.
  EXPECT_EQ(LocateCalls(), 2u);
}

TEST_F(PortPrimitivesTest, OptionCmosWriteDelaysAfterIndexAndAfterData) {
  platform.OptionCmos.fill(0x11);

  WriteOptionCmos(0x4D, 0xA5);

  EXPECT_EQ(PortLog(), (std::vector<std::string>{"cpu-io out8 0x72 0x4d", "delay cpu-io",
                                                  "cpu-io out8 0x73 0xa5", "delay cpu-io"}));
  for (int i = 0; i < 256; ++i)
    EXPECT_EQ(platform.OptionCmos[i], i == 0x4D ? 0xA5 : 0x11) << "index " << i;
  EXPECT_EQ(LocateCalls(), 1u);
}

TEST_F(PortPrimitivesTest, WithoutTheCpuIoProtocolReadsGiveZeroAndWritesAreDropped) {
  platform.UninstallCpuIo();
  platform.OptionCmos[0x49] = 0x0F;

  EXPECT_EQ(ReadOptionCmos(0x49), 0);
  WriteOptionCmos(0x49, 0x0E);

  EXPECT_EQ(platform.OptionCmos[0x49], 0x0F);
  EXPECT_TRUE(PortLog().empty());
  EXPECT_EQ(LocateCalls(), 2u);
}

TEST_F(PortPrimitivesTest, AFailedCpuIoReadLeavesTheZeroTheBufferStartedWith) {
  platform.OptionCmos[0x4C] = 0x5A;
  fw.FailEveryCall(sim::kCpuIoReadService, EFI_DEVICE_ERROR);

  EXPECT_EQ(ReadOptionCmos(0x4C), 0);
  EXPECT_EQ(PortLog(), (std::vector<std::string>{"cpu-io out8 0x72 0x4c", "delay cpu-io"}));
}

// A pair hands the caller's interrupt flag back as it was, set or clear, also when the CPU I/O
// turned interrupts on inside it (after its access to the data port 0x73).
TEST_F(PortPrimitivesTest, APairLeavesTheCallersInterruptFlagAsItWas) {
  platform.CpuIoEnablesInterruptsAt = 0x73;
  for (bool enabled : {false, true}) {
    sim::SetInterruptsEnabled(enabled);
    ReadOptionCmos(0x49);
    WriteOptionCmos(0x48, 0x20);
    EcWrite(0x42FA, 0x01);
    EXPECT_EQ(sim::InterruptsEnabled(), enabled);
  }
}

// ---- Embedded controller ---------------------------------------------------------------------

class EcAccessTest : public PortPrimitivesTest, public ::testing::WithParamInterface<uint16_t> {
 protected:
  // The two address writes, low byte first, then Data, then the start of the wait.
  std::vector<std::string> Expected(const std::string& Data) const {
    char low[40], high[40];
    std::snprintf(low, sizeof low, "direct out8 0x381 0x%x", GetParam() & 0xFF);
    std::snprintf(high, sizeof high, "direct out8 0x382 0x%x", GetParam() >> 8);
    return {low, high, Data, "direct out32 0xcf8 0x8000f840"};
  }
};

TEST_P(EcAccessTest, ReadSendsLowThenHighAddressReadsDataThenWaitsThreeMicroseconds) {
  uint16_t address = GetParam();
  platform.EcRegisters[address] = 0xC7;
  platform.EcRegisters[uint16_t(address ^ 0x0101)] = 0x11;

  EXPECT_EQ(EcRead(address), 0xC7);

  EXPECT_EQ(Prefix(PortLog(), 4), Expected("direct in8 0x383 = 0xc7"));
  EXPECT_GE(double(TimerSpan()), 3 * 3.58);
  EXPECT_LE(double(TimerSpan()), 3 * 3.58 + 2);
}

TEST_P(EcAccessTest, WriteSendsLowThenHighAddressThenDataThenWaitsSixteenMicroseconds) {
  uint16_t address = GetParam();
  platform.EcRegisters[uint16_t(address ^ 0x0101)] = 0x11;

  EcWrite(address, 0xBF);

  EXPECT_EQ(platform.EcRegisters[address], 0xBF);
  EXPECT_EQ(platform.EcRegisters[uint16_t(address ^ 0x0101)], 0x11);
  EXPECT_EQ(Prefix(PortLog(), 4), Expected("direct out8 0x383 0xbf"));
  EXPECT_GE(double(TimerSpan()), 16 * 3.58);
  EXPECT_LE(double(TimerSpan()), 16 * 3.58 + 2);
}

INSTANTIATE_TEST_SUITE_P(Addresses, EcAccessTest, ::testing::Values(0x42FA, 0x0001, 0xFF00));

// ---- Configuration mechanism #1 ----------------------------------------------------------------

struct Cf8Case {
  uint32_t Address;
  sim::PciLocation Where;
  uint16_t DwordRegister;
  const char* DataRead;  // expected port access
  uint16_t Expected;
};

std::ostream& operator<<(std::ostream& Out, const Cf8Case& C) {
  return Out << std::hex << "0x" << C.Address;
}

class PciCf8Read16Test : public PortPrimitivesTest, public ::testing::WithParamInterface<Cf8Case> {};

TEST_P(PciCf8Read16Test, WritesTheEnabledAddressThenReadsTheWordAtItsByteLane) {
  const Cf8Case& c = GetParam();
  platform.Config().Set32(c.Where, c.DwordRegister, 0xCAFE0401);

  EXPECT_EQ(PciCf8Read16(c.Address), c.Expected);

  char cf8[48];
  std::snprintf(cf8, sizeof cf8, "direct out32 0xcf8 0x%x", c.Address | 0x80000000u);
  char data[48];
  std::snprintf(data, sizeof data, "%s = 0x%x", c.DataRead, c.Expected);
  EXPECT_EQ(PortLog(), (std::vector<std::string>{cf8, data}));
}

INSTANTIATE_TEST_SUITE_P(
    ByteLanes, PciCf8Read16Test,
    ::testing::Values(Cf8Case{0x0000F840, {0, 31, 0}, 0x40, "direct in16 0xcfc", 0x0401},
                      Cf8Case{0x0001E042, {1, 28, 0}, 0x40, "direct in16 0xcfe", 0xCAFE},
                      Cf8Case{0x00FF0701, {255, 0, 7}, 0x00, "direct in16 0xcfd", 0xFE04}));

// ---- PM timer wait ---------------------------------------------------------------------------

TEST_F(PortPrimitivesTest, ZeroMicrosecondsTouchesNoPort) {
  PmTimerStall(0);
  EXPECT_TRUE(PortLog().empty());
  EXPECT_EQ(platform.PmTimerReads, 0u);
}

TEST_F(PortPrimitivesTest, TimerPortComesFromTheLpcAcpiBaseWithBitZeroCleared) {
  platform.Config().Set16(sim::kLpcBridge, sim::kLpcAcpiBaseRegister, 0x1001);
  platform.PmTimerCount = 0x300;

  PmTimerStall(1);  // 3 ticks: the first reading and four more

  EXPECT_EQ(PortLog(), (std::vector<std::string>{
                           "direct out32 0xcf8 0x8000f840", "direct in16 0xcfc = 0x1001",
                           "direct in32 0x1008 = 0x300", "direct in32 0x1008 = 0x301",
                           "direct in32 0x1008 = 0x302", "direct in32 0x1008 = 0x303",
                           "direct in32 0x1008 = 0x304"}));
}

struct RunningTimerCase {
  const char* Name;
  uint32_t Start;
  uint32_t Step;
  uint32_t Microseconds;
  size_t Readings;  // counted by hand from the timer's values
  uint64_t Span;    // ticks from the first reading to the last
};

std::ostream& operator<<(std::ostream& Out, const RunningTimerCase& C) { return Out << C.Name; }

class RunningTimerTest : public PortPrimitivesTest,
                         public ::testing::WithParamInterface<RunningTimerCase> {};

TEST_P(RunningTimerTest, WaitsExactlyUntilTheTargetIsPassed) {
  const RunningTimerCase& c = GetParam();
  for (uint32_t high : {0u, 0xA5000000u}) {  // a 32-bit read may carry bits above the 24
    SCOPED_TRACE(high ? "upper byte set" : "upper byte clear");
    sim::GlobalTrace().Clear();
    platform.PmTimerCount = c.Start;
    platform.PmTimerStep = c.Step;
    platform.PmTimerHighBits = high;

    PmTimerStall(c.Microseconds);

    auto readings = TimerReadings();
    ASSERT_FALSE(readings.empty());
    EXPECT_EQ(readings.front(), c.Start);
    EXPECT_EQ(readings.size(), c.Readings);
    EXPECT_EQ(TimerSpan(), c.Span);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Waits, RunningTimerTest,
    ::testing::Values(
        // 10 us = 35 ticks; the wait ends on the 36th tick after the first reading.
        RunningTimerCase{"NoWrap", 0x100, 1, 10, 37, 36},
        // The end lies past one wrap: the wrap is counted, then the remainder waited for.
        RunningTimerCase{"OneWrap", 0xFFFFF0, 4, 10, 10, 36},
        // 10 s = 0x22243C0 ticks: two wraps, then 0x2A43C1 more.
        RunningTimerCase{"TwoWraps", 0x080000, 0x100000, 10000000, 36, 0x2300000},
        // 20 s: microseconds x 358 wraps at 2^32, so the wait is 0x1B52B57 ticks.
        RunningTimerCase{"ProductWraps", 0, 0x100000, 20000000, 29, 0x1C00000},
        // Target 0xFFFAC9 is never reached by a timer stepping 0x100000 from 0: the reading
        // that wraps past it ends the wait.
        RunningTimerCase{"WrapsPastTarget", 0, 0x100000, 4686000, 17, 0x1000000}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(PortPrimitivesTest, ASlowButRunningTimerIsWaitedForInFull) {
  // Thousands of readings one tick apart: none of them may be taken for a stopped timer.
  platform.PmTimerCount = 0x10;
  platform.PmTimerStep = 1;

  PmTimerStall(5000);  // 17900 ticks

  EXPECT_EQ(TimerSpan(), 17901u);
}

TEST_F(PortPrimitivesTest, AReadingEqualToThePreviousCountsAsAWrap) {
  // 10 us from 0xFFFFF0 ends past one wrap at 0x000014. The second reading repeats the first,
  // which counts as that wrap; 0xFFFFF0 then already lies beyond the remainder.
  platform.PmTimerScript = {0xFFFFF0, 0xFFFFF0, 0xFFFFF8, 0x000000, 0x000010};
  platform.PmTimerStep = 8;

  PmTimerStall(10);

  EXPECT_EQ(TimerReadings(), (std::vector<uint32_t>{0xFFFFF0, 0xFFFFF0}));
}

struct DeadTimerCase {
  const char* Name;
  std::vector<uint32_t> Script;  // readings before the timer stops on the last one
  uint32_t Microseconds;
  uint32_t Readings;  // the first, the wrap phase's, each move, then 4096 that do not move
};

std::ostream& operator<<(std::ostream& Out, const DeadTimerCase& C) { return Out << C.Name; }

class DeadTimerTest : public PortPrimitivesTest,
                      public ::testing::WithParamInterface<DeadTimerCase> {};

TEST_P(DeadTimerTest, AStoppedTimerEndsTheWaitInsteadOfHangingTheBoot) {
  const DeadTimerCase& c = GetParam();
  platform.PmTimerScript.assign(c.Script.begin(), c.Script.end());
  platform.PmTimerStuck = true;

  PmTimerStall(c.Microseconds);

  // The sim fails the test if the wait would not end; a stopped timer may cost a few
  // milliseconds of readings, not more.
  EXPECT_EQ(platform.PmTimerReads, c.Readings);
}

INSTANTIATE_TEST_SUITE_P(
    Timers, DeadTimerTest,
    ::testing::Values(DeadTimerCase{"NeverStarted", {0}, 1000, 1 + 4096},
                      DeadTimerCase{"StopsMidWait", {0x100, 0x140, 0x180}, 1000, 1 + 2 + 4096},
                      DeadTimerCase{"StoppedAcrossAWrap", {0xFFFF00}, 100, 1 + 1},
                      DeadTimerCase{"StoppedBeforeTwoWraps", {0x400000}, 10000000, 1 + 2 + 4096}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(PortPrimitivesTest, WithoutAnLpcBridgeOrItsBaseThereIsNoTimerToWaitOn) {
  // An absent bridge reads 0xFFFF, whose timer would wrap to port 6 of the DMA controller; an
  // unprogrammed one reads 0, whose timer would be port 8.
  for (bool Absent : {true, false}) {
    if (Absent)
      platform.Config().RemoveFunction(sim::kLpcBridge);
    else
      platform.Config().Set16(sim::kLpcBridge, sim::kLpcAcpiBaseRegister, 0x0001);
    sim::GlobalTrace().Clear();
    PmTimerStall(100);
    EXPECT_EQ(PortLog(), (std::vector<std::string>{"direct out32 0xcf8 0x8000f840",
                                                   Absent ? "direct in16 0xcfc = 0xffff"
                                                          : "direct in16 0xcfc = 0x1"}));
  }
}

// ---- Alert beep ------------------------------------------------------------------------------

class AlertBeepTest : public PortPrimitivesTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(AlertBeepTest, ProgramsChannelTwoSoundsFor62MsAndRestoresTheGate) {
  uint8_t gate = GetParam();
  platform.SpeakerGate = gate;
  char on[40], off[40], read[40];
  std::snprintf(read, sizeof read, "cpu-io in8 0x61 = 0x%x", gate);
  std::snprintf(on, sizeof on, "cpu-io out8 0x61 0x%x", gate | 0x03);
  std::snprintf(off, sizeof off, "cpu-io out8 0x61 0x%x", gate);

  SoundAlertBeep();

  EXPECT_EQ(PortLog(), (std::vector<std::string>{
                           read, "delay cpu-io",
                           on, "delay cpu-io",
                           "cpu-io out8 0x43 0xb6", "delay cpu-io",
                           "cpu-io out8 0x42 0x55", "delay cpu-io",
                           "cpu-io out8 0x42 0x5", "delay cpu-io", "delay cpu-io",
                           "cpu-io out8 0x43 0x80", "delay cpu-io",
                           "Stall 62000",
                           off, "delay cpu-io"}));
  EXPECT_EQ(platform.SpeakerGate, gate);
  EXPECT_EQ(platform.Pit2.Divisor, 0x0555);
  EXPECT_EQ(platform.Pit2.ControlWord, 0xB6);
  EXPECT_EQ(platform.Pit2.Latches, 1u);
}

INSTANTIATE_TEST_SUITE_P(GateValues, AlertBeepTest, ::testing::Values(0x20, 0x21, 0x0C, 0x3E));

TEST_F(PortPrimitivesTest, TheBeepsFirstDelayWriteIsZero) {
  SoundAlertBeep();
  auto writes = sim::GlobalTrace().Of(sim::TraceKind::PortWrite);
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes[0].Address, kDelayPort);
  EXPECT_EQ(writes[0].Value, 0u);
}

}  // namespace
