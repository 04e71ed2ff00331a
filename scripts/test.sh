#!/usr/bin/env bash
# Installs what is missing, then builds and runs:
#   asan  every test under AddressSanitizer+UndefinedBehaviorSanitizer with leak detection
#         (build-asan/; the benchmarks are compiled there too, not run). It stands in for a
#         plain build's run: whatever fails there fails here.
#   fuzz  every fuzz target for $VADO_FUZZ_SECONDS (10) seconds (build-fuzz/, clang, libFuzzer;
#         only the fuzzers and what they link are built).
#   tsan  the concurrency tests (ctest label "tsan": channel, pool, tasks, device monitor,
#         device layer, requests on one and on many devices) under ThreadSanitizer
#         (build-tsan/; only the labelled tests and what they link are built).
#   normal  (not in the default set) the plain build's suite in build/.
# VADO_TEST_BUILDS="asan" (or any list of the cases) limits the run. Each step's time is
# printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

builds=${VADO_TEST_BUILDS:-"asan tsan fuzz"}
jobs=$(nproc)
# Most tests wait on sockets, child processes and the simulator rather than compute, so
# twice as many run at once as there are cores.
test_jobs=$((jobs * 2))
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
export VADO_FUZZ_SECONDS=${VADO_FUZZ_SECONDS:-10}

status=0
timings=()
step() {  # step NAME COMMAND...: runs and times one step; a failure fails the run
  local name=$1 start=$SECONDS
  shift
  echo "== $name =="
  local ok=0
  "$@" || ok=$?
  timings+=("$(printf '%-28s %4d s' "$name" $((SECONDS - start)))")
  if [ $ok -ne 0 ]; then
    status=1
    echo "== $name FAILED =="
  fi
  return $ok
}

for b in $builds; do
  ctest_args=(--output-on-failure --timeout 120)
  targets=""
  case "$b" in
    normal) dir=build; args=(-DVADO_BUILD_BENCH=OFF); ctest_args+=(-j"$test_jobs") ;;
    # -O1 with line tables only: the sanitizers' recommended level, and far quicker to build.
    asan)   dir=build-asan; args=(-DVADO_SANITIZE=ON -DVADO_BUILD_BENCH=ON -DVADO_UNITY=ON
                                  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
                                  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
            ctest_args+=(-j"$test_jobs") ;;
    tsan)   dir=build-tsan; targets=tsan_tests
            args=(-DVADO_TSAN=ON -DVADO_BUILD_BENCH=OFF -DVADO_UNITY=ON
                  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
                  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
            ctest_args+=(-L tsan -j"$jobs") ;;
    fuzz)   dir=build-fuzz; targets=vado_fuzzers
            args=(-DVADO_FUZZ=ON -DVADO_FUZZ_SECONDS="$VADO_FUZZ_SECONDS" -DVADO_UNITY=ON
                  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
            ctest_args+=(-j"$jobs") ;;  # the fuzzers keep a core busy each
    *) echo "unknown build: $b" >&2; exit 2 ;;
  esac
  if step "$b: configure and build" env VADO_TARGETS="$targets" ./scripts/build.sh "$dir" "${args[@]}"; then
    step "$b: tests" ctest --test-dir "$dir" "${ctest_args[@]}" || true
  fi
done

echo "== step times (load: $(cut -d' ' -f1-3 /proc/loadavg)) =="
printf '%s\n' "${timings[@]}"
exit $status
