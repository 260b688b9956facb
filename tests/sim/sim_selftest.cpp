// Checks of the simulated firmware where a fault would mislead every other test: the
// open-protocol rules, pool accounting, the handle buffer, HII registration and lookup,
// failure injection, group events, the halt hand-back and the root bridge.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstring>

#include "support/hw_seam.h"
#include "tests/sim/firmware.h"
#include "tests/sim/interface_guids.h"

namespace sim {
namespace {

// A string pack laid out as the drivers lay theirs: header, offset table, strings back to back.
std::vector<uint8_t> StringPack(const std::u16string& Code,
                                const std::vector<std::u16string>& Rest) {
  std::vector<std::u16string> strings{Code};
  strings.insert(strings.end(), Rest.begin(), Rest.end());
  uint32_t offset = uint32_t(sizeof(EFI_HII_STRING_PACK) + 4 * strings.size());
  std::vector<uint32_t> offsets;
  std::vector<uint8_t> text;
  for (const auto& s : strings) {
    offsets.push_back(offset + uint32_t(text.size()));
    for (char16_t c : s) text.insert(text.end(), {uint8_t(c), uint8_t(c >> 8)});
    text.insert(text.end(), {0, 0});
  }
  EFI_HII_STRING_PACK header{};
  header.Header.Length = uint32_t(offset + text.size());
  header.Header.Type = EFI_HII_STRING_PACK_TYPE;
  header.LanguageNameString = offsets[0];
  header.PrintableLanguageName = offsets.size() > 1 ? offsets[1] : offsets[0];
  header.NumStringPointers = uint32_t(strings.size());
  std::vector<uint8_t> bytes(sizeof header);
  std::memcpy(bytes.data(), &header, sizeof header);
  for (uint32_t o : offsets)
    for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(o >> (8 * i)));
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

// Packs back to back, then a 6-byte terminator and 16 zero bytes.
std::vector<uint8_t> PackList(const std::vector<std::vector<uint8_t>>& Packs) {
  std::vector<uint8_t> list;
  for (const auto& p : Packs) list.insert(list.end(), p.begin(), p.end());
  list.insert(list.end(), {0, 0, 0, 0, EFI_HII_STRING_PACK_TYPE, 0});
  list.insert(list.end(), 16, 0);
  return list;
}

const EFI_GUID kPackageGuid = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};

class SimTest : public ::testing::Test {
 protected:
  Firmware fw;
  EFI_BOOT_SERVICES* bs = fw.BootServices();

  // Registers List through NewPack with a block in pool memory, as the drivers do.
  EFI_STATUS Register(const std::vector<uint8_t>& List, FRAMEWORK_HII_HANDLE* Handle,
                      const EFI_GUID* Guid = &kPackageGuid) {
    fw.DeclareReadable(List.data(), List.size());
    EFI_HII_PACKAGES* block = nullptr;
    bs->AllocatePool(EfiBootServicesData, sizeof(EFI_HII_PACKAGES) + 8, (VOID**)&block);
    block->NumberOfPackages = 1;
    block->GuidId = const_cast<EFI_GUID*>(Guid);
    reinterpret_cast<const void**>(block + 1)[0] = List.data();
    EFI_STATUS status = fw.Hii()->NewPack(fw.Hii(), block, Handle);
    bs->FreePool(block);
    return status;
  }

