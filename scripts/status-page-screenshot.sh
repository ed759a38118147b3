#!/usr/bin/env bash
# Builds tallyd and saves a picture of its status page, with a few made-up
# clients, as docs/status-page.png (the README shows it). Needs root: the
# daemon's configuration lives under /etc/opt.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target tallyd tally-client -j"$(nproc)"
/usr/bin/python3 tests/browser/status_page_test.py --tallyd build/daemon/tallyd \
  --client build/client/tally-client --screenshot docs/status-page.png
echo "wrote docs/status-page.png"
