#!/usr/bin/env bash
# Configures and builds one build folder: scripts/build.sh [DIR] [extra cmake arguments...]
# $VADO_TARGETS (space-separated) limits the build to those targets and what they need.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
targets=()
for t in ${VADO_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
