#!/usr/bin/env bash
# Real ssh hosts on this machine, for the tests and the benchmark of remote runs.
#
#   hosts.sh start N     bring up N sshd, host2 .. host(N+1), each in a UTS, PID and mount
#                        namespace of its own (its own hostname, an empty home for root)
#                        listening on 127.0.0.K, K from 2
#   hosts.sh stop        end every host start brought up (safe to call when none runs)
#   hosts.sh kill K      end host K at once, with the connections it serves (a host that dies)
#   hosts.sh status      exit 0 when every host answers over ssh, else say why and exit 1
#   hosts.sh config      print the path of the ssh_config that reaches them (ssh -F FILE hostK)
#
# Everything (host and user keys made here, authorized_keys, the sshd and ssh configurations,
# known_hosts, logs, pid files) lives in one folder, $SYSKIT_SSH_DIR (default /tmp/syskit-ssh),
# and the hosts listen on port $SYSKIT_SSH_PORT (default 2222), so that nothing under /etc or ~/.ssh
# is touched. Hosts listed in $SYSKIT_SSH_REFUSE (numbers K, space-separated) refuse every login.
# Root logs in by key only. Needs root, unshare and Debian's openssh-server.
set -uo pipefail

dir=${SYSKIT_SSH_DIR:-/tmp/syskit-ssh}
port=${SYSKIT_SSH_PORT:-2222}
refuse=" ${SYSKIT_SSH_REFUSE:-} "
sshd=/usr/sbin/sshd

log() { printf 'ssh hosts: %s\n' "$*" >&2; }

# running PID: PID is a live process, not a zombie.
running() {
  [[ $1 =~ ^[0-9]+$ ]] && [ -e "/proc/$1" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null
}

hosts() { ls "$dir"/host*.pid 2>/dev/null | sed 's/.*host\([0-9]*\)\.pid/\1/' | sort -n; }

# kill_host K: the namespace's first process is sshd, its parent unshare with --kill-child: killing
# unshare takes the whole namespace (every session sshd serves) with it.
kill_host() {
  local pid
  pid=$(cat "$dir/host$1.pid" 2>/dev/null)
  if running "$pid"; then
    kill -KILL "$pid" 2>/dev/null
    for _ in $(seq 100); do
      running "$pid" || break
      sleep 0.05
    done
  fi
  rm -f "$dir/host$1.pid"
}

stop() {
  [ -d "$dir" ] || return 0
  for k in $(hosts); do kill_host "$k"; done
  rm -rf "$dir"
}

check() {
  for program in "$sshd" ssh ssh-keygen unshare; do
    command -v "$program" >/dev/null 2>&1 || { log "not installed: $program (Debian packages openssh-server, util-linux)"; return 1; }
  done
  [ "$(id -u)" = 0 ] || { log "needs root"; return 1; }
  unshare --uts --pid --mount --fork true 2>/dev/null ||
    { log "namespaces are not allowed here (unshare --uts --pid --mount failed)"; return 1; }
}

start() {
  local count=$1
  [[ $count =~ ^[0-9]+$ ]] && [ "$count" -ge 1 ] || { log "start needs a host count"; return 2; }
  check || return 1
  stop
  mkdir -p "$dir" /run/sshd && chmod 700 "$dir" || return 1
  ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key" || return 1
  ssh-keygen -q -t ed25519 -N '' -f "$dir/user_key" || return 1
  cp "$dir/user_key.pub" "$dir/authorized_keys"
  : >"$dir/known_hosts"
  : >"$dir/ssh_config"
  for ((k = 2; k < count + 2; ++k)); do
    local conf=$dir/sshd_host$k.conf
    cat >"$conf" <<CONF
ListenAddress 127.0.0.$k:$port
HostKey $dir/host_key
AuthorizedKeysFile $dir/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PidFile none
AcceptEnv LANG LC_* LOCPATH
MaxStartups 10:30:100
CONF
    [[ $refuse == *" $k "* ]] && echo 'DenyUsers *' >>"$conf"
    echo "[127.0.0.$k]:$port $(cut -d' ' -f1,2 "$dir/host_key.pub")" >>"$dir/known_hosts"
    cat >>"$dir/ssh_config" <<CONF
Host host$k
  HostName 127.0.0.$k
CONF
    # A home of its own: root's shell there starts from nothing of this machine's dotfiles.
    mkdir -p "$dir/home$k"
    setsid unshare --uts --pid --mount --fork --kill-child \
      sh -c "hostname host$k && mount --bind $dir/home$k /root && exec $sshd -D -e -f $conf" \
      >"$dir/host$k.log" 2>&1 </dev/null &
    echo $! >"$dir/host$k.pid"
  done
  cat >>"$dir/ssh_config" <<CONF
Host *
  Port $port
  User root
  IdentityFile $dir/user_key
  IdentitiesOnly yes
  UserKnownHostsFile $dir/known_hosts
  StrictHostKeyChecking yes
  BatchMode yes
  LogLevel ERROR
  SendEnv LANG LC_* LOCPATH
CONF
  for ((k = 2; k < count + 2; ++k)); do
    local up=
    for _ in $(seq 100); do
      if [[ $refuse == *" $k "* ]]; then
        grep -q 'Server listening' "$dir/host$k.log" && up=1
      else
        ssh -F "$dir/ssh_config" -o ControlMaster=no "host$k" true 2>/dev/null && up=1
      fi
      [ -n "$up" ] && break
      running "$(cat "$dir/host$k.pid")" || break
      sleep 0.1
    done
    [ -n "$up" ] || { log "host$k did not come up:"; cat "$dir/host$k.log" >&2; stop; return 1; }
  done
}

status() {
  [ -f "$dir/ssh_config" ] || { log "no hosts in $dir (run: $0 start N)"; return 1; }
  for k in $(hosts); do
    [[ $refuse == *" $k "* ]] && continue
    ssh -F "$dir/ssh_config" -o ControlMaster=no "host$k" true || { log "host$k does not answer"; return 1; }
  done
}

case ${1:-} in
  start) start "${2:-}" ;;
  stop) stop ;;
  kill) kill_host "${2:?host number}" ;;
  status) status ;;
  config) echo "$dir/ssh_config" ;;
  *) echo "usage: $0 start N | stop | kill K | status | config" >&2; exit 2 ;;
esac
