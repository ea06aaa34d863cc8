#!/bin/bash
# shellcheck disable=SC2317  # the check functions are called by run_checks
# completion_test.sh COMPLETION KXEVENT TEMPLATE INSTALLDIR: the generated bash completion,
# sourced into this bash and called as readline would call it, against the built command and
# real registry files made from the default template.
set -u
completion=$1 kxevent=$2 template=$3 installdir=$4
# shellcheck source=SCRIPTDIR/checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 700 "$work"
sed -e "s|@KXEVENT_INSTALL_DIR@|$installdir|" -e "s|@KXEVENT_STATE_DIR@|$work|" \
    "$template" >"$work/hklm.reg"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Other Place\\Only Here]\r\n"x"="1"\r\n' \
    >"$work/other.reg"
chmod 600 "$work/hklm.reg" "$work/other.reg"
export VEL_REGISTRY=$work/hklm.reg HOME=$work XDG_STATE_HOME=$work/state

# shellcheck source=/dev/null
source "$completion"

# complete WORD...: COMPREPLY for the last word, one a line, into $reply; what the completion
# wrote to standard error into $errors.
complete_words() {
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _kxevent 2>"$work/stderr"
    errors=$(<"$work/stderr")
    reply=$(printf '%s\n' "${COMPREPLY[@]}")
    [[ ${#COMPREPLY[@]} -eq 0 ]] && reply=''
}

offers() {  # offers LINE: $reply holds LINE
    grep -qxF -- "$1" <<<"$reply"
}

it_is_registered_for_kxevent() {
    [[ $(complete -p kxevent 2>/dev/null) == 'complete -F _kxevent kxevent' ]] ||
        fail "no 'complete -F _kxevent kxevent'"
}

first_word_offers_every_verb_of_the_command() {
    local verb
    complete_words "$kxevent" ''
    while read -r verb _; do
        offers "$verb" || fail "verb $verb not offered: $reply"
    done < <("$kxevent" --help | sed -n 's/^  \([a-z][a-z]*\) .*/\1/p')
    offers --version || fail "--version not offered"
    complete_words "$kxevent" co
    [[ $reply == collect ]] || fail "'co' gave '$reply'"
}

# The options of the usage lines of `verb` in its help (send, query and resend share one help).
usage_options() {
    "$kxevent" "$1" --help | awk -v verb="$1" '
        /^$/ { exit }
        / kxevent [a-z]+/ { match($0, / kxevent [a-z]+/); current = substr($0, RSTART + 9, RLENGTH - 9) }
        current == verb { print }' | grep -o -- '--[a-z][a-z-]*' | sort -u
}

each_verb_offers_the_options_its_usage_names() {
    local verb option
    for verb in $(sed -n "s/^declare -g _kxevent_verbs='\(.*\)'/\1/p" "$completion"); do
        complete_words "$kxevent" "$verb" -
        for option in $(usage_options "$verb"); do
            offers "$option" || fail "$verb: $option not offered: $reply"
        done
    done
    complete_words "$kxevent" query --
    offers --suppress && fail "query offers --suppress, which it refuses"
    complete_words "$kxevent" doctor -
    [[ $reply == $'--json\n--help' ]] || fail "doctor offered '$reply'"
}

then_starts_a_new_chained_verb() {
    complete_words "$kxevent" send --product 1 --event 1000 --then ''
    [[ $reply == $'send\nquery\nresend' ]] || fail "after --then: '$reply'"
    complete_words "$kxevent" send --product 1 --then resend --
    offers --virus && fail "resend after --then offers --virus"
    offers --task || fail "resend after --then does not offer --task"
}

subcommands_then_key_paths_of_the_registry_file() {
    complete_words "$kxevent" reg ''
    [[ $reply == $'import\nexport\nquery\nset\ndelete' ]] || fail "reg gave '$reply'"
    complete_words "$kxevent" reg query 'Software\\Velmora\\QRD\\Shared\ Components\\Brisa\\Al'
    [[ $reply == 'Software\\Velmora\\QRD\\Shared\ Components\\Brisa\\Alerting' ]] ||
        fail "escaped key: '$reply'"
    complete_words "$kxevent" reg set "'HKEY_LOCAL_MACHINE\\Software\\Velmora\\QRD\\Shared Components\\Events\\Forwarding"
    [[ $reply == $'HKEY_LOCAL_MACHINE\\Software\\Velmora\\QRD\\Shared Components\\Events\\Forwarding\nHKEY_LOCAL_MACHINE\\Software\\Velmora\\QRD\\Shared Components\\Events\\Forwarding\\Syslog' ]] ||
        fail "quoted full key: '$reply'"
    complete_words "$kxevent" reg --file "$work/other.reg" delete ''
    [[ $reply == 'Software\\Other\ Place\\Only\ Here' ]] || fail "--file's keys: '$reply'"
    complete_words "$kxevent" reg query 'Software\\Velmora\\QRD\\Shared\ Components\\Brisa\\Alerting' ''
    [[ -z $reply ]] || fail "a value name was completed as a key: '$reply'"
    [[ -z $errors ]] || fail "key completion wrote: $errors"
}

a_missing_registry_offers_nothing_quietly() {
    VEL_REGISTRY=$work/none.reg complete_words "$kxevent" reg query S
    [[ -z $reply && -z $errors ]] || fail "no registry: '$reply' '$errors'"
}

option_values_by_their_placeholder() {
    complete_words "$kxevent" reg set K N 1 --type d
    [[ $reply == dword ]] || fail "--type d: '$reply'"
    mkdir "$work/dir.d" && : >"$work/file.reg"
    complete_words "$kxevent" collect --dir "$work/"
    offers "$work/dir.d" || fail "--dir: '$reply'"
    offers "$work/file.reg" && fail "--dir offered a file"
    complete_words "$kxevent" reg import "$work/fi"
    [[ $reply == "$work/file.reg" ]] || fail "import FILE: '$reply'"
    : >"$work/with space.ALR"
    complete_words "$kxevent" alert show "$work/with"
    [[ ${#COMPREPLY[@]} -eq 1 && $reply == "$work/with space.ALR" ]] ||
        fail "a name with a blank was split: '$reply'"
}

event_numbers_come_from_the_events_verb() {
    # The command as built: without an events verb, nothing is offered and nothing is said.
    complete_words "$kxevent" send --product 1 --event ''
    if "$kxevent" events >/dev/null 2>&1; then
        [[ -n $reply ]] || fail "events lists events, but none offered"
    else
        [[ -z $reply && -z $errors ]] || fail "no events verb: '$reply' '$errors'"
    fi
    # A command whose events verb lists two events: their numbers, filtered by what is typed.
    cat >"$work/kxevent" <<'END'
#!/bin/bash
[[ $1 == events ]] && printf '1000  3  Virus found\n1011  0  Scan completed\n'
END
    chmod 700 "$work/kxevent"
    complete_words "$work/kxevent" query --product 1 --event 10
    [[ $reply == $'1000\n1011' ]] || fail "events: '$reply'"
    complete_words "$work/kxevent" query --product 1 --event 1001
    [[ -z $reply ]] || fail "1001 matched '$reply'"
}

run_checks "completion" \
    it_is_registered_for_kxevent \
    first_word_offers_every_verb_of_the_command \
    each_verb_offers_the_options_its_usage_names \
    then_starts_a_new_chained_verb \
    subcommands_then_key_paths_of_the_registry_file \
    a_missing_registry_offers_nothing_quietly \
    option_values_by_their_placeholder \
    event_numbers_come_from_the_events_verb
