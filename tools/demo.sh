#!/usr/bin/env bash
# The demo: a machine network-boots through the Orvale driver in real
# firmware. Installs what is missing, builds the driver, the loader, the
# sample boot image and the boot server, starts the boot server with the
# sample image, and boots OVMF under QEMU with the loader as
# \EFI\BOOT\BOOTX64.EFI. Shows the loader's stages and the sample's greeting,
# and has tshark judge the boot server's capture of the boot; exits 0 when the
# sample ran and returned EFI_SUCCESS (with --linux: the kernel's userspace
# greeting appeared and the machine powered off) and tshark flagged no frame.
#
#   tools/demo.sh              network boot from the boot server
#   tools/demo.sh --pxe        the PXE path: the boot server as a proxy beside its
#                              own DHCP and as the boot server found by multicast
#                              discovery on port 4011
#   tools/demo.sh --pxe plain  the PXE path against plain DHCP: boot file and
#                              next-server in the replies, no discovery
#   tools/demo.sh --local      the loader starts the sample from its own volume
#                              (no network exchange; shows the start path alone)
#   tools/demo.sh --lab [N]    a lab: N machines (default 3) boot the sample at once by
#                              the PXE path from one multicast TFTP transfer, the boot
#                              server on a bridge in a network namespace of its own
#                              (root); exits 0 only when every machine greeted
#   tools/demo.sh --floor      no boot: per block size 512, 1468 and 8192, round trips
#                              straight on the firmware's MNP against the boot server
#                              (the floor, its answers as IPv4 to the station) beside
#                              the driver's read of as many blocks; one
#                              "ORVALE-FLOOR ... ratio R" line each
#   tools/demo.sh --linux [--pxe [plain]]
#                              boot a Linux kernel (Debian's linux-image-cloud-amd64)
#                              with a busybox initrd through a boot script; its
#                              init prints "ORVALE-LINUX ..." and powers off
#
# Environment: ORVALE_DEMO_OUT (default build/demo), ORVALE_DEMO_TIMEOUT
# (seconds before QEMU is stopped, default 120, 300 with --linux, 40 per
# machine with more than 3 in the lab),
# ORVALE_DEMO_BLOCK_SIZE (TFTP block size the loader asks for, default 1468;
# the Linux boot script asks for 8192), ORVALE_LINUX_DIR (with --linux: a
# folder of your own with boot.orv, the kernel and the initrd it names).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# shellcheck source=tools/boot-vm.sh
source tools/boot-vm.sh

demo_started=$(date +%s%N)
mode=network
pxe=
linux=no
while [ $# -gt 0 ]; do
  case "$1" in
    --local) mode=local ;;
    --pxe)
      mode=pxe
      pxe=proxy
      if [ "${2:-}" = plain ]; then pxe=plain; shift; fi
      ;;
    --linux) linux=yes ;;
    --lab)
      mode=lab
      machines=3
      if [[ "${2:-}" =~ ^[0-9]+$ ]]; then machines=$2; shift; fi
      ;;
    --floor) mode=floor ;;
    -h | --help) sed -n '2,37p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown argument $1 (--local, --pxe [plain], --lab [N], --floor, --linux, --help)" >&2; exit 2 ;;
  esac
  shift
done
if [ "$linux" = yes ] && { [ "$mode" = local ] || [ "$mode" = floor ]; }; then
  echo "demo: --linux boots from the network; it does not go with --local or --floor" >&2
  exit 2
fi
if [ "$mode" = lab ]; then
  if [ "$linux" = yes ] || [ "$machines" -lt 1 ] || [ "$machines" -gt 50 ]; then
    echo "demo: --lab wants 1 to 50 machines booting the sample (not with --linux)" >&2
    exit 2
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "demo: --lab needs root (a network namespace, a bridge, taps and a packet socket)" >&2
    exit 2
  fi
fi
floor_rounds=${ORVALE_FLOOR_ROUNDS:-2000}
out=${ORVALE_DEMO_OUT:-build/demo}
default_limit=120
[ "$linux" = yes ] && default_limit=300
[ "$mode" = lab ] && [ "$machines" -gt 3 ] && default_limit=$((40 * machines))
limit=${ORVALE_DEMO_TIMEOUT:-$default_limit}
block_size=${ORVALE_DEMO_BLOCK_SIZE:-1468}
mkdir -p "$out"
out=$(cd "$out" && pwd)

bash tools/install-deps.sh || exit 1

