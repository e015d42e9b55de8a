#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: dot4sim, the Windows build, the unit and
# scenario tests and the fault sweep under ASan and UBSan, the fuzzers, and the Windows build under
# Wine compared with dot4sim.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh

echo "== simulated build: dot4sim and the benchmarks"
# The tests build and run once, in the sanitizer build below.
bash scripts/configure-sim.sh build
cmake --build build -j2 --target programs

echo "== Windows build"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
if [ "$(tests/wine/wine-arch)" = win64 ]; then
    # Only the exe that ships: the Wine runs take the x86-64 build below.
    cmake --build build-win -j2 --target dot4uninstall
    echo "== Windows build for x86-64: this kernel runs no i386 code, so Wine runs this one"
    cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build-win64 -j2
else
    cmake --build build-win -j2
fi

echo "== sanitizer build: unit and scenario tests and the fault sweep"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DDOT4_SANITIZE=ON \
    >/dev/null
cmake --build build-asan -j2
ctest --test-dir build-asan --output-on-failure --no-tests=error -j2

echo "== fuzzing the image readers"
cmake -S tests/fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build build-fuzz -j2
bash tests/fuzz/run build-fuzz

echo "== Windows build under Wine"
bash tests/wine/run-all "$root/build-win/dot4uninstall.exe" "$root/build/dot4sim"
