#!/usr/bin/env bash
# Salvage peer: the sqlite3 shell's ".recover" on a (damaged) database file, its rows written into
# a new database OUTPUT under the original table names, rows it cannot place in "lost_and_found".
#   bench/recover_peer.sh INPUT.mdb OUTPUT.db [build-dir]
# The build folder (argument, else $K5_BUILD_DIR, else ./build) must hold bench/k5recover.so.
# Exit 0 when .recover ran, however little it found; otherwise 2 and one line on stderr.
set -uo pipefail

fail() {
    echo "recover_peer: $*" >&2
    exit 2
}
# Why a shell failed: the first line of its error output, else its exit status.
why() {
    local line
    line=$(grep -m1 -v '^[[:space:]]*$' "$1" | cut -c1-300)
    echo "${line:-exit status $2}"
}

[ $# -eq 2 ] || [ $# -eq 3 ] || fail "usage: recover_peer.sh INPUT.mdb OUTPUT.db [build-dir]"
in=$1
out=$2
build=${3:-${K5_BUILD_DIR:-./build}}
ext="$build/bench/k5recover"
command -v sqlite3 >/dev/null || fail "sqlite3 not found (package sqlite3)"
[ -f "$ext.so" ] || fail "$ext.so not found: build the target k5recover or give the build folder"
[[ -f $in && -r $in ]] || fail "cannot read $in"
[ -e "$out" ] && [ "$in" -ef "$out" ] && fail "the output would overwrite the input"
outdir=$(dirname -- "$out")
[[ -d $outdir && -w $outdir ]] || fail "cannot write into $outdir"

# Work beside the output, so that the finished file takes its name in one rename.
work=$(mktemp -d "$outdir/.recover_peer.XXXXXX") || fail "cannot create a work folder in $outdir"
trap 'rm -rf -- "$work"' EXIT
# Absolute paths: a name that starts with "file:" would otherwise be read as a URI.
inpath=$(realpath -- "$in")
extpath=$(realpath -- "$ext")

# The input is opened read-only. The extension gives every connection of both shells the page table
# and the text order: .recover re-creates each table through a connection of its own, and drops,
# without a word, a table whose definition names a collation that connection lacks.
# (bash's own report of a shell killed by a signal goes to /dev/null: one line on stderr only.)
status=$(
    {
        sqlite3 -readonly -cmd ".load $extpath" "$inpath" ".recover --lost-and-found lost_and_found" \
            2>"$work/recover.err" |
            sqlite3 -bail -cmd ".load $extpath" "$work/out.db" >"$work/write.out" 2>"$work/write.err"
        echo "${PIPESTATUS[@]}"
    } 2>/dev/null
)
read -r -a status <<<"$status"
# A writer that stops early takes .recover down with it (SIGPIPE): the reader's own message first.
if [ "${status[0]}" -ne 0 ] && [ -s "$work/recover.err" ]; then
    fail ".recover failed on $in: $(why "$work/recover.err" "${status[0]}")"
fi
# The recovered SQL inserts with OR IGNORE: a failed statement means the output was not written.
if [ "${status[1]}" -ne 0 ]; then
    fail "cannot write $out: $(why "$work/write.err" "${status[1]}")"
fi
[ "${status[0]}" -eq 0 ] || fail ".recover failed on $in: exit status ${status[0]}"
sync -f "$work/out.db" 2>/dev/null
mv -f -- "$work/out.db" "$out" || fail "cannot move the result to $out"
exit 0
