#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on Debian 12.
# Idempotent: it does nothing when every package is already there.
set -euo pipefail

# fonts-wine: the free Tahoma-compatible face both windows draw their text
# with (the Windows one under Wine, the Linux one directly). wine64 and the
# 64-bit mingw-w64 compiler: the Linux launcher's test beside a game client
# run through Wine, which works where 32-bit programs cannot run.
# libssl-dev: release signatures (libcrypto); libseccomp-dev and zlib1g-dev:
# the contained RAR reader's sandbox and checksums.
packages=(
  build-essential cmake ninja-build pkg-config clang-format
  g++-mingw-w64-i686 mingw-w64-i686-dev g++-mingw-w64-x86-64-posix
  wine wine32:i386 wine64
  xvfb xauth xdotool x11-utils imagemagick
  libsdl2-dev libsdl2-ttf-dev fontconfig fonts-dejavu-core fonts-wine
  libcurl4-openssl-dev libarchive-dev libarchive-tools curl
  libssl-dev libseccomp-dev zlib1g-dev
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
