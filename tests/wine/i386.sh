#!/bin/sh
# Runs a command with a binfmt_misc of its own (a user and mount namespace, Linux 6.7 and later),
# so that how 32-bit x86 code runs is decided for that command alone and nothing else on the
# machine is touched:
#   i386.sh qemu CMD...   32-bit x86 code runs under Debian's qemu-i386-static; exits 77 (a skip)
#                         where that, or a namespace of its own, cannot be had
#   i386.sh none CMD...   no registration: where the kernel refuses 32-bit code, none runs, even
#                         where the machine registered qemu for it; elsewhere CMD runs as it is
# Used where the kernel refuses 32-bit code: Wine's prefix for the 64-bit program is made without
# starting Wine's 32-bit half under emulation, and the 32-bit program's own test runs apart, in a
# prefix of its own, as slow as emulation makes it.
set -eu
mode=$1
shift
qemu=/usr/bin/qemu-i386-static
if [ "$mode" = qemu ] && [ ! -x "$qemu" ]; then
    echo "no $qemu (Debian's qemu-user-static) to run 32-bit code here" >&2
    exit 77
fi
if ! unshare --user --map-root-user --mount true 2>/dev/null; then
    [ "$mode" = none ] && exec "$@"
    echo "no user namespace here (in a chroot, say) for a binfmt_misc of its own" >&2
    exit 77
fi
# The entry: an i386 ELF executable or shared object, whatever its OS ABI byte, its interpreter
# opened now (F); the kernel reads the \x escapes itself.
entry=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:'
entry="$entry"'\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'
entry="$entry$qemu:F"
exec unshare --user --map-root-user --mount sh -c '
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || exit 77
    if [ "$0" = qemu ]; then printf %s "$1" >/proc/sys/fs/binfmt_misc/register || exit 77; fi
    shift
    exec "$@"' "$mode" "$entry" "$@"
