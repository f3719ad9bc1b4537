#!/bin/bash
# Builds if needed, then prints the benchmark figures (the agent beside a minimal reference
# program) from one run under Wine on a private virtual display.
#
#   tools/bench.sh [--runs=N] [--idle-seconds=N]
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != "--on-display" ]; then
  bash tools/setup.sh
  cmake --preset default >/dev/null
  cmake --build --preset default --target bench
  # xvfb-run ends its X server when the benchmark ends, pass or fail.
  exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash "$0" --on-display "$@"
fi
shift

export WINEPREFIX="${KEYVANE_WINEPREFIX:-$PWD/build/wineprefix}"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d;winedbg.exe=d"

# A test run in the same prefix shares our Wine server: ending the server would end its
# programs, and its load would distort every figure here. Wait for it instead.
prefix_in_use() {
  [ -d "$WINEPREFIX" ] || return 1
  local server comm
  # A Wine server works in a folder named after the prefix's device and inode.
  server=$(printf 'server-%s-%x' "$(stat -c %D "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
  for comm in /proc/[0-9]*/comm; do
    case $(cat "$comm" 2>/dev/null) in
      wineserver | wineserver64) ;;
      *) continue ;;
    esac
    [ "$(basename "$(readlink "${comm%/comm}/cwd" 2>/dev/null)")" = "$server" ] && return 0
  done
  return 1
}
waited=0
while prefix_in_use; do
  if [ $waited -eq 0 ]; then echo "bench: another run is using $WINEPREFIX; waiting for it to end" >&2; fi
  if [ $waited -ge 900 ]; then echo "bench: the other run did not end within 15 minutes" >&2; exit 1; fi
  sleep 5
  waited=$((waited + 5))
done

# Other work on the machine shows in every timing; the load says how much there was
# before this run.
echo "bench.host cores=$(nproc) load_1min=$(cut -d' ' -f1 /proc/loadavg)"

out=$(mktemp)
err=$(mktemp)
trap 'wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; rm -f "$out" "$err"' EXIT
wine wineboot -i >/dev/null 2>&1
wineserver -w
# A persistent server keeps each program start short, as in the test runs.
wineserver -p

# Wine's services keep the output of the program that started them open: never a pipe.
status=0
wine build/bin/keyvane_bench.exe \
  "Z:$PWD/build/bin/Keyvane.exe" "Z:$PWD/build/bin/bench_reference.exe" \
  "Z:$PWD/dist/Keyvane.exe" "Z:$PWD/build/bench/signed/bench_reference.exe" \
  "$@" >"$out" 2>"$err" || status=$?
grep -v -e 'wine32 is missing' -e 'multiarch needs' -e 'dpkg --add-architecture' -e 'apt-get install wine32' \
  "$err" >&2 || true
cat "$out"
exit $status
