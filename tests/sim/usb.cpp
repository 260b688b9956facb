// USB I/O handles: a device path and a device descriptor per handle; of the USB I/O members
// only UsbGetDeviceDescriptor answers, the others fail the test.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <cstring>

#include "tests/sim/firmware_internal.h"

namespace sim {
namespace {

constexpr uint8_t kDeviceDescriptorType = 1;

const char* const kUsbIoSlotNames[] = {"UsbControlTransfer",
                                       "UsbBulkTransfer",
                                       "UsbAsyncInterruptTransfer",
                                       "UsbSyncInterruptTransfer",
                                       "UsbIsochronousTransfer",
                                       "UsbAsyncIsochronousTransfer",
                                       "UsbGetDeviceDescriptor",
                                       "UsbGetConfigDescriptor",
                                       "UsbGetInterfaceDescriptor",
                                       "UsbGetEndpointDescriptor",
                                       "UsbGetStringDescriptor",
                                       "UsbGetSupportedLanguages",
                                       "UsbPortReset"};

UsbDevice* FindDevice(const USB_IO_PROTOCOL* This) {
  for (auto& device : Fw().UsbDevices)
    if (&device->Io == This) return device.get();
  return nullptr;
}

// Traced with Address = the device's handle.
EFI_STATUS EFIAPI UsbGetDeviceDescriptor(USB_IO_PROTOCOL* This,
                                         USB_DEVICE_DESCRIPTOR_RECORD* Descriptor) {
  auto& fw = Fw();
  UsbDevice* device = FindDevice(This);
  uint64_t handle = device ? reinterpret_cast<uintptr_t>(device->Handle) : 0;
  const char* name = "UsbGetDeviceDescriptor";
  if (auto injected = fw.Self.EnterService(name))
    return fw.Self.TraceService(name, *injected, 0, handle);
  if (device == nullptr || Descriptor == nullptr)
    return fw.Self.TraceService(name, EFI_INVALID_PARAMETER, 0, handle);
  if (EFI_ERROR(device->DescriptorStatus))
    return fw.Self.TraceService(name, device->DescriptorStatus, 0, handle);
  std::memcpy(Descriptor, &device->Descriptor, sizeof *Descriptor);
  uint64_t id = (uint64_t(device->Descriptor.IdProduct) << 16) | device->Descriptor.IdVendor;
  return fw.Self.TraceService(name, EFI_SUCCESS, id, handle);
}

}  // namespace

void SetUpUsbTable(UsbDevice& Device) {
  FillUnimplemented(&Device.Io, sizeof(USB_IO_PROTOCOL) / 8, "UsbIo", kUsbIoSlotNames);
  Device.Io.UsbGetDeviceDescriptor = UsbGetDeviceDescriptor;
}

EFI_HANDLE UsbHandles::AddUsbDevice(std::vector<uint8_t> DevicePathBytes, uint16_t Vendor,
                                  uint16_t Product) {
  auto device = std::make_unique<UsbDevice>();
  SetUpUsbTable(*device);
  device->Path = std::move(DevicePathBytes);
  USB_DEVICE_DESCRIPTOR_RECORD& d = device->Descriptor;
  d.Length = sizeof(USB_DEVICE_DESCRIPTOR_RECORD);
  d.DescriptorType = kDeviceDescriptorType;
  d.BcdUSB = 0x0200;
  d.MaxPacketSize0 = 64;
  d.IdVendor = Vendor;
  d.IdProduct = Product;
  d.NumConfigurations = 1;
  device->Handle = Owner_.NewHandle();
  if (!device->Path.empty()) Owner_.InstallProtocol(device->Handle, kDevicePathGuid, device->Path.data());
  Owner_.InstallProtocol(device->Handle, kUsbIoGuid, &device->Io);
  EFI_HANDLE handle = device->Handle;
  State_.UsbDevices.push_back(std::move(device));
  return handle;
}

UsbDevice& UsbHandles::Usb(EFI_HANDLE Handle) {
  for (auto& device : State_.UsbDevices)
    if (device->Handle == Handle) return *device;
  ADD_FAILURE() << "no USB device on that handle";
  std::abort();
}

}  // namespace sim
