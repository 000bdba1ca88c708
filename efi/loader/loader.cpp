// The network-boot loader: a UEFI application that boots the machine through
// the Orvale driver the way a boot manager would. It finds the driver's
// service binding on the NIC (loading \orvale.efi from its own volume and
// connecting the NIC when the firmware has not), creates a child, runs the
// WIRL boot (address, image list, LIST and SELECT) or, when its settings say
// so, the PXE one (PXE DHCP and discovery), fetches the boot file by TFTP (on
// the PXE path by multicast TFTP when the reply offers it), and starts it
// with LoadImage from the buffer and StartImage. A boot file that is a boot
// script (boot_script.h) names a kernel, an initrd and a command
// line instead: the loader fetches both files, serves the initrd through
// LoadFile2 on the initrd media device path and starts the kernel with the
// command line as its LoadOptions.
//
// Every stage prints one line "ORVALE-BOOT <stage> ..."; a failure prints
// "ORVALE-BOOT FAIL <stage> EFI_<status> ..." and ends the run; the last line
// is "ORVALE-BOOT DONE EFI_<status>". Settings come from orvale-boot.cfg
// beside the loader (config.h).
#include "../common/console.h"
#include "../common/handles.h"
#include "../common/volume.h"
#include "boot_script.h"
#include "config.h"
#include "floor.h"
#include "image_list.h"
#include "pxe_reply.h"
#include "include/efi/efi_app.h"
#include "include/orvale/orvale_protocol.h"

