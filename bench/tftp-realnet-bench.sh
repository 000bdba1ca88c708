#!/usr/bin/env bash
# TFTP on a fast real link: the orvale tool (Release build) against curl and
# atftp, reading the same 64 MiB file from the same tftpd-hpa
# (--blocksize 65464), at block sizes 1468 and 8192. The link is a direct veth
# pair, no bridge: the server end in one network namespace, the client end in
# another, where the tool opens its packet socket and curl and atftp use an
# address of the kernel's. Runs alternate (tool, curl, atftp, tool, ...), RUNS
# of each (default 3); the table gives each client's MB/s (min/median/max) and
# the tool's speed as a ratio to each (min/median/max of the per-round
# ratios), each client's CPU time per read, and the load average before and
# after. Needs root.
#
#   flock /tmp/orvale-realnet.lock bench/tftp-realnet-bench.sh
#
# TOPOLOGY=bridge runs across the real-network suite's namespace bridge
# instead, where tftpd-hpa's own pace holds all three clients near the same
# speed. The tool polls, so on a loaded machine it loses its time slices to
# other work while curl and atftp sleep and are woken first: state the load.
#
# BUILD_DIR (default build/release) holds the tool; it is configured and
# built there when missing (-DCMAKE_BUILD_TYPE=Release -DORVALE_SANITIZE=OFF).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${BUILD_DIR:-build/release}
runs=${RUNS:-3}
sizes=${SIZES:-"1468 8192"}
topology=${TOPOLOGY:-direct}
[ "$(id -u)" -eq 0 ] || { echo "tftp-realnet-bench: must run as root" >&2; exit 1; }
for tool in in.tftpd curl atftp ip /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "tftp-realnet-bench: $tool missing (tools/install-deps.sh)" >&2; exit 1; }
done
if [ ! -x "$build/orvale" ]; then
  cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release \
    -DORVALE_SANITIZE=OFF >/dev/null && cmake --build "$build" --target orvale -j2 >/dev/null || exit 1
fi
cli=$(cd "$build" && pwd)/orvale

# shellcheck source=../tests/realnet/topology.sh
. "$root/tests/realnet/topology.sh"
dir=$(mktemp -d /tmp/orvale-tftp-bench.XXXXXX)
# Each client's own CPU time (user + system) per read, beside its speed.
prio=(/usr/bin/time -o "$dir/cpu.now" -f "%U %S" nice -n 0)
cpu() { awk '{printf "%.3f\n", $1 + $2}' "$dir/cpu.now"; }
server_pid=
teardown() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  rn_teardown
  rm -rf "$dir"
}
trap teardown EXIT
trap 'exit 130' INT TERM
# The direct link: client and server namespaces joined by one veth pair.
direct_setup() {
  rn_new_ns "$RN_NS_CLIENT" && rn_new_ns "$RN_NS_SERVER" || return 1
  ip link add "$RN_IF_CLIENT" netns "$RN_NS_CLIENT" type veth peer name "$RN_IF_SERVER" netns "$RN_NS_SERVER" ||
    return 1
  rn_in "$RN_NS_SERVER" ip addr add "$RN_SERVER_IP/$RN_PREFIX" dev "$RN_IF_SERVER" || return 1
  rn_up "$RN_NS_SERVER" "$RN_IF_SERVER" && rn_up "$RN_NS_CLIENT" "$RN_IF_CLIENT"
}
rn_cleanup_stale
case $topology in
  direct) direct_setup >"$dir/setup.log" 2>&1 || { cat "$dir/setup.log" >&2; exit 1; } ;;
  bridge) rn_setup >"$dir/setup.log" 2>&1 || { cat "$dir/setup.log" >&2; exit 1; } ;;
  *) echo "tftp-realnet-bench: TOPOLOGY is direct or bridge" >&2; exit 1 ;;
esac
chmod 755 "$dir"
head -c $((64 << 20)) /dev/urandom >"$dir/big.bin"
chmod 644 "$dir/big.bin"
want=$(sha256sum "$dir/big.bin" | cut -d' ' -f1)
rn_in "$RN_NS_SERVER" in.tftpd --foreground --address "$RN_SERVER_IP:69" --user nobody --blocksize 65464 --secure "$dir" &
server_pid=$!
rn_wait_udp "$RN_NS_SERVER" 69 || { echo "tftp-realnet-bench: tftpd-hpa did not start" >&2; exit 1; }
# curl and atftp need an address of the kernel's own on the client link; the
# driver's station address is another one on the same link.
kernel_ip=198.18.0.20
rn_in "$RN_NS_CLIENT" ip addr add "$kernel_ip/$RN_PREFIX" dev "$RN_IF_CLIENT"

