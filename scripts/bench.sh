#!/usr/bin/env bash
# Builds Release, then measures tallyd against the reference server on this
# machine over loopback: both run side by side and tally-bench drives them in
# turn (the order alternating per round), several rounds at each concurrency.
# Prints the median requests/s of each, their ratio, and the p99 latencies.
#
#   TALLY_BENCH_ROUNDS       rounds per concurrency (5)
#   TALLY_BENCH_SECONDS      measured seconds per run (5)
#   TALLY_BENCH_CONCURRENCY  concurrency levels ("1 8 64")
#   TALLY_BENCH_MICRO=1      also run the handler micro-benchmarks
#   TALLY_BENCH_ADMIN=1      also compare tallyd at concurrency 8 with and without an
#                            operator's load beside it: each second a /metrics scrape
#                            and a full client listing, page by page, of
#                            TALLY_BENCH_ADMIN_CLIENTS preloaded clients (10000)
#   TALLY_BENCH_BUILD_DIR    build directory (build-bench)
#   TALLY_BENCH_STORE=redis  tallyd keeps its register in a redis-server started for the
#                            run, beside it on the servers' CPU (needs root: the
#                            configuration goes under /etc/opt for the run)
#   TALLY_BENCH_SYSLOG=none  no system logger of the run's own (see below)
#
# Every installed host has a system logger behind /dev/log. Where this one has
# none, the C library tries to connect again for each of tallyd's lines, a cost
# no installation pays; so, as root with busybox, tallyd runs in a private
# mount namespace whose /dev/log is a busybox syslogd on the servers' CPU,
# writing to /dev/null. tallyd runs detached, as the service manager starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/bench-lib.sh
source scripts/bench-lib.sh

build=${TALLY_BENCH_BUILD_DIR:-build-bench}
rounds=${TALLY_BENCH_ROUNDS:-5}
seconds=${TALLY_BENCH_SECONDS:-5}
read -r -a levels <<<"${TALLY_BENCH_CONCURRENCY:-1 8 64}"

targets=(tallyd tally-client tally-bench tally-refserver tallyctl)
[[ ${TALLY_BENCH_MICRO:-0} == 1 ]] && targets+=(tally-microbench)
bench_build "$build" "${targets[@]}"

# With two or more CPUs the servers share the last one and the load generator
# gets the first, so neither server competes with its own load for a core.
server_cpu=()
client_cpu=()
cpus=$(nproc)
if ((cpus >= 2)) && command -v taskset >/dev/null; then
  server_cpu=(taskset -c "$((cpus - 1))")
  client_cpu=(taskset -c 0)
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tallyd-bench.XXXXXX")
tallyd_pid=""
ref_pid=""
redis_pid=""
config_dir=""
cleanup() {
  [[ -z $tallyd_pid ]] || stop_process INT "$tallyd_pid"
  stop_logger
  [[ -z $ref_pid ]] || stop_process TERM "$ref_pid"
  [[ -z $redis_pid ]] || stop_process TERM "$redis_pid"
  [[ -n $config_dir ]] && rm -rf "$config_dir"
  rm -rf "$work"
}
trap cleanup EXIT

# Ends the run's own system logger, if one was started.
stop_logger() {
  [[ ! -s $work/syslogd.pid ]] || kill "$(cat "$work/syslogd.pid")" 2>/dev/null || true
  rm -f "$work/syslogd.pid"
}