namespace {

EFI_SYSTEM_TABLE *gSt = nullptr;
EFI_BOOT_SERVICES *gBs = nullptr;
EFI_HANDLE gSelf = nullptr;

EFI_GUID kOrvaleServiceBindingGuid = ORVALE_SERVICE_BINDING_GUID;
EFI_GUID kOrvaleProtocolGuid = ORVALE_PROTOCOL_GUID;
EFI_GUID kLoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
EFI_GUID kDevicePathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
EFI_GUID kLoadFile2Guid = EFI_LOAD_FILE2_PROTOCOL_GUID;

const CHAR16 kConfigName[] = u"orvale-boot.cfg";
const CHAR16 kDriverName[] = u"orvale.efi";
const CHAR16 kRootDriverPath[] = u"\\orvale.efi";

constexpr UINT8 kOptionServerId = 54;
constexpr UINTN kProxySlot = 1;
constexpr UINT8 kWirlSelectedImage = 8;  // WIRL sub-option: selected boot image identifier
constexpr UINTN kSiaddrOffset = 20;      // BOOTP next-server address
constexpr UINTN kAckSlot = 0;
constexpr UINTN kListReplyWaitUs = 300 * 1000;
constexpr UINT16 kTftpServerPort = 69;
constexpr UINTN kWirlReplySlot = 2;
constexpr UINTN kMaxBootFileName = 255;
constexpr UINTN kMaxConfigProblems = 4;
constexpr UINTN kMaxImagesShown = 8;

Line Report(const char *Stage) { return Line().Text("ORVALE-BOOT ").Text(Stage).Text(" "); }

// The status of a failed stage, named; the caller appends any detail.
Line Failure(const char *Stage, EFI_STATUS Status) {
  return Line().Text("ORVALE-BOOT FAIL ").Text(Stage).Text(" ").EfiStatus(Status);
}

// ---- Clock: the TSC, calibrated against Stall ----

UINT64 gTicksPerMs = 0;

UINT64 ReadTsc() { return __builtin_ia32_rdtsc(); }

void CalibrateClock() {
  const UINT64 start = ReadTsc();
  gBs->Stall(20000);
  gTicksPerMs = (ReadTsc() - start) / 20;
}

UINT64 ElapsedUs(UINT64 StartTicks) {
  if (gTicksPerMs == 0) return 0;
  return (ReadTsc() - StartTicks) * 1000 / gTicksPerMs;
}

// Value / 100 with two decimals.
Line &Hundredths(Line &L, UINT64 Value) {
  L.Dec(Value / 100).Text(".");
  if (Value % 100 < 10) L.Text("0");
  return L.Dec(Value % 100);
}

// ---- Settings ----

void ToWide(const char *Ascii, CHAR16 (&Out)[kVolumePathUnits]) {
  UINTN i = 0;
  for (; Ascii[i] != '\0' && i + 1 < kVolumePathUnits; ++i) Out[i] = static_cast<UINT8>(Ascii[i]);
  Out[i] = 0;
}

void LoadConfig(const CHAR16 *Folder, LoaderConfig *Config) {
  CHAR16 path[kVolumePathUnits];
  VOID *text = nullptr;
  UINTN size = 0;
  const char *step = nullptr;
  EFI_STATUS status = JoinPath(Folder, kConfigName, path) ? ReadVolumeFile(gBs, gSelf, path, &text, &size, &step)
                                                          : EFI_NOT_FOUND;
  if (EFI_ERROR(status)) {
    Report("config").Text("defaults (").Text(Folder, kVolumePathUnits).Text("orvale-boot.cfg: ")
        .EfiStatus(status).Text(")").Emit();
    return;
  }
  ConfigProblem problems[kMaxConfigProblems];
  const UINTN refused =
      ParseLoaderConfig(static_cast<const UINT8 *>(text), size, Config, problems, kMaxConfigProblems);
  gBs->FreePool(text);
  Report("config").Text(path, kVolumePathUnits).Text(" ").Dec(size).Text(" bytes, ").Dec(refused)
      .Text(" lines refused").Emit();
  for (UINTN i = 0; i < refused && i < kMaxConfigProblems; ++i) {
    Report("config").Text("line ").Dec(problems[i].Line).Text(": ").Text(problems[i].Reason).Emit();
  }
}

// ---- Finding the driver ----

EFI_STATUS LoadDriverImage(const CHAR16 *Folder) {
  CHAR16 path[kVolumePathUnits];
  VOID *image = nullptr;
  UINTN size = 0;
  const char *step = nullptr;
  EFI_STATUS status = JoinPath(Folder, kDriverName, path) ? ReadVolumeFile(gBs, gSelf, path, &image, &size, &step)
                                                          : EFI_NOT_FOUND;
  if (status == EFI_NOT_FOUND) {
    JoinPath(u"", kRootDriverPath, path);
    status = ReadVolumeFile(gBs, gSelf, path, &image, &size, &step);
  }
  if (EFI_ERROR(status)) {
    Failure("driver", status).Text(" reading ").Text(kDriverName, 16).Text(": ").Text(step).Emit();
    return status;
  }
  // With its place on the volume, the driver image can find files beside it.
  EFI_DEVICE_PATH_PROTOCOL *filePath = VolumeFilePath(gBs, gSelf, path);
  EFI_HANDLE driver = nullptr;
  status = gBs->LoadImage(FALSE, gSelf, filePath, image, size, &driver);
  gBs->FreePool(image);
  if (filePath != nullptr) gBs->FreePool(filePath);
  if (EFI_ERROR(status)) {
    Failure("driver", status).Text(" LoadImage of ").Text(path, kVolumePathUnits).Emit();
    return status;
  }
  status = gBs->StartImage(driver, nullptr, nullptr);
  if (EFI_ERROR(status)) {
    Failure("driver", status).Text(" StartImage of ").Text(path, kVolumePathUnits).Emit();
    return status;
  }
  Report("driver").Text("loaded ").Text(path, kVolumePathUnits).Text(" (").Dec(size).Text(" bytes)").Emit();
  return EFI_SUCCESS;
}

// The first controller with the Orvale service binding, loading and
// connecting the driver as needed.
EFI_STATUS FindServiceBinding(const CHAR16 *Folder, EFI_SERVICE_BINDING_PROTOCOL **Binding) {
  const char *how = "already bound on the NIC";
  if (CountHandles(gBs, &kOrvaleServiceBindingGuid) == 0) {
    how = "bound after connecting the NIC";
    ConnectNetworkControllers(gBs, &kOrvaleServiceBindingGuid, nullptr, nullptr);
  }
  if (CountHandles(gBs, &kOrvaleServiceBindingGuid) == 0) {
    how = "bound after loading the driver";
    const EFI_STATUS status = LoadDriverImage(Folder);
    if (EFI_ERROR(status)) return status;
    ConnectNetworkControllers(gBs, &kOrvaleServiceBindingGuid, nullptr, nullptr);
  }
  HandleBuffer bindings(gBs, &kOrvaleServiceBindingGuid);
  if (bindings.Count == 0) {
    Failure("driver", EFI_NOT_FOUND).Text(" no NIC offers the Orvale service binding").Emit();
    return EFI_NOT_FOUND;
  }
  const EFI_STATUS status =
      gBs->HandleProtocol(bindings.Handles[0], &kOrvaleServiceBindingGuid, reinterpret_cast<VOID **>(Binding));
  if (EFI_ERROR(status)) {
    Failure("driver", status).Text(" service binding").Emit();
    return status;
  }
  Report("driver").Text(how).Text(", ").Dec(bindings.Count).Text(" controller(s)").Emit();
  return EFI_SUCCESS;
}

// ---- The boot ----

struct Session {
  LoaderConfig Config;
  EFI_SERVICE_BINDING_PROTOCOL *Binding = nullptr;
  EFI_HANDLE Child = nullptr;
  OrvaleProtocol *Orvale = nullptr;
  bool Started = false;
  VOID *File = nullptr;
  UINT64 FileSize = 0;
  EFI_DEVICE_PATH_PROTOCOL *FilePath = nullptr;  // a local image's place on the volume
  char FileName[kMaxBootFileName + 1] = {};
  // The boot file comes from this slot's reply: the boot server's, or on the
  // PXE path without discovery the DHCP or proxy reply itself.
  UINTN BootFileSlot = kWirlReplySlot;
  // A boot script's initrd, served until the kernel has taken it.
  VOID *Initrd = nullptr;
  UINT64 InitrdSize = 0;
  EFI_HANDLE InitrdHandle = nullptr;
  // The DHCP server's identifier, kept when the address is reported: slot 0
  // holds each later reply in turn (the LIST replies among them).
  bool HaveDhcpServer = false;
  UINT8 DhcpServer[4] = {};
  // The reply's multicast TFTP parameters, on the PXE path when it has them.
  bool HaveMtftp = false;
  MtftpParameters Mtftp = {};
};

PacketSlot *Slot(OrvaleProtocol *P, UINTN Index) {
  PacketSlot *slots = P->Packets->ParsedPackets;
  return slots == nullptr ? nullptr : slots + Index;
}

// An option's value through the driver's FindOption; null when absent.
const UINT8 *FindOptionValue(OrvaleProtocol *P, OptionIndex *Index, UINT8 Code, UINT32 *Length) {
  *Length = 0;
  INT32 position = 0;
  if (EFI_ERROR(P->FindOption(P, Index, Code, Length, &position))) return nullptr;
  // The result points at the option's value.
  return static_cast<const UINT8 *>(P->Packets->FindOptionResult);
}

// Option 54 of a parsed packet, if it carries one of at least 4 bytes.
bool ServerIdentifier(OrvaleProtocol *P, PacketSlot *S, UINT8 (&Out)[4]) {
  if (S == nullptr) return false;
  UINT32 length = 0;
  const UINT8 *value = FindOptionValue(P, &S->options, kOptionServerId, &length);
  if (value == nullptr || length < 4) return false;
  for (UINTN i = 0; i < 4; ++i) Out[i] = value[i];
  return true;
}

// Option 54 out of a message's option area itself, for a PXE slot, whose
// parse fills no option index. Every step stays inside the packet.
bool RawServerIdentifier(const DhcpPacket &Packet, UINT8 (&Out)[4]) {
  constexpr UINTN kOptionsOffset = 240;  // after the magic cookie
  UINTN at = kOptionsOffset;
  while (at < sizeof(Packet.Raw)) {
    const UINT8 code = Packet.Raw[at];
    if (code == 255) return false;
    if (code == 0) {
      ++at;
      continue;
    }
    if (at + 1 >= sizeof(Packet.Raw)) return false;
    const UINTN length = Packet.Raw[at + 1];
    if (at + 2 + length > sizeof(Packet.Raw)) return false;
    if (code == kOptionServerId && length == 4) {
      for (UINTN i = 0; i < 4; ++i) Out[i] = Packet.Raw[at + 2 + i];
      return true;
    }
    at += 2 + length;
  }
  return false;
}

bool SameBytes(const UINT8 *A, const UINT8 *B, UINTN Length) {
  for (UINTN i = 0; i < Length; ++i) {
    if (A[i] != B[i]) return false;
  }
  return true;
}

bool IsZero(const UINT8 *Bytes, UINTN Length) {
  for (UINTN i = 0; i < Length; ++i) {
    if (Bytes[i] != 0) return false;
  }
  return true;
}

Line &ImageId(Line &L, const UINT8 *Id) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (UINTN i = 0; i < 4; ++i) {
    const char pair[3] = {kDigits[Id[i] >> 4], kDigits[Id[i] & 0xF], '\0'};
    L.Text(pair);
  }
  return L;
}

Line &AsciiBytes(Line &L, const UINT8 *Text, UINTN Length) {
  for (UINTN i = 0; i < Length; ++i) {
    const char c[2] = {Text[i] >= 0x20 && Text[i] < 0x7F ? static_cast<char>(Text[i]) : '?', '\0'};
    L.Text(c);
  }
  return L;
}

EFI_STATUS CreateAndStart(Session &S) {
  EFI_STATUS status = S.Binding->CreateChild(S.Binding, &S.Child);
  if (EFI_ERROR(status)) {
    S.Child = nullptr;
    Failure("child", status).Text(" CreateChild").Emit();
    return status;
  }
  status = gBs->HandleProtocol(S.Child, &kOrvaleProtocolGuid, reinterpret_cast<VOID **>(&S.Orvale));
  if (EFI_ERROR(status) || S.Orvale == nullptr || S.Orvale->Revision != ORVALE_PROTOCOL_REVISION) {
    S.Orvale = nullptr;
    if (!EFI_ERROR(status)) status = EFI_UNSUPPORTED;
    Failure("child", status).Text(" OrvaleProtocol on the child").Emit();
    return status;
  }
  status = S.Orvale->Start(S.Orvale);
  if (EFI_ERROR(status)) {
    Failure("start", status).Emit();
    return status;
  }
  S.Started = true;
  return EFI_SUCCESS;
}

