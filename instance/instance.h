// The per-controller and per-child records, the instance lock, and the
// helpers every layer shares.
#ifndef ORVALE_INSTANCE_INSTANCE_H
#define ORVALE_INSTANCE_INSTANCE_H

#include "firmware.h"
#include "support.h"

constexpr UINTN kPacketBufferSize = 8704;   // TxBuffer, FrameBuffer, RxCopy
constexpr UINTN kTxStagingSize = 20 + 1468; // largest datagram SendIpPacket builds
constexpr UINTN kTftpPacketBufferSize = 256;
constexpr UINTN kMaxGroups = 8;
constexpr EFI_TPL kInstanceLockTpl = 9;     // above TPL_CALLBACK, below TPL_NOTIFY
constexpr UINT32 kPxeIdentityUnbuilt = 100;
constexpr UINT32 kPxeIdentityBuilt = 200;
constexpr UINTN kNetDropSlots = 48;        // drop counters by reason (net/net.h NetDrop)
constexpr UINTN kParsedPacketCount = 4;     // PacketRecord.ParsedPackets slots
constexpr UINTN kTftpDropSlots = 8;        // TFTP drop counters by reason (tftp/tftp.h TftpDrop)
constexpr UINTN kFragmentMapBytes = 1024;  // one bit per 8-byte block of a 65535-byte datagram
constexpr UINTN kDhcpDropSlots = 8;        // DHCP replies skipped, by reason (dhcp/exchange.h DhcpDrop)

struct ListLink {
  ListLink *Next;
  ListLink *Prev;
};

struct InstanceLock {
  UINTN Tpl;
  UINTN OwnerTpl;
  UINTN HeldCount;
};

struct ControllerBinding {
  UINT64 Signature;  // "kbrt"
  InstanceLock Lock;
  EFI_HANDLE ControllerHandle;
  EFI_HANDLE DriverBindingHandle;
  UINTN ChildCount;
  ListLink Children;  // ProtocolInstance.Link, in creation order
  EFI_HANDLE MnpChildHandle;
  CHAR8 ModelName[32];
  EFI_SERVICE_BINDING_PROTOCOL ServiceBinding;
  EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL *InterfaceIdentifier;
  EFI_SIMPLE_NETWORK_MODE SnpMode;
  EFI_MANAGED_NETWORK_PROTOCOL *Mnp;
};
constexpr UINT64 kControllerBindingSignature = Signature32('k', 'b', 'r', 't');

struct ProtocolInstance {
  UINT32 Signature;  // "TKVX"
  EFI_HANDLE ChildHandle;
  EFI_HANDLE ControllerHandle;
  ListLink Link;
  UINT8 *TxBuffer;     // outgoing IPv4 datagram at offset 64, UDP header at 84
  UINT8 *FrameBuffer;  // last received frame, media header first
  UINT16 RandomState;
  UINT64 ArpReplaceIndex;
  UINT16 SourcePort;
  UINT8 UseBigBlockNumbers;  // TFTP: 8-byte block numbers, set by an OACK
  UINT8 *TftpErrorPacket;
  UINT8 *TftpAckPacket;
  UINTN IpAddrLen;
  UINT8 *ArpRequestBuffer;
  UINT8 IgmpMessage[8];
  BOOLEAN IgmpV1Mode;
  EFI_EVENT IgmpV1Timer;
  EFI_EVENT ReportTimers[kMaxGroups];
  UINTN GroupCount;
  UINT32 Groups[kMaxGroups];  // network byte order

  // DHCP exchange state.
  UINT8 RetryTimeout;
  UINT16 SecsCounter;
  UINT32 Xid;
  DhcpPacket *DhcpTxPacket;
  PacketSlot *ReplySlots;
  UINT32 HeldSlots;
  UINT32 DhcpRetryCount;
  UINT32 DhcpDrops[kDhcpDropSlots];
  // The ImageList block the Wirl member last grew and its size: room past
  // ImageListLength is used only while the caller's ImageList is that block.
  UINT8 *ImageListBlock;
  UINT32 ImageListCapacity;
  // PXE exchange state.
  UINT32 PxeIdentityState;
  UINT8 OfferClassCount[4];      // offers with an address, per class 0..3
  UINT8 OfferClassList[4][16];   // their ReplySlots indices, in arrival order
  UINT8 BootpReplyIndex;         // index + 1 of the BOOTP reply, 0 when none
  UINT8 ProxyOfferIndex[3];      // index + 1 of the first proxy offer of class 1 and 2
  UINT8 PxeProxyCount;           // class-3 proxy offers
  UINT8 PxeProxyList[16];
  UINT64 OfferCount;             // ReplySlots entries the last collection filled

