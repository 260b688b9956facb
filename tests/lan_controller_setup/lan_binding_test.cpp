// The LAN driver's binding against the simulated firmware: what the entry point publishes, which
// controllers the support test accepts, that nothing stays open behind it, and the claimed and
// unclaimed states as the firmware's controller connection sees them.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "lan_controller_setup/lan_binding.h"

#include <gtest/gtest.h>

#include "tests/lan_controller_setup/lan_fixture.h"
#include "tests/sim/controller_connection.h"
#include "tests/sim/device_path.h"

namespace {

using lan_test::Id;
using lan_test::LanTest;

size_t ServiceCalls(const char* Name) {
  size_t count = 0;
  for (const auto& entry : sim::GlobalTrace().Of(sim::TraceKind::Service))
    if (entry.Name == Name) ++count;
  return count;
}

TEST(LanEntryTest, PublishesOneBindingOnTheImageHandle) {
  sim::Firmware fw;
  ASSERT_EQ(LanControllerSetupEntry(fw.ImageHandle(), fw.SystemTable()), EFI_SUCCESS);
  auto handles = fw.HandlesWith(sim::kDriverBindingGuid);
  ASSERT_EQ(handles, std::vector<EFI_HANDLE>{fw.ImageHandle()});
  auto* binding = static_cast<EFI_DRIVER_BINDING_PROTOCOL*>(
      fw.Protocol(fw.ImageHandle(), sim::kDriverBindingGuid));
  EXPECT_EQ(binding->Version, 0x10u);
  EXPECT_EQ(binding->ImageHandle, fw.ImageHandle());
  EXPECT_EQ(binding->DriverBindingHandle, fw.ImageHandle());
  EXPECT_EQ(binding->Supported, &LanSupported);
  EXPECT_EQ(binding->Start, &LanStart);
  EXPECT_EQ(binding->Stop, &LanStop);
  // Nothing else is installed and no hardware is touched at load time.
  EXPECT_EQ(ServiceCalls("InstallProtocolInterface"), 1u);
  EXPECT_TRUE(sim::GlobalTrace().Of(sim::TraceKind::ConfigRead).empty());
  EXPECT_EQ(fw.StdErrText(),
            "lan_controller_setup: entry: driver binding version 10 installed (status 0)\r\n");
}

TEST(LanEntryTest, ReturnsTheInstallFailureUnchanged) {
  sim::Firmware fw;
  fw.FailEveryCall("InstallProtocolInterface", EFI_OUT_OF_RESOURCES);
  fw.InstallStatusCode();
  EXPECT_EQ(LanControllerSetupEntry(fw.ImageHandle(), fw.SystemTable()), EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE(fw.HandlesWith(sim::kDriverBindingGuid).empty());
  // The entry line, through the status-code router only, from this module.
  EXPECT_EQ(fw.StdErrText(), "");
  ASSERT_EQ(fw.StatusCodes().size(), 1u);
  EXPECT_EQ(fw.StatusCodes()[0].CallerId, u"6BB22B2F-271D-4EF3-B1F3-5DE96DE97418");
  EXPECT_EQ(fw.StatusCodes()[0].Text, "lan_controller_setup: entry: driver binding version 10 not "
                                      "installed (status 8000000000000009)\n");
}

// ---- The support test ----

struct SupportCase {
  const char* Name;
  uint16_t Vendor, Device;
  uint8_t Revision;
  EFI_STATUS Expected;
};
void PrintTo(const SupportCase& Case, std::ostream* Out) { *Out << Case.Name; }

class LanSupportedTableTest : public LanTest, public ::testing::WithParamInterface<SupportCase> {};

TEST_P(LanSupportedTableTest, DecidesFromTheHeaderAndLeavesNothingOpen) {
  const SupportCase& c = GetParam();
  SetIdentity(Id(c.Vendor, c.Device), c.Revision);
  std::vector<uint8_t> path = sim::DevicePath().Acpi().Pci(0, 0).End();
  for (EFI_DEVICE_PATH* remaining :
       {static_cast<EFI_DEVICE_PATH*>(nullptr), reinterpret_cast<EFI_DEVICE_PATH*>(path.data())}) {
    EXPECT_EQ(LanSupported(&LanDriverBinding, controller.Handle(), remaining), c.Expected);
    EXPECT_EQ(PciIoOpens(), 0u);
  }
  // The test only reads the configuration header.
  EXPECT_TRUE(Accesses(sim::TraceKind::ConfigWrite, sim::kPciIoTraceName).empty());
  EXPECT_TRUE(sim::GlobalTrace().Of(sim::TraceKind::IoRead).empty());
  EXPECT_TRUE(sim::GlobalTrace().Of(sim::TraceKind::IoWrite).empty());
  EXPECT_EQ(controller.Attributes(), 0u);
  const std::string line =
      sim::Printf("lan_controller_setup: Supported %04X:%04X revision %02X: %s\r\n", c.Vendor,
                  c.Device, c.Revision, c.Expected == EFI_SUCCESS ? "supported" : "unsupported");
  EXPECT_EQ(DecisionLines(), line + line);
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, LanSupportedTableTest,
    ::testing::Values(SupportCase{"GigabitRevision0", 0x10EC, 0x8168, 0x00, EFI_SUCCESS},
                      SupportCase{"GigabitRevisionFF", 0x10EC, 0x8168, 0xFF, EFI_SUCCESS},
                      SupportCase{"FastEthernetRevision0", 0x10EC, 0x8136, 0x00, EFI_UNSUPPORTED},
                      SupportCase{"FastEthernetRevision1", 0x10EC, 0x8136, 0x01, EFI_UNSUPPORTED},
                      SupportCase{"FastEthernetRevision2", 0x10EC, 0x8136, 0x02, EFI_SUCCESS},
                      SupportCase{"FastEthernetRevisionFF", 0x10EC, 0x8136, 0xFF, EFI_SUCCESS},
                      SupportCase{"Realtek8139", 0x10EC, 0x8139, 0x20, EFI_UNSUPPORTED},
                      SupportCase{"Realtek8129", 0x10EC, 0x8129, 0x02, EFI_UNSUPPORTED},
                      SupportCase{"Realtek8169", 0x10EC, 0x8169, 0x02, EFI_UNSUPPORTED},
                      SupportCase{"OtherVendorGigabitId", 0x8086, 0x8168, 0x02, EFI_UNSUPPORTED},
                      SupportCase{"LowerVendorGigabitId", 0x1022, 0x8168, 0x02, EFI_UNSUPPORTED},
                      SupportCase{"OtherVendorFastEthernetId", 0x1186, 0x8136, 0x02,
                                  EFI_UNSUPPORTED},
                      SupportCase{"SwappedIds", 0x8168, 0x10EC, 0x02, EFI_UNSUPPORTED},
                      SupportCase{"NoDeviceAnswers", 0xFFFF, 0xFFFF, 0xFF, EFI_UNSUPPORTED}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(LanTest, SupportedReadsVendorDeviceAndRevisionInOrderWithTheirWidths) {
  SetIdentity(Id(0x10EC, 0x8136), 0x02);
  ASSERT_EQ(LanSupported(&LanDriverBinding, controller.Handle(), nullptr), EFI_SUCCESS);
  auto reads = Accesses(sim::TraceKind::ConfigRead, sim::kPciIoTraceName);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0].Address & 0xFF, 0x00u);
  EXPECT_EQ(reads[0].Width, 2u);
  EXPECT_EQ(reads[1].Address & 0xFF, 0x02u);
  EXPECT_EQ(reads[1].Width, 2u);
  EXPECT_EQ(reads[2].Address & 0xFF, 0x08u);
  EXPECT_EQ(reads[2].Width, 1u);
}

class LanSupportedReadFailureTest : public LanTest, public ::testing::WithParamInterface<int> {};

TEST_P(LanSupportedReadFailureTest, ReturnsTheReadStatusAfterClosing) {
  const int failing = GetParam();
  fw.FailNthCall("PciIo.Pci.Read", failing, EFI_DEVICE_ERROR);
  EXPECT_EQ(LanSupported(&LanDriverBinding, controller.Handle(), nullptr), EFI_DEVICE_ERROR);
  // The reads after the failing one are skipped.
  EXPECT_EQ(Accesses(sim::TraceKind::ConfigRead, sim::kPciIoTraceName).size(), size_t(failing));
  EXPECT_EQ(ServiceCalls("CloseProtocol"), 1u);
  EXPECT_EQ(PciIoOpens(), 0u);
  EXPECT_EQ(DecisionLines(), sim::Printf("lan_controller_setup: Supported: configuration not read "
                                         "(status %llX), unsupported\r\n",
                                         (unsigned long long)EFI_DEVICE_ERROR));
}

INSTANTIATE_TEST_SUITE_P(EachRead, LanSupportedReadFailureTest, ::testing::Values(1, 2, 3));

TEST_F(LanTest, SupportedOnAHandleWithoutPciIoReturnsTheOpenStatusAndClosesNothing) {
  EFI_HANDLE other = fw.InstallProtocol(nullptr, sim::kDevicePathGuid, &station.Interface);
  EXPECT_EQ(LanSupported(&LanDriverBinding, other, nullptr), EFI_UNSUPPORTED);
  EXPECT_EQ(ServiceCalls("CloseProtocol"), 0u);
  EXPECT_TRUE(sim::GlobalTrace().Of(sim::TraceKind::ConfigRead).empty());
}

TEST_F(LanTest, SupportedReturnsAFailingOpenUnchanged) {
  fw.FailNthCall("OpenProtocol", 1, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(LanSupported(&LanDriverBinding, controller.Handle(), nullptr), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(ServiceCalls("CloseProtocol"), 0u);
  EXPECT_EQ(ControllerAccesses(), 0u);
}

TEST_F(LanTest, SupportedIgnoresWhatTheCloseReports) {
  SetIdentity(Id(0x10EC, 0x8139), 0x10);
  fw.FailNthCall("CloseProtocol", 1, EFI_DEVICE_ERROR);
  EXPECT_EQ(LanSupported(&LanDriverBinding, controller.Handle(), nullptr), EFI_UNSUPPORTED);
  // The failed close left the open behind; Stop's close takes it away.
  LanStop(&LanDriverBinding, controller.Handle(), 0, nullptr);
  ASSERT_EQ(PciIoOpens(), 0u);

  SetIdentity(Id(0x10EC, 0x8168), 0x06);
  fw.FailNthCall("CloseProtocol", 1, EFI_DEVICE_ERROR);
  EXPECT_EQ(LanSupported(&LanDriverBinding, controller.Handle(), nullptr), EFI_SUCCESS);
}

// The IDs start as all ones: a vendor or device read that answers a warning without writing
// leaves all ones, which no controller matches.
TEST_F(LanTest, SupportedReadsThatWarnWithoutWritingCannotMakeAClaim) {
  for (uint64_t read : {1, 2}) {
    fw.ClearFailures();
    fw.FailNthCall("PciIo.Pci.Read", read, EFI_WARN_UNKNOWN_GLYPH);
    EXPECT_EQ(LanSupported(&LanDriverBinding, controller.Handle(), nullptr), EFI_UNSUPPORTED)
        << "read " << read;
    EXPECT_EQ(PciIoOpens(), 0u);
  }
}

// An open that succeeds without handing back an interface is closed again: the support test
// then refuses the controller, the start fails with EFI_DEVICE_ERROR, and neither touches it.
TEST_F(LanTest, AnOpenThatHandsBackNoInterfaceIsClosedAndRefused) {
  fw.FailNthCall("OpenProtocol", 1, EFI_SUCCESS);
  EXPECT_EQ(LanSupported(&LanDriverBinding, controller.Handle(), nullptr), EFI_UNSUPPORTED);
  EXPECT_EQ(ServiceCalls("CloseProtocol"), 1u);

  fw.FailNthCall("OpenProtocol", 1, EFI_SUCCESS);
  EXPECT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), EFI_DEVICE_ERROR);
  EXPECT_EQ(ServiceCalls("CloseProtocol"), 2u);
  EXPECT_EQ(ControllerAccesses(), 0u);
  EXPECT_FALSE(Claimed());
  EXPECT_EQ(PciIoOpens(), 0u);
}

// ---- Claimed and unclaimed, through the firmware's controller connection ----

TEST_F(LanTest, ConnectingEveryControllerClaimsOnlyTheSupportedOne) {
  sim::PciIoDevice other(fw, {5, 0, 0});
  fw.Config().Set32({5, 0, 0}, 0x00, Id(0x10EC, 0x8139));
  sim::CoreConnectAllControllers(fw);
  EXPECT_TRUE(Claimed());
  EXPECT_EQ(fw.OpenCount(other.Handle(), sim::kPciIoGuid), 0u);
  EXPECT_EQ(other.Attributes(), 0u);
  EXPECT_EQ(ServiceCalls("DriverBinding.Start"), 1u);
  EXPECT_EQ(controller.Attributes(),
            uint64_t(EFI_PCI_IO_ATTRIBUTE_IO | EFI_PCI_IO_ATTRIBUTE_MEMORY |
                     EFI_PCI_IO_ATTRIBUTE_BUS_MASTER));
}

TEST_F(LanTest, AClaimedControllerFailsTheSupportTestAtTheOpen) {
  ASSERT_EQ(sim::CoreConnectController(fw, controller.Handle()), EFI_SUCCESS);
  ASSERT_TRUE(Claimed());
  sim::GlobalTrace().Clear();

  EXPECT_EQ(LanSupported(&LanDriverBinding, controller.Handle(), nullptr), EFI_ALREADY_STARTED);
  EXPECT_EQ(ControllerAccesses(), 0u);
  EXPECT_EQ(ServiceCalls("CloseProtocol"), 0u);
  EXPECT_TRUE(Claimed());

  // Connecting again starts nothing; another driver is refused the controller.
  sim::CoreConnectController(fw, controller.Handle());
  EXPECT_EQ(ServiceCalls("DriverBinding.Start"), 0u);
  VOID* interface = nullptr;
  EFI_HANDLE other_driver = fw.NewHandle();
  EXPECT_EQ(fw.BootServices()->OpenProtocol(
                controller.Handle(), const_cast<EFI_GUID*>(&sim::kPciIoGuid), &interface,
                other_driver, controller.Handle(), EFI_OPEN_PROTOCOL_BY_DRIVER),
            EFI_ACCESS_DENIED);
}

TEST_F(LanTest, DisconnectingReleasesTheControllerAndLeavesItsProgramming) {
  ASSERT_EQ(sim::CoreConnectController(fw, controller.Handle()), EFI_SUCCESS);
  const uint32_t id_low = controller.Register32(0x00);
  const std::vector<uint8_t> record = setup.Record;
  sim::GlobalTrace().Clear();

  EXPECT_EQ(sim::CoreDisconnectController(fw, controller.Handle()), EFI_SUCCESS);
  EXPECT_EQ(ServiceCalls("DriverBinding.Stop"), 1u);
  EXPECT_EQ(PciIoOpens(), 0u);
  EXPECT_TRUE(sim::ManagingDrivers(fw, controller.Handle()).empty());
  // Stop touches neither the controller nor the record.
  EXPECT_EQ(ControllerAccesses(), 0u);
  EXPECT_EQ(controller.Register32(0x00), id_low);
  EXPECT_NE(controller.Attributes(), 0u);
  EXPECT_EQ(setup.Record, record);

  // Unclaimed again: the next connection starts it afresh.
  EXPECT_EQ(sim::CoreConnectController(fw, controller.Handle()), EFI_SUCCESS);
  EXPECT_TRUE(Claimed());
}

TEST_F(LanTest, StopSucceedsWhateverTheCloseReports) {
  ASSERT_EQ(LanStart(&LanDriverBinding, controller.Handle(), nullptr), EFI_SUCCESS);
  fw.FailEveryCall("CloseProtocol", EFI_DEVICE_ERROR);
  EXPECT_EQ(LanStop(&LanDriverBinding, controller.Handle(), 0, nullptr), EFI_SUCCESS);
  fw.ClearFailures();
  EXPECT_EQ(LanStop(&LanDriverBinding, controller.Handle(), 0, nullptr), EFI_SUCCESS);
  EXPECT_EQ(PciIoOpens(), 0u);
  // A controller that was never started: the close finds nothing, Stop still succeeds.
  EXPECT_EQ(LanStop(&LanDriverBinding, controller.Handle(), 0, nullptr), EFI_SUCCESS);
  EXPECT_EQ(sim::GlobalTrace().Entries().back().Status, EFI_NOT_FOUND);
}

}  // namespace
