#!/bin/sh
# fuzz/seed_folders.sh TARGET [BUILD_DIR]: prints, one a line, the folders that
# hold inputs for fuzz target TARGET and exist: its regression inputs in
# tests/regression/<format>, the shared sample images of its formats, and the
# small files the test suite left in BUILD_DIR/fuzz-seeds/TARGET (default build/).
set -eu
target=$1
root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$root/build}
corpus=$root/../shared/corpus
format=${target#fuzz_}
case "$target" in
    fuzz_jpeg) exts="jpg" ;;
    fuzz_tiff) exts="tif" ;;
    fuzz_photocd) exts="pcd" ;;
    fuzz_pict) exts="pct" ;;
    fuzz_macpaint) exts="mac" ;;
    fuzz_ioca) exts="ica" ;;
    fuzz_cals) exts="cal" ;;
    fuzz_sunras) exts="ras" ;;
    fuzz_gem) exts="generated/img" ;;
    fuzz_flashpix) exts="fpx" ;;
    *) exts=$format ;;
esac
for d in "$root/tests/regression/$format" "$corpus/$exts" "$build/fuzz-seeds/$target"; do
    if [ -d "$d" ]; then echo "$d"; fi
done
