#!/usr/bin/env bash
# Network boots in real firmware, as tests: each case writes the loader's
# settings, starts the boot server with its images and options, boots OVMF
# under QEMU with the loader as \EFI\BOOT\BOOTX64.EFI and judges the loader's
# "ORVALE-BOOT" lines and the sample's greeting, and tshark the boot
# server's capture (tools/pcap-check.sh). Prints "PASS|FAIL <case>
# <detail>" per case, then "N passed, M failed"; exits non-zero when a case
# failed.
#
#   tools/run-boot-suite.sh [CASE...]     all cases, or the ones named
#   tools/run-boot-suite.sh --list
#
# Cases:
#   local-sample     the loader starts the sample from its own volume (no network)
#   driver-present   a second loader, started by the first, finds the driver already bound
#   stub-boot        the loader's whole road against a stand-in driver with canned answers
#                    (efi/stub/): image list, choice, boot file, size, read, start
#   stub-first-buffer  the same with a first buffer too small: size, then read
#   stub-missing-file  an explicit image whose boot file the server lacks: EFI_TFTP_ERROR
#   default-image    WIRL boot of the server's default image, the greeting shows the leased address
#   explicit-image   the image named by an explicit selection instead of the default
#   two-servers      two WIRL servers, priorities 2 and 9: the one of priority 9 is chosen
#   image-list       the image list gathered with the Wirl member names every image
#   missing-file     the boot file is not on the server: EFI_TFTP_ERROR, nothing started
#   first-buffer     a boot file larger than the loader's first buffer: size, then read
#   loss-10          10% of the frames dropped by the boot server, both ways; the boot completes
#   big-1468, big-8192  a 16 MiB boot file at block sizes 1468 and 8192 (download figures)
#   floor            per block size 512, 1468 and 8192: round trips straight on the
#                    firmware's MNP (the floor: the answers once under 0x88B5, once as
#                    IPv4 to the station, the frames a read brings) and the driver's read
#                    of as many blocks, in the same boot, three times in turn; one
#                    "ORVALE-FLOOR" line each with the quickest of each, the ratio to the
#                    IPv4 floor (ratios reported, not judged)
#   pxe-proxy        the PXE path: a proxy offer beside the server's own DHCP, multicast
#                    discovery of a type-1 boot server, its boot file read and started
#   pxe-unicast      the PXE path with the boot information in the DHCP replies and
#                    discovery by unicast to the server the settings name
#   pxe-plain        the PXE path against plain DHCP (boot file and next-server, nothing
#                    of PXE): the reply's boot file, no discovery
#   pxe-mtftp        the PXE path with the server's multicast TFTP: the discovery reply
#                    names the group, the loader reads the sample from it
#   pxe-mtftp-fallback  the same with a 34 MiB boot file, too many blocks for multicast:
#                    the group's server refuses, the file comes by unicast, as the loader says
#   linux            WIRL boot of a boot script: a Linux kernel and its initrd fetched and
#                    started, the init's greeting shows the leased address
#   linux-pxe-plain  the same Linux boot over the PXE path against plain DHCP
#   bad-script       a boot script with a NUL byte: refused with its line, nothing started
#   script-missing-kernel  a boot script naming a kernel the server lacks: EFI_TFTP_ERROR
#   dnsmasq-linux    the Linux boot against dnsmasq (dhcp-boot, its own TFTP server) on a
#                    bridge with the VM's tap, in a network namespace of its own (root)
#   lab              three VMs boot the sample at once by the PXE path and multicast TFTP
#                    from the boot server on a bridge in a namespace of its own (root):
#                    every VM greets, the server's log shows one transfer they shared
#
# Environment: ORVALE_BOOT_OUT (default build/boot-suite), ORVALE_BOOT_TIMEOUT
# (seconds per QEMU run, default 180), ORVALE_SERVER_BINARY (a boot server
# already built; default: built here in build/boot-server).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# shellcheck source=tools/boot-vm.sh
source tools/boot-vm.sh
out=${ORVALE_BOOT_OUT:-build/boot-suite}
limit=${ORVALE_BOOT_TIMEOUT:-180}
all_cases=(local-sample driver-present stub-boot stub-first-buffer stub-missing-file default-image explicit-image two-servers image-list missing-file first-buffer loss-10 big-1468 big-8192 floor pxe-proxy pxe-unicast pxe-plain linux linux-pxe-plain bad-script script-missing-kernel dnsmasq-linux pxe-mtftp pxe-mtftp-fallback lab)