echo "== build (EFI images in $bootvm_efi_build, boot server in $bootvm_server_build)"
if ! bootvm_build "$out/build.log"; then
  tail -n 30 "$out/build.log"
  echo "demo: build failed (log: $out/build.log)"
  exit 1
fi

config="$out/orvale-boot.cfg"
{
  echo "# written by tools/demo.sh"
  echo "block-size = $block_size"
  echo "power-off = yes"
  [ "$mode" = local ] && echo 'local-image = \sample.efi'
  [ "$mode" = pxe ] || [ "$mode" = lab ] && echo 'boot-path = pxe'
  [ "$mode" = floor ] && printf 'list-rounds = 0\nfloor-rounds = %s\n' "$floor_rounds"
} >"$config"
bootvm_volume "$out/esp.img" "$config" "$bootvm_sample" ::/sample.efi >"$out/volume.log" 2>&1 ||
  { cat "$out/volume.log"; echo "demo: FAT volume not built"; exit 1; }

trap bootvm_stop_server EXIT
vm_port=
server_port=
server_pxe=()
[ "$mode" = pxe ] && server_pxe=(--pxe "$pxe")
if [ "$mode" = floor ]; then
  # Files of as many blocks as rounds: rounds - 1 whole ones and a half one.
  mkdir -p "$out/floor-files"
  for b in 512 1468 8192; do truncate -s $(((floor_rounds - 1) * b + b / 2)) "$out/floor-files/floor-$b.bin"; done
  server_pxe=(--floor --tftp-root "$out/floor-files")
fi
image=("$out/images/sample.efi,name=Orvale sample,priority=5")
if [ "$linux" = yes ]; then
  bootvm_memory=512
  if [ -n "${ORVALE_LINUX_DIR:-}" ]; then
    linux_dir=$(cd "$ORVALE_LINUX_DIR" && pwd) || exit 1
    [ -f "$linux_dir/boot.orv" ] || { echo "demo: $linux_dir has no boot.orv"; exit 1; }
    echo "== Linux: your own folder $linux_dir"
  else
    linux_dir="$out/linux"
    echo "== Linux: kernel and initrd (cached in $bootvm_linux_cache)"
    bootvm_linux_folder "$linux_dir" || { echo "demo: no kernel or initrd"; exit 1; }
    echo "  linux: vmlinuz $(stat -L -c %s "$linux_dir/vmlinuz") bytes, initrd.img $(stat -L -c %s "$linux_dir/initrd.img") bytes"
  fi
  sed 's/^/  boot.orv: /' "$linux_dir/boot.orv"
  image=("$linux_dir/boot.orv,name=Linux,priority=5" --tftp-root "$linux_dir")
fi
if [ "$mode" = lab ]; then
  mkdir -p "$out/images"
  cp "$bootvm_sample" "$out/images/sample.efi"
  rm -rf "$out"/vm*
  trap bootvm_segment_down EXIT
  echo "== the lab: $machines machines and the boot server on a bridge in a network namespace of its own"
  echo "   (TCG, ${bootvm_lab_memory} MiB each, timeout ${limit}s; multicast TFTP ${bootvm_lab_mtftp})"
  started=$(date +%s%N)
  bootvm_lab "$out" "$machines" "$limit" --image "${image[@]}" --pxe proxy --mtftp "$bootvm_lab_mtftp" ||
    { echo "demo: the lab's segment or boot server did not come up (log: $out/server.log)"; exit 1; }
  finished=$(date +%s%N)
  greeted=0
  status=0
  for ((i = 1; i <= machines; i++)); do
    echo "== machine $i ($(printf '52:54:00:12:35:%02x' "$i")): the loader's stages"
    sed 's/^/  /' "$out/vm$i/serial.log"
    vm_rc=$(cat "$out/vm$i/status")
    if grep -q -a '^ORVALE-SAMPLE Hello' "$out/vm$i/serial.log"; then
      greeted=$((greeted + 1))
    else
      echo "demo: machine $i did not print the sample's greeting$([ "$vm_rc" -eq 124 ] && echo " (QEMU timed out)")"
      status=1
    fi
  done
  echo "== boot server's view"
  tail -n +2 "$out/server.log" | sed 's/^/  server: /' | tail -n 60
  echo "== the capture of the bridge, judged by tshark (checksums checked)"
  bash tools/pcap-check.sh "$out/boot.pcap" | sed 's/^/  /'
  if [ "${PIPESTATUS[0]}" -ne 0 ]; then
    echo "demo: tshark flagged frames in the capture, or could not judge it"
    status=1
  fi
  elapsed_ms=$(((finished - started) / 1000000))
  echo "demo: $greeted of $machines machines greeted in $((elapsed_ms / 1000)).$(printf '%03d' $((elapsed_ms % 1000)))s" \
    "from the first start to the last power-off; $(grep -a -c '] mtftp .*client(s) heard' "$out/server.log") multicast transfer(s)"
  exit $status
