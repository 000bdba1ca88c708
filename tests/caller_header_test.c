/* A C11 caller of the Orvale protocol: the caller's header compiles as C and
   its members are called through the table with the UEFI convention. */
#include <stddef.h>

#include "include/orvale/orvale_protocol.h"

/* Offsets a C caller relies on, checked by the C compiler itself. */
_Static_assert(offsetof(OrvaleProtocol, Mode) == 152, "Mode");
_Static_assert(offsetof(OrvaleProtocol, Packets) == 160, "Packets");
_Static_assert(offsetof(OrvaleProtocol, State) == 168, "State");
_Static_assert(offsetof(PacketRecord, FindOptionResult) == 8920, "FindOption result");
_Static_assert(offsetof(PacketRecord, GetBootFileResult) == 8936, "GetBootFile result");
_Static_assert(sizeof(PacketSlot) == 1938, "slot stride");

int OrvaleCallerRevisionIsCurrent(const OrvaleProtocol *Protocol) {
  return Protocol->Revision == ORVALE_PROTOCOL_REVISION && Protocol->Unused == NULL;
}

/* Starts the instance, asks for the DHCP ACK the way a C boot loader would,
   and stops it again. Returns the GetDhcpAck status; *BufferSize as left. */
EFI_STATUS OrvaleCallerAskForAck(OrvaleProtocol *Protocol, UINTN *BufferSize, EFI_STATUS *StartStatus,
                                 EFI_STATUS *StopStatus) {
  static UINT8 buffer[ORVALE_PACKET_SIZE];
  EFI_STATUS status;
  *StartStatus = Protocol->Start(Protocol);
  status = Protocol->GetDhcpAck(Protocol, BufferSize, buffer);
  *StopStatus = Protocol->Stop(Protocol);
  return status;
}