  // Packet path.
  BOOLEAN TxDone;
  EFI_EVENT TxEvent;  // a run of frames' own token event (TransmitEventLoan); null: one per frame
  UINT8 *TxStaging;
  EFI_MANAGED_NETWORK_TRANSMIT_DATA *TxData;
  EFI_MANAGED_NETWORK_COMPLETION_TOKEN RxToken;
  UINT32 RxHeaderLength;
  UINT32 RxDataLength;
  UINT16 RxProtocolType;
  UINT8 *RxCopy;
  UINTN RxLength;
  BOOLEAN RxDone;
  EFI_STATUS RxStatus;
  // Received packets the packet path ignored, counted by reason (NetDrop in net/net.h).
  UINT32 NetDrops[kNetDropSlots];
  // Received TFTP packets the client ignored, by reason (TftpDrop in tftp/tftp.h).
  UINT32 TftpDrops[kTftpDropSlots];
  // Blocks of the datagram being reassembled that have arrived; valid within one receive.
  UINT8 FragmentMap[kFragmentMapBytes];
  // Set by the IGMP timers' notification (TPL_NOTIFY) when ReportTimers[i] or
  // IgmpV1Timer fires; ReceiveFrame acts on them (net/igmp.cpp).
  BOOLEAN ReportDue[kMaxGroups];
  BOOLEAN IgmpV1Expired;

  // Caller-visible records.
  OrvaleMode Mode;
  PacketRecord Packets;  // its exchange-state tail holds StationIpSet
  StateRecord State;

  EFI_MANAGED_NETWORK_CONFIG_DATA MnpConfig;
  ControllerBinding *Binding;
  OrvaleProtocol Protocol;
};
constexpr UINT32 kProtocolInstanceSignature = Signature32('T', 'K', 'V', 'X');

// The instance behind a member's This.
inline ProtocolInstance *InstanceFromThis(OrvaleProtocol *This) {
  return reinterpret_cast<ProtocolInstance *>(reinterpret_cast<UINT8 *>(This) - offsetof(ProtocolInstance, Protocol));
}
inline ProtocolInstance *InstanceFromLink(ListLink *Link) {
  return reinterpret_cast<ProtocolInstance *>(reinterpret_cast<UINT8 *>(Link) - offsetof(ProtocolInstance, Link));
}
inline ControllerBinding *BindingFromServiceBinding(EFI_SERVICE_BINDING_PROTOCOL *Sb) {
  return reinterpret_cast<ControllerBinding *>(reinterpret_cast<UINT8 *>(Sb) -
                                               offsetof(ControllerBinding, ServiceBinding));
}

// ---- Lock ----
[[nodiscard]] EFI_STATUS AcquireInstanceLock(InstanceLock *Lock);
void ReleaseInstanceLock(InstanceLock *Lock);

// Holds the controller lock for one member call; releases it on every path.
// A refused acquisition (another member of the controller is running) is not
// released again, so HeldCount never goes below zero.
class MemberLock {
 public:
  explicit MemberLock(ProtocolInstance *Instance) : lock_(&Instance->Binding->Lock) {
    status_ = AcquireInstanceLock(lock_);
  }
  ~MemberLock() {
    if (status_ == EFI_SUCCESS) ReleaseInstanceLock(lock_);
  }
  MemberLock(const MemberLock &) = delete;
  MemberLock &operator=(const MemberLock &) = delete;
  EFI_STATUS Status() const { return status_; }
  bool Held() const { return status_ == EFI_SUCCESS; }

 private:
  InstanceLock *lock_;
  EFI_STATUS status_;
};

// The one test of every member: the published State pointer is there and
// says Started.
inline bool InstanceStarted(const ProtocolInstance *Instance) {
  return Instance->Protocol.State != nullptr && Instance->Protocol.State->Started != FALSE;
}

