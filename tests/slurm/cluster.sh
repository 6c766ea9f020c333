#!/usr/bin/env bash
# A Slurm cluster of several nodes on this machine, for the tests that submit to a real scheduler.
#
#   cluster.sh start    bring up munged, slurmctld and one slurmd per node, and wait until every
#                       node is idle
#   cluster.sh stop     end what start brought up (safe to call when nothing runs)
#   cluster.sh status   exit 0 when the cluster answers, else say why and exit 1
#   cluster.sh conf     print the path of the cluster's slurm.conf (for SLURM_CONF)
#   cluster.sh nodes    print the nodes' names, one a line
#   cluster.sh need     for a test: exit 0 when the cluster answers; else say why and exit 77
#                       (skipped), or 1 under CI=true, where a test must not be skipped
#
# The nodes node1 .. nodeN ($SYSKIT_SLURM_NODES, default 3) are slurmd daemons of their own
# (slurmd -N NAME), each the size of this machine, all on the loopback address: slurmctld listens
# on port $SYSKIT_SLURM_PORT (default 6817), node K's slurmd on that port + K. Everything
# (slurm.conf, munge key and socket, spools, state, logs, pid files) lives in one folder,
# $SYSKIT_SLURM_DIR (default /tmp/syskit-slurm), so that nothing under /etc or /var is touched and
# the Slurm commands reach this cluster only through SLURM_CONF. Needs Debian's slurm-wlm and munge
# and root (the daemons and the jobs run as root).
set -uo pipefail

dir=${SYSKIT_SLURM_DIR:-/tmp/syskit-slurm}
conf=$dir/slurm.conf
export SLURM_CONF=$conf
wait_seconds=${SYSKIT_SLURM_WAIT:-60}
node_count=${SYSKIT_SLURM_NODES:-3}
port=${SYSKIT_SLURM_PORT:-6817}
nodes=()
for ((k = 1; k <= node_count; k++)); do nodes+=("node$k"); done

log() { printf 'slurm cluster: %s\n' "$*"; }

# running PID NAME: PID is a live NAME process (not a zombie, not a process that took over a
# recycled pid).
running() {
  [[ $1 =~ ^[0-9]+$ ]] && [ "$(cat "/proc/$1/comm" 2>/dev/null)" = "$2" ] &&
    ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null
}

# alive NAME: the daemon whose pid file is $dir/NAME.pid is running (slurmd-NODE is a slurmd).
alive() { running "$(cat "$dir/$1.pid" 2>/dev/null)" "${1%%-*}"; }

# node_state NODE: as sinfo shows it (idle, mixed, drained, ...).
node_state() { sinfo --noheader --nodes="$1" --format=%T 2>/dev/null; }

status() {
  local missing= node
  for program in munged slurmctld slurmd sbatch; do
    command -v "$program" >/dev/null 2>&1 || missing+=" $program"
  done
  [ -z "$missing" ] || { log "not installed:$missing (Debian packages slurm-wlm and munge)"; return 1; }
  [ -f "$conf" ] || { log "no cluster configured in $dir (run: $0 start)"; return 1; }
  for daemon in munged slurmctld "${nodes[@]/#/slurmd-}"; do
    alive "$daemon" || { log "$daemon is not running (state in $dir)"; return 1; }
  done
  scontrol ping 2>/dev/null | grep -q 'is UP' || { log "slurmctld does not answer"; return 1; }
  for node in "${nodes[@]}"; do
    case $(node_state "$node") in
      idle | mixed | allocated | completing) ;;
      *) log "node $node is '$(node_state "$node")', not up"; return 1 ;;
    esac
  done
}

# stop_daemon NAME: TERM, then KILL if it outlives the grace period; returns once it is gone (the
# daemons remove their pid files before they have finished exiting).
stop_daemon() {
  local pid name=${1%%-*}
  pid=$(cat "$dir/$1.pid" 2>/dev/null)
  if running "$pid" "$name"; then
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 100); do
      running "$pid" "$name" || break
      sleep 0.1
    done
    if running "$pid" "$name"; then
      log "$1 ($pid) outlived SIGTERM; killing it"
      kill -KILL "$pid" 2>/dev/null
      until_true 5 bash -c "! grep -qs '^State:[[:space:]]*[^Z]' /proc/$pid/status"
    fi
  fi
  rm -f "$dir/$1.pid"
}

