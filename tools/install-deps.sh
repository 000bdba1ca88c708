#!/usr/bin/env bash
# Installs what the builds and the suites need, from Debian's packages.
# Quiet and idempotent: packages already present are not touched.
set -euo pipefail
pkgs=(clang lld cmake make libgtest-dev libgmock-dev googletest libbenchmark-dev libclang-rt-dev
      tshark qemu-system-x86 ovmf mtools iproute2 ethtool tcpdump python3 procps isc-dhcp-server dnsmasq dnsmasq-base
      tftpd-hpa atftp curl bc)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages (${missing[*]}) and not root; install them first" >&2
    exit 1
  fi
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections || true
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# atftpd conflicts with tftpd-hpa, so it is unpacked, not installed; the
# real-network suite runs it from here (ORVALE_ATFTPD_DIR).
atftpd_dir=${ORVALE_ATFTPD_DIR:-/opt/orvale-atftpd}
if [ ! -x "$atftpd_dir/usr/sbin/atftpd" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: atftpd is not unpacked at $atftpd_dir and not root" >&2
    exit 1
  fi
  work=$(mktemp -d)
  (cd "$work" && apt-get download -qq atftpd >/dev/null) || { rm -rf "$work"; exit 1; }
  mkdir -p "$atftpd_dir"
  dpkg-deb -x "$work"/atftpd_*.deb "$atftpd_dir"
  rm -rf "$work"
fi

# The Linux kernel (Debian's linux-image-cloud-amd64, unpacked, never
# installed) and the busybox initrd the demo and the boot suite boot, cached
# in build/linux: a second run downloads nothing.
# shellcheck source=tools/boot-vm.sh
source "$(dirname "$0")/boot-vm.sh"
bootvm_linux_files
