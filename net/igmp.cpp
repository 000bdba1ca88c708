// IGMP host side (RFC 1112, RFC 2236) for the groups of the receive filter.
//
// Version choice, after RFC 2236 section 4 and 8.11:
//  - A version 1 querier counts as present while IgmpV1Timer exists and has
//    not fired. A version 1 query (maximum response time 0) sets IgmpV1Mode
//    and restarts the timer for 400 s. ClaimAddress starts the same timer when
//    IgmpV1Mode is set and no timer runs, so the first 400 s after an address
//    is taken assume a version 1 router (IgmpV1Mode is TRUE from Start).
//  - Reports are type 0x12 while that querier is present, 0x16 otherwise,
//    including when no timer has ever run (IgmpV1Mode alone decides nothing).
//  - When the timer fires, IgmpV1Mode becomes FALSE: the host is back to
//    version 2, and a later address claim does not assume a version 1 router
//    again until a version 1 query is heard.
//  - Leave Group is sent only when no version 1 querier is present.
//
// Timers: the report timers and IgmpV1Timer notify at TPL_NOTIFY and only set
// a flag (ReportDue, IgmpV1Expired), as the MNP completions do; ReceiveFrame
// acts on the flags while it waits. Nothing looks at them with CheckEvent, so
// the only timer a wait checks is the caller's own.
//
// Limitations: a query restarts a running report timer instead of keeping
// the earlier of the two deadlines (UEFI timers do not tell the time left);
// reports are not repeated beyond the one unsolicited repeat.
#include "net.h"

#include "ethernet_wire.h"
#include "igmp_wire.h"
#include "ip_address.h"

namespace {

constexpr UINT64 kTenthOfSecond = 1'000'000;
constexpr UINTN kV1QueryDelayTenths = 100;  // RFC 1112: reports within 10 s

VOID EFIAPI IgmpTimerNotify(EFI_EVENT Event, VOID *Context) {
  ProtocolInstance *Instance = static_cast<ProtocolInstance *>(Context);
  if (Event == Instance->IgmpV1Timer) Instance->IgmpV1Expired = TRUE;
  for (UINTN i = 0; i < kMaxGroups; ++i) {
    if (Event == Instance->ReportTimers[i]) Instance->ReportDue[i] = TRUE;
  }
}

// A one-shot timer that raises its flag through IgmpTimerNotify, or null.
EFI_EVENT ArmTimer(ProtocolInstance *Instance, UINT64 Delay) {
  EFI_EVENT Timer = nullptr;
  if (EFI_ERROR(gBS->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_NOTIFY, IgmpTimerNotify, Instance, &Timer))) {
    return nullptr;
  }
  if (EFI_ERROR(gBS->SetTimer(Timer, TimerRelative, Delay))) {
    gBS->CloseEvent(Timer);
    return nullptr;
  }
  return Timer;
}

void ArmV1Timer(ProtocolInstance *Instance) {
  if (Instance->IgmpV1Timer != nullptr) gBS->CloseEvent(Instance->IgmpV1Timer);
  Instance->IgmpV1Expired = FALSE;
  Instance->IgmpV1Timer = ArmTimer(Instance, kIgmpV1RouterPresentTimeout);
}

void CloseReportTimer(ProtocolInstance *Instance, UINTN Index) {
  if (Instance->ReportTimers[Index] != nullptr) {
    gBS->CloseEvent(Instance->ReportTimers[Index]);
    Instance->ReportTimers[Index] = nullptr;
  }
  Instance->ReportDue[Index] = FALSE;
}

// Index of the first group equal to Group, or kMaxGroups.
UINTN FindGroup(const ProtocolInstance *Instance, const Ipv4Bytes &Group) {
  for (UINTN i = 0; i < Instance->GroupCount && i < kMaxGroups; ++i) {
    if (SameIpv4(&Instance->Groups[i], &Group)) return i;
  }
  return kMaxGroups;
}

}  // namespace

BOOLEAN IgmpV1RouterPresent(const ProtocolInstance *Instance) {
  return Instance->IgmpV1Timer != nullptr && !Instance->IgmpV1Expired;
}

void StartIgmpV1RouterTimer(ProtocolInstance *Instance) {
  if (Instance->IgmpV1Mode && Instance->IgmpV1Timer == nullptr) ArmV1Timer(Instance);
}

void ServiceIgmpTimers(ProtocolInstance *Instance) {
  // Flags of closed timers are stale and ignored.
  if (Instance->IgmpV1Timer != nullptr && Instance->IgmpV1Expired) {
    gBS->CloseEvent(Instance->IgmpV1Timer);
    Instance->IgmpV1Timer = nullptr;
    Instance->IgmpV1Expired = FALSE;
    Instance->IgmpV1Mode = FALSE;
  }
  for (UINTN i = 0; i < Instance->GroupCount && i < kMaxGroups; ++i) {
    if (Instance->ReportTimers[i] != nullptr && Instance->ReportDue[i]) ReportTimerExpired(Instance, i);
  }
}

