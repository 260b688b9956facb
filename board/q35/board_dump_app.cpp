// Prints what the drivers left behind, one line per value, for a scenario to check:
//   record                     the setup-record fields the drivers read and write
//   station                    the station-address block
//   pci BB:DD.F REG [8|16|32]  a configuration register through the PCI root bridge
//   io PORT [8|16|32]          an I/O port
//   image GUID OFFSET COUNT    COUNT bytes at a file offset of the loaded image of the firmware
//                              file GUID (8-4-4-4-12 digits), 16 to a line
// Several requests may follow one another on one command line. Numbers are hexadecimal.
// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "board/q35/console_text.h"
#include "support/hw_seam.h"
#include "tests/sim/interface_constants.h"
#include "tests/sim/interface_guids.h"

namespace {

using board::AppendHex;
using board::AppendText;
using board::PrintLine;
using board::TextLine;

struct RecordField {
  const char16_t *Name;
  UINT16 Offset;
  UINT8 Bytes;
};

namespace ic = interface_constants;
constexpr RecordField RECORD_FIELDS[] = {
    {u"PegAspmOption", ic::kPegAspmOption, 1},
    {u"LanPhyOption", ic::kLanPhyOption, 1},
    {u"WlanSlotFlags", ic::kWlanSlotFlags, 1},
    {u"WlanChipId", ic::kWlanChipId, 4},
    {u"WlanSubsystemId", ic::kWlanSubsystemId, 4},
    {u"WlanStatusA", ic::kWlanStatusA, 1},
    {u"WlanStatusB", ic::kWlanStatusB, 1},
    {u"WlanStatusC", ic::kWlanStatusC, 1},
    {u"LanIsFastEthernet", ic::kLanIsFastEthernet, 1},
    {u"LanStationAddressLow", ic::kLanStationAddressLow, 4},
    {u"LanStationAddressHigh", ic::kLanStationAddressHigh, 4},
};

constexpr UINTN MAX_TOKENS = 32;
constexpr UINTN MAX_TOKEN_LENGTH = 40;

struct Arguments {
  CHAR16 Tokens[MAX_TOKENS][MAX_TOKEN_LENGTH];
  UINTN Count;
};

EFI_SYSTEM_TABLE *gSystemTable;

// Splits the shell's command line (the image's load options) at blanks.
void SplitCommandLine(EFI_HANDLE ImageHandle, Arguments *Args) {
  Args->Count = 0;
  EFI_GUID LoadedImageGuid = interface_guids::kLoadedImage;
  EFI_LOADED_IMAGE_PROTOCOL *LoadedImage = nullptr;
  if (gSystemTable->BootServices->HandleProtocol(ImageHandle, &LoadedImageGuid,
                                                 reinterpret_cast<VOID **>(&LoadedImage)) !=
          EFI_SUCCESS ||
      LoadedImage->LoadOptions == nullptr) {
    return;
  }
  const CHAR16 *Text = static_cast<const CHAR16 *>(LoadedImage->LoadOptions);
  const UINTN Length = LoadedImage->LoadOptionsSize / sizeof(CHAR16);
  UINTN Used = 0;
  for (UINTN Index = 0; Index < Length && Text[Index] != 0; Index++) {
    const bool Blank = Text[Index] == u' ' || Text[Index] == u'\t';
    if (Blank) {
      if (Used != 0) {
        Args->Count++;
        Used = 0;
      }
      continue;
    }
    if (Args->Count == MAX_TOKENS) {
      return;
    }
    if (Used + 1 < MAX_TOKEN_LENGTH) {
      Args->Tokens[Args->Count][Used++] = Text[Index];
      Args->Tokens[Args->Count][Used] = 0;
    }
  }
  if (Used != 0) {
    Args->Count++;
  }
}

bool SameWord(const CHAR16 *Token, const char16_t *Word) {
  for (; *Word != 0; Token++, Word++) {
    CHAR16 Character = *Token;
    if (Character >= u'A' && Character <= u'Z') {
      Character = static_cast<CHAR16>(Character + 0x20);
    }
    if (Character != *Word) {
      return false;
    }
  }
  return *Token == 0;
}

// Parses hexadecimal digits (an optional 0x first) up to End or the end of the token; Next
// receives the first character not taken. False when no digit was found.
bool ParseHex(const CHAR16 *Token, CHAR16 End, UINT64 *Value, const CHAR16 **Next) {
  if (Token[0] == u'0' && (Token[1] == u'x' || Token[1] == u'X')) {
    Token += 2;
  }
  UINT64 Result = 0;
  UINTN Digits = 0;
  for (; *Token != 0 && *Token != End; Token++, Digits++) {
    const CHAR16 C = *Token;
    UINT64 Nibble;
    if (C >= u'0' && C <= u'9') {
      Nibble = C - u'0';
    } else if (C >= u'a' && C <= u'f') {
      Nibble = C - u'a' + 10;
    } else if (C >= u'A' && C <= u'F') {
      Nibble = C - u'A' + 10;
    } else {
      return false;
    }
    Result = (Result << 4) | Nibble;
  }
  *Value = Result;
  if (Next != nullptr) {
    *Next = Token;
  }
  return Digits != 0;
}

// The width operand, if the next token is 8, 16 or 32 (bytes per access); 4 otherwise.
UINTN TakeWidth(const Arguments *Args, UINTN *Index) {
  if (*Index < Args->Count) {
    const CHAR16 *Token = Args->Tokens[*Index];
    UINTN Bytes = SameWord(Token, u"8") ? 1 : SameWord(Token, u"16") ? 2 : SameWord(Token, u"32") ? 4 : 0;
    if (Bytes != 0) {
      (*Index)++;
      return Bytes;
    }
  }
  return 4;
}

void PrintError(const char16_t *Text, const CHAR16 *Token) {
  TextLine Line = {};
  AppendText(&Line, u"board_dump: ");
  AppendText(&Line, Text);
  if (Token != nullptr) {
    AppendText(&Line, u" '");
    AppendText(&Line, reinterpret_cast<const char16_t *>(Token));
    AppendText(&Line, u"'");
  }
  PrintLine(gSystemTable, &Line);
}

// The first instance of a protocol, or null.
template <typename Interface>
Interface *Locate(EFI_GUID Guid) {
  VOID *Found = nullptr;
  if (gSystemTable->BootServices->LocateProtocol(&Guid, nullptr, &Found) != EFI_SUCCESS) {
    return nullptr;
  }
  return static_cast<Interface *>(Found);
}

void DumpRecord() {
  const auto *SetupData = Locate<ic::SetupDataInterface>(interface_guids::kSetupData);
  if (SetupData == nullptr || SetupData->Record == nullptr) {
    PrintError(u"no setup record", nullptr);
    return;
  }
  for (const RecordField &Field : RECORD_FIELDS) {
    UINT32 Value = 0;
    for (UINTN Byte = 0; Byte < Field.Bytes; Byte++) {
      Value |= static_cast<UINT32>(SetupData->Record[Field.Offset + Byte]) << (8 * Byte);
    }
    TextLine Line = {};
    AppendText(&Line, u"record ");
    AppendText(&Line, Field.Name);
    AppendText(&Line, u" [");
    AppendHex(&Line, Field.Offset, 3);
    AppendText(&Line, u"] = ");
    AppendHex(&Line, Value, 2 * Field.Bytes);
    PrintLine(gSystemTable, &Line);
  }
}

void DumpStationAddress() {
  const auto *Station = Locate<UINT8>(interface_guids::kStationAddress);
  if (Station == nullptr) {
    PrintError(u"no station-address protocol", nullptr);
    return;
  }
  TextLine Line = {};
  AppendText(&Line, u"station");
  for (UINTN Index = 0; Index < ic::kStationAddressBlockSize; Index++) {
    AppendText(&Line, u" ");
    AppendHex(&Line, Station[ic::kStationAddressBlock + Index], 2);
  }
  PrintLine(gSystemTable, &Line);
}

// "pci BB:DD.F REG [WIDTH]": one configuration register through the root bridge.
void DumpPci(const Arguments *Args, UINTN *Index) {
  if (*Index + 2 > Args->Count) {
    PrintError(u"pci needs BB:DD.F and a register", nullptr);
    *Index = Args->Count;
    return;
  }
  const CHAR16 *Location = Args->Tokens[(*Index)++];
  const CHAR16 *RegisterToken = Args->Tokens[(*Index)++];
  UINT64 Bus, Device, Function, Register;
  const CHAR16 *Next = nullptr;
  if (!ParseHex(Location, u':', &Bus, &Next) || *Next != u':' ||
      !ParseHex(Next + 1, u'.', &Device, &Next) || *Next != u'.' ||
      !ParseHex(Next + 1, 0, &Function, nullptr) || Bus > 0xFF || Device > 0x1F ||
      Function > 7) {
    PrintError(u"bad PCI location", Location);
    return;
  }
  if (!ParseHex(RegisterToken, 0, &Register, nullptr) || Register > 0xFFF) {
    PrintError(u"bad register", RegisterToken);
    return;
  }
  const UINTN Bytes = TakeWidth(Args, Index);

  auto *RootBridge =
      Locate<EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL>(interface_guids::kPciRootBridgeIo);
  if (RootBridge == nullptr) {
    PrintError(u"no PCI root bridge", nullptr);
    return;
  }
  // Registers above 0xFF go in the extended-register half of the address.
  UINT64 Address = PciRootBridgeAddress(static_cast<UINT8>(Bus), static_cast<UINT8>(Device),
                                        static_cast<UINT8>(Function), 0);
  if (Register > 0xFF) {
    Address |= Register << 32;
  } else {
    Address |= Register;
  }
  const EFI_PCI_ROOT_BRIDGE_IO_PROTOCOL_WIDTH Width =
      Bytes == 1 ? EfiPciWidthUint8 : Bytes == 2 ? EfiPciWidthUint16 : EfiPciWidthUint32;
  UINT32 Value = 0;
  const EFI_STATUS Status = RootBridge->Pci.Read(RootBridge, Width, Address, 1, &Value);

  TextLine Line = {};
  AppendText(&Line, u"pci ");
  AppendText(&Line, reinterpret_cast<const char16_t *>(Location));
  AppendText(&Line, u" [");
  AppendHex(&Line, Register, 3);
  AppendText(&Line, u"] = ");
  if (Status == EFI_SUCCESS) {
    AppendHex(&Line, Value, 2 * Bytes);
  } else {
    AppendText(&Line, u"error ");
    AppendHex(&Line, Status, 16);
  }
  PrintLine(gSystemTable, &Line);
}

// "io PORT [WIDTH]": one read of an I/O port.
void DumpIo(const Arguments *Args, UINTN *Index) {
  if (*Index >= Args->Count) {
    PrintError(u"io needs a port", nullptr);
    return;
  }
  const CHAR16 *PortToken = Args->Tokens[(*Index)++];
  UINT64 Port;
  if (!ParseHex(PortToken, 0, &Port, nullptr) || Port > 0xFFFF) {
    PrintError(u"bad port", PortToken);
    return;
  }
  const UINTN Bytes = TakeWidth(Args, Index);
  const UINT16 Number = static_cast<UINT16>(Port);
  const UINT32 Value = Bytes == 1   ? hw::PortIn8(Number)
                       : Bytes == 2 ? hw::PortIn16(Number)
                                    : hw::PortIn32(Number);
  TextLine Line = {};
  AppendText(&Line, u"io ");
  AppendHex(&Line, Port, 4);
  AppendText(&Line, u" = ");
  AppendHex(&Line, Value, 2 * Bytes);
  PrintLine(gSystemTable, &Line);
}

// "8-4-4-4-12" hexadecimal digits as a GUID.
bool ParseGuid(const CHAR16 *Token, EFI_GUID *Guid) {
  UINT8 Bytes[16] = {};
  UINTN Digits = 0;
  for (; *Token != 0; Token++) {
    if (*Token == u'-') continue;
    const CHAR16 Lower = static_cast<CHAR16>(*Token | 0x20);
    const UINTN Value = *Token >= u'0' && *Token <= u'9' ? *Token - u'0'
                        : Lower >= u'a' && Lower <= u'f' ? Lower - u'a' + 10
                                                          : 16;
    if (Value == 16 || Digits == 32) return false;
    Bytes[Digits / 2] = static_cast<UINT8>(Bytes[Digits / 2] << 4 | Value);
    Digits++;
  }
  Guid->Data1 = static_cast<UINT32>(Bytes[0]) << 24 | Bytes[1] << 16 | Bytes[2] << 8 | Bytes[3];
  Guid->Data2 = static_cast<UINT16>(Bytes[4] << 8 | Bytes[5]);
  Guid->Data3 = static_cast<UINT16>(Bytes[6] << 8 | Bytes[7]);
  for (UINTN Index = 0; Index < 8; Index++) Guid->Data4[Index] = Bytes[8 + Index];
  return Digits == 32;
}

UINT32 Read32(const UINT8 *At) { return At[0] | At[1] << 8 | At[2] << 16 | static_cast<UINT32>(At[3]) << 24; }

// The loaded image whose device path names the firmware file FileGuid, or null.
const UINT8 *FindLoadedImage(const EFI_GUID &FileGuid) {
  EFI_GUID LoadedImageGuid = interface_guids::kLoadedImage;
  UINTN Count = 0;
  EFI_HANDLE *Handles = nullptr;
  if (gSystemTable->BootServices->LocateHandleBuffer(ByProtocol, &LoadedImageGuid, nullptr, &Count,
                                                     &Handles) != EFI_SUCCESS) {
    return nullptr;
  }
  const UINT8 *Found = nullptr;
  for (UINTN Index = 0; Index < Count && Found == nullptr; Index++) {
    EFI_LOADED_IMAGE_PROTOCOL *Image = nullptr;
    if (gSystemTable->BootServices->HandleProtocol(Handles[Index], &LoadedImageGuid,
                                                   reinterpret_cast<VOID **>(&Image)) != EFI_SUCCESS) {
      continue;
    }
    // Device path nodes up to the end node; the firmware-file node (media, subtype 6) holds
    // the file's GUID after its 4-byte header.
    const UINT8 *Node = reinterpret_cast<const UINT8 *>(Image->FilePath);
    for (UINTN Length; Node != nullptr && Node[0] != 0x7F; Node += Length) {
      Length = Node[2] | Node[3] << 8;
      if (Length < 4) break;
      const UINT8 *Want = reinterpret_cast<const UINT8 *>(&FileGuid);
      bool Same = Node[0] == 4 && Node[1] == 6 && Length >= 20;
      for (UINTN Byte = 0; Same && Byte < 16; Byte++) Same = Node[4 + Byte] == Want[Byte];
      if (Same) Found = static_cast<const UINT8 *>(Image->ImageBase);
    }
  }
  gSystemTable->BootServices->FreePool(Handles);
  return Found;
}

// "image GUID OFFSET COUNT": the file offset is mapped through the loaded image's section
// table (PointerToRawData to VirtualAddress), so what prints is what the driver reads.
void DumpImage(const Arguments *Args, UINTN *Index) {
  if (*Index + 3 > Args->Count) {
    PrintError(u"image needs a file GUID, an offset and a count", nullptr);
    *Index = Args->Count;
    return;
  }
  const CHAR16 *GuidToken = Args->Tokens[(*Index)++];
  EFI_GUID FileGuid;
  UINT64 Offset, Count;
  if (!ParseGuid(GuidToken, &FileGuid) || !ParseHex(Args->Tokens[(*Index)++], 0, &Offset, nullptr) ||
      !ParseHex(Args->Tokens[(*Index)++], 0, &Count, nullptr) || Offset > 0xFFFFFFFF ||
      Count > 0x1000) {
    PrintError(u"bad image request", GuidToken);
    return;
  }
  const UINT8 *Base = FindLoadedImage(FileGuid);
  if (Base == nullptr) {
    PrintError(u"no loaded image of", GuidToken);
    return;
  }
  const UINT8 *Pe = Base + Read32(Base + 0x3C);
  const UINTN Sections = Pe[6] | Pe[7] << 8;
  const UINT8 *Section = Pe + 24 + (Pe[20] | Pe[21] << 8);
  const UINT8 *Data = nullptr;
  for (UINTN Number = 0; Number < Sections && Data == nullptr; Number++, Section += 40) {
    const UINT32 Raw = Read32(Section + 20);
    if (Offset >= Raw && Offset + Count <= static_cast<UINT64>(Raw) + Read32(Section + 16)) {
      Data = Base + Read32(Section + 12) + (Offset - Raw);
    }
  }
  if (Data == nullptr) {
    PrintError(u"offset not inside one section of", GuidToken);
    return;
  }
  for (UINTN Done = 0; Done < Count; Done += 16) {
    TextLine Line = {};
    AppendText(&Line, u"image [");
    AppendHex(&Line, Offset + Done, 4);
    AppendText(&Line, u"] =");
    for (UINTN Byte = Done; Byte < Count && Byte < Done + 16; Byte++) {
      AppendText(&Line, u" ");
      AppendHex(&Line, Data[Byte], 2);
    }
    PrintLine(gSystemTable, &Line);
  }
}

}  // namespace

extern "C" EFI_STATUS EFIAPI BoardDumpEntry(EFI_HANDLE ImageHandle,
                                            EFI_SYSTEM_TABLE *SystemTable) {
  gSystemTable = SystemTable;
  static Arguments Args;
  SplitCommandLine(ImageHandle, &Args);

  // The first word is the program's own name when the shell starts it.
  for (UINTN Index = 0; Index < Args.Count;) {
    const CHAR16 *Word = Args.Tokens[Index++];
    if (SameWord(Word, u"record")) {
      DumpRecord();
    } else if (SameWord(Word, u"station")) {
      DumpStationAddress();
    } else if (SameWord(Word, u"pci")) {
      DumpPci(&Args, &Index);
    } else if (SameWord(Word, u"io")) {
      DumpIo(&Args, &Index);
    } else if (SameWord(Word, u"image")) {
      DumpImage(&Args, &Index);
    } else if (Index != 1) {
      PrintError(u"unknown request", Word);
      return EFI_INVALID_PARAMETER;
    }
  }
  return EFI_SUCCESS;
}
