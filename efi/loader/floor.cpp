#include "floor.h"

#include "include/efi/efi_protocols.h"
#include "instance/support.h"

namespace {

EFI_GUID kMnpServiceBindingGuid = EFI_MANAGED_NETWORK_SERVICE_BINDING_PROTOCOL_GUID;
EFI_GUID kMnpGuid = EFI_MANAGED_NETWORK_PROTOCOL_GUID;
// The firmware's own IPv4 driver publishes this on every controller it binds.
EFI_GUID kIp4ServiceBindingGuid = {0xC51711E7, 0xB4BF, 0x404A, {0xBF, 0xB8, 0x0A, 0x04, 0x8E, 0xF1, 0xFF, 0xE4}};

constexpr UINT16 kFloorEtherType = 0x88B5;  // IEEE 802 local experimental
constexpr UINT16 kIpv4EtherType = 0x0800;
constexpr UINTN kMtuPayload = 1480;         // IPv4 payload per frame at MTU 1500
constexpr UINTN kUdpTftpHeaders = 8 + 4;
constexpr UINT32 kWarmRounds = 20;
constexpr UINT64 kRoundWaitMs = 200;        // a round with a lost frame is asked again after this
constexpr UINT32 kMaxResent = 50;

// The request: what an ACK's IPv4 datagram weighs (20 + 8 + 4 bytes).
struct FloorRequest {
  UINT8 Magic[4];
  Be16 BlockSize;
  Be16 Frames;
  Be32 Sequence;
  UINT8 AnswerTo[4];  // 0.0.0.0: answers under 0x88B5; else IPv4 frames to this address
  UINT8 Zero[16];
};
static_assert(sizeof(FloorRequest) == 32, "floor request");

constexpr UINT8 kMagic[4] = {'O', 'R', 'V', 'F'};
constexpr UINTN kIdentificationAt = 4;  // in the IPv4 header each answer frame carries

VOID EFIAPI Nothing(EFI_EVENT, VOID *) {}

EFI_STATUS Settled(const EFI_MANAGED_NETWORK_COMPLETION_TOKEN &Token) {
  return *reinterpret_cast<const volatile EFI_STATUS *>(&Token.Status);
}

UINT64 Tsc() { return __builtin_ia32_rdtsc(); }

// The child, its configuration and its two tokens; all undone on every path.
class FloorLink {
 public:
  FloorLink(EFI_BOOT_SERVICES *Bs, const UINT8 *AnswerTo) : bs_(Bs) {
    if (AnswerTo == nullptr) return;
    for (UINTN i = 0; i < 4; ++i) answerTo_[i] = AnswerTo[i];
    answerType_ = kIpv4EtherType;
  }
  ~FloorLink() {
    if (mnp_ != nullptr) {
      if (rxPosted_) mnp_->Cancel(mnp_, &rx_);
      if (txPosted_) mnp_->Cancel(mnp_, &tx_);
      mnp_->Configure(mnp_, nullptr);
    }
    if (rx_.Event != nullptr) bs_->CloseEvent(rx_.Event);
    if (tx_.Event != nullptr) bs_->CloseEvent(tx_.Event);
    if (child_ != nullptr) binding_->DestroyChild(binding_, child_);
  }
  FloorLink(const FloorLink &) = delete;
  FloorLink &operator=(const FloorLink &) = delete;

