#!/bin/bash
# Submits a sequence to Slurm as a job array: one task per frame, or with --tiles N one task per
# part of each frame and a merge array (one task per frame) that starts once every part is done.
#
#   submit.sh [options] SCENE [-- ORNRENDER-OPTIONS...]
#     --frames FIRST-LAST[xSTEP]   frames to render (default 1)
#     --tiles N                    split every frame into N strips (default 1: whole frames)
#     --cpus N                     CPUs per task; ornrender runs that many threads (default 4)
#     --out DIR                    outputs, as ornrender -o (default ./out)
#     --parts DIR                  part files, one directory per frame (default OUT/parts)
#     --logs DIR                   one log per task (default OUT/logs)
#     --ornrender PATH             the renderer (default: ornrender on PATH)
#     --sbatch "OPTIONS"           more sbatch options for both arrays (partition, time, ...)
#     --max-running N              at most N tasks of an array at once
# SCENE, OUT, PARTS and LOGS must be on storage every node sees; paths are made absolute.
# Prints the job ids: "render JOBID" and, with tiles, "merge JOBID".
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
frames=1 tiles=1 cpus=4 out=out parts="" logs="" render="" extra_sbatch="" throttle=""
usage() {
    sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case "$1" in
    --frames) frames=${2:?}; shift 2 ;;
    --tiles) tiles=${2:?}; shift 2 ;;
    --cpus) cpus=${2:?}; shift 2 ;;
    --out) out=${2:?}; shift 2 ;;
    --parts) parts=${2:?}; shift 2 ;;
    --logs) logs=${2:?}; shift 2 ;;
    --ornrender) render=${2:?}; shift 2 ;;
    --sbatch) extra_sbatch=${2:?}; shift 2 ;;
    --max-running) throttle=%${2:?}; shift 2 ;;
    -h | --help) usage ;;
    --) break ;;
    -*) echo "submit.sh: unknown option $1" >&2; usage ;;
    *) break ;;
    esac
done
[ $# -ge 1 ] && [ "$1" != "--" ] || usage
scene=$1
shift
[ "${1:-}" = "--" ] && shift
args=$(printf '%s\n' "$@")

if [[ ! $frames =~ ^(-?[0-9]+)(-(-?[0-9]+)(x([0-9]+))?)?$ ]]; then
    echo "submit.sh: --frames $frames is not FIRST-LAST[xSTEP]" >&2
    exit 2
fi
first=${BASH_REMATCH[1]}
last=${BASH_REMATCH[3]:-$first}
step=${BASH_REMATCH[5]:-1}
if [ "$last" -lt "$first" ] || [ "$step" -lt 1 ]; then
    echo "submit.sh: --frames $frames holds no frame" >&2
    exit 2
fi
if ! [[ $tiles =~ ^[0-9]+$ ]] || [ "$tiles" -lt 1 ] || ! [[ $cpus =~ ^[0-9]+$ ]] || [ "$cpus" -lt 1 ]; then
    echo "submit.sh: --tiles and --cpus take a number from 1" >&2
    exit 2
fi
[ -f "$scene" ] || [[ $scene == *"#"* ]] || { echo "submit.sh: no scene file $scene" >&2; exit 2; }
render=${render:-$(command -v ornrender || true)}
[ -x "$render" ] || { echo "submit.sh: no ornrender (give --ornrender PATH)" >&2; exit 2; }

abs() { realpath -m "$1"; }
scene=$(abs "$scene") out=$(abs "$out") render=$(abs "$render")
parts=$(abs "${parts:-$out/parts}") logs=$(abs "${logs:-$out/logs}")
mkdir -p "$out" "$logs"
[ "$tiles" -gt 1 ] && mkdir -p "$parts"
count=$(((last - first) / step + 1))

export ORN_FARM_DIR=$here ORN_RENDER=$render ORN_SCENE=$scene ORN_FIRST=$first ORN_STEP=$step
export ORN_TILES=$tiles ORN_OUT=$out ORN_PARTS=$parts ORN_ARGS=$args
name=$(basename "$scene" .mi)
# shellcheck disable=SC2086 # extra_sbatch is a list of options
job=$(sbatch --parsable --export=ALL --job-name="orn-$name" --array="0-$((count * tiles - 1))$throttle" \
    --cpus-per-task="$cpus" --output="$logs/%x-%A_%a.log" $extra_sbatch "$here/render-task.sh")
job=${job%%;*}
echo "render $job"
if [ "$tiles" -gt 1 ]; then
    # shellcheck disable=SC2086
    merge=$(sbatch --parsable --export=ALL --job-name="orn-$name-merge" --array="0-$((count - 1))$throttle" \
        --cpus-per-task="$cpus" --dependency="afterok:$job" --kill-on-invalid-dep=yes \
        --output="$logs/%x-%A_%a.log" $extra_sbatch "$here/merge-task.sh")
    echo "merge ${merge%%;*}"
fi
