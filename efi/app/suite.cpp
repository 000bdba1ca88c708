// The real-firmware suite, started by the boot manager as \EFI\BOOT\BOOTX64.EFI
// from the FAT image that tools/run-ovmf-suite.sh builds. It loads \orvale.efi
// from its own volume, connects the NIC, drives one Orvale child against QEMU's
// user-mode network (server 10.0.2.2, guest 10.0.2.15), takes everything down
// again and powers the machine off. Every check prints one line (console.h);
// a check whose prerequisite failed still prints its FAIL line, so a run
// always reports the same checks. The last line is "ORVALE-DONE checks=N".
#include "../common/console.h"
#include "../common/handles.h"
#include "../common/volume.h"
#include "include/efi/efi_app.h"
#include "include/orvale/orvale_protocol.h"

namespace {

EFI_SYSTEM_TABLE *gSt = nullptr;
EFI_BOOT_SERVICES *gBs = nullptr;
EFI_HANDLE gSelf = nullptr;

EFI_GUID kLoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
EFI_GUID kSnpGuid = EFI_SIMPLE_NETWORK_PROTOCOL_GUID;
EFI_GUID kMnpServiceBindingGuid = EFI_MANAGED_NETWORK_SERVICE_BINDING_PROTOCOL_GUID;
EFI_GUID kMnpGuid = EFI_MANAGED_NETWORK_PROTOCOL_GUID;
EFI_GUID kDriverBindingGuid = EFI_DRIVER_BINDING_PROTOCOL_GUID;
EFI_GUID kComponentNameGuid = EFI_COMPONENT_NAME_PROTOCOL_GUID;
EFI_GUID kOrvaleServiceBindingGuid = ORVALE_SERVICE_BINDING_GUID;
EFI_GUID kOrvaleProtocolGuid = ORVALE_PROTOCOL_GUID;

CHAR16 kDriverPath[] = u"\\orvale.efi";
const CHAR16 kDriverName[] = u"WIRL Orvale Protocol Driver";

// QEMU user networking.
constexpr UINT8 kStationIp[4] = {10, 0, 2, 15};
constexpr UINT8 kSubnetMask[4] = {255, 255, 255, 0};
constexpr UINT8 kServerIp[4] = {10, 0, 2, 2};
constexpr UINT16 kTftpPort = 69;

// The file the runner puts in the TFTP folder: 300 bytes, byte i = (i * 31 + 7) mod 256.
// Shorter than one 512-byte block, so its first DATA block is also its last.
constexpr char kProbeFile[] = "orvale-probe.bin";
constexpr UINTN kProbeSize = 300;
constexpr UINT8 ProbeByte(UINTN i) { return static_cast<UINT8>(i * 31 + 7); }

constexpr UINT16 kTftpRrq = 1;
constexpr UINT16 kTftpData = 3;
constexpr UINT16 kTftpAck = 4;
constexpr UINT16 kTftpError = 5;
constexpr UINTN kTftpHeaderSize = 4;  // opcode, block number
constexpr UINT64 kReplyWindow100ns = 3ull * 10000000ull;
constexpr UINTN kPollPauseUs = 5000;

// ---- TPL watch: the level the suite runs at, and the first driver call after which it differed ----

EFI_TPL gBaseTpl = 0;
const char *gTplChangedBy = nullptr;
EFI_TPL gTplFound = 0;

EFI_TPL CurrentTpl() {
  EFI_TPL old = gBs->RaiseTPL(TPL_HIGH_LEVEL);
  gBs->RestoreTPL(old);
  return old;
}

void AfterDriverCall(const char *Call) {
  EFI_TPL now = CurrentTpl();
  if (now == gBaseTpl) return;
  if (gTplChangedBy == nullptr) {
    gTplChangedBy = Call;
    gTplFound = now;
  }
  gBs->RestoreTPL(gBaseTpl);  // so that the remaining checks still run where they should
}

// ---- Small helpers ----

UINTN CountHandles(EFI_GUID *Protocol) { return CountHandles(gBs, Protocol); }

template <class T>
EFI_STATUS GetProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, T **Interface) {
  *Interface = nullptr;
  return gBs->HandleProtocol(Handle, Protocol, reinterpret_cast<VOID **>(Interface));
}

