#!/bin/sh
# with_full_disk.sh DIR SIZE BINARY [ARGS...]
#
# Runs a test binary with a small file system of its own, so that its
# writes there meet a real full disk ("No space left on device"): in a
# mount namespace of its own (as root "unshare -m", else "unshare -rm"), a
# tmpfs of SIZE is mounted at DIR and the binary is started from inside it
# (bound there, which takes no room), so a program that keeps its files
# beside itself, as the launcher does, keeps them on the small file system.
# VLM_FULL_DISK_DIR names DIR for the test. Where no namespace can be had,
# the binary runs without one and VLM_FULL_DISK_REFUSED says why: its tests
# then skip. Nothing outside the namespace sees the mounts; they end with it.
set -eu
dir=$1
size=$2
binary=$3
shift 3
mkdir -p "$dir"

inside='
  set -eu
  dir=$1 size=$2 binary=$3
  shift 3
  mount -t tmpfs -o "size=$size" tmpfs "$dir"
  name=$(basename "$binary")
  : > "$dir/$name"
  mount --bind "$binary" "$dir/$name"
  VLM_FULL_DISK_DIR=$dir exec "$dir/$name" "$@"
'
for how in -m -rm; do
  if unshare "$how" sh -c "mount -t tmpfs -o size=64k tmpfs '$dir'" 2>/dev/null; then
    exec unshare "$how" sh -c "$inside" sh "$dir" "$size" "$binary" "$@"
  fi
done
VLM_FULL_DISK_REFUSED="unshare or mount was refused here" exec "$binary" "$@"
