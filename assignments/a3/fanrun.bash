# bash completion for fanrun(1): its options and their values; once the command has begun, the
# words are completed as a command and its files.

_fanrun() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=""
    [ "$COMP_CWORD" -gt 0 ] && prev=${COMP_WORDS[COMP_CWORD - 1]}
    local long="--jobs --output-dir --null --delimiter --arg-file --group --keep-order --ungroup
        --tag --report --raw --timeout --halt --progress --tty --dry-run --shard --joblog --resume
        --resume-failed --retries --retry-delay --failed --max-args --shell --semaphore --id --fg --wait
        --semaphore-timeout --line-buffer --latest-line --tagstring --verbose --bar --results
        --sshlogin --sshloginfile --slf --ssh --slurm --cpus-per-command --link --colsep --trim
        --header --pipe --pipe-part --block --recend --recstart --regexp --rrs --cat --fifo
        --round-robin --delay --load --memfree --nice --termseq --transfer-file --tf --transfer
        --return --cleanup --trc --basefile --bf --workdir --wd --env --nonall --onall --help
        --version"
    local short="-j -o -0 -d -a -n -N -m -X -I -L -g -k -u -v -h -V -S"
    COMPREPLY=()

    # The option whose value is being typed.
    case $prev in
    -o | --output-dir)
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        return 0
        ;;
    -a | --arg-file | --report | --joblog | --results | --sshloginfile | --slf | \
        --transfer-file | --tf | --return | --trc | --basefile | --bf)
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return 0
        ;;
    --workdir | --wd)
        mapfile -t COMPREPLY < <(compgen -W "... ." -- "$cur")
        return 0
        ;;
    --env)
        mapfile -t COMPREPLY < <(compgen -v -- "$cur"; compgen -A function -- "$cur")
        return 0
        ;;
    --halt)
        # After when, what to count: fail=N, success=N or done=N (or N%).
        case $cur in
        *,*) mapfile -t COMPREPLY < <(compgen -W "${cur%%,*},fail= ${cur%%,*},success= \
            ${cur%%,*},done=" -- "$cur") ;;
        *) mapfile -t COMPREPLY < <(compgen -W "soon now" -- "$cur") ;;
        esac
        return 0
        ;;
    --termseq)
        mapfile -t COMPREPLY < <(compgen -W "TERM,2000,KILL" -- "$cur")
        return 0
        ;;
    -S | --sshlogin)
        # The hosts ssh knows of, and this machine.
        mapfile -t COMPREPLY < <(compgen -W ": $(compgen -A hostname)" -- "$cur")
        return 0
        ;;
    --ssh)
        mapfile -t COMPREPLY < <(compgen -c -- "$cur")
        return 0
        ;;
    --trim)
        mapfile -t COMPREPLY < <(compgen -W "n l r lr" -- "$cur")
        return 0
        ;;
    --header)
        # ':' or a REGEX the first line must match, e.g. '^id,'
        COMPREPLY=(: "'^'")
        return 0
        ;;
    -d | --delimiter)
        mapfile -t COMPREPLY < <(compgen -W "'\\n' '\\t' '\\0' ," -- "$cur")
        return 0
        ;;
    -j | --jobs)
        # A count, or the file that holds one.
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return 0
        ;;
    --timeout | --shard | --retries | --retry-delay | -n | --max-args | --id | \
        --semaphore-timeout | --tagstring | -N | -I | --colsep | --ssh | --block | --recend | \
        --recstart | -L | --delay | --load | --memfree | --nice | --cpus-per-command)
        return 0
        ;;
    esac

    # Options end at the first word that is neither an option nor an option's value.
    local i word
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
        -j | -o | -d | -a | -n | --jobs | --output-dir | --delimiter | --arg-file | --max-args | \
            --timeout | --halt | --shard | --report | --joblog | --retries | --retry-delay | --id | \
            --semaphore-timeout | --tagstring | --results | -S | --sshlogin | --sshloginfile | --slf | \
            --ssh | -N | -I | --colsep | --trim | --header | --block | --recend | --recstart | -L | \
            --delay | --load | --memfree | --nice | --termseq | --transfer-file | --tf | --return | \
            --trc | --basefile | --bf | --workdir | --wd | --env | --cpus-per-command)
            ((i++))
            ;;
        --)
            ((i++))
            break
            ;;
        -*) ;;
        *)
            break
            ;;
        esac
    done
    if [ "$i" -lt "$COMP_CWORD" ]; then
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return 0
    fi
    if [ "$i" -eq "$COMP_CWORD" ] && [ "${COMP_WORDS[i - 1]}" = -- ]; then
        mapfile -t COMPREPLY < <(compgen -c -- "$cur")
        return 0
    fi
    case $cur in
    --*) mapfile -t COMPREPLY < <(compgen -W "$long" -- "$cur") ;;
    -*) mapfile -t COMPREPLY < <(compgen -W "$short $long" -- "$cur") ;;
    *) mapfile -t COMPREPLY < <(compgen -c -- "$cur") ;;
    esac
    return 0
}

complete -F _fanrun fanrun