fi
if [ "$mode" != local ]; then
  vm_port=$(bootvm_free_port)
  # The boot server serves a copy of the sample from its own folder.
  mkdir -p "$out/images"
  cp "$bootvm_sample" "$out/images/sample.efi"
  echo "== boot server (log: $out/server.log, capture: $out/demo.pcap)"
  bootvm_start_server "$out/server.log" "$vm_port" --image "${image[@]}" \
    --pcap "$out/demo.pcap" ${server_pxe[@]+"${server_pxe[@]}"} || { echo "demo: boot server did not start"; exit 1; }
  server_port=$bootvm_server_port
  sed 's/^/  server: /' "$out/server.log"
fi

echo "== OVMF under QEMU (TCG, timeout ${limit}s): the loader's stages"
started=$(date +%s%N)
bootvm_run "$out/esp.img" "$out/OVMF_VARS.fd" "$out/serial.raw" "$limit" $vm_port $server_port
rc=$?
finished=$(date +%s%N)
elapsed_ms=$(((finished - started) / 1000000))
total_ms=$(((finished - demo_started) / 1000000))
bootvm_text "$out/serial.raw" >"$out/serial.log"
grep -a -E '^ORVALE-(BOOT|SAMPLE|LINUX|FLOOR)' "$out/serial.log" | sed 's/^/  /'
if [ "$mode" != local ]; then
  bootvm_stop_server
  echo "== boot server's view"
  tail -n +2 "$out/server.log" | sed 's/^/  server: /' | tail -n 40
  echo "== the capture, judged by tshark (checksums checked)"
  bash tools/pcap-check.sh "$out/demo.pcap" | sed 's/^/  /'
  capture_rc=${PIPESTATUS[0]}
fi

status=0
if [ "${capture_rc:-0}" -eq 1 ]; then
  echo "demo: tshark flagged frames in the capture"
  status=1
fi
if [ "$rc" -ne 0 ]; then
  echo "demo: QEMU ended with status $rc$([ "$rc" -eq 124 ] && echo " (timed out)")"
  status=1
fi
seconds() { echo "$(($1 / 1000)).$(printf '%03d' $(($1 % 1000)))s"; }
if [ "$linux" = yes ]; then
  # The kernel never hands back: its greeting, with the address the loader leased, is the proof.
  leased=$(sed -n 's/^ORVALE-BOOT address \([0-9.]*\)\/.*/\1/p' "$out/serial.log" | head -n 1)
  if ! grep -q -a "^ORVALE-LINUX Hello.* with address ${leased:-?}\$" "$out/serial.log"; then
    echo "demo: the kernel's userspace greeting with the leased address ${leased:-(none)} is missing"
    grep -a -m 1 '^ORVALE-BOOT FAIL' "$out/serial.log"
    status=1
  fi
elif [ "$mode" = floor ]; then
  if [ "$(grep -c -a -E '^ORVALE-FLOOR blksize (512|1468|8192) floor .* ratio [0-9]+\.[0-9]{2}$' "$out/serial.log")" -ne 3 ]; then
    echo "demo: not every block size has its ORVALE-FLOOR line"
    grep -a -m 1 '^ORVALE-BOOT FAIL' "$out/serial.log"
    status=1
  fi
else
  if ! grep -q -a '^ORVALE-BOOT DONE EFI_SUCCESS' "$out/serial.log"; then
    echo "demo: the loader did not finish with EFI_SUCCESS"
    status=1
  fi
  if ! grep -q -a '^ORVALE-SAMPLE Hello' "$out/serial.log"; then
    echo "demo: the sample image's greeting is missing"
    status=1
  fi
fi
echo "demo: $([ $status -eq 0 ] && echo "$([ "$mode" = floor ] && echo measured || echo booted)" || echo "FAILED") in $(seconds "$elapsed_ms") of QEMU time, $(seconds "$total_ms") from the command to power-off (serial log: $out/serial.log)"
exit $status