  EFI_STATUS Get(FRAMEWORK_HII_HANDLE Handle, STRING_REF Token, UINTN* Length, CHAR16* Buffer,
                 BOOLEAN Raw = TRUE) {
    return fw.Hii()->GetString(fw.Hii(), Handle, Token, Raw, nullptr, Length, Buffer);
  }
};

TEST_F(SimTest, OpenProtocolByDriverFollowsTheCoreRules) {
  EFI_GUID guid = interface_guids::kPciIo;
  int iface = 0;
  EFI_HANDLE controller = fw.InstallProtocol(nullptr, guid, &iface);
  EFI_HANDLE a = fw.NewHandle(), b = fw.NewHandle();
  void* got = nullptr;

  EXPECT_EQ(bs->OpenProtocol(controller, &guid, &got, a, controller, EFI_OPEN_PROTOCOL_BY_DRIVER),
            EFI_SUCCESS);
  EXPECT_EQ(got, &iface);
  EXPECT_TRUE(fw.IsOpenByDriver(controller, guid, a));
  got = nullptr;
  EXPECT_EQ(bs->OpenProtocol(controller, &guid, &got, a, controller, EFI_OPEN_PROTOCOL_BY_DRIVER),
            EFI_ALREADY_STARTED);
  EXPECT_EQ(got, &iface);
  EXPECT_EQ(bs->OpenProtocol(controller, &guid, &got, b, controller, EFI_OPEN_PROTOCOL_BY_DRIVER),
            EFI_ACCESS_DENIED);
  EXPECT_EQ(fw.OpenCount(controller, guid), 1u);

  EFI_GUID missing = interface_guids::kDevicePath;
  got = &iface;
  EXPECT_EQ(
      bs->OpenProtocol(controller, &missing, &got, a, controller, EFI_OPEN_PROTOCOL_BY_DRIVER),
      EFI_UNSUPPORTED);
  EXPECT_EQ(got, nullptr);

  EXPECT_EQ(bs->CloseProtocol(controller, &guid, b, controller), EFI_NOT_FOUND);
  EXPECT_EQ(bs->CloseProtocol(controller, &guid, a, controller), EFI_SUCCESS);
  EXPECT_EQ(fw.OpenCount(controller, guid), 0u);
  EXPECT_EQ(bs->CloseProtocol(controller, &guid, a, controller), EFI_NOT_FOUND);
  EXPECT_EQ(bs->OpenProtocol(controller, &guid, &got, b, controller, EFI_OPEN_PROTOCOL_BY_DRIVER),
            EFI_SUCCESS);
}

TEST_F(SimTest, PoolCatchesLeaksDoubleFreesAndOverruns) {
  void* p = nullptr;
  ASSERT_EQ(bs->AllocatePool(EfiBootServicesData, 24, &p), EFI_SUCCESS);
  EXPECT_TRUE(fw.IsLive(p));
  EXPECT_EQ(fw.LiveAllocations(), 1u);
  EXPECT_EQ(fw.LiveBytes(), 24u);
  EXPECT_EQ(bs->FreePool(p), EFI_SUCCESS);
  EXPECT_EQ(fw.LiveAllocations(), 0u);
  EXPECT_NONFATAL_FAILURE(EXPECT_EQ(bs->FreePool(p), EFI_INVALID_PARAMETER), "already freed");
  int local = 0;
  EXPECT_NONFATAL_FAILURE(bs->FreePool(&local), "never handed out");

  ASSERT_EQ(bs->AllocatePool(EfiBootServicesData, 8, &p), EFI_SUCCESS);
  static_cast<uint8_t*>(p)[8] = 0;  // one byte past the block
  EXPECT_NONFATAL_FAILURE(bs->FreePool(p), "past the end");
}

TEST_F(SimTest, InjectedAllocationFailureLeavesTheBufferAlone) {
  fw.FailNthCall("AllocatePool", 2, EFI_OUT_OF_RESOURCES);
  void* first = nullptr;
  void* second = &fw;
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 4, &first), EFI_SUCCESS);
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 4, &second), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(second, &fw);
  EXPECT_EQ(fw.AllocationCount(), 1u);
  auto services = GlobalTrace().Of(TraceKind::Service);
  ASSERT_EQ(services.size(), 2u);
  EXPECT_EQ(services[1].Status, EFI_OUT_OF_RESOURCES);
  bs->FreePool(first);
}

