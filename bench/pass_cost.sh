#!/bin/sh
# What the toolkit passes cost: scenes/demo.mi at 320 x 240 (16 samples per pixel, every tk pass,
# 80 channels) on one thread, rendered without the pass set-up (the camera writes the colour),
# with it, and with it but without light groups, in turn, N times (default 7) under the given
# filter (default "gauss 2 2"; try "box 1 1"). Prints each run's user CPU seconds and the median
# and range of the ratios paired with the run without passes. Run from the repository root after
# `make build`; the scratch scenes go beside the demo (it names its meshes relative to itself).
set -e
N=${1:-7}
FILTER=${2:-gauss 2 2}
BIN=${BIN:-build/bin/ornrender}
OUT=$(mktemp -d)
trap 'rm -rf "$OUT" scenes/.pass_cost_*.mi' EXIT
sed -e 's/resolution 640 480/resolution 320 240/' -e "s/filter gauss 2 2/filter $FILTER/" \
    -e '/cryptomatte \[/d' scenes/demo.mi > scenes/.pass_cost_on.mi
sed -e 's/    shadow on/    shadow on\n    lightgroups off/' scenes/.pass_cost_on.mi > scenes/.pass_cost_ng.mi
sed -e '/^call "passes"/d' -e 's/^camera "cam"/camera "cam"\n    output "rgba" "exr" "nopasses.exr"/' \
    scenes/.pass_cost_on.mi > scenes/.pass_cost_off.mi
for i in $(seq 1 "$N"); do
    for v in off on ng; do
        /usr/bin/time -f "$v %U" "$BIN" -q -t 1 -o "$OUT/$v" scenes/.pass_cost_$v.mi 2>&1 >/dev/null |
            grep -E "^(off|on|ng) "
    done
done | tee "$OUT/times" >&2
python3 - "$OUT/times" <<'PY'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    k, v = line.split()
    runs.setdefault(k, []).append(float(v))
for k, name in (("on", "passes"), ("ng", "passes, no light groups")):
    r = [a / b for a, b in zip(runs[k], runs["off"])]
    print(f"{name}: {statistics.median(r):.3f} ({min(r):.3f}-{max(r):.3f}) over {len(r)} pairs")
PY
