#!/usr/bin/env bash
# Checks installing: `make install` into a staging folder, `make package`
# (which keeps install_manifest.txt), `make uninstall` from the staging folder,
# the package installed with apt-get, the installed
# program started, and lintian, appstreamcli and desktop-file-validate on what
# was installed. Reuses the build folder (BUILD, default build); needs root or
# sudo for apt-get. The package is removed again at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD:-build}
id=de.ravelko.brieflotse
stage=$(mktemp -d)
home=$(mktemp -d)
trap 'rm -rf "$stage" "$home"' EXIT

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

fail() {
  echo "install: $*"
  exit 1
}

expected=(
  bin/brieflotse
  share/applications/$id.desktop
  share/metainfo/$id.metainfo.xml
  share/icons/hicolor/scalable/apps/$id.svg
  share/man/man1/brieflotse.1.gz
  share/doc/brieflotse/copyright
  share/doc/brieflotse/changelog.gz
)
for size in 16 32 48 64 128 256; do
  expected+=("share/icons/hicolor/${size}x$size/apps/$id.png")
done

echo "-- make install DESTDIR=$stage PREFIX=/usr"
make install BUILD="$build" DESTDIR="$stage" PREFIX=/usr >/dev/null
for file in "${expected[@]}"; do
  [ -f "$stage/usr/$file" ] || fail "$file is missing below $stage/usr"
  grep -qx "/usr/$file" "$build/install_manifest.txt" || fail "$file is not in install_manifest.txt"
done
[ -x "$stage/usr/bin/brieflotse" ] || fail "bin/brieflotse is not executable"
echo "${#expected[@]} files installed"

cp "$build/install_manifest.txt" "$home/manifest"

echo "-- make package"
rm -f "$build"/brieflotse_*.deb
make package BUILD="$build" >/dev/null
debs=("$build"/brieflotse_*_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "no single brieflotse_<version>_<arch>.deb in $build"
deb=${debs[0]}
echo "$deb"
dpkg-deb --field "$deb" Package Version Architecture Section Depends
cmp -s "$build/install_manifest.txt" "$home/manifest" || fail "make package changed install_manifest.txt"

echo "-- make uninstall DESTDIR=$stage"
make uninstall BUILD="$build" DESTDIR="$stage" >/dev/null
left=$(find "$stage" -type f | wc -l)
[ "$left" -eq 0 ] || fail "$left files left after make uninstall"

echo "-- apt-get install ./$deb"
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "./$deb" >/dev/null
trap 'rm -rf "$stage" "$home"; DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get purge -y brieflotse >/dev/null' EXIT
for file in "${expected[@]}"; do
  [ -f "/usr/$file" ] || fail "/usr/$file is missing after apt-get install"
done

echo "-- brieflotse --version"
# A private settings folder; offscreen, so no display is needed.
status=0
version=$(HOME="$home" XDG_CONFIG_HOME="$home" QT_QPA_PLATFORM=offscreen timeout 10 /usr/bin/brieflotse --version 2>&1) || status=$?
echo "$version"
[ "$status" -eq 0 ] || fail "brieflotse --version ended with status $status"
package_version=$(dpkg-deb --field "$deb" Version)
grep -qx "Brieflotse $package_version" <<<"$version" || fail "brieflotse --version does not print $package_version"

echo "-- lintian"
lintian --fail-on error "$deb" || fail "lintian reports errors"

echo "-- appstreamcli validate"
appstreamcli validate --no-net "/usr/share/metainfo/$id.metainfo.xml" || fail "appstreamcli reports errors"

echo "-- desktop-file-validate"
desktop-file-validate "/usr/share/applications/$id.desktop" || fail "desktop-file-validate reports errors"
echo "install: all checks passed"
