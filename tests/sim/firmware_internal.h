// The simulated firmware's state, shared by the files that implement its services.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <map>
#include <memory>
#include <utility>

#include "tests/sim/firmware.h"

namespace sim {

struct ProtocolEntry {
  EFI_GUID Guid;
  void* Interface;
  std::vector<OpenRecord> Opens;
};

struct HandleRecord {
  uint64_t Id;
  std::vector<ProtocolEntry> Protocols;
};

struct PoolEntry {
  std::unique_ptr<uint8_t[]> Storage;  // Size bytes, then the guard bytes
  PoolBlock Block;
  bool Live = true;
};

struct FailRule {
  std::string Name;
  uint64_t Nth = 0;  // 0: every matching call
  EFI_STATUS Status = EFI_SUCCESS;
  uint64_t Seen = 0;
};

struct VariableKey {
  std::u16string Name;
  std::array<uint8_t, sizeof(EFI_GUID)> Vendor;
  auto operator<=>(const VariableKey&) const = default;
};

struct Firmware::Impl {
  explicit Impl(Firmware& Owner) : Self(Owner) {}
  Firmware& Self;

  EFI_SYSTEM_TABLE System{};
  EFI_BOOT_SERVICES Boot{};
  EFI_RUNTIME_SERVICES Runtime{};
  SIMPLE_TEXT_OUTPUT_INTERFACE ConOut{};
  SIMPLE_TEXT_OUTPUT_MODE ConOutMode{};
  SIMPLE_INPUT_INTERFACE ConIn{};
  EFI_LOADED_IMAGE_PROTOCOL LoadedImage{};

  // Handles in creation order; an EFI_HANDLE is the address of its record.
  std::vector<std::unique_ptr<HandleRecord>> Handles;
  uint64_t NextHandleId = 1;
  EFI_HANDLE Image = nullptr;
  EFI_HANDLE ConsoleHandle = nullptr;

  // Freed blocks stay (poisoned) until the firmware goes, so that a double free is told apart
  // from a free of a reused address.
  std::map<uintptr_t, PoolEntry> Pool;
  uint64_t Allocations = 0;
  uint64_t Frees = 0;
  std::vector<std::pair<const uint8_t*, size_t>> Readable;

  std::vector<std::unique_ptr<EventRecord>> EventList;
  EFI_TPL Tpl = TPL_APPLICATION;
  std::vector<uint64_t> StallList;
  uint64_t StallTotal = 0;

  std::map<VariableKey, std::vector<uint8_t>> Variables;

  std::u16string ConsoleText;
  std::vector<std::u16string> Screen;
  std::deque<EFI_INPUT_KEY> Keys;

  FRAMEWORK_HII_PROTOCOL HiiTable{};
  EFI_HANDLE HiiHandle = nullptr;
  std::vector<HiiPackageList> HiiLists;
  bool Length16 = false;
  uint64_t GetStringCalls = 0;

  ConfigSpace Config;
  EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL RootBridgeTable{};
  EFI_HANDLE RootBridgeHandle = nullptr;

  std::vector<std::unique_ptr<UsbDevice>> UsbDevices;

  std::vector<FailRule> Rules;
  uint64_t GlobalFailAt = 0;
  EFI_STATUS GlobalFailStatus = EFI_SUCCESS;
  uint64_t Calls = 0;
  std::map<std::string, uint64_t, std::less<>> CallsByName;

  HandleRecord* FindHandle(EFI_HANDLE Handle) const;
  ProtocolEntry* FindProtocol(EFI_HANDLE Handle, const EFI_GUID& Guid) const;
  PoolEntry* FindPool(const void* Pointer);
  // Releases a pool block; false (and a test failure) for an unknown or freed pointer.
  bool FreeBlock(void* Pointer, const char* Who);
  void RunNotify(EventRecord& Event);
};

// Appends one call of Kind (Service or Console) to the trace and returns Status.
EFI_STATUS TraceCall(TraceKind Kind, std::string_view Name, EFI_STATUS Status, uint64_t Value,
                     uint64_t Address, std::u16string Text);

// Appends one hardware access (ConfigRead/Write, IoRead/Write, ...) of Size bytes by the route
// Name ("rootbridge", "pciio") and returns Status.
EFI_STATUS TraceAccess(TraceKind Kind, std::string_view Name, uint64_t Address, size_t Size,
                       uint64_t Value, EFI_STATUS Status);

// Fills Count function-pointer slots with stubs that fail the test as "<Table>.<slot name>".
void FillUnimplemented(void* FirstSlot, size_t Count, const char* Table,
                       const char* const* SlotNames);

void InitTableHeader(EFI_TABLE_HEADER& Header, UINT64 Signature, UINT32 Size);
void SetUpBootServices(Firmware::Impl& Fw);
void SetUpConsoles(Firmware::Impl& Fw);
void SetUpHiiTable(Firmware::Impl& Fw);
void SetUpRootBridgeTable(Firmware::Impl& Fw);
void SetUpUsbTable(UsbDevice& Device);

inline Firmware::Impl& Fw() { return Firmware::Current().Internals(); }

}  // namespace sim
