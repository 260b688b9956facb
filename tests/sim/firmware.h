// The simulated UEFI firmware every host test links: a real system table whose boot services,
// consoles and protocols are C++ fakes that keep state (handles, open protocols, pool, events,
// variables, HII packs) and append every call to the global trace. One instance is live at a
// time; the firmware's C entry points find it through Firmware::Current().
//
//   sim::Firmware fw;                                   // HII and root bridge installed
//   WwanEntry(fw.ImageHandle(), fw.SystemTable());
//   fw.SignalGroup(READY_TO_BOOT_EVENT_GROUP_GUID);
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
#include "tests/sim/device_path.h"
#include "tests/sim/halt.h"
#include "tests/sim/trace.h"

namespace sim {

bool SameGuid(const EFI_GUID& A, const EFI_GUID& B);
// "8BE4DF61-93CA-11D2-AA0D-00E098032B8C": the Text of trace entries for calls taking a GUID.
std::u16string GuidText(const EFI_GUID& Guid);
// Address of a configuration access as traced (root-bridge form; registers above 0xFF in the
// extended-register bits 32..63).
uint64_t ConfigAddress(PciLocation Where, uint16_t Register);

struct OpenRecord {
  EFI_HANDLE Agent = nullptr;
  EFI_HANDLE Controller = nullptr;
  UINT32 Attributes = 0;
  uint32_t Count = 0;
};

struct EventRecord {
  EFI_EVENT Event = nullptr;
  UINT32 Type = 0;
  EFI_TPL Tpl = 0;
  EFI_EVENT_NOTIFY Notify = nullptr;
  VOID* Context = nullptr;
  bool InGroup = false;
  EFI_GUID Group{};
  bool CreatedEx = false;  // through CreateEventEx
  bool Closed = false;
  uint32_t NotifyRuns = 0;
};

struct PoolBlock {
  void* Pointer = nullptr;
  size_t Size = 0;
  EFI_MEMORY_TYPE Type = EfiBootServicesData;
  uint64_t Serial = 0;  // 1 for the first allocation of this firmware
  std::string Origin;   // "AllocatePool", "LocateHandleBuffer", ...
};

// One registration accepted by NewPack: the copied list (sum of the pack lengths plus the 22
// bytes read at the terminator) and where its packs start.
struct HiiStringPackView {
  size_t Offset = 0;  // within Bytes
  uint32_t Length = 0;
  uint32_t NumStringPointers = 0;
  std::u16string Languages;  // the codes at LanguageNameString, "eng" or "engfra"
};

struct HiiPackageList {
  FRAMEWORK_HII_HANDLE Handle = 0;
  EFI_GUID Guid{};
  std::vector<uint8_t> Bytes;
  std::vector<HiiStringPackView> Packs;
  uint32_t TokenCount = 0;  // NumStringPointers of the first pack, as the database keeps it
  // The string of Token in pack PackIndex as stored (control characters included), or nullopt
  // when the token or its offset is outside the pack or no NUL ends it inside the pack.
  std::optional<std::u16string> String(size_t PackIndex, uint32_t Token) const;
};

// What a GetString hook sees, and what it may answer instead of the database.
struct GetStringCall {
  uint64_t Index = 0;  // 1 for the first GetString call of this firmware
  FRAMEWORK_HII_HANDLE Handle = 0;
  STRING_REF Token = 0;
  bool Raw = false;
  std::optional<std::u16string> Language;  // 3 characters when the caller passed one
  uint64_t BufferLength = 0;               // as the simulated width reads it
  bool BufferPresent = false;
};

struct GetStringReply {
  EFI_STATUS Status = EFI_SUCCESS;
  std::optional<uint64_t> Length;      // stored into *BufferLength (16 bits in that mode)
  std::optional<std::u16string> Text;  // copied, never past the caller's BufferLength bytes
  bool Terminate = true;               // append a NUL to Text
};

// A USB device handle: its USB I/O table comes first so that This finds the record.
struct UsbDevice {
  USB_IO_PROTOCOL Io;
  EFI_HANDLE Handle = nullptr;
  std::vector<uint8_t> Path;  // the bytes behind EFI_DEVICE_PATH_PROTOCOL (empty: none)
  USB_DEVICE_DESCRIPTOR_RECORD Descriptor{};
  EFI_STATUS DescriptorStatus = EFI_SUCCESS;  // what UsbGetDeviceDescriptor answers
};

struct FirmwareOptions {
  bool InstallHii = true;
  bool InstallRootBridge = true;
};

class Firmware {
 public:
  static constexpr int kColumns = 80;
  static constexpr int kRows = 25;
  static constexpr size_t kDefaultWalkLimit = 64 * 1024;

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

  // ---- Handle and protocol database (fixture side, untraced) ----
  EFI_HANDLE NewHandle();
  // A null Handle makes a new one; returns the handle. Installing a GUID twice on one handle
  // fails the test.
  EFI_HANDLE InstallProtocol(EFI_HANDLE Handle, const EFI_GUID& Guid, void* Interface);
  bool UninstallProtocol(EFI_HANDLE Handle, const EFI_GUID& Guid);
  void* Protocol(EFI_HANDLE Handle, const EFI_GUID& Guid) const;
  bool IsHandle(EFI_HANDLE Handle) const;
  std::vector<EFI_HANDLE> HandlesWith(const EFI_GUID& Guid) const;
  // Opens through OpenProtocol (HandleProtocol does not leave one), summed over agents.
  uint32_t OpenCount(EFI_HANDLE Handle, const EFI_GUID& Guid) const;
  bool IsOpenByDriver(EFI_HANDLE Handle, const EFI_GUID& Guid, EFI_HANDLE Agent) const;
  std::vector<OpenRecord> Opens(EFI_HANDLE Handle, const EFI_GUID& Guid) const;

