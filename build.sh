#!/usr/bin/env bash
# Builds the project and runs its tests or its main job.
#   ./build.sh test    build both configurations (normal; AddressSanitizer + UBSan) and run every test,
#                      then the Windows build with its module checks and Wine smoke tests
#   ./build.sh run ... build the normal configuration and run the main job with the given options
#   ./build.sh windows build the Windows modules into build-windows/
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

configure_and_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

# The Windows build: the user-mode deliverables as PE modules, cross-compiled with MinGW-w64, the
# 64-bit ones in build-win64 and the 32-bit standard ASIO driver in build-win32.
windows_build() {
  if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || ! command -v i686-w64-mingw32-g++-posix >/dev/null; then
    echo "the Windows build needs g++-mingw-w64-x86-64-posix and g++-mingw-w64-i686-posix" >&2
    exit 1
  fi
  configure_and_build build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake
  configure_and_build build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-w64-mingw32.cmake
}

# Unit tests run side by side; the tests that stream against the simulated bus's real-time
# clock run two at a time afterwards, so that they are not starved of CPU by the rest.
run_tests() {
  local dir=$1
  ctest --test-dir "$dir" -L unit -j "$jobs" --output-on-failure
  ctest --test-dir "$dir" -L realtime -j 2 --output-on-failure
}

case "${1:-test}" in
  test)
    configure_and_build build
    run_tests build
    configure_and_build build-asan -DOVM_SANITIZE=ON
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_tests build-asan
    # The fuzz targets need clang's libFuzzer; each runs briefly on its seed corpus (longer
    # runs: tools/fuzz.sh).
    if command -v clang++ >/dev/null 2>&1; then
      cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DOVM_FUZZ=ON >/dev/null
      cmake --build build-fuzz -j "$jobs" --target fuzzers
      ctest --test-dir build-fuzz -L fuzz -j "$jobs" --output-on-failure
    fi
    windows_build
    ctest --test-dir build-win64 -j "$jobs" --output-on-failure
    ctest --test-dir build-win32 -j "$jobs" --output-on-failure
    ;;
  run)
    shift
    configure_and_build build
    ./build/tools/ovmrun "$@"
    ;;
  windows)
    windows_build
    rm -rf build-windows
    mkdir build-windows
    # The copies a user takes carry no debugging information; the build folders keep it.
    for module in build-win64/modules/*; do
      x86_64-w64-mingw32-strip --strip-debug -o "build-windows/$(basename "$module")" "$module"
    done
    for module in build-win32/modules/*; do
      i686-w64-mingw32-strip --strip-debug -o "build-windows/$(basename "$module")" "$module"
    done
    echo "Windows modules in build-windows/:" $(ls build-windows)
    ;;
  *)
    echo "usage: $0 test | run [options] | windows" >&2
    exit 2
    ;;
esac
