// The wireless-WAN port guard against the simulated firmware: entry, the port check's
// decisions and failure paths, and the halt.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "wwan_port_guard/wwan_guard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/sim/firmware.h"
#include "tests/support/driver_state.h"

namespace {

using sim::DevicePath;

constexpr uint8_t kUsbDevice = 0x1A;
constexpr uint16_t kListedVendor = 0x7E2D, kListedProduct = 0x0C72;
constexpr uint16_t kOtherVendor = 0x1234, kOtherProduct = 0x5678;
constexpr uint32_t kEhciClass = 0x0C032000;  // class dword: USB host controller, EHCI

std::vector<uint8_t> PathTo(uint8_t Function, uint8_t Device, uint8_t Port) {
  return DevicePath().Acpi().Pci(Function, Device).Usb(Port).End();
}
std::vector<uint8_t> PairAfter(int Count) {  // the port's pair after Count nodes; 512 are walked
  DevicePath path;
  while (Count-- > 0) path.Node(1, 4);
  return path.Pci(0, kUsbDevice).Usb(1).End();
}

class WwanGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(WwanPortGuardEntry(fw.ImageHandle(), fw.SystemTable()), EFI_SUCCESS);
    EntryLine = fw.StdErrText();
    SetControllerVendor(kUsbDevice, 0x8086);
    fw.Config().Set32({0, kUsbDevice, 0}, 0x08, kEhciClass);
  }
  // What StdErr received after the entry's own line.
  std::string DecisionLines() const { return fw.StdErrText().substr(EntryLine.size()); }
  void SetControllerVendor(uint8_t Device, uint16_t Vendor) {
    fw.Config().Set16({0, Device, 0}, 0x00, Vendor);
  }
  // Runs the check and requires that it left no pool behind (the handle buffer included).
  bool Check(const WwanPortFilter& Filter = gWwanPortFilter) {
    size_t before = fw.LiveAllocations();
    bool allowed = CheckWwanPort(&Filter);
    EXPECT_EQ(fw.LiveAllocations(), before) << fw.DescribeLiveBlocks();
    return allowed;
  }
  sim::Firmware fw;
  std::string EntryLine;
};

TEST_F(WwanGuardTest, EntryHooksReadyToBootAtCallbackWithTheFilterAsContext) {
  auto events = fw.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Type, uint32_t(EVT_NOTIFY_SIGNAL));
  EXPECT_EQ(events[0].Tpl, EFI_TPL(TPL_CALLBACK));
  EXPECT_TRUE(sim::SameGuid(events[0].Group, sim::kReadyToBootGroupGuid));
  EXPECT_EQ(events[0].Notify, &OnReadyToBootWwan);
  EXPECT_EQ(events[0].Context, &gWwanPortFilter);
  EXPECT_EQ(fw.HiiPackages().size(), 1u);
  EXPECT_EQ(EntryLine, "wwan_port_guard: entry: string packs registered (status 0), ready-to-boot "
                       "event created (status 0)\r\n");
}

TEST(WwanGuardEntryTest, SucceedsWhateverRegistrationAndEventCreationSay) {
  sim::Firmware fw(sim::FirmwareOptions{.InstallHii = false});
  fw.FailEveryCall("CreateEventEx", EFI_OUT_OF_RESOURCES);
  fw.InstallStatusCode();
  EXPECT_EQ(WwanPortGuardEntry(fw.ImageHandle(), fw.SystemTable()), EFI_SUCCESS);
  EXPECT_EQ(fw.LiveAllocations(), 0u);
  // The entry line says both failures, through the status-code router only, from this module.
  EXPECT_EQ(fw.StdErrText(), "");
  ASSERT_EQ(fw.StatusCodes().size(), 1u);
  EXPECT_EQ(fw.StatusCodes()[0].CallerId, u"18126C98-8F69-462E-997B-D1DAF8E06192");
  EXPECT_EQ(fw.StatusCodes()[0].Text,
            "wwan_port_guard: entry: string packs not registered (status 800000000000000E), "
            "ready-to-boot event not created (status 8000000000000009)\n");
}

