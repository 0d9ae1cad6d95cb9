# shellcheck shell=bash
# Shared by the task scripts (sourced): runs ornrender so that Slurm reads its outcome.
#
# Slurm copies a batch script into its spool directory, so the task scripts find this file
# through ORN_FARM_DIR, which submit.sh sets.

# Exit status of ornrender passes through: 0 done, 1 a frame failed, 2 usage, 143 stopped by
# SIGTERM (scancel, preemption, node shutdown), 130 by SIGINT; a signal that comes after the
# frame's files were all written leaves 0, the frame being complete. A job submitted with --requeue
# is put back in the queue by Slurm itself on preemption or node failure. Before the time limit
# Slurm sends SIGUSR1 (#SBATCH --signal=B:USR1@...): the task then stops ornrender the same
# way and requeues itself, so the frame starts again later instead of being lost. An
# interrupted frame never replaces a finished file (ornrender writes every file atomically and
# skips the outputs of an unfinished frame).
orn_run() {
    local requeue=0 child status
    "$@" &
    child=$!
    trap 'kill -TERM "$child" 2>/dev/null' TERM INT
    trap 'requeue=1; kill -TERM "$child" 2>/dev/null' USR1
    # A trapped signal ends `wait` early; wait again until ornrender itself has ended.
    while :; do
        wait "$child"
        status=$?
        kill -0 "$child" 2>/dev/null || break
    done
    if [ "$status" -gt 128 ]; then
        # The signal came as ornrender ended: its own status is still there to collect.
        wait "$child" 2>/dev/null
        local own=$?
        [ "$own" != 127 ] && status=$own
    fi
    trap - TERM INT USR1
    # A frame that was complete when the signal came needs no second run.
    if [ "$requeue" = 1 ] && [ "$status" != 0 ] && [ -n "${SLURM_JOB_ID:-}" ] && command -v scontrol >/dev/null; then
        echo "orn-farm: the time limit is near; requeueing job $SLURM_JOB_ID" >&2
        scontrol requeue "$SLURM_JOB_ID" || true
    fi
    return "$status"
}

# The frame of array task $1 for $2 tasks per frame.
orn_frame_of() {
    echo $((ORN_FIRST + ($1 / $2) * ORN_STEP))
}

orn_need() {
    local v
    for v in "$@"; do
        if [ -z "${!v:-}" ]; then
            echo "orn-farm: $v is not set (submit.sh sets it)" >&2
            exit 2
        fi
    done
}

# ornrender's options from the environment: threads from the allocation, then the extra
# arguments given to submit.sh (one a line in ORN_ARGS).
orn_options() {
    ORN_OPTS=(-t "${SLURM_CPUS_PER_TASK:-0}")
    if [ -n "${ORN_ARGS:-}" ]; then
        local line
        while IFS= read -r line; do
            [ -n "$line" ] && ORN_OPTS+=("$line")
        done <<<"$ORN_ARGS"
    fi
}
