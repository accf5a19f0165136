#!/usr/bin/env bash
# Builds the Debian package into a temporary folder, installs it, checks
# what it put where (programs, engine, menu entry, icons, manual pages,
# --version), removes it and checks that nothing of it is left.
#
#   tools/package-test.sh [BUILD_DIR]
#
# BUILD_DIR (default build/) is built first when it is not yet; the
# package is made from it with cpack. Needs root (dpkg -i), or sudo.
# Refuses to run while a zk4-downloader package is installed already, so
# it never removes one it did not install.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
package=zk4-downloader
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

fail() {
  echo "package-test: $*" >&2
  exit 1
}

if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
  fail "$package is installed already; remove it first"
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja
fi
cmake --build "$build" -j2

work=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" -eq 1 ]; then $SUDO dpkg -r "$package" >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log") || {
  cat "$work/cpack.log" >&2
  fail "cpack failed"
}
deb=$(ls "$work"/*.deb)
echo "== $(basename "$deb")"
dpkg-deb --field "$deb" Package Version Architecture Depends Section

echo "== lintian"
# Debian's own checks of the package: no error and no warning passes.
lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2>&1 |
  grep -v "running with root privileges" || true
lintian --fail-on error,warning "$deb" >/dev/null 2>&1 || fail "lintian found errors or warnings"
version=$(dpkg-deb --field "$deb" Version)
# The files the package holds, for the checks after removal.
dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"

echo "== dpkg -i"
$SUDO dpkg -i "$deb"
installed=1

expect_file() {
  [ -e "$1" ] || fail "missing after install: $1"
}
expect_executable() {
  [ -x "$1" ] || fail "not an executable after install: $1"
}
expect_executable /usr/bin/tlxdownloader
expect_executable /usr/bin/tlxdownloader-cli
expect_executable /usr/bin/report-server
expect_executable /usr/lib/zk4-downloader/TLXDownloadV32.exe
[ ! -e /usr/bin/TLXDownloadV32.exe ] || fail "the engine must not be on PATH"
expect_file /usr/share/applications/tlxdownloader.desktop
for size in 16 22 24 32 48 64 128 256; do
  png=/usr/share/icons/hicolor/${size}x${size}/apps/tlxdownloader.png
  expect_file "$png"
  [ "$(identify -format '%m %wx%h' "$png")" = "PNG ${size}x${size}" ] || fail "$png is not $size x $size"
done
expect_file /usr/share/icons/hicolor/scalable/apps/tlxdownloader.svg
# Slim images tell dpkg to leave manual pages out; they are checked in the
# package then.
man_excluded=0
if grep -qs "^path-exclude=/usr/share/man" /etc/dpkg/dpkg.cfg.d/*; then man_excluded=1; fi
for page in tlxdownloader tlxdownloader-cli report-server; do
  grep -qx "/usr/share/man/man1/$page.1.gz" "$work/contents" || fail "no man page $page"
  [ "$man_excluded" -eq 0 ] || continue
  expect_file /usr/share/man/man1/$page.1.gz
  man -w "$page" >/dev/null 2>&1 || fail "man cannot find $page"
  # A page that renders with warnings has a mistake in it.
  warnings=$(zcat /usr/share/man/man1/$page.1.gz | groff -man -Tutf8 -ww -z 2>&1 || true)
  [ -z "$warnings" ] || fail "man page $page: $warnings"
done

echo "== the menu entry"
desktop-file-validate /usr/share/applications/tlxdownloader.desktop
grep -q "^Exec=tlxdownloader" /usr/share/applications/tlxdownloader.desktop || fail "Exec"
grep -q "^Icon=tlxdownloader$" /usr/share/applications/tlxdownloader.desktop || fail "Icon"
grep -q "^Name\[zh_TW\]=" /usr/share/applications/tlxdownloader.desktop || fail "Name[zh_TW]"
expect_file /usr/share/doc/zk4-downloader/copyright
expect_file /usr/share/doc/zk4-downloader/changelog.gz

echo "== versions"
shown=$(/usr/bin/tlxdownloader-cli --version)
echo "$shown"
[ "$shown" = "tlxdownloader-cli $version" ] || fail "--version says '$shown', the package is $version"
/usr/bin/tlxdownloader-cli --help | grep -q -- "--check-only" || fail "--help"
/usr/lib/zk4-downloader/TLXDownloadV32.exe --version
# Every library the programs need is there (the package's dependencies).
for program in /usr/bin/tlxdownloader /usr/bin/tlxdownloader-cli /usr/bin/report-server \
               /usr/lib/zk4-downloader/TLXDownloadV32.exe; do
  ! ldd "$program" | grep -q "not found" || fail "$program misses a library"
done

echo "== dpkg -r"
$SUDO dpkg -r "$package"
installed=0
left=0
while read -r path; do
  [ -n "$path" ] || continue
  case "$path" in */) continue ;; esac
  if [ -e "$path" ]; then
    echo "left behind: $path" >&2
    left=1
  fi
done <"$work/contents"
[ ! -d /usr/lib/zk4-downloader ] || { echo "left behind: /usr/lib/zk4-downloader" >&2; left=1; }
[ "$left" -eq 0 ] || fail "the package left files behind"
! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
  fail "$package is still installed"
echo "package-test: installed, checked and removed cleanly"
