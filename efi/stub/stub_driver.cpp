// A stand-in for the Orvale driver, for testing the network-boot loader in
// real firmware without a network: a boot-service driver that publishes the
// OrvaleServiceBinding on a handle of its own, and children whose members
// answer as a WIRL boot would, from canned packets:
//
//   Wirl   1st call: the address 198.18.0.100/24 and a DHCP ACK from 198.18.0.1;
//          every second call after it (a gather): one image-list record, two images
//   Dhcp   publishes a boot-server reply naming image 03000001 and "sample.efi",
//          or, after an explicit selection of 03000002 on 198.18.0.1,
//          "missing.efi"; refuses a caller that did not set BootMode 16 and a
//          WIRL server port, and answers no other server
//   Mtftp  get-size and read of "sample.efi", served from \sample.efi on its
//          volume; any other name: a TFTP error 1 "File not found"
//
// FindOption and GetBootFile answer for the packets above only. The loader's
// boot suite puts this image where the driver would be (tools/run-boot-suite.sh).
#include "../common/volume.h"
#include "include/efi/efi_protocols.h"
#include "include/orvale/orvale_protocol.h"

namespace {

EFI_BOOT_SERVICES *gBs = nullptr;
EFI_GUID kServiceBindingGuid = ORVALE_SERVICE_BINDING_GUID;
EFI_GUID kProtocolGuid = ORVALE_PROTOCOL_GUID;

VOID *gFile = nullptr;  // \sample.efi
UINTN gFileSize = 0;

constexpr UINT8 kServer[4] = {198, 18, 0, 1};
constexpr UINT8 kStation[4] = {198, 18, 0, 100};
constexpr UINT8 kMask[4] = {255, 255, 255, 0};
constexpr UINT8 kSecondImage[4] = {0x03, 0x00, 0x00, 0x02};
constexpr char kServedFile[] = "sample.efi";
constexpr UINTN kOptionsAt = 240;  // after the BOOTP fixed part and the magic cookie

struct Child {
  OrvaleProtocol Protocol;
  OrvaleMode Mode;
  PacketRecord Packets;
  StateRecord State;
  EFI_HANDLE Handle;
  UINTN WirlCalls;
  // Where the canned options sit in the parsed packets, for FindOption and GetBootFile.
  UINT8 *ServerIdAck;
  UINT8 *ServerIdReply;
  UINT8 *SelectedImage;
  UINT8 *BootFile;
  UINT32 BootFileLength;
};

Child *FromThis(OrvaleProtocol *This) { return reinterpret_cast<Child *>(This); }

void Copy(UINT8 *To, const void *From, UINTN Length) {
  const auto *from = static_cast<const UINT8 *>(From);
  for (UINTN i = 0; i < Length; ++i) To[i] = from[i];
}

// Appends option code, length, value at *At; returns where the value went.
UINT8 *PutOption(UINT8 *Packet, UINTN *At, UINT8 Code, const void *Value, UINT8 Length) {
  Packet[(*At)++] = Code;
  Packet[(*At)++] = Length;
  UINT8 *value = Packet + *At;
  Copy(value, Value, Length);
  *At += Length;
  return value;
}

// A BOOTP reply with the magic cookie; the options follow at kOptionsAt.
void StartReply(UINT8 *Packet) {
  Packet[0] = 2;  // BOOTREPLY
  Packet[1] = 1;
  Packet[2] = 6;
  Copy(Packet + 16, kStation, 4);  // yiaddr
  Copy(Packet + 20, kServer, 4);   // siaddr
  const UINT8 cookie[4] = {99, 130, 83, 99};
  Copy(Packet + 236, cookie, 4);
}

EFI_STATUS EFIAPI Start(OrvaleProtocol *This) {
  Child *c = FromThis(This);
  if (c->State.Started) return EFI_ALREADY_STARTED;
  c->State.Started = TRUE;
  c->State.State = 1;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Stop(OrvaleProtocol *This) {
  Child *c = FromThis(This);
  c->State.Started = FALSE;
  c->State.State = 0;
  return EFI_SUCCESS;
}

EFI_STATUS EnsureSlots(Child *c) {
  if (c->Packets.ParsedPackets != nullptr) return EFI_SUCCESS;
  VOID *slots = nullptr;
  const UINTN size = 4 * sizeof(PacketSlot);
  if (EFI_ERROR(gBs->AllocatePool(EfiBootServicesData, size, &slots))) return EFI_OUT_OF_RESOURCES;
  for (UINTN i = 0; i < size; ++i) static_cast<UINT8 *>(slots)[i] = 0;
  c->Packets.ParsedPackets = static_cast<PacketSlot *>(slots);
  return EFI_SUCCESS;
}

void Address(Child *c) {
  Copy(c->Mode.StationIp.v4.Addr, kStation, 4);
  Copy(c->Mode.SubnetMask.v4.Addr, kMask, 4);
  UINT8 *ack = c->Packets.ParsedPackets[0].packet.Raw;
  StartReply(ack);
  UINTN at = kOptionsAt;
  const UINT8 type = 5;
  PutOption(ack, &at, 53, &type, 1);
  c->ServerIdAck = PutOption(ack, &at, 54, kServer, 4);
  ack[at] = 255;
  Copy(c->Packets.DhcpAck.Raw, ack, sizeof(DhcpPacket));
  c->Packets.DhcpAckReceived = TRUE;
  c->Packets.DhcpDiscoverValid = TRUE;
}

EFI_STATUS EFIAPI Wirl(OrvaleProtocol *This) {
  Child *c = FromThis(This);
  if (!c->State.Started) return EFI_NOT_STARTED;
  if (EFI_ERROR(EnsureSlots(c))) return EFI_OUT_OF_RESOURCES;
  const UINTN call = c->WirlCalls++;
  if (call == 0) {
    Address(c);
    return EFI_SUCCESS;
  }
  if (call % 2 != 0) return EFI_SUCCESS;  // a LIST sent
  // A gather: one record, the two images in the boot server's layout.
  const UINT8 images[] = {0x03, 0, 0, 1, 6, 's', 'a', 'm', 'p', 'l', 'e',
                          0x03, 0, 0, 2, 7, 'm', 'i', 's', 's', 'i', 'n', 'g'};
  const UINT32 n = sizeof(images);
  const UINT32 old = c->Packets.ImageListLength;
  VOID *grown = nullptr;
  if (EFI_ERROR(gBs->AllocatePool(EfiBootServicesData, old + 10 + n, &grown))) return EFI_SUCCESS;
  auto *list = static_cast<UINT8 *>(grown);
  if (c->Packets.ImageList != nullptr) {
    Copy(list, c->Packets.ImageList, old);
    gBs->FreePool(c->Packets.ImageList);
  }
  UINT8 *record = list + old;
  Copy(record, kServer, 4);
  const UINT16 port = call % 4 == 2 ? 67 : 7799;
  Copy(record + 4, &port, 2);
  Copy(record + 6, &n, 4);
  Copy(record + 10, images, n);
  c->Packets.ImageList = list;
  c->Packets.ImageListLength = old + 10 + n;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Dhcp(OrvaleProtocol *This, BOOLEAN) {
  Child *c = FromThis(This);
  if (!c->State.Started) return EFI_NOT_STARTED;
  if (EFI_ERROR(EnsureSlots(c))) return EFI_OUT_OF_RESOURCES;
  PacketRecord &r = c->Packets;
  // A caller that did not steer the WIRL boot as the driver needs gets what
  // the driver would give it: no WIRL boot at all.
  if (r.BootMode != ORVALE_BOOT_MODE_WIRL || r.WirlServerPort == 0) return EFI_PROTOCOL_ERROR;
  if (r.AutoSelect == 0 && r.ExplicitSelect == 0) return EFI_INVALID_PARAMETER;
  if (!r.DhcpDiscoverValid) Address(c);
  const bool explicitSelection = r.ExplicitSelect == 1 && r.AutoSelect == 0;
  // An explicit selection names a server that offers the image: ours.
  if (explicitSelection) {
    for (UINTN i = 0; i < 4; ++i) {
      if (r.SelectServer[i] != kServer[i]) return EFI_NO_RESPONSE;
    }
  }
  const auto *image = reinterpret_cast<const UINT8 *>(&r.SelectImage);
  const bool second = explicitSelection && image[0] == kSecondImage[0] && image[1] == kSecondImage[1] &&
                      image[2] == kSecondImage[2] && image[3] == kSecondImage[3];
  UINT8 *reply = r.ParsedPackets[2].packet.Raw;
  StartReply(reply);
  UINTN at = kOptionsAt;
  const UINT8 type = 5;
  PutOption(reply, &at, 53, &type, 1);
  c->ServerIdReply = PutOption(reply, &at, 54, kServer, 4);
  // Option 43 holding sub-option 8 (the selected image).
  UINT8 vendor[6] = {8, 4, 0x03, 0, 0, static_cast<UINT8>(second ? 2 : 1)};
  c->SelectedImage = PutOption(reply, &at, 43, vendor, sizeof(vendor)) + 2;
  const char *name = second ? "missing.efi" : kServedFile;
  UINT8 length = 0;
  while (name[length] != '\0') ++length;
  c->BootFile = PutOption(reply, &at, 67, name, length);
  c->BootFileLength = length;
  reply[at] = 255;
  Copy(r.PxeReply.Raw, reply, sizeof(DhcpPacket));
  r.PxeReplyReceived = TRUE;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FindOption(OrvaleProtocol *This, OptionIndex *Index, UINT8 Code, UINT32 *LengthOut, INT32 *) {
  Child *c = FromThis(This);
  if (!c->State.Started) return EFI_NOT_STARTED;
  PacketSlot *slots = c->Packets.ParsedPackets;
  UINT8 *found = nullptr;
  UINT32 length = 0;
  if (slots != nullptr && Index == &slots[0].options && Code == 54) {
    found = c->ServerIdAck;
    length = 4;
  } else if (slots != nullptr && Index == &slots[2].options && Code == 54) {
    found = c->ServerIdReply;
    length = 4;
  } else if (slots != nullptr && Index == &slots[2].vendorOptions && Code == 8) {
    found = c->SelectedImage;
    length = 4;
  }
  if (found != nullptr && LengthOut != nullptr) *LengthOut = length;
  c->Packets.FindOptionResult = found;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetBootFile(OrvaleProtocol *This, PacketSlot *Slot, UINT32 *LengthOut) {
  Child *c = FromThis(This);
  if (!c->State.Started) return EFI_NOT_STARTED;
  const bool reply = c->Packets.ParsedPackets != nullptr && Slot == &c->Packets.ParsedPackets[2];
  c->Packets.GetBootFileResult = reply ? c->BootFile : nullptr;
  if (reply && LengthOut != nullptr) *LengthOut = c->BootFileLength;
  return EFI_SUCCESS;
}

bool IsServedFile(const UINT8 *Name) {
  for (UINTN i = 0; i < sizeof(kServedFile); ++i) {
    if (Name[i] != static_cast<UINT8>(kServedFile[i])) return false;
  }
  return true;
}

EFI_STATUS EFIAPI Mtftp(OrvaleProtocol *This, EFI_PXE_BASE_CODE_TFTP_OPCODE Operation, VOID *BufferPtr, BOOLEAN,
                        UINT64 *BufferSize, UINTN *BlockSize, EFI_IP_ADDRESS *ServerIp, UINT8 *Filename,
                        EFI_PXE_BASE_CODE_MTFTP_INFO *, BOOLEAN) {
  Child *c = FromThis(This);
  if (!c->State.Started) return EFI_NOT_STARTED;
  if (BufferSize == nullptr || ServerIp == nullptr || Filename == nullptr) return EFI_INVALID_PARAMETER;
  c->State.TftpErrorReceived = FALSE;
  if (gFile == nullptr || !IsServedFile(Filename)) {
    c->State.TftpErrorReceived = TRUE;
    c->State.TftpError.ErrorCode = 1;
    Copy(reinterpret_cast<UINT8 *>(c->State.TftpError.ErrorString), "File not found", 15);
    return EFI_TFTP_ERROR;
  }
  if (BlockSize != nullptr && *BlockSize > 8192) *BlockSize = 8192;
  if (Operation == EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE) {
    *BufferSize = gFileSize;
    return EFI_SUCCESS;
  }
  if (Operation != EFI_PXE_BASE_CODE_TFTP_READ_FILE) return EFI_UNSUPPORTED;
  if (*BufferSize < gFileSize) {
    *BufferSize = gFileSize;
    return EFI_BUFFER_TOO_SMALL;
  }
  if (BufferPtr == nullptr) return EFI_INVALID_PARAMETER;
  Copy(static_cast<UINT8 *>(BufferPtr), gFile, gFileSize);
  *BufferSize = gFileSize;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CreateChild(EFI_SERVICE_BINDING_PROTOCOL *, EFI_HANDLE *ChildHandle) {
  if (ChildHandle == nullptr) return EFI_INVALID_PARAMETER;
  VOID *block = nullptr;
  if (EFI_ERROR(gBs->AllocatePool(EfiBootServicesData, sizeof(Child), &block))) return EFI_OUT_OF_RESOURCES;
  for (UINTN i = 0; i < sizeof(Child); ++i) static_cast<UINT8 *>(block)[i] = 0;
  Child *c = static_cast<Child *>(block);
  c->Protocol.Revision = ORVALE_PROTOCOL_REVISION;
  c->Protocol.Start = Start;
  c->Protocol.Stop = Stop;
  c->Protocol.Dhcp = Dhcp;
  c->Protocol.Wirl = Wirl;
  c->Protocol.FindOption = FindOption;
  c->Protocol.GetBootFile = GetBootFile;
  c->Protocol.Mtftp = Mtftp;
  c->Protocol.Mode = &c->Mode;
  c->Protocol.Packets = &c->Packets;
  c->Protocol.State = &c->State;
  const EFI_STATUS status =
      gBs->InstallProtocolInterface(&c->Handle, &kProtocolGuid, EFI_NATIVE_INTERFACE, &c->Protocol);
  if (EFI_ERROR(status)) {
    gBs->FreePool(c);
    return status;
  }
  *ChildHandle = c->Handle;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI DestroyChild(EFI_SERVICE_BINDING_PROTOCOL *, EFI_HANDLE ChildHandle) {
  VOID *p = nullptr;
  if (EFI_ERROR(gBs->HandleProtocol(ChildHandle, &kProtocolGuid, &p))) return EFI_INVALID_PARAMETER;
  Child *c = static_cast<Child *>(p);
  gBs->UninstallProtocolInterface(ChildHandle, &kProtocolGuid, p);
  if (c->Packets.ParsedPackets != nullptr) gBs->FreePool(c->Packets.ParsedPackets);
  gBs->FreePool(c);
  return EFI_SUCCESS;
}

EFI_SERVICE_BINDING_PROTOCOL gServiceBinding = {CreateChild, DestroyChild};

}  // namespace

extern "C" EFI_STATUS EFIAPI OrvaleStubEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  gBs = SystemTable->BootServices;
  const char *step = nullptr;
  // Without the file every transfer fails with a TFTP error, which the loader reports.
  if (EFI_ERROR(ReadVolumeFile(gBs, ImageHandle, u"\\sample.efi", &gFile, &gFileSize, &step))) gFile = nullptr;
  EFI_HANDLE handle = nullptr;
  return gBs->InstallProtocolInterface(&handle, &kServiceBindingGuid, EFI_NATIVE_INTERFACE, &gServiceBinding);
}