# Waits up to 10 s for TEXT in FILE while PID lives.
wait_for() {
  local file=$1 text=$2 pid=$3
  for _ in $(seq 100); do
    grep -q "$text" "$file" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

"${server_cpu[@]}" "$build/bench/tally-refserver" --port 0 >"$work/ref.log" 2>&1 &
ref_pid=$!
wait_for "$work/ref.log" "listening on port" "$ref_pid" || { cat "$work/ref.log"; exit 1; }
ref_port=$(sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$work/ref.log")

tallyd_args=()
config=""
admin=""
if [[ ${TALLY_BENCH_ADMIN:-0} == 1 ]]; then
  admin=127.0.0.1:$(free_port)
  config+="admin-listen = $admin"$'\n'
fi
if [[ ${TALLY_BENCH_STORE:-memory} == redis ]]; then
  redis_port=$(free_port) || { echo "bench: no free port for redis-server"; exit 1; }
  "${server_cpu[@]}" redis-server --port "$redis_port" --bind 127.0.0.1 --save "" \
    --appendonly no --dir "$work" >"$work/redis.log" 2>&1 &
  redis_pid=$!
  wait_for "$work/redis.log" "Ready to accept" "$redis_pid" || { cat "$work/redis.log"; exit 1; }
  config+="store = redis://127.0.0.1:$redis_port"$'\n'
fi
if [[ -n $config ]]; then
  config_dir=$(mktemp -d /etc/opt/tallyd-bench-XXXXXX)  # --datadir refuses a dot
  printf '[tallyd]\n%s' "$config" >"$config_dir/tallyd.conf"
  tallyd_args=(--datadir "${config_dir#/etc/opt/}")
fi

logger=()
system_log="the host's /dev/log"
if [[ ! -S /dev/log && ${TALLY_BENCH_SYSLOG:-} != none ]]; then
  system_log="none: each line pays a failed connect"
  if [[ $(id -u) == 0 ]] && command -v busybox unshare >/dev/null; then
    # $1: the run's scratch directory; the rest: the command to run beside the logger.
    # shellcheck disable=SC2016  # expanded by the inner shell
    logger=(unshare --mount --propagation private -- sh -c '
      dev=$(mktemp -d "$1/dev.XXXXXX") && mkdir "$dev/upper" "$dev/work" &&
        mount -t overlay overlay -o "lowerdir=/dev,upperdir=$dev/upper,workdir=$dev/work" /dev ||
        exit 97
      rm -f /dev/log
      busybox syslogd -n -O /dev/null & echo $! >"$1/syslogd.pid"
      for _ in $(seq 50); do [ -S /dev/log ] && break; sleep 0.1; done
      shift
      exec "$@"' sh "$work")
    system_log="busybox syslogd on a private /dev/log"
  fi
fi

# tallyd as the service manager runs it: detached, its lines in the system log
# only, since the console echo of --standalone is a cost no installation pays.
# It is ready once an EXIT is answered, which needs the register (in
# redis-server too); its PID is found by its command line, unique by the port.
tallyd_ready() {
  local port=$1 status
  tallyd_pid=$(pgrep -f -- "daemon/tallyd --port $port( |\$)" | head -1 || true)
  [[ -n $tallyd_pid ]] || return 1
  for _ in $(seq 100); do
    status=0
    "$build/client/tally-client" --port "$port" exit --unique bench-ready --app bench \
      >/dev/null 2>&1 || status=$?
    ((status <= 1)) && return 0
    kill -0 "$tallyd_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

tallyd_port=""
for _ in 1 2 3 4 5; do
  port=$(free_port) || break
  if (cd "$work" && exec "${server_cpu[@]}" "${logger[@]}" "$build/daemon/tallyd" \
        --port "$port" "${tallyd_args[@]}") >"$work/tallyd.log" 2>&1 &&
      tallyd_ready "$port"; then
    tallyd_port=$port
    break
  fi
  [[ -z $tallyd_pid ]] || stop_process INT "$tallyd_pid"
  tallyd_pid=""
  stop_logger
done
[[ -n $tallyd_port ]] || { cat "$work/tallyd.log"; echo "bench: tallyd did not start"; exit 1; }
[[ -z $redis_pid ]] || echo "register: in redis-server on port $redis_port"

# CPU time a process has used, all threads, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
ticks_per_second=$(getconf CLK_TCK)

# One run; appends "rps p99 errors consistent cpu_us_per_request" to
# $work/<target>-<concurrency>. The server's CPU time per request is what the
# other work on the machine disturbs least.
run() {
  local target=$1 concurrency=$2 line pid before after
  local args=(--duration "$seconds" --warmup 1 --concurrency "$concurrency")
  if [[ $target == tallyd* ]]; then
    args+=(--port "$tallyd_port")
    pid=$tallyd_pid
  else
    args+=(--port "$ref_port" --mode echo)
    pid=$ref_pid
  fi
  local out=$work/last-run.txt
  before=$(cpu_ticks "$pid")
  "${client_cpu[@]}" "$build/bench/tally-bench" "${args[@]}" >"$out" 2>&1 || true
  after=$(cpu_ticks "$pid")
  line=$(grep '^RESULT' "$out" || true)
  [[ -n $line ]] || { cat "$out" >&2; echo "bench: no result against $target" >&2; return 1; }
  awk -v ticks=$((after - before)) -v hz="$ticks_per_second" '
       { for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
         cost = v["sent"] > 0 ? ticks * 1e6 / hz / v["sent"] : 0
         print v["rps"], v["p99_us"], v["errors"], v["consistent"], cost }' <<<"$line" \
    >>"$work/$target-$concurrency"
  printf '  %-7s c=%-3s %s\n' "$target" "$concurrency" "$line"
  # Show the whole report of a run that had errors or failed its check.
  if ! grep -q 'errors=0 ' <<<"$line" || grep -q 'consistent=no' <<<"$line"; then
    grep -v '^RESULT' "$out" | sed 's/^/      /'
  fi
}

cpu=$(lscpu 2>/dev/null | sed -n 's/^Model name: *//p' | head -1)
echo "machine: ${cpu:-unknown CPU}, $(nproc) cores, Linux $(uname -r)"
# Other work on the machine shows up as noise in every figure below.
load_before=$(cut -d' ' -f1 /proc/loadavg)
echo "load average before: $load_before"
echo "system log: $system_log"
echo "runs: $rounds rounds x ${seconds} s at concurrency ${levels[*]}, loopback"
((${#server_cpu[@]})) && echo "cpus: servers on cpu $((cpus - 1)), tally-bench on cpu 0"
for ((round = 1; round <= rounds; round++)); do
  echo "round $round"
  for c in "${levels[@]}"; do
    if ((round % 2)); then run tallyd "$c"; run ref "$c"; else run ref "$c"; run tallyd "$c"; fi
  done
done

echo
echo "throughput (median requests/s) and latency (median of the runs' p99):"
printf '%-12s %14s %16s %7s %16s %19s\n' concurrency "tallyd req/s" "reference req/s" ratio \
  "tallyd p99 us" "reference p99 us"
problems=0
for c in "${levels[@]}"; do
  t_rps=$(median 1 "$work/tallyd-$c")
  r_rps=$(median 1 "$work/ref-$c")
  printf '%-12s %14.0f %16.0f %7s %16.0f %19.0f\n' "$c" "$t_rps" "$r_rps" \
    "$(ratio "$t_rps" "$r_rps")" "$(median 2 "$work/tallyd-$c")" "$(median 2 "$work/ref-$c")"
  problems=$((problems + $(awk '$3 != 0 || $4 == "no"' "$work/tallyd-$c" "$work/ref-$c" | wc -l)))
done
echo
echo "server CPU time per request (median; the reference's over tallyd's is the share of"
echo "the reference's capacity that tallyd reaches when the server is the bottleneck):"
printf '%-12s %16s %19s %15s\n' concurrency "tallyd us/req" "reference us/req" "capacity ratio"
for c in "${levels[@]}"; do
  t_cpu=$(median 5 "$work/tallyd-$c")
  r_cpu=$(median 5 "$work/ref-$c")
  printf '%-12s %16.1f %19.1f %15s\n' "$c" "$t_cpu" "$r_cpu" "$(ratio "$r_cpu" "$t_cpu")"
done
if [[ -f $work/tallyd-8 ]]; then
  echo "tallyd p99 at concurrency 8: $(median 2 "$work/tallyd-8") us"
fi
((problems == 0)) || echo "warning: $problems runs had errors or failed the CurrentClients check"
load_after=$(cut -d' ' -f1 /proc/loadavg)
echo "load average after: $load_after (the benchmark itself adds about 2)"
if awk -v l="$load_before" 'BEGIN { exit !(l > 0.5) }'; then
  echo "warning: the machine was busy before the run; the figures are not representative"
fi

# GET of PATH from the admin interface at $1 into FILE, over bash's own TCP.
admin_get() {
  local admin=$1 path=$2 file=$3
  { exec 3<>"/dev/tcp/${admin%:*}/${admin##*:}" &&
      printf 'GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n' "$path" "$admin" >&3 &&
      cat <&3 >"$file"; } 2>/dev/null
  exec 3<&- 3>&-
}

# An operator's load, kept light on the client side so that it takes little
# from the load generator's CPU: each second a scrape and a full listing,
# page after page, through the admin interface at $1.
admin_load() {
  local admin=$1 after next
  # The scraper and the operator sit on other machines: keep off the servers' CPU.
  ((${#client_cpu[@]})) && taskset -cp 0 "$BASHPID" >/dev/null
  while :; do
    admin_get "$admin" /metrics "$work/metrics.txt"
    after=""
    while :; do
      admin_get "$admin" "/api/v1/clients?limit=10000${after:+&after=$after}" "$work/page.json"
      next=$(tail -c 300 "$work/page.json" | grep -o '"next":"[^"]*"' | cut -d'"' -f4 || true)
      [[ -n $next ]] || break
      after=$next
    done
    sleep 1
  done
}

if [[ ${TALLY_BENCH_ADMIN:-0} == 1 ]]; then
  preload=${TALLY_BENCH_ADMIN_CLIENTS:-10000}
  # Three LOGINs per id on average leave about 95% of the ids registered.
  "${client_cpu[@]}" "$build/bench/tally-bench" --port "$tallyd_port" --ids "$preload" \
    --mix 1:0:0:0 --requests $((3 * preload)) --duration 600 --warmup 0 --id-prefix preload- \
    --no-check --quiet >/dev/null
  registered=$("$build/ctl/tallyctl" --admin "http://$admin" status |
                 sed -n 's/^current_clients: *//p')
  echo
  echo "operator's load: $rounds rounds x ${seconds} s at concurrency 8, $registered clients registered"
  for ((round = 1; round <= rounds; round++)); do
    for with in $((round % 2)) $(((round + 1) % 2)); do
      if ((with)); then
        admin_load "$admin" &
        admin_pid=$!
        run tallyd-with 8
        kill "$admin_pid" 2>/dev/null || true; wait "$admin_pid" 2>/dev/null || true
      else
        run tallyd-without 8
      fi
    done
  done
  w_rps=$(median 1 "$work/tallyd-with-8"); o_rps=$(median 1 "$work/tallyd-without-8")
  printf '%-22s %12s %12s %14s\n' "" "req/s" "p99 us" "server us/req"
  for side in without with; do
    printf '%-22s %12.0f %12.0f %14.1f\n' "$side" "$(median 1 "$work/tallyd-$side-8")" \
      "$(median 2 "$work/tallyd-$side-8")" "$(median 5 "$work/tallyd-$side-8")"
  done
  echo "throughput with / without: $(ratio "$w_rps" "$o_rps")"
fi

if [[ ${TALLY_BENCH_MICRO:-0} == 1 ]]; then
  echo
  "$build/bench/tally-microbench" --benchmark_counters_tabular=true
fi