// HII installed after the entry, or never, or a NewPack that failed at the entry: the ready-to-
// boot runs (three here) hand the packs over until they are registered, twice in all at most,
// and an unlisted module stops the boot each time, with both lines or without any.
TEST(WwanGuardEntryTest, PacksRegisteredAtReadyToBootWhenTheEntryCouldNot) {
  struct { const char* Name; bool HiiAtEntry, HiiLater; int FailNewPack; uint64_t NewPacks; bool Text; } cases[] = {
      {"HII later", false, true, 0, 1, true},
      {"HII never", false, false, 0, 0, false},
      {"NewPack failed at entry", true, false, 1, 2, true},
      {"NewPack always fails", true, false, 3, 2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    sim::Firmware fw(sim::FirmwareOptions{.InstallHii = c.HiiAtEntry});
    if (c.FailNewPack == 1) fw.FailNthCall("NewPack", 1, EFI_OUT_OF_RESOURCES);
    if (c.FailNewPack == 3) fw.FailEveryCall("NewPack", EFI_OUT_OF_RESOURCES);
    ASSERT_EQ(WwanPortGuardEntry(fw.ImageHandle(), fw.SystemTable()), EFI_SUCCESS);
    if (c.HiiLater) fw.InstallHii();
    fw.Config().Set16({0, kUsbDevice, 0}, 0x00, 0x8086);
    fw.AddUsbDevice(PathTo(0, kUsbDevice, 1), kOtherVendor, kOtherProduct);
    for (int run = 0; run < 3; ++run) EXPECT_THROW(fw.SignalGroup(sim::kReadyToBootGroupGuid), sim::HaltReached);
    EXPECT_EQ(fw.CallCount("NewPack"), c.NewPacks);
    EXPECT_EQ(fw.ConsoleText().find(u"105-Unsupported") != std::u16string::npos, c.Text);
  }
}

// One USB handle, judged by the filter of the wireless-WAN port.
struct PortCase {
  const char* Name;
  uint16_t ControllerVendor;
  std::vector<uint8_t> Path;
  uint16_t Vendor, Product;
  bool Allowed;
};

class WwanPortDecisionTest : public WwanGuardTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(WwanPortDecisionTest, Decides) {
  SetControllerVendor(kUsbDevice, GetParam().ControllerVendor);
  fw.AddUsbDevice(GetParam().Path, GetParam().Vendor, GetParam().Product);
  EXPECT_EQ(Check(), GetParam().Allowed);
  // The decision line: a stopping verdict names the IDs read; an allowing one either judged the
  // module or found none on the port.
  const std::string log = DecisionLines();
  if (!GetParam().Allowed)
    EXPECT_TRUE(log.ends_with(", unlisted, boot stops\r\n")) << log;
  else
    EXPECT_TRUE(log.ends_with(", allowed\r\n") || log == "wwan_port_guard: no module on the port\r\n")
        << log;
}

INSTANTIATE_TEST_SUITE_P(
    Ports, WwanPortDecisionTest,
    ::testing::Values(
        PortCase{"ListedModuleOnThePort", 0x8086, PathTo(0, kUsbDevice, 1), kListedVendor, kListedProduct, true},
        PortCase{"EveryListedProduct", 0x8086, PathTo(0, kUsbDevice, 1), kListedVendor, 0x0C74, true},
        PortCase{"UnlistedModuleOnThePort", 0x8086, PathTo(0, kUsbDevice, 1), kOtherVendor, kOtherProduct, false},
        PortCase{"ListedVendorOtherProduct", 0x8086, PathTo(0, kUsbDevice, 1), kListedVendor, 0x0C75, false},
        PortCase{"IntelEhciFunctionSamePort", 0x8086, PathTo(7, kUsbDevice, 1), kOtherVendor, kOtherProduct, false},
        PortCase{"IntelEhciFunctionOtherPort", 0x8086, PathTo(7, kUsbDevice, 2), kOtherVendor, kOtherProduct, true},
        PortCase{"IntelEhciFunctionPortZero", 0x8086, PathTo(7, kUsbDevice, 0), kOtherVendor, kOtherProduct, true},
        PortCase{"OtherPortSameController", 0x8086, PathTo(0, kUsbDevice, 0), kOtherVendor, kOtherProduct, true},
        PortCase{"OtherController", 0x8086, PathTo(0, 0x1D, 1), kOtherVendor, kOtherProduct, true},
        PortCase{"OtherFunction", 0x8086, PathTo(1, kUsbDevice, 1), kOtherVendor, kOtherProduct, true},
        PortCase{"IdsReadAllOnes", 0x8086, PathTo(0, kUsbDevice, 1), 0xFFFF, 0xFFFF, true},
        PortCase{"OnlyVendorAllOnes", 0x8086, PathTo(0, kUsbDevice, 1), 0xFFFF, kOtherProduct, false},
        PortCase{"DeviceBehindAHubOnThePort", 0x8086,
                 DevicePath().Acpi().Pci(0, kUsbDevice).Usb(1).Usb(3).End(), kOtherVendor, kOtherProduct, false},
        PortCase{"PciNodeNotFollowedByUsb", 0x8086,
                 DevicePath().Acpi().Pci(0, kUsbDevice).Node(1, 4, {0, 0}).Usb(1).End(), kOtherVendor, kOtherProduct, true},
        PortCase{"PciNodeFollowedByOtherMessagingNode", 0x8086,
                 DevicePath().Acpi().Pci(0, kUsbDevice).Node(3, 0x12, {1, 0}).Usb(1).End(), kOtherVendor, kOtherProduct, true},
        PortCase{"PciNodeFollowedByScsiNode", 0x8086,
                 DevicePath().Acpi().Pci(0, kUsbDevice).Node(3, 0x02, {1, 0}).End(), kOtherVendor, kOtherProduct, true},
        PortCase{"PairAtTheLastNodeWalked", 0x8086, PairAfter(511), kOtherVendor, kOtherProduct, false},
        PortCase{"PairPastTheLastNodeWalked", 0x8086, PairAfter(512), kOtherVendor, kOtherProduct, true},
        PortCase{"NodeTypeHighBitIgnored", 0x8086,
                 DevicePath().Acpi().RawNode(0x81, 1, 6, {0, kUsbDevice}).RawNode(0x83, 5, 6, {1, 0}).End(),
                 kOtherVendor, kOtherProduct, false},
        PortCase{"NonIntelCompanionFunctionPortZero", 0x1106, PathTo(2, kUsbDevice, 0), kOtherVendor, kOtherProduct, false},
        PortCase{"NonIntelCompanionFunctionPortOne", 0x1106, PathTo(2, kUsbDevice, 1), kOtherVendor, kOtherProduct, true},
        PortCase{"NonIntelEhciFunction", 0x1106, PathTo(7, kUsbDevice, 1), kOtherVendor, kOtherProduct, true},
        PortCase{"ZeroLengthNodeSkipsTheHandle", 0x8086,
                 DevicePath().Acpi().RawNode(1, 1, 0, {0, kUsbDevice}).Usb(1).End(), kOtherVendor, kOtherProduct, true},
        PortCase{"ShortNodeSkipsTheHandle", 0x8086,
                 DevicePath().RawNode(2, 1, 2).Raw({0, 0}).Pci(0, kUsbDevice).Usb(1).End(), kOtherVendor, kOtherProduct, true},
        PortCase{"HeaderOnlyNodeBeforeThePair", 0x8086,
                 DevicePath().Node(1, 4).Pci(0, kUsbDevice).Usb(1).End(), kOtherVendor, kOtherProduct, false},
        PortCase{"EndOfInstanceNodeIsWalkedOver", 0x8086,
                 DevicePath().Acpi().Node(0x7F, 0x01).Pci(0, kUsbDevice).Usb(1).End(), kOtherVendor, kOtherProduct, false},
        PortCase{"EndNodeBeforeThePair", 0x8086,
                 DevicePath().Acpi().End().Pci(0, kUsbDevice).Usb(1).End(), kOtherVendor, kOtherProduct, true}),
    [](const auto& info) { return std::string(info.param.Name); });

// The filter as a platform build patches it into the image: the count bounds the search, a count
// above the 16 entries the image reserves is taken as 16, and the port comes from the image. A
// port no controller has gives the shipped one (00:1A.0 port 1), an entry with vendor 0 matches
// nothing, and a value GenFds writes past the list's 64 bytes (a DSC naming a larger size) gives
// the shipped list and port. A controller that is no USB host controller (by its class dword,
// read at the check; a failed read counts as all ones) gives the shipped port too; the module
// always sits on 00:1A.0 port ModulePort.
struct PatchedFilterCase {
  const char* Name;
  uint8_t Count, Port;
  uint8_t IdCount;  // in force
  bool Allowed;     // the module, whose IDs entry 5 holds, on ModulePort
  uint16_t Device = kUsbDevice, Function = 0;
  uint8_t ModulePort = 1;
  uint8_t Written = 0;  // dwords written from the list's start, each the module's IDs (0: entry 5 only)
  uint16_t Vendor = kOtherVendor, Product = kOtherProduct;
  const char* Said = "";  // in the decision lines
  uint32_t Class = 0;     // the named controller's class dword, when not 00:1A.0's EHCI
  bool FailClassRead = false;
};

class PatchedFilterTest : public WwanGuardTest, public ::testing::WithParamInterface<PatchedFilterCase> {
 protected:
  static volatile uint8_t* Image() { return reinterpret_cast<volatile uint8_t*>(&_gPcd_BinaryPatch_PcdWwanAllowList); }
  void SetUp() override {
    WwanGuardTest::SetUp();
    for (size_t i = 0; i < sizeof(Saved); ++i) Saved[i] = Image()[i];
  }
  void TearDown() override {
    for (size_t i = 0; i < sizeof(Saved); ++i) Image()[i] = Saved[i];
    _gPcd_BinaryPatch_PcdWwanAllowListCount = 4;
    _gPcd_BinaryPatch_PcdWwanPort = 1;
    _gPcd_BinaryPatch_PcdWwanControllerDevice = kUsbDevice;
    _gPcd_BinaryPatch_PcdWwanControllerFunction = 0;
    LoadWwanPortFilter();
  }
  uint8_t Saved[sizeof(_gPcd_BinaryPatch_PcdWwanAllowList)];
};

TEST_P(PatchedFilterTest, IsReadFromTheImageAndNeverPastItsStorage) {
  const PatchedFilterCase& c = GetParam();
  const uint32_t module = uint32_t(c.Product) << 16 | c.Vendor;
  _gPcd_BinaryPatch_PcdWwanAllowListCount = c.Count;
  _gPcd_BinaryPatch_PcdWwanPort = c.Port;
  _gPcd_BinaryPatch_PcdWwanControllerDevice = c.Device;
  _gPcd_BinaryPatch_PcdWwanControllerFunction = c.Function;
  volatile uint32_t* dwords = reinterpret_cast<volatile uint32_t*>(Image());
  dwords[4] = module;
  for (int i = 0; i < c.Written; ++i) dwords[i] = module;
  const WwanPortFilter* filter = LoadWwanPortFilter();
  EXPECT_EQ(filter->IdCount, c.IdCount);
  fw.AddUsbDevice(PathTo(0, kUsbDevice, c.ModulePort), c.Vendor, c.Product);
  if (c.Class != 0) fw.Config().Set32({0, uint8_t(c.Device), uint8_t(c.Function)}, 0x08, c.Class);
  if (c.FailClassRead) fw.FailNthCall("Pci.Read", 1, EFI_DEVICE_ERROR);
  EXPECT_EQ(Check(*filter), c.Allowed);
  EXPECT_THAT(DecisionLines(), ::testing::HasSubstr(c.Said));
}

INSTANTIATE_TEST_SUITE_P(
    Image, PatchedFilterTest,
    ::testing::Values(PatchedFilterCase{"CountOfTheDefaults", 4, 1, 4, false},
                      PatchedFilterCase{"OneMore", 5, 1, 5, true},
                      PatchedFilterCase{"OtherPort", 4, 3, 4, false, kUsbDevice, 0, 3},
                      PatchedFilterCase{"FullStorage", 16, 1, 16, true},
                      PatchedFilterCase{"CountPastTheStorageIsClamped", 17, 1, 16, true},
                      PatchedFilterCase{"LargestCountIsClamped", 255, 1, 16, true},
                      PatchedFilterCase{.Name = "DevicePastTheLastGivesTheShippedPort", .Count = 4, .Port = 3,
                                        .IdCount = 4, .Allowed = false, .Device = 0x20,
                                        .Said = "port 00:20.0 port 3 cannot be: port 00:1A.0 port 1 is used"},
                      PatchedFilterCase{.Name = "FunctionPastTheLastGivesTheShippedPort", .Count = 4, .Port = 1,
                                        .IdCount = 4, .Allowed = false, .Function = 8},
                      PatchedFilterCase{.Name = "PortPastTheLastGivesTheShippedPort", .Count = 4, .Port = 16,
                                        .IdCount = 4, .Allowed = false},
                      PatchedFilterCase{.Name = "ZeroEntriesInTheCountMatchNothing", .Count = 16, .Port = 1,
                                        .IdCount = 16, .Allowed = false, .Vendor = 0, .Product = 0,
                                        .Said = "entry 10 (00000000) has vendor 0000: it matches nothing"},
                      PatchedFilterCase{.Name = "ValueOverTheEndMarkerGivesTheShippedList", .Count = 17,
                                        .Port = 1, .IdCount = 4, .Allowed = false, .Written = 17,
                                        .Said = "spilled past its storage (end marker 56781234): the "
                                                "shipped list of 4 and port 00:1A.0 port 1 are used"},
                      PatchedFilterCase{.Name = "ValuePastTheEndMarkerGivesTheShippedPort", .Count = 16,
                                        .Port = 3, .IdCount = 4, .Allowed = false, .Written = 20},
                      PatchedFilterCase{.Name = "AudioFunctionGivesTheShippedPort", .Count = 4, .Port = 1,
                                        .IdCount = 4, .Allowed = false, .Device = 0x1B,
                                        .Said = "00:1B.0 class 04030000 is no USB host controller: port "
                                                "00:1A.0 port 1 is used",
                                        .Class = 0x04030000},
                      PatchedFilterCase{.Name = "UsbDeviceControllerGivesTheShippedPort", .Count = 4, .Port = 1,
                                        .IdCount = 4, .Allowed = false, .Device = 0x1D, .Class = 0x0C03FE00},
                      PatchedFilterCase{.Name = "AbsentFunctionGivesTheShippedPort", .Count = 4, .Port = 1,
                                        .IdCount = 4, .Allowed = false, .Device = 0x1B,
                                        .Said = "00:1B.0 class FFFFFFFF is no USB host controller"},
                      PatchedFilterCase{.Name = "FailedClassReadGivesTheShippedPort", .Count = 4, .Port = 1,
                                        .IdCount = 4, .Allowed = false, .Device = 0x1D, .Class = 0x0C033000,
                                        .FailClassRead = true},
                      PatchedFilterCase{.Name = "UhciFunctionIsUsedAsPatched", .Count = 4, .Port = 1,
                                        .IdCount = 4, .Allowed = true, .Device = 0x1D, .Class = 0x0C030000},
                      PatchedFilterCase{.Name = "XhciFunctionIsUsedAsPatched", .Count = 4, .Port = 1,
                                        .IdCount = 4, .Allowed = true, .Device = 0x1D, .Class = 0x0C033000}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(WwanGuardTest, NoUsbHandlesLetsTheBootGoOn) {
  EXPECT_TRUE(Check());
  EXPECT_EQ(DecisionLines(), "wwan_port_guard: no USB device, no module on the port\r\n");
}

// The 18-byte descriptor buffer is cleared before anything else, also when the
// check then ends at once for want of a root bridge.
TEST_F(WwanGuardTest, TheDescriptorBufferIsClearedFirstEvenWithoutARootBridge) {
  fw.UninstallRootBridge();
  sim::GlobalTrace().Clear();
  EXPECT_TRUE(Check());
  auto services = sim::GlobalTrace().Of(sim::TraceKind::Service);
  ASSERT_GE(services.size(), 2u);
  EXPECT_EQ(services[0].Name, "SetMem");
  EXPECT_EQ(services[0].Value, sizeof(USB_DEVICE_DESCRIPTOR_RECORD));
  EXPECT_EQ(services[1].Name, "LocateProtocol");
  EXPECT_EQ(services[1].Status, EFI_NOT_FOUND);
}

TEST_F(WwanGuardTest, OnlyTheFirstHandleOnThePortIsJudged) {
  fw.AddUsbDevice(PathTo(0, kUsbDevice, 1), kListedVendor, kListedProduct);
  fw.AddUsbDevice(PathTo(7, kUsbDevice, 1), kOtherVendor, kOtherProduct);
  EXPECT_TRUE(Check());
  EXPECT_EQ(fw.CallCount("UsbGetDeviceDescriptor"), 1u);
}

TEST_F(WwanGuardTest, AHandleBeforeTheModuleDoesNotHideIt) {
  fw.AddUsbDevice(PathTo(0, kUsbDevice, 3), kListedVendor, kListedProduct);
  fw.AddUsbDevice(PathTo(0, kUsbDevice, 1), kOtherVendor, kOtherProduct);
  EXPECT_FALSE(Check());
}

TEST_F(WwanGuardTest, FilterWithNoEntriesStopsForEveryModuleExceptUnreadIds) {
  WwanPortFilter empty = gWwanPortFilter;
  empty.IdCount = 0;
  auto handle = fw.AddUsbDevice(PathTo(0, kUsbDevice, 1), kListedVendor, kListedProduct);
  EXPECT_FALSE(Check(empty));
  fw.Usb(handle).Descriptor.IdVendor = 0xFFFF;
  fw.Usb(handle).Descriptor.IdProduct = 0xFFFF;
  EXPECT_TRUE(Check(empty));
}

// The alternative port for a controller that is not Intel's stays 0 until a handle of the same
// check has read vendor 0x8086; from then on it is the Intel one.
TEST_F(WwanGuardTest, AlternativePortFollowsTheLastIntelReadingOfTheSameCheck) {
  SetControllerVendor(kUsbDevice, 0x1106);
  SetControllerVendor(0x1D, 0x8086);
  fw.AddUsbDevice(PathTo(2, kUsbDevice, 1), kOtherVendor, kOtherProduct);
  EXPECT_TRUE(Check()) << "port 1 of function 2 is not the port before an Intel reading";
  fw.AddUsbDevice(PathTo(0, 0x1D, 4), kListedVendor, kListedProduct);
  fw.AddUsbDevice(PathTo(2, kUsbDevice, 1), kOtherVendor, kOtherProduct);
  EXPECT_FALSE(Check()) << "after an Intel reading the alternative port is 1";
}

TEST_F(WwanGuardTest, AFailedVendorReadKeepsTheLastVendorRead) {
  SetControllerVendor(0x1D, 0x8086);
  SetControllerVendor(kUsbDevice, 0x1106);
  fw.AddUsbDevice(PathTo(0, 0x1D, 4), kListedVendor, kListedProduct);
  fw.AddUsbDevice(PathTo(7, kUsbDevice, 1), kOtherVendor, kOtherProduct);
  fw.FailNthCall("Pci.Read", 3, EFI_DEVICE_ERROR);  // the controller's class is read first
  EXPECT_FALSE(Check()) << "the second vendor read failed, so Intel's function 7 still applies";
}

// The filter's controller's class dword first, then the vendor of function 0 of the node's device.
TEST_F(WwanGuardTest, VendorIsReadFromFunctionZeroOfTheNodesDevice) {
  fw.AddUsbDevice(PathTo(7, kUsbDevice, 1), kListedVendor, kListedProduct);
  sim::GlobalTrace().Clear();
  EXPECT_TRUE(Check());
  auto reads = sim::GlobalTrace().Of(sim::TraceKind::ConfigRead);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].Address, PciRootBridgeAddress(0, kUsbDevice, 0, 0x08));
  EXPECT_EQ(reads[0].Width, 4u);
  EXPECT_EQ(reads[1].Address, PciRootBridgeAddress(0, kUsbDevice, 0, 0));
  EXPECT_EQ(reads[1].Width, 2u);
}

// Every failing service on the checking path lets the boot go on and leaks nothing.
struct ServiceFailure {
  const char* Service;
  uint64_t Nth;
};

class WwanServiceFailureTest : public WwanGuardTest,
                               public ::testing::WithParamInterface<ServiceFailure> {};

TEST_P(WwanServiceFailureTest, BootGoesOn) {
  fw.AddUsbDevice(PathTo(0, kUsbDevice, 1), kOtherVendor, kOtherProduct);
  fw.FailNthCall(GetParam().Service, GetParam().Nth, EFI_DEVICE_ERROR);
  EXPECT_TRUE(Check());
}

INSTANTIATE_TEST_SUITE_P(
    Services, WwanServiceFailureTest,
    ::testing::Values(ServiceFailure{"LocateProtocol", 1}, ServiceFailure{"LocateHandleBuffer", 1},
                      ServiceFailure{"HandleProtocol", 1}, ServiceFailure{"HandleProtocol", 2},
                      ServiceFailure{"UsbGetDeviceDescriptor", 1}),
    [](const auto& info) {
      return std::string(info.param.Service) + std::to_string(info.param.Nth);
    });

// A path that never reaches its end node is walked only so far, then the handle is skipped
// (the sanitizer build reports any read past the path's bytes).
TEST_F(WwanGuardTest, PathWithoutEndNodeIsSkippedAfterABoundedWalk) {
  DevicePath endless;
  for (int node = 0; node < 600; ++node) endless.Node(1, 4);
  fw.AddUsbDevice(endless, kOtherVendor, kOtherProduct);
  EXPECT_TRUE(Check());
  EXPECT_EQ(fw.CallCount("UsbGetDeviceDescriptor"), 0u);
}

TEST_F(WwanGuardTest, HandleWithoutDevicePathIsSkipped) {
  fw.AddUsbDevice({}, kOtherVendor, kOtherProduct);
  fw.AddUsbDevice(PathTo(0, kUsbDevice, 1), kListedVendor, kListedProduct);
  EXPECT_TRUE(Check());
  EXPECT_EQ(fw.CallCount("UsbGetDeviceDescriptor"), 1u);
}

TEST_F(WwanGuardTest, ListedModuleLetsTheNotifyReturn) {
  fw.AddUsbDevice(PathTo(0, kUsbDevice, 1), kListedVendor, kListedProduct);
  EXPECT_EQ(fw.SignalGroup(sim::kReadyToBootGroupGuid), 1u);
  EXPECT_TRUE(fw.ConsoleText().empty());
  EXPECT_EQ(DecisionLines(), "wwan_port_guard: 00:1A.0 port 1: module 7E2D:0C72, allowed\r\n");
  EXPECT_EQ(fw.LiveAllocations(), 0u);
}

// The halt prints both lines, frees them, and then spins without another call.
TEST_F(WwanGuardTest, UnlistedModulePrintsBothLinesThenSpinsWithoutCalls) {
  fw.AddUsbDevice(PathTo(0, kUsbDevice, 1), kOtherVendor, kOtherProduct);
  sim::GlobalTrace().Clear();
  EXPECT_THROW(fw.SignalGroup(sim::kReadyToBootGroupGuid), sim::HaltReached);
  EXPECT_EQ(fw.ConsoleText(), u"105-Unsupported wireless broadband device detected."
                              u"\r\nSystem Halted. Remove device and restart.");
  EXPECT_EQ(DecisionLines(),
            "wwan_port_guard: 00:1A.0 port 1: module 1234:5678, unlisted, boot stops\r\n");
  const auto& entries = sim::GlobalTrace().Entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().Name, "FreePool") << "nothing after the second line is released";
  std::vector<std::string> console;
  for (const auto& e : entries)
    if (e.Kind == sim::TraceKind::Console) console.push_back(e.Name);
  EXPECT_EQ(console, (std::vector<std::string>{"OutputString", "OutputString"}));
  EXPECT_GE(sim::HaltPasses(), sim::kDefaultHaltPasses);
  EXPECT_EQ(fw.LiveAllocations(), 0u);
}

TEST_F(WwanGuardTest, HaltWithoutMessagesStillStops) {
  fw.AddUsbDevice(PathTo(0, kUsbDevice, 1), kOtherVendor, kOtherProduct);
  fw.FailEveryCall("GetString", EFI_DEVICE_ERROR);
  EXPECT_THROW(fw.SignalGroup(sim::kReadyToBootGroupGuid), sim::HaltReached);
  EXPECT_TRUE(fw.ConsoleText().empty());
  EXPECT_EQ(fw.LiveAllocations(), 0u);
}

}  // namespace
