// The Mtftp member: the TFTP and multicast TFTP operations for a caller.
#include "../instance/members.h"
#include "tftp.h"
#include "../net/probe.h"

EFI_STATUS EFIAPI Mtftp(OrvaleProtocol *This, EFI_PXE_BASE_CODE_TFTP_OPCODE Operation, VOID *BufferPtr,
                        BOOLEAN Overwrite, UINT64 *BufferSize, UINTN *BlockSize, EFI_IP_ADDRESS *ServerIp,
                        UINT8 *Filename, EFI_PXE_BASE_CODE_MTFTP_INFO *Info, BOOLEAN DontUseBuffer) {
  MemberEntry Entry(This);
  if (!Entry.Ok()) return Entry.Status();
  ProtocolInstance *Instance = Entry.Instance();
  UINT64 Block = BlockSize != nullptr ? *BlockSize : 0;
  ProbeReset();
  const UINT64 CallFrom = ProbeNow();
  const EFI_STATUS Status = RunTftpOperation(Instance, Operation, BufferSize, BufferPtr, ServerIp, Filename,
                                             BlockSize != nullptr ? &Block : nullptr, Info, Overwrite, DontUseBuffer);
  ProbeAdd(kProbeCall, CallFrom);
  if (BlockSize != nullptr) *BlockSize = static_cast<UINTN>(Block);
  // A multicast operation never leaves the group admitted.
  (void)ApplyStationFilter(Instance);
  ProbeReport(kProbeMinFrames);
  return Status;
}
