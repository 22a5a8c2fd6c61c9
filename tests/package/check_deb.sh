#!/usr/bin/env bash
# Installs the package for real (as root), checks that the program runs and that man finds the
# English page and, in the Czech locale, the Czech one, then purges it and checks nothing is left.
# Usage: check_deb.sh path/to/sifrovac_VERSION_ARCH.deb
set -euo pipefail
deb=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 2)}')

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
printf 'ahoj, svete.\n' >"$work/a.txt"
(cd "$work" && printf '1 a.txt\n4\n' | sifrovac | grep '^Soubor zakodovan$' >/dev/null)
[ "$(cat "$work/a.txt")" = 'f(t*; 36j4j=' ]
# A page man-db formatted for an earlier build of this version carries the same time as this one
# (the changelog's), so it would be shown in its place.
rm -f /var/cache/man/cat1/sifrovac.1.gz /var/cache/man/cs/cat1/sifrovac.1.gz
# As a reader sees them, lines joined: where a reader could misread a limit or what happens to a
# file of hers under the work file's name.
page() { LANG=$1 MANWIDTH=200 man sifrovac 2>/dev/null | tr -s ' \n' '  '; }
english=$(page C.UTF-8) czech=$(page cs_CZ.UTF-8)
for want in 'encode and decode text files' 'at most 119 999 bytes' 'at most 99 bytes' \
    'Anything else is the user'"'"'s, whatever its mode, under whatever spelling'; do
    grep -q -F "$want" <<<"$english" || { echo "the English page lacks: $want" && exit 1; }
done
for want in 'zakóduje a dekóduje textové soubory' 'nejvýše 119 999 bajtů' 'nejvýše 99 bajtů' \
    'Jakýkoli jiný soubor tohoto jména považuje za soubor uživatele'; do
    grep -q -F "$want" <<<"$czech" || { echo "the Czech page lacks: $want" && exit 1; }
done
# At 80 columns, as a reader's terminal shows them: no word broken at a line's end, and no Czech
# line ending in a one-letter word (the table's rows, one-letter cells all, aside).
at80() { LANG=$1 MANWIDTH=80 man sifrovac 2>/dev/null; }
for lang in C.UTF-8 cs_CZ.UTF-8; do
    if at80 $lang | grep -- '[‐-]$'; then echo "a word broken at a line's end ($lang)" && exit 1; fi
done
if at80 cs_CZ.UTF-8 | grep -E '[^ ]{2}' | grep -E '(^| )[AIKOSUVZaikosuvz]$'; then
    echo "a Czech line ends in a one-letter word" && exit 1
fi
echo "installed: the program runs; man shows the English page, and the Czech one in Czech, as written"

dpkg --purge sifrovac >/dev/null
for f in $files; do
    if [ -e "$f" ]; then echo "left behind: $f" && exit 1; fi
done
if dpkg -s sifrovac >/dev/null 2>&1; then echo "still known to dpkg" && exit 1; fi
echo "purged: nothing left"