// BootMode 16 and the WIRL fields the settings ask for.
void SteerWirl(Session &S) {
  PacketRecord *r = S.Orvale->Packets;
  const LoaderConfig &c = S.Config;
  r->BootMode = ORVALE_BOOT_MODE_WIRL;
  r->WirlServerPort = c.ServerPort;
  r->FilterImageKind = c.FilterImageKind;
  r->UseDefaultImage = c.UseDefaultImage;
  r->WirlServer = 0;
  if (c.HaveWirlServer) {
    UINT8 *server = reinterpret_cast<UINT8 *>(&r->WirlServer);
    for (UINTN i = 0; i < 4; ++i) server[i] = c.WirlServer[i];
  }
  r->AutoSelect = 1;
  r->ExplicitSelect = 0;
}

void ReportAddress(Session &S, const char *How) {
  OrvaleProtocol *p = S.Orvale;
  Line line = Report("address");
  line.Ipv4(p->Mode->StationIp.v4.Addr).Text("/").Ipv4(p->Mode->SubnetMask.v4.Addr);
  UINT8 server[4];
  if (ServerIdentifier(p, Slot(p, kAckSlot), server) || RawServerIdentifier(p->Packets->DhcpAck, server)) {
    line.Text(" server ").Ipv4(server);
    S.HaveDhcpServer = true;
    for (UINTN i = 0; i < 4; ++i) S.DhcpServer[i] = server[i];
  }
  line.Text(" (").Text(How).Text(")").Emit();
}

// Prints the image list the Wirl member gathered; the first server that
// offers the explicit image becomes its server when the settings name none.
void ReportImageList(Session &S, UINT8 (&ImageServer)[4], bool *HaveImageServer) {
  const PacketRecord *r = S.Orvale->Packets;
  UINTN offset = 0;
  UINTN records = 0;
  UINTN total = 0;
  ListRecord record;
  while (ReadListRecord(r->ImageList, r->ImageListLength, &offset, &record)) {
    ++records;
    UINTN at = 0;
    UINTN images = 0;
    ImageEntry image;
    while (ReadImageEntry(record.Images, record.ImagesLength, &at, &image)) {
      ++images;
      ++total;
      if (images <= kMaxImagesShown) {
        Line line = Report("offered");
        ImageId(line.Text("server ").Ipv4(record.Server).Text(":").Dec(record.Port).Text(" image "), image.Id);
        AsciiBytes(line.Text(" kind ").Dec(image.Kind).Text(" \""), image.Name, image.NameLength).Text("\"").Emit();
      }
      if (S.Config.ExplicitImage && !*HaveImageServer && SameBytes(image.Id, S.Config.Image, 4)) {
        for (UINTN i = 0; i < 4; ++i) ImageServer[i] = record.Server[i];
        *HaveImageServer = true;
      }
    }
    if (at != record.ImagesLength) {
      Report("offered").Text("server ").Ipv4(record.Server).Text(": ").Dec(record.ImagesLength - at)
          .Text(" list bytes in another layout").Emit();
    }
  }
  Report("images").Dec(total).Text(" offered in ").Dec(records).Text(" list(s) of ").Dec(r->ImageListLength)
      .Text(" bytes").Emit();
}

// The Wirl member step by step: discovery, then LIST rounds (send, gather).
EFI_STATUS GatherImageList(Session &S, UINT8 (&ImageServer)[4], bool *HaveImageServer) {
  OrvaleProtocol *p = S.Orvale;
  EFI_STATUS status = p->Wirl(p);
  if (EFI_ERROR(status)) {
    Failure("dhcp", status).Text(" (Wirl discovery)").Emit();
    return status;
  }
  ReportAddress(S, "Wirl");
  for (UINT32 round = 0; round < S.Config.ListRounds; ++round) {
    const char *const steps[] = {"send", "gather"};
    for (const char *step : steps) {
      // The gathering window is a few tens of milliseconds: give the servers'
      // replies time to arrive before it opens.
      if (step == steps[1]) gBs->Stall(kListReplyWaitUs);
      status = p->Wirl(p);
      if (EFI_ERROR(status)) {
        Failure("list", status).Text(" round ").Dec(round + 1).Text(" ").Text(step).Emit();
        return status;
      }
    }
  }
  ReportImageList(S, ImageServer, HaveImageServer);
  return EFI_SUCCESS;
}

EFI_STATUS WirlBoot(Session &S) {
  OrvaleProtocol *p = S.Orvale;
  SteerWirl(S);
  UINT8 imageServer[4] = {};
  bool haveImageServer = S.Config.HaveImageServer;
  if (haveImageServer) {
    for (UINTN i = 0; i < 4; ++i) imageServer[i] = S.Config.ImageServer[i];
  }
  // An explicit image without a named server takes the DHCP server's
  // identifier, so the discovery runs first through the Wirl member.
  const bool listed = S.Config.ListRounds != 0 || (S.Config.ExplicitImage && !haveImageServer);
  if (listed) {
    const EFI_STATUS status = GatherImageList(S, imageServer, &haveImageServer);
    if (EFI_ERROR(status)) return status;
  }

  if (S.Config.ExplicitImage) {
    PacketRecord *r = p->Packets;
    // Without a named server: the DHCP server, which our boot server also is.
    if (!haveImageServer && S.HaveDhcpServer) {
      haveImageServer = true;
      for (UINTN i = 0; i < 4; ++i) imageServer[i] = S.DhcpServer[i];
    }
    r->AutoSelect = 0;
    r->ExplicitSelect = 1;
    auto *image = reinterpret_cast<UINT8 *>(&r->SelectImage);
    for (UINTN i = 0; i < 4; ++i) {
      image[i] = S.Config.Image[i];
      r->SelectServer[i] = imageServer[i];
    }
    Line line = Report("select");
    ImageId(line.Text("explicit image "), S.Config.Image).Text(" on ").Ipv4(imageServer).Emit();
  }

  const EFI_STATUS status = p->Dhcp(p, FALSE);
  if (EFI_ERROR(status)) {
    Failure("dhcp", status).Text(" (WIRL boot)").Emit();
    return status;
  }
  if (!listed) ReportAddress(S, "Dhcp");

  PacketSlot *reply = Slot(p, kWirlReplySlot);
  if (!p->Packets->PxeReplyReceived || reply == nullptr) {
    Failure("select", EFI_NOT_READY).Text(" no boot server reply published").Emit();
    return EFI_NOT_READY;
  }
  Line line = Report("chosen");
  UINT8 server[4];
  if (ServerIdentifier(p, reply, server)) line.Text("server ").Ipv4(server).Text(" ");
  UINT32 length = 0;
  const UINT8 *selected = FindOptionValue(p, &reply->vendorOptions, kWirlSelectedImage, &length);
  if (selected != nullptr && length >= 4) {
    ImageId(line.Text("image "), selected);
  } else {
    line.Text("image not named in the reply");
  }
  line.Emit();
  return EFI_SUCCESS;
}

