#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole suite twice: a normal build
# in build/ and an AddressSanitizer+UndefinedBehaviorSanitizer build in build-asan/.
# A third build in build-fuzz/ (clang, libFuzzer) runs every fuzz target for 15 seconds.
# VADO_TEST_BUILDS=normal (or asan, or fuzz) limits the run to some of them.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

builds=${VADO_TEST_BUILDS:-"normal asan fuzz"}
status=0
for b in $builds; do
  case "$b" in
    normal) dir=build; args=() ;;
    asan)   dir=build-asan; args=(-DVADO_SANITIZE=ON -DVADO_BUILD_BENCH=OFF) ;;
    fuzz)   dir=build-fuzz; args=(-DVADO_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    *) echo "unknown build: $b" >&2; exit 2 ;;
  esac
  echo "== $b build ($dir) =="
  ./scripts/build.sh "$dir" "${args[@]}"
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  if ! ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout 120; then
    status=1
  fi
done
exit $status
