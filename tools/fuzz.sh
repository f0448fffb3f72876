#!/usr/bin/env bash
# Runs the libFuzzer targets of a fuzz build (cmake -DOVM_FUZZ=ON with clang, see build.sh) for a
# given number of inputs each and reports, per target: inputs run, coverage (cov and ft of the
# corpus reached, as libFuzzer counts them), crashes (every crash, sanitizer report, verifier
# stop, timeout or out-of-memory) and leaks (LeakSanitizer reports and the targets' own pool
# checks). Each target starts from its seed corpus in the sources; what it finds, and every
# crash input, stays in <build>/fuzz_run/<target>.
#
#   tools/fuzz.sh [-n inputs] [-j processes] [-b build folder] [target ...]
#     -n  inputs per target, split over the processes (default 1000000)
#     -j  fuzzing processes per target, at most 3 on a shared machine (default 3)
#     -b  the fuzz build (default build-fuzz)
#     targets default to every *_fuzz executable of the build
set -euo pipefail
cd "$(dirname "$0")/.."
inputs=1000000
jobs=3
build=build-fuzz
while getopts "n:j:b:" option; do
  case $option in
    n) inputs=$OPTARG ;;
    j) jobs=$OPTARG ;;
    b) build=$OPTARG ;;
    *) sed -n 2,14p "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
build=$(cd "$build" && pwd)
source_dir=$(pwd)

# The seed corpus of a target, as its CTest test names it.
seed_corpus() {
  ctest --test-dir "$build" -R "^$1\$" --show-only=json-v1 2>/dev/null |
    grep -o -- '-DCORPUS=[^"]*' | head -1 | cut -d= -f2-
}

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(find "$build/kernel" -type f -perm -u+x -name '*_fuzz' -printf '%f\n' | sort)
fi

# Memory is shared with other work: a smaller quarantine and shorter allocation stacks.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64:malloc_context_size=10}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

printf '%-24s %10s %8s %8s %8s %6s %7s %9s\n' target inputs cov ft exec/s crash leaks seconds
for target in "${targets[@]}"; do
  exe=$(find "$build/kernel" -type f -name "$target" | head -1)
  seeds=$(seed_corpus "$target")
  if [ -z "$exe" ] || [ -z "$seeds" ]; then
    echo "$target: no such fuzz target in $build" >&2
    continue
  fi
  work=$build/fuzz_run/$target
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  started=$(date +%s)
  (cd "$work" && "$exe" -jobs="$jobs" -workers="$jobs" -runs=$(((inputs + jobs - 1) / jobs)) \
      -artifact_prefix="$work/artifacts/" -print_final_stats=1 corpus "$seeds" >"$work/fuzz.out" 2>&1) || true
  seconds=$(($(date +%s) - started))
  logs=("$work"/fuzz-*.log)
  run=$(cat "${logs[@]}" 2>/dev/null | awk '/stat::number_of_executed_units:/ {n += $2} END {print n + 0}')
  # Coverage of everything the jobs found together.
  stats=$(cd "$work" && "$exe" -runs=0 corpus "$seeds" 2>&1 | grep -m1 'INITED' || true)
  cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$stats")
  ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$stats")
  # A fault found by an input leaves its input behind; one found at the teardown of a job (the
  # drivers' unload checks, the last leak check) only fails the job.
  found=$(find "$work/artifacts" -type f \( -name 'crash-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  failed=$(grep -c 'exited with exit code [1-9]' "$work/fuzz.out" || true)
  faults=$((found > failed ? found : failed))
  leaks=$(( $(find "$work/artifacts" -type f -name 'leak-*' | wc -l) +
            $(cat "${logs[@]}" 2>/dev/null | grep -c -e 'pool leak' -e 'POOL_LEAK' -e 'ERROR: LeakSanitizer' || true) ))
  crashes=$((faults > leaks ? faults - leaks : 0))
  rate=$((seconds > 0 ? run / seconds : run))
  printf '%-24s %10s %8s %8s %8s %6s %7s %9s\n' "$target" "$run" "${cov:-?}" "${ft:-?}" "$rate" "$crashes" \
    "$leaks" "$seconds"
done
