#!/usr/bin/env bash
# A power cut the moment a run ends: the run works in a small ext4 image, loop-mounted with a
# 60-second commit interval, and the image is copied byte for byte as soon as the run has ended.
# The copy, checked and mounted read-only, must show what the run said: the file replaced after a
# success line, or the file as it was and the text in the work file after silence.
# Usage: power_cut.sh path/to/sifrovac (as root; exits 77, skipped, where it cannot mount).
set -euo pipefail
sifrovac=$(realpath "$1")
[ "$(id -u)" = 0 ] && [ -e /dev/loop-control ] && command -v mkfs.ext4 >/dev/null || exit 77
work=$(mktemp -d)
mounted=()
cleanup() {
    for m in "${mounted[@]}"; do umount "$m" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
truncate -s 32M "$work/disk.img"
mkfs.ext4 -q -F "$work/disk.img"
mkdir "$work/live" "$work/after"
mount -o loop,commit=60 "$work/disk.img" "$work/live" || exit 77
mounted+=("$work/live")

plain='ahoj, svete.'
encoded='f(t*; 36j4j='
failures=0
# Each case: a name, how the file is guarded, the success line expected, then the expected texts
# of the file and of the work file after the cut.
while IFS='|' read -r name guard success file_after work_after; do
    rm -rf "${work:?}/live/$name" && mkdir "$work/live/$name" && cd "$work/live/$name"
    printf '%s\n' "$plain" >a.txt
    $guard
    sync
    out=$(printf '1 a.txt\n4\n' | "$sifrovac")
    cp --sparse=always "$work/disk.img" "$work/copy-$name.img"
    chattr -i a.txt 2>/dev/null || true
    cd /
    e2fsck -fy "$work/copy-$name.img" >/dev/null 2>&1 || [ $? -le 1 ]
    mount -o loop,ro "$work/copy-$name.img" "$work/after"
    file=$(cat "$work/after/$name/a.txt" 2>/dev/null || echo '<missing>')
    left=$(cat "$work/after/$name/codedText.txt" 2>/dev/null || echo '<missing>')
    umount "$work/after"
    said=$(grep -c "Soubor zakodovan" <<<"$out" || true)
    if [ "$said" != "$success" ] || [ "$file" != "$file_after" ] || [ "$left" != "$work_after" ]; then
        echo "FAIL $name: success line $said, a.txt '$file', codedText.txt '$left'"
        failures=$((failures + 1))
    else
        echo "ok   $name: success line $said, a.txt '$file', codedText.txt '$left'"
    fi
done <<CASES
replaced|true|1|$encoded|<missing>
immutable|chattr +i a.txt|0|$plain|$encoded
CASES
exit $((failures > 0))
