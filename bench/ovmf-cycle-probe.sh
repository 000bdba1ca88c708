#!/usr/bin/env bash
# Where a DATA/ACK cycle's time goes in real firmware: builds the EFI images
# with the cycle probe (net/probe.h: TSC sums around the firmware calls on a
# read's path and around the driver's own steps), runs the boot suite's floor
# case with that driver and prints, per block size, the read of the quickest
# turn split into what the firmware does with the frames (MNP Transmit, and
# the MNP Poll or Receive that brings a frame, less the driver's notification
# inside it), the wait for the answer (polls that bring nothing) and the
# driver's own time, itemised. Figures are microseconds per cycle; the TSC
# rate comes from the same read's time as the loader reports it. The probes
# add a little time of their own, most of it to the driver's items.
#
#   bench/ovmf-cycle-probe.sh          # ORVALE_FLOOR_ROUNDS (default 2000) as in the floor case
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
efi=${PROBE_EFI_BUILD:-build/efi-probe}
out=${PROBE_OUT:-build/ovmf-probe}
cmake -S . -B "$efi" -DORVALE_EFI=ON -DORVALE_EFI_PROBE=ON >/dev/null
cmake --build "$efi" -j2 >/dev/null
ORVALE_EFI_BUILD=$efi ORVALE_BOOT_OUT=$out tools/run-boot-suite.sh floor | grep -E '^(ORVALE-FLOOR|PASS|FAIL)' || true
raw=$out/floor/serial.raw
[ -s "$raw" ] || { echo "ovmf-cycle-probe: no console output in $raw" >&2; exit 1; }
tr -d '\r' <"$raw" | grep -a -o -E 'ORVALE-(PROBE [a-z-]+ [0-9]+ [0-9]+|FLOOR blksize [0-9]+ .*)' |
  python3 -c '
import sys
kinds = ["send", "transmit", "send-poll", "receive", "idle-poll", "frame-poll", "check-event", "igmp",
         "notify", "frame-wait", "udp-receive", "udp-send", "arm", "clock", "call"]
reads, current, driver_us = [], {}, {}
for line in sys.stdin:
    f = line.split()
    if f[0] == "ORVALE-FLOOR":
        driver_us[int(f[2])] = float(f[7])
        continue
    current[f[1]] = (int(f[2]), int(f[3]))
    if f[1] == kinds[-1]:
        reads.append(current)
        current = {}
rounds = int(sys.argv[1])
sizes = [512, 1468, 8192]
if len(reads) != 9 or sorted(driver_us) != sizes:
    sys.exit("ovmf-cycle-probe: expected 9 reads and 3 floor lines, got %d and %d" % (len(reads), len(driver_us)))
print("| blksize | cycle | MNP Transmit | frame arrives (MNP, firmware) | waiting | driver | of it: notify copy "
      "| window check | IGMP | transmit poll | timer re-arm | GetTime | IPv4/UDP receive | UDP/IPv4 send | TFTP and loop |")
print("|" + "---|" * 15)
for i, size in enumerate(sizes):
    r = min(reads[3 * i:3 * i + 3], key=lambda d: d["call"][0])
    t = {k: r[k][0] for k in kinds}
    cycles = rounds  # one DATA/ACK cycle per round, as the loader counts them
    tick_us = t["call"] / cycles / driver_us[size]  # TSC ticks per microsecond
    us = lambda v: v / cycles / tick_us
    firmware_rx = t["frame-poll"] + t["receive"] - t["notify"]
    driver = t["call"] - t["transmit"] - firmware_rx - t["idle-poll"]
    udp_rx = t["udp-receive"] - t["frame-wait"]
    udp_tx = t["udp-send"] - t["transmit"] - t["send-poll"] - t["clock"]
    items = [t["notify"], t["check-event"], t["igmp"], t["send-poll"], t["arm"], t["clock"], udp_rx, udp_tx]
    rest = driver - sum(items)
    cells = [us(t["call"]), us(t["transmit"]), us(firmware_rx), us(t["idle-poll"]), us(driver)] + [us(v) for v in items] + [us(rest)]
    print("| %d | " % size + " | ".join("%.1f" % c for c in cells) + " |")
' "${ORVALE_FLOOR_ROUNDS:-2000}"
