#!/usr/bin/env bash
# Shared by tools/demo.sh and tools/run-boot-suite.sh (sourced, not run):
# builds the PE32+ images and the boot server, makes the FAT volume, starts
# the boot server on a raw-frame UDP socket and boots OVMF from the volume
# with QEMU's NIC on the other end of that socket.
#
# QEMU runs under `flock /tmp/orvale-ovmf.lock`, with the NIC's option ROM
# empty and the firmware's own network boot switched off, so every frame on
# the link is the driver's or the boot server's.

bootvm_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bootvm_efi_build=${ORVALE_EFI_BUILD:-$bootvm_root/build/efi}
bootvm_server_build=${ORVALE_SERVER_BUILD:-$bootvm_root/build/boot-server}
bootvm_ovmf_code=/usr/share/OVMF/OVMF_CODE_4M.fd
bootvm_ovmf_vars=/usr/share/OVMF/OVMF_VARS_4M.fd
bootvm_server_pid=

# bootvm_build LOG: the EFI images (driver, loader, sample) and, unless
# ORVALE_SERVER_BINARY names one already built, the boot server (an optimised
# build without sanitizers: it moves 16 MiB files).
bootvm_build() {
  local log=$1
  {
    cmake -S "$bootvm_root" -B "$bootvm_efi_build" -DORVALE_EFI=ON &&
      cmake --build "$bootvm_efi_build" -j2 || return 1
    [ -z "${ORVALE_SERVER_BINARY:-}" ] || return 0
    cmake -S "$bootvm_root" -B "$bootvm_server_build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_BUILD_TYPE=Release -DORVALE_SANITIZE=OFF &&
      cmake --build "$bootvm_server_build" -j2 --target orvale-boot-server
  } >"$log" 2>&1
}

bootvm_loader=$bootvm_efi_build/efi/orvale-boot.efi
bootvm_driver=$bootvm_efi_build/efi/orvale.efi
bootvm_sample=$bootvm_efi_build/efi/orvale-sample.efi
bootvm_stub=$bootvm_efi_build/efi/orvale-stub.efi
bootvm_server=${ORVALE_SERVER_BINARY:-$bootvm_server_build/orvale-boot-server}

