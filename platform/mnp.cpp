// The hosted NIC: a controller handle with a device path, the network
// interface identifier and the MNP service binding, and the MNP children
// whose frames cross a Wire.
//
// Like the firmware's MNP: transmits go to the wire at once, padded to the
// 60-byte Ethernet minimum as a NIC does, and complete at the next Poll;
// received frames wait in the child's queue until a Poll finds a posted
// receive token (one frame per token per Poll) and arrive as the link carried
// them, so DataLength includes whatever padding the sender added (an unpadded
// link, like a veth pair, delivers short frames); every delivered buffer must
// be given back through its RecycleEvent.
#include <algorithm>
#include <cstring>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVALE_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ORVALE_ASAN 1
#endif
#ifdef ORVALE_ASAN
#include <sanitizer/asan_interface.h>
#define ORVALE_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define ORVALE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define ORVALE_POISON(p, n) ((void)(p), (void)(n))
#define ORVALE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#include "platform/firmware_core.h"

namespace hosted::internal {

struct RxBuffer;

namespace {

constexpr EFI_GUID kMnpServiceBindingGuid = EFI_MANAGED_NETWORK_SERVICE_BINDING_PROTOCOL_GUID;
constexpr EFI_GUID kMnpGuid = EFI_MANAGED_NETWORK_PROTOCOL_GUID;
constexpr EFI_GUID kDevicePathGuid = {0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
constexpr EFI_GUID kNiiGuid = EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL_GUID_31;

constexpr size_t kMediaHeaderSize = 14;
constexpr size_t kMtu = 1500;
constexpr size_t kMaxFrame = kMediaHeaderSize + kMtu;
constexpr size_t kMinFrame = 60;  // Ethernet minimum without FCS
// Frames a child holds while no receive token is posted; later ones are dropped.
constexpr size_t kRxQueueLimit = 256;
constexpr uint32_t kDefaultQueueTimeout = 10'000'000;

struct QueuedFrame {
  RxBuffer *buffer = nullptr;  // the frame, copied once on arrival
  bool broadcast = false;
  bool multicast = false;
  bool promiscuous = false;
};

struct MnpChild;

}  // namespace

// One received frame on loan to an MNP user.
// Buffers are kept by their NIC and taken again, so a frame costs no
// allocation. Under AddressSanitizer everything past the frame and every
// buffer not handed out is poisoned: reading past the frame or after the
// recycle is still caught.
struct RxBuffer {
  EFI_MANAGED_NETWORK_RECEIVE_DATA data{};
  std::unique_ptr<uint8_t[]> bytes;
  size_t capacity = 0;
  size_t size = 0;
  Event *recycle = nullptr;
  MnpNic *nic = nullptr;
  bool out = false;  // handed to a receive token and not recycled yet
};

namespace {

struct MnpChild {
  EFI_MANAGED_NETWORK_PROTOCOL protocol{};  // first: This points here
  MnpNic *nic = nullptr;
  EFI_HANDLE handle = nullptr;
  bool destroyed = false;
  bool configured = false;
  EFI_MANAGED_NETWORK_CONFIG_DATA config{};
  std::deque<EFI_MANAGED_NETWORK_COMPLETION_TOKEN *> rx;
  std::deque<EFI_MANAGED_NETWORK_COMPLETION_TOKEN *> tx;     // sent, completing at the next Poll
  std::deque<EFI_MANAGED_NETWORK_COMPLETION_TOKEN *> stuck;  // transmitNeverCompletes
  std::deque<QueuedFrame> frames;
  std::vector<Mac> groups;
};

}  // namespace

// The service binding a NIC publishes, with the way back to its NIC.
struct ServiceBindingRecord {
  EFI_SERVICE_BINDING_PROTOCOL protocol{};  // first: This points here
  MnpNic *nic = nullptr;
};

class MnpNic : public Nic, public Port {
 public:
  MnpNic(Core *c, Wire *w, const Mac &address, unsigned n) : core(c), wire(w), index(n) { mac = address; }
  ~MnpNic() override {
    for (const auto &b : buffers) {
      ORVALE_UNPOISON(&b->data, sizeof b->data);
      ORVALE_UNPOISON(b->bytes.get(), b->capacity);
    }
  }