TEST_F(SimTest, LocateHandleBufferComesFromThePool) {
  EFI_GUID usb = interface_guids::kUsbIo;
  UINTN count = 7;
  EFI_HANDLE* handles = reinterpret_cast<EFI_HANDLE*>(&fw);
  EXPECT_EQ(bs->LocateHandleBuffer(ByProtocol, &usb, nullptr, &count, &handles), EFI_NOT_FOUND);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(handles, nullptr);

  EFI_HANDLE first = fw.AddUsbDevice(DevicePath().Pci(0, 0x1A).Usb(1).End(), 0x7E2D, 0x0C71);
  EFI_HANDLE second = fw.AddUsbDevice({}, 0x1234, 0x5678);
  ASSERT_EQ(bs->LocateHandleBuffer(ByProtocol, &usb, nullptr, &count, &handles), EFI_SUCCESS);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(handles[0], first);
  EXPECT_EQ(handles[1], second);
  EXPECT_TRUE(fw.IsLive(handles));
  EXPECT_EQ(fw.LiveBlocks().at(0).Origin, "LocateHandleBuffer");

  USB_IO_PROTOCOL* io = nullptr;
  ASSERT_EQ(bs->HandleProtocol(first, &usb, (VOID**)&io), EFI_SUCCESS);
  USB_DEVICE_DESCRIPTOR_RECORD d{};
  EXPECT_EQ(io->UsbGetDeviceDescriptor(io, &d), EFI_SUCCESS);
  EXPECT_EQ((uint32_t(d.IdProduct) << 16) | d.IdVendor, 0x0C717E2Du);
  EFI_GUID path = interface_guids::kDevicePath;
  void* none = &fw;
  EXPECT_EQ(bs->HandleProtocol(second, &path, &none), EFI_UNSUPPORTED);
  EXPECT_EQ(bs->FreePool(handles), EFI_SUCCESS);
}

TEST_F(SimTest, NewPackRejectsWhatTheDatabaseRejects) {
  auto list = PackList({StringPack(u"eng", {u"English", u"x"})});
  FRAMEWORK_HII_HANDLE handle = 0;
  EXPECT_EQ(Register(list, &handle, nullptr), EFI_INVALID_PARAMETER);
  EFI_HII_PACKAGES empty{0, const_cast<EFI_GUID*>(&kPackageGuid)};
  EXPECT_EQ(fw.Hii()->NewPack(fw.Hii(), &empty, &handle), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(fw.HiiPackages().empty());

  EXPECT_EQ(Register(list, &handle), EFI_SUCCESS);
  EXPECT_EQ(handle, 1);
  EXPECT_EQ(Register(list, &handle), EFI_SUCCESS);
  EXPECT_EQ(handle, 2);
  ASSERT_EQ(fw.HiiPackages().size(), 2u);
  EXPECT_EQ(fw.HiiPackages()[0].Bytes.size(), list.size());
}

TEST_F(SimTest, NewPackWalkStopsAtTheProvidedBytes) {
  auto list = PackList({StringPack(u"eng", {u"English"})});
  list.resize(list.size() - 22 + 4);  // the zero Length is there, the 22-byte copy is not
  FRAMEWORK_HII_HANDLE handle = 0;
  EXPECT_NONFATAL_FAILURE(EXPECT_EQ(Register(list, &handle), EFI_INVALID_PARAMETER), "terminator");
}

TEST_F(SimTest, GetStringChoosesTheLanguageAndFallsBackToTheFirstPack) {
  auto list = PackList({StringPack(u"eng", {u"English", u"Halted"}),
                        StringPack(u"frafre", {u"Fran\u00e7ais", u"Arr\u00eat\u00e9"})});
  FRAMEWORK_HII_HANDLE handle = 0;
  ASSERT_EQ(Register(list, &handle), EFI_SUCCESS);
  struct Case {
    std::optional<std::string> Lang;
    std::u16string Expected;
  };
  for (const Case& c :
       {Case{std::nullopt, u"Halted"}, Case{"fra", u"Arr\u00eat\u00e9"},
        Case{"FRE", u"Arr\u00eat\u00e9"}, Case{"chi", u"Halted"}, Case{"fraX", u"Halted"}}) {
    if (c.Lang)
      fw.SetVariable("Lang", std::vector<uint8_t>(c.Lang->begin(), c.Lang->end()));
    else
      fw.RemoveVariable("Lang");
    CHAR16 buffer[64];
    UINTN length = sizeof buffer;
    ASSERT_EQ(Get(handle, 2, &length, buffer), EFI_SUCCESS) << c.Lang.value_or("none");
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buffer)), c.Expected)
        << c.Lang.value_or("none");
    EXPECT_EQ(length, (c.Expected.size() + 1) * 2);
  }
  UINTN length = 64;
  CHAR16 buffer[32];
  EXPECT_EQ(Get(handle, 3, &length, buffer), EFI_INVALID_PARAMETER);
}

