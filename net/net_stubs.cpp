// Placeholders so the tree links while the packet path is built; each is
// removed when its real definition lands.
#include "net.h"

EFI_STATUS SendFrame(ProtocolInstance *, const void *, UINTN, const EFI_MAC_ADDRESS *, UINT16) { return EFI_UNSUPPORTED; }
VOID EFIAPI TransmitNotify(EFI_EVENT, VOID *Context) { *static_cast<BOOLEAN *>(Context) = TRUE; }
EFI_STATUS ReceiveFrame(ProtocolInstance *, EFI_EVENT, UINTN *, UINTN *, UINT16 *) { return EFI_UNSUPPORTED; }
void HandleArpPacket(ProtocolInstance *, const UINT8 *, UINTN, const UINT8 *) {}
BOOLEAN LookupArpCache(ProtocolInstance *, const EFI_IP_ADDRESS *, EFI_MAC_ADDRESS *) { return FALSE; }
EFI_STATUS ResolveArp(ProtocolInstance *, const EFI_IP_ADDRESS *, EFI_MAC_ADDRESS *) { return EFI_UNSUPPORTED; }
BOOLEAN AnnounceAddress(ProtocolInstance *, const EFI_IP_ADDRESS *) { return FALSE; }
BOOLEAN ClaimAddress(ProtocolInstance *, const EFI_IP_ADDRESS *) { return FALSE; }
void LearnRoutes(ProtocolInstance *, PacketSlot *) {}
void AddRoute(ProtocolInstance *, const EFI_IP_ADDRESS *) {}
void InitializeArpTemplates() {}
EFI_STATUS SendIpPacket(ProtocolInstance *, const EFI_IP_ADDRESS *, UINTN, UINTN, const void *, UINTN) { return EFI_UNSUPPORTED; }
EFI_STATUS SendUdpDatagram(ProtocolInstance *, UINT16, const EFI_IP_ADDRESS *, const EFI_IP_ADDRESS *,
                           const EFI_IP_ADDRESS *, UINTN, const void *, UINTN) { return EFI_UNSUPPORTED; }
EFI_STATUS ReceiveUdpDatagram(ProtocolInstance *, UINT16, EFI_IP_ADDRESS *, EFI_IP_ADDRESS *, UINT8, void *, UINTN,
                              void *, UINTN *, EFI_EVENT) { return EFI_UNSUPPORTED; }
void SendIgmp(ProtocolInstance *, UINT8, UINTN) {}
void StartReportTimer(ProtocolInstance *, UINTN, UINTN) {}
void ReportTimerExpired(ProtocolInstance *, UINTN) {}
void HandleIgmp(ProtocolInstance *, const UINT8 *, UINTN) {}
EFI_STATUS UdpWriteLocked(ProtocolInstance *, UINT16, EFI_IP_ADDRESS *, EFI_PXE_BASE_CODE_UDP_PORT *, EFI_IP_ADDRESS *,
                          EFI_IP_ADDRESS *, EFI_PXE_BASE_CODE_UDP_PORT *, UINTN *, VOID *, UINTN *, VOID *) { return EFI_UNSUPPORTED; }
EFI_STATUS UdpReadLocked(ProtocolInstance *, UINT16, EFI_IP_ADDRESS *, EFI_PXE_BASE_CODE_UDP_PORT *, EFI_IP_ADDRESS *,
                         EFI_PXE_BASE_CODE_UDP_PORT *, UINTN *, VOID *, UINTN *, VOID *, EFI_EVENT) { return EFI_UNSUPPORTED; }
EFI_STATUS ApplyIpFilter(ProtocolInstance *, const EFI_PXE_BASE_CODE_IP_FILTER *) { return EFI_UNSUPPORTED; }
