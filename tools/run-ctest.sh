#!/bin/bash
# Runs CTest with one Wine server for the whole run, and leaves no Wine process behind.
set -uo pipefail
cd "$(dirname "$0")/.."
export WINEPREFIX="${KEYVANE_WINEPREFIX:-$PWD/build/wineprefix}"
export KEYVANE_WINEPREFIX="$WINEPREFIX"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"

trap 'wineserver -k 2>/dev/null; wineserver -w 2>/dev/null' EXIT
wineserver -k 2>/dev/null
wine wineboot -i >/dev/null 2>&1
wineserver -w
# A persistent server keeps each test program's start short.
wineserver -p
ctest --preset default "$@"
