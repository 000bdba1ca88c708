// A temporary macvlan interface for the tool: a machine with one network
// card keeps its own address on it, and the driver gets an interface of its
// own beside it (its own MAC, no IPv4 address, IPv6 off, so the host's stack
// stays silent there). One per process; removed at exit and on SIGINT,
// SIGTERM, SIGHUP, SIGQUIT, SIGPIPE and SIGABRT (SIGKILL leaves it behind:
// `ip link del` it).
#ifndef ORVALE_TOOLS_CLI_MACVLAN_H
#define ORVALE_TOOLS_CLI_MACVLAN_H

#include <string>

namespace orvale_cli {

// "orv-mv-<process id in hex>": at most 13 characters.
std::string MacvlanName();

// Creates the macvlan (mode bridge) on parent, turns IPv6 off on it and
// brings it up. False with *error when a step fails; what was made is removed.
bool CreateMacvlan(const std::string &parent, std::string *error);

// Removes it when this process created it; true when it is gone (or was
// never made). Async-signal-safe: the signal handlers call it.
bool RemoveMacvlan();

}  // namespace orvale_cli

#endif
