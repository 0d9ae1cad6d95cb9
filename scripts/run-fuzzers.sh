#!/bin/sh
# Runs each fuzz target for the given number of seconds, seeded from the example scenes, the
# test scenes, the examples of docs/scene-format.md, the meshes, small images of each texture
# format and the parts of a small split frame. Stops at the first finding.
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
# Texture seeds: the first byte picks the format (fuzz_texture.cpp's list), the rest is a small
# image of it where oiiotool is at hand, and the example sky.
mkdir -p "$work/seeds-texture" "$work/corpus-texture" "$work/seeds-merge" "$work/corpus-merge" "$work/merge-scene"
i=0
for ext in exr png tif dpx hdr jpg tga bmp iff sgi pnm psd; do
    if command -v oiiotool >/dev/null 2>&1 &&
        oiiotool --pattern checker:width=4:height=4 16x16 3 -d uint8 -o "$work/seed.$ext" >/dev/null 2>&1; then
        { printf "\\$(printf %03o $i)"; cat "$work/seed.$ext"; } > "$work/seeds-texture/$ext"
    fi
    i=$((i + 1))
done
{ printf '\004'; cat "$root/scenes/images/sky.hdr"; } > "$work/seeds-texture/sky"
# Merge seeds: the parts of a small scene split in one and in two, rendered here.
cat > "$work/merge-scene/shot.mi" <<'SCENE'
link "shaders_orn.so"
$include "shaders_orn.mi"
camera "cam" output "rgba" "png" "shot.png" focal 2 aperture 1 aspect 1 resolution 16 64 end camera
instance "cam_i" "cam" transform 1 0 0 0  0 1 0 0  0 0 1 0  0 0 -6 1 end instance
material "grey" "orn_MegaTK" () end material
object "ball" visible shadow trace file "ball.obj" end object
instance "ball_i" "ball" material "grey" end instance
light "sun" "orn_DirectTK" () direction -0.4 -1 -0.6 end light
instance "sun_i" "sun" end instance
instgroup "root" "cam_i" "ball_i" "sun_i" end instgroup
options "opt" samples 1 end options
render "root" "cam_i" "opt"
SCENE
cp "$work/seeds-obj/triangle.obj" "$work/merge-scene/ball.obj"
for t in 0/1 0/2 1/2; do
    "$build/bin/ornrender" -q -t 1 --tile "$t" -o "$work/seeds-merge" "$work/merge-scene/shot.mi"
done
run() {
    target="$1"; corpus="$2"; seeds="$3"; shift 3
    echo "fuzzing $target for $seconds s"
    (cd "$work" && ASAN_OPTIONS="${asan_options:-}" LSAN_OPTIONS="suppressions=$root/tests/lsan-fuzz.supp" \
        "$build/bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "$@" "$corpus" "$seeds")
}
run fuzz_parse corpus-parse seeds-scene -dict="$root/fuzz/scene.dict"
run fuzz_load corpus-load seeds-scene -dict="$root/fuzz/scene.dict"
run fuzz_obj corpus-obj seeds-obj -max_len=65536
# The image readers' leak is matched by name, which needs whole stacks at allocation (slower).
asan_options=fast_unwind_on_malloc=0
run fuzz_texture corpus-texture seeds-texture -max_len=262144
asan_options=
run fuzz_merge corpus-merge seeds-merge -max_len=262144
