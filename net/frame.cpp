// Single Ethernet frames over the instance's MNP child. MNP builds the media
// header (HeaderLength 0); received frames arrive media header first.
// Runs under the controller lock (TPL 9): the MNP completion notifications
// (TPL_NOTIFY) still run inside the Poll calls made here.
#include "net.h"
#include "probe.h"

namespace {

constexpr UINT64 kTransmitTimeout = 10'000'000;  // 1 s in 100-ns units

}  // namespace

VOID EFIAPI TransmitNotify(EFI_EVENT, VOID *Context) { *static_cast<BOOLEAN *>(Context) = TRUE; }

TransmitEventLoan::TransmitEventLoan(ProtocolInstance *Instance) : instance_(Instance) {
  if (Instance->TxEvent != nullptr) return;
  // Without the event every frame makes its own, as before.
  EFI_EVENT Event = nullptr;
  if (EFI_ERROR(gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, TransmitNotify, &Instance->TxDone, &Event))) return;
  Instance->TxEvent = Event;
  owner_ = true;
}

TransmitEventLoan::~TransmitEventLoan() {
  if (!owner_) return;
  gBS->CloseEvent(instance_->TxEvent);
  instance_->TxEvent = nullptr;
}

// The token lives on this stack frame, so it never outlives the call: a
// transmit that has not completed when the wait ends is cancelled before the
// token's event is closed (or handed back to its lender), and the event is
// closed on every path.
EFI_STATUS SendFrame(ProtocolInstance *Instance, const void *Payload, UINTN Length,
                     const EFI_MAC_ADDRESS *Destination, UINT16 EtherType) {
  ORVALE_PROBE(kProbeSend);
  if (Instance->TxStaging == nullptr || Instance->TxData == nullptr) return EFI_NOT_STARTED;
  if (Length > kTxStagingSize) return EFI_BAD_BUFFER_SIZE;
  ControllerBinding *Binding = Instance->Binding;
  EFI_MANAGED_NETWORK_PROTOCOL *Mnp = Binding->Mnp;

  CopyBytes(Instance->TxStaging, Payload, Length);
  Instance->TxDone = FALSE;

  EFI_MANAGED_NETWORK_COMPLETION_TOKEN Token;
  ZeroBytes(&Token, sizeof(Token));
  Token.Status = EFI_NOT_READY;
  const bool Lent = Instance->TxEvent != nullptr;
  EFI_STATUS Status = EFI_SUCCESS;
  if (Lent) {
    Token.Event = Instance->TxEvent;
  } else {
    Status = gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, TransmitNotify, &Instance->TxDone, &Token.Event);
    if (EFI_ERROR(Status)) return Status;
  }
  auto CloseOwn = [&]() {
    if (!Lent) gBS->CloseEvent(Token.Event);
  };

  EFI_MANAGED_NETWORK_TRANSMIT_DATA *TxData = Instance->TxData;
  ZeroBytes(TxData, sizeof(*TxData));
  TxData->DestinationAddress = const_cast<EFI_MAC_ADDRESS *>(Destination);
  TxData->SourceAddress = &Binding->SnpMode.CurrentAddress;
  TxData->ProtocolType = EtherType;
  TxData->DataLength = static_cast<UINT32>(Length);
  TxData->HeaderLength = 0;
  TxData->FragmentCount = 1;
  TxData->FragmentTable[0].FragmentLength = static_cast<UINT32>(Length);
  TxData->FragmentTable[0].FragmentBuffer = Instance->TxStaging;
  Token.Packet.TxData = TxData;

  {
    ORVALE_PROBE(kProbeTransmit);
    Status = Mnp->Transmit(Mnp, &Token);
  }
  if (EFI_ERROR(Status)) {
    CloseOwn();
    return Status;
  }

  // The bound is armed only when the first poll has not seen the transmit
  // complete (the common case needs no timer at all); it then runs its whole
  // second from there.
  TimerEvent Timer;
  for (;;) {
    EFI_STATUS PollStatus;
    {
      ORVALE_PROBE(kProbeSendPoll);
      PollStatus = Mnp->Poll(Mnp);
    }
    if (EFI_ERROR(PollStatus) && PollStatus != EFI_NOT_READY) {
      Status = PollStatus;
      break;
    }
    if (Instance->TxDone) {
      Status = EFI_SUCCESS;
      break;
    }
    if (Timer.Get() == nullptr) {
      if (EFI_ERROR(Timer.Arm(kTransmitTimeout))) {
        Status = EFI_DEVICE_ERROR;
        break;
      }
      continue;
    }
    if (Timer.Fired()) {
      Status = EFI_TIMEOUT;
      break;
    }
  }
  Timer.Close();

  const BOOLEAN Completed = Instance->TxDone;
  if (!Completed) Mnp->Cancel(Mnp, &Token);
  CloseOwn();
  if (Completed && EFI_ERROR(Token.Status)) return Token.Status;
  return Status;
}

