#!/bin/sh
# Runs each fuzz target for the given number of seconds, seeded from the example scenes, the
# test scenes, the examples of docs/scene-format.md and the meshes. Stops at the first finding.
#   scripts/run-fuzzers.sh BUILD_DIR SECONDS
set -e
build="$1"
seconds="${2:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$build/fuzz-work"
mkdir -p "$work/seeds-scene" "$work/seeds-obj" "$work/corpus-parse" "$work/corpus-load" "$work/corpus-obj"
cp "$root"/scenes/*.mi "$root"/tests/scenes/* "$work/seeds-scene/" 2>/dev/null || true
# every fenced example of the scene-language documentation becomes a seed of its own
awk -v dir="$work/seeds-scene" '/^```/ { if (open) { close(f); open = 0 } else { n++; f = dir "/doc" n ".mi"; open = 1 } next }
     open { print > f }' "$root/docs/scene-format.md"
cp "$root"/scenes/meshes/*.obj "$work/seeds-obj/" 2>/dev/null || true
printf 'v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvn 0 0 1\nf 1/1/1 2/1/1 3/1/1\n' > "$work/seeds-obj/triangle.obj"
run() {
    target="$1"; corpus="$2"; seeds="$3"; shift 3
    echo "fuzzing $target for $seconds s"
    (cd "$work" && "$build/bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "$@" "$corpus" "$seeds")
}
run fuzz_parse corpus-parse seeds-scene -dict="$root/fuzz/scene.dict"
run fuzz_load corpus-load seeds-scene -dict="$root/fuzz/scene.dict"
run fuzz_obj corpus-obj seeds-obj -max_len=65536