// How every member begins, in this order: a null This is
// EFI_INVALID_PARAMETER; the controller lock is taken (a refusal, another
// member of the controller running, is returned as it came); then, unless the
// member runs in any state, an instance not started is EFI_NOT_STARTED. The
// lock is released on every path out of the member.
class MemberEntry {
 public:
  enum class Needs { kStarted, kAnyState };
  explicit MemberEntry(OrvaleProtocol *This, Needs Needed = Needs::kStarted) {
    if (This == nullptr) {
      status_ = EFI_INVALID_PARAMETER;
      return;
    }
    instance_ = InstanceFromThis(This);
    status_ = AcquireInstanceLock(&instance_->Binding->Lock);
    if (status_ != EFI_SUCCESS) return;
    locked_ = true;
    if (Needed == Needs::kStarted && !InstanceStarted(instance_)) status_ = EFI_NOT_STARTED;
  }
  ~MemberEntry() {
    if (locked_) ReleaseInstanceLock(&instance_->Binding->Lock);
  }
  MemberEntry(const MemberEntry &) = delete;
  MemberEntry &operator=(const MemberEntry &) = delete;
  bool Ok() const { return status_ == EFI_SUCCESS; }
  EFI_STATUS Status() const { return status_; }
  ProtocolInstance *Instance() const { return instance_; }

 private:
  ProtocolInstance *instance_ = nullptr;
  EFI_STATUS status_ = EFI_SUCCESS;
  bool locked_ = false;
};
// Whether a child of the same controller other than Instance is started (they share one MNP child).
bool OtherChildStarted(const ProtocolInstance *Instance);

// ---- Pool and bytes ----
void *AllocZeroed(UINTN Size);
// Frees a pool block when present and nulls the pointer.
template <class T>
inline void FreeAndNull(T *&Pointer) {
  if (Pointer != nullptr) {
    gBS->FreePool(const_cast<void *>(static_cast<const void *>(Pointer)));
    Pointer = nullptr;
  }
}
INTN CompareBytes(const void *A, const void *B, UINTN Length);

// A timer event (EVT_TIMER, TPL_CALLBACK) that is closed when it goes out of scope.
class TimerEvent {
 public:
  TimerEvent() = default;
  ~TimerEvent() { Close(); }
  TimerEvent(const TimerEvent &) = delete;
  TimerEvent &operator=(const TimerEvent &) = delete;
  // Creates the event and arms it relative, in 100-ns units.
  [[nodiscard]] EFI_STATUS Arm(UINT64 Delay100ns) {
    if (event_ == nullptr) {
      EFI_STATUS Status = gBS->CreateEvent(EVT_TIMER, TPL_CALLBACK, nullptr, nullptr, &event_);
      if (EFI_ERROR(Status)) {
        event_ = nullptr;
        return Status;
      }
    }
    return gBS->SetTimer(event_, TimerRelative, Delay100ns);
  }
  bool Fired() const { return event_ != nullptr && gBS->CheckEvent(event_) == EFI_SUCCESS; }
  EFI_EVENT Get() const { return event_; }
  void Close() {
    if (event_ != nullptr) {
      gBS->CloseEvent(event_);
      event_ = nullptr;
    }
  }

 private:
  EFI_EVENT event_ = nullptr;
};

// ---- Checksum, random numbers, model name ----
UINT16 InternetChecksum(const void *Buffer, UINTN Length);
UINT16 NextRandom(ProtocolInstance *Instance);
void ReadModelString(CHAR8 *Buffer);  // 32-byte buffer
UINTN Utf16ToUtf8(const CHAR16 *Source, UINTN UnitCount, CHAR8 *Destination);

// ---- Instance life cycle ----
// Fills the child's record; its interface table is the driver's (FillMemberTable).
void InitializeInstance(ProtocolInstance *Instance, ControllerBinding *Binding);
// Releases what Start allocated (the Stop member's work, lock already held).
void StopInstanceLocked(ProtocolInstance *Instance);
VOID EFIAPI ReceiveNotify(EFI_EVENT Event, VOID *Context);
// Returns an initialised BIS interface or null; see the probe's contract in instance.cpp.
EFI_BIS_PROTOCOL *ProbeBis(BIS_APPLICATION_HANDLE *ApplicationHandle, EFI_BIS_DATA **SignatureInfo);

#endif
