// Builds device-path bytes the way the firmware lays them out, node by node, including
// malformed nodes (a length of 0 or 2) for the walks that must survive them.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

class DevicePath {
 public:
  // ACPI node (type 2, subtype 1, 12 bytes); default HID is the PCI root bridge PNP0A03.
  DevicePath& Acpi(uint32_t Hid = 0x0A0341D0, uint32_t Uid = 0);
  // Hardware/PCI node (type 1, subtype 1, 6 bytes): byte 4 function, byte 5 device.
  DevicePath& Pci(uint8_t Function, uint8_t Device);
  // Messaging/USB node (type 3, subtype 5, 6 bytes): byte 4 parent port, byte 5 interface.
  DevicePath& Usb(uint8_t ParentPort, uint8_t Interface = 0);
  // Any well-formed node: its length field is 4 + Payload.size().
  DevicePath& Node(uint8_t Type, uint8_t SubType, const std::vector<uint8_t>& Payload = {});
  // A node header with an arbitrary length field followed by Payload, whatever they say.
  DevicePath& RawNode(uint8_t Type, uint8_t SubType, uint16_t LengthField,
                      const std::vector<uint8_t>& Payload = {});
  // Bytes appended as they are.
  DevicePath& Raw(const std::vector<uint8_t>& Bytes);
  // End of the entire path (type 0x7F, subtype 0xFF, 4 bytes).
  DevicePath& End();

  const std::vector<uint8_t>& Bytes() const { return Bytes_; }
  operator std::vector<uint8_t>() const { return Bytes_; }

 private:
  std::vector<uint8_t> Bytes_;
};

}  // namespace sim