bool SameWide(const CHAR16 *A, const CHAR16 *B, UINTN MaxUnits) {
  for (UINTN i = 0; i < MaxUnits; ++i) {
    if (A[i] != B[i]) return false;
    if (A[i] == 0) return true;
  }
  return false;
}

bool SameBytes(const UINT8 *A, const UINT8 *B, UINTN Length) {
  for (UINTN i = 0; i < Length; ++i) {
    if (A[i] != B[i]) return false;
  }
  return true;
}

EFI_IP_ADDRESS Ip(const UINT8 (&Address)[4]) {
  EFI_IP_ADDRESS ip = {};
  for (UINTN i = 0; i < 4; ++i) ip.v4.Addr[i] = Address[i];
  return ip;
}

UINT16 Get16(const UINT8 *P) { return static_cast<UINT16>((P[0] << 8) | P[1]); }
void Put16(UINT8 *P, UINT16 V) {
  P[0] = static_cast<UINT8>(V >> 8);
  P[1] = static_cast<UINT8>(V);
}

void NotRun(const char *Name, const char *Reason) { Check(Name, false).Text(" not run: ").Text(Reason).Emit(); }

// ---- The suite ----

struct Suite {
  EFI_HANDLE Driver = nullptr;
  bool DriverStarted = false;
  EFI_HANDLE Controller = nullptr;
  EFI_SERVICE_BINDING_PROTOCOL *ServiceBinding = nullptr;
  EFI_HANDLE Child = nullptr;
  OrvaleProtocol *Orvale = nullptr;
  bool InstanceStarted = false;
  UINT16 ClientPort = 0;
  bool RequestSent = false;
};

void LoadDriver(Suite &S) {
  VOID *image;
  UINTN size;
  const char *step;
  EFI_STATUS status = ReadVolumeFile(gBs, gSelf, kDriverPath, &image, &size, &step);
  if (EFI_ERROR(status)) {
    Check("load-driver", false).Text(" ").Text(step).Text("=").Status(status).Emit();
    return;
  }
  status = gBs->LoadImage(FALSE, gSelf, nullptr, image, size, &S.Driver);
  gBs->FreePool(image);
  if (EFI_ERROR(status)) S.Driver = nullptr;
  Check("load-driver", status == EFI_SUCCESS).Text(" bytes=").Dec(size).Text(" LoadImage=").Status(status).Emit();
}

void StartDriver(Suite &S) {
  if (S.Driver == nullptr) return NotRun("start-driver", "no driver image");
  EFI_STATUS status = gBs->StartImage(S.Driver, nullptr, nullptr);
  AfterDriverCall("image entry");
  if (EFI_ERROR(status)) {
    S.Driver = nullptr;  // a failed driver is unloaded again
    Check("start-driver", false).Text(" StartImage=").Status(status).Emit();
    return;
  }
  S.DriverStarted = true;
  EFI_LOADED_IMAGE_PROTOCOL *loaded;
  EFI_DRIVER_BINDING_PROTOCOL *binding;
  GetProtocol(S.Driver, &kLoadedImageGuid, &loaded);
  GetProtocol(S.Driver, &kDriverBindingGuid, &binding);
  // Boot-services code and data: the firmware honoured the driver subsystem.
  bool typesOk = loaded != nullptr && loaded->ImageCodeType == EfiBootServicesCode &&
                 loaded->ImageDataType == EfiBootServicesData;
  bool bindingOk = binding != nullptr && binding->Version == 0x10 && binding->ImageHandle == S.Driver &&
                   binding->DriverBindingHandle == S.Driver;
  Line line = Check("start-driver", typesOk && bindingOk);
  if (loaded != nullptr) {
    line.Text(" code=").Dec(static_cast<UINT64>(loaded->ImageCodeType));
    line.Text(" data=").Dec(static_cast<UINT64>(loaded->ImageDataType));
  }
  if (binding == nullptr) {
    line.Text(" no driver binding");
  } else {
    line.Text(" binding version=").Hex(binding->Version).Text(bindingOk ? "" : " wrong handles");
  }
  line.Emit();
}

