// The simulated firmware's USB I/O handles: each with a device path and a device descriptor.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "support/uefi.h"

namespace sim {

class Firmware;

// A USB device handle: its USB I/O table comes first so that This finds the record.
struct UsbDevice {
  USB_IO_PROTOCOL Io;
  EFI_HANDLE Handle = nullptr;
  std::vector<uint8_t> Path;  // the bytes behind EFI_DEVICE_PATH_PROTOCOL (empty: none)
  USB_DEVICE_DESCRIPTOR_RECORD Descriptor{};
  EFI_STATUS DescriptorStatus = EFI_SUCCESS;  // what UsbGetDeviceDescriptor answers
};

struct UsbState {
  std::vector<std::unique_ptr<UsbDevice>> UsbDevices;
};

class UsbHandles {
 public:
  // Installs EFI_DEVICE_PATH_PROTOCOL (the bytes, unless empty) and USB_IO_PROTOCOL on a new
  // handle, with a device descriptor carrying Vendor and Product.
  EFI_HANDLE AddUsbDevice(std::vector<uint8_t> DevicePathBytes, uint16_t Vendor, uint16_t Product);
  UsbDevice& Usb(EFI_HANDLE Handle);

 protected:
  UsbHandles(Firmware& Owner, UsbState& State) : Owner_(Owner), State_(State) {}

 private:
  Firmware& Owner_;
  UsbState& State_;
};

}  // namespace sim
