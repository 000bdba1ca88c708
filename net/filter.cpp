// The receive filter: validation, installation into StateRecord.IpFilter,
// and joining or leaving the multicast groups it lists.
//
// MNP is told of each joined group (Groups) so that a firmware MNP, which
// passes multicast frames only for its active groups, delivers them; a MNP
// without group support is not an error, since filtering is done here.
#include "net.h"

#include "igmp_wire.h"
#include "ip_address.h"

namespace {

constexpr UINT8 kKnownFilters = 0x0F;
constexpr UINTN kNewGroupReportDelay = 100;  // tenths: the repeat report within 10 s (RFC 2236 section 3)

bool Validate(const EFI_PXE_BASE_CODE_IP_FILTER *Filter) {
  if (Filter == nullptr) return false;
  if (Filter->Filters & ~kKnownFilters) return false;
  if (Filter->IpCnt > EFI_PXE_BASE_CODE_MAX_IPCNT) return false;
  if ((Filter->Filters & EFI_PXE_BASE_CODE_IP_FILTER_PROMISCUOUS) &&
      (Filter->Filters != EFI_PXE_BASE_CODE_IP_FILTER_PROMISCUOUS || Filter->IpCnt != 0)) {
    return false;
  }
  if (Filter->Filters & EFI_PXE_BASE_CODE_IP_FILTER_PROMISCUOUS_MULTICAST) {
    for (UINTN i = 0; i < Filter->IpCnt; ++i) {
      if (IsMulticastIpv4(Filter->IpList[i].v4.Addr)) return false;
    }
  }
  return true;
}

bool Lists(const EFI_PXE_BASE_CODE_IP_FILTER *Filter, const void *Address) {
  for (UINTN i = 0; i < Filter->IpCnt && i < EFI_PXE_BASE_CODE_MAX_IPCNT; ++i) {
    if (SameIpv4(Filter->IpList[i].v4.Addr, Address)) return true;
  }
  return false;
}

UINTN GroupIndexOf(const ProtocolInstance *Instance, const void *Address) {
  for (UINTN g = 0; g < Instance->GroupCount && g < kMaxGroups; ++g) {
    if (SameIpv4(&Instance->Groups[g], Address)) return g;
  }
  return kMaxGroups;
}

// Groups live in the MNP child that every child of the controller shares.
bool AnotherChildJoined(const ProtocolInstance *Instance, const void *Group) {
  const ListLink *Head = &Instance->Binding->Children;
  for (ListLink *Link = Head->Next; Link != Head; Link = Link->Next) {
    const ProtocolInstance *Other = InstanceFromLink(Link);
    if (Other != Instance && InstanceStarted(Other) && GroupIndexOf(Other, Group) < kMaxGroups) return true;
  }
  return false;
}

void TellMnp(ProtocolInstance *Instance, const void *Group, BOOLEAN Join) {
  if (!Join && AnotherChildJoined(Instance, Group)) return;
  EFI_MANAGED_NETWORK_PROTOCOL *Mnp = Instance->Binding->Mnp;
  if (Mnp == nullptr || Mnp->Groups == nullptr || Mnp->McastIpToMac == nullptr) return;
  EFI_IP_ADDRESS Address = Ipv4ToEfi(Group);
  EFI_MAC_ADDRESS Mac;
  ZeroBytes(&Mac, sizeof(Mac));
  if (EFI_ERROR(Mnp->McastIpToMac(Mnp, Instance->Mode.UsingIpv6, &Address, &Mac))) return;
  Mnp->Groups(Mnp, Join, &Mac);
}

void LeaveGroup(ProtocolInstance *Instance, UINTN Index) {
  if (!IgmpV1RouterPresent(Instance)) SendIgmp(Instance, kIgmpLeaveGroup, Index);
  TellMnp(Instance, &Instance->Groups[Index], FALSE);
  // The removed entry's timer is closed, not leaked by the shift below.
  if (Instance->ReportTimers[Index] != nullptr) gBS->CloseEvent(Instance->ReportTimers[Index]);
  // The timers' notification reads these arrays; it must not see them half moved.
  const EFI_TPL Saved = gBS->RaiseTPL(TPL_NOTIFY);
  for (UINTN g = Index; g + 1 < Instance->GroupCount; ++g) {
    Instance->Groups[g] = Instance->Groups[g + 1];
    Instance->ReportTimers[g] = Instance->ReportTimers[g + 1];
    Instance->ReportDue[g] = Instance->ReportDue[g + 1];
  }
  --Instance->GroupCount;
  Instance->Groups[Instance->GroupCount] = 0;
  Instance->ReportTimers[Instance->GroupCount] = nullptr;
  Instance->ReportDue[Instance->GroupCount] = FALSE;
  gBS->RestoreTPL(Saved);
}

}  // namespace

// RFC 1112 section 4: every host belongs to the all-hosts group, where
// queries arrive. Joined again by every Start (a second join is refused by
// MNP and harmless); left only by the MNP reset of the last Stop.
void JoinAllHostsGroup(ProtocolInstance *Instance) { TellMnp(Instance, &kIgmpAllHosts, TRUE); }

void LeaveAllGroups(ProtocolInstance *Instance) {
  while (Instance->GroupCount != 0) LeaveGroup(Instance, 0);
}

EFI_STATUS ApplyIpFilter(ProtocolInstance *Instance, const EFI_PXE_BASE_CODE_IP_FILTER *Filter) {
  if (!Validate(Filter)) return EFI_INVALID_PARAMETER;
  // The new filter may be the installed one itself; work from a copy.
  EFI_PXE_BASE_CODE_IP_FILTER New = *Filter;
  EFI_PXE_BASE_CODE_IP_FILTER &Installed = Instance->State.IpFilter;

  for (UINTN i = 0; i < Installed.IpCnt && i < EFI_PXE_BASE_CODE_MAX_IPCNT; ++i) {
    const UINT8 *Address = Installed.IpList[i].v4.Addr;
    if (!IsMulticastIpv4(Address) || Lists(&New, Address)) continue;
    const UINTN Index = GroupIndexOf(Instance, Address);
    if (Index < kMaxGroups) LeaveGroup(Instance, Index);
  }

  Installed.Filters = New.Filters;
  Installed.IpCnt = New.IpCnt;
  for (UINTN i = 0; i < New.IpCnt; ++i) Installed.IpList[i] = New.IpList[i];

  for (UINTN i = 0; i < New.IpCnt; ++i) {
    const UINT8 *Address = New.IpList[i].v4.Addr;
    if (!IsMulticastIpv4(Address) || GroupIndexOf(Instance, Address) < kMaxGroups) continue;
    if (Instance->GroupCount >= kMaxGroups) continue;
    const UINTN Index = Instance->GroupCount++;
    CopyBytes(&Instance->Groups[Index], Address, kIpv4AddressLength);
    TellMnp(Instance, Address, TRUE);
    ReportTimerExpired(Instance, Index);
    StartReportTimer(Instance, Index, kNewGroupReportDelay);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetIpFilter(OrvaleProtocol *This, EFI_PXE_BASE_CODE_IP_FILTER *NewFilter) {
  MemberEntry Entry(This);
  if (!Entry.Ok()) return Entry.Status();
  ProtocolInstance *Instance = Entry.Instance();
  if (NewFilter == nullptr) return EFI_INVALID_PARAMETER;
  return ApplyIpFilter(Instance, NewFilter);
}