  EFI_STATUS Open(const char **Step) {
    EFI_HANDLE *handles = nullptr;
    UINTN count = 0;
    *Step = "MNP service binding";
    EFI_STATUS status = bs_->LocateHandleBuffer(ByProtocol, &kMnpServiceBindingGuid, nullptr, &count, &handles);
    if (EFI_ERROR(status)) return status;
    status = count == 0 ? EFI_NOT_FOUND
                        : bs_->HandleProtocol(handles[0], &kMnpServiceBindingGuid,
                                              reinterpret_cast<VOID **>(&binding_));
    bs_->FreePool(handles);
    if (EFI_ERROR(status)) return status;
    *Step = "MNP CreateChild";
    status = binding_->CreateChild(binding_, &child_);
    if (EFI_ERROR(status)) {
      child_ = nullptr;
      return status;
    }
    EFI_MANAGED_NETWORK_PROTOCOL *mnp = nullptr;
    status = bs_->HandleProtocol(child_, &kMnpGuid, reinterpret_cast<VOID **>(&mnp));
    if (EFI_ERROR(status)) return status;
    mnp_ = mnp;
    EFI_MANAGED_NETWORK_CONFIG_DATA config{};
    mnp_->GetModeData(mnp_, &config, &mode_);
    // As the driver configures its own child, but for the answers' EtherType
    // alone, and unicast: the answers come to our address.
    config.ReceivedQueueTimeoutValue = 0;
    config.TransmitQueueTimeoutValue = 0;
    config.ProtocolTypeFilter = answerType_;
    config.EnableUnicastReceive = TRUE;
    config.EnableMulticastReceive = FALSE;
    config.EnableBroadcastReceive = FALSE;
    config.EnablePromiscuousReceive = FALSE;
    config.FlushQueuesOnReset = TRUE;
    config.EnableReceiveTimestamps = FALSE;
    config.DisableBackgroundPolling = FALSE;
    *Step = "MNP Configure";
    status = mnp_->Configure(mnp_, &config);
    if (EFI_ERROR(status)) return status;
    *Step = "CreateEvent";
    status = bs_->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Nothing, nullptr, &rx_.Event);
    if (!EFI_ERROR(status)) status = bs_->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Nothing, nullptr, &tx_.Event);
    return status;
  }

  EFI_STATUS PostReceive() {
    rx_.Status = EFI_NOT_READY;
    const EFI_STATUS status = mnp_->Receive(mnp_, &rx_);
    rxPosted_ = !EFI_ERROR(status);
    return status;
  }

  EFI_STATUS Send(const EFI_MAC_ADDRESS *To, UINT16 BlockSize, UINT16 Frames, UINT32 Sequence) {
    if (txPosted_) return EFI_NOT_READY;
    for (UINTN i = 0; i < 4; ++i) request_.Magic[i] = kMagic[i];
    request_.BlockSize.set(BlockSize);
    request_.Frames.set(Frames);
    request_.Sequence.set(Sequence);
    for (UINTN i = 0; i < 4; ++i) request_.AnswerTo[i] = answerTo_[i];
    txData_ = EFI_MANAGED_NETWORK_TRANSMIT_DATA{};
    txData_.DestinationAddress = const_cast<EFI_MAC_ADDRESS *>(To);
    txData_.SourceAddress = &mode_.CurrentAddress;
    txData_.ProtocolType = kFloorEtherType;
    txData_.DataLength = sizeof(request_);
    txData_.FragmentCount = 1;
    txData_.FragmentTable[0].FragmentLength = sizeof(request_);
    txData_.FragmentTable[0].FragmentBuffer = &request_;
    tx_.Status = EFI_NOT_READY;
    tx_.Packet.TxData = &txData_;
    const EFI_STATUS status = mnp_->Transmit(mnp_, &tx_);
    txPosted_ = !EFI_ERROR(status);
    return status;
  }

  // One pass: polls, settles a finished transmit, and hands a received frame
  // to Take (the sender's address and the payload) before giving it back.
  template <typename TakeFrame>
  EFI_STATUS Pass(TakeFrame &&Take) {
    mnp_->Poll(mnp_);
    if (txPosted_ && Settled(tx_) != EFI_NOT_READY) txPosted_ = false;
    if (!rxPosted_ || Settled(rx_) == EFI_NOT_READY) return EFI_SUCCESS;
    rxPosted_ = false;
    EFI_MANAGED_NETWORK_RECEIVE_DATA *data = rx_.Packet.RxData;
    if (!EFI_ERROR(Settled(rx_)) && data != nullptr) {
      Take(static_cast<const UINT8 *>(data->SourceAddress), static_cast<const UINT8 *>(data->PacketData),
           static_cast<UINTN>(data->DataLength));
    }
    if (data != nullptr) bs_->SignalEvent(data->RecycleEvent);
    return PostReceive();
  }

  bool Sending() const { return txPosted_; }

 private:
  EFI_BOOT_SERVICES *bs_;
  EFI_SERVICE_BINDING_PROTOCOL *binding_ = nullptr;
  EFI_HANDLE child_ = nullptr;
  EFI_MANAGED_NETWORK_PROTOCOL *mnp_ = nullptr;
  EFI_SIMPLE_NETWORK_MODE mode_{};
  EFI_MANAGED_NETWORK_COMPLETION_TOKEN rx_{};
  EFI_MANAGED_NETWORK_COMPLETION_TOKEN tx_{};
  EFI_MANAGED_NETWORK_TRANSMIT_DATA txData_{};
  FloorRequest request_{};
  UINT8 answerTo_[4] = {};
  UINT16 answerType_ = kFloorEtherType;
  bool rxPosted_ = false;
  bool txPosted_ = false;
};

}  // namespace

