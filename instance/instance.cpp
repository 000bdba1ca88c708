// The protocol instance: initialisation at child creation, the controller
// lock, the Start and Stop members, the MNP receive notification and the BIS
// presence probe.
#include "members.h"
#include "instance.h"
#include "../net/probe.h"
#include "../net/groups.h"

namespace {

constexpr UINT16 kFirstSourcePort = 2070;
constexpr UINT64 kBisRevisionLegacy = 0;
constexpr UINT64 kBisRevision = 0x10000;
constexpr UINT32 kBisMajorVersion = 1;
constexpr UINT32 kSignatureEntrySize = 8;
constexpr UINT32 kMaxSignatureInfoLength = 63 * kSignatureEntrySize;

bool BisOperationsPresent(const EFI_BIS_PROTOCOL *Bis) {
  return Bis->Initialize != nullptr && Bis->Shutdown != nullptr && Bis->Free != nullptr &&
         Bis->GetBootObjectAuthorizationCertificate != nullptr && Bis->GetBootObjectAuthorizationCheckFlag != nullptr &&
         Bis->GetBootObjectAuthorizationUpdateToken != nullptr && Bis->GetSignatureInfo != nullptr &&
         Bis->UpdateBootObjectAuthorization != nullptr && Bis->VerifyBootObject != nullptr &&
         Bis->VerifyObjectWithCredential != nullptr;
}

// TRUE when a usable BIS is there; the probe's application handle and
// signature information are released at once.
BOOLEAN DetectBis() {
  BIS_APPLICATION_HANDLE Application = nullptr;
  EFI_BIS_DATA *SignatureInfo = nullptr;
  EFI_BIS_PROTOCOL *Bis = ProbeBis(&Application, &SignatureInfo);
  if (Bis == nullptr) return FALSE;
  if (SignatureInfo != nullptr) Bis->Free(Application, SignatureInfo);
  Bis->Shutdown(Application);
  return TRUE;
}

// What Start allocates, released in any state (each only if present).
void FreeStartResources(ProtocolInstance *Instance) {
  if (Instance->RxToken.Event != nullptr) {
    gBS->CloseEvent(Instance->RxToken.Event);
    Instance->RxToken.Event = nullptr;
  }
  FreeAndNull(Instance->TxData);
  FreeAndNull(Instance->TxStaging);
  FreeAndNull(Instance->RxCopy);
  FreeAndNull(Instance->TxBuffer);
  FreeAndNull(Instance->FrameBuffer);
  FreeAndNull(Instance->TftpErrorPacket);
  FreeAndNull(Instance->TftpAckPacket);
}

bool AllocateStartResources(ProtocolInstance *Instance) {
  Instance->TxBuffer = static_cast<UINT8 *>(AllocZeroed(kPacketBufferSize));
  if (Instance->TxBuffer == nullptr) return false;
  Instance->FrameBuffer = static_cast<UINT8 *>(AllocZeroed(kPacketBufferSize));
  if (Instance->FrameBuffer == nullptr) return false;
  Instance->RxCopy = static_cast<UINT8 *>(AllocZeroed(kPacketBufferSize));
  if (Instance->RxCopy == nullptr) return false;
  Instance->TxData =
      static_cast<EFI_MANAGED_NETWORK_TRANSMIT_DATA *>(AllocZeroed(sizeof(EFI_MANAGED_NETWORK_TRANSMIT_DATA)));
  if (Instance->TxData == nullptr) return false;
  Instance->TxStaging = static_cast<UINT8 *>(AllocZeroed(kTxStagingSize));
  if (Instance->TxStaging == nullptr) return false;
  if (gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, ReceiveNotify, Instance, &Instance->RxToken.Event) !=
      EFI_SUCCESS) {
    Instance->RxToken.Event = nullptr;
    return false;
  }
  Instance->TftpErrorPacket = static_cast<UINT8 *>(AllocZeroed(kTftpPacketBufferSize));
  if (Instance->TftpErrorPacket == nullptr) return false;
  Instance->TftpAckPacket = static_cast<UINT8 *>(AllocZeroed(kTftpPacketBufferSize));
  return Instance->TftpAckPacket != nullptr;
}

