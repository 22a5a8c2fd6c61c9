#!/usr/bin/env bash
# Whole-process comparison: sifrovac encoding a full-size file in place against GNU sed -i with
# the same substitution, each run RUNS times on the same file. Prints both times and the ratio;
# exits 1 when sifrovac is not at least twice as fast.
# Usage: compare_sed.sh path/to/sifrovac [RUNS]
set -euo pipefail
sifrovac=$(realpath "$1")
runs=${2:-200}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

# 119,999 characters of mixed lines, the longest text sifrovac takes.
head -c 119999 < <(yes 'Ahoj, svete. Toto je radek textu cislo 42.') >text.txt
plain='abcdefghijklmnopqrstuvwxyz,.'
coded='f"#$j&'"'"'(n*+,-.t01234z6789:;='

# Both tools must agree byte for byte before they are timed.
cp text.txt a.txt && cp text.txt b.txt
printf '1 a.txt\n4\n' | "$sifrovac" >/dev/null
sed -i "y/$plain/$coded/" b.txt
cmp a.txt b.txt

now() { date +%s%N; }
start=$(now)
for ((i = 0; i < runs; i++)); do printf '1 a.txt\n4\n' | "$sifrovac" >/dev/null; done
sifrovac_ns=$(($(now) - start))
start=$(now)
for ((i = 0; i < runs; i++)); do sed -i "y/$plain/$coded/" b.txt; done
sed_ns=$(($(now) - start))

awk -v s="$sifrovac_ns" -v d="$sed_ns" -v n="$runs" 'BEGIN {
    printf "sifrovac %.2f ms, sed -i %.2f ms per run: sifrovac %.1fx as fast\n", s / n / 1e6, d / n / 1e6, d / s
    exit (d / s >= 2) ? 0 : 1 }'
