#!/usr/bin/env bash
# The bash completion, sourced into bash and asked as a Tab would ask it: it
# registers for datumsift, completes "ex" to export, offers exactly the
# commands and, per command, exactly the options that --help names, and host
# files after -d and for export's DEST.
#   completion.sh DATUMSIFT COMPLETION
set -uo pipefail
bin=$1 script=$2
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

# shellcheck source=/dev/null
source "$script" || { echo "FAIL: cannot source $script" >&2; exit 1; }
[[ $(complete -p datumsift 2>/dev/null) == "complete -F _datumsift datumsift" ]] ||
    fail "no completion registered for datumsift: $(complete -p datumsift 2>&1)"

# Completes the command line "$@" with the cursor in its last word; prints
# the offers one per line, sorted.
offers() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _datumsift
    printf '%s\n' "${COMPREPLY[@]}" | grep -v '^$' | sort
}
section() {
    awk -v want="$1" '/^[^ ]/ { in_section = index($0, want) == 1; next }
                      in_section && /^  [^ ]/ { print $1 }'
}
options_of() { tr ',' '\n' | grep -E '^--?[A-Za-z]' | sort -u; }
same() { # what expected got
    [ "$2" == "$3" ] || { fail "$1 (<: --help, >: completion)"; diff <(echo "$2") <(echo "$3") | grep '^[<>]' >&2; }
}

[ "$(offers datumsift ex)" == export ] || fail "datumsift ex<Tab> gives '$(offers datumsift ex)', not export"
[ "$(offers datumsift -d x.img --json mo)" == mount ] || fail "the command is not completed after global options"

top=$("$bin" --help)
commands=$(section "Subcommands:" <<<"$top" | sort)
globals=$(section "Options:" <<<"$top" | options_of)
same "commands differ" "$commands" "$(offers datumsift '')"
same "global options differ" "$globals" "$(offers datumsift -)"
for cmd in $commands; do
    help=$("$bin" "$cmd" --help)
    expected=$( (section "Options:" <<<"$help"; section "Global options" <<<"$help"; echo "$globals") | options_of)
    same "options of $cmd differ" "$expected" "$(offers datumsift -d x.img "$cmd" -)"
done

# Host files where a host file is wanted, and nothing where the argument is
# a path inside the datastore.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
touch disk0.img disk0.map
[ "$(offers datumsift -d dis)" == "$(printf 'disk0.img\ndisk0.map')" ] || fail "-d does not complete host files"
[ "$(offers datumsift -d disk0.img --mapfile disk0.m)" == disk0.map ] || fail "--mapfile does not complete host files"
[ "$(offers datumsift -d disk0.img export /vm1/a.vmdk disk0.i)" == disk0.img ] || fail "export DEST does not complete host files"
[ -z "$(offers datumsift -d disk0.img export dis)" ] || fail "export SRC (in the datastore) completes host files"
[ -z "$(offers datumsift -d disk0.img ls dis)" ] || fail "ls PATH (in the datastore) completes host files"
[ -z "$(offers datumsift --retries '')" ] || fail "--retries N offers words"

[ $status -eq 0 ] && echo "completion offers $(wc -w <<<"$commands") commands and their options"
exit $status
