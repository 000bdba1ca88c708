#!/usr/bin/env bash
# Installs what the builds and the suites need, from Debian's packages.
# Quiet and idempotent: packages already present are not touched.
set -euo pipefail
pkgs=(clang lld cmake make libgtest-dev libgmock-dev googletest libbenchmark-dev libclang-rt-dev
      tshark qemu-system-x86 ovmf mtools iproute2 ethtool tcpdump python3 procps dnsmasq-base)
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
