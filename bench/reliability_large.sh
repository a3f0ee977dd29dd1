#!/bin/sh
# The reliability suite at large scale: every crash point and every failing call of a full
# run on the tiny demo folder, and 1200 damaged main files, under the AddressSanitizer and
# UndefinedBehaviorSanitizer build. Prints the figures that docs/reliability.md records.
#
#   bench/reliability_large.sh [BUILD_DIR] [SCALE]
#
# BUILD_DIR defaults to build-asan (configured with -DK5_SANITIZE=ON when missing); SCALE is
# K5_RELIABILITY_SCALE: "all" (default) sweeps every k, a number N samples about N times the
# CI cases. K5_RELIABILITY_FILTER narrows the tests (a gtest filter, default all).
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-asan}
scale=${2:-all}
filter=${K5_RELIABILITY_FILTER:-*}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" -DK5_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target K5VedovodeduzOR k5demo test_reliability -j2 >/dev/null

report=$(mktemp -d)
trap 'rm -rf "$report"' EXIT
start=$(date +%s)
set +e
K5_RELIABILITY_SCALE=$scale \
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$build/tests/test_reliability" --gtest_filter="$filter" \
    --gtest_output="xml:$report/result.xml" >"$report/log.txt" 2>&1
code=$?
set -e
end=$(date +%s)

echo "build: $build (sanitized: $(grep -c 'K5_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"))"
echo "scale: $scale, filter: $filter, wall time: $((end - start)) s, exit code: $code"
# One line per test: its name, result and the number of cases it ran.
python3 - "$report/result.xml" <<'PY'
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
total = 0
for case in root.iter("testcase"):
    props = dict(case.attrib)
    props.update({p.get("name"): p.get("value") for p in case.iter("property")})
    n = int(props.get("cases", props.get("variants", "0")))
    total += n
    failures = len(list(case.iter("failure")))
    print(f"{case.get('classname')}.{case.get('name')}: {'FAILED' if failures else 'passed'}, "
          f"cases {n}, {float(case.get('time')):.0f} s, failed checks {failures}")
print(f"cases in all: {total}")
PY
grep -a "\[ figures  \]" "$report/log.txt" || true
grep -a -E "^\[  (FAILED|PASSED)" "$report/log.txt" | sort | uniq -c || true
if [ "$code" -ne 0 ]; then
    cp "$report/log.txt" "${TMPDIR:-/tmp}/reliability_large.log"
    echo "failures: ${TMPDIR:-/tmp}/reliability_large.log"
fi
exit "$code"
