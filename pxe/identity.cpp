// The PXE client identity: the option template every PXE message starts
// from (options 53, 57, 55, 97, 94, 93 and 60), the machine UUID from the
// SMBIOS type-1 structure (option 97) and the network interface identifier
// (option 94 and the vendor class "PXEClient:Arch:00000:UNDI:003001").
//
// Interface identifier: the EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL of the
// controller, looked up afresh for every packet. A controller without one is
// described as the UEFI specification describes a UNDI interface of the
// current revision: type 1 (UNDI), string "UNDI", version 3.1, so the vendor
// class keeps its 32 characters.
//
// Limitations: architecture 0 (x86 BIOS class) only; SMBIOS 2.x entry points only.
#include "pxe.h"

#include "../dhcp/bootp_wire.h"
#include "../dhcp/codec.h"

UINT8 PxeOptionTemplate[kPxeOptionTemplateSize];

namespace {

constexpr EFI_GUID kNiiGuid = EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL_GUID_31;
constexpr UINT8 kUndiType = 1;
constexpr UINT8 kUndiMajor = 3;
constexpr UINT8 kUndiMinor = 1;
constexpr CHAR8 kUndiString[4] = {'U', 'N', 'D', 'I'};

constexpr UINT8 kParameterRequestList[] = {1,  2,  3,  4,  5,  6,  12, 13, 15, 17,  18,  22,  23,  28,  40,  41,  42, 43,
                                           50, 51, 54, 58, 59, 60, 66, 67, 97, 128, 129, 130, 131, 132, 133, 134, 135};
static_assert(sizeof(kParameterRequestList) == 35, "option 55 carries 35 codes");
constexpr CHAR8 kVendorClassTemplate[] = "PXEClient:Arch:xxxxx:XXXX:yyyxxx";
static_assert(sizeof(kVendorClassTemplate) - 1 == kPxeVendorClassLength, "vendor class of 32 characters");

constexpr UINTN kSmbiosLengthOffset = 0x16;   // structure table length in the 2.x entry point
constexpr UINTN kSmbiosAddressOffset = 0x18;  // structure table address (32-bit physical)
constexpr UINT8 kSmbiosSystemInformation = 1;
constexpr UINT8 kSmbiosHeaderLength = 4;
constexpr UINT8 kSmbiosUuidEnd = 25;  // the UUID field ends at byte 24 of a type-1 structure
constexpr UINTN kSmbiosUuidOffset = 8;

void WriteDecimal(UINT8 *At, UINTN Digits, UINT32 Value) {
  for (UINTN i = Digits; i > 0; --i) {
    At[i - 1] = static_cast<UINT8>('0' + Value % 10);
    Value /= 10;
  }
}

const EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL *InterfaceIdentifier(ProtocolInstance *Instance) {
  ControllerBinding *Binding = Instance->Binding;
  VOID *Found = nullptr;
  EFI_GUID Guid = kNiiGuid;
  if (gBS->OpenProtocol(Binding->ControllerHandle, &Guid, &Found, Binding->DriverBindingHandle,
                        Binding->ControllerHandle, EFI_OPEN_PROTOCOL_GET_PROTOCOL) != EFI_SUCCESS) {
    Found = nullptr;
  }
  Binding->InterfaceIdentifier = static_cast<EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL *>(Found);
  return Binding->InterfaceIdentifier;
}

void SmbiosUuid(UINT8 *Uuid) {
  ZeroBytes(Uuid, 16);
  if (gST == nullptr || gST->ConfigurationTable == nullptr) return;
  for (UINTN i = 0; i < gST->NumberOfTableEntries; ++i) {
    const EFI_CONFIGURATION_TABLE &Entry = gST->ConfigurationTable[i];
    if (!SameBytes(&Entry.VendorGuid, &gSmbiosTableGuid, sizeof(EFI_GUID))) continue;
    const UINT8 *EntryPoint = static_cast<const UINT8 *>(Entry.VendorTable);
    if (EntryPoint == nullptr) return;
    UINT16 Length = 0;
    UINT32 Address = 0;
    CopyBytes(&Length, EntryPoint + kSmbiosLengthOffset, sizeof(Length));
    CopyBytes(&Address, EntryPoint + kSmbiosAddressOffset, sizeof(Address));
    if (Length == 0 || Address == 0) return;
    FindSmbiosUuid(reinterpret_cast<const UINT8 *>(static_cast<UINTN>(Address)), Length, Uuid);
    return;
  }
}

}  // namespace

