// Device-path byte builder for the fixtures.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "tests/sim/device_path.h"

namespace sim {

DevicePath& DevicePath::RawNode(uint8_t Type, uint8_t SubType, uint16_t LengthField,
                                const std::vector<uint8_t>& Payload) {
  Bytes_.push_back(Type);
  Bytes_.push_back(SubType);
  Bytes_.push_back(uint8_t(LengthField));
  Bytes_.push_back(uint8_t(LengthField >> 8));
  Bytes_.insert(Bytes_.end(), Payload.begin(), Payload.end());
  return *this;
}

DevicePath& DevicePath::Node(uint8_t Type, uint8_t SubType, const std::vector<uint8_t>& Payload) {
  return RawNode(Type, SubType, uint16_t(4 + Payload.size()), Payload);
}

DevicePath& DevicePath::Acpi(uint32_t Hid, uint32_t Uid) {
  std::vector<uint8_t> payload;
  for (uint32_t v : {Hid, Uid})
    for (int i = 0; i < 4; ++i) payload.push_back(uint8_t(v >> (8 * i)));
  return Node(0x02, 0x01, payload);
}

DevicePath& DevicePath::Pci(uint8_t Function, uint8_t Device) {
  return Node(0x01, 0x01, {Function, Device});
}

DevicePath& DevicePath::Usb(uint8_t ParentPort, uint8_t Interface) {
  return Node(0x03, 0x05, {ParentPort, Interface});
}

DevicePath& DevicePath::Raw(const std::vector<uint8_t>& Bytes) {
  Bytes_.insert(Bytes_.end(), Bytes.begin(), Bytes.end());
  return *this;
}

DevicePath& DevicePath::End() { return Node(0x7F, 0xFF); }

}  // namespace sim