# Seconds one read takes; fails (prints nothing) when the data is not the file.
# Every client is timed the same way: the whole process, writing the file.
run_tool() {
  local start end
  start=$(date +%s.%N)
  rn_in "$RN_NS_CLIENT" "${prio[@]}" "$cli" --if "$RN_IF_CLIENT" set-ip "$RN_STATION_IP/$RN_PREFIX" \
    tftp-get "$RN_SERVER_IP" big.bin --blksize "$1" --out "$dir/orvale.out" >"$dir/orvale.log" || return 1
  end=$(date +%s.%N)
  [ "$(sha256sum "$dir/orvale.out" | cut -d' ' -f1)" = "$want" ] || return 1
  echo "$end - $start" | bc -l
}
run_curl() {
  local start end
  start=$(date +%s.%N)
  rn_in "$RN_NS_CLIENT" "${prio[@]}" curl -s --tftp-blksize "$1" -o "$dir/curl.out" "tftp://$RN_SERVER_IP/big.bin" || return 1
  end=$(date +%s.%N)
  [ "$(sha256sum "$dir/curl.out" | cut -d' ' -f1)" = "$want" ] || return 1
  echo "$end - $start" | bc -l
}
run_atftp() {
  local start end
  start=$(date +%s.%N)
  rn_in "$RN_NS_CLIENT" "${prio[@]}" atftp --option "blksize $1" --get -r big.bin -l "$dir/atftp.out" "$RN_SERVER_IP" \
    >/dev/null 2>&1 || return 1
  end=$(date +%s.%N)
  [ "$(sha256sum "$dir/atftp.out" | cut -d' ' -f1)" = "$want" ] || return 1
  echo "$end - $start" | bc -l
}

stats() {  # min median max of the numbers on stdin
  sort -g | awk '{a[NR]=$1} END {printf "%.2f / %.2f / %.2f", a[1], a[int((NR+1)/2)], a[NR]}'
}

mib=64
echo "$topology link; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| blksize | orvale MB/s | curl MB/s | atftp MB/s | orvale/curl | orvale/atftp |"
echo "|---|---|---|---|---|---|"
for size in $sizes; do
  : >"$dir/tool" ; : >"$dir/curl" ; : >"$dir/atftp" ; : >"$dir/rc" ; : >"$dir/ra"
  for _ in $(seq "$runs"); do
    t=$(run_tool "$size") || { echo "tftp-realnet-bench: orvale failed at $size" >&2; exit 1; }
    cpu >>"$dir/tool.cpu.$size"
    c=$(run_curl "$size") || { echo "tftp-realnet-bench: curl failed at $size" >&2; exit 1; }
    cpu >>"$dir/curl.cpu.$size"
    a=$(run_atftp "$size") || { echo "tftp-realnet-bench: atftp failed at $size" >&2; exit 1; }
    cpu >>"$dir/atftp.cpu.$size"
    echo "$mib * 1.048576 / $t" | bc -l >>"$dir/tool"
    echo "$mib * 1.048576 / $c" | bc -l >>"$dir/curl"
    echo "$mib * 1.048576 / $a" | bc -l >>"$dir/atftp"
    echo "$c / $t" | bc -l >>"$dir/rc"
    echo "$a / $t" | bc -l >>"$dir/ra"
  done
  echo "| $size | $(stats <"$dir/tool") | $(stats <"$dir/curl") | $(stats <"$dir/atftp") |" \
    "$(stats <"$dir/rc") | $(stats <"$dir/ra") |"
done
echo
echo "CPU seconds per read (user + system), min / median / max:"
echo
echo "| blksize | orvale | curl | atftp |"
echo "|---|---|---|---|"
for size in $sizes; do
  echo "| $size | $(stats <"$dir/tool.cpu.$size") | $(stats <"$dir/curl.cpu.$size") | $(stats <"$dir/atftp.cpu.$size") |"
done
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