void ResetStartDefaults(ProtocolInstance *Instance) {
  Instance->IgmpV1Timer = nullptr;
  Instance->IgmpV1Mode = TRUE;
  Instance->IpAddrLen = 4;
  Instance->PxeIdentityState = kPxeIdentityUnbuilt;

  OrvaleMode &Mode = Instance->Mode;
  Mode.Ttl = 16;
  Mode.ToS = 0;
  Mode.UsingIpv6 = FALSE;
  Mode.AutoArp = TRUE;
  Mode.IcmpErrorReceived = FALSE;
  ZeroBytes(&Mode.StationIp, sizeof(Mode.StationIp));
  ZeroBytes(&Mode.SubnetMask, sizeof(Mode.SubnetMask));
  Mode.ArpCacheEntries = 0;
  Mode.RouteTableEntries = 0;
  ZeroBytes(&Mode.IcmpError, sizeof(Mode.IcmpError));

  PacketRecord &Packets = Instance->Packets;
  Packets.DhcpDiscoverValid = FALSE;
  Packets.DhcpAckReceived = FALSE;
  Packets.ProxyOfferReceived = FALSE;
  Packets.PxeDiscoverValid = FALSE;
  Packets.PxeReplyReceived = FALSE;
  Packets.PxeBisReplyReceived = FALSE;
  Packets.BisSupported = TRUE;
  Packets.WirlNeedDiscovery = 1;
  Packets.WirlSendListPending = 0;
  Packets.WirlCollectPending = 0;

  StateRecord &State = Instance->State;
  State.State = 1;
  State.Started = TRUE;
  State.TftpErrorReceived = FALSE;
  State.IpFilter.Filters = 0;
  State.IpFilter.IpCnt = 0;
  ZeroBytes(&State.TftpError, sizeof(State.TftpError));
}

// An index's entries are its own built-in array or a pool block of their
// own. Slots are packed at a 1938-byte stride, so the indexes of entries 1 to
// 3 are not 8-byte aligned: they are read only through the packed record.
void ReleaseIndexEntries(PacketSlot &Slot) {
  UINT8 **Entries = Slot.options.entries;
  if (Entries != nullptr && Entries != Slot.options.builtin) gBS->FreePool(Entries);
  Entries = Slot.vendorOptions.entries;
  if (Entries != nullptr && Entries != Slot.vendorOptions.builtin) gBS->FreePool(Entries);
}

void FreeParsedPackets(ProtocolInstance *Instance) {
  PacketSlot *Slots = Instance->Packets.ParsedPackets;
  if (Slots == nullptr) return;
  for (UINTN i = 0; i < kParsedPacketCount; ++i) ReleaseIndexEntries(Slots[i]);
  FreeAndNull(Instance->Packets.ParsedPackets);
}

}  // namespace

void InitializeInstance(ProtocolInstance *Instance, ControllerBinding *Binding) {
  Instance->Signature = kProtocolInstanceSignature;
  Instance->Binding = Binding;
  Instance->ControllerHandle = Binding->ControllerHandle;

  OrvaleProtocol &P = Instance->Protocol;
  P.Revision = ORVALE_PROTOCOL_REVISION;
  P.Mode = &Instance->Mode;
  P.Packets = &Instance->Packets;
  P.State = &Instance->State;

  Instance->Mode.UsingIpv6 = FALSE;
  Instance->Mode.AutoArp = TRUE;
  Instance->Mode.Ttl = 16;
  Instance->Mode.ToS = 0;
  Instance->State.State = 0;
  Instance->State.Started = FALSE;
  Instance->State.AlternatePortMode = 0;
  Instance->Packets.BisSupported = TRUE;
  Instance->Packets.BisDetected = DetectBis();
}

bool OtherChildStarted(const ProtocolInstance *Instance) {
  const ListLink *Head = &Instance->Binding->Children;
  for (ListLink *Link = Head->Next; Link != Head; Link = Link->Next) {
    const ProtocolInstance *Other = InstanceFromLink(Link);
    if (Other != Instance && InstanceStarted(Other)) return true;
  }
  return false;
}

// Not recursive. A held lock is refused without any change, so HeldCount
// stays 0 or 1 and only the holder restores the TPL.
EFI_STATUS AcquireInstanceLock(InstanceLock *Lock) {
  if (Lock->HeldCount != 0) return EFI_ACCESS_DENIED;
  Lock->OwnerTpl = gBS->RaiseTPL(Lock->Tpl);
  Lock->HeldCount = 1;
  return EFI_SUCCESS;
}

void ReleaseInstanceLock(InstanceLock *Lock) {
  if (Lock->HeldCount == 0) return;
  Lock->HeldCount -= 1;
  gBS->RestoreTPL(Lock->OwnerTpl);
}

