// The drivers' GUIDs against the interfaces' registry text that the test doubles are built from,
// and the drivers' fixed offsets, sizes and addresses against the doubles' own numbers: a wrong
// byte or number in a driver's declaration is named here, besides whatever else it breaks.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/setup_record.h"
#include "support/uefi.h"
#include "tests/sim/interface_constants.h"
#include "tests/sim/interface_guids.h"
#include "wlan_slot_guard/link_power.h"
#include "wlan_slot_guard/wlan_strings.h"
#include "wwan_port_guard/wwan_strings.h"

namespace {

struct GuidCase {
  const char* Name;
  EFI_GUID Driver;
  EFI_GUID Interface;
};
void PrintTo(const GuidCase& Case, std::ostream* Out) { *Out << Case.Name; }

std::string Text(const EFI_GUID& G) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                unsigned(G.Data1), unsigned(G.Data2), unsigned(G.Data3), G.Data4[0], G.Data4[1],
                G.Data4[2], G.Data4[3], G.Data4[4], G.Data4[5], G.Data4[6], G.Data4[7]);
  return text;
}

class DriverGuidTest : public ::testing::TestWithParam<GuidCase> {};

TEST_P(DriverGuidTest, IsTheInterfacesOwn) {
  const GuidCase& c = GetParam();
  EXPECT_EQ(Text(c.Driver), Text(c.Interface));
  EXPECT_EQ(std::memcmp(&c.Driver, &c.Interface, sizeof(EFI_GUID)), 0);
}

namespace g = interface_guids;

INSTANTIATE_TEST_SUITE_P(
    Interfaces, DriverGuidTest,
    ::testing::Values(
        GuidCase{"ReadyToBootGroup", READY_TO_BOOT_EVENT_GROUP_GUID, g::kReadyToBootGroup},
        GuidCase{"FrameworkHii", FRAMEWORK_HII_PROTOCOL_GUID, g::kFrameworkHii},
        GuidCase{"FrameworkCpuIo", FRAMEWORK_CPU_IO_PROTOCOL_GUID, g::kFrameworkCpuIo},
        GuidCase{"UsbIo", USB_IO_PROTOCOL_GUID, g::kUsbIo},
        GuidCase{"SetupData", SETUP_DATA_PROTOCOL_GUID, g::kSetupData},
        GuidCase{"StationAddress", STATION_ADDRESS_PROTOCOL_GUID, g::kStationAddress},
        GuidCase{"WlanStringPackage", WLAN_STRING_PACKAGE_GUID, g::kWlanStringPackage},
        GuidCase{"WwanStringPackage", WWAN_STRING_PACKAGE_GUID, g::kWwanStringPackage},
        GuidCase{"PciIo", EFI_PCI_IO_PROTOCOL_GUID, g::kPciIo},
        GuidCase{"PciRootBridgeIo", EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_GUID, g::kPciRootBridgeIo},
        GuidCase{"DevicePath", EFI_DEVICE_PATH_PROTOCOL_GUID, g::kDevicePath},
        GuidCase{"DriverBinding", EFI_DRIVER_BINDING_PROTOCOL_GUID, g::kDriverBinding}),
    [](const auto& info) { return std::string(info.param.Name); });

struct ConstantCase {
  const char* Name;
  uint64_t Driver;
  uint64_t Interface;
};
void PrintTo(const ConstantCase& Case, std::ostream* Out) { *Out << Case.Name; }

class DriverConstantTest : public ::testing::TestWithParam<ConstantCase> {};

TEST_P(DriverConstantTest, IsTheInterfacesOwn) {
  const ConstantCase& c = GetParam();
  EXPECT_EQ(c.Driver, c.Interface) << std::hex << std::showbase << c.Name << ": the driver has "
                                   << c.Driver << ", the interface " << c.Interface;
}

namespace k = interface_constants;

const ConstantCase kConstants[] = {
    {"PegAspmOption", PEG_ASPM_OPTION_OFFSET, k::kPegAspmOption},
    {"LanPhyOption", LAN_PHY_OPTION_OFFSET, k::kLanPhyOption},
    {"WlanSlotFlags", WLAN_SLOT_FLAGS_OFFSET, k::kWlanSlotFlags},
    {"WlanChipId", WLAN_CHIP_ID_OFFSET, k::kWlanChipId},
    {"WlanSubsystemId", WLAN_SUBSYSTEM_ID_OFFSET, k::kWlanSubsystemId},
    {"WlanStatusA", WLAN_STATUS_A_OFFSET, k::kWlanStatusA},
    {"WlanStatusB", WLAN_STATUS_B_OFFSET, k::kWlanStatusB},
    {"WlanStatusC", WLAN_STATUS_C_OFFSET, k::kWlanStatusC},
    {"LanIsFastEthernet", LAN_IS_FAST_ETHERNET_OFFSET, k::kLanIsFastEthernet},
    {"LanStationAddressLow", LAN_STATION_ADDRESS_LOW_OFFSET, k::kLanStationAddressLow},
    {"LanStationAddressHigh", LAN_STATION_ADDRESS_HIGH_OFFSET, k::kLanStationAddressHigh},
    {"SetupRecordUsedSize", sizeof(PlatformSetupRecord), k::kSetupRecordUsedSize},
    {"SetupDataRecordPointer", offsetof(SETUP_DATA_PROTOCOL, Record), k::kSetupDataRecordPointer},
    {"StationAddressBlock", offsetof(STATION_ADDRESS_PROTOCOL, StationAddress),
     k::kStationAddressBlock},
    {"StationAddressBlockSize", sizeof(STATION_ADDRESS_PROTOCOL::StationAddress),
     k::kStationAddressBlockSize},
    {"PciExpressWindowBase", PCI_EXPRESS_WINDOW_BASE_DEFAULT, k::kPciExpressBaseAddress},
    {"PciExpressWindowSize", PCI_EXPRESS_WINDOW_SIZE_DEFAULT, k::kPciExpressWindowSize},
};

INSTANTIATE_TEST_SUITE_P(Interfaces, DriverConstantTest, ::testing::ValuesIn(kConstants),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