// The DHCP or proxy reply's own boot file, without Discover, when it lists no
// boot servers or its discovery control says so (pxe_reply.h).
bool BootFileWithoutDiscovery(Session &S) {
  OrvaleProtocol *p = S.Orvale;
  const UINTN index = p->Packets->ProxyOfferReceived ? kProxySlot : kAckSlot;
  const DirectBoot direct = BootsWithoutDiscovery(Slot(p, index));
  if (direct == DirectBoot::No) return false;
  S.BootFileSlot = index;
  Report("discover").Text("skipped, boot file of the ").Text(index == kProxySlot ? "proxy" : "DHCP").Text(" reply ")
      .Text(direct == DirectBoot::NoBootServers ? "(no boot servers)" : "(discovery control 0x08)").Emit();
  return true;
}

// The PXE path: PXE DHCP through the Dhcp member (any BootMode but 16), then
// Discover of the configured boot server type, by unicast to the configured
// server or as the DHCP replies' discovery control allows. The reply is
// published in the same slot as the WIRL one, so BootFile reads either.
// Without boot servers to discover, the DHCP reply's own boot file.
EFI_STATUS PxeBoot(Session &S) {
  OrvaleProtocol *p = S.Orvale;
  PacketRecord *r = p->Packets;
  if (r->BootMode == ORVALE_BOOT_MODE_WIRL) r->BootMode = 0;
  EFI_STATUS status = p->Dhcp(p, TRUE);
  if (EFI_ERROR(status)) {
    Failure("dhcp", status).Text(" (PXE)").Emit();
    return status;
  }
  ReportAddress(S, r->ProxyOfferReceived ? "PXE+proxy" : "PXE");
  if (!S.Config.HavePxeServer && BootFileWithoutDiscovery(S)) return EFI_SUCCESS;

  EFI_PXE_BASE_CODE_DISCOVER_INFO info{};
  EFI_PXE_BASE_CODE_DISCOVER_INFO *chosen = nullptr;
  if (S.Config.HavePxeServer) {
    info.UseUCast = TRUE;
    info.IpCnt = 1;
    info.SrvList[0].Type = S.Config.PxeServerType;
    for (UINTN i = 0; i < 4; ++i) info.SrvList[0].IpAddr.v4.Addr[i] = S.Config.PxeServer[i];
    chosen = &info;
  }
  UINT16 layer = 0;
  status = p->Discover(p, S.Config.PxeServerType, &layer, FALSE, chosen);
  if (EFI_ERROR(status)) {
    Failure("discover", status).Text(" type ").Dec(S.Config.PxeServerType).Emit();
    return status;
  }
  Report("discover")
      .Text("type ")
      .Dec(S.Config.PxeServerType)
      .Text(" layer ")
      .Dec(layer)
      .Text(" server ")
      .Ipv4(r->LastBootServerIp.v4.Addr)
      .Text(S.Config.HavePxeServer ? " (unicast)" : "")
      .Emit();
  return EFI_SUCCESS;
}

// The boot file name and the server to fetch it from, out of the published
// reply or, without discovery, the DHCP or proxy reply.
EFI_STATUS BootFile(Session &S, EFI_IP_ADDRESS *Server) {
  OrvaleProtocol *p = S.Orvale;
  PacketSlot *reply = Slot(p, S.BootFileSlot);
  const bool direct = S.BootFileSlot != kWirlReplySlot;
  UINT32 length = 0;
  EFI_STATUS status = EFI_SUCCESS;
  const UINT8 *name = nullptr;
  if (direct) {
    // The PXE parse indexes option 67, or the file field standing in for it.
    UINTN recorded = 0;
    name = RecordedValue(reply, reply->dhcpOptionRefs[kRefBootFile], &recorded);
    length = static_cast<UINT32>(recorded);
  } else {
    status = p->GetBootFile(p, reply, &length);
    name = static_cast<const UINT8 *>(p->Packets->GetBootFileResult);
  }
  if (EFI_ERROR(status) || name == nullptr || length == 0) {
    if (!EFI_ERROR(status)) status = EFI_NOT_FOUND;
    Failure("bootfile", status).Text(" no boot file name in the reply").Emit();
    return status;
  }
  // A name the transfer can carry: no NUL inside, at most 255 bytes.
  UINTN n = 0;
  for (; n < length && n < kMaxBootFileName && name[n] != 0; ++n) S.FileName[n] = static_cast<char>(name[n]);
  S.FileName[n] = '\0';

  *Server = EFI_IP_ADDRESS{};
  const UINT8 *siaddr = (direct ? reply->packet.Raw : p->Packets->PxeReply.Raw) + kSiaddrOffset;
  UINT8 serverId[4];
  UINTN idLength = 0;
  const UINT8 *id = direct ? RecordedValue(reply, reply->dhcpOptionRefs[kRefServerId], &idLength) : nullptr;
  if (!IsZero(siaddr, 4)) {
    for (UINTN i = 0; i < 4; ++i) Server->v4.Addr[i] = siaddr[i];
  } else if (id != nullptr && idLength == 4) {
    for (UINTN i = 0; i < 4; ++i) Server->v4.Addr[i] = id[i];
  } else if (!direct && ServerIdentifier(p, reply, serverId)) {
    for (UINTN i = 0; i < 4; ++i) Server->v4.Addr[i] = serverId[i];
  } else {
    Failure("bootfile", EFI_NOT_FOUND).Text(" no server address in the reply").Emit();
    return EFI_NOT_FOUND;
  }
  Report("bootfile").Text("\"").Text(S.FileName).Text("\" from ").Ipv4(Server->v4.Addr).Emit();
  return EFI_SUCCESS;
}

// On the PXE path, the reply the boot file came from may also say where the
// file is sent by multicast (sub-options 1 to 5); anything amiss in them
// leaves the read to unicast.
void ChooseTransfer(Session &S) {
  if (!S.Config.PxePath) return;
  S.HaveMtftp = MtftpParametersOf(Slot(S.Orvale, S.BootFileSlot), &S.Mtftp);
  if (!S.HaveMtftp) {
    Report("mtftp").Text("not offered by the reply, unicast TFTP").Emit();
    return;
  }
  // Group:client port, then the server port; 79 columns at the most.
  const MtftpParameters &m = S.Mtftp;
  Report("mtftp").Ipv4(m.Group).Text(":").Dec(m.ClientPort).Text(" sport ").Dec(m.ServerPort).Text(" listen ")
      .Dec(m.ListenSeconds).Text(" s transmit ").Dec(m.TransmitSeconds).Text(" s").Emit();
}

void ReportTftpError(OrvaleProtocol *P, Line &L) {
  if (!P->State->TftpErrorReceived) return;
  const EFI_PXE_BASE_CODE_TFTP_ERROR &e = P->State->TftpError;
  L.Text(" tftp-error ").Dec(e.ErrorCode).Text(" \"");
  UINTN n = 0;
  while (n < sizeof(e.ErrorString) && e.ErrorString[n] != 0) ++n;
  AsciiBytes(L, reinterpret_cast<const UINT8 *>(e.ErrorString), n).Text("\"");
}