void FindSmbiosUuid(const UINT8 *Table, UINTN Length, UINT8 *Uuid) {
  ZeroBytes(Uuid, 16);
  UINTN At = 0;
  // Each structure: type, formatted length, handle, formatted area, then its
  // strings, each ending in 0, the set ending in a further 0 (SMBIOS 2.x, 6.1).
  while (At + kSmbiosHeaderLength <= Length) {
    const UINT8 Formatted = Table[At + 1];
    if (Formatted < kSmbiosHeaderLength || Formatted > Length - At) return;
    if (Table[At] == kSmbiosSystemInformation) {
      if (Formatted >= kSmbiosUuidEnd) CopyBytes(Uuid, Table + At + kSmbiosUuidOffset, 16);
      return;
    }
    UINTN Strings = At + Formatted;
    while (Strings + 1 < Length && (Table[Strings] != 0 || Table[Strings + 1] != 0)) ++Strings;
    if (Strings + 1 >= Length) return;
    At = Strings + 2;
  }
}

void BuildPxeOptionTemplate(ProtocolInstance *Instance) {
  UINT8 *T = PxeOptionTemplate;
  UINTN At = 0;
  auto Put = [&](UINT8 Byte) { T[At++] = Byte; };
  Put(99), Put(130), Put(83), Put(99);
  Put(kOptMessageType), Put(1), Put(kDhcpDiscover);
  Put(kOptMaxMessageSize), Put(2), Put(0x05), Put(0xC0);
  Put(kOptParameterList), Put(sizeof(kParameterRequestList));
  for (UINT8 Code : kParameterRequestList) Put(Code);
  Put(kOptClientUuid), Put(17), Put(0);
  At += 16;  // the UUID, filled per packet
  Put(kOptInterfaceId), Put(3);
  At += 3;  // type and version, filled per packet
  Put(kOptClientArch), Put(2), Put(0), Put(0);
  Put(kOptVendorClass), Put(kPxeVendorClassLength);
  for (UINTN i = 0; i < kPxeVendorClassLength; ++i) Put(static_cast<UINT8>(kVendorClassTemplate[i]));
  Put(kOptEnd);
  Instance->PxeIdentityState = kPxeIdentityBuilt;
}

void BuildPxePacket(ProtocolInstance *Instance) {
  UINT8 *P = Instance->DhcpTxPacket->Raw;
  const EFI_SIMPLE_NETWORK_MODE &Snp = Instance->Binding->SnpMode;
  ZeroBytes(P, kDhcpSendLength);
  BootpMessage *Message = BootpOf(Instance->DhcpTxPacket);
  Message->op = kBootpRequest;
  Message->htype = Snp.IfType;
  Message->flags.set(kBootpBroadcastFlag);
  CopyBytes(P + 236, PxeOptionTemplate, kPxeOptionTemplateSize);
  SmbiosUuid(P + kPxeUuidOffset);
  const UINTN HwLength = MinOf<UINTN>(Snp.HwAddressSize, kBootpChaddrSize);
  Message->hlen = static_cast<UINT8>(HwLength);
  CopyBytes(Message->chaddr, Snp.CurrentAddress.Addr, HwLength);

  UINT8 *VendorClass = P + kPxeVendorClassOffset;
  WriteDecimal(VendorClass + 15, 5, 0);
  const EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL *Nii = InterfaceIdentifier(Instance);
  P[kPxeInterfaceIdOffset] = Nii != nullptr ? Nii->Type : kUndiType;
  P[kPxeInterfaceIdOffset + 1] = Nii != nullptr ? Nii->MajorVer : kUndiMajor;
  P[kPxeInterfaceIdOffset + 2] = Nii != nullptr ? Nii->MinorVer : kUndiMinor;
  CopyBytes(VendorClass + 21, Nii != nullptr ? Nii->StringId : kUndiString, 4);
  WriteDecimal(VendorClass + 26, 3, P[kPxeInterfaceIdOffset + 1]);
  WriteDecimal(VendorClass + 29, 3, P[kPxeInterfaceIdOffset + 2]);
}
