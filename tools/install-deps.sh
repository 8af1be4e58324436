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

# Where the kernel (or a sandbox) refuses 32-bit programs, the 32-bit Wine
# runs through qemu-user in a namespace of the tests' own
# (tools/with-qemu-i386.sh). Bookworm's own qemu (7.2) is far too slow for
# Wine; the bookworm-backports one (10.0) boots a fresh prefix in about 25 s.
# It is installed without recommends, so no binfmt rule for the whole
# machine comes with it (qemu-user-binfmt would register one).
qemu_version_wanted=1:10
runs_32bit() { /usr/lib/wine/wine --version >/dev/null 2>&1; }
needs_qemu() {
  [ "$(dpkg --print-architecture)" = amd64 ] && [ -x /usr/lib/wine/wine ] && ! runs_32bit || return 1
  local version
  version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
  [ -z "$version" ] || ! dpkg --compare-versions "$version" ge "$qemu_version_wanted"
}

# A source for bookworm-backports on the Debian archive this machine already
# uses for bookworm (its address is read from the machine's own sources).
add_backports_source() {
  if grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then return 0; fi
  local uri="" file files=()
  # Only the files that are there: a machine may have the one-line list
  # alone, or the deb822 files alone.
  for file in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list; do
    [ -f "$file" ] && files+=("$file")
  done
  [ ${#files[@]} -gt 0 ] && uri=$(awk '
    /^URIs:/ { uris = $2 }
    /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == "bookworm") { print uris; exit } }
    /^deb / { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { u = $i; if ($(i + 1) == "bookworm") { print u; exit } } }
  ' "${files[@]}" | head -n 1)
  if [ -z "$uri" ]; then
    echo "No Debian source for bookworm found: cannot add bookworm-backports for qemu-user" >&2
    return 1
  fi
  printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$uri" >/etc/apt/sources.list.d/vlm-bookworm-backports.sources
}

install_qemu() {
  echo "32-bit programs cannot run here: installing qemu-user from bookworm-backports"
  add_backports_source
  apt-get update -q
  apt-get install -y -q --no-install-recommends -t bookworm-backports qemu-user
}

mapfile -t missing < <(missing_packages)
if [ ${#missing[@]} -eq 0 ]; then
  if ! needs_qemu; then exit 0; fi
  if [ "${1:-}" = --check ]; then
    echo "Missing: qemu-user (bookworm-backports), for the 32-bit Wine"
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  install_qemu
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
if needs_qemu; then install_qemu; fi
