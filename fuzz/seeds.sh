#!/bin/bash
# fuzz/seeds.sh TARGET DIR: fills DIR with seed inputs for fuzz target TARGET:
# the shared sample images of its formats, and whatever the test suite left in
# build/fuzz-seeds/TARGET (tests write small generated files there).
set -euo pipefail
target=$1
dir=$2
root=$(cd "$(dirname "$0")/.." && pwd)
corpus=$root/../shared/corpus
case "$target" in
    fuzz_jpeg) exts="jpg" ;;
    fuzz_png) exts="png" ;;
    fuzz_gif) exts="gif" ;;
    fuzz_eps) exts="eps" ;;
    fuzz_photocd) exts="pcd" ;;
    fuzz_tiff) exts="tif" ;;
    fuzz_psd) exts="psd" ;;
    fuzz_pict) exts="pct" ;;
    fuzz_macpaint) exts="mac" ;;
    fuzz_bmp) exts="bmp" ;;
    fuzz_ico) exts="ico" ;;
    fuzz_fax) exts="fax" ;;
    fuzz_cals) exts="cal" ;;
    fuzz_ioca) exts="ica" ;;
    fuzz_pcx) exts="pcx" ;;
    fuzz_tga) exts="tga" ;;
    fuzz_sunras) exts="ras" ;;
    fuzz_msp) exts="msp" ;;
    fuzz_gem) exts="generated/img" ;;
    fuzz_wpg) exts="wpg" ;;
    fuzz_flashpix) exts="fpx" ;;
    fuzz_wmf) exts="wmf" ;;
    *) exts="${target#fuzz_}" ;;
esac
for e in $exts; do
    if [ -d "$corpus/$e" ]; then
        find "$corpus/$e" -type f -size -2M -exec cp -t "$dir" {} + 2>/dev/null || true
    fi
done
if [ -d "$root/build/fuzz-seeds/$target" ]; then
    cp -r "$root/build/fuzz-seeds/$target/." "$dir/" 2>/dev/null || true
fi
