// The boot-services table: pool, events, the protocol database as the code under test reaches
// it, Stall and the memory helpers. Every call is counted, can be failed by injection, and is
// traced with its status.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <cstring>

#include "tests/sim/firmware_internal.h"
#include "tests/sim/interface_guids.h"

namespace sim {
namespace {

const char* const kBootServiceNames[] = {"RaiseTPL",
                                         "RestoreTPL",
                                         "AllocatePages",
                                         "FreePages",
                                         "GetMemoryMap",
                                         "AllocatePool",
                                         "FreePool",
                                         "CreateEvent",
                                         "SetTimer",
                                         "WaitForEvent",
                                         "SignalEvent",
                                         "CloseEvent",
                                         "CheckEvent",
                                         "InstallProtocolInterface",
                                         "ReinstallProtocolInterface",
                                         "UninstallProtocolInterface",
                                         "HandleProtocol",
                                         "Reserved",
                                         "RegisterProtocolNotify",
                                         "LocateHandle",
                                         "LocateDevicePath",
                                         "InstallConfigurationTable",
                                         "LoadImage",
                                         "StartImage",
                                         "Exit",
                                         "UnloadImage",
                                         "ExitBootServices",
                                         "GetNextMonotonicCount",
                                         "Stall",
                                         "SetWatchdogTimer",
                                         "ConnectController",
                                         "DisconnectController",
                                         "OpenProtocol",
                                         "CloseProtocol",
                                         "OpenProtocolInformation",
                                         "ProtocolsPerHandle",
                                         "LocateHandleBuffer",
                                         "LocateProtocol",
                                         "InstallMultipleProtocolInterfaces",
                                         "UninstallMultipleProtocolInterfaces",
                                         "CalculateCrc32",
                                         "CopyMem",
                                         "SetMem",
                                         "CreateEventEx"};
constexpr size_t kBootServiceSlots = (sizeof(EFI_BOOT_SERVICES) - sizeof(EFI_TABLE_HEADER)) / 8;
static_assert(sizeof(kBootServiceNames) / sizeof(kBootServiceNames[0]) == kBootServiceSlots);

const char* const kRuntimeServiceNames[] = {"GetTime",
                                            "SetTime",
                                            "GetWakeupTime",
                                            "SetWakeupTime",
                                            "SetVirtualAddressMap",
                                            "ConvertPointer",
                                            "GetVariable",
                                            "GetNextVariableName",
                                            "SetVariable",
                                            "GetNextHighMonotonicCount",
                                            "ResetSystem",
                                            "UpdateCapsule",
                                            "QueryCapsuleCapabilities",
                                            "QueryVariableInfo"};
constexpr size_t kRuntimeServiceSlots =
    (sizeof(EFI_RUNTIME_SERVICES) - sizeof(EFI_TABLE_HEADER)) / 8;
static_assert(sizeof(kRuntimeServiceNames) / sizeof(kRuntimeServiceNames[0]) ==
              kRuntimeServiceSlots);

uint64_t Bits(const void* Pointer) { return reinterpret_cast<uintptr_t>(Pointer); }

// ---- TPL (cannot fail: traced, not counted) ----

EFI_TPL EFIAPI RaiseTpl(EFI_TPL NewTpl) {
  auto& fw = Fw();
  EFI_TPL old = fw.Tpl;
  if (NewTpl < old) ADD_FAILURE() << "RaiseTPL to " << NewTpl << " below the current " << old;
  fw.Tpl = NewTpl;
  fw.Self.TraceService("RaiseTPL", EFI_SUCCESS, NewTpl);
  return old;
}

VOID EFIAPI RestoreTpl(EFI_TPL OldTpl) {
  auto& fw = Fw();
  if (OldTpl > fw.Tpl) ADD_FAILURE() << "RestoreTPL to " << OldTpl << " above the current";
  fw.Tpl = OldTpl;
  fw.Self.TraceService("RestoreTPL", EFI_SUCCESS, OldTpl);
}

// ---- Pool ----

EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID** Buffer) {
  auto& fw = Fw();
  if (auto injected = fw.Self.EnterService("AllocatePool"))
    return fw.Self.TraceService("AllocatePool", *injected, Size);
  if (Buffer == nullptr || PoolType >= EfiMaxMemoryType)
    return fw.Self.TraceService("AllocatePool", EFI_INVALID_PARAMETER, Size);
  void* pointer = fw.Self.AllocateInternal(Size, "AllocatePool");
  fw.Pool.find(Bits(pointer))->second.Block.Type = PoolType;
  *Buffer = pointer;
  return fw.Self.TraceService("AllocatePool", EFI_SUCCESS, Size, Bits(pointer));
}

EFI_STATUS EFIAPI FreePool(VOID* Buffer) {
  auto& fw = Fw();
  if (auto injected = fw.Self.EnterService("FreePool"))
    return fw.Self.TraceService("FreePool", *injected, 0, Bits(Buffer));
  EFI_STATUS status = fw.FreeBlock(Buffer, "FreePool") ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
  return fw.Self.TraceService("FreePool", status, 0, Bits(Buffer));
}

// ---- Events ----

EFI_STATUS CreateEventCommon(const char* Name, UINT32 Type, EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify,
                             const VOID* Context, const EFI_GUID* Group, EFI_EVENT* Event) {
  auto& fw = Fw();
  std::u16string group_text = Group ? GuidText(*Group) : std::u16string();
  if (auto injected = fw.Self.EnterService(Name))
    return fw.Self.TraceService(Name, *injected, Type, 0, group_text);
  bool notifies = (Type & (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT)) != 0;
  if (Event == nullptr || (notifies && Notify == nullptr) ||
      (notifies && (Tpl != TPL_CALLBACK && Tpl != TPL_NOTIFY && Tpl != TPL_APPLICATION)))
    return fw.Self.TraceService(Name, EFI_INVALID_PARAMETER, Type, 0, group_text);
  auto record = std::make_unique<EventRecord>();
  record->Event = record.get();
  record->Type = Type;
  record->Tpl = Tpl;
  record->Notify = Notify;
  record->Context = const_cast<VOID*>(Context);
  record->CreatedEx = std::strcmp(Name, "CreateEventEx") == 0;
  if (Group != nullptr) {
    record->InGroup = true;
    record->Group = *Group;
  }
  *Event = record->Event;
  fw.EventList.push_back(std::move(record));
  return fw.Self.TraceService(Name, EFI_SUCCESS, Type, Bits(*Event), group_text);
}

EFI_STATUS EFIAPI CreateEvent(UINT32 Type, EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify, VOID* Context,
                              EFI_EVENT* Event) {
  return CreateEventCommon("CreateEvent", Type, Tpl, Notify, Context, nullptr, Event);
}

EFI_STATUS EFIAPI CreateEventEx(UINT32 Type, EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify,
                                const VOID* Context, const EFI_GUID* Group, EFI_EVENT* Event) {
  return CreateEventCommon("CreateEventEx", Type, Tpl, Notify, Context, Group, Event);
}

// Counts a call on Event; null when it must fail (the failure is traced).
EventRecord* EnterEventCall(const char* Name, EFI_EVENT Event, EFI_STATUS* Failure) {
  auto& fw = Fw();
  std::optional<EFI_STATUS> failure = fw.Self.EnterService(Name);
  EventRecord* found = nullptr;
  for (auto& record : fw.EventList)
    if (record.get() == Event && !record->Closed) found = record.get();
  if (!failure && found == nullptr) failure = EFI_INVALID_PARAMETER;
  if (!failure) return found;
  *Failure = fw.Self.TraceService(Name, *failure, 0, Bits(Event));
  return nullptr;
}

EFI_STATUS EFIAPI SignalEvent(EFI_EVENT Event) {
  EFI_STATUS failure;
  EventRecord* record = EnterEventCall("SignalEvent", Event, &failure);
  if (record == nullptr) return failure;
  auto& fw = Fw();
  fw.Self.TraceService("SignalEvent", EFI_SUCCESS, 0, Bits(Event));
  if (record->InGroup) {
    fw.Self.SignalGroup(record->Group);
  } else if ((record->Type & EVT_NOTIFY_SIGNAL) && record->Notify) {
    fw.RunNotify(*record);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CloseEvent(EFI_EVENT Event) {
  EFI_STATUS failure;
  EventRecord* record = EnterEventCall("CloseEvent", Event, &failure);
  if (record == nullptr) return failure;
  record->Closed = true;
  return Fw().Self.TraceService("CloseEvent", EFI_SUCCESS, 0, Bits(Event));
}

// ---- Protocol database ----

EFI_STATUS EFIAPI InstallProtocolInterface(EFI_HANDLE* Handle, EFI_GUID* Protocol,
                                           EFI_INTERFACE_TYPE InterfaceType, VOID* Interface) {
  auto& fw = Fw();
  const char* name = "InstallProtocolInterface";
  std::u16string text = Protocol ? GuidText(*Protocol) : std::u16string();
  if (auto injected = fw.Self.EnterService(name))
    return fw.Self.TraceService(name, *injected, 0, 0, text);
  if (Handle == nullptr || Protocol == nullptr || InterfaceType != EFI_NATIVE_INTERFACE)
    return fw.Self.TraceService(name, EFI_INVALID_PARAMETER, 0, 0, text);
  if (*Handle != nullptr && fw.FindHandle(*Handle) == nullptr)
    return fw.Self.TraceService(name, EFI_INVALID_PARAMETER, 0, Bits(*Handle), text);
  if (*Handle != nullptr && fw.FindProtocol(*Handle, *Protocol) != nullptr)
    return fw.Self.TraceService(name, EFI_INVALID_PARAMETER, 0, Bits(*Handle), text);
  *Handle = fw.Self.InstallProtocol(*Handle, *Protocol, Interface);
  return fw.Self.TraceService(name, EFI_SUCCESS, Bits(Interface), Bits(*Handle), text);
}

EFI_STATUS EFIAPI UninstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID* Protocol,
                                             VOID* Interface) {
  auto& fw = Fw();
  const char* name = "UninstallProtocolInterface";
  std::u16string text = Protocol ? GuidText(*Protocol) : std::u16string();
  if (auto injected = fw.Self.EnterService(name))
    return fw.Self.TraceService(name, *injected, 0, Bits(Handle), text);
  if (Protocol == nullptr || fw.FindHandle(Handle) == nullptr)
    return fw.Self.TraceService(name, EFI_INVALID_PARAMETER, 0, Bits(Handle), text);
  ProtocolEntry* entry = fw.FindProtocol(Handle, *Protocol);
  if (entry == nullptr || entry->Interface != Interface)
    return fw.Self.TraceService(name, EFI_NOT_FOUND, 0, Bits(Handle), text);
  for (const auto& open : entry->Opens)
    if (open.Attributes & (EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE))
      return fw.Self.TraceService(name, EFI_ACCESS_DENIED, 0, Bits(Handle), text);
  fw.Self.UninstallProtocol(Handle, *Protocol);
  return fw.Self.TraceService(name, EFI_SUCCESS, 0, Bits(Handle), text);
}

EFI_STATUS EFIAPI HandleProtocol(EFI_HANDLE Handle, EFI_GUID* Protocol, VOID** Interface) {
  auto& fw = Fw();
  std::u16string text = Protocol ? GuidText(*Protocol) : std::u16string();
  if (Interface != nullptr) *Interface = nullptr;
  if (auto injected = fw.Self.EnterService("HandleProtocol")) {
    // A failing call that still hands an interface out: only the status may be trusted.
    ProtocolEntry* entry = Protocol && Interface ? fw.FindProtocol(Handle, *Protocol) : nullptr;
    if (entry != nullptr) *Interface = entry->Interface;
    return fw.Self.TraceService("HandleProtocol", *injected, 0, Bits(Handle), text);
  }
  if (Protocol == nullptr || Interface == nullptr || fw.FindHandle(Handle) == nullptr)
    return fw.Self.TraceService("HandleProtocol", EFI_INVALID_PARAMETER, 0, Bits(Handle), text);
  ProtocolEntry* entry = fw.FindProtocol(Handle, *Protocol);
  if (entry == nullptr)
    return fw.Self.TraceService("HandleProtocol", EFI_UNSUPPORTED, 0, Bits(Handle), text);
  *Interface = entry->Interface;
  return fw.Self.TraceService("HandleProtocol", EFI_SUCCESS, Bits(entry->Interface), Bits(Handle),
                              text);
}

bool ValidOpenAttributes(UINT32 Attributes) {
  switch (Attributes) {
    case EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL:
    case EFI_OPEN_PROTOCOL_GET_PROTOCOL:
    case EFI_OPEN_PROTOCOL_TEST_PROTOCOL:
    case EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER:
    case EFI_OPEN_PROTOCOL_BY_DRIVER:
    case EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE:
    case EFI_OPEN_PROTOCOL_EXCLUSIVE:
      return true;
    default:
      return false;
  }
}

// Like the firmware core: the interface comes back on success and on EFI_ALREADY_STARTED, is
// cleared on EFI_UNSUPPORTED, and is left alone on the other errors.
EFI_STATUS EFIAPI OpenProtocol(EFI_HANDLE Handle, EFI_GUID* Protocol, VOID** Interface,
                               EFI_HANDLE Agent, EFI_HANDLE Controller, UINT32 Attributes) {
  auto& fw = Fw();
  std::u16string text = Protocol ? GuidText(*Protocol) : std::u16string();
  auto finish = [&](EFI_STATUS status, ProtocolEntry* entry) {
    if (Interface != nullptr && Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL) {
      if ((status == EFI_SUCCESS || status == EFI_ALREADY_STARTED) && entry)
        *Interface = entry->Interface;
      else if (status == EFI_UNSUPPORTED)
        *Interface = nullptr;
    }
    return fw.Self.TraceService("OpenProtocol", status, Attributes, Bits(Handle), text);
  };
  if (auto injected = fw.Self.EnterService("OpenProtocol")) return finish(*injected, nullptr);
  if (Protocol == nullptr || fw.FindHandle(Handle) == nullptr || !ValidOpenAttributes(Attributes))
    return finish(EFI_INVALID_PARAMETER, nullptr);
  if (Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL && Interface == nullptr)
    return finish(EFI_INVALID_PARAMETER, nullptr);
  bool needs_agent = Attributes != EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL &&
                     Attributes != EFI_OPEN_PROTOCOL_GET_PROTOCOL &&
                     Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL;
  if (needs_agent && fw.FindHandle(Agent) == nullptr) return finish(EFI_INVALID_PARAMETER, nullptr);
  bool needs_controller = Attributes == EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER ||
                          (Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER);
  if (needs_controller && fw.FindHandle(Controller) == nullptr)
    return finish(EFI_INVALID_PARAMETER, nullptr);
  ProtocolEntry* entry = fw.FindProtocol(Handle, *Protocol);
  if (entry == nullptr) return finish(EFI_UNSUPPORTED, nullptr);
  if (Attributes == EFI_OPEN_PROTOCOL_TEST_PROTOCOL) return finish(EFI_SUCCESS, entry);

  bool by_driver = false, exclusive = false;
  for (const auto& open : entry->Opens) {
    bool exact =
        open.Agent == Agent && open.Controller == Controller && open.Attributes == Attributes;
    if (open.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) {
      by_driver = true;
      if (exact) return finish(EFI_ALREADY_STARTED, entry);
    }
    if (open.Attributes & EFI_OPEN_PROTOCOL_EXCLUSIVE) exclusive = true;
  }
  if ((Attributes & (EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE)) &&
      (by_driver || exclusive))
    return finish(EFI_ACCESS_DENIED, entry);

  for (auto& open : entry->Opens)
    if (open.Agent == Agent && open.Controller == Controller && open.Attributes == Attributes) {
      ++open.Count;
      return finish(EFI_SUCCESS, entry);
    }
  entry->Opens.push_back(OpenRecord{Agent, Controller, Attributes, 1});
  return finish(EFI_SUCCESS, entry);
}

EFI_STATUS EFIAPI CloseProtocol(EFI_HANDLE Handle, EFI_GUID* Protocol, EFI_HANDLE Agent,
                                EFI_HANDLE Controller) {
  auto& fw = Fw();
  std::u16string text = Protocol ? GuidText(*Protocol) : std::u16string();
  if (auto injected = fw.Self.EnterService("CloseProtocol"))
    return fw.Self.TraceService("CloseProtocol", *injected, 0, Bits(Handle), text);
  if (Protocol == nullptr || fw.FindHandle(Handle) == nullptr || fw.FindHandle(Agent) == nullptr ||
      (Controller != nullptr && fw.FindHandle(Controller) == nullptr))
    return fw.Self.TraceService("CloseProtocol", EFI_INVALID_PARAMETER, 0, Bits(Handle), text);
  ProtocolEntry* entry = fw.FindProtocol(Handle, *Protocol);
  if (entry == nullptr)
    return fw.Self.TraceService("CloseProtocol", EFI_NOT_FOUND, 0, Bits(Handle), text);
  size_t before = entry->Opens.size();
  std::erase_if(entry->Opens, [&](const OpenRecord& open) {
    return open.Agent == Agent && open.Controller == Controller;
  });
  EFI_STATUS status = entry->Opens.size() == before ? EFI_NOT_FOUND : EFI_SUCCESS;
  return fw.Self.TraceService("CloseProtocol", status, 0, Bits(Handle), text);
}

// The buffer comes from the pool (origin "LocateHandleBuffer"), so a caller that never frees
// it shows up as a live block.
EFI_STATUS EFIAPI LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID* Protocol,
                                     VOID* SearchKey, UINTN* NoHandles, EFI_HANDLE** Buffer) {
  auto& fw = Fw();
  const char* name = "LocateHandleBuffer";
  std::u16string text = Protocol ? GuidText(*Protocol) : std::u16string();
  if (NoHandles != nullptr) *NoHandles = 0;
  if (Buffer != nullptr) *Buffer = nullptr;
  if (auto injected = fw.Self.EnterService(name))
    return fw.Self.TraceService(name, *injected, 0, 0, text);
  if (NoHandles == nullptr || Buffer == nullptr)
    return fw.Self.TraceService(name, EFI_INVALID_PARAMETER, 0, 0, text);
  std::vector<EFI_HANDLE> found;
  if (SearchType == AllHandles) {
    for (const auto& record : fw.Handles)
      if (!record->Protocols.empty()) found.push_back(record.get());
  } else if (SearchType == ByProtocol) {
    if (Protocol == nullptr) return fw.Self.TraceService(name, EFI_INVALID_PARAMETER, 0, 0, text);
    found = fw.Self.HandlesWith(*Protocol);
  } else {
    ADD_FAILURE() << "LocateHandleBuffer search type " << SearchType << " is not simulated";
    return fw.Self.TraceService(name, EFI_UNSUPPORTED, 0, 0, text);
  }
  (void)SearchKey;
  if (found.empty()) return fw.Self.TraceService(name, EFI_NOT_FOUND, 0, 0, text);
  auto* handles = static_cast<EFI_HANDLE*>(
      fw.Self.AllocateInternal(found.size() * sizeof(EFI_HANDLE), "LocateHandleBuffer"));
  std::memcpy(handles, found.data(), found.size() * sizeof(EFI_HANDLE));
  *Buffer = handles;
  *NoHandles = found.size();
  return fw.Self.TraceService(name, EFI_SUCCESS, found.size(), Bits(handles), text);
}

EFI_STATUS EFIAPI LocateProtocol(EFI_GUID* Protocol, VOID* Registration, VOID** Interface) {
  auto& fw = Fw();
  // The DEBUG lines look for the status-code protocol before each line. Like the StdErr they
  // fall back to, that lookup is neither traced nor open to fault injection, so that the
  // decision lines leave every trace and every swept call as they are.
  if (Protocol != nullptr && Interface != nullptr &&
      SameGuid(*Protocol, interface_guids::kStatusCodeRuntime)) {
    *Interface = nullptr;
    for (const auto& record : fw.Handles)
      if (ProtocolEntry* entry = fw.FindProtocol(record.get(), *Protocol)) {
        *Interface = entry->Interface;
        return EFI_SUCCESS;
      }
    return EFI_NOT_FOUND;
  }
  std::u16string text = Protocol ? GuidText(*Protocol) : std::u16string();
  // An injected error clears the interface as the core does; an injected success (or warning)
  // writes nothing, so the interface stays whatever the caller's variable held, as with a
  // firmware that reports success without filling it in.
  if (auto injected = fw.Self.EnterService("LocateProtocol")) {
    if (Interface != nullptr && EFI_ERROR(*injected)) *Interface = nullptr;
    return fw.Self.TraceService("LocateProtocol", *injected, 0, 0, text);
  }
  if (Interface != nullptr) *Interface = nullptr;
  if (Protocol == nullptr || Interface == nullptr)
    return fw.Self.TraceService("LocateProtocol", EFI_INVALID_PARAMETER, 0, 0, text);
  if (Registration != nullptr) ADD_FAILURE() << "LocateProtocol with a registration key";
  for (const auto& record : fw.Handles)
    if (ProtocolEntry* entry = fw.FindProtocol(record.get(), *Protocol)) {
      *Interface = entry->Interface;
      return fw.Self.TraceService("LocateProtocol", EFI_SUCCESS, Bits(entry->Interface),
                                  Bits(record.get()), text);
    }
  return fw.Self.TraceService("LocateProtocol", EFI_NOT_FOUND, 0, 0, text);
}

// ---- Time and memory helpers ----

EFI_STATUS EFIAPI Stall(UINTN Microseconds) {
  auto& fw = Fw();
  if (auto injected = fw.Self.EnterService("Stall"))
    return fw.Self.TraceService("Stall", *injected, Microseconds);
  fw.StallList.push_back(Microseconds);
  fw.StallTotal += Microseconds;
  return fw.Self.TraceService("Stall", EFI_SUCCESS, Microseconds);
}

// CopyMem and SetMem return nothing, so they cannot fail: traced, not counted.
VOID EFIAPI CopyMem(VOID* Destination, VOID* Source, UINTN Length) {
  std::memmove(Destination, Source, Length);
  Fw().Self.TraceService("CopyMem", EFI_SUCCESS, Length, Bits(Destination));
}

VOID EFIAPI SetMem(VOID* Buffer, UINTN Size, UINT8 Value) {
  std::memset(Buffer, Value, Size);
  Fw().Self.TraceService("SetMem", EFI_SUCCESS, Size, Bits(Buffer));
}

// ---- Runtime: variables (the HII database reads "Lang" the same way) ----

EFI_STATUS EFIAPI GetVariable(CHAR16* Name, EFI_GUID* Vendor, UINT32* Attributes, UINTN* DataSize,
                              VOID* Data) {
  auto& fw = Fw();
  if (auto injected = fw.Self.EnterService("GetVariable"))
    return fw.Self.TraceService("GetVariable", *injected);
  if (Name == nullptr || Vendor == nullptr || DataSize == nullptr)
    return fw.Self.TraceService("GetVariable", EFI_INVALID_PARAMETER);
  VariableKey key;
  for (const CHAR16* c = Name; *c; ++c) key.Name.push_back(char16_t(*c));
  std::memcpy(key.Vendor.data(), Vendor, sizeof *Vendor);
  auto it = fw.Variables.find(key);
  if (it == fw.Variables.end())
    return fw.Self.TraceService("GetVariable", EFI_NOT_FOUND, 0, 0, key.Name);
  const auto& bytes = it->second;
  if (*DataSize < bytes.size() || Data == nullptr) {
    *DataSize = bytes.size();
    return fw.Self.TraceService("GetVariable", EFI_BUFFER_TOO_SMALL, bytes.size(), 0, key.Name);
  }
  if (!bytes.empty()) std::memcpy(Data, bytes.data(), bytes.size());
  *DataSize = bytes.size();
  if (Attributes) *Attributes = EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
  return fw.Self.TraceService("GetVariable", EFI_SUCCESS, bytes.size(), 0, key.Name);
}

}  // namespace

