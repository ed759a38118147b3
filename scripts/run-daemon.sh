#!/usr/bin/env bash
# Installs what is missing, builds, and runs tallyd in the foreground on its
# default port (14355). Extra arguments go to tallyd.
set -euo pipefail
cd "$(dirname "$0")/.."
TALLY_DEPS=runtime scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLY_BUILD_TESTS=OFF -DTALLY_BUILD_BENCH=OFF >/dev/null
cmake --build build --target tallyd tally-client -j"$(nproc)"
exec build/daemon/tallyd --standalone "$@"
