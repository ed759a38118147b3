#!/usr/bin/env bash
# What a Redis failover costs the clients: a master, its replica and three
# sentinels, one tallyd on sentinel://, tally-bench at concurrency 8 for
# TALLY_BENCH_SECONDS (30); the master is killed after a third of the run.
# Prints when the sentinels promoted the replica and when tallyd reached it,
# and tally-bench's whole report: requests without a reply (refused during the
# failover) and whether CurrentClients still matched its model at the end
# (changes lost in the failover). Needs root: the configuration is in /etc/opt.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/bench-lib.sh
source scripts/bench-lib.sh

build=${TALLY_BENCH_BUILD_DIR:-build-bench}
seconds=${TALLY_BENCH_SECONDS:-30}
[[ $(id -u) -eq 0 ]] || { echo "bench-failover: needs root (the configuration is in /etc/opt)"; exit 1; }

bench_build "$build" tallyd tally-bench

work=$(mktemp -d "${TMPDIR:-/tmp}/tallyd-bench-failover.XXXXXX")
conf=$(mktemp -d /etc/opt/tallyd-bench-failover-XXXXXX)
declare -A pids
cleanup() {
  for pid in "${pids[@]}"; do stop_process TERM "$pid"; done
  rm -rf "$work" "$conf"
}
trap cleanup EXIT

# Seconds (to 0.1) until TEXT is in FILE, at most LIMIT; "-" when it never came.
wait_for() {
  local file=$1 text=$2 limit=$3 tenths=0
  while ((tenths < limit * 10)); do
    grep -q "$text" "$file" 2>/dev/null && { echo "$((tenths / 10)).$((tenths % 10))"; return 0; }
    sleep 0.1
    tenths=$((tenths + 1))
  done
  echo "-"
  return 1
}

start() {  # NAME, then its command line
  local name=$1
  shift
  (cd "$work" && exec "$@") >"$work/$name.log" 2>&1 &
  pids[$name]=$!
}

master=$(free_port)
replica=$(free_port)
start master redis-server --port "$master" --bind 127.0.0.1 --save "" --appendonly no --dir "$work"
wait_for "$work/master.log" "Ready to accept" 10 >/dev/null
start replica redis-server --port "$replica" --bind 127.0.0.1 --save "" --appendonly no \
  --dir "$work" --replicaof 127.0.0.1 "$master"
wait_for "$work/replica.log" "sync: Finished with success" 10 >/dev/null
addresses=""
for i in 0 1 2; do
  port=$(free_port)
  printf 'port %s\nbind 127.0.0.1\ndir %s\nsentinel monitor tally 127.0.0.1 %s 2\n%s\n%s\n' \
    "$port" "$work" "$master" "sentinel down-after-milliseconds tally 1000" \
    "sentinel failover-timeout tally 5000" >"$work/sentinel$i.conf"
  start "sentinel$i" redis-sentinel "$work/sentinel$i.conf"
  addresses+="${addresses:+,}127.0.0.1:$port"
done
for i in 0 1 2; do wait_for "$work/sentinel$i.log" "+sentinel sentinel" 20 >/dev/null; done
printf '[tallyd]\nadmin-listen =\nstore = sentinel://%s/tally\n' "$addresses" >"$conf/tallyd.conf"
port=$(free_port)
start tallyd "$build/daemon/tallyd" --standalone --port "$port" --datadir "${conf#/etc/opt/}"
wait_for "$work/tallyd.log" "Store at 127.0.0.1:$master" 10 >/dev/null

"$build/bench/tally-bench" --port "$port" --concurrency 8 --duration "$seconds" --warmup 1 \
  --timeout 1000 >"$work/bench.out" 2>&1 &
bench=$!
sleep $((seconds / 3 + 1))
kill -KILL "${pids[master]}"
wait "${pids[master]}" 2>/dev/null || true
unset 'pids[master]'
echo "master killed $((seconds / 3)) s into the run"
echo "replica promoted after: $(wait_for "$work/sentinel0.log" "+switch-master" 30 || true) s"
echo "tallyd at the new master a further: $(wait_for "$work/tallyd.log" "Store at 127.0.0.1:$replica" 30 || true) s"
wait "$bench" || true
cat "$work/bench.out"
grep -E "Store unavailable|Store available" "$work/tallyd.log" || true