// The server port of a plain transfer. The Wirl member's LIST rounds toggle
// the alternate-port state, and in that state Mtftp takes the port from here.
EFI_PXE_BASE_CODE_MTFTP_INFO TftpPort() {
  EFI_PXE_BASE_CODE_MTFTP_INFO info{};
  info.SPort = kTftpServerPort;
  return info;
}

// What one file's lines are called: the boot file's "size" and "download",
// a boot script's files after their role.
struct Stages {
  const char *Size;
  const char *Read;
};
constexpr Stages kBootFileStages{"size", "download"};
constexpr Stages kKernelStages{"kernel-size", "kernel"};
constexpr Stages kInitrdStages{"initrd-size", "initrd"};

// One file to fetch by TFTP, and where it went. With Multicast, the read
// goes by the driver's multicast read first.
struct Transfer {
  const char *Name;
  UINT64 BlockSize;
  Stages Stage;
  const MtftpParameters *Multicast = nullptr;
  VOID *Buffer = nullptr;
  UINT64 Size = 0;
};

EFI_PXE_BASE_CODE_MTFTP_INFO MulticastInfo(const MtftpParameters &M) {
  EFI_PXE_BASE_CODE_MTFTP_INFO info{};
  for (UINTN i = 0; i < 4; ++i) info.MCastIp.v4.Addr[i] = M.Group[i];
  info.CPort = M.ClientPort;
  info.SPort = M.ServerPort;
  info.ListenTimeout = M.ListenSeconds;
  info.TransmitTimeout = M.TransmitSeconds;
  return info;
}

// Option-less transfers, as a multicast one is, go in blocks of this size (RFC 1350).
constexpr UINT64 kPlainBlockSize = 512;

struct ReadPath {
  bool Multicast = false;
  EFI_STATUS MulticastStatus = EFI_SUCCESS;  // of a multicast read that failed
  bool Refused = false;                      // by the group's server's ERROR, in the error record
};

// One read of the whole file into Buffer: by multicast when T asks for it,
// and by unicast when that fails for any reason but a buffer too small. The
// driver's multicast read falls back to unicast by itself and says nothing
// of it, so "multicast" here means the multicast read succeeded, by either
// road, except where the group's server refused with an ERROR (kept in the
// error record through the fallback's success); a failure it returns (its
// fallback failed too, or it refused the parameters) gets one more plain
// read here. *How says which did.
EFI_STATUS ReadInto(OrvaleProtocol *P, EFI_IP_ADDRESS *Server, Transfer &T, UINT64 *Size, UINTN *BlockSize,
                    ReadPath *How) {
  *How = ReadPath{};
  const UINT64 capacity = *Size;
  auto *name = reinterpret_cast<UINT8 *>(const_cast<char *>(T.Name));
  if (T.Multicast != nullptr) {
    EFI_PXE_BASE_CODE_MTFTP_INFO info = MulticastInfo(*T.Multicast);
    const EFI_STATUS status =
        P->Mtftp(P, EFI_PXE_BASE_CODE_MTFTP_READ_FILE, T.Buffer, FALSE, Size, BlockSize, Server, name, &info, FALSE);
    if (status == EFI_SUCCESS && P->State->TftpErrorReceived) {
      How->MulticastStatus = EFI_TFTP_ERROR;
      How->Refused = true;
      return status;
    }
    if (status == EFI_SUCCESS) {
      How->Multicast = true;
      *BlockSize = kPlainBlockSize;
      return status;
    }
    if (status == EFI_BUFFER_TOO_SMALL) return status;
    How->MulticastStatus = status;
    *Size = capacity;
    *BlockSize = T.BlockSize;
  }
  EFI_PXE_BASE_CODE_MTFTP_INFO info = TftpPort();
  return P->Mtftp(P, EFI_PXE_BASE_CODE_TFTP_READ_FILE, T.Buffer, FALSE, Size, BlockSize, Server, name, &info, FALSE);
}

// A line of its own after the read's figures, which fill a console line.
void ReportReadPath(OrvaleProtocol *P, const Transfer &T, const ReadPath &How) {
  // Without a multicast failure to name, the read's own result says it all.
  if (T.Multicast == nullptr || (!How.Multicast && How.MulticastStatus == EFI_SUCCESS)) return;
  Line line = Report(T.Stage.Read);
  if (How.Multicast) {
    line.Text("by multicast ").Ipv4(T.Multicast->Group).Text(":").Dec(T.Multicast->ServerPort).Emit();
  } else {
    line.Text("by unicast (multicast failed: ").EfiStatus(How.MulticastStatus).Text(")").Emit();
    if (How.Refused) {
      Line error = Report(T.Stage.Read).Text("group");
      ReportTftpError(P, error);
      error.Emit();
    }
  }
}

EFI_STATUS GetFileSize(Session &S, EFI_IP_ADDRESS *Server, Transfer &T, UINT64 *Size) {
  OrvaleProtocol *p = S.Orvale;
  UINTN blockSize = T.BlockSize;
  *Size = 0;
  EFI_PXE_BASE_CODE_MTFTP_INFO info = TftpPort();
  const EFI_STATUS status =
      p->Mtftp(p, EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, nullptr, FALSE, Size, &blockSize, Server,
               reinterpret_cast<UINT8 *>(const_cast<char *>(T.Name)), &info, FALSE);
  if (EFI_ERROR(status)) {
    Line line = Failure(T.Stage.Size, status);
    ReportTftpError(p, line);
    line.Emit();
    return status;
  }
  Report(T.Stage.Size).Dec(*Size).Text(" bytes").Emit();
  return EFI_SUCCESS;
}

EFI_STATUS Allocate(const char *Stage, UINT64 Size, VOID **Buffer) {
  *Buffer = nullptr;
  const EFI_STATUS status = gBs->AllocatePool(EfiLoaderData, Size != 0 ? Size : 1, Buffer);
  if (EFI_ERROR(status)) {
    *Buffer = nullptr;
    Failure(Stage, status).Text(" no ").Dec(Size).Text(" bytes of pool").Emit();
  }
  return status;
}

