#!/bin/bash
# Builds if needed, then runs every test under Wine on a private virtual display.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/build.sh
# xvfb-run ends its X server when the tests end, pass or fail.
exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash tools/run-ctest.sh
