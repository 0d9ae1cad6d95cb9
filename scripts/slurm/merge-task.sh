#!/bin/bash
# One array task per frame (submit.sh submits it after every part has been rendered): joins the
# parts in ORN_PARTS/NNNN into the frame's files in ORN_OUT. The scene comes from ORN_SCENE, as
# for the parts: a part never names what the merge reads.
#   task t: frame ORN_FIRST + t * ORN_STEP
#SBATCH --requeue
#SBATCH --signal=B:USR1@60
set -u
# shellcheck source=common.sh
source "${ORN_FARM_DIR:-$(dirname "$0")}/common.sh"
orn_need ORN_RENDER ORN_SCENE ORN_FIRST ORN_STEP ORN_OUT ORN_PARTS SLURM_ARRAY_TASK_ID
task=$SLURM_ARRAY_TASK_ID
frame=$(orn_frame_of "$task" 1)
dir="$ORN_PARTS/$(printf '%04d' "$frame")"
orn_options
echo "orn-farm: merge task $task: frame $frame, $dir -> $ORN_OUT"
orn_run "$ORN_RENDER" "${ORN_OPTS[@]}" --merge -o "$ORN_OUT" "$ORN_SCENE" "$dir"
status=$?
echo "orn-farm: merge task $task: frame $frame ended with status $status"
exit "$status"