if [ "${1:-}" = --list ]; then
  printf '%s\n' "${all_cases[@]}"
  exit 0
fi
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=("${all_cases[@]}")

mkdir -p "$out"
out=$(cd "$out" && pwd)
passed=0
failed=0

for tool in qemu-system-x86_64 mformat mmd mcopy timeout cmake flock python3; do
  command -v "$tool" >/dev/null 2>&1 || { echo "FAIL boot-suite missing tool: $tool"; echo "0 passed, 1 failed"; exit 1; }
done
echo "== build (log: $out/build.log)"
if ! bootvm_build "$out/build.log"; then
  tail -n 30 "$out/build.log"
  echo "FAIL boot-suite build failed"
  echo "0 passed, 1 failed"
  exit 1
fi

# Boot images: the sample, a second copy of it (a different file, so the
# chosen one is visible), and a 16 MiB one (the sample with zeros appended;
# the firmware loads only what the headers describe).
images="$out/images"
mkdir -p "$images" "$out/empty"
cp "$bootvm_sample" "$images/sample.efi"
cp "$bootvm_sample" "$images/other.efi"
head -c 4096 /dev/zero >>"$images/other.efi"
big="$images/big.efi"
if [ ! -s "$big" ] || [ "$(stat -c %s "$big")" -ne 16777216 ]; then
  cp "$bootvm_sample" "$big"
  truncate -s 16M "$big"
fi

