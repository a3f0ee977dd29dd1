#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get and runs the installed program's
# headless check pass on a tiny demo folder. Needs root (or sudo) for the install.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-deb}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DK5_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target K5VedovodeduzOR k5demo -j2
(cd "$build" && cpack -G DEB)
deb=$(ls -t "$build"/k5vedovodeduzor_*.deb | head -n 1)
echo "package: $deb"
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --reinstall "$(realpath "$deb")"

for f in /usr/bin/K5VedovodeduzOR /usr/share/applications/K5VedovodeduzOR.desktop \
         /usr/share/icons/hicolor/scalable/apps/K5VedovodeduzOR.svg \
         /usr/share/icons/hicolor/64x64/apps/K5VedovodeduzOR.png; do
  [ -e "$f" ] || { echo "missing after install: $f" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tools/k5demo" "$work/db" --scale tiny --seed 1 >/dev/null
set +e
XDG_DATA_HOME="$work/data" XDG_CONFIG_DIRS="$work/etc" \
  /usr/bin/K5VedovodeduzOR --batch --check-only --folder "$work/db" | tee "$work/out.txt"
rc=${PIPESTATUS[0]}
set -e
echo "exit code: $rc"
grep -q "Предварительные проверки пройдены." "$work/out.txt" || { echo "check pass did not pass" >&2; exit 1; }
[ "$rc" -eq 0 ] || exit "$rc"
echo "deb-test: OK"
