#!/bin/sh
# The 32-bit program's own test where the kernel runs no 32-bit code: in a Wine prefix of its own,
# made by the 64-bit loader where no 32-bit code runs (i386.sh none) and given Wine's own 32-bit
# DLLs as the prefix's 32-bit half would install them (their registrations are left out: a
# console program needs none), then run under qemu, registered for this test alone (i386.sh qemu).
# Usage: emulated32.sh PREFIX WINE64-LOADER I386-DLL-DIR TEST-PROGRAM GTEST-FILTER
set -u
prefix=$1 loader=$2 dlls=$3 tests=$4 filter=$5
here=$(dirname "$0")
rm -rf "$prefix"
export LC_ALL=C.UTF-8 WINEPREFIX="$prefix" WINELOADER="$loader" WINEDEBUG=-all \
    WINEDLLOVERRIDES=mscoree,mshtml=
if ! "$here/i386.sh" none sh -c '"$0" wineboot -i && wineserver -w' "$loader" >/dev/null 2>&1 ||
    ! cp "$dlls"/*.dll "$dlls"/*.exe "$prefix/drive_c/windows/syswow64/"; then
    echo "the prefix could not be made" >&2
    rm -rf "$prefix"
    exit 1
fi
# A run takes about a minute under emulation.
SIFROVAC_RUN_SECONDS=300 "$here/i386.sh" qemu "$tests" --gtest_filter="$filter"
status=$?
wineserver -k 2>/dev/null
rm -rf "$prefix"
exit $status
