#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent: when everything is present it does nothing (no apt-get update).
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libimobiledevice-dev libusbmuxd-dev libplist-dev
  libsqlite3-dev libcurl4-openssl-dev zlib1g-dev libminizip-dev
  libtinyxml-dev rapidjson-dev libgoogle-glog-dev libssl-dev libgpod-dev
  libimobiledevice-utils ideviceinstaller
  clang libclang-rt-14-dev
  python3 procps sqlite3
  openssl ca-certificates
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]}; run this script as root" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