  // ---- Pool ----
  size_t LiveAllocations() const;
  size_t LiveBytes() const;
  uint64_t AllocationCount() const;  // every successful allocation so far
  uint64_t FreeCount() const;
  bool IsLive(const void* Pointer) const;
  std::vector<PoolBlock> LiveBlocks() const;
  std::string DescribeLiveBlocks() const;
  // Pool memory handed out by the firmware itself (e.g. a handle buffer); counted as live.
  void* AllocateInternal(size_t Size, const char* Origin);
  // Marks bytes the code under test owns (e.g. a static pack list) so that walks over them
  // are bounded exactly; pool blocks are known anyway.
  void DeclareReadable(const void* Pointer, size_t Size);
  // Readable bytes from Pointer to the end of its live pool block or declared region; nullopt
  // when the pointer is in neither. Reading from a freed block fails the test.
  std::optional<size_t> ReadableBytesAt(const void* Pointer) const;

  // ---- Events, TPL, time ----
  std::vector<EventRecord> Events() const;
  // Runs the notify of every open signal event in the group (higher TPL first, then creation
  // order); returns how many ran. A notify that halts throws HaltReached through here.
  size_t SignalGroup(const EFI_GUID& Group);
  EFI_TPL CurrentTpl() const;
  uint64_t StalledMicroseconds() const;
  std::vector<uint64_t> Stalls() const;

  // ---- Variables (name as ASCII, vendor defaults to the EFI global variable GUID) ----
  void SetVariable(std::string_view Name, std::vector<uint8_t> Bytes);
  void SetVariable(std::string_view Name, const EFI_GUID& Vendor, std::vector<uint8_t> Bytes);
  void RemoveVariable(std::string_view Name);
  void RemoveVariable(std::string_view Name, const EFI_GUID& Vendor);
  std::optional<std::vector<uint8_t>> Variable(std::string_view Name) const;

  // ---- Consoles ----
  std::u16string ConsoleText() const;       // every OutputString text, concatenated as passed
  std::u16string ScreenRow(int Row) const;  // the row with trailing blanks removed
  const SIMPLE_TEXT_OUTPUT_MODE& ConsoleMode() const;
  void QueueKey(EFI_INPUT_KEY Key);
  void QueueKey(char16_t Character);
  size_t QueuedKeys() const;

  // ---- Framework HII database ----
  void InstallHii();
  void UninstallHii();
  bool HiiInstalled() const;
  FRAMEWORK_HII_PROTOCOL* Hii();
  const std::vector<HiiPackageList>& HiiPackages() const;
  const HiiPackageList* HiiPackage(FRAMEWORK_HII_HANDLE Handle) const;
  // The early database variant: reads and writes only the low 16 bits of *BufferLength.
  void SetGetStringLength16(bool Enabled);
  // Asked first on every GetString that was not failed by injection; nullopt lets the database
  // answer.
  std::function<std::optional<GetStringReply>(const GetStringCall&)> GetStringHook;
  // Upper bound of a NewPack walk when the packs lie in memory the firmware does not know.
  size_t NewPackWalkLimit = kDefaultWalkLimit;

  // ---- PCI root bridge over the configuration-space model ----
  ConfigSpace& Config();
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL* RootBridge();
  EFI_HANDLE RootBridgeHandle() const;  // null when not installed
  void InstallRootBridge();
  void UninstallRootBridge();
  // Io.Read/Io.Write of the root bridge land here (Width in bytes). Defaults: reads give all
  // ones, writes are dropped. A write is traced before it is passed on, a read after it
  // returns.
  std::function<uint32_t(uint16_t Port, int Width)> RootBridgePortRead;
  std::function<void(uint16_t Port, int Width, uint32_t Value)> RootBridgePortWrite;

  // ---- USB I/O handles ----
  // Installs EFI_DEVICE_PATH_PROTOCOL (the bytes, unless empty) and USB_IO_PROTOCOL on a new
  // handle, with a device descriptor carrying Vendor and Product.
  EFI_HANDLE AddUsbDevice(std::vector<uint8_t> DevicePathBytes, uint16_t Vendor, uint16_t Product);
  UsbDevice& Usb(EFI_HANDLE Handle);

  // ---- Failure injection ----
  // Name is a service ("LocateProtocol", "AllocatePool", "GetString", "OutputString",
  // "UsbGetDeviceDescriptor") or a protocol member; "Pci.Read" also matches any qualified
  // name ending in ".Pci.Read" ("RootBridge.Pci.Read"). Nth counts matching calls from the
  // moment the rule is set, from 1.
  void FailNthCall(std::string Name, uint64_t Nth, EFI_STATUS Status);
  void FailEveryCall(std::string Name, EFI_STATUS Status);
  // Fails the K-th service call of this firmware (counted from 1), whatever it is.
  void FailGlobalCall(uint64_t K, EFI_STATUS Status);
  void ClearFailures();
  uint64_t ServiceCallCount() const;
  uint64_t CallCount(std::string_view Name) const;  // exact name

  // For every simulated service, including those of other sim files: counts the call and
  // returns the injected status when this call must fail.
  std::optional<EFI_STATUS> EnterService(std::string_view Name);
  // Appends a Service entry and returns Status.
  EFI_STATUS TraceService(std::string_view Name, EFI_STATUS Status, uint64_t Value = 0,
                          uint64_t Address = 0, std::u16string Text = {});

  struct Impl;
  Impl& Internals() { return *Impl_; }

 private:
  std::unique_ptr<Impl> Impl_;
};

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
