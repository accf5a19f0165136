#!/usr/bin/env bash
# Installs every Debian package the project needs to build and test.
# Idempotent: apt-get only runs when something is missing.
# apache2-bin and tinyproxy-bin are the programs without their system services
# (apache2, tinyproxy), which start wherever an init system runs and take
# ports 80 and 8888. opentracker (the tracker of the peer tests and of
# tools/demo-peers.sh) has no such split: under systemd its service starts
# on port 6969, serving an empty whitelist; the tests run their own copy.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev
  libssl-dev zlib1g-dev libcurl4-openssl-dev
  libarchive-dev liblzma-dev libminizip-dev 7zip
  nginx-light openssl
  apache2-bin tinyproxy-bin socat
  libwxgtk3.2-dev
  xvfb xauth xdotool imagemagick fonts-noto-cjk
  python3 librsvg2-bin
  libtorrent-rasterbar-dev python3-libtorrent opentracker
  dpkg-dev desktop-file-utils man-db lintian
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