// Get the size, then read; or, with a first buffer set, read into it first and
// size the file only when it does not fit. The buffer is the caller's to free.
EFI_STATUS Download(Session &S, EFI_IP_ADDRESS *Server, Transfer &T) {
  OrvaleProtocol *p = S.Orvale;
  UINT64 capacity = S.Config.FirstBuffer;
  EFI_STATUS status = EFI_SUCCESS;
  if (capacity == 0) {
    status = GetFileSize(S, Server, T, &capacity);
    if (EFI_ERROR(status)) return status;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    status = Allocate(T.Stage.Read, capacity, &T.Buffer);
    if (EFI_ERROR(status)) return status;
    UINTN blockSize = T.BlockSize;
    UINT64 size = capacity;
    ReadPath how;
    const UINT64 start = ReadTsc();
    status = ReadInto(p, Server, T, &size, &blockSize, &how);
    const UINT64 us = ElapsedUs(start);
    if (status == EFI_BUFFER_TOO_SMALL && attempt == 0) {
      Report(T.Stage.Read).Text("file larger than the first buffer of ").Dec(capacity).Text(" bytes").Emit();
      gBs->FreePool(T.Buffer);
      T.Buffer = nullptr;
      status = GetFileSize(S, Server, T, &capacity);
      if (EFI_ERROR(status)) return status;
      continue;
    }
    if (EFI_ERROR(status)) {
      ReportReadPath(p, T, how);
      Line line = Failure(T.Stage.Read, status);
      ReportTftpError(p, line);
      line.Emit();
      gBs->FreePool(T.Buffer);
      T.Buffer = nullptr;
      return status;
    }
    T.Size = size;
    Line line = Report(T.Stage.Read);
    line.Dec(size).Text(" bytes in ");
    Hundredths(line, us / 10).Text(" ms, ");
    Hundredths(line, us != 0 ? size * 100 / us : 0).Text(" MB/s").Emit();
    ReportReadPath(p, T, how);
    // One DATA/ACK cycle per block; the last block is short, maybe empty.
    const UINT64 blocks = blockSize != 0 ? size / blockSize + 1 : 0;
    if (blocks != 0) {
      Line cycle = Report("blocks");
      cycle.Dec(blocks).Text(" of ").Dec(blockSize).Text(" bytes, ");
      Hundredths(cycle, us * 100 / blocks).Text(" us per DATA/ACK cycle").Emit();
    }
    return EFI_SUCCESS;
  }
  return status;
}

EFI_STATUS ReadLocalImage(Session &S) {
  CHAR16 path[kVolumePathUnits];
  ToWide(S.Config.LocalImage, path);
  const char *step = nullptr;
  UINTN size = 0;
  const EFI_STATUS status = ReadVolumeFile(gBs, gSelf, path, &S.File, &size, &step);
  if (EFI_ERROR(status)) {
    Failure("local", status).Text(" ").Text(S.Config.LocalImage).Text(": ").Text(step).Emit();
    return status;
  }
  S.FileSize = size;
  S.FilePath = VolumeFilePath(gBs, gSelf, path);
  for (UINTN i = 0; i < kConfigPathBytes && i < kMaxBootFileName; ++i) S.FileName[i] = S.Config.LocalImage[i];
  Report("local").Text(S.Config.LocalImage).Text(" ").Dec(size).Text(" bytes from the volume").Emit();
  return EFI_SUCCESS;
}

EFI_STATUS StartBootImage(Session &S) {
  EFI_HANDLE image = nullptr;
  // A downloaded image has no place on any volume: no device path.
  EFI_STATUS status = gBs->LoadImage(FALSE, gSelf, S.FilePath, S.File, S.FileSize, &image);
  gBs->FreePool(S.File);
  S.File = nullptr;
  if (EFI_ERROR(status)) {
    Failure("load", status).Text(" LoadImage of ").Text(S.FileName).Emit();
    return status;
  }
  Report("start").Text(S.FileName).Emit();
  UINTN exitDataSize = 0;
  CHAR16 *exitData = nullptr;
  status = gBs->StartImage(image, &exitDataSize, &exitData);
  Line line = Report("exit");
  line.EfiStatus(status);
  if (exitData != nullptr) {
    line.Text(" \"").Text(exitData, exitDataSize / sizeof(CHAR16)).Text("\"");
    gBs->FreePool(exitData);
  }
  line.Emit();
  return status;
}

// ---- Boot scripts: a kernel, its initrd and its command line ----

// The initrd as a Linux EFI stub asks for it: LoadFile2 on a handle whose
// device path is the initrd media vendor node alone.
struct InitrdFile {
  EFI_LOAD_FILE2_PROTOCOL Protocol;  // first, so This leads back here
  const VOID *Data;
  UINTN Size;
};

#pragma pack(push, 1)
struct InitrdDevicePath {
  VENDOR_DEVICE_PATH Vendor;
  EFI_DEVICE_PATH_PROTOCOL End;
};
#pragma pack(pop)
static_assert(sizeof(InitrdDevicePath) == 24, "vendor node and end node");

EFI_STATUS EFIAPI LoadInitrd(EFI_LOAD_FILE2_PROTOCOL *This, EFI_DEVICE_PATH_PROTOCOL *, BOOLEAN BootPolicy,
                             UINTN *BufferSize, VOID *Buffer) {
  if (This == nullptr || BufferSize == nullptr) return EFI_INVALID_PARAMETER;
  // LoadFile2 never serves a boot manager's boot option.
  if (BootPolicy) return EFI_UNSUPPORTED;
  const InitrdFile *file = reinterpret_cast<const InitrdFile *>(This);
  if (Buffer == nullptr || *BufferSize < file->Size) {
    *BufferSize = file->Size;
    return EFI_BUFFER_TOO_SMALL;
  }
  gBs->CopyMem(Buffer, const_cast<VOID *>(file->Data), file->Size);
  *BufferSize = file->Size;
  return EFI_SUCCESS;
}

InitrdFile gInitrdFile = {{LoadInitrd}, nullptr, 0};
InitrdDevicePath gInitrdPath = {
    {{MEDIA_DEVICE_PATH, MEDIA_VENDOR_DP, {sizeof(VENDOR_DEVICE_PATH), 0}}, LINUX_EFI_INITRD_MEDIA_GUID},
    {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, {sizeof(EFI_DEVICE_PATH_PROTOCOL), 0}}};

EFI_STATUS InstallInitrd(Session &S) {
  gInitrdFile.Data = S.Initrd;
  gInitrdFile.Size = S.InitrdSize;
  S.InitrdHandle = nullptr;
  const EFI_STATUS status = gBs->InstallMultipleProtocolInterfaces(
      &S.InitrdHandle, &kDevicePathGuid, &gInitrdPath, &kLoadFile2Guid, &gInitrdFile.Protocol, nullptr);
  if (EFI_ERROR(status)) {
    S.InitrdHandle = nullptr;
    Failure("initrd", status).Text(" installing LoadFile2 on the initrd media device path").Emit();
  }
  return status;
}

void RemoveInitrd(Session &S) {
  if (S.InitrdHandle != nullptr) {
    gBs->UninstallMultipleProtocolInterfaces(S.InitrdHandle, &kDevicePathGuid, &gInitrdPath, &kLoadFile2Guid,
                                             &gInitrdFile.Protocol, nullptr);
  }
  S.InitrdHandle = nullptr;
  if (S.Initrd != nullptr) gBs->FreePool(S.Initrd);
  S.Initrd = nullptr;
  S.InitrdSize = 0;
}

Line &Quoted(Line &L, const char *Text) { return L.Text("\"").Text(Text).Text("\""); }

