#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: unit and scenario tests of the simulated build,
# the Windows build, and the Windows build under Wine compared with dot4sim.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh

echo "== simulated build"
bash scripts/configure-sim.sh build
cmake --build build -j2

echo "== Windows build"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win -j2
if [ "$(tests/wine/wine-arch)" = win64 ]; then
    echo "== Windows build for x86-64: this kernel runs no i386 code, so Wine runs this one"
    cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build-win64 -j2
fi

echo "== unit and scenario tests"
# The fault sweep runs once, on the sanitizer build below.
ctest --test-dir build --output-on-failure --no-tests=error -j2 -LE sweep

# The Wine runs mostly wait on Wine and the X server: they go on beside the sanitizer build and
# the fuzzers, and their output follows at the end.
wine_log=$(mktemp /tmp/dot4-wine-log.XXXXXX)
bash tests/wine/run-all "$root/build-win/dot4uninstall.exe" "$root/build/dot4sim" >"$wine_log" 2>&1 &
wine_pid=$!
trap 'kill $wine_pid 2>/dev/null || true' EXIT

echo "== sanitizer build: unit and scenario tests and the fault sweep"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DDOT4_SANITIZE=ON \
    >/dev/null
cmake --build build-asan -j2
ctest --test-dir build-asan --output-on-failure --no-tests=error -j2

echo "== fuzzing the image readers"
cmake -S tests/fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build build-fuzz -j2
bash tests/fuzz/run build-fuzz "${FUZZ_SECONDS:-20}"

echo "== Windows build under Wine"
wine_status=0
wait $wine_pid || wine_status=$?
trap - EXIT
cat "$wine_log"
rm -f "$wine_log"
exit $wine_status
