// The wireless-WAN port check under fuzzed firmware: which USB handles exist, each handle's
// device-path bytes, the IDs its descriptor reports, the USB controller's vendor read, whether the
// filter's controller is a USB host controller (its class dword), and the statuses of the services on the way (the ready-to-boot notify's halt path included). The
// verdict must be the one the port rule gives for what the firmware answered: the boot stops
// only for a module on the port whose IDs were read and are not listed.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <fuzzer/FuzzedDataProvider.h>

#include "tests/fuzz/fuzz_support.h"
#include "tests/sim/device_path.h"
#include "wwan_port_guard/wwan_guard.h"

namespace {

constexpr size_t kMaxHandles = 8;
constexpr size_t kMaxNodes = 12;
constexpr size_t kMaxPayload = 24;
constexpr size_t kMaxVendors = 4;
constexpr uint64_t kMaxNth = kMaxHandles + 2;

constexpr uint8_t kGuardedDevice = 0x1A;
constexpr uint16_t kIntel = 0x8086;
constexpr uint32_t kIdsNotRead = 0xFFFFFFFF;

// The layout of a generated path, as the generator laid it down (the model walks this, not the
// bytes).
struct Node {
  size_t Offset;
  uint8_t Type;
  uint8_t SubType;
  uint16_t Length;
};

struct UsbHandle {
  std::vector<uint8_t> Path;  // empty: the handle carries no device path
  std::vector<Node> Nodes;
  uint16_t Vendor = 0;
  uint16_t Product = 0;
};

struct Scene {
  bool RootBridge = true;
  std::vector<std::pair<uint8_t, uint16_t>> Vendors;  // device on bus 0, vendor ID of function 0
  std::vector<UsbHandle> Handles;
  bool ThroughNotify = true;
  WwanPortFilter Filter = *LoadWwanPortFilter();
  bool HostController = true;  // the filter's own function (when it has a place) reads as EHCI
};

constexpr uint32_t kEhciClass = 0x0C032000;

uint8_t ConsumeDevice(FuzzedDataProvider& In) {
  return fuzz::Mostly(In, 4) ? kGuardedDevice : In.ConsumeIntegral<uint8_t>();
}

uint8_t ConsumeFunction(FuzzedDataProvider& In) {
  constexpr uint8_t kUsual[] = {0, 7, 2};
  size_t pick = In.ConsumeIntegralInRange<size_t>(0, std::size(kUsual));
  return pick < std::size(kUsual) ? kUsual[pick] : In.ConsumeIntegral<uint8_t>();
}

uint8_t ConsumePort(FuzzedDataProvider& In) {
  constexpr uint8_t kUsual[] = {1, 0};
  size_t pick = In.ConsumeIntegralInRange<size_t>(0, std::size(kUsual));
  return pick < std::size(kUsual) ? kUsual[pick] : In.ConsumeIntegral<uint8_t>();
}

// Nodes of every kind the walk meets: well-formed PCI and USB nodes, other nodes, nodes whose
// type has its top bit set, nodes whose length is shorter than the header, always closed by an
// end-of-path node so that the bytes end where the path says.
void ConsumePath(FuzzedDataProvider& In, UsbHandle& Handle) {
  sim::DevicePath path;
  auto add = [&](auto&& Append) {
    size_t offset = path.Bytes().size();
    Append();
    const auto& bytes = path.Bytes();
    Handle.Nodes.push_back({offset, bytes[offset], bytes[offset + 1],
                            uint16_t(bytes[offset + 2] | bytes[offset + 3] << 8)});
  };
  size_t nodes = In.ConsumeIntegralInRange<size_t>(0, kMaxNodes);
  for (size_t i = 0; i < nodes; ++i) {
    switch (In.ConsumeIntegralInRange<int>(0, 6)) {
      case 0:
        add([&] { path.Acpi(); });
        break;
      case 1:
      case 2: {
        uint8_t function = ConsumeFunction(In);
        add([&] { path.Pci(function, ConsumeDevice(In)); });
        break;
      }
      case 3:
      case 4: {
        uint8_t port = ConsumePort(In);
        add([&] { path.Usb(port, In.ConsumeIntegral<uint8_t>()); });
        break;
      }
      case 5: {
        uint8_t type = In.ConsumeIntegral<uint8_t>();
        uint8_t sub = In.ConsumeIntegral<uint8_t>();
        auto payload = In.ConsumeBytes<uint8_t>(In.ConsumeIntegralInRange<size_t>(0, kMaxPayload));
        add([&] { path.Node(type, sub, payload); });
        break;
      }
      default: {
        uint8_t type = In.ConsumeIntegral<uint8_t>();
        uint8_t sub = In.ConsumeIntegral<uint8_t>();
        auto length = In.ConsumeIntegralInRange<uint16_t>(0, 3);
        auto payload = In.ConsumeBytes<uint8_t>(In.ConsumeIntegralInRange<size_t>(0, 4));
        add([&] { path.RawNode(type, sub, length, payload); });
        break;
      }
    }
  }
  add([&] { path.End(); });
  Handle.Path = path.Bytes();
}

uint16_t ConsumeVendor(FuzzedDataProvider& In) {
  constexpr uint16_t kUsual[] = {kIntel, 0x1106, 0xFFFF};
  size_t pick = In.ConsumeIntegralInRange<size_t>(0, std::size(kUsual));
  return pick < std::size(kUsual) ? kUsual[pick] : In.ConsumeIntegral<uint16_t>();
}

// Descriptor IDs: a listed module, IDs that read all ones, or anything.
void ConsumeIds(FuzzedDataProvider& In, UsbHandle& Handle) {
  switch (In.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: {
      uint32_t id = gWwanPortFilter.Ids[In.ConsumeIntegralInRange<size_t>(0, gWwanPortFilter.IdCount - 1)];
      Handle.Vendor = uint16_t(id);
      Handle.Product = uint16_t(id >> 16);
      break;
    }
    case 1:
      Handle.Vendor = Handle.Product = 0xFFFF;
      break;
    default:
      Handle.Vendor = In.ConsumeIntegral<uint16_t>();
      Handle.Product = In.ConsumeIntegral<uint16_t>();
      break;
  }
}

Scene ConsumeScene(FuzzedDataProvider& In) {
  Scene scene;
  scene.RootBridge = fuzz::Mostly(In, 16);
  size_t vendors = In.ConsumeIntegralInRange<size_t>(0, kMaxVendors);
  for (size_t i = 0; i < vendors; ++i) {
    uint8_t device = fuzz::Mostly(In, 2) ? kGuardedDevice : In.ConsumeIntegralInRange<uint8_t>(0, 31);
    scene.Vendors.emplace_back(device, ConsumeVendor(In));
  }
  size_t handles = In.ConsumeIntegralInRange<size_t>(0, kMaxHandles);
  for (size_t i = 0; i < handles; ++i) {
    UsbHandle handle;
    if (fuzz::Mostly(In, 16)) ConsumePath(In, handle);
    ConsumeIds(In, handle);
    scene.Handles.push_back(std::move(handle));
  }
  // Mostly the driver's own filter through its notify; otherwise a fuzzed filter checked
  // directly (same list, fewer entries, another controller, function or port).
  scene.ThroughNotify = fuzz::Mostly(In, 4);
  if (!scene.ThroughNotify) {
    scene.Filter.ControllerDevice = fuzz::Mostly(In, 2) ? kGuardedDevice : In.ConsumeIntegral<uint16_t>();
    scene.Filter.ControllerFunction = fuzz::Mostly(In, 2) ? 0 : In.ConsumeIntegral<uint16_t>();
    scene.Filter.Port = fuzz::Mostly(In, 2) ? 1 : In.ConsumeIntegral<uint8_t>();
    scene.Filter.IdCount = In.ConsumeIntegralInRange<uint8_t>(0, gWwanPortFilter.IdCount);
  }
  scene.HostController = fuzz::Mostly(In, 4);
  return scene;
}

bool IsEndOfPath(const Node& N) { return (N.Type & 0x7F) == 0x7F && N.SubType == 0xFF; }
bool IsPci(const Node& N) { return (N.Type & 0x7F) == 1 && N.SubType == 1; }
bool IsUsb(const Node& N) { return (N.Type & 0x7F) == 3 && N.SubType == 5; }

// The first PCI node directly followed by a USB node, before the end of the path or a node too
// short to step over.
std::optional<size_t> PairIndex(const UsbHandle& Handle) {
  for (size_t i = 0; i + 1 < Handle.Nodes.size(); ++i) {
    const Node& node = Handle.Nodes[i];
    if (IsEndOfPath(node) || node.Length < 4) return std::nullopt;
    if (IsPci(node) && IsUsb(Handle.Nodes[i + 1])) return i;
  }
  return std::nullopt;
}

// The port rule applied to what the firmware answers, call by call: true when the boot may go
// on. A failing service lets the boot go on or skips the handle; the vendor read's status is
// the one not examined.
bool ExpectedAllowed(const Scene& S, const fuzz::FailureScript& Script) {
  fuzz::CallCounter calls;
  auto injected = [&](const char* Service) { return Script.Injected(Service, calls.Next(Service)); };
  // HandleProtocol hands the interface out whatever status it is made to answer: only an error
  // status fails the call.
  auto handle_protocol_failed = [&] {
    std::optional<EFI_STATUS> status = injected("HandleProtocol");
    return status && EFI_ERROR(*status);
  };
  // A located interface that is null, or a handle search that finds nothing, ends the check too.
  if (injected("LocateProtocol") || !S.RootBridge) return true;
  // The class read comes first: unless it shows the filter's own function a USB host
  // controller, the shipped port (00:1A.0 port 1) is judged with the filter's list.
  WwanPortFilter filter = S.Filter;
  bool host = !injected("Pci.Read") && S.HostController && filter.ControllerDevice <= 31 &&
              filter.ControllerFunction <= 7;
  if (!host) {
    filter.ControllerDevice = kGuardedDevice;
    filter.ControllerFunction = 0;
    filter.Port = 1;
  }
  if (injected("LocateHandleBuffer") || S.Handles.empty()) return true;

  uint16_t vendor = 0;
  uint8_t alternative_port = 0;
  for (const UsbHandle& handle : S.Handles) {
    if (handle_protocol_failed() || handle.Path.empty()) continue;
    std::optional<size_t> pair = PairIndex(handle);
    if (!pair) continue;
    const Node& pci = handle.Nodes[*pair];
    const Node& usb = handle.Nodes[*pair + 1];
    uint8_t function = handle.Path[pci.Offset + 4];
    uint8_t device = handle.Path[pci.Offset + 5];
    uint8_t port = handle.Path[usb.Offset + 4];

    // A read that fails, or a device number the root bridge refuses, leaves the last vendor.
    if (!injected("Pci.Read") && device <= 31) {
      vendor = 0xFFFF;
      for (auto [where, id] : S.Vendors)
        if (where == device) vendor = id;
    }
    uint16_t alternative_function = 2;
    if (vendor == kIntel) {
      alternative_function = 7;
      alternative_port = uint8_t(filter.ControllerFunction * 2 + filter.Port);
    }
    if (device != filter.ControllerDevice) continue;
    bool own = function == filter.ControllerFunction && port == filter.Port;
    bool alternative = function == alternative_function && port == alternative_port;
    if (!own && !alternative) continue;

    if (handle_protocol_failed()) return true;
    uint32_t id = (uint32_t(handle.Product) << 16) | handle.Vendor;
    if (auto status = injected("UsbGetDeviceDescriptor")) {
      if (EFI_ERROR(*status)) return true;
      id = 0;  // answered without error but wrote nothing: the cleared descriptor is what was read
    }
    if (id == kIdsNotRead) return true;
    for (size_t i = 0; i < filter.IdCount; ++i)
      if (filter.Ids[i] == id) return true;
    return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  FuzzedDataProvider in(Data, Size);
  fuzz::FailureScript script(in,
                             {"LocateProtocol", "LocateHandleBuffer", "HandleProtocol", "Pci.Read",
                              "UsbGetDeviceDescriptor", "FreePool", "AllocatePool", "GetString",
                              "OutputString"},
                             4, kMaxNth);
  Scene scene = ConsumeScene(in);

  sim::Firmware fw(sim::FirmwareOptions{.InstallHii = true, .InstallRootBridge = scene.RootBridge});
  for (auto [device, vendor] : scene.Vendors) fw.Config().Set16({0, device, 0}, 0x00, vendor);
  if (scene.HostController && scene.Filter.ControllerDevice <= 31 && scene.Filter.ControllerFunction <= 7)
    fw.Config().Set32({0, uint8_t(scene.Filter.ControllerDevice), uint8_t(scene.Filter.ControllerFunction)},
                      0x08, kEhciClass);
  for (const UsbHandle& handle : scene.Handles) fw.AddUsbDevice(handle.Path, handle.Vendor, handle.Product);
  FUZZ_CHECK(WwanPortGuardEntry(fw.ImageHandle(), fw.SystemTable()) == EFI_SUCCESS, "entry");

  size_t pool_before = fw.LiveAllocations();
  uint64_t calls_before = fw.ServiceCallCount();
  uint64_t frees_before = fw.CallCount("FreePool");
  script.Apply(fw);
  bool allowed;
  if (scene.ThroughNotify) {
    allowed = !fuzz::Halts([&] { fw.SignalGroup(sim::kReadyToBootGroupGuid); });
  } else {
    allowed = CheckWwanPort(&scene.Filter);
  }

  bool expected = ExpectedAllowed(scene, script);
  FUZZ_CHECK(allowed == expected, expected ? "the boot was stopped although the port rule lets it go on"
                                           : "an unlisted module whose IDs were read did not stop the boot");
  // The class read, then per handle at most the path, the vendor read, the USB I/O and the
  // descriptor; then the handle buffer's release and, on the halt path, two messages of at most
  // seven calls each (allocation, GetString, release, and again with the length asked for, then
  // the output).
  uint64_t calls = fw.ServiceCallCount() - calls_before;
  FUZZ_CHECK(calls <= 3 + 4 * scene.Handles.size() + 1 + 14,
             std::to_string(calls) + " service calls for " + std::to_string(scene.Handles.size()) + " handles");
  fuzz::CheckPoolBalance(fw, pool_before, script.FailedCalls("FreePool", fw.CallCount("FreePool") - frees_before));

  // With nothing failed on the way to the console, the halt screen carries both lines.
  bool quiet_halt_path = true;
  for (const auto& entry : script.Entries())
    quiet_halt_path &= entry.Service != "AllocatePool" && entry.Service != "GetString" &&
                       entry.Service != "OutputString";
  if (!allowed && scene.ThroughNotify && quiet_halt_path) {
    const sim::HiiPackageList& list = fw.HiiPackages().at(0);
    FUZZ_CHECK(fw.ConsoleText() == *list.String(0, 2) + *list.String(0, 3), "halt screen text");
  }
  return 0;
}