# bootvm_volume IMAGE CONFIG [FILE DEST]...: an 8 MiB FAT volume with the
# loader as \EFI\BOOT\BOOTX64.EFI, the driver (or $bootvm_volume_driver) and
# CONFIG beside it, and any
# further FILE at DEST (a path like ::/sample.efi; one folder level is made).
bootvm_volume() {
  local image=$1 config=$2
  shift 2
  rm -f "$image"
  export MTOOLS_SKIP_CHECK=1
  truncate -s 8M "$image" &&
    mformat -i "$image" -h 16 -t 32 -s 32 -v ORVALE :: &&
    mmd -i "$image" ::/EFI ::/EFI/BOOT &&
    mcopy -i "$image" "$bootvm_loader" ::/EFI/BOOT/BOOTX64.EFI &&
    mcopy -i "$image" "${bootvm_volume_driver:-$bootvm_driver}" ::/EFI/BOOT/orvale.efi &&
    mcopy -i "$image" "$config" ::/EFI/BOOT/orvale-boot.cfg || return 1
  local folder
  while [ $# -ge 2 ]; do
    folder=$(dirname "${2#::}")
    [ "$folder" = / ] || mmd -i "$image" "::$folder" 2>/dev/null
    mcopy -i "$image" "$1" "$2" || return 1
    shift 2
  done
}

# A free UDP port on 127.0.0.1 (bound and released: a small race, fine on loopback).
bootvm_free_port() {
  python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# bootvm_start_server LOG VM_PORT ARGS...: starts the boot server on a free
# port talking to QEMU's VM_PORT; sets bootvm_server_port once it is ready.
bootvm_start_server() {
  local log=$1 vm_port=$2
  shift 2
  "$bootvm_server" --dgram "127.0.0.1:0,127.0.0.1:$vm_port" "$@" >"$log" 2>&1 &
  bootvm_server_pid=$!
  local i
  # Up to 20 s: a sanitizer build reads a 16 MiB image slowly.
  for ((i = 0; i < 400; i++)); do
    if grep -q '] ready$' "$log" 2>/dev/null; then
      bootvm_server_port=$(sed -n 's/.* on udp 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log" | head -n 1)
      [ -n "$bootvm_server_port" ] && return 0
    fi
    kill -0 "$bootvm_server_pid" 2>/dev/null || break
    sleep 0.05
  done
  cat "$log" >&2
  bootvm_stop_server
  return 1
}

bootvm_stop_server() {
  if [ -n "$bootvm_server_pid" ]; then
    kill "$bootvm_server_pid" 2>/dev/null
    wait "$bootvm_server_pid" 2>/dev/null
  fi
  bootvm_server_pid=
}

# bootvm_run VOLUME VARS_COPY RAW_LOG LIMIT [VM_PORT SERVER_PORT]: boots OVMF
# from VOLUME; with ports, the NIC's frames travel as UDP datagrams between
# 127.0.0.1:VM_PORT and the boot server at 127.0.0.1:SERVER_PORT; without
# them the NIC sits on QEMU's user network (for boots from the volume).
# Returns QEMU's status (124 on timeout). $bootvm_memory: MiB (default 256).
# $bootvm_tap: the NIC is this tap device instead, in network namespace
# $bootvm_netns, where QEMU then runs. $bootvm_mac: the NIC's address.
# $bootvm_unlocked: the caller holds the lock already (machines side by side).
bootvm_run() {
  local volume=$1 vars=$2 raw=$3 limit=$4 vm_port=${5:-} server_port=${6:-}
  local netdev="socket,id=n0,udp=127.0.0.1:$server_port,localaddr=127.0.0.1:$vm_port"
  [ -n "$vm_port" ] || netdev="user,id=n0,restrict=on"
  local inside=()
  if [ -n "${bootvm_tap:-}" ]; then
    netdev="tap,id=n0,ifname=$bootvm_tap,script=no,downscript=no"
    inside=(ip netns exec "$bootvm_netns")
  fi
  local lock=(flock /tmp/orvale-ovmf.lock)
  [ -z "${bootvm_unlocked:-}" ] || lock=()
  cp "$bootvm_ovmf_vars" "$vars"
  ${lock[@]+"${lock[@]}"} ${inside[@]+"${inside[@]}"} timeout -k 5 "$limit" qemu-system-x86_64 \
    -machine q35 -accel tcg -m "${bootvm_memory:-256}" -nographic -serial mon:stdio -no-reboot \
    -drive if=pflash,format=raw,readonly=on,file="$bootvm_ovmf_code" \
    -drive if=pflash,format=raw,file="$vars" \
    -drive if=none,id=esp,format=raw,file="$volume" \
    -device virtio-blk-pci,drive=esp,bootindex=0 \
    -netdev "$netdev" \
    -device virtio-net-pci,netdev=n0,romfile=,mac="${bootvm_mac:-52:54:00:12:34:56}" \
    -fw_cfg name=opt/org.tianocore/IPv4PXESupport,string=n \
    -fw_cfg name=opt/org.tianocore/IPv6PXESupport,string=n \
    </dev/null >"$raw" 2>"$raw.stderr"
}

# Console text as plain lines: escape sequences, CRs and NULs stripped.
bootvm_text() {
  sed -e 's/\x1b\[[0-9;?=>]*[A-Za-z]//g' -e 's/\x1b[()][A-Za-z0-9]//g' "$1" | tr -d '\r\000\033'
}

# ---- A segment of its own: a bridge in a network namespace (root) ----

# bootvm_segment_up TAPS: a network namespace made for this run, holding a
# bridge (no address, no IPv6, no STP, every frame to every port) with TAPS
# tap devices on it; sets bootvm_segment_ns, bootvm_segment_bridge and the
# array bootvm_segment_taps. The names carry the shell's pid and a random
# number, so runs side by side never meet; nothing leaves the namespace.
bootvm_segment_ns=
bootvm_segment_up() {
  local count=$1 id="$$-$RANDOM" i tap
  local ns="orvale-boot-$id" bridge="obr${id//-/}"
  bridge=${bridge:0:15}
  bootvm_segment_bridge=$bridge
  bootvm_segment_taps=()
  ip netns add "$ns" || return 1
  bootvm_segment_ns=$ns
  # No IPv6 chatter; checksums computed before a capture sees the host's frames.
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 &&
    ip -n "$ns" link set lo up &&
    ip -n "$ns" link add "$bridge" type bridge stp_state 0 mcast_snooping 0 &&
    ip netns exec "$ns" ethtool -K "$bridge" tx off >/dev/null || return 1
  for ((i = 0; i < count; i++)); do
    tap="ot$i${id//-/}"
    tap=${tap:0:15}
    ip -n "$ns" tuntap add dev "$tap" mode tap && ip -n "$ns" link set "$tap" master "$bridge" &&
      ip -n "$ns" link set "$tap" up || return 1
    bootvm_segment_taps+=("$tap")
  done
  ip -n "$ns" link set "$bridge" up
}

# Removes the segment's namespace with every process still inside it.
bootvm_segment_down() {
  [ -n "$bootvm_segment_ns" ] || return 0
  ip netns pids "$bootvm_segment_ns" 2>/dev/null | xargs -r kill 2>/dev/null
  sleep 0.5
  ip netns del "$bootvm_segment_ns" 2>/dev/null
  bootvm_segment_ns=
}

# What a lab's machines need: the least memory the sample's boot takes (32
# MiB is too little for the firmware), and the group the boot server sends
# the file to, with a listen time that lets machines reaching the download a
# few seconds apart join one transfer.
bootvm_lab_memory=64
bootvm_lab_mtftp=239.1.2.3,1758,1759,listen=6

# bootvm_lab DIR COUNT LIMIT SERVER_ARGS...: COUNT machines boot at once from
# the volume DIR/esp.img (a copy each) on one segment with the boot server,
# which reaches the bridge through a veth pair and its packet-socket wire
# (--interface). tcpdump writes the bridge's frames to DIR/boot.pcap, the
# server logs to DIR/server.log; machine i (1..COUNT) has MAC
# 52:54:00:12:35:0i, its ORVALE lines in DIR/vmi/serial.log and QEMU's
# status in DIR/vmi/status. Non-zero when the segment or the server did not
# come up. The lab takes the OVMF lock once for all its machines.
bootvm_lab() {
  local dir=$1 count=$2 limit=$3 i
  shift 3
  bootvm_segment_up "$count" || return 1
  local ns=$bootvm_segment_ns bridge=$bootvm_segment_bridge
  local veth="ov${bridge#obr}"
  veth=${veth:0:14}
  ip -n "$ns" link add "${veth}a" type veth peer name "${veth}b" &&
    ip -n "$ns" link set "${veth}a" master "$bridge" && ip -n "$ns" link set "${veth}a" up &&
    ip -n "$ns" link set "${veth}b" up || return 1
  ip netns exec "$ns" tcpdump -i "$bridge" -B 32768 -s 0 -U -w "$dir/boot.pcap" >"$dir/tcpdump.log" 2>&1 &
  local capture=$!
  ip netns exec "$ns" "$bootvm_server" --interface "${veth}b" "$@" >"$dir/server.log" 2>&1 &
  local server=$!
  for ((i = 0; i < 400; i++)); do
    grep -q '] ready$' "$dir/server.log" 2>/dev/null && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.05
  done
  if ! grep -q '] ready$' "$dir/server.log" 2>/dev/null; then
    cat "$dir/server.log" >&2
    return 1
  fi
  # tcpdump needs a moment before the first frame is worth keeping.
  sleep 1
  local lock machines=()
  exec {lock}>/tmp/orvale-ovmf.lock
  flock "$lock"
  for ((i = 1; i <= count; i++)); do
    local vm="$dir/vm$i"
    mkdir -p "$vm"
    cp "$dir/esp.img" "$vm/esp.img"
    (
      bootvm_tap=${bootvm_segment_taps[$((i - 1))]} bootvm_netns=$ns bootvm_unlocked=yes bootvm_memory=$bootvm_lab_memory \
        bootvm_mac=$(printf '52:54:00:12:35:%02x' "$i") bootvm_run "$vm/esp.img" "$vm/OVMF_VARS.fd" "$vm/serial.raw" "$limit"
      echo $? >"$vm/status"
    ) &
    machines+=($!)
  done
  wait "${machines[@]}"
  exec {lock}>&-
  kill "$server" 2>/dev/null
  wait "$server" 2>/dev/null
  # tcpdump hands frames over a block of its ring at a time (within a
  # second); stopped at once, it would lose the last ones.
  sleep 1.5
  kill "$capture" 2>/dev/null
  wait "$capture" 2>/dev/null
  bootvm_segment_down
  for ((i = 1; i <= count; i++)); do
    bootvm_text "$dir/vm$i/serial.raw" | grep -a -E '^ORVALE-(BOOT|SAMPLE|LINUX)' >"$dir/vm$i/serial.log"
  done
  return 0
}

# ---- A Linux kernel and initrd to boot through the driver ----
#
# The kernel comes from Debian's linux-image-cloud-amd64 package (downloaded
# and unpacked here, never installed); the initrd is busybox-static with an
# init that prints "ORVALE-LINUX ..." lines (greeting, the address the loader
# passed as orvale.ip=, the command line) and powers off. Both are cached in
# build/linux; a second call downloads nothing.
bootvm_linux_cache=${ORVALE_LINUX_CACHE:-$bootvm_root/build/linux}

# bootvm_linux_fetch PACKAGE: the .deb of PACKAGE in the cache (downloaded once);
# prints its path. A virtual or meta package is followed to the image it depends on.
bootvm_linux_fetch() {
  local package=$1 debs="$bootvm_linux_cache/debs" deb
  mkdir -p "$debs"
  deb=$(ls "$debs/${package}"_*.deb 2>/dev/null | head -n 1)
  if [ -z "$deb" ]; then
    local started=$SECONDS
    (cd "$debs" && apt-get download -qq "$package" >/dev/null 2>"$debs/$package.log") ||
      { (cd "$debs" && apt-get update -qq >/dev/null 2>&1 && apt-get download -qq "$package" >/dev/null 2>"$debs/$package.log"); } ||
      { cat "$debs/$package.log" >&2; return 1; }
    deb=$(ls "$debs/${package}"_*.deb | head -n 1)
    echo "  linux: downloaded $(basename "$deb") ($(stat -c %s "$deb") bytes in $((SECONDS - started)) s)" >&2
  fi
  echo "$deb"
}

# The init of the initrd: busybox's shell, /proc for the command line.
bootvm_linux_init='#!/bin/sh
/bin/busybox mkdir -p /proc /sys /dev
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t devtmpfs dev /dev 2>/dev/null
/bin/busybox --install -s /bin
ip=$(sed -n "s/.*orvale\.ip=\([0-9.]*\).*/\1/p" /proc/cmdline)
echo "ORVALE-LINUX Hello from Linux $(uname -r) userspace: booted through the Orvale driver with address ${ip:-none}"
echo "ORVALE-LINUX cmdline $(cat /proc/cmdline)"
echo "ORVALE-LINUX powering off after $(cut -d " " -f 1 /proc/uptime) s of uptime"
poweroff -f
'

# bootvm_linux_files: sets bootvm_kernel and bootvm_initrd (files in the cache).
bootvm_linux_files() {
  local cache=$bootvm_linux_cache
  mkdir -p "$cache"
  bootvm_kernel="$cache/vmlinuz"
  bootvm_initrd="$cache/initrd.img"
  if [ ! -s "$bootvm_kernel" ]; then
    local meta image deb
    meta=$(bootvm_linux_fetch linux-image-cloud-amd64) || return 1
    image=$(dpkg-deb -f "$meta" Depends | tr ',' '\n' | sed -n 's/^ *\(linux-image-[^ ]*\).*/\1/p' | head -n 1)
    [ -n "$image" ] || { echo "linux: no kernel image named by $meta" >&2; return 1; }
    deb=$(bootvm_linux_fetch "$image") || return 1
    rm -rf "$cache/kernel-pkg"
    dpkg-deb -x "$deb" "$cache/kernel-pkg" || return 1
    cp "$cache"/kernel-pkg/boot/vmlinuz-* "$bootvm_kernel.part" && mv "$bootvm_kernel.part" "$bootvm_kernel" || return 1
    rm -rf "$cache/kernel-pkg"
    echo "  linux: kernel $(basename "$deb" .deb), vmlinuz $(stat -c %s "$bootvm_kernel") bytes" >&2
  fi
  # Rebuilt when the init changes (both sides lose their last newline alike).
  if [ ! -s "$bootvm_initrd" ] || [ "$(cat "$cache/init" 2>/dev/null)" != "$(printf '%s' "$bootvm_linux_init")" ]; then
    local deb
    deb=$(bootvm_linux_fetch busybox-static) || return 1
    rm -rf "$cache/busybox-pkg"
    dpkg-deb -x "$deb" "$cache/busybox-pkg" || return 1
    printf '%s' "$bootvm_linux_init" >"$cache/init"
    # A newc cpio written here, so that /dev/console needs no mknod.
    python3 - "$cache/busybox-pkg/bin/busybox" "$cache/init" "$bootvm_initrd.part" <<'PY' || return 1
import sys
busybox, init, out = sys.argv[1:4]
entries = [("dev", 0o040755, b"", 0), ("dev/console", 0o020600, b"", (5 << 8) | 1), ("bin", 0o040755, b"", 0),
           ("bin/busybox", 0o100755, open(busybox, "rb").read(), 0), ("bin/sh", 0o120777, b"busybox", 0),
           ("init", 0o100755, open(init, "rb").read(), 0), ("TRAILER!!!", 0, b"", 0)]
with open(out, "wb") as f:
    for ino, (name, mode, data, rdev) in enumerate(entries, 1):
        n = name.encode() + b"\0"
        fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev >> 8, rdev & 0xFF, len(n), 0]
        header = b"070701" + b"".join(b"%08X" % v for v in fields)
        f.write(header + n + b"\0" * (-(len(header) + len(n)) % 4))
        f.write(data + b"\0" * (-len(data) % 4))
PY
    mv "$bootvm_initrd.part" "$bootvm_initrd"
    rm -rf "$cache/busybox-pkg"
    echo "  linux: initrd.img $(stat -c %s "$bootvm_initrd") bytes (busybox-static, $(basename "$deb" .deb))" >&2
  fi
}

# bootvm_linux_folder DIR [CMDLINE]: DIR holds the boot script boot.orv with
# links to the cached kernel and initrd, ready for the boot server's TFTP.
bootvm_linux_folder() {
  local dir=$1 cmdline=${2:-console=ttyS0 quiet panic=-1}
  bootvm_linux_files || return 1
  mkdir -p "$dir"
  ln -sf "$bootvm_kernel" "$dir/vmlinuz"
  ln -sf "$bootvm_initrd" "$dir/initrd.img"
  printf '#!orvale\n# a Linux kernel with a busybox initrd\nkernel vmlinuz\ninitrd initrd.img\ncmdline %s\nblock-size 8192\n' \
    "$cmdline" >"$dir/boot.orv"
}
