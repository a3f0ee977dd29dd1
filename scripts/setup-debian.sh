#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a fresh Debian 12 machine.
set -euo pipefail
pkgs=(build-essential cmake pkg-config g++
      qt6-base-dev libqt6dbus6 libglib2.0-dev
      libsqlite3-dev sqlite3 libzip-dev
      libgtest-dev libgmock-dev googletest
      unrtf zip unzip xvfb xauth
      locales)  # localedef and the ru_RU source: tests under a comma decimal mark
pkgs+=(time)  # /usr/bin/time -v: peak memory in bench/full_run.sh
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
