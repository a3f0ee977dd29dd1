#!/usr/bin/env bash
# The main job from a fresh clone: install, build, make a demo database folder and run the
# whole maintenance on it without the window, then show what the run left behind.
#   bash scripts/demo.sh [SCRATCH_FOLDER]
# The scratch folder (default: a new folder under /tmp) is made by k5demo; the trash of the
# run goes to SCRATCH/trash, so the user's own trash is not touched.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"

bash scripts/setup-debian.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK5_BUILD_TESTS=OFF >/dev/null
cmake --build build --target K5VedovodeduzOR k5demo -j2

scratch="${1:-$(mktemp -d /tmp/k5demo-XXXXXX)}"
db="$scratch/База данных"
echo
echo "== Демонстрационная папка БД: $db"
build/tools/k5demo "$db" --scale small --seed 1

echo
echo "== Профилактика без окна:"
echo "   build/app/K5VedovodeduzOR --batch --folder \"$db\" --remove-orphaned --remove-orphaned-bigdocs --compact-bigdocs"
echo
set +e
XDG_DATA_HOME="$scratch/trash" build/app/K5VedovodeduzOR --batch --folder "$db" \
  --remove-orphaned --remove-orphaned-bigdocs --compact-bigdocs
code=$?
set -e
echo
echo "== Код завершения: $code (0 - без ошибок, 1 - в протоколе есть ошибки, 2 - непредвиденная ошибка)"
echo
echo "== Файлы в папке БД:"
ls -la "$db"
echo
echo "== Протоколы и архивы (Профилактика_БД):"
ls -la "$db/Профилактика_БД"
echo
echo "== Подкаталог BigDocs:"
ls "$db/BigDocs" | head -20
if [ -d "$scratch/trash/Trash/files" ]; then
  echo
  echo "== Корзина:"
  ls -la "$scratch/trash/Trash/files"
fi
