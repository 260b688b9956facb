// The drivers' GUIDs against the interfaces' registry text that the test doubles are built from:
// a wrong byte in a driver's declaration is named here, besides whatever else it breaks.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "support/uefi.h"
#include "tests/sim/interface_guids.h"
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

}  // namespace
