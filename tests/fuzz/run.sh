#!/bin/sh
# Runs every fuzz target of a build tree for SECONDS each:  tests/fuzz/run.sh build/fuzz 60
# New inputs go to BUILD_DIR/scratch and crashes to BUILD_DIR; the committed seeds are only read.
set -eu
dir=$(cd "${1:?usage: run.sh BUILD_DIR SECONDS}" && pwd)
seconds=${2:?usage: run.sh BUILD_DIR SECONDS}
corpus=$(cd "$(dirname "$0")" && pwd)/corpus
for fuzzer in "$dir"/fuzz_*; do
    [ -f "$fuzzer" ] && [ -x "$fuzzer" ] || continue
    name=$(basename "$fuzzer")
    mkdir -p "$dir/scratch/$name"
    "$fuzzer" -max_total_time="$seconds" -artifact_prefix="$dir/$name-" \
        "$dir/scratch/$name" "$corpus/$name"
done