TEST_F(SimTest, GetStringLengthsAreBytesWithTheTerminator) {
  std::u16string wide = u"A\uFFF1B\uFFF0C";
  auto list = PackList({StringPack(u"eng", {u"English", wide})});
  FRAMEWORK_HII_HANDLE handle = 0;
  ASSERT_EQ(Register(list, &handle), EFI_SUCCESS);
  CHAR16 buffer[16];
  UINTN length = 11;  // one byte short
  EXPECT_EQ(Get(handle, 2, &length, buffer), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 12u);
  EXPECT_EQ(Get(handle, 2, &length, buffer), EFI_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buffer)), wide);
  length = 12;
  EXPECT_EQ(Get(handle, 2, &length, buffer, FALSE), EFI_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buffer)), u"ABC");
  EXPECT_EQ(length, 8u);

  fw.SetGetStringLength16(true);
  length = 0xABCD000000000004ull;  // the early database sees only the low 16 bits
  EXPECT_EQ(Get(handle, 2, &length, buffer), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 0xABCD00000000000Cull);
}

TEST_F(SimTest, GetStringHookAnswersInsteadOfTheDatabase) {
  fw.GetStringHook = [](const GetStringCall& call) -> std::optional<GetStringReply> {
    if (call.Index != 1) return std::nullopt;
    return GetStringReply{EFI_DEVICE_ERROR, 99, u"zz"};
  };
  CHAR16 buffer[8] = {};
  UINTN length = 4;  // room for "z" and nothing more
  EXPECT_EQ(Get(7, 2, &length, buffer), EFI_DEVICE_ERROR);
  EXPECT_EQ(length, 99u);
  EXPECT_EQ(buffer[0], u'z');
  EXPECT_EQ(buffer[2], 0);
  EXPECT_EQ(Get(7, 2, &length, buffer), EFI_INVALID_PARAMETER);  // unknown handle
}

TEST_F(SimTest, FailureInjectionByNameSuffixAndGlobalIndex) {
  EFI_GUID rb = interface_guids::kPciRootBridgeIo;
  void* iface = &fw;
  fw.FailEveryCall("LocateProtocol", EFI_NOT_FOUND);
  EXPECT_EQ(bs->LocateProtocol(&rb, nullptr, &iface), EFI_NOT_FOUND);
  EXPECT_EQ(iface, nullptr);
  fw.ClearFailures();
  ASSERT_EQ(bs->LocateProtocol(&rb, nullptr, &iface), EFI_SUCCESS);
  auto* bridge = static_cast<EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL*>(iface);

  fw.FailNthCall("Pci.Read", 1, EFI_DEVICE_ERROR);
  UINT16 vendor = 0x1111;
  EXPECT_EQ(
      bridge->Pci.Read(bridge, EfiPciWidthUint16, PciRootBridgeAddress(0, 0x1A, 0, 0), 1, &vendor),
      EFI_DEVICE_ERROR);
  EXPECT_EQ(vendor, 0x1111);

  uint64_t next = fw.ServiceCallCount() + 2;
  fw.FailGlobalCall(next, EFI_ABORTED);
  EXPECT_EQ(bs->Stall(10), EFI_SUCCESS);
  EXPECT_EQ(bs->Stall(20), EFI_ABORTED);
  EXPECT_EQ(fw.StalledMicroseconds(), 10u);
  EXPECT_EQ(fw.CallCount("Stall"), 2u);
}

TEST_F(SimTest, RootBridgeReachesTheConfigurationSpaceAndTracesEachAccess) {
  fw.Config().Set32({0, 0x1A, 0}, 0, 0x3A378086);
  fw.Config().Set8({0, 0x1A, 0}, 0x100, 0x5A);
  auto* rb = fw.RootBridge();
  UINT16 words[2] = {};
  ASSERT_EQ(rb->Pci.Read(rb, EfiPciWidthUint16, PciRootBridgeAddress(0, 0x1A, 0, 0), 2, words),
            EFI_SUCCESS);
  EXPECT_EQ(words[0], 0x8086);
  EXPECT_EQ(words[1], 0x3A37);
  UINT8 extended = 0;
  ASSERT_EQ(rb->Pci.Read(rb, EfiPciWidthUint8,
                         PciRootBridgeAddress(0, 0x1A, 0, 0) | (UINT64(0x100) << 32), 1, &extended),
            EFI_SUCCESS);
  EXPECT_EQ(extended, 0x5A);
  UINT32 absent = 0;
  ASSERT_EQ(rb->Pci.Read(rb, EfiPciWidthUint32, PciRootBridgeAddress(0, 3, 0, 0), 1, &absent),
            EFI_SUCCESS);
  EXPECT_EQ(absent, 0xFFFFFFFFu);

  auto reads = GlobalTrace().Of(TraceKind::ConfigRead);
  ASSERT_EQ(reads.size(), 4u);
  EXPECT_EQ(reads[1].Address, ConfigAddress({0, 0x1A, 0}, 2));
  EXPECT_EQ(reads[1].Value, 0x3A37u);
  EXPECT_EQ(reads[2].Address, ConfigAddress({0, 0x1A, 0}, 0x100));
  EXPECT_EQ(reads[0].Name, "rootbridge");
}

