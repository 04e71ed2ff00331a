#!/usr/bin/env bash
# Installs what is missing, builds, and runs vadoctl's default job: it starts the agent
# (and, when no device service is running, the simulator with the bundled sample farm)
# and prints what the agent reports. Extra arguments go to vadoctl.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh build
exec build/bin/vadoctl "$@"