UINTN FirmwareIpv4Bindings(EFI_BOOT_SERVICES *Bs) {
  EFI_HANDLE *handles = nullptr;
  UINTN count = 0;
  if (EFI_ERROR(Bs->LocateHandleBuffer(ByProtocol, &kIp4ServiceBindingGuid, nullptr, &count, &handles))) return 0;
  Bs->FreePool(handles);
  return count;
}

UINTN FloorFramesPerBlock(UINTN BlockSize) {
  const UINTN payload = kUdpTftpHeaders + BlockSize;
  return (payload + kMtuPayload - 1) / kMtuPayload;
}

EFI_STATUS MeasureFloor(EFI_BOOT_SERVICES *Bs, UINT64 TicksPerMs, UINT16 BlockSize, UINT32 Rounds,
                        const UINT8 *AnswerTo, FloorFigures *Out, const char **Step) {
  *Out = FloorFigures{};
  FloorLink link(Bs, AnswerTo);
  EFI_STATUS status = link.Open(Step);
  if (EFI_ERROR(status)) return status;
  *Step = "MNP Receive";
  status = link.PostReceive();
  if (EFI_ERROR(status)) return status;

  const UINTN frames = FloorFramesPerBlock(BlockSize);
  // The first request goes to everyone; the server's answer names its address.
  EFI_MAC_ADDRESS server{};
  for (UINTN i = 0; i < 6; ++i) server.Addr[i] = 0xFF;
  bool serverKnown = false;
  const UINT64 wait = kRoundWaitMs * TicksPerMs;
  UINT64 timedFrom = 0;
  for (UINT32 round = 0; round < kWarmRounds + Rounds; ++round) {
    if (round == kWarmRounds) timedFrom = Tsc();
    const UINT32 sequence = round + 1;
    UINTN seen = 0;
    UINT64 askedAt = 0;
    bool ask = true;
    while (seen < frames || link.Sending()) {
      if (ask && !link.Sending()) {
        *Step = "MNP Transmit";
        status = link.Send(&server, BlockSize, static_cast<UINT16>(frames), sequence);
        if (EFI_ERROR(status)) return status;
        askedAt = Tsc();
        ask = false;
      }
      *Step = "MNP Receive";
      status = link.Pass([&](const UINT8 *From, const UINT8 *Payload, UINTN Length) {
        const Be16 *id = Length >= kIdentificationAt + 2 ? reinterpret_cast<const Be16 *>(Payload + kIdentificationAt)
                                                         : nullptr;
        if (id == nullptr || id->get() != static_cast<UINT16>(sequence)) {
          ++Out->Stale;
          return;
        }
        if (!serverKnown && From != nullptr) {
          for (UINTN i = 0; i < 6; ++i) server.Addr[i] = From[i];
          serverKnown = true;
        }
        ++seen;
      });
      if (EFI_ERROR(status)) return status;
      if (!ask && Tsc() - askedAt > kMaxResent * wait) {
        *Step = "transmit never completed";
        return EFI_TIMEOUT;
      }
      if (seen < frames && !ask && Tsc() - askedAt > wait) {
        // A frame lost: the whole round again, its frames counted afresh.
        if (++Out->Resent > kMaxResent) {
          *Step = serverKnown ? "rounds lost" : "no floor responder answered";
          return EFI_TIMEOUT;
        }
        seen = 0;
        ask = true;
      }
    }
  }
  Out->Ticks = Tsc() - timedFrom;
  Out->Rounds = Rounds;
  return EFI_SUCCESS;
}