int gNotifyOrder = 0;
void EFIAPI RecordNotify(EFI_EVENT, VOID* Context) { *static_cast<int*>(Context) = ++gNotifyOrder; }
void EFIAPI HaltingNotify(EFI_EVENT, VOID*) {
  for (;;) hw::HaltStep();
}

TEST_F(SimTest, SignalGroupRunsNotifiesByTplThenCreationOrder) {
  gNotifyOrder = 0;
  int callback = 0, notify = 0, other = 0;
  EFI_GUID other_group = kPackageGuid;
  EFI_EVENT e;
  bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordNotify, &callback,
                    &kReadyToBootGroupGuid, &e);
  bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, RecordNotify, &notify, &kReadyToBootGroupGuid,
                    &e);
  bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordNotify, &other, &other_group, &e);
  EXPECT_EQ(fw.SignalGroup(kReadyToBootGroupGuid), 2u);
  EXPECT_EQ(notify, 1);
  EXPECT_EQ(callback, 2);
  EXPECT_EQ(other, 0);
  EXPECT_EQ(fw.Events()[0].Tpl, TPL_CALLBACK);
  EXPECT_TRUE(fw.Events()[0].CreatedEx);
}

TEST_F(SimTest, HaltLoopHandsControlBack) {
  EFI_EVENT e;
  bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, HaltingNotify, nullptr, &kReadyToBootGroupGuid,
                    &e);
  SetHaltPassLimit(3);
  EXPECT_THROW(fw.SignalGroup(kReadyToBootGroupGuid), HaltReached);
  EXPECT_EQ(HaltPasses(), 3u);
  EXPECT_EQ(fw.CurrentTpl(), TPL_APPLICATION);
}

TEST_F(SimTest, ConsoleCallsAreTracedInOrderAndDrawn) {
  auto* out = fw.SystemTable()->ConOut;
  out->SetCursorPosition(out, 2, 1);
  out->OutputString(out, (CHAR16*)u"ab\uFFF1c\r\nd");
  EXPECT_EQ(fw.ScreenRow(1), u"  abc");
  EXPECT_EQ(fw.ScreenRow(2), u"d");
  auto calls = GlobalTrace().Of(TraceKind::Console);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].Name, "SetCursorPosition");
  EXPECT_EQ(calls[0].Address, 2u);
  EXPECT_EQ(calls[1].Text, u"ab\uFFF1c\r\nd");
  EFI_INPUT_KEY key;
  auto* in = fw.SystemTable()->ConIn;
  EXPECT_EQ(in->ReadKeyStroke(in, &key), EFI_NOT_READY);
  fw.QueueKey(u'y');
  EXPECT_EQ(in->ReadKeyStroke(in, &key), EFI_SUCCESS);
  EXPECT_EQ(key.UnicodeChar, u'y');
}

TEST_F(SimTest, UnprovidedServicesFailTheTest) {
  EXPECT_NONFATAL_FAILURE(bs->ConnectController(nullptr, nullptr, nullptr, FALSE),
                          "BootServices.ConnectController");
  USB_IO_PROTOCOL* io = &fw.Usb(fw.AddUsbDevice({}, 1, 2)).Io;
  EXPECT_NONFATAL_FAILURE(io->UsbPortReset(), "UsbIo.UsbPortReset");
}

}  // namespace
}  // namespace sim
