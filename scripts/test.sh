#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole suite twice: a normal build
# in build/ and an AddressSanitizer+UndefinedBehaviorSanitizer build in build-asan/.
# A third build in build-fuzz/ (clang, libFuzzer) runs every fuzz target for 15 seconds.
# A ThreadSanitizer build in build-tsan/ builds and runs only the tests labelled "tsan".
# VADO_TEST_BUILDS=normal (or asan, or fuzz) limits the run to some of them.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

builds=${VADO_TEST_BUILDS:-"normal asan tsan fuzz"}
status=0
for b in $builds; do
  labels=()
  case "$b" in
    normal) dir=build; args=() ;;
    asan)   dir=build-asan; args=(-DVADO_SANITIZE=ON -DVADO_BUILD_BENCH=OFF) ;;
    tsan)   dir=build-tsan; args=(-DVADO_TSAN=ON -DVADO_BUILD_BENCH=OFF); labels=(-L tsan); export VADO_BUILD_TARGET=tsan_tests ;;
    fuzz)   dir=build-fuzz; args=(-DVADO_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    *) echo "unknown build: $b" >&2; exit 2 ;;
  esac
  echo "== $b build ($dir) =="
  ./scripts/build.sh "$dir" "${args[@]}"
  unset VADO_BUILD_TARGET
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
  if ! ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout 120 "${labels[@]}"; then
    status=1
  fi
done
exit $status
