#!/usr/bin/env bash
# A batch over three hosts: every file of the list is compressed on whichever host has a free job
# slot, over one shared ssh connection per host (key login, so nothing asks for a password). The
# job log names the host of every command; a host that dies mid-run loses no command (its commands
# run again on the others), and a rerun with --resume does only what never ended.
#
#   examples/fanrun-hosts.sh LIST [LOCAL...]
#       LIST: paths of a shared file system, one per line
#       LOCAL: files of this machine only: each is sent to its host, compressed there, the .gz
#              fetched back next to it and both removed from the host (--trc), each command in a
#              fresh folder of its own there (--wd ...)
#
# hosts.txt may be edited while the batch runs: a host added there joins, one removed finishes what
# it runs and takes nothing more.
set -euo pipefail
list=${1:?usage: $0 LIST [LOCAL...]}
shift
cat >hosts.txt <<'HOSTS'
# N/ gives a host N job slots; without it, its processor count is asked once
8/node1
node2
node3
HOSTS
fanrun --joblog compress.log --resume --sshloginfile hosts.txt --tag -a "$list" \
    'gzip --keep --force {} && echo compressed on $(hostname)'
if [ "$#" -gt 0 ]; then
    fanrun --joblog send.log --sshloginfile hosts.txt --wd ... --trc {}.gz -k \
        'gzip --stdout {} > {}.gz && echo {} compressed on $(hostname)' -- "$@"
fi