// Parses the downloaded script (S.File), fetches its kernel and initrd and
// starts the kernel. Nothing starts unless every step before it succeeded.
EFI_STATUS BootFromScript(Session &S, const EFI_IP_ADDRESS &BootServer) {
  BootScript script;
  ScriptError error;
  EFI_STATUS status = ParseBootScript(static_cast<const UINT8 *>(S.File), S.FileSize, &script, &error);
  gBs->FreePool(S.File);
  S.File = nullptr;
  if (EFI_ERROR(status)) {
    Line line = Failure("script", status);
    Quoted(line.Text(" "), S.FileName);
    if (error.Line != 0) line.Text(" line ").Dec(error.Line);
    line.Text(": ").Text(error.Reason).Emit();
    return status;
  }
  EFI_IP_ADDRESS server = BootServer;
  if (script.HaveServer) {
    server = EFI_IP_ADDRESS{};
    for (UINTN i = 0; i < 4; ++i) server.v4.Addr[i] = script.Server[i];
  }
  const UINT64 blockSize = script.BlockSize != 0 ? script.BlockSize : S.Config.BlockSize;
  Line line = Report("script");
  Quoted(line, S.FileName).Text(": kernel ");
  Quoted(line, script.Kernel);
  if (script.HaveInitrd) Quoted(line.Text(", initrd "), script.Initrd);
  line.Emit();
  Report("script").Text("cmdline ").Dec(script.CmdlineLength).Text(" chars, files from ")
      .Ipv4(server.v4.Addr).Text(", block size ").Dec(blockSize).Emit();

  Transfer kernel{script.Kernel, blockSize, kKernelStages};
  status = Download(S, &server, kernel);
  if (EFI_ERROR(status)) return status;
  if (script.HaveInitrd) {
    Transfer initrd{script.Initrd, blockSize, kInitrdStages};
    status = Download(S, &server, initrd);
    S.Initrd = initrd.Buffer;
    S.InitrdSize = initrd.Size;
    if (!EFI_ERROR(status)) status = InstallInitrd(S);
    if (EFI_ERROR(status)) {
      gBs->FreePool(kernel.Buffer);
      return status;
    }
  }

  static CHAR16 cmdline[kKernelCmdlineBytes];
  const UINTN units = KernelCommandLine(script, S.Orvale->Mode->StationIp.v4.Addr, cmdline, kKernelCmdlineBytes);
  if (units == 0) {
    Failure("cmdline", EFI_BAD_BUFFER_SIZE).Text(" longer than the kernel takes").Emit();
    gBs->FreePool(kernel.Buffer);
    return EFI_BAD_BUFFER_SIZE;
  }
  // In pieces that fit a console line.
  constexpr UINTN kPiece = 60;
  for (UINTN at = 0; at + 1 < units; at += kPiece) Report("cmdline").Text(cmdline + at, kPiece).Emit();

  EFI_HANDLE image = nullptr;
  status = gBs->LoadImage(FALSE, gSelf, nullptr, kernel.Buffer, kernel.Size, &image);
  gBs->FreePool(kernel.Buffer);
  if (EFI_ERROR(status)) {
    Quoted(Failure("load", status).Text(" LoadImage of the kernel "), script.Kernel).Emit();
    return status;
  }
  EFI_LOADED_IMAGE_PROTOCOL *loaded = nullptr;
  status = gBs->HandleProtocol(image, &kLoadedImageGuid, reinterpret_cast<VOID **>(&loaded));
  if (EFI_ERROR(status) || loaded == nullptr) {
    if (!EFI_ERROR(status)) status = EFI_NOT_FOUND;
    Failure("load", status).Text(" the kernel's loaded image").Emit();
    gBs->UnloadImage(image);
    return status;
  }
  loaded->LoadOptions = cmdline;
  loaded->LoadOptionsSize = static_cast<UINT32>(units * sizeof(CHAR16));
  Quoted(Report("start").Text("kernel "), script.Kernel).Text(script.HaveInitrd ? " with its initrd" : "").Emit();
  UINTN exitDataSize = 0;
  CHAR16 *exitData = nullptr;
  // A kernel that comes up never returns here.
  status = gBs->StartImage(image, &exitDataSize, &exitData);
  Line exit = Report("exit");
  exit.EfiStatus(status);
  if (exitData != nullptr) {
    exit.Text(" \"").Text(exitData, exitDataSize / sizeof(CHAR16)).Text("\"");
    gBs->FreePool(exitData);
  }
  exit.Emit();
  RemoveInitrd(S);
  return status;
}

// ---- The floor beside the driver's reads (floor.h) ----

constexpr UINT16 kFloorBlockSizes[] = {512, 1468, 8192};

// Ticks per round as microseconds in hundredths.
UINT64 HundredthsUsPerRound(UINT64 Ticks, UINT32 Rounds) {
  return gTicksPerMs == 0 || Rounds == 0 ? 0 : Ticks * 100000 / gTicksPerMs / Rounds;
}

// The driver's read of floor-<B>.bin, Rounds blocks long (Rounds - 1 whole
// ones and a half one, so one DATA/ACK cycle per round), into a buffer of
// exactly its size; *Ticks is the Mtftp call's time.
EFI_STATUS FloorRead(Session &S, EFI_IP_ADDRESS *Server, UINT16 BlockSize, UINT32 Rounds, UINT64 *Ticks) {
  char name[24] = "floor-";
  UINTN at = 6;
  char digits[8];
  UINTN n = 0;
  for (UINT32 v = BlockSize; v != 0; v /= 10) digits[n++] = static_cast<char>('0' + v % 10);
  while (n != 0) name[at++] = digits[--n];
  for (const char *tail = ".bin"; *tail != '\0'; ++tail) name[at++] = *tail;
  name[at] = '\0';
  const UINT64 expected = static_cast<UINT64>(Rounds - 1) * BlockSize + BlockSize / 2;
  VOID *buffer = nullptr;
  EFI_STATUS status = Allocate("floor", expected, &buffer);
  if (EFI_ERROR(status)) return status;
  UINT64 size = expected;
  UINTN blockSize = BlockSize;
  EFI_PXE_BASE_CODE_MTFTP_INFO info = TftpPort();
  const UINT64 start = ReadTsc();
  status = S.Orvale->Mtftp(S.Orvale, EFI_PXE_BASE_CODE_TFTP_READ_FILE, buffer, FALSE, &size, &blockSize, Server,
                           reinterpret_cast<UINT8 *>(name), &info, FALSE);
  *Ticks = ReadTsc() - start;
  gBs->FreePool(buffer);
  if (EFI_ERROR(status) || size != expected || blockSize != BlockSize) {
    Line line = Failure("floor", EFI_ERROR(status) ? status : EFI_PROTOCOL_ERROR);
    line.Text(" read ").Text(name).Text(" ").Dec(size).Text(" bytes at ").Dec(blockSize);
    ReportTftpError(S.Orvale, line);
    line.Emit();
    return EFI_ERROR(status) ? status : EFI_PROTOCOL_ERROR;
  }
  return EFI_SUCCESS;
}

// The address through the driver; then per block size, three times in turn,
// the two floors while the driver is stopped (its MNP child unconfigured, so
// no frame of the floor is queued for it), under 0x88B5 and as IPv4 to the
// station, and the read through the driver, started again on that address.
// The IPv4 floor is the one the ratio is taken against: its frames are the
// read's, and so is what the firmware does with them. The quickest of each
// is reported: load on the host only ever adds time. One line per block
// size; nothing is booted.
constexpr UINTN kFloorTurns = 3;

