#!/bin/bash
# make farm-test: a private single-node Slurm cluster (scripts/slurm/cluster.sh) renders a
# 4-frame sequence, and one frame split into 4 parts with its merge, through
# scripts/slurm/submit.sh; every output must equal a one-piece local render bit for bit. A scene
# with an error must fail its tasks (and cancel the merge). The task script alone must stop on
# SIGTERM with status 143 and write no part. The cluster is stopped however the test ends.
#   tests/slurm/run.sh BUILD_DIR
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "${1:-$root/build}")
bin=$build/bin/ornrender
[ -x "$bin" ] || { echo "farm-test: build ornrender first ($bin)" >&2; exit 1; }
"$root/scripts/setup-deps.sh" slurm-wlm munge

work=$build/farm-test
cluster=$work/cluster
"$root/scripts/slurm/cluster.sh" stop "$cluster" 2>/dev/null || true
rm -rf "$work"
mkdir -p "$work"
jobs=()
cleanup() {
    local status=$?
    if [ -n "${SLURM_CONF:-}" ]; then
        for j in "${jobs[@]}"; do scancel "$j" 2>/dev/null || true; done
    fi
    "$root/scripts/slurm/cluster.sh" stop "$cluster" || true
    [ "$status" = 0 ] && echo "farm-test: passed" || echo "farm-test: FAILED (logs in $work)"
    exit "$status"
}
trap cleanup EXIT
fail() {
    echo "farm-test: $*" >&2
    exit 1
}

# The demo, small: its pass set-up writes out/demo.singleTK.NNNN.exr from the camera's frame.
sed -e 's/resolution 640 480/resolution 24 140/' -e 's/samples 0 2/samples 0 1/' \
    -e "s|\"meshes/|\"$root/scenes/meshes/|" "$root/scenes/demo.mi" >"$work/scene.mi"
printf 'this is not a scene\n' >"$work/broken.mi"
"$bin" -q --frames 1-4 -o "$work/ref" "$work/scene.mi"

SLURM_CONF=$("$root/scripts/slurm/cluster.sh" start "$cluster" 2)
export SLURM_CONF
submit() {
    local out
    out=$("$root/scripts/slurm/submit.sh" --cpus 1 --ornrender "$bin" "$@" -- -q)
    echo "$out" >&2
    while read -r _ id; do jobs+=("$id"); done <<<"$out"
}
submit --frames 1-4 --out "$work/seq" "$work/scene.mi"
submit --frames 1-1 --tiles 4 --out "$work/tiled" "$work/scene.mi"
submit --frames 1-2 --tiles 2 --out "$work/broken" "$work/broken.mi"

# Finished jobs stay known to the controller (MinJobAge) with their state and exit code.
for _ in $(seq 600); do
    [ -z "$(squeue -h -o %i 2>/dev/null)" ] && break
    sleep 0.5
done
[ -z "$(squeue -h -o %i)" ] || fail "jobs still queued after 5 minutes: $(squeue)"
states() { scontrol -o show job "$1" | grep -o 'JobState=[A-Z_]* .*ExitCode=[0-9:]*' | awk '{print $1, $NF}'; }
for j in "${jobs[@]:0:3}"; do
    bad=$(states "$j" | grep -v 'JobState=COMPLETED ExitCode=0:0' || true)
    [ -z "$bad" ] || fail "job $j: $bad"
done
[ "$(states "${jobs[0]}" | wc -l)" = 4 ] || fail "the sequence did not run 4 tasks"
[ "$(states "${jobs[1]}" | wc -l)" = 4 ] || fail "the split frame did not run 4 part tasks"
states "${jobs[3]}" | grep -q 'JobState=FAILED ExitCode=1:0' || fail "the broken scene's tasks: $(states "${jobs[3]}")"
if states "${jobs[4]}" | grep -q 'COMPLETED'; then fail "the broken scene's merge ran"; fi
ls "$work/tiled/parts/0001" >/dev/null

for f in 1 2 3 4; do
    name=out/demo.singleTK.000$f.exr
    cmp "$work/ref/$name" "$work/seq/$name" || fail "sequence frame $f differs"
    if [ $f = 1 ]; then cmp "$work/ref/$name" "$work/tiled/$name" || fail "the merged frame differs"; fi
done
[ ! -e "$work/tiled/out/demo.singleTK.0002.exr" ] || fail "frame 2 of the split job exists"
compgen -G "$work/seq/logs/orn-scene-*_3.log" >/dev/null || fail "no log per task"

# The task script on its own, as a node runs it: SIGTERM stops the part, the status is 143
# and no part file appears.
sed -e 's/resolution 640 480/resolution 320 240/' -e "s|\"meshes/|\"$root/scenes/meshes/|" \
    "$root/scenes/demo.mi" >"$work/slow.mi"
(
    export ORN_RENDER=$bin ORN_SCENE=$work/slow.mi ORN_FIRST=7 ORN_STEP=1 ORN_OUT=$work/term
    export ORN_TILES=2 ORN_PARTS=$work/term/parts
    export SLURM_ARRAY_TASK_ID=0 SLURM_CPUS_PER_TASK=1 ORN_ARGS=-q
    unset SLURM_JOB_ID SLURM_CONF
    exec "$root/scripts/slurm/render-task.sh"
) >"$work/term.log" 2>&1 &
task=$!
sleep 2
kill -TERM "$task"
status=0
wait "$task" || status=$?
[ "$status" = 143 ] || fail "the task ended with $status on SIGTERM, not 143: $(cat "$work/term.log")"
grep -q "interrupted by SIGTERM" "$work/term.log" || fail "no word of the interruption: $(cat "$work/term.log")"
[ -z "$(ls -A "$work/term/parts/0007" 2>/dev/null)" ] || fail "an interrupted part was written"
