#!/usr/bin/env bash
# The real-network suite: the hosted driver on a veth in a network namespace,
# the Linux kernel as its peer across a Linux bridge, tshark judging every
# frame the driver sent. Needs root (network namespaces); without it the suite
# FAILS, it never passes silently.
#
#   tools/realnet.sh [GTEST_FILTER]   run the tests (all, or those matching)
#   tools/realnet.sh --link           build the link, start the peers and open a
#                                     shell in the client namespace; exiting it
#                                     tears everything down
#
# Environment: ORVALE_BUILD_DIR (default build/hosted; built here when needed),
# ORVALE_REALNET_OUT (captures and logs; default $ORVALE_BUILD_DIR/realnet).
# Ends with the line "N passed, M failed"; exit status 0 only when M is 0.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mode=tests
filter=${1:-*}
if [ "$filter" = --link ]; then mode=link; filter='*'; fi
build=${ORVALE_BUILD_DIR:-build/hosted}
case $build in /*) ;; *) build=$root/$build ;; esac
out=${ORVALE_REALNET_OUT:-$build/realnet}
python=/usr/bin/python3

passed=0
failed=0
fail_setup() {
  echo "realnet: $*" >&2
  echo "$passed passed, $((failed + 1)) failed"
  exit 1
}

# ---- What the suite needs ----
[ "$(id -u)" -eq 0 ] || fail_setup "must run as root: it creates network namespaces (needs CAP_NET_ADMIN)"
for tool in ip ethtool bridge ss tshark timeout; do
  command -v "$tool" >/dev/null || fail_setup "$tool is not installed (tools/install-deps.sh installs it)"
done
[ -x "$python" ] || fail_setup "$python is not installed"
probe=orv-rn-probe-$$
if ! ip netns add "$probe" 2>/dev/null; then
  fail_setup "cannot create a network namespace (no CAP_NET_ADMIN, or namespaces unavailable here)"
fi
ip netns del "$probe"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null ||
    fail_setup "configuring $build failed"
fi
cmake --build "$build" --target orvale_realnet_tests orvale -j"${JOBS:-2}" >"$build/realnet-build.log" 2>&1 || {
  tail -n 30 "$build/realnet-build.log" >&2
  fail_setup "building orvale_realnet_tests failed (log: $build/realnet-build.log)"
}
tests_bin=$build/orvale_realnet_tests
cli_bin=$build/orvale

# ---- The link ----
# shellcheck source=../tests/realnet/topology.sh
. "$root/tests/realnet/topology.sh"
peer_pid=
teardown() {
  [ -n "$peer_pid" ] && kill "$peer_pid" 2>/dev/null
  rn_teardown
}
trap teardown EXIT
trap 'exit 130' INT TERM

rn_cleanup_stale
rm -rf "$out"
mkdir -p "$out"
rn_setup >"$out/setup.log" 2>&1 || { cat "$out/setup.log" >&2; fail_setup "setting up the namespaces failed"; }

echo_port=7000 check_port=7001 send_port=7002 closed_port=7999
rn_in "$RN_NS_SERVER" "$python" "$root/tests/realnet/udp_peer.py" $echo_port $check_port $send_port \
  2>"$out/udp_peer.log" &
peer_pid=$!
for port in $echo_port $check_port $send_port; do
  rn_wait_udp "$RN_NS_SERVER" $port || fail_setup "udp_peer.py did not bind port $port (log: $out/udp_peer.log)"
done
[ -z "$(rn_in "$RN_NS_SERVER" ss -Hlnu "sport = :$closed_port")" ] || fail_setup "port $closed_port is in use"

export ORVALE_RN_IF=$RN_IF_CLIENT
export ORVALE_RN_SERVER_IP=$RN_SERVER_IP
export ORVALE_RN_SERVER_MAC=$(rn_mac "$RN_NS_SERVER" "$RN_IF_SERVER")
export ORVALE_RN_STATION_IP=$RN_STATION_IP
export ORVALE_RN_PREFIX=$RN_PREFIX
export ORVALE_RN_SERVER_NS=$RN_NS_SERVER
export ORVALE_RN_SERVER_IF=$RN_IF_SERVER
export ORVALE_RN_BRIDGE_NS=$RN_NS_BRIDGE
export ORVALE_RN_BRIDGE=$RN_BRIDGE
export ORVALE_RN_BRIDGE_PORT=$RN_IF_BR_CLIENT
export ORVALE_RN_ECHO_PORT=$echo_port
export ORVALE_RN_CHECK_PORT=$check_port
export ORVALE_RN_SEND_PORT=$send_port
export ORVALE_RN_CLOSED_PORT=$closed_port
export ORVALE_RN_PYTHON=$python
export ORVALE_RN_CLI=$cli_bin
export ORVALE_RN_CAPTURE_DIR=$out

if [ "$mode" = link ]; then
  echo "realnet: client $RN_NS_CLIENT ($RN_IF_CLIENT, mac $(rn_mac "$RN_NS_CLIENT" "$RN_IF_CLIENT")), server" \
    "$RN_SERVER_IP in $RN_NS_SERVER (udp_peer.py: echo $echo_port, check $check_port, send $send_port)"
  echo "realnet: try  $cli_bin --if $RN_IF_CLIENT set-ip $RN_STATION_IP/$RN_PREFIX arp $RN_SERVER_IP"
  echo "realnet: exit the shell to tear the link down"
  ip netns exec "$RN_NS_CLIENT" bash -i
  exit 0
fi

# ---- The tests, one process each, so a crash costs one test ----
mapfile -t tests < <(rn_in "$RN_NS_CLIENT" "$tests_bin" --gtest_list_tests --gtest_filter="$filter" |
  awk '/^[^ ]/ {suite=$1} /^  / {print suite $1}')
[ ${#tests[@]} -gt 0 ] || fail_setup "no test matches '$filter'"

# A new bridge joins its multicast groups and settles its ports in the first
# second or two; a capture started in that time has missed whole tests.
sleep 2

for t in "${tests[@]}"; do
  log=$out/$t.log
  start=$EPOCHREALTIME
  timeout -k 5 60 ip netns exec "$RN_NS_CLIENT" "$tests_bin" --gtest_filter="$t" --gtest_color=no >"$log" 2>&1
  rc=$?
  # A capture that holds nothing of the driver's says nothing about the driver:
  # run the test once more, and say so.
  if [ $rc -ne 0 ] && grep -q 'UNUSABLE: .* 0 from the driver' "$log"; then
    echo "RETRY $t (the capture missed the driver's frames; log: $log.first)"
    mv "$log" "$log.first"
    timeout -k 5 60 ip netns exec "$RN_NS_CLIENT" "$tests_bin" --gtest_filter="$t" --gtest_color=no >"$log" 2>&1
    rc=$?
  fi
  secs=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.1f", b - a}')
  if [ $rc -eq 0 ] && grep -q '^\[  PASSED  \] 1 test' "$log"; then
    passed=$((passed + 1))
    echo "PASS $t (${secs} s)"
  else
    failed=$((failed + 1))
    echo "FAIL $t (${secs} s, exit $rc, log: $log)"
    grep -E 'Failure|error:|Expected|Which is|Value of|Actual|judge|ERROR|Sanitizer' "$log" | head -n 20 | sed 's/^/    /'
  fi
done

echo "captures and logs: $out"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