EFI_STATUS FloorRun(Session &S) {
  const UINT32 rounds = S.Config.FloorRounds;
  EFI_STATUS status = S.Config.PxePath ? PxeBoot(S) : WirlBoot(S);
  if (EFI_ERROR(status)) return status;
  if (!S.HaveDhcpServer) {
    Failure("floor", EFI_NOT_FOUND).Text(" no server identifier in the DHCP reply").Emit();
    return EFI_NOT_FOUND;
  }
  EFI_IP_ADDRESS station = S.Orvale->Mode->StationIp;
  EFI_IP_ADDRESS mask = S.Orvale->Mode->SubnetMask;
  EFI_IP_ADDRESS server{};
  for (UINTN i = 0; i < 4; ++i) server.v4.Addr[i] = S.DhcpServer[i];
  Report("floor").Text("firmware IPv4 service bindings: ").Dec(FirmwareIpv4Bindings(gBs)).Emit();
  for (const UINT16 blockSize : kFloorBlockSizes) {
    UINT64 rawTicks[kFloorTurns] = {};
    UINT64 floorTicks[kFloorTurns] = {};
    UINT64 driverTicks[kFloorTurns] = {};
    UINT32 resent = 0;
    UINT32 stale = 0;
    for (UINTN turn = 0; turn < kFloorTurns; ++turn) {
      S.Orvale->Stop(S.Orvale);
      S.Started = false;
      for (UINTN pass = 0; pass < 2; ++pass) {
        const bool ipv4 = pass == 1;
        FloorFigures floor;
        const char *step = "";
        status = MeasureFloor(gBs, gTicksPerMs, blockSize, rounds, ipv4 ? station.v4.Addr : nullptr, &floor, &step);
        if (EFI_ERROR(status)) {
          Failure("floor", status).Text(" blksize ").Dec(blockSize).Text(ipv4 ? " IPv4: " : ": ").Text(step).Emit();
          return status;
        }
        (ipv4 ? floorTicks : rawTicks)[turn] = floor.Ticks;
        resent += floor.Resent;
        stale += floor.Stale;
      }
      status = S.Orvale->Start(S.Orvale);
      if (!EFI_ERROR(status)) {
        S.Started = true;
        status = S.Orvale->SetStationIp(S.Orvale, &station, &mask);
      }
      if (EFI_ERROR(status)) {
        Failure("floor", status).Text(" driver start again").Emit();
        return status;
      }
      status = FloorRead(S, &server, blockSize, rounds, &driverTicks[turn]);
      if (EFI_ERROR(status)) return status;
    }
    UINT64 r = ~0ull;
    UINT64 f = ~0ull;
    UINT64 d = ~0ull;
    // Per turn 0x88B5/IPv4/driver, then the quickest floors of each kind.
    Line turns = Report("floor");
    turns.Dec(blockSize).Text(" turns");
    for (UINTN turn = 0; turn < kFloorTurns; ++turn) {
      const UINT64 rt = HundredthsUsPerRound(rawTicks[turn], rounds);
      const UINT64 ft = HundredthsUsPerRound(floorTicks[turn], rounds);
      const UINT64 dt = HundredthsUsPerRound(driverTicks[turn], rounds);
      if (rt < r) r = rt;
      if (ft < f) f = ft;
      if (dt < d) d = dt;
      turns.Text(" ").Dec(rt / 100).Text("/").Dec(ft / 100).Text("/").Dec(dt / 100);
    }
    turns.Text(" us").Emit();
    Line floors = Report("floor");
    floors.Dec(blockSize).Text(" 0x88B5 ");
    Hundredths(floors, r).Text(" us IPv4 ");
    Hundredths(floors, f).Text(" us, ").Dec(resent).Text(" resent ").Dec(stale).Text(" stale").Emit();
    Line line;
    line.Text("ORVALE-FLOOR blksize ").Dec(blockSize).Text(" floor ");
    Hundredths(line, f).Text(" us driver ");
    Hundredths(line, d).Text(" us ratio ");
    Hundredths(line, f == 0 ? 0 : (d * 100 + f / 2) / f).Emit();
  }
  return EFI_SUCCESS;
}

void TearDown(Session &S) {
  RemoveInitrd(S);
  if (S.File != nullptr) gBs->FreePool(S.File);
  S.File = nullptr;
  if (S.FilePath != nullptr) gBs->FreePool(S.FilePath);
  S.FilePath = nullptr;
  // The image list the Wirl member gathered is ours to free.
  if (S.Orvale != nullptr && S.Orvale->Packets->ImageList != nullptr) {
    gBs->FreePool(S.Orvale->Packets->ImageList);
    S.Orvale->Packets->ImageList = nullptr;
    S.Orvale->Packets->ImageListLength = 0;
  }
  if (S.Started) S.Orvale->Stop(S.Orvale);
  S.Started = false;
  if (S.Child != nullptr) S.Binding->DestroyChild(S.Binding, S.Child);
  S.Child = nullptr;
}

EFI_STATUS Boot(Session &S, const CHAR16 *Folder) {
  EFI_STATUS status = FindServiceBinding(Folder, &S.Binding);
  if (EFI_ERROR(status)) return status;
  status = CreateAndStart(S);
  if (EFI_ERROR(status)) return status;
  if (S.Config.FloorRounds != 0) return FloorRun(S);
  if (S.Config.LocalImage[0] != '\0') {
    status = ReadLocalImage(S);
  } else {
    EFI_IP_ADDRESS server;
    status = S.Config.PxePath ? PxeBoot(S) : WirlBoot(S);
    if (!EFI_ERROR(status)) status = BootFile(S, &server);
    if (!EFI_ERROR(status)) {
      ChooseTransfer(S);
      Transfer file{S.FileName, S.Config.BlockSize, kBootFileStages, S.HaveMtftp ? &S.Mtftp : nullptr};
      status = Download(S, &server, file);
      S.File = file.Buffer;
      S.FileSize = file.Size;
    }
    if (!EFI_ERROR(status) && IsBootScript(static_cast<const UINT8 *>(S.File), S.FileSize)) {
      return BootFromScript(S, server);
    }
  }
  if (EFI_ERROR(status)) return status;
  return StartBootImage(S);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI OrvaleLoaderEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  gSelf = ImageHandle;
  gSt = SystemTable;
  gBs = SystemTable->BootServices;
  ConsoleInit(SystemTable->ConOut);
  gBs->SetWatchdogTimer(0, 0, 0, nullptr);
  Line().Emit();  // the boot manager's last message may lack its line end
  CalibrateClock();

  CHAR16 folder[kVolumePathUnits];
  OwnFolder(gBs, gSelf, folder);
  Session session;
  LoadConfig(folder, &session.Config);
  const EFI_STATUS status = Boot(session, folder);
  TearDown(session);
  Line().Text("ORVALE-BOOT DONE ").EfiStatus(status).Emit();
  if (session.Config.PowerOff) gSt->RuntimeServices->ResetSystem(EfiResetShutdown, status, 0, nullptr);
  return status;
}
