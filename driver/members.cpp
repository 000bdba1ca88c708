// The interface table of every child: each member from the layer that defines it.
#include "../instance/members.h"
#include "driver.h"

void FillMemberTable(OrvaleProtocol *P) {
  P->Start = Start;
  P->Stop = Stop;
  P->Unused = nullptr;
  P->Dhcp = Dhcp;
  P->Wirl = Wirl;
  P->FindOption = FindOption;
  P->GetBootFile = GetBootFile;
  P->Discover = Discover;
  P->Mtftp = Mtftp;
  P->UdpWrite = UdpWrite;
  P->UdpRead = UdpRead;
  P->Arp = Arp;
  P->SetIpFilter = SetIpFilter;
  P->SetStationIp = SetStationIp;
  P->SetPackets = SetPackets;
  P->BisVerify = BisVerify;
  P->GetDhcpAck = GetDhcpAck;
  P->GetWirlReply = GetWirlReply;
}