  Mac Address() const override { return mac; }
  void Deliver(const Frame &frame) override;

  size_t UnrecycledBuffers() const override { return outstanding; }
  size_t MnpChildren() const override {
    return static_cast<size_t>(std::count_if(children.begin(), children.end(),
                                             [](const auto &c) { return !c->destroyed; }));
  }
  size_t PendingReceives() const override {
    size_t n = 0;
    for (const auto &c : children) n += c->rx.size();
    return n;
  }
  size_t PendingTransmits() const override {
    size_t n = 0;
    for (const auto &c : children) n += c->tx.size() + c->stuck.size();
    return n;
  }
  size_t DroppedFrames() const override { return dropped; }
  size_t QueuedFrames() const override {
    size_t n = 0;
    for (const auto &child : children) n += child->frames.size();
    return n;
  }
  std::optional<EFI_MANAGED_NETWORK_CONFIG_DATA> Config() const override {
    for (const auto &c : children) {
      if (!c->destroyed && c->configured) return c->config;
    }
    return std::nullopt;
  }

  // Completes finished transmits and hands queued frames to posted receive
  // tokens, on every child; true when any token completed.
  bool Complete();
  void Abort(MnpChild *child);
  // A buffer holding these bytes; Release gives it back.
  RxBuffer *Take(const Bytes &frame);
  void Release(RxBuffer *b);

