#!/usr/bin/env bash
# Installs the Debian packages Brieflotse needs.
#   install-deps.sh run   what building and running the program need
#   install-deps.sh test  that, plus the test servers and tools (make test)
# Quick when everything is present: only missing packages are fetched. Servers
# installed for the tests are never left enabled as system services: the tests
# start private instances of their own.
set -euo pipefail

set_name=${1:-run}

run_packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libgl-dev libqt6printsupport6
  libssl-dev ca-certificates libcurl4-openssl-dev libpugixml-dev libpsl-dev
  libgmime-3.0-dev libsecret-1-dev nlohmann-json3-dev
  fonts-liberation fonts-dejavu-core
)

test_packages=(
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  dovecot-core dovecot-pop3d dnsmasq-base openssl
  xvfb xauth openbox xdotool xclip x11-utils imagemagick
  cups cups-client printer-driver-cups-pdf poppler-utils unrtf
  curl bind9-dnsutils fetchmail
  python3-authlib gnome-keyring libsecret-tools dbus-daemon
  lintian appstream desktop-file-utils
)

# System services the test packages bring along; the tests run their own.
test_services=(dovecot.service cups.service cups.socket cups.path cups-browsed.service)

case "$set_name" in
  run) packages=("${run_packages[@]}") ;;
  test) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

# Leaves no service of ours enabled for the next boot, whether this run
# installed the package or an earlier one did.
disable_services() {
  local unit link
  for unit in "${test_services[@]}"; do
    for link in /etc/systemd/system/*.wants/"$unit"; do
      [ -L "$link" ] && "${sudo_cmd[@]}" rm -f "$link"
    done
  done
  return 0
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  # Daemons from these packages must not start as system services here.
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
fi

if [ "$set_name" = test ]; then
  disable_services
fi
