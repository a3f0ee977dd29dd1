#!/bin/sh
# Archives one large database file with our zip library and with zip -1 / zip -6 in the
# same run, and prints times, sizes and ratios.
#   bench/zip_bench.sh [build folder] [file]
# Without a file: the main file of a large demo folder when the build has k5demo
# (BENCH_FILE may name any file), else a generated ~350 MB SQLite database with
# accounting-like data (Russian texts, numbers, dates, indexes, incompressible scans).
# ZIPBENCH_LEVELS="1 2 3 6" also times our library at those explicit deflate levels.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
file=${2:-${BENCH_FILE:-}}
work=${BENCH_WORK:-$build/bench/work}
mkdir -p "$work"

if [ -z "$file" ] && [ -x "$build/tools/k5demo" ]; then
    file=$work/demo/Korund5.mdb
    if [ ! -s "$file" ]; then
        echo "making the large demo folder in $work/demo ..."
        "$build/tools/k5demo" "$work/demo" --scale large --seed 1 > /dev/null
    fi
fi
if [ -z "$file" ]; then
    file=$work/bench.sqlite
    if [ ! -s "$file" ]; then
        echo "generating $file ..."
        rm -f "$file"
        sqlite3 "$file" > /dev/null <<'SQL'
PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;
CREATE TABLE Partners(id INTEGER PRIMARY KEY, name TEXT, inn TEXT, address TEXT);
CREATE TABLE Docs(id INTEGER PRIMARY KEY, doc_date TEXT, number TEXT, kind INTEGER, partner_id INTEGER,
                  amount REAL, vat REAL, note TEXT);
CREATE TABLE DocRows(id INTEGER PRIMARY KEY, doc_id INTEGER, line INTEGER, goods TEXT, qty REAL, price REAL,
                     account TEXT);
CREATE TABLE Attachments(id INTEGER PRIMARY KEY, doc_id INTEGER, kind TEXT, body BLOB);
WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT 20000)
INSERT INTO Partners SELECT x,
  'ООО "' || substr('СеверСтройТоргПромСнабКомплектАгроТрансИнвестМедЛес', 1 + abs(random() % 40), 4 + abs(random() % 9)) || ' ' || x || '"',
  printf('%010d', abs(random() % 10000000000)),
  'г. ' || substr('МоскваКазаньТверьОмскПермьУфаСамараТула', 1 + abs(random() % 30), 5) || ', ул. Ленина, д. ' || (1 + abs(random() % 150))
FROM c;
WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT 700000)
INSERT INTO Docs SELECT x, date('2015-01-01', '+' || (x / 250) || ' days'), 'ПН-' || printf('%07d', x),
  x % 9, 1 + abs(random() % 20000), round(abs(random() % 100000000) / 100.0, 2),
  round(abs(random() % 20000000) / 100.0, 2),
  CASE x % 4 WHEN 0 THEN 'Оплата по счёту № ' || (x % 9000) || ' от ' || date('2015-01-01', '+' || (x % 2500) || ' days')
             WHEN 1 THEN 'Поступление товаров и услуг, договор ' || (x % 700)
             WHEN 2 THEN NULL ELSE 'Возврат поставщику; акт сверки ' || hex(randomblob(4)) END
FROM c;
WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT 2400000)
INSERT INTO DocRows SELECT x, 1 + x / 4, 1 + x % 4,
  substr('Бумага офисная А4Картридж лазерныйСтол письменныйКресло офисноеЭлектроэнергия кВт·чАренда помещенияУслуги связи', 1 + abs(random() % 80), 12 + abs(random() % 20)),
  1 + abs(random() % 500), round(abs(random() % 10000000) / 100.0, 2),
  CASE x % 5 WHEN 0 THEN '10.01' WHEN 1 THEN '41.01' WHEN 2 THEN '60.01' WHEN 3 THEN '62.01' ELSE '90.02' END
FROM c;
WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT 6000)
INSERT INTO Attachments SELECT x, 1 + abs(random() % 700000), 'scan', randomblob(4000 + abs(random() % 8000)) FROM c;
CREATE INDEX DocsByDate ON Docs(doc_date, partner_id);
CREATE INDEX RowsByDoc ON DocRows(doc_id);
SQL
    fi
fi

zipbench=$build/bench/zipbench
[ -x "$zipbench" ] || { echo "build the zipbench target first: cmake --build $build --target zipbench" >&2; exit 1; }
size=$(stat -c %s "$file")
sync
cat "$file" > /dev/null # same warm page cache for every contender

# Wall and CPU seconds (user + system): the machine may be shared, and CPU time is what
# the compression itself costs. Each archive is flushed to disk inside the timing (ours
# flushes before it returns; zip is followed by sync of its archive).
timed() { # output file, command... -> "wall cpu size"
    out=$1; shift
    rm -f "$out"
    /usr/bin/time -f "%e %U %S" -o "$work/time.txt" "$@" > /dev/null
    read -r wall user sys < "$work/time.txt"
    echo "$wall $(echo "$user + $sys" | bc -l) $(stat -c %s "$out")"
}
row() { # name wall cpu bytes
    printf '%-16s %8.2f s wall %8.2f s cpu %12d bytes %6.1f %% of file %7.3f x zip -6 size\n' "$1" "$2" "$3" "$4" \
        "$(echo "100 * $4 / $size" | bc -l)" "$(echo "$4 / $z6b" | bc -l)"
}

set -- $(timed "$work/zip1.zip" sh -c 'zip -q -j -1 "$1" "$2" && sync "$1"' - "$work/zip1.zip" "$file"); z1w=$1; z1c=$2; z1b=$3
set -- $(timed "$work/zip6.zip" sh -c 'zip -q -j -6 "$1" "$2" && sync "$1"' - "$work/zip6.zip" "$file"); z6w=$1; z6c=$2; z6b=$3
set -- $(timed "$work/ours.zip" "$zipbench" "$file" "$work/ours.zip"); ow=$1; oc=$2; ob=$3

echo "file: $file ($size bytes), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
row "zip -1" "$z1w" "$z1c" "$z1b"
row "zip -6" "$z6w" "$z6c" "$z6b"
row "ours (default)" "$ow" "$oc" "$ob"
for l in ${ZIPBENCH_LEVELS:-}; do
    set -- $(timed "$work/ours$l.zip" "$zipbench" "$file" "$work/ours$l.zip" "$l")
    row "ours level $l" "$1" "$2" "$3"
done
unzip -tq "$work/ours.zip" > /dev/null && echo "ours.zip: unzip -t ok"
echo "wall time vs zip -1: $(echo "$ow / $z1w" | bc -l | cut -c1-5), cpu time vs zip -1: $(echo "$oc / $z1c" | bc -l | cut -c1-5) (target <= 1)"
echo "size vs zip -6: $(echo "$ob / $z6b" | bc -l | cut -c1-5) (target <= 1.10)"
rm -f "$work"/*.zip "$work/time.txt"
