#!/bin/sh
# The whole headless maintenance run on the large demo folder, against the plain tools on
# the same main file in the same run: cp, the sqlite3 shell's VACUUM INTO and zip -1.
# Prints every time, the ratio of our run to their sum, and our peak memory.
#   bench/full_run.sh [build folder]
# BENCH_WORK names the work folder (default: <build>/bench/full); the demo folder made
# there is kept for later runs, every run works on a fresh copy of it. BENCH_FLAGS replaces
# the run's option flags (default: every option on). The sqlite3 shell needs the engine's
# text order for VACUUM: the extension of the target k5collation is loaded when built.
# BENCH_PIN runs our program under a command, e.g. "taskset -c 0" for one core.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
work=${BENCH_WORK:-$build/bench/full}
prog=$build/app/K5VedovodeduzOR
demo=$build/tools/k5demo
[ -x "$prog" ] && [ -x "$demo" ] || { echo "build K5VedovodeduzOR and k5demo first" >&2; exit 2; }
mkdir -p "$work"

if [ ! -s "$work/demo/Korund5.mdb" ]; then
    echo "making the large demo folder in $work/demo ..."
    "$demo" "$work/demo" --scale large --seed 1 > /dev/null
fi
main=$work/demo/Korund5.mdb
size=$(stat -c %s "$main")

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
calc() { awk "BEGIN { printf \"%.2f\", $1 }"; }

# A fresh copy of the demo folder for our run (the run replaces the main file).
run=$work/run
rm -rf "$run" "$work/trash"
cp -r "$work/demo" "$run"
rm -rf "$run/Профилактика_БД"
sync

t0=$(now)
flags=${BENCH_FLAGS:---remove-orphaned --remove-orphaned-bigdocs --compact-bigdocs --zip-and-rename}
# shellcheck disable=SC2086
XDG_DATA_HOME=$work/trash /usr/bin/time -v -o "$work/time.txt" ${BENCH_PIN:-} "$prog" --batch --folder "$run" \
    $flags > "$work/protocol.txt" 2>&1 || code=$?
t1=$(now)
ours=$(elapsed "$t0" "$t1")
peak_kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")

rm -f "$work/copy.mdb" "$work/vacuum.mdb" "$work/zip1.zip"
t0=$(now); cp "$main" "$work/copy.mdb"; sync; t1=$(now); t_cp=$(elapsed "$t0" "$t1")
load=""
[ -e "$build/bench/k5collation.so" ] && load=".load $build/bench/k5collation"
# The demo's main file has a damaged row on purpose and VACUUM refuses it; the repaired
# file of our run (same tables, almost the same size) stands in for it then.
vac_src=$main
t0=$(now)
if ! sqlite3 -cmd "$load" "$main" "VACUUM INTO '$work/vacuum.mdb'" 2>/dev/null; then
    rm -f "$work/vacuum.mdb"
    vac_src=$run/Korund5.mdb
    t0=$(now)
    sqlite3 -cmd "$load" "$vac_src" "VACUUM INTO '$work/vacuum.mdb'"
fi
sync; t1=$(now); t_vac=$(elapsed "$t0" "$t1")
t0=$(now); zip -q -1 -j "$work/zip1.zip" "$main"; sync; t1=$(now); t_zip=$(elapsed "$t0" "$t1")
sum=$(calc "$t_cp + $t_vac + $t_zip")
ratio=$(calc "$ours / $sum")

echo "main file:                      $size bytes ($(calc "$size / 1073741824") GiB)"
echo "our headless run (exit ${code:-0}):       $ours s   flags: $flags"
echo "cp:                             $t_cp s"
echo "sqlite3 VACUUM INTO:            $t_vac s   ($vac_src, $(stat -c %s "$vac_src") bytes)"
echo "zip -1:                         $t_zip s"
echo "sum of the three:               $sum s"
echo "ratio ours / sum:               $ratio"
echo "peak memory of our run:         $peak_kb KB ($(calc "$peak_kb / 1024") MB)"
echo "protocol: $work/protocol.txt"
rm -f "$work/copy.mdb" "$work/vacuum.mdb" "$work/zip1.zip"
