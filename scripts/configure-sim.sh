#!/usr/bin/env bash
# Configures the simulated build in DIR (default build/) with its tests, whatever an earlier
# configure of DIR left in its cache: the demo and the test script share build/.
set -euo pipefail
dir=${1:-build}
shift || true
cmake -S "$(dirname "$0")/.." -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON "$@" >/dev/null
