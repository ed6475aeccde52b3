# bash completion for vexo and vexo-sim                       -*- shell-script -*-

# The word as the shell will read it, into REPLY: quotes and backslashes
# taken away, an unclosed quote running to the word's end.
_vexo_dequote()
{
    local in=$1 c q="" j
    REPLY=""
    for ((j = 0; j < ${#in}; j++)); do
        c=${in:j:1}
        if [[ $q == "'" ]]; then
            if [[ $c == "'" ]]; then q=""; else REPLY+=$c; fi
        elif [[ $c == '\' ]] && [[ -z $q || ${in:j+1:1} == [\"\\\$\`] ]]; then
            j=$((j + 1))
            REPLY+=${in:j:1}
        elif [[ $c == '"' ]]; then
            if [[ $q == '"' ]]; then q=""; else q='"'; fi
        elif [[ $c == "'" && -z $q ]]; then
            q="'"
        else
            REPLY+=$c
        fi
    done
}

# Adds compgen's answers (its options in "$@") for the caller's word $cur to
# COMPREPLY, one a line: a name with blanks, quotes or * stays one word.
_vexo_add()
{
    local line
    while IFS= read -r line; do COMPREPLY+=("$line"); done < <(compgen "$@" -- "$cur")
}

# Completes the vexo command line held in _vexo_words (program name first),
# for the word at index $1, into COMPREPLY.
_vexo_args()
{
    local i=$1 cur port=${_vexo_words[1]} k=2 n
    _vexo_dequote "${_vexo_words[$1]}"
    cur=$REPLY
    local commands="--get --add --delete --empty --change --chtitle --move --read --rawread --rawwrite
        --verify --import --sync --json --web --check --repair -g -a -d -e -c -ct -m -r -rr -rw -vf -i -sy -j -w -ck -rp"
    if ((i == 1)); then
        local words="ttyS0 ttyUSB0 ttyACM0 lp0 lp1 lp2 lp3 lp4 parport0 ros card --helpex" dev
        for dev in /dev/ttyS[0-9]* /dev/ttyUSB[0-9]* /dev/ttyACM[0-9]* /dev/parport[0-9]*; do
            [[ -e $dev && " $words " != *" ${dev#/dev/} "* ]] && words+=" ${dev#/dev/}"
        done
        _vexo_add -W "$words"
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
                    _vexo_add -W "$devices"
                else
                    _vexo_add -f
                fi
                return
            fi
            k=3 ;;
        lp*|tty*|parport*) ;;
        *) return ;;
    esac
    if ((i == k)); then
        _vexo_add -W "--slow -s $commands"
        return
    fi
    [[ ${_vexo_words[k]} == --slow || ${_vexo_words[k]} == -s ]] && k=$((k + 1))
    if ((i == k)); then
        _vexo_add -W "$commands"
        return
    fi
    n=$((i - k))
    local prev=${_vexo_words[i - 1]}
    case ${_vexo_words[k]} in
        --delete|-d) ((n == 1)) && _vexo_add -W "all" ;;
        --rawread|-rr|--verify|-vf)
            if ((n == 1)); then _vexo_add -f
            else _vexo_add -W "--used --quiet"; fi ;;
        --rawwrite|-rw)
            if ((n == 1)); then _vexo_add -f
            else _vexo_add -W "--used --verify --quiet"; fi ;;
        --read|-r) ((n == 2)) && _vexo_add -f ;;
        --check|-ck) ((n == 1)) && _vexo_add -W "--json" ;;
        --repair|-rp) ((n == 1)) && _vexo_add -W "--dry-run" ;;
        --web|-w) ((n == 1)) && _vexo_add -W "127.0.0.1: [::1]: localhost:" ;;
        --import|-i|--sync|-sy)
            local w options=0 flags="-n -t -R --recursive --bitrate --keep-tags --fit --no-cache --dry-run --again"
            [[ ${_vexo_words[k]} == --sync || ${_vexo_words[k]} == -sy ]] &&
                flags="-n -t -R --recursive --bitrate --keep-tags --no-cache --dry-run --force --json"
            for ((w = k + 1; w < i; w++)); do
                [[ ${_vexo_words[w]} == -n || ${_vexo_words[w]} == -t ]] && options=1
            done
            if [[ $prev == -t ]]; then
                _vexo_add -W "1 5 6 7"
            elif [[ $prev == --bitrate ]]; then
                _vexo_add -W "32 40 48 56 64 80 96 112 128 160 192 224 256 320"
            elif [[ $prev != -n ]]; then
                if ((!options)); then
                    _vexo_add -f -X '!*.[mM][pP]3'; _vexo_add -f -X '!*.[mM]3[uU]'
                    _vexo_add -f -X '!*.[mM]3[uU]8'; _vexo_add -d
                fi
                ((n > 1)) && _vexo_add -W "$flags"
            fi ;;
        --add|-a|--change|-c)
            local first=3
            [[ ${_vexo_words[k]} == --change || ${_vexo_words[k]} == -c ]] && first=1
            if [[ $first == 3 && $n == 1 ]]; then
                _vexo_add -f -X '!*.[mM][pP]3'; _vexo_add -d
            elif ((n >= first && (n - first) % 2 == 0)); then
                _vexo_add -W "-n -t"
            elif [[ $prev == -t ]]; then
                _vexo_add -W "1 5 6 7"
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
    local cur prev=${COMP_WORDS[COMP_CWORD - 1]} i
    _vexo_dequote "${COMP_WORDS[COMP_CWORD]}"
    cur=$REPLY
    COMPREPLY=()
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} == -- ]]; then
            _vexo_words=(vexo "${COMP_WORDS[@]:i+1}")
            _vexo_args $((COMP_CWORD - i))
            return
        fi
    done
    case $prev in
        --card|--card2|--trace) _vexo_add -f; return ;;
        --capacity|--player-version|--seed) return ;;
        --fault) _vexo_add -W "no-port no-card never-ready no-cid read-crc write-crc
            busy-forever no-stop pull pull-after early-data status-glitch silent drop-send corrupt-send
            hangup drop-receive corrupt-receive refuse-reads fail-verify no-version pull-slot1 pull-slot2"; return ;;
    esac
    _vexo_add -W "--card --card2 --capacity --trace --fast --fault --baud
        --seed --player-version --version --help --"
}

complete -o filenames -F _vexo vexo
complete -o filenames -F _vexo_sim vexo-sim
