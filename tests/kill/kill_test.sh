#!/bin/bash
# kill -9 at random moments of a batch of multi-page files: every input stays
# byte-identical, every output is either as it was or complete with all its
# pages, and a clean rerun leaves no hidden working file behind.
# Usage: kill_test.sh BIN_DIR [ROUNDS]
set -euo pipefail
batch=$1/rastel-batch
rounds=${2:-24}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
in=$work/in
mkdir "$in"
for i in 1 2 3 4; do
    convert -size 700x500 gradient:red-blue gradient:green-white gradient: gradient:navy-yellow "$in/m$i.gif"
done
# Earlier outputs that a killed batch must leave either as they were or complete.
convert -size 8x8 xc:red "$in/m1.tif"
convert -size 8x8 xc:blue "$in/m3.tif"
ini=$work/Rastel.ini
run() { "$batch" --settings "$ini" --format tif --subformat 0 "$in"/m*.gif 2>/dev/null; }

inputs=$(cd "$in" && sha256sum m*.gif)
start=$(date +%s%N)
run
took=$(( ($(date +%s%N) - start) / 1000000 ))
echo "one batch: ${took} ms; $rounds kills"
# The outputs of that first run become the earlier state again for the rounds.
convert -size 8x8 xc:red "$in/m1.tif"
rm -f "$in/m2.tif"

fail() { echo "FAIL round $1: $2"; exit 1; }
for round in $(seq 1 "$rounds"); do
    declare -A before=()
    for i in 1 2 3 4; do
        f=$in/m$i.tif
        before[$i]=$( [ -e "$f" ] && sha256sum <"$f" || echo absent )
    done
    run &
    pid=$!
    delay=$(awk -v seed="$RANDOM$round" -v t="$took" 'BEGIN { srand(seed); printf "%.3f", rand() * t / 1000 }')
    sleep "$delay"
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    [ "$(cd "$in" && sha256sum m*.gif)" = "$inputs" ] || fail "$round" "an input changed"
    for i in 1 2 3 4; do
        f=$in/m$i.tif
        now=$( [ -e "$f" ] && sha256sum <"$f" || echo absent )
        [ "$now" = "${before[$i]}" ] && continue
        pages=$(identify -format '%n\n' "$f" 2>/dev/null | head -n 1)
        [ "$pages" = 4 ] || fail "$round" "m$i.tif changed but holds ${pages:-no} pages (killed after ${delay}s)"
    done
    unset before
done

run || fail clean "the clean rerun failed"
left=$(find "$in" -name '.*' -type f)
[ -z "$left" ] || fail clean "hidden files left: $left"
for i in 1 2 3 4; do
    [ "$(identify -format '%n\n' "$in/m$i.tif" | head -n 1)" = 4 ] || fail clean "m$i.tif incomplete"
done
echo "kill test passed"