// A refused lock (a member of this controller is already running) makes the
// member return EFI_ACCESS_DENIED without touching the instance.
EFI_STATUS EFIAPI Start(OrvaleProtocol *This) {
  MemberEntry Entry(This, MemberEntry::Needs::kAnyState);
  if (!Entry.Ok()) return Entry.Status();
  ProtocolInstance *Instance = Entry.Instance();
  if (InstanceStarted(Instance)) return EFI_ALREADY_STARTED;

  // Results not examined: GetModeData may report EFI_NOT_STARTED on an
  // unconfigured child and still fill the mode. The children of a controller
  // share one MNP child: a started sibling has configured it already, and
  // configuring it again could cost that sibling its queued frames.
  ControllerBinding *Binding = Instance->Binding;
  EFI_MANAGED_NETWORK_PROTOCOL *Mnp = Binding->Mnp;
  const bool Shared = OtherChildStarted(Instance);
  Mnp->GetModeData(Mnp, &Instance->MnpConfig, &Binding->SnpMode);
  EFI_MANAGED_NETWORK_CONFIG_DATA &Config = Instance->MnpConfig;
  Config.ReceivedQueueTimeoutValue = 0;
  Config.TransmitQueueTimeoutValue = 0;
  Config.ProtocolTypeFilter = 0;
  Config.EnableUnicastReceive = TRUE;
  Config.EnableMulticastReceive = TRUE;
  Config.EnableBroadcastReceive = TRUE;
  Config.EnablePromiscuousReceive = FALSE;
  Config.FlushQueuesOnReset = TRUE;
  Config.EnableReceiveTimestamps = FALSE;
  Config.DisableBackgroundPolling = FALSE;
  if (!Shared) Mnp->Configure(Mnp, &Config);

  if (!AllocateStartResources(Instance)) {
    FreeStartResources(Instance);
    return EFI_OUT_OF_RESOURCES;
  }

  // The counter carries on from its value before a Stop.
  do {
    Instance->SourcePort = static_cast<UINT16>(Instance->SourcePort + NextRandom(Instance) + kFirstSourcePort);
  } while (Instance->SourcePort < kFirstSourcePort);

  ResetStartDefaults(Instance);
  JoinAllHostsGroup(Instance);
  Instance->Packets.BisDetected = DetectBis();
  ReadModelString(Binding->ModelName);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Stop(OrvaleProtocol *This) {
  MemberEntry Entry(This, MemberEntry::Needs::kAnyState);
  if (!Entry.Ok()) return Entry.Status();
  ProtocolInstance *Instance = Entry.Instance();
  StopInstanceLocked(Instance);
  return EFI_SUCCESS;
}

// A started instance first leaves its multicast groups (a Leave Group where
// IGMP wants one, and MNP told), so that a later Start joins them afresh:
// MNP forgets its groups when it is reset, and Start clears the filter.
//
// MNP is unconfigured only when no other child of the controller is started
// (they share it); otherwise only this instance's receive is cancelled. Either
// happens before the receive event is closed, so a receive still queued is
// aborted while its event exists. The IGMP timers are closed too, so no event
// outlives a Stop.
void StopInstanceLocked(ProtocolInstance *Instance) {
  if (InstanceStarted(Instance)) LeaveAllGroups(Instance);
  if (EFI_MANAGED_NETWORK_PROTOCOL *Mnp = Instance->Binding->Mnp) {
    if (!OtherChildStarted(Instance)) {
      Mnp->Configure(Mnp, nullptr);
    } else if (Instance->RxToken.Event != nullptr) {
      Mnp->Cancel(Mnp, &Instance->RxToken);
    }
  }
  FreeStartResources(Instance);
  FreeParsedPackets(Instance);
  FreeAndNull(Instance->ArpRequestBuffer);
  if (Instance->IgmpV1Timer != nullptr) {
    gBS->CloseEvent(Instance->IgmpV1Timer);
    Instance->IgmpV1Timer = nullptr;
  }
  for (EFI_EVENT &Timer : Instance->ReportTimers) {
    if (Timer != nullptr) {
      gBS->CloseEvent(Timer);
      Timer = nullptr;
    }
  }
  Instance->RxDone = FALSE;

  Instance->Packets.AutoSelect = 1;
  Instance->Packets.ExplicitSelect = 0;
  Instance->State.State = 0;
  Instance->State.Started = FALSE;
}

// Runs at TPL_NOTIFY inside an MNP Poll. A frame that does not fit RxCopy is
// dropped (RxDone stays FALSE, RxStatus EFI_BUFFER_TOO_SMALL); every
// completed packet is given back to MNP.
VOID EFIAPI ReceiveNotify(EFI_EVENT, VOID *Context) {
  ORVALE_PROBE(kProbeNotify);
  auto *Instance = static_cast<ProtocolInstance *>(Context);
  Instance->RxStatus = Instance->RxToken.Status;
  if (EFI_ERROR(Instance->RxStatus)) return;
  EFI_MANAGED_NETWORK_RECEIVE_DATA *Rx = Instance->RxToken.Packet.RxData;
  if (Rx == nullptr) return;

  const UINT64 Header = Rx->HeaderLength;
  const UINT64 Data = Rx->DataLength;
  const bool Fits = Instance->RxCopy != nullptr && Header + Data <= kPacketBufferSize &&
                    (Header == 0 || Rx->MediaHeader != nullptr) && (Data == 0 || Rx->PacketData != nullptr);
  if (!Fits) {
    Instance->RxStatus = EFI_BUFFER_TOO_SMALL;
  } else {
    Instance->RxHeaderLength = Rx->HeaderLength;
    Instance->RxDataLength = Rx->DataLength;
    Instance->RxProtocolType = Rx->ProtocolType;
    CopyBytes(Instance->RxCopy, Rx->MediaHeader, Header);
    CopyBytes(Instance->RxCopy + Header, Rx->PacketData, Data);
    Instance->RxLength = Header + Data;
    Instance->RxDone = TRUE;
  }
  if (Rx->RecycleEvent != nullptr) gBS->SignalEvent(Rx->RecycleEvent);
}

// Returns the BIS interface with an initialised application handle, or null.
// With SignatureInfo given, the signature information is fetched and checked
// as well (Length 8 to 504, a multiple of 8) and handed out with the handle;
// the caller frees it and shuts the handle down. Every refusal leaves no
// application handle open.
EFI_BIS_PROTOCOL *ProbeBis(BIS_APPLICATION_HANDLE *ApplicationHandle, EFI_BIS_DATA **SignatureInfo) {
  if (ApplicationHandle == nullptr) return nullptr;
  *ApplicationHandle = nullptr;
  if (SignatureInfo != nullptr) *SignatureInfo = nullptr;

  EFI_HANDLE Handle = nullptr;
  UINTN Size = sizeof(Handle);
  if (gBS->LocateHandle(ByProtocol, &gEfiBisProtocolGuid, nullptr, &Size, &Handle) != EFI_SUCCESS ||
      Size != sizeof(Handle)) {
    return nullptr;
  }
  EFI_BIS_PROTOCOL *Bis = nullptr;
  if (gBS->HandleProtocol(Handle, &gEfiBisProtocolGuid, reinterpret_cast<VOID **>(&Bis)) != EFI_SUCCESS ||
      Bis == nullptr) {
    return nullptr;
  }
  if ((Bis->Revision != kBisRevisionLegacy && Bis->Revision != kBisRevision) || !BisOperationsPresent(Bis)) {
    return nullptr;
  }

  BIS_APPLICATION_HANDLE Application = nullptr;
  EFI_BIS_VERSION Version = {kBisMajorVersion, 0};
  if (Bis->Initialize(Bis, &Application, &Version, nullptr) != EFI_SUCCESS) return nullptr;
  BOOLEAN CheckRequired = FALSE;
  if (Version.Major != kBisMajorVersion ||
      Bis->GetBootObjectAuthorizationCheckFlag(Application, &CheckRequired) != EFI_SUCCESS || !CheckRequired) {
    Bis->Shutdown(Application);
    return nullptr;
  }
  if (SignatureInfo == nullptr) {
    *ApplicationHandle = Application;
    return Bis;
  }

  EFI_BIS_DATA *Info = nullptr;
  if (Bis->GetSignatureInfo(Application, &Info) != EFI_SUCCESS || Info == nullptr) {
    Bis->Shutdown(Application);
    return nullptr;
  }
  if (Info->Length < kSignatureEntrySize || Info->Length % kSignatureEntrySize != 0 ||
      Info->Length > kMaxSignatureInfoLength) {
    Bis->Free(Application, Info);
    Bis->Shutdown(Application);
    return nullptr;
  }
  *ApplicationHandle = Application;
  *SignatureInfo = Info;
  return Bis;
}
