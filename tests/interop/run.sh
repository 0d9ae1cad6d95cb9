#!/bin/bash
# make interop: Blender's compositor reads our ID mattes. tests/interop/mattes.mi is rendered
# twice, once as it is (the pass set-up's saver writes the file) and once without its
# `call "passes"` line (the camera's own EXR output writes it); from each file Blender's
# Cryptomatte node picks the opaque ball, the half-transparent ball in front of it and the
# opaque ball's material by name, and every matte it gives must equal the coverage the file
# holds for that name (decoded by the test decoder) within 1e-3 in every pixel, and not be empty.
#   tests/interop/run.sh BUILD_DIR      (needs ornrender, interop_matte_check and blender)
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "${1:-$root/build}")
bin=$build/bin/ornrender
check=$build/bin/interop_matte_check
fail() {
    echo "interop: FAILED: $*" >&2
    exit 1
}
[ -x "$bin" ] && [ -x "$check" ] || fail "build ornrender and interop_matte_check first ($build/bin)"
command -v blender >/dev/null || fail "blender is not installed"

work=$build/interop
rm -rf "$work"
mkdir -p "$work"
picks=(CryptoObject:ball_clay CryptoObject:ball_veil CryptoMaterial:clay_m)

cd "$root"
"$bin" -q -o "$work" tests/interop/mattes.mi
sed -e '/^call "passes"/d' -e "s|\"\.\./\.\./scenes/meshes/|\"$root/scenes/meshes/|" tests/interop/mattes.mi \
    >"$work/plain.mi"
"$bin" -q -o "$work" "$work/plain.mi"

status=0
for file in mattes.singleTK.0001.exr mattes_rgba.exr; do
    [ -f "$work/$file" ] || fail "the render wrote no $work/$file"
    out=$work/${file%.exr}
    echo "interop: Blender's Cryptomatte node reads $file"
    blender -b --factory-startup --python-exit-code 1 --python tests/interop/blender_mattes.py -- \
        "$work/$file" "$out" "${picks[@]}" >"$out.log" 2>&1 || fail "Blender failed, see $out.log"
    args=()
    for pick in "${picks[@]}"; do
        args+=("${pick%%:*}" "${pick#*:}" "$out/${pick%%:*}_${pick#*:}_0001.exr")
    done
    "$check" "$work/$file" "${args[@]}" || status=1
done
[ "$status" = 0 ] && echo "interop: passed" || echo "interop: FAILED (files in $work)"
exit "$status"
