#!/usr/bin/env bash
# The driver's own instructions per TFTP DATA/ACK cycle and per MiB received,
# counted by callgrind over one read of a file from the TFTP server peer on the
# simulated segment (bench/callgrind/tftp_cycles.cpp), at block sizes 512, 1468
# and 8192. The virtual clock makes the run deterministic: the same build gives
# the same counts. Prints three Markdown tables:
#   - the driver's instructions by function group (bench/callgrind/cost_table.py
#     says how a function is put in a group);
#   - the boot-service and MNP calls the driver makes per cycle, and the
#     platform's instructions inside its event and timer calls;
#   - the whole process per cycle: driver, hosted platform, peer, the rest.
#
#   bench/callgrind-tftp.sh            # BUILD_DIR=build/callgrind MIB=4 SIZES="512 1468 8192"
#
# BUILD_DIR is configured when missing: Release, no sanitizers, DWARF 4 (the
# installed valgrind does not read clang's DWARF 5).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${BUILD_DIR:-build/callgrind}
mib=${MIB:-4}
sizes=${SIZES:-"512 1468 8192"}
command -v valgrind >/dev/null || { echo "callgrind-tftp: valgrind missing" >&2; exit 1; }
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release \
    -DORVALE_SANITIZE=OFF -DCMAKE_C_FLAGS=-gdwarf-4 -DCMAKE_CXX_FLAGS=-gdwarf-4 >/dev/null
fi
cmake --build "$build" --target orvale_tftp_cycles -j2 >/dev/null
bin=$(cd "$build" && pwd)/orvale_tftp_cycles
dir=$(mktemp -d /tmp/orvale-callgrind.XXXXXX)
trap 'rm -rf "$dir"' EXIT

for size in $sizes; do
  out=$(valgrind --tool=callgrind --collect-atstart=no --compress-strings=no --compress-pos=no \
    --callgrind-out-file="$dir/cg.$size" --log-file="$dir/log.$size" "$bin" "$size" "$mib") ||
    { cat "$dir/log.$size" >&2; exit 1; }
  cycles=${out#cycles }
  python3 bench/callgrind/cost_table.py "$root" "$size" "$cycles" "$mib" "$dir/cg.$size" >"$dir/rows.$size"
done

echo "Driver's own instructions per DATA/ACK cycle, $mib MiB read:"
echo
echo "| blksize | cycles | per cycle | per MiB | copies | checksum | receive and reassembly | events and timers | ARP/IGMP | the rest |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for size in $sizes; do sed -n 's/^DRIVER | /| /p' "$dir/rows.$size"; done
echo
echo "Calls the driver makes per cycle; the platform's instructions inside its event, timer and TPL calls:"
echo
echo "| blksize | calls per cycle | platform in event/timer/TPL calls |"
echo "|---|---|---|"
for size in $sizes; do sed -n 's/^CALLS | /| /p' "$dir/rows.$size"; done
echo
echo "The whole process per cycle (instructions):"
echo
echo "| blksize | driver | hosted platform | TFTP server peer | the rest | total |"
echo "|---|---|---|---|---|---|"
for size in $sizes; do sed -n 's/^SPLIT | /| /p' "$dir/rows.$size"; done
