#!/usr/bin/env bash
# A build directory configured without tests (as an older demo left build/) gets its tests back
# from the configure step that the demo and the test script share.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dir=$(mktemp -d /tmp/dot4-order.XXXXXX)
trap 'rm -rf "$dir"' EXIT
cmake -S "$root" -B "$dir" -DBUILD_TESTING=OFF >/dev/null
bash "$root/scripts/configure-sim.sh" "$dir"
count=$(ctest --test-dir "$dir" -N | sed -n 's/^Total Tests: //p')
echo "tests found after reconfiguring: $count"
[ "${count:-0}" -gt 0 ]
