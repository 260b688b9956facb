// The simulated firmware's life cycle, handle database, pool accounting, failure injection
// and the fixture-side queries over them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "tests/sim/firmware_internal.h"

namespace sim {

const EFI_GUID kHiiProtocolGuid = FRAMEWORK_HII_PROTOCOL_GUID;
const EFI_GUID kRootBridgeIoGuid = EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_GUID;
const EFI_GUID kUsbIoGuid = USB_IO_PROTOCOL_GUID;
const EFI_GUID kDevicePathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
const EFI_GUID kReadyToBootGroupGuid = READY_TO_BOOT_EVENT_GROUP_GUID;
const EFI_GUID kGlobalVariableGuid = EFI_GLOBAL_VARIABLE;
const EFI_GUID kLoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
const EFI_GUID kDriverBindingGuid = EFI_DRIVER_BINDING_PROTOCOL_GUID;

namespace {
Firmware* gCurrent = nullptr;
// Bytes after every pool block; a write past the block's end changes them.
constexpr size_t kGuardBytes = 16;
constexpr uint8_t kGuardByte = 0xE7;
constexpr uint8_t kFreshByte = 0xAF;  // new pool memory is not zeroed on real firmware
constexpr uint8_t kFreedByte = 0xDF;
}  // namespace

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

Firmware::Firmware(FirmwareOptions Options) : Impl_(std::make_unique<Impl>(*this)) {
  if (gCurrent != nullptr) ADD_FAILURE() << "two simulated firmware instances are live";
  gCurrent = this;
  GlobalTrace().Clear();
  ResetHalt();
  Impl& fw = *Impl_;
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
  fw.System.StdErr = &fw.ConOut;
  fw.System.ConIn = &fw.ConIn;
  fw.ConsoleHandle = InstallProtocol(nullptr, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID, &fw.ConOut);
  InstallProtocol(fw.ConsoleHandle, EFI_SIMPLE_TEXT_INPUT_PROTOCOL_GUID, &fw.ConIn);
  fw.System.ConsoleOutHandle = fw.ConsoleHandle;
  fw.System.ConsoleInHandle = fw.ConsoleHandle;
  fw.System.StandardErrorHandle = fw.ConsoleHandle;

  fw.LoadedImage.Revision = EFI_IMAGE_INFORMATION_REVISION;
  fw.LoadedImage.SystemTable = &fw.System;
  fw.Image = InstallProtocol(nullptr, kLoadedImageGuid, &fw.LoadedImage);

  if (Options.InstallHii) InstallHii();
  if (Options.InstallRootBridge) InstallRootBridge();
}

Firmware::~Firmware() {
  // Freed blocks had their guard checked when they were freed; their bytes must still be
  // the poison written then.
  for (auto& [address, entry] : Impl_->Pool) {
    const uint8_t* bytes = entry.Storage.get();
    if (entry.Live) {
      for (size_t i = 0; i < kGuardBytes; ++i)
        if (bytes[entry.Block.Size + i] != kGuardByte) {
          ADD_FAILURE() << "a write past the end of the " << entry.Block.Size
                        << "-byte pool block #" << entry.Block.Serial << " (" << entry.Block.Origin
                        << ")";
          break;
        }
      continue;
    }
    for (size_t i = 0; i < entry.Block.Size; ++i)
      if (bytes[i] != kFreedByte) {
        ADD_FAILURE() << "a write to pool block #" << entry.Block.Serial << " ("
                      << entry.Block.Origin << ") after it was freed";
        break;
      }
  }
  if (gCurrent == this) gCurrent = nullptr;
}

Firmware& Firmware::Current() {
  if (gCurrent == nullptr) {
    std::fprintf(stderr, "simulated firmware: a firmware service was called with none live\n");
    std::abort();
  }
  return *gCurrent;
}

Firmware* Firmware::CurrentOrNull() { return gCurrent; }

EFI_HANDLE Firmware::ImageHandle() const { return Impl_->Image; }
EFI_SYSTEM_TABLE* Firmware::SystemTable() { return &Impl_->System; }
EFI_BOOT_SERVICES* Firmware::BootServices() { return &Impl_->Boot; }

// ---------------------------------------------------------------------------------------------
// Handle database.

HandleRecord* Firmware::Impl::FindHandle(EFI_HANDLE Handle) const {
  if (Handle == nullptr) return nullptr;
  for (const auto& record : Handles)
    if (record.get() == Handle) return record.get();
  return nullptr;
}

ProtocolEntry* Firmware::Impl::FindProtocol(EFI_HANDLE Handle, const EFI_GUID& Guid) const {
  HandleRecord* record = FindHandle(Handle);
  if (record == nullptr) return nullptr;
  for (auto& entry : record->Protocols)
    if (SameGuid(entry.Guid, Guid)) return &entry;
  return nullptr;
}

EFI_HANDLE Firmware::NewHandle() {
  auto record = std::make_unique<HandleRecord>();
  record->Id = Impl_->NextHandleId++;
  EFI_HANDLE handle = record.get();
  Impl_->Handles.push_back(std::move(record));
  return handle;
}

EFI_HANDLE Firmware::InstallProtocol(EFI_HANDLE Handle, const EFI_GUID& Guid, void* Interface) {
  if (Handle == nullptr) Handle = NewHandle();
  HandleRecord* record = Impl_->FindHandle(Handle);
  if (record == nullptr) {
    ADD_FAILURE() << "InstallProtocol on a handle the firmware does not know";
    return Handle;
  }
  if (Impl_->FindProtocol(Handle, Guid) != nullptr) {
    ADD_FAILURE() << "protocol installed twice on one handle";
    return Handle;
  }
  record->Protocols.push_back(ProtocolEntry{Guid, Interface, {}});
  return Handle;
}

bool Firmware::UninstallProtocol(EFI_HANDLE Handle, const EFI_GUID& Guid) {
  HandleRecord* record = Impl_->FindHandle(Handle);
  if (record == nullptr) return false;
  for (auto it = record->Protocols.begin(); it != record->Protocols.end(); ++it)
    if (SameGuid(it->Guid, Guid)) {
      record->Protocols.erase(it);
      return true;
    }
  return false;
}

void* Firmware::Protocol(EFI_HANDLE Handle, const EFI_GUID& Guid) const {
  ProtocolEntry* entry = Impl_->FindProtocol(Handle, Guid);
  return entry ? entry->Interface : nullptr;
}

bool Firmware::IsHandle(EFI_HANDLE Handle) const { return Impl_->FindHandle(Handle) != nullptr; }

std::vector<EFI_HANDLE> Firmware::HandlesWith(const EFI_GUID& Guid) const {
  std::vector<EFI_HANDLE> out;
  for (const auto& record : Impl_->Handles)
    if (Impl_->FindProtocol(record.get(), Guid)) out.push_back(record.get());
  return out;
}

uint32_t Firmware::OpenCount(EFI_HANDLE Handle, const EFI_GUID& Guid) const {
  uint32_t count = 0;
  for (const auto& open : Opens(Handle, Guid)) count += open.Count;
  return count;
}

bool Firmware::IsOpenByDriver(EFI_HANDLE Handle, const EFI_GUID& Guid, EFI_HANDLE Agent) const {
  for (const auto& open : Opens(Handle, Guid))
    if (open.Agent == Agent && (open.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER)) return true;
  return false;
}

std::vector<OpenRecord> Firmware::Opens(EFI_HANDLE Handle, const EFI_GUID& Guid) const {
  ProtocolEntry* entry = Impl_->FindProtocol(Handle, Guid);
  return entry ? entry->Opens : std::vector<OpenRecord>{};
}

// ---------------------------------------------------------------------------------------------
// Pool.

void* Firmware::AllocateInternal(size_t Size, const char* Origin) {
  Impl& fw = *Impl_;
  PoolEntry entry;
  entry.Storage = std::make_unique<uint8_t[]>(Size + kGuardBytes);
  std::memset(entry.Storage.get(), kFreshByte, Size);
  std::memset(entry.Storage.get() + Size, kGuardByte, kGuardBytes);
  entry.Block.Pointer = entry.Storage.get();
  entry.Block.Size = Size;
  entry.Block.Serial = ++fw.Allocations;
  entry.Block.Origin = Origin;
  void* pointer = entry.Block.Pointer;
  fw.Pool.emplace(reinterpret_cast<uintptr_t>(pointer), std::move(entry));
  return pointer;
}

PoolEntry* Firmware::Impl::FindPool(const void* Pointer) {
  auto it = Pool.find(reinterpret_cast<uintptr_t>(Pointer));
  return it == Pool.end() ? nullptr : &it->second;
}

bool Firmware::Impl::FreeBlock(void* Pointer, const char* Who) {
  PoolEntry* entry = FindPool(Pointer);
  if (entry == nullptr) {
    ADD_FAILURE() << Who << " of a pointer the pool never handed out";
    return false;
  }
  if (!entry->Live) {
    ADD_FAILURE() << Who << " of pool block #" << entry->Block.Serial << " (" << entry->Block.Origin
                  << "), which was already freed";
    return false;
  }
  const uint8_t* guard = entry->Storage.get() + entry->Block.Size;
  for (size_t i = 0; i < kGuardBytes; ++i)
    if (guard[i] != kGuardByte) {
      ADD_FAILURE() << "a write past the end of the " << entry->Block.Size << "-byte pool block #"
                    << entry->Block.Serial;
      break;
    }
  std::memset(entry->Storage.get(), kFreedByte, entry->Block.Size);
  entry->Live = false;
  ++Frees;
  return true;
}

size_t Firmware::LiveAllocations() const {
  size_t count = 0;
  for (const auto& [address, entry] : Impl_->Pool) count += entry.Live;
  return count;
}

size_t Firmware::LiveBytes() const {
  size_t bytes = 0;
  for (const auto& [address, entry] : Impl_->Pool)
    if (entry.Live) bytes += entry.Block.Size;
  return bytes;
}

uint64_t Firmware::AllocationCount() const { return Impl_->Allocations; }
uint64_t Firmware::FreeCount() const { return Impl_->Frees; }

bool Firmware::IsLive(const void* Pointer) const {
  const PoolEntry* entry = Impl_->FindPool(Pointer);
  return entry != nullptr && entry->Live;
}

std::vector<PoolBlock> Firmware::LiveBlocks() const {
  std::vector<PoolBlock> out;
  for (const auto& [address, entry] : Impl_->Pool)
    if (entry.Live) out.push_back(entry.Block);
  return out;
}

std::string Firmware::DescribeLiveBlocks() const {
  std::ostringstream text;
  for (const auto& block : LiveBlocks())
    text << "#" << block.Serial << " " << block.Size << " bytes from " << block.Origin << "\n";
  return text.str();
}

void Firmware::DeclareReadable(const void* Pointer, size_t Size) {
  Impl_->Readable.emplace_back(static_cast<const uint8_t*>(Pointer), Size);
}

std::optional<size_t> Firmware::ReadableBytesAt(const void* Pointer) const {
  auto p = reinterpret_cast<uintptr_t>(Pointer);
  auto& pool = Impl_->Pool;
  auto it = pool.upper_bound(p);
  if (it != pool.begin()) {
    --it;
    const PoolEntry& entry = it->second;
    if (p >= it->first && p < it->first + entry.Block.Size) {
      if (!entry.Live) {
        ADD_FAILURE() << "a read from pool block #" << entry.Block.Serial << " ("
                      << entry.Block.Origin << ") after it was freed";
        return 0;
      }
      return it->first + entry.Block.Size - p;
    }
  }
  for (const auto& [start, size] : Impl_->Readable) {
    auto s = reinterpret_cast<uintptr_t>(start);
    if (p >= s && p < s + size) return s + size - p;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Events, time, variables (fixture side).

std::vector<EventRecord> Firmware::Events() const {
  std::vector<EventRecord> out;
  for (const auto& event : Impl_->EventList) out.push_back(*event);
  return out;
}

void Firmware::Impl::RunNotify(EventRecord& Event) {
  EFI_TPL saved = Tpl;
  if (Event.Tpl > Tpl) Tpl = Event.Tpl;
  ++Event.NotifyRuns;
  struct Restore {
    EFI_TPL& Tpl;
    EFI_TPL Saved;
    ~Restore() { Tpl = Saved; }
  } restore{Tpl, saved};
  Event.Notify(Event.Event, Event.Context);
}

size_t Firmware::SignalGroup(const EFI_GUID& Group) {
  std::vector<EventRecord*> due;
  for (auto& event : Impl_->EventList)
    if (event->InGroup && !event->Closed && SameGuid(event->Group, Group) &&
        (event->Type & EVT_NOTIFY_SIGNAL) && event->Notify != nullptr)
      due.push_back(event.get());
  std::stable_sort(due.begin(), due.end(),
                   [](const EventRecord* a, const EventRecord* b) { return a->Tpl > b->Tpl; });
  for (EventRecord* event : due) Impl_->RunNotify(*event);
  return due.size();
}

EFI_TPL Firmware::CurrentTpl() const { return Impl_->Tpl; }
uint64_t Firmware::StalledMicroseconds() const { return Impl_->StallTotal; }
std::vector<uint64_t> Firmware::Stalls() const { return Impl_->StallList; }

static VariableKey KeyOf(std::string_view Name, const EFI_GUID& Vendor) {
  VariableKey key;
  key.Name.assign(Name.begin(), Name.end());
  std::memcpy(key.Vendor.data(), &Vendor, sizeof Vendor);
  return key;
}

void Firmware::SetVariable(std::string_view Name, std::vector<uint8_t> Bytes) {
  SetVariable(Name, kGlobalVariableGuid, std::move(Bytes));
}
void Firmware::SetVariable(std::string_view Name, const EFI_GUID& Vendor,
                           std::vector<uint8_t> Bytes) {
  Impl_->Variables[KeyOf(Name, Vendor)] = std::move(Bytes);
}
void Firmware::RemoveVariable(std::string_view Name) { RemoveVariable(Name, kGlobalVariableGuid); }
void Firmware::RemoveVariable(std::string_view Name, const EFI_GUID& Vendor) {
  Impl_->Variables.erase(KeyOf(Name, Vendor));
}
std::optional<std::vector<uint8_t>> Firmware::Variable(std::string_view Name) const {
  auto it = Impl_->Variables.find(KeyOf(Name, kGlobalVariableGuid));
  if (it == Impl_->Variables.end()) return std::nullopt;
  return it->second;
}

// ---------------------------------------------------------------------------------------------
// Failure injection and service accounting.

static bool RuleMatches(std::string_view Rule, std::string_view Name) {
  if (Rule == Name) return true;
  return Name.size() > Rule.size() && Name.ends_with(Rule) &&
         Name[Name.size() - Rule.size() - 1] == '.';
}

void Firmware::FailNthCall(std::string Name, uint64_t Nth, EFI_STATUS Status) {
  if (Nth == 0) ADD_FAILURE() << "FailNthCall counts from 1";
  Impl_->Rules.push_back(FailRule{std::move(Name), Nth, Status, 0});
}

void Firmware::FailEveryCall(std::string Name, EFI_STATUS Status) {
  Impl_->Rules.push_back(FailRule{std::move(Name), 0, Status, 0});
}

void Firmware::FailGlobalCall(uint64_t K, EFI_STATUS Status) {
  Impl_->GlobalFailAt = K;
  Impl_->GlobalFailStatus = Status;
}

void Firmware::ClearFailures() {
  Impl_->Rules.clear();
  Impl_->GlobalFailAt = 0;
}

uint64_t Firmware::ServiceCallCount() const { return Impl_->Calls; }

uint64_t Firmware::CallCount(std::string_view Name) const {
  auto it = Impl_->CallsByName.find(Name);
  return it == Impl_->CallsByName.end() ? 0 : it->second;
}

std::optional<EFI_STATUS> Firmware::EnterService(std::string_view Name) {
  Impl& fw = *Impl_;
  ++fw.Calls;
  auto it = fw.CallsByName.find(Name);
  if (it == fw.CallsByName.end()) it = fw.CallsByName.emplace(std::string(Name), 0).first;
  ++it->second;
  std::optional<EFI_STATUS> result;
  if (fw.GlobalFailAt != 0 && fw.Calls == fw.GlobalFailAt) result = fw.GlobalFailStatus;
  for (auto& rule : fw.Rules) {
    if (!RuleMatches(rule.Name, Name)) continue;
    ++rule.Seen;
    if (!result && (rule.Nth == 0 || rule.Seen == rule.Nth)) result = rule.Status;
  }
  return result;
}

EFI_STATUS Firmware::TraceService(std::string_view Name, EFI_STATUS Status, uint64_t Value,
                                  uint64_t Address, std::u16string Text) {
  return TraceCall(TraceKind::Service, Name, Status, Value, Address, std::move(Text));
}

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
