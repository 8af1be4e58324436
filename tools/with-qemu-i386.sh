#!/usr/bin/env bash
# Runs a command where 32-bit x86 programs run through qemu-user, on a
# kernel that cannot run them itself, without changing anything for the rest
# of the machine: the command gets a user and mount namespace of its own, in
# which a binfmt_misc of its own (Linux 6.7 and later) hands i386 ELF
# programs to qemu-i386 (the rule of qemu-user's own binfmt.d file, flag F:
# the interpreter is opened once, when the rule is registered). Nothing is
# registered outside, so nothing has to be undone; the namespace ends with
# the command.
#
# The namespace maps every uid and gid to itself (written from outside, as
# root), so that inside it root is root and nginx can still change to its
# worker user.
#
# Usage: tools/with-qemu-i386.sh COMMAND [ARGUMENT...]   (as root)
#        tools/with-qemu-i386.sh --check   exit 0 when it works here
set -euo pipefail

rule=/usr/share/qemu/binfmt.d/qemu-i386.conf
if [ ! -r "$rule" ]; then
  echo "with-qemu-i386: $rule is missing (tools/install-deps.sh installs qemu-user)" >&2
  exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "with-qemu-i386: must run as root (it maps every uid into the namespace)" >&2
  exit 1
fi
if [ "${1:-}" = --check ]; then
  set -- /usr/lib/wine/wine --version
  exec >/dev/null 2>&1
fi
[ $# -gt 0 ] || { echo "usage: tools/with-qemu-i386.sh COMMAND [ARGUMENT...]" >&2; exit 2; }

sync=$(mktemp -d)
trap 'rm -rf "$sync"' EXIT
mkfifo "$sync/go"
# The child waits until its maps are written, then mounts its binfmt_misc,
# registers the rule and becomes the command.
unshare --user --mount --propagation private -- bash -c '
  read -r _ <"$1/go"
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  cat "$2" >/proc/sys/fs/binfmt_misc/register
  shift 2
  exec "$@"' with-qemu-i386 "$sync" "$rule" "$@" &
child=$!
own=$(readlink /proc/self/ns/user)
for _ in $(seq 1000); do
  [ "$(readlink "/proc/$child/ns/user" 2>/dev/null || echo "$own")" = "$own" ] || break
  kill -0 "$child" 2>/dev/null || break
  sleep 0.01
done
status=0
if echo "0 0 4294967295" >"/proc/$child/uid_map" && echo "0 0 4294967295" >"/proc/$child/gid_map"; then
  echo go >"$sync/go"
else
  echo "with-qemu-i386: the namespace could not be made (unshare refused, or no maps)" >&2
  kill "$child" 2>/dev/null || true
fi
wait "$child" || status=$?
exit $status
