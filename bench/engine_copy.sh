#!/usr/bin/env bash
# Copies a table of ROWS rows (with a secondary index) through the engine's row interface and,
# on the same data in the same run, with the sqlite3 shell: VACUUM INTO and a bulk
# INSERT INTO ... SELECT into an identical empty table. Prints the times and the ratios.
#   bench/engine_copy.sh [build-dir] [rows] [work-dir]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build-engine}"
rows="${2:-1000000}"
work="${3:-$(mktemp -d "${TMPDIR:-/tmp}/k5bench-XXXXXX")}"
bench="$build/bench/engine_copy_bench"
ext="$build/bench/k5collation"
for tool in sqlite3 bc /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "$tool not found (packages sqlite3, bc, time)" >&2; exit 2; }
done
[ -x "$bench" ] || { echo "build engine_copy_bench and k5collation first ($bench)" >&2; exit 2; }
mkdir -p "$work"
rm -f "$work"/src.mdb "$work"/rows.mdb "$work"/vacuum.mdb "$work"/bulk.mdb
# Wall and CPU seconds of one command: the machine may be shared, so CPU time is shown too.
measure() {
    local out="$1"; shift
    /usr/bin/time -f "%e %U %S" -o "$work/$out.time" "$@"
    sync
    read -r wall user sys < "$work/$out.time"
    eval "${out}_wall=$wall; ${out}_cpu=$(echo "$user + $sys" | bc -l)"
}

echo "rows: $rows, work folder: $work, $(sqlite3 -version | cut -d' ' -f1-2)"
"$bench" make "$work/src.mdb" "$rows"
sync
echo "source: $(du -h "$work/src.mdb" | cut -f1)"

measure vacuum sqlite3 -cmd ".load $ext" "$work/src.mdb" "VACUUM INTO '$work/vacuum.mdb'"

# An identical empty table (same schema text, unique index live, secondary index built after).
table_sql=$(sqlite3 "$work/src.mdb" "SELECT sql || ';' FROM sqlite_schema WHERE type = 'table' AND name = 'Docs'")
unique_sql=$(sqlite3 "$work/src.mdb" "SELECT sql || ';' FROM sqlite_schema WHERE type = 'index' AND tbl_name = 'Docs' AND sql LIKE 'CREATE UNIQUE%'")
other_sql=$(sqlite3 "$work/src.mdb" "SELECT sql || ';' FROM sqlite_schema WHERE type = 'index' AND tbl_name = 'Docs' AND sql NOT LIKE 'CREATE UNIQUE%'")
cat > "$work/bulk.sql" <<SQL
PRAGMA cache_size=-32768;
$table_sql
$unique_sql
ATTACH '$work/src.mdb' AS src;
BEGIN;
INSERT INTO main.Docs SELECT * FROM src.Docs;
$other_sql
COMMIT;
SQL
measure bulk sh -c 'sqlite3 -bail -cmd ".load $1" "$2" < "$3"' bulk "$ext" "$work/bulk.mdb" "$work/bulk.sql"

measure rows "$bench" copy "$work/src.mdb" "$work/rows.mdb"

bulkcheck=$(sqlite3 -cmd ".load $ext" "$work/bulk.mdb" "SELECT count(*) FROM Docs")
[ "$bulkcheck" = "$rows" ] || { echo "bulk copy holds $bulkcheck rows, expected $rows" >&2; exit 1; }
check=$(sqlite3 -cmd ".load $ext" "$work/rows.mdb" "SELECT count(*) FROM Docs")
[ "$check" = "$rows" ] || { echo "row copy holds $check rows, expected $rows" >&2; exit 1; }

ratio() { echo "$1 / $2" | bc -l; }
printf '%-48s %9s %9s\n' "" "wall s" "cpu s"
printf '%-48s %9.2f %9.2f\n' "sqlite3 shell VACUUM INTO" "$vacuum_wall" "$vacuum_cpu"
printf '%-48s %9.2f %9.2f\n' "sqlite3 shell bulk INSERT INTO ... SELECT" "$bulk_wall" "$bulk_cpu"
printf '%-48s %9.2f %9.2f\n' "engine row interface (AddNew/SetValue/Update)" "$rows_wall" "$rows_cpu"
printf '%-48s %9.2f %9.2f\n' "ratio row interface / bulk insert" "$(ratio "$rows_wall" "$bulk_wall")" \
    "$(ratio "$rows_cpu" "$bulk_cpu")"
printf '%-48s %9.2f %9.2f\n' "ratio row interface / VACUUM INTO" "$(ratio "$rows_wall" "$vacuum_wall")" \
    "$(ratio "$rows_cpu" "$vacuum_cpu")"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
[ -n "${KEEP:-}" ] || rm -f "$work"/*.mdb "$work"/*.time "$work"/bulk.sql
