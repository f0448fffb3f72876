#!/usr/bin/env bash
# Builds the project and runs its tests or its main job.
#   ./build.sh test    build both configurations (normal; AddressSanitizer + UBSan) and run every test
#   ./build.sh run ... build the normal configuration and run the main job with the given options
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

configure_and_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
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
    ;;
  run)
    shift
    configure_and_build build
    ./build/tools/ovmrun "$@"
    ;;
  *)
    echo "usage: $0 test | run [options]" >&2
    exit 2
    ;;
esac
