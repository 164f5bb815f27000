#!/bin/sh
# fuzz/replay.sh PROGRAM TARGET BUILD_DIR: feeds every input fuzz/seed_folders.sh
# names for fuzz target TARGET to it once, through the replay program of the
# normal build (fuzz/replay_main.cpp).
set -eu
program=$1
target=$2
build=$3
folders=$("$(dirname "$0")/seed_folders.sh" "$target" "$build")
IFS='
'
# shellcheck disable=SC2086  # one folder a line
exec "$program" "$target" $folders