void DriverName(Suite &S) {
  if (!S.DriverStarted) return NotRun("driver-name", "driver not started");
  EFI_COMPONENT_NAME_PROTOCOL *names;
  EFI_STATUS status = GetProtocol(S.Driver, &kComponentNameGuid, &names);
  if (EFI_ERROR(status) || names == nullptr) {
    Check("driver-name", false).Text(" component name=").Status(status).Emit();
    return;
  }
  CHAR8 english[] = "eng";
  CHAR8 french[] = "fra";
  CHAR16 *name = nullptr;
  status = names->GetDriverName(names, english, &name);
  bool nameOk = status == EFI_SUCCESS && name != nullptr && SameWide(name, kDriverName, 64);
  CHAR16 *other = nullptr;
  EFI_STATUS otherStatus = names->GetDriverName(names, french, &other);
  CHAR16 *controllerName = nullptr;
  EFI_STATUS controllerStatus = names->GetControllerName(names, S.Driver, nullptr, english, &controllerName);
  const CHAR8 *languages = names->SupportedLanguages;
  bool languagesOk = languages != nullptr && languages[0] == 'e' && languages[1] == 'n' && languages[2] == 'g' &&
                     languages[3] == '\0';
  bool pass = nameOk && otherStatus == EFI_UNSUPPORTED && controllerStatus == EFI_UNSUPPORTED && languagesOk;

  Line line = Check("driver-name", pass);
  if (!nameOk) {
    line.Text(" eng=").Status(status);
    if (name != nullptr) line.Text(" name=").Text(name, 40);
  } else if (!pass) {
    line.Text(" fra=").Status(otherStatus).Text(" controller=").Status(controllerStatus);
    line.Text(languagesOk ? "" : " languages");
  } else {
    line.Text(" name=").Text(name, 40);
  }
  line.Emit();
}

// Connects only the NIC's PCI function: its driver makes the SNP handle, the
// firmware's MNP driver the MNP service binding, and ours the Orvale one.
void Connect(Suite &S) {
  if (!S.DriverStarted) return NotRun("connect", "driver not started");
  EFI_STATUS connectStatus = EFI_NOT_FOUND;
  const UINTN nics = ConnectNetworkControllers(gBs, &kOrvaleServiceBindingGuid,
                                               [] { AfterDriverCall("ConnectController"); }, &connectStatus);

  HandleBuffer orvale(gBs, &kOrvaleServiceBindingGuid);
  UINTN snpCount = CountHandles(&kSnpGuid);
  UINTN mnpCount = CountHandles(&kMnpServiceBindingGuid);
  bool onMnpController = false;
  if (orvale.Count == 1) {
    S.Controller = orvale.Handles[0];
    GetProtocol(S.Controller, &kOrvaleServiceBindingGuid, &S.ServiceBinding);
    VOID *mnp;
    onMnpController = gBs->HandleProtocol(S.Controller, &kMnpServiceBindingGuid, &mnp) == EFI_SUCCESS;
  }
  // One SNP and one MNP handle: the firmware's own network-boot children stayed away.
  bool pass = nics == 1 && snpCount == 1 && mnpCount == 1 && orvale.Count == 1 && onMnpController &&
              S.ServiceBinding != nullptr;
  if (!pass) S.ServiceBinding = nullptr;
  Check("connect", pass)
      .Text(" nics=").Dec(nics).Text(" snp=").Dec(snpCount).Text(" mnp=").Dec(mnpCount)
      .Text(" orvale=").Dec(orvale.Count).Text(" connect=").Status(connectStatus)
      .Emit();
}

