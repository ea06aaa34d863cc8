#!/bin/bash
# shellcheck disable=SC2317  # the check functions are called by run_checks
# man_pages_test.sh MANDIR KXEVENT: the generated manual pages format without a single groff
# or man warning (lintian reads them the same way), and kxevent(1) describes every verb and
# option the built command's own help names.
set -u
mandir=$1 kxevent=$2
# shellcheck source=SCRIPTDIR/checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

pages=("$mandir/man1/kxevent.1" "$mandir/man5/kxevent.reg.5" "$mandir/man8/kxevent-collect.8")

pages_format_without_warnings() {
    local page out
    for page in "${pages[@]}"; do
        [[ -s $page ]] || { fail "$page is missing or empty"; continue; }
        out=$(groff -man -ww -z "$page" 2>&1)
        [[ -z $out ]] || fail "groff warns about $page: $out"
        out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
            man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
        [[ -z $out ]] || fail "man warns about $page: $out"
        grep -q '^\.SH NAME$' "$page" || fail "$page has no NAME section"
        sed -n '/^\.SH NAME$/{n;p}' "$page" | grep -q ' \\- ' ||
            fail "$page: the NAME line has no 'name \\- summary' form"
    done
}

page_names_every_verb_and_option_of_the_help() {
    local rendered verb option
    rendered=$(MANWIDTH=200 man -l "$mandir/man1/kxevent.1" 2>/dev/null)
    while read -r verb _; do
        "$kxevent" "$verb" --help >/dev/null 2>&1 || continue
        grep -q "^\.SS .*\b$verb\b" "$mandir/man1/kxevent.1" || fail "kxevent.1 has no section for $verb"
        for option in $("$kxevent" "$verb" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
            grep -q -- "$option" <<<"$rendered" || fail "kxevent.1 does not name $verb $option"
        done
    done < <("$kxevent" --help | sed -n 's/^  \([a-z][a-z]*\) .*/\1/p')
}

pages_refer_to_each_other() {
    grep -q 'kxevent.reg' "$mandir/man1/kxevent.1" || fail "kxevent.1 does not point to kxevent.reg(5)"
    grep -q 'kxevent\\-collect\|kxevent-collect' "$mandir/man1/kxevent.1" ||
        fail "kxevent.1 does not point to kxevent-collect(8)"
}

# kxevent-collect(8) says what collector.md says of each entry, word for word: both come from
# that one section.
collector_page_holds_collector_md_section() {
    local doc rendered item
    doc="$(dirname "${BASH_SOURCE[0]}")/../../../docs/collector.md"
    rendered=$(MANWIDTH=1000 man -l "$mandir/man8/kxevent-collect.8" 2>/dev/null | col -b | tr -s ' \n' ' ')
    while read -r item; do
        [[ -n $item ]] || continue
        grep -qF -- "$item" <<<"$rendered" || fail "kxevent-collect.8 lacks: $item"
    done < <(sed -n '/^### What it does with each entry$/,/^#/{/^#/d;p}' "$doc" |
        tr -d '`' | tr -s ' \n' ' ' | sed 's/ - /\n/g' | cut -c1-60)
    [[ $(sed -n '/^### What it does with each entry$/,/^#/p' "$doc" | grep -c '^- ') -ge 8 ]] ||
        fail "collector.md has no section 'What it does with each entry'"
}

run_checks "man pages" \
    pages_format_without_warnings \
    collector_page_holds_collector_md_section \
    page_names_every_verb_and_option_of_the_help \
    pages_refer_to_each_other
