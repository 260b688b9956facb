// The simulated UEFI firmware every host test links: a real system table whose boot services,
// consoles and protocols are C++ fakes that keep state (handles, open protocols, pool, events,
// variables, HII packs) and append every call to the global trace. One instance is live at a
// time; the firmware's C entry points find it through Firmware::Current(). Each concern has a
// header of its own (handle_database.h, pool.h, events.h, variables.h, consoles.h, hii.h,
// root_bridge.h, usb.h, fault_injection.h) with its state and its fixture-side part.
//
//   sim::Firmware fw;                                   // HII and root bridge installed
//   WwanEntry(fw.ImageHandle(), fw.SystemTable());
//   fw.SignalGroup(READY_TO_BOOT_EVENT_GROUP_GUID);
// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/uefi.h"
#include "tests/sim/config_space.h"
#include "tests/sim/consoles.h"
#include "tests/sim/device_path.h"
#include "tests/sim/events.h"
#include "tests/sim/fault_injection.h"
#include "tests/sim/halt.h"
#include "tests/sim/handle_database.h"
#include "tests/sim/hii.h"
#include "tests/sim/pool.h"
#include "tests/sim/root_bridge.h"
#include "tests/sim/trace.h"
#include "tests/sim/usb.h"
#include "tests/sim/variables.h"

namespace sim {

bool SameGuid(const EFI_GUID& A, const EFI_GUID& B);
// "8BE4DF61-93CA-11D2-AA0D-00E098032B8C": the Text of trace entries for calls taking a GUID.
std::u16string GuidText(const EFI_GUID& Guid);
// Address of a configuration access as traced (root-bridge form; registers above 0xFF in the
// extended-register bits 32..63).
uint64_t ConfigAddress(PciLocation Where, uint16_t Register);

struct FirmwareOptions {
  bool InstallHii = true;
  bool InstallRootBridge = true;
};

// The firmware's state, one part per concern; defined in firmware_internal.h for the files
// that implement the services.
struct FirmwareState;

namespace detail {
// Owns the state; a base of Firmware so that the state exists before the concern parts that
// refer to it are built, and outlives them.
struct FirmwareStateOwner {
  explicit FirmwareStateOwner(Firmware& Owner);
  ~FirmwareStateOwner();
  std::unique_ptr<FirmwareState> OwnedState_;
};
}  // namespace detail

// The fixture side is split by concern, one base class each (their headers say what each
// holds); Firmware itself only ties them together and hands out the system table.
class Firmware : private detail::FirmwareStateOwner,
                 public HandleDatabase,
                 public PoolAccounting,
                 public EventQueue,
                 public VariableStore,
                 public Consoles,
                 public HiiDatabase,
                 public RootBridgeModel,
                 public UsbHandles,
                 public FaultInjection {
 public:
  explicit Firmware(FirmwareOptions Options = {});
  ~Firmware();
  Firmware(const Firmware&) = delete;
  Firmware& operator=(const Firmware&) = delete;

  // The live instance; fails the test and aborts when there is none.
  static Firmware& Current();
  static Firmware* CurrentOrNull();

  EFI_HANDLE ImageHandle() const;
  EFI_SYSTEM_TABLE* SystemTable();
  EFI_BOOT_SERVICES* BootServices();
  // Installs the status-code protocol, whose reports StatusCodes() hands its handler and keeps.
  void InstallStatusCode();

  FirmwareState& Internals() { return *OwnedState_; }
};

// Registers a function that clears state the code under test keeps between calls (a driver's
// saved system table, its HII registration, its claimed controller). Every registered function
// runs when a firmware is built and again when it is torn down, so a test never sees pointers
// into an earlier test's firmware, whatever order the tests run in. The test headers of each
// driver library register theirs, once per process; the result only lets a header do that from
// an inline variable's initialiser.
bool AddStateReset(void (*Reset)());

// Ready-made GUIDs for fixtures (plain constants, no static constructors in the sim either).
extern const EFI_GUID kHiiProtocolGuid;
extern const EFI_GUID kRootBridgeIoGuid;
extern const EFI_GUID kUsbIoGuid;
extern const EFI_GUID kDevicePathGuid;
extern const EFI_GUID kReadyToBootGroupGuid;
extern const EFI_GUID kGlobalVariableGuid;
extern const EFI_GUID kLoadedImageGuid;
extern const EFI_GUID kDriverBindingGuid;

}  // namespace sim
