# shellcheck shell=bash
# Shared by the benchmark scripts; sourced, not run.

# Configures and builds a Release tree in $1 (made absolute in $build) with the
# targets after it; the logs stay in the tree.
bench_build() {
  build=$1
  shift
  mkdir -p "$build"
  build=$(cd "$build" && pwd)
  echo "building Release in $build ..."
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTALLY_BUILD_TESTS=OFF \
    -DTALLY_BUILD_BENCH=ON >"$build/bench-configure.log" 2>&1 ||
    { cat "$build/bench-configure.log"; exit 1; }
  cmake --build "$build" -j"$(nproc)" --target "$@" >"$build/bench-build.log" 2>&1 ||
    { tail -40 "$build/bench-build.log"; exit 1; }
}

# A free loopback port, or nothing after eight tries.
free_port() {
  local port
  for _ in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 20000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && continue
    echo "$port"
    return 0
  done
  return 1
}

median() {  # median of column $1 of file $2
  awk -v c="$1" '{ print $c }' "$2" | sort -g |
    awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

# Sends signal $1 to process $2 and waits for it, whatever its exit status:
# under `set -e` a failing wait would end the cleanup that calls this. A
# process that is not this shell's child (a detached daemon) is given up to
# 5 s to be gone.
stop_process() {
  kill -"$1" "$2" 2>/dev/null || return 0
  wait "$2" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$2" 2>/dev/null || return 0; sleep 0.1; done
}