// Built on the stack and sent directly: a report may fall due while a UDP
// datagram waits in TxBuffer for ARP resolution, and must not overwrite it.
void SendIgmp(ProtocolInstance *Instance, UINT8 Type, UINTN GroupIndex) {
  if (GroupIndex >= Instance->GroupCount || GroupIndex >= kMaxGroups) return;
  Ipv4Bytes Group;
  CopyBytes(&Group, &Instance->Groups[GroupIndex], sizeof(Group));

  IgmpDatagram Datagram;
  ZeroBytes(&Datagram, sizeof(Datagram));
  IgmpMessage &Message = Datagram.message;
  Message.type = Type;
  Message.maxResponseTime = 0;
  Message.group = Group;
  StoreChecksum(&Message.checksum, InternetChecksum(&Message, sizeof(Message)));
  CopyBytes(Instance->IgmpMessage, &Message, sizeof(Message));

  Ipv4Header &Ip = Datagram.ip;
  constexpr UINTN kHeaderLength = sizeof(Ipv4Header) + sizeof(Ipv4RouterAlertOption);
  Ip.SetVersionAndLength(kHeaderLength);
  Ip.typeOfService = Instance->Mode.ToS;
  Ip.totalLength.set(sizeof(Datagram));
  Ip.identification.set(NextRandom(Instance));
  Ip.timeToLive = kIgmpTtl;
  Ip.protocol = kIpProtocolIgmp;
  CopyBytes(&Ip.source, Instance->Mode.StationIp.v4.Addr, kIpv4AddressLength);
  Ip.destination = Type == kIgmpLeaveGroup ? kIgmpAllRouters : Group;
  Datagram.routerAlert.type = kIpv4OptionRouterAlert;
  Datagram.routerAlert.length = sizeof(Ipv4RouterAlertOption);
  StoreChecksum(&Ip.checksum, InternetChecksum(&Ip, kHeaderLength));
  // A lost report is repeated by the querier's next query.
  (void)SendIpv4Datagram(Instance, nullptr, &Datagram, sizeof(Datagram));
}

void StartReportTimer(ProtocolInstance *Instance, UINTN GroupIndex, UINTN DelayTenths) {
  if (GroupIndex >= Instance->GroupCount || GroupIndex >= kMaxGroups) return;
  CloseReportTimer(Instance, GroupIndex);
  // Up to 6.5 ms of jitter so that hosts answering one query spread out.
  const UINT64 Delay = static_cast<UINT64>(DelayTenths) * kTenthOfSecond + NextRandom(Instance);
  Instance->ReportTimers[GroupIndex] = ArmTimer(Instance, Delay);
}

void ReportTimerExpired(ProtocolInstance *Instance, UINTN GroupIndex) {
  if (GroupIndex >= Instance->GroupCount || GroupIndex >= kMaxGroups) return;
  SendIgmp(Instance, IgmpV1RouterPresent(Instance) ? kIgmpV1MembershipReport : kIgmpV2MembershipReport, GroupIndex);
  CloseReportTimer(Instance, GroupIndex);
}

void HandleIgmp(ProtocolInstance *Instance, const UINT8 *Message, UINTN Length) {
  const ByteView View(Message, Length);
  const IgmpMessage *Igmp = View.At<IgmpMessage>(0);
  if (Igmp == nullptr) {
    CountDrop(Instance, kDropIgmpShort);
    return;
  }
  if (Instance->GroupCount == 0) {
    CountDrop(Instance, kDropIgmpNoGroups);
    return;
  }
  if (InternetChecksum(Message, Length) != 0) {
    CountDrop(Instance, kDropIgmpChecksum);
    return;
  }
  switch (Igmp->type) {
    case kIgmpMembershipQuery: {
      UINTN Delay = Igmp->maxResponseTime;
      if (Delay == 0) {
        // RFC 2236 section 4: a version 1 query.
        Instance->IgmpV1Mode = TRUE;
        ArmV1Timer(Instance);
        Delay = kV1QueryDelayTenths;
      }
      if (IsZeroIpv4(&Igmp->group)) {
        for (UINTN i = 0; i < Instance->GroupCount && i < kMaxGroups; ++i) StartReportTimer(Instance, i, Delay);
      } else {
        const UINTN Index = FindGroup(Instance, Igmp->group);
        if (Index < kMaxGroups) StartReportTimer(Instance, Index, Delay);
      }
      break;
    }
    case kIgmpV1MembershipReport:
    case kIgmpV2MembershipReport: {
      // Another member answered for the group: this station stays quiet.
      const UINTN Index = FindGroup(Instance, Igmp->group);
      if (Index < kMaxGroups) CloseReportTimer(Instance, Index);
      break;
    }
    default:
      break;
  }
}