void CreateChild(Suite &S) {
  if (S.ServiceBinding == nullptr) return NotRun("create-child", "no Orvale service binding");
  EFI_STATUS status = S.ServiceBinding->CreateChild(S.ServiceBinding, &S.Child);
  AfterDriverCall("CreateChild");
  if (EFI_ERROR(status)) S.Child = nullptr;
  OrvaleProtocol *p = nullptr;
  if (S.Child != nullptr) GetProtocol(S.Child, &kOrvaleProtocolGuid, &p);
  bool pass = status == EFI_SUCCESS && p != nullptr && p->Revision == ORVALE_PROTOCOL_REVISION &&
              p->Unused == nullptr && p->Mode != nullptr && p->Packets != nullptr && p->State != nullptr &&
              p->State->Started == FALSE;
  if (pass) S.Orvale = p;
  Line line = Check("create-child", pass);
  line.Text(" status=").Status(status);
  if (p != nullptr) line.Text(" revision=").Hex(p->Revision);
  line.Emit();
}

void StartInstance(Suite &S) {
  if (S.Orvale == nullptr) return NotRun("start", "no child");
  OrvaleProtocol *p = S.Orvale;
  EFI_STATUS status = p->Start(p);
  AfterDriverCall("Start");
  S.InstanceStarted = status == EFI_SUCCESS;
  EFI_STATUS again = p->Start(p);
  AfterDriverCall("Start");
  bool pass = status == EFI_SUCCESS && p->State->Started != FALSE && again == EFI_ALREADY_STARTED;
  Check("start", pass).Text(" status=").Status(status).Text(" again=").Status(again).Emit();
}

void SetStationIp(Suite &S) {
  if (!S.InstanceStarted) return NotRun("set-station-ip", "not started");
  OrvaleProtocol *p = S.Orvale;
  EFI_IP_ADDRESS ip = Ip(kStationIp);
  EFI_IP_ADDRESS mask = Ip(kSubnetMask);
  EFI_STATUS status = p->SetStationIp(p, &ip, &mask);
  AfterDriverCall("SetStationIp");
  const UINT8 *station = p->Mode->StationIp.v4.Addr;
  const UINT8 *subnet = p->Mode->SubnetMask.v4.Addr;
  bool pass = status == EFI_SUCCESS && SameBytes(station, kStationIp, 4) && SameBytes(subnet, kSubnetMask, 4);
  Check("set-station-ip", pass)
      .Text(" status=").Status(status).Text(" mode=").Ipv4(station).Text("/").Ipv4(subnet)
      .Emit();
}

void ResolveServer(Suite &S) {
  if (!S.InstanceStarted) return NotRun("arp", "not started");
  OrvaleProtocol *p = S.Orvale;
  EFI_IP_ADDRESS server = Ip(kServerIp);
  EFI_MAC_ADDRESS mac = {};
  EFI_STATUS status = p->Arp(p, &server, &mac);
  AfterDriverCall("Arp");
  bool anySet = false;
  bool allSet = true;
  for (UINTN i = 0; i < 6; ++i) {
    anySet = anySet || mac.Addr[i] != 0;
    allSet = allSet && mac.Addr[i] == 0xFF;
  }
  bool pass = status == EFI_SUCCESS && anySet && !allSet && p->Mode->ArpCacheEntries >= 1;
  Check("arp", pass)
      .Text(" status=").Status(status).Text(" mac=").Mac(mac.Addr).Text(" cache=").Dec(p->Mode->ArpCacheEntries)
      .Emit();
}

