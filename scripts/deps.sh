#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need that is missing.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libpcap-dev zlib1g-dev clang libclang-rt-14-dev iproute2 mawk gawk procps
          libhowardhinnant-date-dev libsystemd-dev systemd
          bind9 bind9-dnsutils isc-dhcp-server isc-dhcp-client busybox rsyslog
          tcpdump tshark tcpreplay strace time)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
