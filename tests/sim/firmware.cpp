// The simulated firmware's life cycle, the stubs of slots nobody is expected to call, and the
// trace entries every service appends.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/sim/firmware_internal.h"
#include "tests/sim/interface_guids.h"
#include "tests/sim/platform.h"

namespace sim {

const EFI_GUID kHiiProtocolGuid = interface_guids::kFrameworkHii;
const EFI_GUID kRootBridgeIoGuid = interface_guids::kPciRootBridgeIo;
const EFI_GUID kUsbIoGuid = interface_guids::kUsbIo;
const EFI_GUID kDevicePathGuid = interface_guids::kDevicePath;
const EFI_GUID kReadyToBootGroupGuid = interface_guids::kReadyToBootGroup;
const EFI_GUID kGlobalVariableGuid = interface_guids::kGlobalVariable;
const EFI_GUID kLoadedImageGuid = interface_guids::kLoadedImage;
const EFI_GUID kDriverBindingGuid = interface_guids::kDriverBinding;

namespace {
Firmware* gCurrent = nullptr;

std::vector<void (*)()>& StateResets() {
  static std::vector<void (*)()> resets;
  return resets;
}

// The state a firmware's life brackets: the drivers' (through the registered functions), the
// trace, the halt loop's passes and the interrupt flag.
void ResetState() {
  for (void (*reset)() : StateResets()) reset();
  GlobalTrace().Clear();
  ResetHalt();
  SetInterruptsEnabled(true);
}
}  // namespace

bool AddStateReset(void (*Reset)()) {
  auto& resets = StateResets();
  if (std::find(resets.begin(), resets.end(), Reset) == resets.end()) resets.push_back(Reset);
  return true;
}

Trace& GlobalTrace() {
  static Trace trace;
  return trace;
}

bool SameGuid(const EFI_GUID& A, const EFI_GUID& B) { return std::memcmp(&A, &B, sizeof A) == 0; }

std::u16string GuidText(const EFI_GUID& G) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                unsigned(G.Data1), unsigned(G.Data2), unsigned(G.Data3), G.Data4[0], G.Data4[1],
                G.Data4[2], G.Data4[3], G.Data4[4], G.Data4[5], G.Data4[6], G.Data4[7]);
  return std::u16string(text, text + std::strlen(text));
}

uint64_t ConfigAddress(PciLocation Where, uint16_t Register) {
  uint64_t address = PciRootBridgeAddress(Where.Bus, Where.Device, Where.Function, 0);
  if (Register > 0xFF) return address | (uint64_t(Register) << 32);
  return address | Register;
}

// ---------------------------------------------------------------------------------------------
// Slots nobody is expected to call.

namespace {
constexpr size_t kStubCount = 256;
std::vector<std::string>& StubNames() {
  static std::vector<std::string> names;
  return names;
}

// Called through pointers of every slot type; the sanitizer's function-type check is off for
// them on purpose.
template <size_t I>
__attribute__((no_sanitize("function"))) EFI_STATUS EFIAPI UnimplementedSlot() {
  ADD_FAILURE() << "the code under test called " << StubNames()[I]
                << ", which the simulated firmware does not provide";
  if (Firmware* fw = Firmware::CurrentOrNull()) fw->TraceService(StubNames()[I], EFI_UNSUPPORTED);
  return EFI_UNSUPPORTED;
}

using StubFunction = EFI_STATUS(EFIAPI*)();
template <size_t... I>
constexpr std::array<StubFunction, sizeof...(I)> MakeStubs(std::index_sequence<I...>) {
  return {&UnimplementedSlot<I>...};
}
constexpr auto kStubs = MakeStubs(std::make_index_sequence<kStubCount>());

size_t StubIndex(const std::string& Name) {
  auto& names = StubNames();
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == Name) return i;
  if (names.size() == kStubCount) {
    std::fprintf(stderr, "simulated firmware: out of unimplemented-slot stubs\n");
    std::abort();
  }
  names.push_back(Name);
  return names.size() - 1;
}
}  // namespace

void FillUnimplemented(void* FirstSlot, size_t Count, const char* Table,
                       const char* const* SlotNames) {
  auto* slots = static_cast<StubFunction*>(FirstSlot);
  for (size_t i = 0; i < Count; ++i) {
    std::string name = std::string(Table) + ".";
    name += SlotNames ? std::string(SlotNames[i]) : "slot " + std::to_string(i);
    slots[i] = kStubs[StubIndex(name)];
  }
}

// ---------------------------------------------------------------------------------------------
// Life cycle.

