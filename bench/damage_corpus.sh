#!/bin/sh
# The salvage corpus at size: damaged variants of the healthy demo main file (tiny and small
# demo folders), each run through a whole headless repair, checked against the rows on the
# pages the damage left alone. Prints the figures that docs/reliability.md records; with a
# peer salvager (bench/recover_peer.sh, when built) also what it salvages of the same rows.
#
#   bench/damage_corpus.sh [BUILD_DIR] [VARIANTS] [SCALES]
#
# BUILD_DIR defaults to build; VARIANTS per scale to 300; SCALES to "tiny small".
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
variants=${2:-300}
scales=${3:-tiny small}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 >/dev/null

peer=""
if [ -x "$here/bench/recover_peer.sh" ]; then
    peer="$here/bench/recover_peer.sh"
    export K5_BUILD_DIR="$build"
fi
for scale in $scales; do
    echo "== demo scale $scale, $variants variants"
    start=$(date +%s)
    set +e
    env K5_RELIABILITY_DEMO_SCALE="$scale" K5_CORPUS_VARIANTS="$variants" ${peer:+K5_CORPUS_PEER="$peer"} \
        "$build/tests/test_reliability" --gtest_filter='DamageCorpus.*' >"$build/damage_corpus_$scale.log" 2>&1
    code=$?
    set -e
    grep -a '^\[ figures' "$build/damage_corpus_$scale.log" || true
    echo "wall time $(( $(date +%s) - start )) s; failed checks: $(grep -ac 'Failure$' "$build/damage_corpus_$scale.log")" \
         "(exit $code; log in $build/damage_corpus_$scale.log)"
done