// A TFTP read request (RFC 1350) for the probe file, from a port the driver picks.
void SendReadRequest(Suite &S) {
  if (!S.InstanceStarted) return NotRun("tftp-write", "not started");
  OrvaleProtocol *p = S.Orvale;
  UINT8 request[2 + sizeof(kProbeFile) + sizeof("octet")];
  Put16(request, kTftpRrq);
  UINTN length = 2;
  for (char c : kProbeFile) request[length++] = static_cast<UINT8>(c);  // with its NUL
  for (char c : "octet") request[length++] = static_cast<UINT8>(c);
  EFI_IP_ADDRESS server = Ip(kServerIp);
  UINT16 serverPort = kTftpPort;
  UINT16 clientPort = 0;
  UINTN size = length;
  EFI_STATUS status = p->UdpWrite(p, EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT, &server, &serverPort, nullptr,
                                  nullptr, &clientPort, nullptr, nullptr, &size, request);
  AfterDriverCall("UdpWrite");
  bool pass = status == EFI_SUCCESS && clientPort >= 2070;
  S.RequestSent = pass;
  S.ClientPort = clientPort;
  Check("tftp-write", pass).Text(" status=").Status(status).Text(" port=").Dec(clientPort).Text(" bytes=").Dec(length)
      .Emit();
}

// UdpRead never blocks: poll it until the first DATA block arrives or the window closes.
void ReadFirstBlock(Suite &S) {
  if (!S.RequestSent) return NotRun("tftp-read", "no request sent");
  OrvaleProtocol *p = S.Orvale;
  alignas(8) UINT8 reply[1024];
  UINTN size = 0;
  EFI_IP_ADDRESS from = {};
  UINT16 fromPort = 0;
  UINTN polls = 0;
  EFI_STATUS status = EFI_TIMEOUT;
  bool gotData = false;

  EFI_EVENT window = nullptr;
  if (EFI_ERROR(gBs->CreateEvent(EVT_TIMER, TPL_CALLBACK, nullptr, nullptr, &window)) ||
      EFI_ERROR(gBs->SetTimer(window, TimerRelative, kReplyWindow100ns))) {
    if (window != nullptr) gBs->CloseEvent(window);
    return NotRun("tftp-read", "no timer");
  }
  for (;;) {
    from = Ip(kServerIp);
    EFI_IP_ADDRESS to = Ip(kStationIp);
    UINT16 toPort = S.ClientPort;
    fromPort = 0;
    size = sizeof(reply);
    status = p->UdpRead(p, EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT, &to, &toPort, &from, &fromPort, nullptr,
                        nullptr, &size, reply);
    AfterDriverCall("UdpRead");
    ++polls;
    if (status == EFI_SUCCESS && size >= kTftpHeaderSize) {
      UINT16 opcode = Get16(reply);
      if ((opcode == kTftpData && Get16(reply + 2) == 1) || opcode == kTftpError) {
        gotData = opcode == kTftpData;
        break;
      }
    } else if (status != EFI_TIMEOUT && status != EFI_SUCCESS) {
      break;
    }
    if (gBs->CheckEvent(window) == EFI_SUCCESS) break;
    gBs->Stall(kPollPauseUs);
  }
  gBs->CloseEvent(window);

  UINTN firstWrong = kProbeSize;
  if (gotData) {
    for (UINTN i = 0; i < kProbeSize && kTftpHeaderSize + i < size; ++i) {
      if (reply[kTftpHeaderSize + i] != ProbeByte(i)) {
        firstWrong = i;
        break;
      }
    }
  }
  bool dataOk = gotData && size == kTftpHeaderSize + kProbeSize && firstWrong == kProbeSize &&
                SameBytes(from.v4.Addr, kServerIp, 4) && fromPort == kTftpPort;

  // Acknowledge the block so that the server ends the transfer.
  EFI_STATUS ackStatus = EFI_NOT_STARTED;
  if (gotData) {
    UINT8 ack[kTftpHeaderSize];
    Put16(ack, kTftpAck);
    Put16(ack + 2, 1);
    EFI_IP_ADDRESS server = from;
    UINT16 serverPort = fromPort;
    UINT16 clientPort = S.ClientPort;
    UINTN ackSize = sizeof(ack);
    ackStatus = p->UdpWrite(p, 0, &server, &serverPort, nullptr, nullptr, &clientPort, nullptr, nullptr, &ackSize, ack);
    AfterDriverCall("UdpWrite");
  }

  Line line = Check("tftp-read", dataOk && ackStatus == EFI_SUCCESS);
  if (!gotData) line.Text(" status=").Status(status).Text(" polls=").Dec(polls);
  if (status == EFI_SUCCESS) {
    line.Text(" bytes=").Dec(size >= kTftpHeaderSize ? size - kTftpHeaderSize : 0);
    line.Text(" from=").Ipv4(from.v4.Addr).Text(":").Dec(fromPort);
  }
  if (gotData && firstWrong != kProbeSize) line.Text(" wrong@").Dec(firstWrong);
  if (gotData) line.Text(" ack=").Status(ackStatus);
  line.Emit();
}

