#!/usr/bin/env bash
# What the state file costs: builds Release, runs two tallyd side by side, one
# with state-file set and one without, and drives them in turn with
# tally-bench (the order alternating per round) at one concurrency; prints the
# median requests/s and p99 of each. Then measures how the file grows with
# tally-state-growth. Needs root: the configuration lives under /etc/opt.
#
#   TALLY_BENCH_ROUNDS       rounds (5)
#   TALLY_BENCH_SECONDS      measured seconds per run (5)
#   TALLY_BENCH_CONCURRENCY  concurrency (8)
#   TALLY_BENCH_BUILD_DIR    build directory (build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/bench-lib.sh
source scripts/bench-lib.sh

build=${TALLY_BENCH_BUILD_DIR:-build-bench}
rounds=${TALLY_BENCH_ROUNDS:-5}
seconds=${TALLY_BENCH_SECONDS:-5}
concurrency=${TALLY_BENCH_CONCURRENCY:-8}
[[ $(id -u) -eq 0 ]] || { echo "bench-state: needs root (the configuration is in /etc/opt)"; exit 1; }

bench_build "$build" tallyd tally-bench tally-state-growth

work=$(mktemp -d "${TMPDIR:-/tmp}/tallyd-bench-state.XXXXXX")
conf_on=$(mktemp -d /etc/opt/tallyd-bench-on-XXXXXX)
conf_off=$(mktemp -d /etc/opt/tallyd-bench-off-XXXXXX)
printf '[tallyd]\nadmin-listen =\nstate-file = %s/state.db\n' "$work" >"$conf_on/tallyd.conf"
printf '[tallyd]\nadmin-listen =\n' >"$conf_off/tallyd.conf"
declare -A pids ports
cleanup() {
  for pid in "${pids[@]}"; do stop_process INT "$pid"; done
  rm -rf "$work" "$conf_on" "$conf_off"
}
trap cleanup EXIT

# Starts tallyd as NAME with the configuration directory DIR (no dots: --datadir
# refuses them) on a free port.
start() {
  local name=$1 dir=$2 port
  for _ in 1 2 3 4 5; do
    port=$(free_port) || break
    (cd "$work" && exec "$build/daemon/tallyd" --standalone --port "$port" \
      --datadir "${dir#/etc/opt/}") >"$work/$name.log" 2>&1 &
    pids[$name]=$!
    for _ in $(seq 100); do
      if grep -q ServiceStart "$work/$name.log"; then ports[$name]=$port; return 0; fi
      kill -0 "${pids[$name]}" 2>/dev/null || break
      sleep 0.1
    done
  done
  cat "$work/$name.log"
  echo "bench-state: tallyd ($name) did not start"
  exit 1
}

run() {
  local name=$1 line
  line=$("$build/bench/tally-bench" --port "${ports[$name]}" --duration "$seconds" --warmup 1 \
    --concurrency "$concurrency" 2>&1 | grep '^RESULT' || true)
  [[ -n $line ]] || { echo "bench-state: no result against $name" >&2; return 1; }
  printf '  %-4s %s\n' "$name" "$line"
  awk '{ for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
         print v["rps"], v["p99_us"], v["errors"] }' <<<"$line" >>"$work/$name.runs"
}

start on "$conf_on"
start off "$conf_off"
echo "load average before: $(cut -d' ' -f1 /proc/loadavg)"
echo "runs: $rounds rounds x ${seconds} s at concurrency $concurrency, loopback"
for ((round = 1; round <= rounds; round++)); do
  echo "round $round"
  if ((round % 2)); then run on; run off; else run off; run on; fi
done
echo
printf '%-12s %14s %12s %8s\n' state-file "median req/s" "median p99" errors
for name in off on; do
  printf '%-12s %14.0f %9.0f us %8d\n' "$name" "$(median 1 "$work/$name.runs")" \
    "$(median 2 "$work/$name.runs")" "$(awk '{ s += $3 } END { print s }' "$work/$name.runs")"
done
echo "state file after the runs: $(stat -c %s "$work/state.db") bytes"
echo
"$build/bench/tally-state-growth" --clients 100000 --dir "$work"
