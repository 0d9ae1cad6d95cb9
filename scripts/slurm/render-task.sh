#!/bin/bash
# One array task of a farm render (submit.sh submits it): a whole frame of the sequence, or with
# ORN_TILES > 1 one part of one frame, whose part file goes to its frame's own directory
# ORN_PARTS/NNNN, so no two tasks write one file.
#   task t: frame ORN_FIRST + (t / ORN_TILES) * ORN_STEP, part t % ORN_TILES
#SBATCH --requeue
#SBATCH --signal=B:USR1@120
set -u
# shellcheck source=common.sh
source "${ORN_FARM_DIR:-$(dirname "$0")}/common.sh"
orn_need ORN_RENDER ORN_SCENE ORN_FIRST ORN_STEP ORN_OUT SLURM_ARRAY_TASK_ID
tiles=${ORN_TILES:-1}
task=$SLURM_ARRAY_TASK_ID
frame=$(orn_frame_of "$task" "$tiles")
orn_options
if [ "$tiles" -gt 1 ]; then
    dir="${ORN_PARTS:?ORN_PARTS is not set}/$(printf '%04d' "$frame")"
    echo "orn-farm: task $task: frame $frame, part $((task % tiles)) of $tiles -> $dir"
    orn_run "$ORN_RENDER" "${ORN_OPTS[@]}" --frames "$frame" --tile "$((task % tiles))/$tiles" -o "$dir" "$ORN_SCENE"
else
    echo "orn-farm: task $task: frame $frame -> $ORN_OUT"
    orn_run "$ORN_RENDER" "${ORN_OPTS[@]}" --frames "$frame" -o "$ORN_OUT" "$ORN_SCENE"
fi
status=$?
echo "orn-farm: task $task: frame $frame ended with status $status"
exit "$status"
