// What Start and Stop ask of the packet path (net/filter.cpp): MNP passes
// multicast frames only for groups joined through it, and forgets them all
// when it is reset.
#ifndef ORVALE_NET_GROUPS_H
#define ORVALE_NET_GROUPS_H

#include "../instance/instance.h"

void JoinAllHostsGroup(ProtocolInstance *Instance);
void LeaveAllGroups(ProtocolInstance *Instance);

#endif