stop() {
  [ -d "$dir" ] || return 0
  # Jobs still running would leave their slurmstepd behind once slurmd is gone: cancel them first
  # and give slurmd the time to end their steps.
  if alive slurmctld; then
    scancel --quiet --user="$(id -un)" 2>/dev/null
    for _ in $(seq 100); do
      [ -z "$(squeue --noheader 2>/dev/null)" ] && break
      sleep 0.1
    done
  fi
  # Every slurmd an earlier start left, whatever the node count is now (slurmd.pid: the single
  # node of earlier versions of this script).
  local file
  for file in "$dir"/slurmd.pid "$dir"/slurmd-*.pid; do
    [ -e "$file" ] || continue
    file=${file##*/}
    stop_daemon "${file%.pid}"
  done
  stop_daemon slurmctld
  stop_daemon munged
  return 0
}

write_conf() {
  local host hardware k
  host=$(hostname -s)
  # Every node as slurmd itself sees the machine, less its name and the memory (left untracked, so
  # that a slightly different count can never drain a node). Every daemon is reached on the
  # loopback address, so no name need resolve.
  hardware=$(slurmd -C | head -n 1 | sed 's/^NodeName=[^ ]* //; s/ RealMemory=[0-9]*//')
  cat >"$conf" <<EOF
ClusterName=syskit
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge.socket
MpiDefault=none
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool/%n
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd-%n.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd-%n.log
EOF
  for ((k = 1; k <= node_count; k++)); do
    echo "NodeName=node$k NodeHostname=$host NodeAddr=127.0.0.1 Port=$((port + k)) $hardware State=UNKNOWN"
  done >>"$conf"
  echo "PartitionName=debug Nodes=node[1-$node_count] Default=YES MaxTime=INFINITE State=UP" >>"$conf"
}

# until_true SECONDS COMMAND...: poll COMMAND every tenth of a second, for at most SECONDS.
until_true() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

nodes_idle() {
  local node
  for node in "${nodes[@]}"; do
    [ "$(node_state "$node")" = idle ] || return 1
  done
}

fail_start() {
  log "$*"
  for file in "$dir"/munged.log "$dir"/slurmctld.log "$dir"/slurmd-*.log; do
    [ -f "$file" ] && { echo "--- $file"; tail -n 20 "$file"; }
  done
  stop
  exit 1
}

start() {
  if status >/dev/null 2>&1; then
    log "already up (SLURM_CONF=$conf)"
    return 0
  fi
  local began node
  began=$EPOCHREALTIME
  [[ $node_count =~ ^[1-9][0-9]?$ ]] || fail_start "SYSKIT_SLURM_NODES must be 1 to 99, not '$node_count'"
  for program in munged mungekey slurmctld slurmd sinfo; do
    command -v "$program" >/dev/null 2>&1 || fail_start "$program not found (install slurm-wlm and munge)"
  done
  stop
  # A fresh cluster every time: no job or node state carried over from an earlier run.
  rm -rf "$dir/state" "$dir/spool" "$dir"/*.log "$dir/munge.key" "$dir/munge.seed"
  mkdir -p "$dir/state" "${nodes[@]/#/$dir/spool/}" || fail_start "cannot create $dir"
  chmod 0700 "$dir"
  write_conf

  mungekey --create --keyfile="$dir/munge.key" >/dev/null || fail_start "mungekey failed"
  munged --force --socket="$dir/munge.socket" --key-file="$dir/munge.key" \
    --pid-file="$dir/munged.pid" --log-file="$dir/munged.log" --seed-file="$dir/munge.seed" ||
    fail_start "munged did not start"
  until_true "$wait_seconds" test -S "$dir/munge.socket" || fail_start "munged opened no socket"

  slurmctld -f "$conf" || fail_start "slurmctld did not start"
  until_true "$wait_seconds" bash -c 'scontrol ping | grep -q "is UP"' ||
    fail_start "slurmctld does not answer after ${wait_seconds}s"
  for node in "${nodes[@]}"; do
    slurmd -f "$conf" -N "$node" || fail_start "slurmd of $node did not start"
  done
  until_true "$wait_seconds" nodes_idle ||
    fail_start "nodes not idle after ${wait_seconds}s: $(sinfo --noheader --Node --format='%N %T' | paste -sd ' ')"

  log "up in $(awk -v a="$began" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')s, nodes ${nodes[*]} (SLURM_CONF=$conf)"
}

need() {
  local why
  why=$(status) && return 0
  if [ "${CI:-}" = true ]; then
    echo "FAIL: CI must run this test on a Slurm cluster, and there is none: $why"
    return 1
  fi
  echo "SKIP: no Slurm cluster on this machine: $why"
  echo "      (bring one up with: bash tests/slurm/cluster.sh start)"
  return 77
}

case ${1:-} in
  start) start ;;
  need) need ;;
  stop) stop ;;
  status) status ;;
  conf) echo "$conf" ;;
  nodes) printf '%s\n' "${nodes[@]}" ;;
  *)
    echo "usage: $0 start|stop|status|conf|nodes|need" >&2
    exit 2
    ;;
esac