void InitTableHeader(EFI_TABLE_HEADER& Header, UINT64 Signature, UINT32 Size) {
  Header.Signature = Signature;
  Header.Revision = (2 << 16) | 70;  // UEFI 2.7
  Header.HeaderSize = Size;
}

void SetUpBootServices(FirmwareState& Fw) {
  EFI_BOOT_SERVICES& bs = Fw.Boot;
  InitTableHeader(bs.Hdr, EFI_BOOT_SERVICES_SIGNATURE, sizeof(EFI_BOOT_SERVICES));
  FillUnimplemented(&bs.RaiseTPL, kBootServiceSlots, "BootServices", kBootServiceNames);
  bs.RaiseTPL = RaiseTpl;
  bs.RestoreTPL = RestoreTpl;
  bs.AllocatePool = AllocatePool;
  bs.FreePool = FreePool;
  bs.CreateEvent = CreateEvent;
  bs.SignalEvent = SignalEvent;
  bs.CloseEvent = CloseEvent;
  bs.InstallProtocolInterface = InstallProtocolInterface;
  bs.UninstallProtocolInterface = UninstallProtocolInterface;
  bs.HandleProtocol = HandleProtocol;
  bs.Stall = Stall;
  bs.OpenProtocol = OpenProtocol;
  bs.CloseProtocol = CloseProtocol;
  bs.LocateHandleBuffer = LocateHandleBuffer;
  bs.LocateProtocol = LocateProtocol;
  bs.CopyMem = CopyMem;
  bs.SetMem = SetMem;
  bs.CreateEventEx = CreateEventEx;

  EFI_RUNTIME_SERVICES& rt = Fw.Runtime;
  InitTableHeader(rt.Hdr, EFI_RUNTIME_SERVICES_SIGNATURE, sizeof(EFI_RUNTIME_SERVICES));
  FillUnimplemented(&rt.GetTime, kRuntimeServiceSlots, "RuntimeServices", kRuntimeServiceNames);
  rt.GetVariable = GetVariable;
}

}  // namespace sim
