#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on Debian 12.
# Idempotent and quick: one dpkg-query looks for every package first, and
# apt is not touched when all are there.
# Usage: tools/install-deps.sh           (as root: installs what is missing)
#        tools/install-deps.sh --check   (any user: exit 1 if something is missing)
set -euo pipefail

# fonts-wine: the free Tahoma-compatible face both windows draw their text
# with (the Windows one under Wine, the Linux one directly). wine64 and the
# 64-bit mingw-w64 compilers: the Linux launcher's test beside a game client
# run through Wine, and the windows64 tree, which stands in for the 32-bit
# one under wine64 where 32-bit programs cannot run.
# libssl-dev: release signatures (libcrypto); libseccomp-dev and zlib1g-dev:
# the contained RAR reader's sandbox and checksums; libxxhash-dev: the
# digest vlm-patch diff compares stored files by (its header alone).
packages=(
  build-essential cmake ninja-build pkg-config clang-format
  g++-mingw-w64-i686 mingw-w64-i686-dev
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine wine32:i386 wine64
  xvfb xauth xdotool x11-utils imagemagick
  libsdl2-dev libsdl2-ttf-dev fontconfig fonts-dejavu-core fonts-wine
  libcurl4-openssl-dev libarchive-dev libarchive-tools curl
  libssl-dev libseccomp-dev zlib1g-dev libxxhash-dev
  nginx-light
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3
)

# Packages that are not fully installed: dpkg-query names the installed ones
# ("ii"), a multi-arch package of the native architecture with its
# ":amd64" suffix; whatever it does not list as such is missing.
missing_packages() {
  local -A installed=()
  local native name state p
  native=$(dpkg --print-architecture)
  while read -r name state; do
    [ "$state" = ii ] && installed[${name%:"$native"}]=1
  done < <(dpkg-query -W -f='${binary:Package} ${db:Status-Abbrev}\n' "${packages[@]}" 2>/dev/null || true)
  for p in "${packages[@]}"; do
    [ -n "${installed[$p]:-}" ] || echo "$p"
  done
}

mapfile -t missing < <(missing_packages)
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "${1:-}" = --check ]; then
  echo "Missing packages: ${missing[*]}"
  exit 1
fi
echo "Installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
