# bash completion for vexo and vexo-sim                       -*- shell-script -*-

# Completes the vexo command line held in _vexo_words (program name first),
# for the word at index $1, into COMPREPLY.
_vexo_args()
{
    local i=$1 cur=${_vexo_words[$1]} port=${_vexo_words[1]} k=2 n
    local commands="--get --add --delete --empty --change --chtitle --move --read --rawread --rawwrite
        --verify --import --json --web --check --repair -g -a -d -e -c -ct -m -r -rr -rw -vf -i -j -w -ck -rp"
    if ((i == 1)); then
        local words="ttyS0 ttyUSB0 ttyACM0 lp0 lp1 lp2 lp3 lp4 parport0 ros card --helpex" dev
        for dev in /dev/ttyS[0-9]* /dev/ttyUSB[0-9]* /dev/ttyACM[0-9]* /dev/parport[0-9]*; do
            [[ -e $dev && " $words " != *" ${dev#/dev/} "* ]] && words+=" ${dev#/dev/}"
        done
        COMPREPLY=($(compgen -W "$words" -- "$cur"))
        return
    fi
    case $port in
        ros*|card*)
            if ((i == 2)); then
                if [[ $port == card* ]]; then
                    # Only removable devices: never the machine's own disks.
                    local removable devices=""
                    for removable in /sys/block/*/removable; do
                        [[ -r $removable && $(<"$removable") == 1 ]] || continue
                        removable=${removable%/removable}
                        devices+=" /dev/${removable##*/}"
                    done
                    COMPREPLY=($(compgen -W "$devices" -- "$cur"))
                else
                    COMPREPLY=($(compgen -f -- "$cur"))
                fi
                return
            fi
            k=3 ;;
        lp*|tty*|parport*) ;;
        *) return ;;
    esac
    if ((i == k)); then
        COMPREPLY=($(compgen -W "--slow -s $commands" -- "$cur"))
        return
    fi
    [[ ${_vexo_words[k]} == --slow || ${_vexo_words[k]} == -s ]] && k=$((k + 1))
    if ((i == k)); then
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        return
    fi
    n=$((i - k))
    local prev=${_vexo_words[i - 1]}
    case ${_vexo_words[k]} in
        --delete|-d) ((n == 1)) && COMPREPLY=($(compgen -W "all" -- "$cur")) ;;
        --rawread|-rr|--verify|-vf)
            if ((n == 1)); then COMPREPLY=($(compgen -f -- "$cur"))
            else COMPREPLY=($(compgen -W "--used --quiet" -- "$cur")); fi ;;
        --rawwrite|-rw)
            if ((n == 1)); then COMPREPLY=($(compgen -f -- "$cur"))
            else COMPREPLY=($(compgen -W "--used --verify --quiet" -- "$cur")); fi ;;
        --read|-r) ((n == 2)) && COMPREPLY=($(compgen -f -- "$cur")) ;;
        --check|-ck) ((n == 1)) && COMPREPLY=($(compgen -W "--json" -- "$cur")) ;;
        --repair|-rp) ((n == 1)) && COMPREPLY=($(compgen -W "--dry-run" -- "$cur")) ;;
        --web|-w) ((n == 1)) && COMPREPLY=($(compgen -W "127.0.0.1: [::1]: localhost:" -- "$cur")) ;;
        --import|-i)
            local w options=0
            for ((w = k + 1; w < i; w++)); do
                [[ ${_vexo_words[w]} == -n || ${_vexo_words[w]} == -t ]] && options=1
            done
            if [[ $prev == -t ]]; then
                COMPREPLY=($(compgen -W "1 5 6 7" -- "$cur"))
            elif [[ $prev == --bitrate ]]; then
                COMPREPLY=($(compgen -W "32 40 48 56 64 80 96 112 128 160 192 224 256 320" -- "$cur"))
            elif [[ $prev != -n ]]; then
                ((options)) || COMPREPLY=($(compgen -f -X '!*.[mM][pP]3' -- "$cur")
                    $(compgen -f -X '!*.[mM]3[uU]' -- "$cur") $(compgen -f -X '!*.[mM]3[uU]8' -- "$cur")
                    $(compgen -d -- "$cur"))
                ((n > 1)) && COMPREPLY+=($(compgen -W "-n -t -R --recursive --bitrate --keep-tags --fit --no-cache" -- "$cur"))
            fi ;;
        --add|-a|--change|-c)
            local first=3
            [[ ${_vexo_words[k]} == --change || ${_vexo_words[k]} == -c ]] && first=1
            if [[ $first == 3 && $n == 1 ]]; then
                COMPREPLY=($(compgen -f -X '!*.[mM][pP]3' -- "$cur") $(compgen -d -- "$cur"))
            elif ((n >= first && (n - first) % 2 == 0)); then
                COMPREPLY=($(compgen -W "-n -t" -- "$cur"))
            elif [[ $prev == -t ]]; then
                COMPREPLY=($(compgen -W "1 5 6 7" -- "$cur"))
            fi ;;
    esac
}

_vexo()
{
    _vexo_words=("${COMP_WORDS[@]}")
    COMPREPLY=()
    _vexo_args "$COMP_CWORD"
}

_vexo_sim()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]} i
    COMPREPLY=()
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} == -- ]]; then
            _vexo_words=(vexo "${COMP_WORDS[@]:i+1}")
            _vexo_args $((COMP_CWORD - i))
            return
        fi
    done
    case $prev in
        --card|--card2|--trace) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --capacity|--player-version|--seed) return ;;
        --fault) COMPREPLY=($(compgen -W "no-port no-card never-ready no-cid read-crc write-crc
            busy-forever no-stop pull pull-after early-data status-glitch silent drop-send corrupt-send
            hangup drop-receive corrupt-receive refuse-reads fail-verify no-version pull-slot1 pull-slot2" -- "$cur")); return ;;
    esac
    COMPREPLY=($(compgen -W "--card --card2 --capacity --trace --fast --fault --baud
        --seed --player-version --version --help --" -- "$cur"))
}

complete -o filenames -F _vexo vexo
complete -o filenames -F _vexo_sim vexo-sim
