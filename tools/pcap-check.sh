#!/usr/bin/env bash
# Decodes a capture with tshark, IP and UDP checksum checks on, and reports
# every frame tshark flags: malformed, or an expert finding of warning or
# worse (bad checksums among them). Prints one line
# "capture: N frames, M flagged" (then one line per flagged frame); exits 0
# when none is flagged, 1 when some is, 2 when the capture cannot be judged
# (tshark missing or failing: never read as clean).
#
#   tools/pcap-check.sh [--allow MESSAGE]... FILE.pcap
#
# --allow MESSAGE: an expert finding with exactly this message is expected
# (a TFTP ERROR packet where the test asks for a missing file) and not
# flagged; malformed frames and every other finding still are.
set -uo pipefail
allowed=()
while [ "${1:-}" = --allow ]; do
  allowed+=("${2:?--allow wants a message}")
  shift 2
done
pcap=${1:?usage: pcap-check.sh [--allow MESSAGE]... FILE.pcap}
command -v tshark >/dev/null 2>&1 || { echo "capture: tshark missing, not judged"; exit 2; }
[ -r "$pcap" ] || { echo "capture: $pcap unreadable"; exit 2; }

# Expert severities as tshark prints them: warning is 0x00600000.
warning=6291456
err=$(mktemp)
trap 'rm -f "$err"' EXIT
fields=$(tshark -r "$pcap" -n -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE -T fields \
  -E separator=/t -E occurrence=a -E aggregator='|' \
  -e frame.number -e _ws.expert.severity -e _ws.expert.message -e _ws.malformed 2>"$err")
rc=$?
if [ $rc -ne 0 ]; then
  echo "capture: tshark exited with $rc: $(head -c 300 "$err")"
  exit 2
fi
# A pcap header alone is 24 bytes; anything more must decode to frames.
if [ -z "$fields" ] && [ "$(stat -c %s "$pcap")" -gt 24 ]; then
  echo "capture: tshark printed nothing for $pcap"
  exit 2
fi
frames=0
flagged=0
details=()
while IFS=$'\t' read -r number severities messages malformed; do
  [ -n "$number" ] || continue
  frames=$((frames + 1))
  findings=
  IFS='|' read -r -a sev <<<"$severities"
  IFS='|' read -r -a msg <<<"$messages"
  for i in "${!sev[@]}"; do
    [[ ${sev[$i]} =~ ^[0-9]+$ ]] || { findings+=" [unreadable severity ${sev[$i]}]"; continue; }
    [ "${sev[$i]}" -ge "$warning" ] || continue
    expected=no
    for a in ${allowed[@]+"${allowed[@]}"}; do [ "${msg[$i]:-}" = "$a" ] && expected=yes; done
    [ $expected = yes ] || findings+=" [${msg[$i]:-?}]"
  done
  [ -n "$malformed" ] && findings+=" [malformed: $malformed]"
  if [ -n "$findings" ]; then
    flagged=$((flagged + 1))
    details+=("  frame $number:$findings")
  fi
done <<<"$fields"
echo "capture: $frames frames, $flagged flagged ($pcap)"
[ ${#details[@]} -eq 0 ] || printf '%s\n' "${details[@]}" | head -n 20
[ "$flagged" -eq 0 ]