void StopInstance(Suite &S) {
  if (S.Orvale == nullptr) return NotRun("stop", "no child");
  OrvaleProtocol *p = S.Orvale;
  EFI_STATUS status = p->Stop(p);
  AfterDriverCall("Stop");
  bool pass = status == EFI_SUCCESS && p->State->Started == FALSE;
  Check("stop", pass).Text(" status=").Status(status).Text(" started=").Dec(p->State->Started).Emit();
}

void DestroyChild(Suite &S) {
  if (S.Child == nullptr) return NotRun("destroy-child", "no child");
  EFI_STATUS status = S.ServiceBinding->DestroyChild(S.ServiceBinding, S.Child);
  AfterDriverCall("DestroyChild");
  S.Orvale = nullptr;
  VOID *left = nullptr;
  EFI_STATUS probe = gBs->HandleProtocol(S.Child, &kOrvaleProtocolGuid, &left);
  bool pass = status == EFI_SUCCESS && probe != EFI_SUCCESS;
  Check("destroy-child", pass).Text(" status=").Status(status).Text(" protocol=").Status(probe).Emit();
}

// The MNP child our driver opened BY_DRIVER: the handle through which the
// firmware reaches the driver's Stop, since the driver holds no BY_DRIVER open
// on the controller handle itself.
EFI_HANDLE FindDriverMnpChild(EFI_HANDLE Driver) {
  HandleBuffer mnp(gBs, &kMnpGuid);
  for (UINTN i = 0; i < mnp.Count; ++i) {
    EFI_OPEN_PROTOCOL_INFORMATION_ENTRY *entries = nullptr;
    UINTN count = 0;
    if (EFI_ERROR(gBs->OpenProtocolInformation(mnp.Handles[i], &kMnpGuid, &entries, &count))) continue;
    bool ours = false;
    for (UINTN e = 0; e < count; ++e) {
      ours = ours || (entries[e].AgentHandle == Driver && (entries[e].Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0);
    }
    if (entries != nullptr) gBs->FreePool(entries);
    if (ours) return mnp.Handles[i];
  }
  return nullptr;
}

// The driver binding's Stop, through the firmware: our service binding and MNP
// child go, the firmware's MNP service binding stays.
void Disconnect(Suite &S) {
  if (S.Controller == nullptr) return NotRun("disconnect", "no controller");
  EFI_STATUS controllerStatus = gBs->DisconnectController(S.Controller, S.Driver, nullptr);
  AfterDriverCall("DisconnectController");
  EFI_STATUS childStatus = EFI_NOT_STARTED;
  if (CountHandles(&kOrvaleServiceBindingGuid) != 0) {
    EFI_HANDLE mnpChild = FindDriverMnpChild(S.Driver);
    childStatus = mnpChild == nullptr ? EFI_NOT_FOUND : gBs->DisconnectController(mnpChild, S.Driver, nullptr);
    AfterDriverCall("DisconnectController");
  }
  UINTN left = CountHandles(&kOrvaleServiceBindingGuid);
  bool mnpChildLeft = FindDriverMnpChild(S.Driver) != nullptr;
  VOID *mnp;
  EFI_STATUS mnpStatus = gBs->HandleProtocol(S.Controller, &kMnpServiceBindingGuid, &mnp);
  bool stopped = controllerStatus == EFI_SUCCESS || childStatus == EFI_SUCCESS;
  bool pass = stopped && left == 0 && !mnpChildLeft && mnpStatus == EFI_SUCCESS;
  Line line = Check("disconnect", pass);
  line.Text(" nic=").Status(controllerStatus);
  if (childStatus != EFI_NOT_STARTED) line.Text(" mnp-child=").Status(childStatus);
  line.Text(" orvale=").Dec(left).Text(mnpChildLeft ? " child-open" : "").Text(mnpStatus == EFI_SUCCESS ? "" : " no-mnp");
  line.Emit();
}

void TplRestored() {
  EFI_TPL now = CurrentTpl();
  Line line = Check("tpl", gTplChangedBy == nullptr && now == gBaseTpl);
  line.Text(" base=").Dec(gBaseTpl).Text(" end=").Dec(now);
  if (gTplChangedBy != nullptr) line.Text(" after ").Text(gTplChangedBy).Text(" tpl=").Dec(gTplFound);
  line.Emit();
}

}  // namespace

