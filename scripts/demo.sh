#!/usr/bin/env bash
# Installs what is missing, builds only what the demo runs (the agent, its three runtime
# libraries, the simulator and vadoctl, with the sample farm) and runs vadoctl's default
# job: it starts the agent (and, when no device service is running, the simulator with the
# bundled sample farm) and prints what the agent reports. Extra arguments go to vadoctl.
# The agent and simulator libraries compile in unity batches, which makes a first build
# about twice as fast (`cmake -B build -DVADO_UNITY=OFF` suits editing and rebuilding).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
VADO_TARGETS=vado_demo ./scripts/build.sh build -DVADO_UNITY=ON
exec build/bin/vadoctl "$@"
