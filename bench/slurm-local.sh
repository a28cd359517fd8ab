#!/usr/bin/env bash
# A one-node Slurm on localhost for bench/shard-bench.sh (SLURM=1): Debian's slurm-wlm and
# munge, with a private configuration and state folder, started and stopped by hand. Nothing
# is written to /etc; the daemons run until `stop`.
#
# Usage (as root): bench/slurm-local.sh start|stop
#   then: SLURM_CONF=/tmp/orvane-slurm/slurm.conf SLURM=1 bench/shard-bench.sh
set -euo pipefail
state=${SLURM_STATE:-/tmp/orvane-slurm}
conf=$state/slurm.conf
host=$(hostname -s)

case ${1:-} in
start)
  command -v slurmctld >/dev/null && command -v munged >/dev/null ||
    { echo "slurm-local: apt-get install slurm-wlm munge" >&2; exit 2; }
  mkdir -p "$state/ctld" "$state/d" "$state/munge"
  # munge: a key of its own, its socket in the state folder.
  [[ -s $state/munge/munge.key ]] || dd if=/dev/urandom of="$state/munge/munge.key" bs=1024 count=1 status=none
  chmod 700 "$state/munge"; chmod 400 "$state/munge/munge.key"
  munged --force --key-file="$state/munge/munge.key" --socket="$state/munge/munge.socket" \
    --pid-file="$state/munge/munged.pid" --log-file="$state/munge/munged.log" --seed-file="$state/munge/munge.seed"
  cpus=$(nproc)
  mem=$(awk '/MemTotal/ { print int($2 / 1024 / 2) }' /proc/meminfo)
  cat > "$conf" <<CONF
ClusterName=orvane
SlurmctldHost=$host(127.0.0.1)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$state/munge/munge.socket
CredType=cred/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
JobAcctGatherType=jobacct_gather/none
MpiDefault=none
ReturnToService=2
StateSaveLocation=$state/ctld
SlurmdSpoolDir=$state/d
SlurmctldPidFile=$state/slurmctld.pid
SlurmdPidFile=$state/slurmd.pid
SlurmctldLogFile=$state/slurmctld.log
SlurmdLogFile=$state/slurmd.log
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$mem State=UNKNOWN
PartitionName=local Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
  export SLURM_CONF=$conf
  slurmctld -f "$conf"
  slurmd -f "$conf"
  for _ in $(seq 50); do
    sinfo -h -o %T 2>/dev/null | grep -q idle && { echo "Slurm is up: export SLURM_CONF=$conf"; exit 0; }
    sleep 0.2
  done
  echo "slurm-local: the node did not come up; see $state/*.log" >&2
  exit 1
  ;;
stop)
  for pidfile in "$state/slurmd.pid" "$state/slurmctld.pid" "$state/munge/munged.pid"; do
    [[ -s $pidfile ]] && kill "$(cat "$pidfile")" 2>/dev/null || true
  done
  ;;
*)
  echo "usage: bench/slurm-local.sh start|stop" >&2
  exit 2
  ;;
esac