# run_case NAME CONFIG_LINES SERVER_ARGS...: one boot; sets $log (the loader's
# console) and $server_log. SERVER_ARGS empty: no boot server, QEMU's user
# network. $extra_files (FILE DEST pairs) go onto the volume too.
extra_files=()
run_case() {
  local name=$1 config_lines=$2
  shift 2
  local dir="$out/$name"
  rm -rf "$dir"
  mkdir -p "$dir"
  printf '%s\npower-off = yes\n' "$config_lines" >"$dir/orvale-boot.cfg"
  if ! bootvm_volume "$dir/esp.img" "$dir/orvale-boot.cfg" "$bootvm_sample" ::/sample.efi ${extra_files[@]+"${extra_files[@]}"} \
    >"$dir/volume.log" 2>&1; then
    log=/dev/null
    return 1
  fi
  local vm_port= server_port=
  server_log="$dir/server.log"
  : >"$server_log"
  if [ $# -gt 0 ]; then
    vm_port=$(bootvm_free_port)
    if ! bootvm_start_server "$server_log" "$vm_port" --pcap "$dir/boot.pcap" "$@"; then
      log=/dev/null
      return 1
    fi
    server_port=$bootvm_server_port
  fi
  bootvm_run "$dir/esp.img" "$dir/OVMF_VARS.fd" "$dir/serial.raw" "$limit" $vm_port $server_port
  local rc=$?
  bootvm_stop_server
  log="$dir/serial.log"
  bootvm_text "$dir/serial.raw" | grep -a -E '^ORVALE-(BOOT|SAMPLE|LINUX|FLOOR)' >"$log"
  [ "$rc" -eq 0 ] || echo "ORVALE-BOOT QEMU-STATUS $rc" >>"$log"
  return 0
}

# The first line of the loader's log matching a pattern (empty when none).
line() { grep -a -m 1 -E "$1" "$log" 2>/dev/null; }
has() { grep -q -a -E "$1" "$log" 2>/dev/null; }
# Why a boot did not get through: its failure line, or its last line.
why() { line '^ORVALE-BOOT FAIL' || tail -n 1 "$log" 2>/dev/null; }

# dnsmasq_boot DIR FILES: boots the loader (boot-path = pxe) in QEMU on a tap
# bridged to dnsmasq, which leases by plain DHCP with dhcp-boot=boot.orv and
# serves FILES by TFTP, all on a segment of its own (bootvm_segment_up),
# removed after it. Sets $log and $server_log.
dnsmasq_boot() {
  local dir=$1 files=$2
  log="$dir/serial.log"
  server_log="$dir/dnsmasq.log"
  printf 'boot-path = pxe\npower-off = yes\n' >"$dir/orvale-boot.cfg"
  bootvm_volume "$dir/esp.img" "$dir/orvale-boot.cfg" >"$dir/volume.log" 2>&1 || return 1
  bootvm_segment_up 1 || return 1
  local ns=$bootvm_segment_ns bridge=$bootvm_segment_bridge tap=${bootvm_segment_taps[0]}
  ip -n "$ns" addr add 198.18.0.1/24 dev "$bridge" || return 1
  ip netns exec "$ns" tcpdump -i "$bridge" -B 32768 -s 0 -U -w "$dir/boot.pcap" >"$dir/tcpdump.log" 2>&1 &
  ip netns exec "$ns" dnsmasq --keep-in-foreground --conf-file=/dev/null --port=0 --user=root \
    --interface="$bridge" --bind-interfaces --dhcp-range=198.18.0.100,198.18.0.150,255.255.255.0,1h \
    --dhcp-boot=boot.orv,,198.18.0.1 --enable-tftp --tftp-root="$files" --dhcp-leasefile="$dir/leases" \
    --pid-file="$dir/dnsmasq.pid" --log-dhcp --log-facility="$server_log" &
  sleep 1
  bootvm_tap=$tap bootvm_netns=$ns bootvm_memory=512 bootvm_run "$dir/esp.img" "$dir/OVMF_VARS.fd" "$dir/serial.raw" "$limit"
  local rc=$?
  bootvm_segment_down
  bootvm_text "$dir/serial.raw" | grep -a -E '^ORVALE-(BOOT|SAMPLE|LINUX)' >"$log"
  [ "$rc" -eq 0 ] || echo "ORVALE-BOOT QEMU-STATUS $rc" >>"$log"
  return 0
}
trap 'bootvm_stop_server; bootvm_segment_down' EXIT

# A case passes only when tshark finds nothing wrong with its capture either.
report() {
  local ok=$1 name=$2 detail=$3
  local capture="$out/$name/boot.pcap"
  if [ "$ok" = yes ] && [ -f "$capture" ] && ! verdict=$(bash tools/pcap-check.sh ${allow[@]+"${allow[@]}"} "$capture"); then
    ok=no
    detail="$(echo "$verdict" | head -n 3 | tr '\n' ' ')"
  fi
  detail="$detail [$((SECONDS - case_started)) s]"
  if [ "$ok" = yes ]; then
    echo "PASS $name $detail"
    passed=$((passed + 1))
  else
    echo "FAIL $name $detail (log: $out/$name)"
    failed=$((failed + 1))
  fi
}

booted() { has '^ORVALE-BOOT DONE EFI_SUCCESS' && has '^ORVALE-SAMPLE Hello'; }

# A kernel never hands back: its init's greeting must name the address the
# loader leased, both downloads must show, and the machine must power off.
linux_booted() {
  local leased
  leased=$(sed -n 's/^ORVALE-BOOT address \([0-9.]*\)\/.*/\1/p' "$log" | head -n 1)
  [ -n "$leased" ] && has "^ORVALE-LINUX Hello.* with address ${leased//./\\.}\$" &&
    has '^ORVALE-BOOT kernel [0-9]+ bytes in' && has '^ORVALE-BOOT initrd [0-9]+ bytes in' &&
    has '^ORVALE-BOOT start kernel "vmlinuz" with its initrd' && has '^ORVALE-LINUX powering off' &&
    ! has '^ORVALE-BOOT (FAIL|QEMU-STATUS)'
}

# The kernel and initrd of the Linux cases (fetched and cached once, in build/linux).
linux_dir=
linux_image() {
  if [ -z "$linux_dir" ]; then
    bootvm_linux_folder "$out/linux-files" >>"$out/linux.log" 2>&1 || return 1
    linux_dir="$out/linux-files"
  fi
}

sample_image="$images/sample.efi,name=sample,priority=5"
lab_machines=3
other_image="$images/other.efi,name=other,priority=1"

for c in "${cases[@]}"; do
  allow=()
  case_started=$SECONDS
  case "$c" in
    local-sample)
      run_case "$c" 'local-image = \sample.efi'
      if booted && has '^ORVALE-BOOT exit EFI_SUCCESS'; then
        report yes "$c" "$(line '^ORVALE-SAMPLE Hello')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    driver-present)
      printf 'local-image = \\sample.efi\n' >"$out/nested.cfg"
      extra_files=("$bootvm_loader" ::/nested/loader.efi "$out/nested.cfg" ::/nested/orvale-boot.cfg)
      run_case "$c" 'local-image = \nested\loader.efi'
      extra_files=()
      if booted && has '^ORVALE-BOOT driver already bound on the NIC' &&
        [ "$(grep -c -a '^ORVALE-BOOT exit EFI_SUCCESS' "$log")" -eq 2 ]; then
        report yes "$c" "$(line '^ORVALE-BOOT driver already')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    stub-boot)
      bootvm_volume_driver=$bootvm_stub run_case "$c" 'list-rounds = 2'
      if booted && [ "$(grep -c -a '^ORVALE-BOOT offered server 198\.18\.0\.1:' "$log")" -eq 4 ] &&
        has '^ORVALE-BOOT images 4 offered in 2 list' && has '^ORVALE-BOOT chosen server 198\.18\.0\.1 image 03000001' &&
        has '^ORVALE-BOOT bootfile "sample\.efi" from 198\.18\.0\.1' && has '^ORVALE-BOOT size [0-9]+ bytes' &&
        has '^ORVALE-BOOT download [0-9]+ bytes in' && has '^ORVALE-SAMPLE booted with address 198\.18\.0\.100/255\.255\.255\.0'; then
        report yes "$c" "$(line '^ORVALE-BOOT download')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    stub-first-buffer)
      bootvm_volume_driver=$bootvm_stub run_case "$c" $'list-rounds = 0\nfirst-buffer = 1K'
      if booted && has '^ORVALE-BOOT download file larger than the first buffer of 1024 bytes' &&
        has '^ORVALE-BOOT size [0-9]+ bytes'; then
        report yes "$c" "$(line '^ORVALE-BOOT download [0-9]')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    stub-missing-file)
      bootvm_volume_driver=$bootvm_stub run_case "$c" $'list-rounds = 1\nimage = 03000002'
      if has '^ORVALE-BOOT select explicit image 03000002 on 198\.18\.0\.1' &&
        has '^ORVALE-BOOT bootfile "missing\.efi"' &&
        has '^ORVALE-BOOT FAIL size EFI_TFTP_ERROR tftp-error 1 "File not found"' && ! has '^ORVALE-BOOT start' &&
        has '^ORVALE-BOOT DONE EFI_TFTP_ERROR'; then
        report yes "$c" "$(line '^ORVALE-BOOT FAIL')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    default-image)
      run_case "$c" 'list-rounds = 0' --image "$sample_image" --image "$other_image"
      if booted && has '^ORVALE-BOOT bootfile "sample.efi"' && has '^ORVALE-SAMPLE booted with address 198\.18\.0\.'; then
        report yes "$c" "$(line '^ORVALE-SAMPLE booted')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    explicit-image)
      run_case "$c" $'image = 03000002\nlist-rounds = 1' --image "$sample_image" --image "$other_image"
      if booted && has '^ORVALE-BOOT bootfile "other.efi"'; then
        report yes "$c" "$(line '^ORVALE-BOOT chosen')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    two-servers)
      # With use-default, the LIST windows run until three held a reply and the priority decides.
      run_case "$c" $'list-rounds = 0\nuse-default = yes' --image "$sample_image" --priority 2 \
        --extra-server 198.18.0.2,priority=9
      if booted && has '^ORVALE-BOOT chosen server 198\.18\.0\.2 '; then
        report yes "$c" "$(line '^ORVALE-BOOT chosen')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    image-list)
      run_case "$c" 'list-rounds = 2' --image "$sample_image" --image "$other_image"
      if booted && has '^ORVALE-BOOT offered .* image 03000001 kind 3 "sample"' &&
        has '^ORVALE-BOOT offered .* image 03000002 kind 3 "other"'; then
        report yes "$c" "$(line '^ORVALE-BOOT images')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    missing-file)
      run_case "$c" 'list-rounds = 0' --image "$sample_image" --tftp-root "$out/empty"
      # The server's refusal is the point of this case.
      allow=(--allow 'TFTP ERROR packet')
      if has '^ORVALE-BOOT FAIL (size|download) EFI_TFTP_ERROR' && ! has '^ORVALE-BOOT start' &&
        ! has '^ORVALE-SAMPLE'; then
        report yes "$c" "$(line '^ORVALE-BOOT FAIL')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    first-buffer)
      run_case "$c" $'list-rounds = 0\nfirst-buffer = 64K' --image "$big,name=big,priority=5"
      # The loader's driver ends the transfer that outgrew the buffer with an ERROR.
      allow=(--allow 'TFTP ERROR packet')
      if booted && has '^ORVALE-BOOT download file larger than the first buffer' &&
        has '^ORVALE-BOOT download 16777216 bytes'; then
        report yes "$c" "$(line '^ORVALE-BOOT download 16777216')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    loss-10)
      run_case "$c" 'list-rounds = 0' --image "$sample_image" --loss 10 --seed 13
      if booted; then
        report yes "$c" "$(grep -a -m 1 'stopped:' "$server_log" | sed 's/^\[[^]]*\] //')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    big-1468 | big-8192)
      run_case "$c" $'list-rounds = 0\nblock-size = '"${c#big-}" --image "$big,name=big,priority=5"
      if booted && has '^ORVALE-BOOT download 16777216 bytes'; then
        report yes "$c" "$(line '^ORVALE-BOOT download 16777216' | cut -c 22-); $(line '^ORVALE-BOOT blocks' | cut -c 13-)"
      else
        report no "$c" "$(why)"
      fi
      ;;
    floor)
      rounds=${ORVALE_FLOOR_ROUNDS:-2000}
      files="$out/floor-files"
      mkdir -p "$files"
      # As many blocks as rounds: rounds - 1 whole ones and a half one.
      for b in 512 1468 8192; do truncate -s $(((rounds - 1) * b + b / 2)) "$files/floor-$b.bin"; done
      run_case "$c" $'list-rounds = 0\nfloor-rounds = '"$rounds" --image "$sample_image" --tftp-root "$files" --floor
      grep -a -E '^ORVALE-(FLOOR|BOOT floor)' "$log"
      figure='floor [0-9]+\.[0-9]{2} us driver [0-9]+\.[0-9]{2} us ratio [0-9]+\.[0-9]{2}$'
      if has "^ORVALE-FLOOR blksize 512 $figure" && has "^ORVALE-FLOOR blksize 1468 $figure" &&
        has "^ORVALE-FLOOR blksize 8192 $figure" && has '^ORVALE-BOOT DONE EFI_SUCCESS'; then
        report yes "$c" "$(sed -n 's/^ORVALE-FLOOR blksize \([0-9]*\) .* ratio \(.*\)/\1: \2/p' "$log" | paste -sd ' ')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    pxe-proxy)
      run_case "$c" 'boot-path = pxe' --image "$sample_image" --pxe proxy
      if booted && has '^ORVALE-BOOT address 198\.18\.0\.[0-9]+/255\.255\.255\.0 server 198\.18\.0\.1 \(PXE\+proxy\)' &&
        has '^ORVALE-BOOT discover type 1 layer 0 server 198\.18\.0\.1$' && has '^ORVALE-BOOT bootfile "sample\.efi" from 198\.18\.0\.1' &&
        grep -q -a 'pxe REQUEST from .* to 224\.0\.1\.2:4011 type 1 layer 0 > ACK' "$server_log"; then
        report yes "$c" "$(line '^ORVALE-BOOT discover')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    pxe-unicast)
      run_case "$c" $'boot-path = pxe\npxe-type = 7\npxe-server = 198.18.0.1' --image "$sample_image" --pxe dhcp \
        --pxe-type 7
      if booted && has '^ORVALE-BOOT address .* server 198\.18\.0\.1 \(PXE\)$' &&
        has '^ORVALE-BOOT discover type 7 layer 0 server 198\.18\.0\.1 \(unicast\)' &&
        grep -q -a 'pxe REQUEST from .* to 198\.18\.0\.1:4011 type 7 layer 0 > ACK' "$server_log" &&
        ! grep -q -a 'proxy offer' "$server_log"; then
        report yes "$c" "$(line '^ORVALE-BOOT discover')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    pxe-plain)
      run_case "$c" 'boot-path = pxe' --image "$sample_image" --pxe plain
      if booted && has '^ORVALE-BOOT discover skipped, boot file of the DHCP reply \(no boot servers\)$' &&
        has '^ORVALE-BOOT bootfile "sample\.efi" from 198\.18\.0\.1' &&
        grep -q -a 'dhcp REQUEST .* > ACK .* boot file "sample\.efi" next-server 198\.18\.0\.1' "$server_log" &&
        ! grep -q -a 'pxe ' "$server_log" &&
        tcpdump -r "$out/$c/boot.pcap" -e -n -c 1 'udp dst port 67' 2>/dev/null | grep -q ' > ff:ff:ff:ff:ff:ff,'; then
        report yes "$c" "$(line '^ORVALE-BOOT discover')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    pxe-mtftp)
      run_case "$c" 'boot-path = pxe' --image "$sample_image" --pxe proxy --mtftp 239.1.2.3,1758,1759
      # The multicast transfer in the server's log, and no unicast one of the file beside it.
      if booted && has '^ORVALE-BOOT mtftp 239\.1\.2\.3:1758 sport 1759 listen 2 s transmit 2 s$' &&
        has '^ORVALE-BOOT download [0-9]+ bytes in ' && has '^ORVALE-BOOT download by multicast 239\.1\.2\.3:1759$' &&
        grep -q -a 'mtftp sample\.efi to 239\.1\.2\.3:1758 opened by 198\.18\.0\.[0-9]*: complete; 1 client' "$server_log" &&
        ! grep -q -a 'tftp sent sample\.efi' "$server_log"; then
        report yes "$c" "$(line '^ORVALE-BOOT download by' | cut -c 22-), $(line '^ORVALE-BOOT download [0-9]' | cut -c 22-)"
      else
        report no "$c" "$(why)"
      fi
      ;;
    pxe-mtftp-fallback)
      # 69,633 blocks of 512 bytes: more than a multicast transfer's 16-bit block numbers reach.
      huge="$out/$c-files/huge.efi"
      mkdir -p "$out/$c-files"
      cp "$bootvm_sample" "$huge" && truncate -s 34M "$huge"
      run_case "$c" $'boot-path = pxe\nblock-size = 8192' --image "$huge,name=huge,priority=5" --pxe proxy \
        --mtftp 239.1.2.3,1758,1759
      allow=(--allow 'TFTP ERROR packet')
      if booted && has '^ORVALE-BOOT download 35651584 bytes in ' &&
        has '^ORVALE-BOOT download by unicast \(multicast failed: EFI_TFTP_ERROR\)$' &&
        has '^ORVALE-BOOT download group tftp-error 3 "File too large for multicast"' &&
        grep -q -a 'mtftp RRQ huge\.efi from .* > ERROR 3' "$server_log" &&
        grep -q -a 'tftp sent huge\.efi to 198\.18\.0\.' "$server_log"; then
        report yes "$c" "$(line '^ORVALE-BOOT download by' | cut -c 22-), $(line '^ORVALE-BOOT download [0-9]' | cut -c 22-)"
      else
        report no "$c" "$(why)"
      fi
      ;;
    linux | linux-pxe-plain)
      if ! linux_image; then
        report no "$c" "no kernel or initrd (log: $out/linux.log)"
        continue
      fi
      config='list-rounds = 0'
      server_mode=()
      if [ "$c" = linux-pxe-plain ]; then
        config='boot-path = pxe'
        server_mode=(--pxe plain)
      fi
      bootvm_memory=512 run_case "$c" "$config" --image "$linux_dir/boot.orv,name=Linux,priority=5" \
        --tftp-root "$linux_dir" ${server_mode[@]+"${server_mode[@]}"}
      if linux_booted && { [ "$c" = linux ] || has '^ORVALE-BOOT discover skipped'; }; then
        report yes "$c" "$(line '^ORVALE-BOOT kernel [0-9]' | cut -c 13-); $(line '^ORVALE-LINUX powering' | cut -c 14-)"
      else
        report no "$c" "$(why)"
      fi
      ;;
    bad-script | script-missing-kernel)
      scripts="$out/$c-files"
      mkdir -p "$scripts"
      if [ "$c" = bad-script ]; then
        printf '#!orvale\nkernel vmlinuz\ncmdline console=ttyS0\0 quiet\n' >"$scripts/boot.orv"
        expect='^ORVALE-BOOT FAIL script EFI_INVALID_PARAMETER "boot\.orv" line 3: NUL byte'
      else
        printf '#!orvale\nkernel vmlinuz-missing\ninitrd initrd.img\n' >"$scripts/boot.orv"
        expect='^ORVALE-BOOT FAIL kernel-size EFI_TFTP_ERROR tftp-error 1 "File not found"'
        allow=(--allow 'TFTP ERROR packet')
      fi
      # By plain DHCP, the quickest road to a boot file.
      run_case "$c" 'boot-path = pxe' --image "$scripts/boot.orv,name=bad,priority=5" --tftp-root "$scripts" \
        --pxe plain
      if has "$expect" && ! has '^ORVALE-BOOT start' && ! has '^ORVALE-BOOT (kernel|initrd) ' &&
        has '^ORVALE-BOOT DONE EFI_(INVALID_PARAMETER|TFTP_ERROR)'; then
        report yes "$c" "$(line '^ORVALE-BOOT FAIL')"
      else
        report no "$c" "$(why)"
      fi
      ;;
    dnsmasq-linux)
      dir="$out/$c"
      rm -rf "$dir"
      mkdir -p "$dir/files"
      if [ "$(id -u)" -ne 0 ]; then
        report no "$c" "needs root (a network namespace, a bridge and a tap)"
        continue
      fi
      if ! linux_image; then
        report no "$c" "no kernel or initrd (log: $out/linux.log)"
        continue
      fi
      # dnsmasq serves its own copies: it is nobody's code here.
      cp -L "$linux_dir/vmlinuz" "$linux_dir/initrd.img" "$linux_dir/boot.orv" "$dir/files/"
      if ! dnsmasq_boot "$dir" "$dir/files"; then
        bootvm_segment_down
        report no "$c" "namespace, bridge, tap or volume not set up"
        continue
      fi
      if linux_booted && has '^ORVALE-BOOT discover skipped, boot file of the DHCP reply' &&
        has '^ORVALE-BOOT bootfile "boot\.orv" from 198\.18\.0\.1' &&
        grep -q -a 'sent .*vmlinuz to 198\.18\.0\.' "$server_log"; then
        report yes "$c" "$(line '^ORVALE-BOOT kernel [0-9]' | cut -c 13-)"
      else
        report no "$c" "$(why)"
      fi
      ;;
    lab)
      dir="$out/$c"
      rm -rf "$dir"
      mkdir -p "$dir"
      if [ "$(id -u)" -ne 0 ]; then
        report no "$c" "needs root (a network namespace, a bridge, taps and a packet socket)"
        continue
      fi
      printf 'boot-path = pxe\npower-off = yes\n' >"$dir/orvale-boot.cfg"
      if ! bootvm_volume "$dir/esp.img" "$dir/orvale-boot.cfg" >"$dir/volume.log" 2>&1 ||
        ! bootvm_lab "$dir" "$lab_machines" "$limit" --image "$sample_image" --pxe proxy --mtftp "$bootvm_lab_mtftp"; then
        bootvm_segment_down
        report no "$c" "namespace, bridge, taps, boot server or volume not set up (log: $dir)"
        continue
      fi
      server_log="$dir/server.log"
      ok=yes
      detail=
      # Every machine greets and read the sample from the group; one transfer lists them all.
      shared=$(grep -a 'mtftp sample\.efi to 239\.1\.2\.3:1758 opened by .*: complete;' "$server_log")
      for ((i = 1; i <= lab_machines; i++)); do
        log="$dir/vm$i/serial.log"
        [ "$(cat "$dir/vm$i/status")" -eq 0 ] || echo "ORVALE-BOOT QEMU-STATUS $(cat "$dir/vm$i/status")" >>"$log"
        leased=$(sed -n 's/^ORVALE-BOOT address \([0-9.]*\)\/.*/\1/p' "$log" | head -n 1)
        if ! booted || ! has '^ORVALE-BOOT download by multicast 239\.1\.2\.3:1759$' || [ -z "$leased" ]; then
          ok=no
          detail="vm$i: $(why)"
          break
        fi
        shared=$(grep -a -E "[(, ]${leased//./\\.}[,)]" <<<"$shared")
      done
      if [ "$ok" = yes ] && [ -z "$shared" ]; then
        ok=no
        detail="no multicast transfer the $lab_machines machines shared: $(grep -a -c 'mtftp ' "$server_log") mtftp lines"
      fi
      [ "$ok" = no ] || detail="$lab_machines greetings; $(head -n 1 <<<"${shared#*: }")"
      report "$ok" "$c" "$detail"
      ;;
    *)
      report no "$c" "no such case (--list)"
      ;;
  esac
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
