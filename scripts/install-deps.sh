#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Brieflotse need.
# Quick when everything is present: only missing packages are fetched.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  dovecot-core dovecot-pop3d dnsmasq-base
  xvfb xauth fonts-liberation fonts-dejavu-core
  cups cups-client printer-driver-cups-pdf poppler-utils unrtf libqt6printsupport6
  curl bind9-dnsutils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
# Daemons from these packages must not start as system services here: the tests start their own.
policy=/usr/sbin/policy-rc.d
created_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$policy" >/dev/null
  "${sudo_cmd[@]}" chmod 755 "$policy"
  created_policy=1
fi
"${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
if [ "$created_policy" -eq 1 ]; then
  "${sudo_cmd[@]}" rm -f "$policy"
fi
