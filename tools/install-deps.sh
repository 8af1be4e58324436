#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on Debian 12.
# Idempotent: it does nothing when every package is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format
  g++-mingw-w64-i686 mingw-w64-i686-dev
  wine wine32:i386
  xvfb xauth xdotool x11-utils imagemagick
  libsdl2-dev libsdl2-ttf-dev fontconfig fonts-dejavu-core
  libcurl4-openssl-dev libarchive-dev libarchive-tools curl
  nginx-light
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3
)

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
