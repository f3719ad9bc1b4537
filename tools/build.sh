#!/bin/bash
# Installs what is missing, configures and builds; leaves the signed product in dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake --preset default
cmake --build --preset default
