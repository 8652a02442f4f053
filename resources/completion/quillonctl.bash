# bash completion for quillonctl
#
# Commands, options and setting keys are read from quillonctl's own help texts and profile names from
# 'quillonctl list', so the completion follows whatever the installed quillonctl knows.

_quillonctl_commands() {
    quillonctl --help 2>/dev/null | awk '/^Commands:/ { on = 1; next } /^[^ ]/ { on = 0 } on && NF { print $1 }'
}

_quillonctl_options() {
    # The option column of the help: indented lines that start with a dash, up to the description.
    quillonctl "$1" --help 2>/dev/null | sed -n -E 's/^ +(-.*)/\1/p' | sed -E 's/   *.*//' |
        grep -o -E -- '--?[A-Za-z][A-Za-z0-9-]*' | sort -u
}

_quillonctl_keys() {
    quillonctl get --help 2>/dev/null | awk '/^Keys:/ { on = 1; next } /^[^ ]/ { on = 0 } on && /^  [A-Za-z]/ { print $1 }'
}

# Profile names, one a line; a list line is a two-column marker, the identifier, two spaces, the name.
_quillonctl_profiles() {
    quillonctl list 2>/dev/null | sed -n -E 's/^.. *[0-9]+  (.*)$/\1/p'
}

# Fills COMPREPLY with the lines of $1 that start with the word being completed, quoted for the shell.
# A word opened with a quote keeps that quote and gets it closed.
_quillonctl_reply_lines() {
    local candidates=$1 cur=$2 quote= line
    case $cur in
    \'* | \"*)
        quote=${cur:0:1}
        cur=${cur:1}
        ;;
    esac
    COMPREPLY=()
    while IFS= read -r line; do
        [[ -n $line && $line == "$cur"* ]] || continue
        if [[ -n $quote ]]; then
            COMPREPLY+=("$quote$line$quote")
        else
            COMPREPLY+=("$(printf '%q' "$line")")
        fi
    done <<<"$candidates"
}

_quillonctl_files() {
    if declare -F _filedir >/dev/null; then
        _filedir
    else
        local IFS=$'\n'
        COMPREPLY=($(compgen -f -- "$1"))
    fi
}

_quillonctl() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()

    if ((COMP_CWORD == 1)); then
        _quillonctl_reply_lines "$(_quillonctl_commands; printf '%s\n' --help --version)" "$cur"
        return 0
    fi

    local command=${COMP_WORDS[1]}
    if [[ $cur == -* ]]; then
        _quillonctl_reply_lines "$(_quillonctl_options "$command")" "$cur"
        return 0
    fi
    case $prev in
    -o | --output | --passphrase-file)
        _quillonctl_files "$cur"
        return 0
        ;;
    --interval)
        return 0
        ;;
    esac

    # Position of the word among the command's arguments, options left out.
    local i position=0
    for ((i = 2; i < COMP_CWORD; i++)); do
        [[ ${COMP_WORDS[i]} == -* ]] || ((position++))
    done

    case $command in
    show | delete | edit)
        ((position == 0)) && _quillonctl_reply_lines "$(_quillonctl_profiles)" "$cur"
        ;;
    rename)
        ((position == 0)) && _quillonctl_reply_lines "$(_quillonctl_profiles)" "$cur"
        ;;
    activate)
        ((position == 0)) && _quillonctl_reply_lines "$(_quillonctl_profiles; echo none)" "$cur"
        ;;
    export)
        _quillonctl_reply_lines "$(_quillonctl_profiles)" "$cur"
        ;;
    import | fingerprint)
        ((position == 0)) && _quillonctl_files "$cur"
        ;;
    get)
        ((position == 0)) && _quillonctl_reply_lines "$(_quillonctl_keys)" "$cur"
        ;;
    set)
        if ((position == 0)); then
            _quillonctl_reply_lines "$(_quillonctl_keys)" "$cur"
        elif ((position == 1)) && [[ $prev != sshTunnelVerbosity ]]; then
            _quillonctl_reply_lines "$(printf '%s\n' true false yes no)" "$cur"
        fi
        ;;
    esac
    return 0
}

complete -F _quillonctl quillonctl
