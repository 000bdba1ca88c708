#include "tools/cli/macvlan.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

extern char **environ;

namespace orvale_cli {

namespace {

// What the signal handlers need, set before the interface exists.
char gName[IFNAMSIZ];
volatile sig_atomic_t gCreated = 0;

// SIGPIPE: a report piped into a reader that stopped; SIGABRT: the tool aborting.
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGABRT};

void OnSignal(int signal) {
  RemoveMacvlan();
  // The default action, so the caller still sees the signal as the cause.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  raise(signal);
}

bool Run(const std::vector<std::string> &words, std::string *error) {
  std::vector<char *> argv;
  for (const std::string &w : words) argv.push_back(const_cast<char *>(w.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    *error = "cannot run " + words[0];
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  std::string line;
  for (const std::string &w : words) line += (line.empty() ? "" : " ") + w;
  *error = "'" + line + "' failed";
  return false;
}

}  // namespace

std::string MacvlanName() {
  char name[IFNAMSIZ];
  snprintf(name, sizeof name, "orv-mv-%x", static_cast<unsigned>(getpid()));
  return name;
}

bool CreateMacvlan(const std::string &parent, std::string *error) {
  const std::string name = MacvlanName();
  snprintf(gName, sizeof gName, "%s", name.c_str());
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int s : kSignals) sigaddset(&action.sa_mask, s);
  for (int s : kSignals) sigaction(s, &action, nullptr);
  // Marked first: a signal while ip runs still removes what it made.
  gCreated = 1;
  if (!Run({"ip", "link", "add", name, "link", parent, "type", "macvlan", "mode", "bridge"}, error)) {
    gCreated = 0;
    return false;
  }
  // Off before the link goes up, or the kernel starts its IPv6 address
  // configuration on it (absent when the kernel has no IPv6).
  const std::string knob = "/proc/sys/net/ipv6/conf/" + name + "/disable_ipv6";
  if (access(knob.c_str(), F_OK) == 0) {
    const int fd = open(knob.c_str(), O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && write(fd, "1\n", 2) == 2;
    if (fd >= 0) close(fd);
    if (!written) {
      *error = "cannot turn IPv6 off on " + name;
      RemoveMacvlan();
      return false;
    }
  }
  if (!Run({"ip", "link", "set", name, "up"}, error)) {
    RemoveMacvlan();
    return false;
  }
  return true;
}

bool RemoveMacvlan() {
  if (!gCreated) return true;
  // RTM_DELLINK by name over rtnetlink: only system calls, no allocation.
  struct {
    nlmsghdr header;
    ifinfomsg info;
    char attribute[RTA_SPACE(IFNAMSIZ)];
  } request;
  memset(&request, 0, sizeof request);
  size_t nameLength = 0;
  while (nameLength < IFNAMSIZ - 1 && gName[nameLength] != '\0') ++nameLength;
  auto *rta = reinterpret_cast<rtattr *>(request.attribute);
  rta->rta_type = IFLA_IFNAME;
  rta->rta_len = static_cast<unsigned short>(RTA_LENGTH(nameLength + 1));
  memcpy(RTA_DATA(rta), gName, nameLength);
  request.header.nlmsg_len = static_cast<__u32>(NLMSG_LENGTH(sizeof(ifinfomsg)) + RTA_ALIGN(rta->rta_len));
  request.header.nlmsg_type = RTM_DELLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
  request.header.nlmsg_seq = 1;
  request.info.ifi_family = AF_UNSPEC;

  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return false;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  bool gone = false;
  if (sendto(fd, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) ==
      static_cast<ssize_t>(request.header.nlmsg_len)) {
    alignas(nlmsghdr) char reply[512];
    const ssize_t n = recv(fd, reply, sizeof reply, 0);
    const auto *h = reinterpret_cast<const nlmsghdr *>(reply);
    if (n >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) && h->nlmsg_type == NLMSG_ERROR) {
      const int code = static_cast<const nlmsgerr *>(NLMSG_DATA(h))->error;
      // Already gone counts as removed.
      gone = code == 0 || code == -ENODEV;
    }
  }
  close(fd);
  if (gone) gCreated = 0;
  return gone;
}

}  // namespace orvale_cli
