#!/usr/bin/env bash
# Whole-process comparison: sifrovac encoding a full-size file in place against GNU sed -i with
# the same substitution, and against the floor of a durable rewrite (sifrovac_floor beside the
# program's build: read, write, fsync, rename, fsync the directory), each run RUNS times on the same
# file. Prints the times and ratios; exits 1 when sifrovac takes more than 1.4 times the floor's
# time, or is not faster than sed. (sed -i makes nothing durable: where a disk's fsync is slow,
# even the floor is barely twice as fast as sed, so the floor is the measure of the program.)
# Usage: compare_sed.sh path/to/sifrovac [RUNS]
set -euo pipefail
sifrovac=$(realpath "$1")
floor=$(dirname "$sifrovac")/tests/sifrovac_floor
runs=${2:-200}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

# 119,999 characters of mixed lines, the longest text sifrovac takes.
head -c 119999 < <(yes 'Ahoj, svete. Toto je radek textu cislo 42.') >text.txt
plain='abcdefghijklmnopqrstuvwxyz,.'
coded='f"#$j&'"'"'(n*+,-.t01234z6789:;='

# Both tools must agree byte for byte before they are timed.
cp text.txt a.txt && cp text.txt b.txt && cp text.txt c.txt
printf '1 a.txt\n4\n' | "$sifrovac" >/dev/null
sed -i "y/$plain/$coded/" b.txt
"$floor" c.txt
cmp a.txt b.txt
cmp a.txt c.txt

# The three take turns, so that whatever else the machine does weighs on each alike; bash's own
# clock costs no process.
printf '1 a.txt\n4\n' >input
sifrovac_us=0 sed_us=0 floor_us=0
for ((i = 0; i < runs; i++)); do
    t0=${EPOCHREALTIME/./}
    "$sifrovac" <input >/dev/null
    t1=${EPOCHREALTIME/./}
    sed -i "y/$plain/$coded/" b.txt
    t2=${EPOCHREALTIME/./}
    "$floor" c.txt
    t3=${EPOCHREALTIME/./}
    sifrovac_us=$((sifrovac_us + t1 - t0)) sed_us=$((sed_us + t2 - t1)) floor_us=$((floor_us + t3 - t2))
done

awk -v s="$sifrovac_us" -v d="$sed_us" -v f="$floor_us" -v n="$runs" 'BEGIN {
    printf "sifrovac %.2f ms, sed -i %.2f ms, floor %.2f ms per run: sifrovac %.1fx as fast as sed, %.2fx the floor\n", s / n / 1e3, d / n / 1e3, f / n / 1e3, d / s, s / f
    exit (d / s > 1 && s / f <= 1.4) ? 0 : 1 }'
