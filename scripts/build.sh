#!/usr/bin/env bash
# Configures and builds one build folder: scripts/build.sh [DIR] [extra cmake arguments...]
# $VADO_BUILD_TARGET, when set, builds only that target.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)" ${VADO_BUILD_TARGET:+--target "$VADO_BUILD_TARGET"}
