# The real-network suite's link, sourced by tools/realnet.sh:
#
#   client ns                 bridge ns                      server ns
#   orv-c0 (no IPv4) ---- orv-bc  orv-br   orv-bs ---- orv-s0 198.18.0.1/24
#   the driver's packet       Linux bridge, IGMP snooping,   the kernel as peer,
#   socket and tshark         IGMPv2 querier (off until the  udp_peer.py
#                             IGMP test turns it on)
#
# Every name carries the run's id (RN_RUN: the running script's process id in
# hex), so two runs on one machine (two checkouts, CI beside a developer) never
# meet: namespaces are orv-rn-<run>-client|bridge|server, links orv-xx-<run>
# (at most 15 characters, and only inside those namespaces). Addresses come
# from 198.18.0.0/24 only; each run has its own namespaces, so they repeat
# without harm.

RN_RUN=${RN_RUN:-$(printf '%x' $$)}
RN_NS_CLIENT=orv-rn-$RN_RUN-client
RN_NS_BRIDGE=orv-rn-$RN_RUN-bridge
RN_NS_SERVER=orv-rn-$RN_RUN-server
RN_IF_CLIENT=orv-c0-$RN_RUN
RN_IF_BR_CLIENT=orv-bc-$RN_RUN
RN_IF_BR_SERVER=orv-bs-$RN_RUN
RN_IF_SERVER=orv-s0-$RN_RUN
RN_BRIDGE=orv-br-$RN_RUN
RN_SERVER_IP=198.18.0.1
RN_STATION_IP=198.18.0.10
RN_PREFIX=24
# The querier's maximum response time, in centiseconds: shorter than the 10 s
# repeat of an unsolicited report, so an answer to the query is told apart.
RN_QUERY_RESPONSE_CS=400

rn_in() { local ns=$1; shift; ip netns exec "$ns" "$@"; }

# Ends what runs in one of our namespaces (by process id) and deletes it.
rn_delete_ns() {
  local ns=$1 pid
  for pid in $(ip netns pids "$ns" 2>/dev/null); do kill "$pid" 2>/dev/null; done
  sleep 0.1
  for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null; done
  ip netns del "$ns" 2>/dev/null
}

# Namespaces left by an earlier run that was killed before its trap ran: only
# those whose run (the process id in their name) is gone. A live run's
# namespaces, and names of any other form, are never touched.
rn_cleanup_stale() {
  local ns run
  for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E '^orv-rn-[0-9a-f]+-(client|bridge|server)$'); do
    run=${ns#orv-rn-}
    run=${run%-*}
    [ "$run" = "$RN_RUN" ] && continue
    kill -0 "$((16#$run))" 2>/dev/null && continue
    echo "realnet: removing stale namespace $ns"
    rn_delete_ns "$ns"
  done
}

rn_teardown() {
  rn_delete_ns "$RN_NS_CLIENT"
  rn_delete_ns "$RN_NS_SERVER"
  rn_delete_ns "$RN_NS_BRIDGE"
}

# IPv6 off in the namespace before any interface exists, so none of them
# sends router solicitations, DAD or MLD.
rn_new_ns() {
  local ns=$1
  ip netns add "$ns" || return 1
  rn_in "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 || return 1
  rn_in "$ns" sysctl -qw net.ipv6.conf.lo.disable_ipv6=1 || return 1
  rn_in "$ns" ip link set lo up
}

# IPv6 off on the interface (again, explicitly) before it goes up; transmit
# checksum offload off, or a veth's UDP frames reach a packet socket with the
# checksum not filled in.
rn_up() {
  local ns=$1 ifname=$2
  rn_in "$ns" sysctl -qw "net.ipv6.conf.$ifname.disable_ipv6=1" || return 1
  rn_in "$ns" ethtool -K "$ifname" tx off >/dev/null 2>&1 || return 1
  rn_in "$ns" ip link set "$ifname" up
}

rn_setup() {
  rn_new_ns "$RN_NS_CLIENT" && rn_new_ns "$RN_NS_BRIDGE" && rn_new_ns "$RN_NS_SERVER" || return 1

  rn_in "$RN_NS_BRIDGE" ip link add "$RN_BRIDGE" type bridge stp_state 0 mcast_snooping 1 mcast_querier 0 \
    mcast_igmp_version 2 mcast_query_response_interval "$RN_QUERY_RESPONSE_CS" || return 1
  rn_in "$RN_NS_BRIDGE" sysctl -qw "net.ipv6.conf.$RN_BRIDGE.disable_ipv6=1" || return 1

  ip link add "$RN_IF_CLIENT" netns "$RN_NS_CLIENT" type veth peer name "$RN_IF_BR_CLIENT" netns "$RN_NS_BRIDGE" ||
    return 1
  ip link add "$RN_IF_SERVER" netns "$RN_NS_SERVER" type veth peer name "$RN_IF_BR_SERVER" netns "$RN_NS_BRIDGE" ||
    return 1
  rn_in "$RN_NS_BRIDGE" ip link set "$RN_IF_BR_CLIENT" master "$RN_BRIDGE" || return 1
  rn_in "$RN_NS_BRIDGE" ip link set "$RN_IF_BR_SERVER" master "$RN_BRIDGE" || return 1

  rn_in "$RN_NS_SERVER" ip addr add "$RN_SERVER_IP/$RN_PREFIX" dev "$RN_IF_SERVER" || return 1

  rn_up "$RN_NS_BRIDGE" "$RN_IF_BR_CLIENT" && rn_up "$RN_NS_BRIDGE" "$RN_IF_BR_SERVER" &&
    rn_in "$RN_NS_BRIDGE" ip link set "$RN_BRIDGE" up &&
    rn_up "$RN_NS_SERVER" "$RN_IF_SERVER" && rn_up "$RN_NS_CLIENT" "$RN_IF_CLIENT" || return 1
  # The server answers multicast on its own link.
  rn_in "$RN_NS_SERVER" ip route add 224.0.0.0/4 dev "$RN_IF_SERVER" || return 1

  # The client's kernel must stay silent on the link: no IPv4 address at all.
  if rn_in "$RN_NS_CLIENT" ip -4 addr show dev "$RN_IF_CLIENT" | grep -q inet; then
    echo "realnet: $RN_IF_CLIENT has an IPv4 address" >&2
    return 1
  fi
}

rn_mac() { rn_in "$1" cat "/sys/class/net/$2/address"; }

# Waits until a UDP port listens in a namespace.
rn_wait_udp() {
  local ns=$1 port=$2 i
  for i in $(seq 100); do
    [ -n "$(rn_in "$ns" ss -Hlnu "sport = :$port")" ] && return 0
    sleep 0.05
  done
  return 1
}
