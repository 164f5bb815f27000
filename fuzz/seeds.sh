#!/bin/bash
# fuzz/seeds.sh TARGET DIR: fills DIR with seed inputs for fuzz target TARGET:
# the files of every folder fuzz/seed_folders.sh names for it.
set -euo pipefail
target=$1
dir=$2
"$(dirname "$0")/seed_folders.sh" "$target" | while IFS= read -r d; do
    find "$d" -type f -size -2M -exec cp -t "$dir" {} + 2>/dev/null || true
done
