#!/usr/bin/env bash
# The manual page against the program: every command, option, argument and
# exit status that --help and COMMAND --help name (and that src/cli/output.h
# defines) is in docs/datumsift.1, and the page names nothing else; its
# version is the program's; groff and man render it without a warning.
#   man_page.sh DATUMSIFT PAGE OUTPUT_H
set -uo pipefail
bin=$1 page=$2 output_h=$3
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

# The first word of each line of a section of a help text ("Options:",
# "Positionals:", "Subcommands:", "Global options ..."); a section ends at
# the next line that starts in the first column.
section() {
    awk -v want="$1" '/^[^ ]/ { in_section = index($0, want) == 1; next }
                      in_section && /^  [^ ]/ { print $1 }'
}
options_of() { tr ',' '\n' | grep -E '^--?[A-Za-z]'; }

# What the program says, as records "global OPT", "command C", "option C OPT",
# "argument C NAME", "exit N".
from_program() {
    local top cmd help
    top=$("$bin" --help) || { fail "datumsift --help failed"; return; }
    section "Options:" <<<"$top" | options_of | sed 's/^/global /'
    # Exit statuses are listed after "Exit status:" up to the sentence's end.
    awk '/^Exit status:/ { on = 1 } on { printf "%s ", $0 } on && /\.$/ { exit }' <<<"$top" |
        grep -oE '(: |, )[0-9]+ ' | tr -dc '0-9\n ' | awk '{ print "exit " $1 }'
    grep -oE 'kExit[A-Za-z]+ = [0-9]+' "$output_h" | awk '{ print "exit " $3 }'
    for cmd in $(section "Subcommands:" <<<"$top"); do
        echo "command $cmd"
        help=$("$bin" "$cmd" --help) || { fail "datumsift $cmd --help failed"; continue; }
        section "Options:" <<<"$help" | options_of | grep -vxE -- '-h|--help' | sed "s/^/option $cmd /"
        section "Positionals:" <<<"$help" | sed "s/^/argument $cmd /"
        section "Global options" <<<"$help" | options_of | sed 's/^/global /'
    done
}

# What the page says: the tags of .TP paragraphs under OPTIONS, under each
# command's .SS heading in COMMANDS and under EXIT STATUS, and each
# heading's command and arguments.
from_page() {
    awk '
        function plain(s) {
            gsub(/\\f[BIRP]/, "", s); gsub(/\\-/, "-", s); gsub(/\\&|\\c|\\\|\\\.|"/, "", s)
            sub(/^\.[A-Z]+ */, "", s); return s
        }
        function options(s, prefix,   n, i, w) {
            n = split(s, w, /[ ,]+/)
            for (i = 1; i <= n; i++) if (w[i] ~ /^--?[A-Za-z][A-Za-z0-9-]*$/) print prefix w[i]
        }
        /^\.SH / { sh = plain($0); cmd = ""; next }
        /^\.SS / && sh == "COMMANDS" {
            n = split(plain($0), w, /[ \[\]]+/); cmd = w[1]; print "command " cmd
            for (i = 2; i <= n; i++) if (w[i] ~ /^[A-Z][A-Z]+$/) print "argument " cmd " " w[i]
            next
        }
        /^\.TP/ { tag = 1; next }
        tag {
            tag = 0; t = plain($0)
            if (sh == "OPTIONS") options(t, "global ")
            else if (sh == "COMMANDS" && cmd != "") options(t, "option " cmd " ")
            else if (sh == "EXIT STATUS") print "exit " t
        }' "$page"
}

program=$(from_program | sort -u)
documented=$(from_page | sort -u)
[ "$(grep -c '^command ' <<<"$program")" -ge 10 ] || fail "too few commands read from --help: $program"
[ "$(grep -c '^global ' <<<"$program")" -ge 8 ] || fail "too few global options read from --help"
[ "$(grep -c '^exit ' <<<"$program")" -ge 4 ] || fail "too few exit statuses read from --help and output.h"
if [ "$program" != "$documented" ]; then
    fail "the manual page and the program disagree (<: only in the program, >: only in the page)"
    diff <(echo "$program") <(echo "$documented") | grep '^[<>]' >&2
fi

# Every host file the help pages say a command writes beside DEST has its
# entry under FILES.
written=$( ("$bin" --help; for cmd in $(grep '^command ' <<<"$program" | cut -d' ' -f2); do "$bin" "$cmd" --help; done) |
    grep -oE 'DEST\.[a-z.]*[a-z]' | sort -u)
[ -n "$written" ] || fail "no file written beside DEST found in the help pages"
files=$(awk '/^\.SH / { on = $2 == "FILES" } on && tag { print; tag = 0 } /^\.TP/ { tag = 1 }' "$page" | sed 's/\\f[BIRP]//g; s/^\.[A-Z]* *//; s/ //g')
for f in $written; do grep -qxF "$f" <<<"$files" || fail "FILES has no entry for $f"; done

# The page's version is the program's.
version=$("$bin" --version | awk '{ print $2 }')
grep -q "^\.TH DATUMSIFT 1 \"[0-9-]*\" \"datumsift $version\"" "$page" ||
    fail "the page's .TH line does not name datumsift $version"

# Rendered without a warning, by groff with all warnings and by man.
warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"
if command -v man >/dev/null; then
    rendered=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    [ -z "$rendered" ] || fail "man -l warns: $rendered"
    MANWIDTH=80 man -E UTF-8 -l "$page" 2>/dev/null | grep -q "^EXIT STATUS" || fail "man -l shows no EXIT STATUS"
else
    echo "man not found: checked with groff only"
fi

[ $status -eq 0 ] && echo "manual page matches the program: $(wc -l <<<"$program") items"
exit $status
