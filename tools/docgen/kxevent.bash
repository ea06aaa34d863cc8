# bash completion for kxevent                                     -*- shell-script -*-
#
# The verbs, their subcommands and options come from the command's own table (the build writes
# them in below); key paths and event numbers from the command itself, run as the user typed it,
# so that they are those of the registry file it would read.

# @TABLE@

# Verbs that may be chained with --then, and what may follow it.
declare -g _kxevent_chained='send query resend'

# `word` as the shell will hand it to the command: quotes removed, backslash escapes resolved.
_kxevent_dequote() {
    local word=$1 out='' quote='' c i
    for ((i = 0; i < ${#word}; i++)); do
        c=${word:i:1}
        if [[ $quote == "'" ]]; then
            [[ $c == "'" ]] && quote='' || out+=$c
        elif [[ $quote == '"' ]]; then
            if [[ $c == '"' ]]; then
                quote=''
            elif [[ $c == '\' && ${word:i+1:1} == [\"\\\$\`] ]]; then
                out+=${word:i+1:1}
                ((i++))
            else
                out+=$c
            fi
        elif [[ $c == "'" || $c == '"' ]]; then
            quote=$c
        elif [[ $c == '\' ]]; then
            out+=${word:i+1:1}
            ((i++))
        else
            out+=$c
        fi
    done
    printf '%s' "$out"
}

# Offers those of the candidates (one a line on standard input) that start with the word being
# completed, quoted as the word was: inside an opened quote as they are, else escaped.
_kxevent_offer() {
    local raw=$1 typed candidate
    typed=$(_kxevent_dequote "$raw")
    while IFS= read -r candidate; do
        [[ -n $candidate && $candidate == "$typed"* ]] || continue
        if [[ $raw == [\'\"]* ]]; then
            COMPREPLY+=("$candidate")
        else
            COMPREPLY+=("$(printf '%q' "$candidate")")
        fi
    done
}

# The key paths of the registry file (the one --file named, when given), as `reg export` prints
# them: the full path when the word starts like HKEY_LOCAL_MACHINE, else the shorter form below
# it that the command takes too.
_kxevent_keys() {
    local command=$1 typed=$2 line
    local -a file=()
    [[ -n $3 ]] && file=(--file "$3")
    "$command" reg "${file[@]}" export 2>/dev/null </dev/null | while IFS= read -r line; do
        line=${line%$'\r'}
        [[ $line == '['*']' ]] || continue
        line=${line:1:${#line}-2}
        if [[ -n $typed && ${typed^^} == HKEY* ]]; then
            printf '%s\n' "$line"
        else
            printf '%s\n' "${line#*\\}"
        fi
    done
}

# The catalogue's languages: the four-digit keys below Events.
_kxevent_languages() {
    local key
    _kxevent_keys "$1" '' | while IFS= read -r key; do
        [[ $key =~ \\Events\\([0-9]{4})$ ]] && printf '%s\n' "${BASH_REMATCH[1]}"
    done | sort -u
}

# The event numbers, the first field of each line of `kxevent events`; nothing when the command
# has no such verb or cannot read its registry.
_kxevent_events() {
    local number rest
    "$1" events 2>/dev/null </dev/null | while read -r number rest; do
        [[ $number =~ ^[0-9]+$ ]] && printf '%s\n' "$number"
    done
}

# Completes the value of an option by its placeholder in the table.
_kxevent_value() {
    local command=$1 option=$2 placeholder=$3 cur=$4
    case $placeholder in
        *'|'*) _kxevent_offer "$cur" < <(printf '%s\n' ${placeholder//|/ }) ;;
        DIR)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -d -- "$cur")
            ;;
        FILE | PATH | REGFILE)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            ;;
        LLSS) _kxevent_offer "$cur" < <(_kxevent_languages "$command") ;;
        *) [[ $option == --event ]] && _kxevent_offer "$cur" < <(_kxevent_events "$command") ;;
    esac
}

_kxevent() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local command=${COMP_WORDS[0]} verb='' subcommand='' regfile='' word i
    local -a operands=()
    COMPREPLY=()
    command=$(_kxevent_dequote "$command")
    command=${command/#\~/$HOME}

    # Walk the words before the cursor: the verb (a new one after --then), its subcommand, the
    # operands after it; an option's value is no operand.
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -z $verb ]]; then
            verb=$word
            continue
        fi
        if [[ $word == --then && " $_kxevent_chained " == *" $verb "* ]]; then
            verb='' subcommand='' operands=()
            continue
        fi
        if [[ -n ${_kxevent_values["$verb $word"]+set} ]]; then
            [[ $verb == reg && $word == --file ]] && regfile=$(_kxevent_dequote "${COMP_WORDS[i + 1]}")
            ((i++))
            continue
        fi
        [[ $word == -* ]] && continue
        if [[ -n ${_kxevent_subcommands[$verb]+set} && -z $subcommand ]]; then
            subcommand=$word
        else
            operands+=("$word")
        fi
    done

    if [[ -z $verb ]]; then
        if ((COMP_CWORD == 1)); then
            COMPREPLY=($(compgen -W "$_kxevent_verbs --help --version" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$_kxevent_chained" -- "$cur"))
        fi
        return 0
    fi
    [[ -n ${_kxevent_options[$verb]+set} ]] || return 0

    if [[ -n ${_kxevent_values["$verb $prev"]+set} ]]; then
        _kxevent_value "$command" "$prev" "${_kxevent_values["$verb $prev"]}" "$cur"
        return 0
    fi
    if [[ $cur == -* ]]; then
        local offered=${_kxevent_options[$verb]}
        [[ " $_kxevent_chained " == *" $verb "* ]] && offered+=' --then'
        COMPREPLY=($(compgen -W "$offered" -- "$cur"))
        return 0
    fi
    if [[ -n ${_kxevent_subcommands[$verb]+set} && -z $subcommand ]]; then
        COMPREPLY=($(compgen -W "${_kxevent_subcommands[$verb]}" -- "$cur"))
        return 0
    fi
    case "$verb $subcommand" in
        'reg export' | 'reg query' | 'reg set' | 'reg delete')
            ((${#operands[@]} == 0)) && _kxevent_offer "$cur" < <(_kxevent_keys "$command" "$(_kxevent_dequote "$cur")" "$regfile")
            ;;
        'reg import' | 'alert show')
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            ;;
    esac
    return 0
} && complete -F _kxevent kxevent

# ex: filetype=sh