// The probe file again, through the Mtftp member: its size, then the file.
void MtftpReadProbe(Suite &S) {
  if (!S.InstanceStarted) return NotRun("mtftp-read", "not started");
  OrvaleProtocol *p = S.Orvale;
  EFI_IP_ADDRESS server = Ip(kServerIp);
  UINT8 name[sizeof(kProbeFile)];
  for (UINTN i = 0; i < sizeof(kProbeFile); ++i) name[i] = static_cast<UINT8>(kProbeFile[i]);
  UINT64 fileSize = 0;
  UINTN block = 1468;
  EFI_STATUS sizeStatus = p->Mtftp(p, EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, nullptr, FALSE, &fileSize, &block,
                                   &server, name, nullptr, FALSE);
  AfterDriverCall("Mtftp");
  alignas(8) UINT8 data[kProbeSize + 64];
  UINT64 size = sizeof(data);
  block = 1468;
  EFI_STATUS status = p->Mtftp(p, EFI_PXE_BASE_CODE_TFTP_READ_FILE, data, FALSE, &size, &block, &server, name,
                               nullptr, FALSE);
  AfterDriverCall("Mtftp");
  UINTN firstWrong = kProbeSize;
  for (UINTN i = 0; i < kProbeSize && i < size; ++i) {
    if (data[i] != ProbeByte(i)) {
      firstWrong = i;
      break;
    }
  }
  bool pass = sizeStatus == EFI_SUCCESS && fileSize == kProbeSize && status == EFI_SUCCESS && size == kProbeSize &&
              firstWrong == kProbeSize;
  Check("mtftp-read", pass)
      .Text(" size=").Status(sizeStatus).Text("/").Dec(fileSize).Text(" read=").Status(status).Text("/")
      .Dec(size).Emit();
}

extern "C" EFI_STATUS EFIAPI OrvaleSuiteEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  gSelf = ImageHandle;
  gSt = SystemTable;
  gBs = SystemTable->BootServices;
  ConsoleInit(SystemTable->ConOut);
  gBs->SetWatchdogTimer(0, 0, 0, nullptr);
  gBaseTpl = CurrentTpl();
  Line().Emit();  // the boot manager's last message may lack its line end

  Suite suite;
  LoadDriver(suite);
  StartDriver(suite);
  DriverName(suite);
  Connect(suite);
  CreateChild(suite);
  StartInstance(suite);
  SetStationIp(suite);
  ResolveServer(suite);
  SendReadRequest(suite);
  ReadFirstBlock(suite);
  MtftpReadProbe(suite);
  StopInstance(suite);
  DestroyChild(suite);
  Disconnect(suite);
  TplRestored();

  Line().Text("ORVALE-DONE checks=").Dec(ChecksRun()).Text(" failed=").Dec(FailedChecks()).Emit();
  gSt->RuntimeServices->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr);
  return EFI_SUCCESS;
}