EFI_STATUS ReceiveFrame(ProtocolInstance *Instance, EFI_EVENT Timeout, UINTN *HeaderLength, UINTN *DataLength,
                        UINT16 *EtherType) {
  if (Instance->RxCopy == nullptr || Instance->FrameBuffer == nullptr) return EFI_NOT_STARTED;
  EFI_MANAGED_NETWORK_PROTOCOL *Mnp = Instance->Binding->Mnp;
  // The window's timer is looked at on every pass, whatever arrived: frames
  // sent faster than they are handled, or an MNP that fails every call, must
  // not keep a wait open past its deadline. A caller without a timer polls once.
  ORVALE_PROBE(kProbeFrameWait);
  auto Expired = [&]() {
    ORVALE_PROBE(kProbeCheckEvent);
    return gBS->CheckEvent(Timeout) == EFI_SUCCESS;
  };
  auto PostReceive = [&]() {
    ORVALE_PROBE(kProbeReceive);
    return Mnp->Receive(Mnp, &Instance->RxToken);
  };
  Instance->RxDone = FALSE;
  Instance->RxToken.Status = EFI_NOT_READY;
  EFI_STATUS Status = PostReceive();
  if (EFI_ERROR(Status)) return Timeout != nullptr && Expired() ? EFI_TIMEOUT : Status;

  auto Take = [&]() -> bool {
    if (!Instance->RxDone) return false;
    // Lengths are reported within what was actually copied. The frame is
    // handed over by exchanging the two buffers rather than copied into
    // FrameBuffer: no receive is posted until the next call, so nothing
    // writes RxCopy meanwhile. FrameBuffer holds the same frame; only the
    // bytes behind it are those of an older one.
    const UINTN Copied = MinOf<UINTN>(Instance->RxLength, kPacketBufferSize);
    UINT8 *Received = Instance->RxCopy;
    Instance->RxCopy = Instance->FrameBuffer;
    Instance->FrameBuffer = Received;
    const UINTN Header = MinOf<UINTN>(Instance->RxHeaderLength, Copied);
    *HeaderLength = Header;
    *DataLength = MinOf<UINTN>(Instance->RxDataLength, Copied - Header);
    *EtherType = Instance->RxProtocolType;
    return true;
  };
  auto GiveUp = [&]() {
    Mnp->Cancel(Mnp, &Instance->RxToken);
    return EFI_TIMEOUT;
  };

  for (;;) {
    const BOOLEAN HadFrame = Instance->RxDone;
    const UINT64 PollFrom = ProbeNow();
    Mnp->Poll(Mnp);
    ProbeAdd(!HadFrame && Instance->RxDone ? kProbeFramePoll : kProbeIdlePoll, PollFrom);
    // Once per pass, right after the poll; a poll-only caller still takes a
    // frame that is already there.
    if (Timeout != nullptr && Expired()) return GiveUp();
    if (Take()) return Instance->RxStatus;
    // A receive completed with an error (or a frame too large for RxCopy) is
    // posted again, so one bad frame does not close the rest of the window.
    if (Instance->RxToken.Status != EFI_NOT_READY) {
      Instance->RxToken.Status = EFI_NOT_READY;
      Status = PostReceive();
      if (EFI_ERROR(Status)) return Timeout != nullptr && Expired() ? EFI_TIMEOUT : Status;
    }
    // Reports fall due while some caller waits here; a frame that their
    // transmit polls in is taken before the wait may end.
    {
      ORVALE_PROBE(kProbeIgmp);
      ServiceIgmpTimers(Instance);
    }
    if (Take()) return Instance->RxStatus;
    if (Timeout == nullptr) return GiveUp();
  }
}
