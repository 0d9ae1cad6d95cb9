#!/bin/bash
# A private single-node Slurm cluster for tests: munge, slurmctld and slurmd on loopback with
# their own configuration, state, sockets and non-default ports under one directory, run as
# the current user. Contacts no other host.
#   cluster.sh start DIR [CPUS]   prints the SLURM_CONF to export for sbatch and squeue
#   cluster.sh stop DIR           stops the daemons it started (by their pid files)
set -euo pipefail

cmd=${1:?usage: cluster.sh start|stop DIR [CPUS]}
dir=${2:?usage: cluster.sh start|stop DIR [CPUS]}

stop() {
    # slurmd first, so that no task is left behind by a controller that went away.
    for name in slurmd slurmctld munged; do
        local pidfile="$dir/run/$name.pid"
        [ -f "$pidfile" ] || continue
        local pid
        pid=$(cat "$pidfile")
        if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
            kill -TERM "$pid" 2>/dev/null || true
            for _ in $(seq 50); do
                kill -0 "$pid" 2>/dev/null || break
                sleep 0.1
            done
            kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null || true
        fi
        rm -f "$pidfile"
    done
}

start() {
    local cpus=${3:-2}
    command -v slurmctld >/dev/null && command -v slurmd >/dev/null && command -v munged >/dev/null || {
        echo "cluster.sh: slurmctld, slurmd and munged are needed (Debian: slurm-wlm, munge)" >&2
        exit 1
    }
    mkdir -p "$dir"/{run,state,spool,log,munge}
    chmod 700 "$dir/munge"
    local user host
    user=$(id -un)
    host=$(hostname -s)
    if [ ! -f "$dir/munge/munge.key" ]; then
        dd if=/dev/urandom of="$dir/munge/munge.key" bs=1024 count=1 status=none
        chmod 400 "$dir/munge/munge.key"
    fi
    munged --force --socket="$dir/munge/munge.socket" --key-file="$dir/munge/munge.key" \
        --pid-file="$dir/run/munged.pid" --log-file="$dir/log/munged.log" --seed-file="$dir/munge/seed"
    # Ports from the directory's name, so that two test clusters rarely meet; both above the
    # defaults (6817, 6818).
    local base=$((20000 + $(echo "$dir" | cksum | cut -d' ' -f1) % 20000))
    cat >"$dir/slurm.conf" <<CONF
ClusterName=orntest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$base
SlurmdPort=$((base + 1))
SlurmUser=$user
SlurmdUser=$user
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge/munge.socket
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/run/slurmctld.pid
SlurmdPidFile=$dir/run/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/backfill
MpiDefault=none
ReturnToService=2
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
SlurmctldTimeout=30
SlurmdTimeout=30
KillWait=10
MinJobAge=600
SlurmctldParameters=enable_configless
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
    export SLURM_CONF="$dir/slurm.conf"
    slurmctld -i
    slurmd
    # The node registers within a few seconds.
    for _ in $(seq 100); do
        if sinfo -h -o '%T' 2>/dev/null | grep -qE '^(idle|mixed|allocated)'; then
            echo "$SLURM_CONF"
            return 0
        fi
        sleep 0.2
    done
    echo "cluster.sh: the node did not come up; see $dir/log" >&2
    sinfo >&2 || true
    return 1
}

case "$cmd" in
start) start "$@" ;;
stop) stop ;;
*)
    echo "usage: cluster.sh start|stop DIR [CPUS]" >&2
    exit 2
    ;;
esac
