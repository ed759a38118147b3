#!/usr/bin/env bash
# What the shared register costs and what a second instance brings: builds
# Release, starts a redis-server, one tallyd in memory, one tallyd on Redis,
# and two more on Redis behind HAProxy, then drives each of the three in turn
# with tally-bench (the order rotating per round) at each concurrency. Prints
# the median requests/s, p99 and the longest request of each, and their ratio
# to the in-memory register. Needs root: the configurations live in /etc/opt.
#
#   TALLY_BENCH_ROUNDS       rounds per concurrency (3)
#   TALLY_BENCH_SECONDS      measured seconds per run (5)
#   TALLY_BENCH_CONCURRENCY  concurrency levels ("1 8 64")
#   TALLY_BENCH_BUILD_DIR    build directory (build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/bench-lib.sh
source scripts/bench-lib.sh

build=${TALLY_BENCH_BUILD_DIR:-build-bench}
rounds=${TALLY_BENCH_ROUNDS:-3}
seconds=${TALLY_BENCH_SECONDS:-5}
read -r -a levels <<<"${TALLY_BENCH_CONCURRENCY:-1 8 64}"
[[ $(id -u) -eq 0 ]] || { echo "bench-shared: needs root (the configuration is in /etc/opt)"; exit 1; }

bench_build "$build" tallyd tally-bench

work=$(mktemp -d "${TMPDIR:-/tmp}/tallyd-bench-shared.XXXXXX")
conf_memory=$(mktemp -d /etc/opt/tallyd-bench-memory-XXXXXX)
conf_redis=$(mktemp -d /etc/opt/tallyd-bench-redis-XXXXXX)
declare -A pids ports
cleanup() {
  for pid in "${pids[@]}"; do stop_process TERM "$pid"; done
  rm -rf "$work" "$conf_memory" "$conf_redis"
}
trap cleanup EXIT

# Starts NAME (a command line after it) and waits up to 10 s for TEXT in its log.
start() {
  local name=$1 text=$2
  shift 2
  (cd "$work" && exec "$@") >"$work/$name.log" 2>&1 &
  pids[$name]=$!
  for _ in $(seq 100); do
    grep -q "$text" "$work/$name.log" && return 0
    kill -0 "${pids[$name]}" 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/$name.log"
  echo "bench-shared: $name did not start"
  exit 1
}

redis_port=$(free_port)
start redis "Ready to accept" redis-server --port "$redis_port" --bind 127.0.0.1 --save "" \
  --appendonly no --dir "$work"
printf '[tallyd]\nadmin-listen =\n' >"$conf_memory/tallyd.conf"
printf '[tallyd]\nadmin-listen =\nstore = redis://127.0.0.1:%s\n' "$redis_port" \
  >"$conf_redis/tallyd.conf"
for name in memory redis a b; do
  ports[$name]=$(free_port)
  conf=$conf_redis
  [[ $name == memory ]] && conf=$conf_memory
  start "$name" ServiceStart "$build/daemon/tallyd" --standalone --port "${ports[$name]}" \
    --datadir "${conf#/etc/opt/}"
done
ports[pair]=$(free_port)
printf '%s\n' "defaults" " mode tcp" " timeout connect 5s" " timeout client 30s" \
  " timeout server 30s" "listen front" " bind 127.0.0.1:${ports[pair]}" " balance roundrobin" \
  " server a 127.0.0.1:${ports[a]} check" " server b 127.0.0.1:${ports[b]} check" \
  >"$work/haproxy.cfg"
(cd "$work" && exec haproxy -db -f "$work/haproxy.cfg") >"$work/haproxy.log" 2>&1 &
pids[haproxy]=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/${ports[pair]}") 2>/dev/null && break
  sleep 0.1
done

# One run; appends "rps p99 max errors" to $work/<name>-<concurrency>.
run() {
  local name=$1 concurrency=$2 line
  line=$("$build/bench/tally-bench" --port "${ports[$name]}" --duration "$seconds" --warmup 1 \
    --concurrency "$concurrency" 2>&1 | grep '^RESULT' || true)
  [[ -n $line ]] || { echo "bench-shared: no result against $name" >&2; return 1; }
  printf '  %-7s c=%-3s %s\n' "$name" "$concurrency" "$line"
  awk '{ for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
         print v["rps"], v["p99_us"], v["max_us"], v["errors"] }' <<<"$line" \
    >>"$work/$name-$concurrency"
}

echo "load average before: $(cut -d' ' -f1 /proc/loadavg)"
echo "runs: $rounds rounds x ${seconds} s at concurrency ${levels[*]}, loopback, $(nproc) cores"
targets=(memory redis pair)
for ((round = 0; round < rounds; round++)); do
  echo "round $((round + 1))"
  for c in "${levels[@]}"; do
    for i in 0 1 2; do run "${targets[$(((round + i) % 3))]}" "$c"; done
  done
done

echo
printf '%-12s %-8s %12s %8s %10s %12s %7s\n' concurrency register "req/s" ratio "p99 us" \
  "longest us" errors
for c in "${levels[@]}"; do
  base=$(median 1 "$work/memory-$c")
  for name in "${targets[@]}"; do
    rps=$(median 1 "$work/$name-$c")
    printf '%-12s %-8s %12.0f %8.2f %10.0f %12.0f %7d\n' "$c" "$name" "$rps" \
      "$(ratio "$rps" "$base")" \
      "$(median 2 "$work/$name-$c")" "$(sort -g "$work/$name-$c" -k3 | tail -1 | cut -d' ' -f3)" \
      "$(awk '{ s += $4 } END { print s }' "$work/$name-$c")"
  done
done
echo "load average after: $(cut -d' ' -f1 /proc/loadavg)"
echo "(pair: two tallyd on the same Redis behind HAProxy, on the same $(nproc) cores)"
