// The saved firmware pointers, the ready-to-boot event and the pool routines against the
// simulated firmware.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "support/driver_context.h"

#include <gtest/gtest.h>

#include "tests/sim/firmware.h"
#include "tests/support/driver_state.h"

namespace {

class DriverContextTest : public ::testing::Test {
 protected:
  void SetUp() override { InitDriverContext(fw.ImageHandle(), fw.SystemTable()); }
  sim::Firmware fw;
};

int gNotifyRuns;
void* gNotifyContext;
VOID EFIAPI CountingNotify(EFI_EVENT, VOID* Context) {
  ++gNotifyRuns;
  gNotifyContext = Context;
}

TEST_F(DriverContextTest, SavesTheThreeTablePointers) {
  EXPECT_EQ(gDriverContext.SystemTable, fw.SystemTable());
  EXPECT_EQ(gDriverContext.BootServices, fw.SystemTable()->BootServices);
  EXPECT_EQ(gDriverContext.RuntimeServices, fw.SystemTable()->RuntimeServices);
}

TEST_F(DriverContextTest, ReadyToBootEventIsASignalEventInTheGroupWithTheCallersContext) {
  int context = 0;
  EFI_EVENT event = nullptr;
  gNotifyRuns = 0;
  ASSERT_EQ(CreateReadyToBootEvent(TPL_CALLBACK, CountingNotify, &context, &event), EFI_SUCCESS);
  ASSERT_NE(event, nullptr);
  auto events = fw.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Type, uint32_t(EVT_NOTIFY_SIGNAL));
  EXPECT_EQ(events[0].Tpl, EFI_TPL(TPL_CALLBACK));
  EXPECT_TRUE(events[0].InGroup);
  EXPECT_TRUE(sim::SameGuid(events[0].Group, sim::kReadyToBootGroupGuid));
  EXPECT_EQ(fw.SignalGroup(sim::kReadyToBootGroupGuid), 1u);
  EXPECT_EQ(gNotifyRuns, 1);
  EXPECT_EQ(gNotifyContext, &context);
}

TEST_F(DriverContextTest, NullNotifyStillCreatesAnEventThatCanBeSignalled) {
  EFI_EVENT event = nullptr;
  ASSERT_EQ(CreateReadyToBootEvent(TPL_CALLBACK, nullptr, nullptr, &event), EFI_SUCCESS);
  auto events = fw.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].Notify, nullptr);
  EXPECT_EQ(fw.SignalGroup(sim::kReadyToBootGroupGuid), 1u);
}

TEST_F(DriverContextTest, EventCreationStatusIsPassedBack) {
  fw.FailNthCall("CreateEventEx", 1, EFI_OUT_OF_RESOURCES);
  EFI_EVENT event = nullptr;
  EXPECT_EQ(CreateReadyToBootEvent(TPL_CALLBACK, CountingNotify, nullptr, &event),
            EFI_OUT_OF_RESOURCES);
}

TEST_F(DriverContextTest, ZeroPoolIsClearedAndComesFromBootServicesData) {
  auto* bytes = static_cast<uint8_t*>(AllocateZeroBootPool(40));
  ASSERT_NE(bytes, nullptr);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(bytes[i], 0) << i;
  auto blocks = fw.LiveBlocks();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].Type, EfiBootServicesData);
  EXPECT_EQ(blocks[0].Size, 40u);
  fw.BootServices()->FreePool(bytes);
  EXPECT_EQ(fw.LiveAllocations(), 0u);
}

TEST_F(DriverContextTest, ALocateThatWritesNothingLeavesTheInterfaceNull) {
  EFI_GUID guid = sim::kRootBridgeIoGuid;
  VOID* interface = &fw;  // whatever the caller's variable held; the locate answers success
  fw.FailNthCall("LocateProtocol", 1, EFI_SUCCESS);
  EXPECT_EQ(LocateRequiredInterface(&guid, &interface), EFI_NOT_FOUND);
  EXPECT_EQ(interface, nullptr);
}

TEST_F(DriverContextTest, FailedAllocationsGiveNullAndTouchNoMemory) {
  fw.FailEveryCall("AllocatePool", EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(AllocateBootPool(16), nullptr);
  EXPECT_EQ(AllocateZeroBootPool(16), nullptr);
  EXPECT_EQ(fw.CallCount("SetMem"), 0u);
  EXPECT_EQ(fw.LiveAllocations(), 0u);
}

}  // namespace