namespace detail {
FirmwareStateOwner::FirmwareStateOwner(Firmware& Owner)
    : OwnedState_(std::make_unique<FirmwareState>(Owner)) {}
FirmwareStateOwner::~FirmwareStateOwner() = default;
}  // namespace detail

Firmware::Firmware(FirmwareOptions Options)
    : FirmwareStateOwner(*this),
      HandleDatabase(*OwnedState_),
      PoolAccounting(*OwnedState_),
      EventQueue(*OwnedState_),
      VariableStore(*OwnedState_),
      Consoles(*OwnedState_),
      HiiDatabase(*this, *OwnedState_),
      RootBridgeModel(*this, *OwnedState_),
      UsbHandles(*this, *OwnedState_),
      FaultInjection(*OwnedState_) {
  if (gCurrent != nullptr) ADD_FAILURE() << "two simulated firmware instances are live";
  gCurrent = this;
  ResetState();
  FirmwareState& fw = *OwnedState_;
  fw.Screen.assign(kRows, std::u16string(kColumns, u' '));

  SetUpBootServices(fw);
  SetUpConsoles(fw);
  SetUpHiiTable(fw);
  SetUpRootBridgeTable(fw);

  InitTableHeader(fw.System.Hdr, EFI_SYSTEM_TABLE_SIGNATURE, sizeof(EFI_SYSTEM_TABLE));
  fw.System.FirmwareRevision = 0x00010000;
  fw.System.BootServices = &fw.Boot;
  fw.System.RuntimeServices = &fw.Runtime;
  fw.System.ConOut = &fw.ConOut;
  fw.System.StdErr = &fw.StdErr;
  fw.System.ConIn = &fw.ConIn;
  fw.ConsoleHandle = InstallProtocol(nullptr, interface_guids::kSimpleTextOutput, &fw.ConOut);
  InstallProtocol(fw.ConsoleHandle, interface_guids::kSimpleTextInput, &fw.ConIn);
  fw.System.ConsoleOutHandle = fw.ConsoleHandle;
  fw.System.ConsoleInHandle = fw.ConsoleHandle;
  fw.System.StandardErrorHandle = fw.ConsoleHandle;

  fw.LoadedImage.Revision = EFI_IMAGE_INFORMATION_REVISION;
  fw.LoadedImage.SystemTable = &fw.System;
  fw.Image = InstallProtocol(nullptr, kLoadedImageGuid, &fw.LoadedImage);

  if (Options.InstallHii) InstallHii();
  if (Options.InstallRootBridge) InstallRootBridge();
}

void Firmware::InstallStatusCode() {
  InstallProtocol(nullptr, interface_guids::kStatusCodeRuntime, &OwnedState_->StatusCode);
}

Firmware::~Firmware() {
  StatusCodes();  // the handler sees every queued report, read by the test or not
  CheckPoolAtTeardown();
  if (gCurrent == this) gCurrent = nullptr;
  for (void (*reset)() : StateResets()) reset();
}

Firmware& Firmware::Current() {
  if (gCurrent == nullptr) {
    std::fprintf(stderr, "simulated firmware: a firmware service was called with none live\n");
    std::abort();
  }
  return *gCurrent;
}

Firmware* Firmware::CurrentOrNull() { return gCurrent; }

EFI_HANDLE Firmware::ImageHandle() const { return OwnedState_->Image; }
EFI_SYSTEM_TABLE* Firmware::SystemTable() { return &OwnedState_->System; }
EFI_BOOT_SERVICES* Firmware::BootServices() { return &OwnedState_->Boot; }


EFI_STATUS TraceCall(TraceKind Kind, std::string_view Name, EFI_STATUS Status, uint64_t Value,
                     uint64_t Address, std::u16string Text) {
  TraceEntry entry;
  entry.Kind = Kind;
  entry.Name = std::string(Name);
  entry.Status = Status;
  entry.Value = Value;
  entry.Address = Address;
  entry.Text = std::move(Text);
  GlobalTrace().Add(std::move(entry));
  return Status;
}

EFI_STATUS TraceAccess(TraceKind Kind, std::string_view Name, uint64_t Address, size_t Size,
                       uint64_t Value, EFI_STATUS Status) {
  TraceEntry entry;
  entry.Kind = Kind;
  entry.Name = std::string(Name);
  entry.Address = Address;
  entry.Width = uint32_t(Size);
  entry.Value = Value;
  entry.Status = Status;
  GlobalTrace().Add(std::move(entry));
  return Status;
}

}  // namespace sim