  Core *core;
  Wire *wire;
  unsigned index;
  ServiceBindingRecord serviceBinding;
  Bytes devicePath;
  EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL nii{};
  std::vector<std::unique_ptr<MnpChild>> children;  // destroyed ones stay, so a stale This is recognised
  std::vector<std::unique_ptr<RxBuffer>> buffers;  // every one ever made
  std::vector<RxBuffer *> freeBuffers;
  Bytes txFrame;
  size_t outstanding = 0;
  size_t dropped = 0;
};

namespace {

MnpNic *NicOf(EFI_SERVICE_BINDING_PROTOCOL *sb) { return reinterpret_cast<ServiceBindingRecord *>(sb)->nic; }

MnpChild *ChildOf(EFI_MANAGED_NETWORK_PROTOCOL *This, const char *service) {
  if (This == nullptr) return nullptr;
  Core *c = Current();
  const auto found = c->mnpChildren.find(This);
  if (found != c->mnpChildren.end()) {
    auto *child = static_cast<MnpChild *>(found->second);
    if (child->destroyed) {
      c->Error(std::string("MNP ") + service + " on a destroyed MNP child");
      return nullptr;
    }
    return child;
  }
  c->Error(std::string("MNP ") + service + " with a This that is no MNP child");
  return nullptr;
}

bool Holds(const std::deque<EFI_MANAGED_NETWORK_COMPLETION_TOKEN *> &q, EFI_MANAGED_NETWORK_COMPLETION_TOKEN *t) {
  return std::find(q.begin(), q.end(), t) != q.end();
}

void Finish(Core *c, EFI_MANAGED_NETWORK_COMPLETION_TOKEN *token, EFI_STATUS status) {
  token->Status = status;
  if (Event *e = c->LiveEvent(token->Event, "MNP token completion")) c->Signal(e);
}

VOID EFIAPI RecycleNotify(EFI_EVENT, VOID *Context) {
  auto *b = static_cast<RxBuffer *>(Context);
  Core *c = Current();
  c->CloseEvent(b->recycle);
  b->recycle = nullptr;
  b->out = false;
  --b->nic->outstanding;
  b->nic->Release(b);
}

EFI_MANAGED_NETWORK_CONFIG_DATA DefaultConfig() {
  EFI_MANAGED_NETWORK_CONFIG_DATA d{};
  d.ReceivedQueueTimeoutValue = kDefaultQueueTimeout;
  d.TransmitQueueTimeoutValue = kDefaultQueueTimeout;
  d.EnableUnicastReceive = TRUE;
  d.EnableBroadcastReceive = TRUE;
  d.FlushQueuesOnReset = TRUE;
  return d;
}

// ---- EFI_MANAGED_NETWORK_PROTOCOL ----

EFI_STATUS EFIAPI MnpGetModeData(EFI_MANAGED_NETWORK_PROTOCOL *This, EFI_MANAGED_NETWORK_CONFIG_DATA *MnpConfigData,
                                 EFI_SIMPLE_NETWORK_MODE *SnpModeData) {
  MnpChild *child = ChildOf(This, "GetModeData");
  if (child == nullptr) return EFI_INVALID_PARAMETER;
  if (MnpConfigData != nullptr) *MnpConfigData = child->configured ? child->config : DefaultConfig();
  if (SnpModeData != nullptr) {
    EFI_SIMPLE_NETWORK_MODE m{};
    m.State = 2;  // EfiSimpleNetworkInitialized
    m.HwAddressSize = 6;
    m.MediaHeaderSize = kMediaHeaderSize;
    m.MaxPacketSize = kMtu;
    m.ReceiveFilterMask = 0x1F;
    m.ReceiveFilterSetting = 0x0D;  // unicast, broadcast, all multicast
    m.MaxMCastFilterCount = MAX_MCAST_FILTER_CNT;
    m.MCastFilterCount = static_cast<UINT32>(std::min<size_t>(child->groups.size(), MAX_MCAST_FILTER_CNT));
    for (size_t i = 0; i < m.MCastFilterCount; ++i) memcpy(m.MCastFilter[i].Addr, child->groups[i].data(), 6);
    memcpy(m.CurrentAddress.Addr, child->nic->mac.data(), 6);
    memcpy(m.PermanentAddress.Addr, child->nic->mac.data(), 6);
    memset(m.BroadcastAddress.Addr, 0xFF, 6);
    m.IfType = 1;
    m.MacAddressChangeable = FALSE;
    m.MultipleTxSupported = TRUE;
    m.MediaPresentSupported = TRUE;
    m.MediaPresent = TRUE;
    *SnpModeData = m;
  }
  return child->configured ? EFI_SUCCESS : EFI_NOT_STARTED;
}

EFI_STATUS EFIAPI MnpConfigure(EFI_MANAGED_NETWORK_PROTOCOL *This, EFI_MANAGED_NETWORK_CONFIG_DATA *MnpConfigData) {
  MnpChild *child = ChildOf(This, "Configure");
  if (child == nullptr) return EFI_INVALID_PARAMETER;
  if (MnpConfigData == nullptr) {
    // Reset: stop receiving, drop the queues, abort every pending token.
    child->nic->Abort(child);
    child->configured = false;
    child->groups.clear();
    return EFI_SUCCESS;
  }
  child->config = *MnpConfigData;
  child->configured = true;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI MnpMcastIpToMac(EFI_MANAGED_NETWORK_PROTOCOL *This, BOOLEAN Ipv6Flag, EFI_IP_ADDRESS *IpAddress,
                                  EFI_MAC_ADDRESS *MacAddress) {
  MnpChild *child = ChildOf(This, "McastIpToMac");
  if (child == nullptr || IpAddress == nullptr || MacAddress == nullptr) return EFI_INVALID_PARAMETER;
  if (!child->configured) return EFI_NOT_STARTED;
  EFI_MAC_ADDRESS mac{};
  if (Ipv6Flag) {
    if (IpAddress->v6.Addr[0] != 0xFF) return EFI_INVALID_PARAMETER;
    mac.Addr[0] = 0x33;
    mac.Addr[1] = 0x33;
    memcpy(&mac.Addr[2], &IpAddress->v6.Addr[12], 4);
  } else {
    const UINT8 *a = IpAddress->v4.Addr;
    if ((a[0] & 0xF0) != 0xE0) return EFI_INVALID_PARAMETER;  // RFC 1112 6.4: class D only
    mac.Addr[0] = 0x01;
    mac.Addr[1] = 0x00;
    mac.Addr[2] = 0x5E;
    mac.Addr[3] = a[1] & 0x7F;
    mac.Addr[4] = a[2];
    mac.Addr[5] = a[3];
  }
  *MacAddress = mac;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI MnpGroups(EFI_MANAGED_NETWORK_PROTOCOL *This, BOOLEAN JoinFlag, EFI_MAC_ADDRESS *MacAddress) {
  MnpChild *child = ChildOf(This, "Groups");
  if (child == nullptr) return EFI_INVALID_PARAMETER;
  if (JoinFlag && MacAddress == nullptr) return EFI_INVALID_PARAMETER;
  if (MacAddress != nullptr && (MacAddress->Addr[0] & 1) == 0) return EFI_INVALID_PARAMETER;
  if (!child->configured) return EFI_NOT_STARTED;
  if (MacAddress == nullptr) {
    child->groups.clear();
    return EFI_SUCCESS;
  }
  Mac m{};
  memcpy(m.data(), MacAddress->Addr, 6);
  auto it = std::find(child->groups.begin(), child->groups.end(), m);
  if (JoinFlag) {
    if (it != child->groups.end()) return EFI_ALREADY_STARTED;
    child->groups.push_back(m);
  } else {
    if (it == child->groups.end()) return EFI_NOT_FOUND;
    child->groups.erase(it);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI MnpTransmit(EFI_MANAGED_NETWORK_PROTOCOL *This, EFI_MANAGED_NETWORK_COMPLETION_TOKEN *Token) {
  MnpChild *child = ChildOf(This, "Transmit");
  if (child == nullptr || Token == nullptr || Token->Event == nullptr || Token->Packet.TxData == nullptr)
    return EFI_INVALID_PARAMETER;
  Core *c = Current();
  MnpNic *nic = child->nic;
  const EFI_MANAGED_NETWORK_TRANSMIT_DATA *tx = Token->Packet.TxData;
  if (tx->HeaderLength == 0 && tx->DestinationAddress == nullptr) return EFI_INVALID_PARAMETER;
  if (tx->HeaderLength != 0 && tx->HeaderLength != kMediaHeaderSize) return EFI_INVALID_PARAMETER;
  if (tx->FragmentCount == 0) return EFI_INVALID_PARAMETER;
  uint64_t total = 0;
  for (UINT16 i = 0; i < tx->FragmentCount; ++i) {
    const EFI_MANAGED_NETWORK_FRAGMENT_DATA &f = tx->FragmentTable[i];
    if (f.FragmentLength == 0 || f.FragmentBuffer == nullptr) return EFI_INVALID_PARAMETER;
    total += f.FragmentLength;
  }
  if (total != static_cast<uint64_t>(tx->HeaderLength) + tx->DataLength) return EFI_INVALID_PARAMETER;
  if (tx->DataLength > kMtu) return EFI_INVALID_PARAMETER;
  const uint64_t frameLength = (tx->HeaderLength == 0 ? kMediaHeaderSize : 0) + total;
  if (frameLength > kMaxFrame) return EFI_INVALID_PARAMETER;
  if (!child->configured) return EFI_NOT_STARTED;
  if (Holds(child->tx, Token) || Holds(child->stuck, Token)) return EFI_ACCESS_DENIED;
  if (c->LiveEvent(Token->Event, "MNP Transmit") == nullptr) return EFI_INVALID_PARAMETER;
  if (nic->faults.transmitFails) return EFI_DEVICE_ERROR;

  // Built in the NIC's own buffer: a frame sent allocates nothing. The wire
  // copies what it keeps.
  Bytes &frame = nic->txFrame;
  frame.clear();
  if (tx->HeaderLength == 0) {
    const UINT8 *src = tx->SourceAddress != nullptr ? tx->SourceAddress->Addr : nic->mac.data();
    frame.insert(frame.end(), tx->DestinationAddress->Addr, tx->DestinationAddress->Addr + 6);
    frame.insert(frame.end(), src, src + 6);
    frame.push_back(static_cast<uint8_t>(tx->ProtocolType >> 8));
    frame.push_back(static_cast<uint8_t>(tx->ProtocolType));
  }
  for (UINT16 i = 0; i < tx->FragmentCount; ++i) {
    const auto *p = static_cast<const uint8_t *>(tx->FragmentTable[i].FragmentBuffer);
    frame.insert(frame.end(), p, p + tx->FragmentTable[i].FragmentLength);
  }
  if (nic->faults.transmitNeverCompletes) {
    child->stuck.push_back(Token);
    return EFI_SUCCESS;
  }
  if (frame.size() < kMinFrame) frame.resize(kMinFrame, 0);
  if (nic->recordSent) nic->sent.push_back({frame, c->Now()});
  child->tx.push_back(Token);
  c->idleChecks = 0;
  if (nic->wire != nullptr) nic->wire->Send(nic, frame);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI MnpReceive(EFI_MANAGED_NETWORK_PROTOCOL *This, EFI_MANAGED_NETWORK_COMPLETION_TOKEN *Token) {
  MnpChild *child = ChildOf(This, "Receive");
  if (child == nullptr || Token == nullptr || Token->Event == nullptr) return EFI_INVALID_PARAMETER;
  if (!child->configured) return EFI_NOT_STARTED;
  if (Holds(child->rx, Token)) return EFI_ACCESS_DENIED;
  if (Current()->LiveEvent(Token->Event, "MNP Receive") == nullptr) return EFI_INVALID_PARAMETER;
  if (child->nic->faults.receiveFails) return EFI_DEVICE_ERROR;
  child->rx.push_back(Token);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI MnpCancel(EFI_MANAGED_NETWORK_PROTOCOL *This, EFI_MANAGED_NETWORK_COMPLETION_TOKEN *Token) {
  MnpChild *child = ChildOf(This, "Cancel");
  if (child == nullptr) return EFI_INVALID_PARAMETER;
  if (!child->configured) return EFI_NOT_STARTED;
  Core *c = Current();
  if (Token == nullptr) {
    std::deque<EFI_MANAGED_NETWORK_COMPLETION_TOKEN *> all;
    for (auto *q : {&child->rx, &child->tx, &child->stuck}) {
      all.insert(all.end(), q->begin(), q->end());
      q->clear();
    }
    for (auto *t : all) Finish(c, t, EFI_ABORTED);
    return EFI_SUCCESS;
  }
  for (auto *q : {&child->rx, &child->tx, &child->stuck}) {
    auto it = std::find(q->begin(), q->end(), Token);
    if (it == q->end()) continue;
    q->erase(it);
    Finish(c, Token, EFI_ABORTED);
    return EFI_SUCCESS;
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI MnpPoll(EFI_MANAGED_NETWORK_PROTOCOL *This) {
  MnpChild *child = ChildOf(This, "Poll");
  if (child == nullptr) return EFI_INVALID_PARAMETER;
  if (!child->configured) return EFI_NOT_STARTED;
  MnpNic *nic = child->nic;
  // Takes in what the wire holds now; the virtual clock does not move. On the
  // real clock, timers that fell due fire here, as the timer interrupt would
  // have fired them in firmware.
  if (nic->core->realTime) {
    nic->core->Settle();
  } else if (nic->wire != nullptr) {
    nic->wire->Pump();
  }
  return nic->Complete() ? EFI_SUCCESS : EFI_NOT_READY;
}

// ---- Service binding ----

EFI_STATUS EFIAPI MnpCreateChild(EFI_SERVICE_BINDING_PROTOCOL *This, EFI_HANDLE *ChildHandle) {
  if (This == nullptr || ChildHandle == nullptr) return EFI_INVALID_PARAMETER;
  MnpNic *nic = NicOf(This);
  if (nic->faults.failCreateChild) return EFI_OUT_OF_RESOURCES;
  auto child = std::make_unique<MnpChild>();
  child->nic = nic;
  child->protocol.GetModeData = MnpGetModeData;
  child->protocol.Configure = MnpConfigure;
  child->protocol.McastIpToMac = MnpMcastIpToMac;
  child->protocol.Groups = MnpGroups;
  child->protocol.Transmit = MnpTransmit;
  child->protocol.Receive = MnpReceive;
  child->protocol.Cancel = MnpCancel;
  child->protocol.Poll = MnpPoll;
  const EFI_STATUS s = nic->core->Install(ChildHandle, kMnpGuid, &child->protocol);
  if (EFI_ERROR(s)) return s;
  child->handle = *ChildHandle;
  nic->core->mnpChildren[&child->protocol] = child.get();
  nic->children.push_back(std::move(child));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI MnpDestroyChild(EFI_SERVICE_BINDING_PROTOCOL *This, EFI_HANDLE ChildHandle) {
  if (This == nullptr || ChildHandle == nullptr) return EFI_INVALID_PARAMETER;
  MnpNic *nic = NicOf(This);
  for (const auto &child : nic->children) {
    if (child->destroyed || child->handle != ChildHandle) continue;
    // Refused while a driver still holds the child's MNP open BY_DRIVER.
    const EFI_STATUS s = nic->core->Uninstall(ChildHandle, kMnpGuid, &child->protocol);
    if (EFI_ERROR(s)) return s;
    nic->Abort(child.get());
    child->configured = false;
    child->destroyed = true;
    return EFI_SUCCESS;
  }
  return EFI_UNSUPPORTED;
}

}  // namespace

void MnpNic::Deliver(const Frame &frame) {
  if (frame.bytes.size() < kMediaHeaderSize) {
    ++dropped;
    return;
  }
  // The frame is copied only for a child that takes it: on a segment of many
  // NICs most frames are for another.
  QueuedFrame q;
  const uint8_t *dst = frame.bytes.data();
  const uint16_t type = static_cast<uint16_t>((frame.bytes[12] << 8) | frame.bytes[13]);
  q.broadcast = std::all_of(dst, dst + 6, [](uint8_t b) { return b == 0xFF; });
  q.multicast = !q.broadcast && (dst[0] & 1) != 0;
  const bool toUs = memcmp(dst, mac.data(), 6) == 0;
  bool taken = false;
  for (const auto &child : children) {
    if (child->destroyed || !child->configured) continue;
    const EFI_MANAGED_NETWORK_CONFIG_DATA &cfg = child->config;
    if (cfg.ProtocolTypeFilter != 0 && cfg.ProtocolTypeFilter != type) continue;
    // As the firmware's MNP: multicast only for the groups joined through Groups.
    const bool joined = q.multicast && std::any_of(child->groups.begin(), child->groups.end(),
                                                   [&](const Mac &m) { return memcmp(m.data(), dst, 6) == 0; });
    const bool matched = (q.broadcast && cfg.EnableBroadcastReceive) || (joined && cfg.EnableMulticastReceive) ||
                         (toUs && cfg.EnableUnicastReceive);
    if (!matched && !cfg.EnablePromiscuousReceive) continue;
    if (child->frames.size() >= kRxQueueLimit) continue;
    QueuedFrame copy = q;
    copy.buffer = Take(frame.bytes);
    copy.promiscuous = !matched;
    child->frames.push_back(std::move(copy));
    taken = true;
  }
  if (!taken) ++dropped;
  core->idleChecks = 0;
}

bool MnpNic::Complete() {
  bool did = false;
  for (size_t ci = 0; ci < children.size(); ++ci) {
    MnpChild *child = children[ci].get();
    if (child->destroyed || !child->configured) continue;
    while (!child->tx.empty()) {
      EFI_MANAGED_NETWORK_COMPLETION_TOKEN *t = child->tx.front();
      child->tx.pop_front();
      Finish(core, t, faults.transmitCompletion);
      did = true;
    }
    // Tokens posted by a notify during this Poll wait for the next one.
    size_t budget = child->rx.size();
    if (budget != 0 && (faults.receiveCompletesWithError || faults.receiveAlwaysCompletesWithError)) {
      faults.receiveCompletesWithError = false;
      EFI_MANAGED_NETWORK_COMPLETION_TOKEN *t = child->rx.front();
      child->rx.pop_front();
      t->Packet.RxData = nullptr;
      Finish(core, t, EFI_DEVICE_ERROR);
      did = true;
      --budget;
    }
    while (budget != 0 && !child->rx.empty() && !child->frames.empty() && child->configured) {
      --budget;
      EFI_MANAGED_NETWORK_COMPLETION_TOKEN *t = child->rx.front();
      child->rx.pop_front();
      QueuedFrame q = std::move(child->frames.front());
      child->frames.pop_front();

      RxBuffer *b = q.buffer;
      ORVALE_UNPOISON(&b->data, sizeof b->data);
      b->data = EFI_MANAGED_NETWORK_RECEIVE_DATA{};
      b->out = true;
      b->recycle = core->NewEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, RecycleNotify, b, true);
      EFI_MANAGED_NETWORK_RECEIVE_DATA &d = b->data;
      if (child->config.EnableReceiveTimestamps) core->rt.GetTime(&d.Timestamp, nullptr);
      d.RecycleEvent = b->recycle;
      d.PacketLength = static_cast<UINT32>(b->size);
      d.HeaderLength = kMediaHeaderSize;
      d.AddressLength = 6;
      d.DataLength = static_cast<UINT32>(b->size - kMediaHeaderSize);
      d.BroadcastFlag = q.broadcast;
      d.MulticastFlag = q.multicast;
      d.PromiscuousFlag = q.promiscuous;
      d.ProtocolType = static_cast<UINT16>((b->bytes[12] << 8) | b->bytes[13]);
      d.DestinationAddress = b->bytes.get();
      d.SourceAddress = b->bytes.get() + 6;
      d.MediaHeader = b->bytes.get();
      d.PacketData = b->bytes.get() + kMediaHeaderSize;
      ++outstanding;
      t->Packet.RxData = &b->data;
      core->delivered = true;
      if (faults.receiveTicks != 0 && !core->realTime) core->now += faults.receiveTicks;
      Finish(core, t, EFI_SUCCESS);
      did = true;
    }
  }
  return did;
}

void MnpNic::Abort(MnpChild *child) {
  std::deque<EFI_MANAGED_NETWORK_COMPLETION_TOKEN *> all;
  for (auto *q : {&child->rx, &child->tx, &child->stuck}) {
    all.insert(all.end(), q->begin(), q->end());
    q->clear();
  }
  for (const QueuedFrame &q : child->frames) Release(q.buffer);
  child->frames.clear();
  for (auto *t : all) Finish(core, t, EFI_ABORTED);
}

RxBuffer *MnpNic::Take(const Bytes &frame) {
  RxBuffer *b;
  if (!freeBuffers.empty()) {
    b = freeBuffers.back();
    freeBuffers.pop_back();
  } else {
    buffers.push_back(std::make_unique<RxBuffer>());
    b = buffers.back().get();
    b->nic = this;
  }
  if (b->capacity < frame.size()) {
    ORVALE_UNPOISON(b->bytes.get(), b->capacity);
    // Room for the largest frame (a VLAN tag included), in whole 8-byte
    // granules, so the poison past a frame starts exactly at its end.
    b->capacity = (std::max<size_t>(frame.size(), kMaxFrame + 4) + 7) & ~size_t{7};
    b->bytes.reset(new uint8_t[b->capacity]);
  }
  b->size = frame.size();
  ORVALE_UNPOISON(b->bytes.get(), b->size);
  memcpy(b->bytes.get(), frame.data(), b->size);
  ORVALE_POISON(b->bytes.get() + b->size, b->capacity - b->size);
  return b;
}

void MnpNic::Release(RxBuffer *b) {
  ORVALE_POISON(&b->data, sizeof b->data);
  ORVALE_POISON(b->bytes.get(), b->capacity);
  freeBuffers.push_back(b);
}

void NicDeleter::operator()(MnpNic *nic) const { delete nic; }

MnpNic *CreateNic(Core *core, Wire *wire, const Mac &mac, unsigned index) {
  std::unique_ptr<MnpNic, NicDeleter> nic(new MnpNic(core, wire, mac, index));
  MnpNic *raw = nic.get();
  raw->serviceBinding.protocol.CreateChild = MnpCreateChild;
  raw->serviceBinding.protocol.DestroyChild = MnpDestroyChild;
  raw->serviceBinding.nic = raw;

  // PciRoot(0x0)/Pci(0x3+index,0x0)/MAC(mac,0x1)/End, as the firmware names its NIC.
  Bytes &dp = raw->devicePath;
  const uint8_t acpi[] = {0x02, 0x01, 0x0C, 0x00, 0xD0, 0x41, 0x03, 0x0A, 0x00, 0x00, 0x00, 0x00};
  dp.insert(dp.end(), acpi, acpi + sizeof acpi);
  const uint8_t pci[] = {0x01, 0x01, 0x06, 0x00, 0x00, static_cast<uint8_t>(0x03 + index)};
  dp.insert(dp.end(), pci, pci + sizeof pci);
  const uint8_t macNode[] = {0x03, 0x0B, 0x25, 0x00};
  dp.insert(dp.end(), macNode, macNode + sizeof macNode);
  uint8_t macField[32] = {};
  memcpy(macField, mac.data(), 6);
  dp.insert(dp.end(), macField, macField + sizeof macField);
  dp.push_back(0x01);  // IfType: Ethernet
  const uint8_t end[] = {0x7F, 0xFF, 0x04, 0x00};
  dp.insert(dp.end(), end, end + sizeof end);

  raw->nii.Revision = 0x00010000;
  memcpy(raw->nii.StringId, "UNDI", 4);
  raw->nii.Type = 2;
  raw->nii.MajorVer = 3;
  raw->nii.MinorVer = 1;
  raw->nii.Ipv6Supported = FALSE;
  raw->nii.IfNum = static_cast<UINT16>(index);

  EFI_HANDLE handle = nullptr;
  core->Install(&handle, kDevicePathGuid, raw->devicePath.data());
  core->Install(&handle, kNiiGuid, &raw->nii);
  core->Install(&handle, kMnpServiceBindingGuid, &raw->serviceBinding.protocol);
  raw->controller = handle;
  if (wire != nullptr) wire->Attach(raw);
  core->nics.push_back(std::move(nic));
  return raw;
}

void DestroyNics(Core *core) {
  for (auto &nic : core->nics) {
    if (nic->wire != nullptr) nic->wire->Detach(nic.get());
    nic->wire = nullptr;
  }
  core->nics.clear();
  core->mnpChildren.clear();
}

void DetachNicsFrom(Core *core, Wire *wire) {
  for (auto &nic : core->nics) {
    if (nic->wire == wire) nic->wire = nullptr;
  }
}

Nic *AsNic(MnpNic *nic) { return nic; }

bool NicRefusesOpen(Core *core, EFI_HANDLE handle, const EFI_GUID &guid) {
  for (const auto &nic : core->nics) {
    if (SameGuid(guid, kMnpServiceBindingGuid) && nic->controller == handle && nic->faults.failServiceBindingOpen) {
      return true;
    }
    if (!SameGuid(guid, kMnpGuid) || !nic->faults.failChildOpen) continue;
    for (const auto &child : nic->children) {
      if (child->handle == handle) return true;
    }
  }
  return false;
}

}  // namespace hosted::internal
