#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole suite:
#   1. release build, every test
#   2. AddressSanitizer + UndefinedBehaviorSanitizer build, every test
#   3. ThreadSanitizer build, the concurrency tests
#   4. clang build with the lock annotations checked, and a libFuzzer smoke
#      run of each fuzz target (TALLY_FUZZ_SECONDS, default 30)
#   5. shellcheck of every shell script
# Ends non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
scripts/install-deps.sh || exit 1

jobs=$(nproc)
fuzz_seconds=${TALLY_FUZZ_SECONDS:-30}
passed=0
failed=0
status=0

stage() { printf '\n=== %s ===\n' "$*"; }

# Runs ctest in a build directory and adds its counts to the totals.
run_ctest() {
  local dir=$1; shift
  local log
  log=$(mktemp)
  ctest --test-dir "$dir" --output-on-failure --timeout 300 -j"$jobs" "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  if [[ -n "$line" ]]; then
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  fi
  rm -f "$log"
  if ((rc != 0)); then
    [[ -n "$line" ]] || failed=$((failed + 1))
    status=1
  fi
}

configure_and_build() {
  local dir=$1; shift
  local targets=()
  while (($#)) && [[ $1 != -- ]]; do targets+=("$1"); shift; done
  shift || true
  if ! cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir/configure.log" 2>&1; then
    cat "$dir/configure.log"; return 1
  fi
  local build=(cmake --build "$dir" -j"$jobs")
  ((${#targets[@]})) && build+=(--target "${targets[@]}")
  "${build[@]}"
}

mkdir -p build build-asan build-tsan build-fuzz

stage "release build"
if configure_and_build build --; then
  run_ctest build
else
  failed=$((failed + 1)); status=1
fi

stage "AddressSanitizer + UndefinedBehaviorSanitizer build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if configure_and_build build-asan -- "-DTALLY_SANITIZE=address;undefined" -DTALLY_BUILD_BENCH=OFF; then
  run_ctest build-asan
else
  failed=$((failed + 1)); status=1
fi

stage "ThreadSanitizer build (concurrency tests)"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
if configure_and_build build-tsan concurrency_tests -- -DTALLY_SANITIZE=thread -DTALLY_BUILD_BENCH=OFF; then
  run_ctest build-tsan -L concurrency
else
  failed=$((failed + 1)); status=1
fi

stage "clang build with lock analysis; libFuzzer smoke run (${fuzz_seconds}s per target)"
# The libraries' objects, not just the daemon's: the lock rules live in server/ and transport/.
if CXX=clang++ configure_and_build build-fuzz fuzz_frame fuzz_request tally_daemon tally_client \
     tally_server tally_transport tally_admin tally_state tallyctl_core -- \
     -DTALLY_BUILD_FUZZERS=ON -DTALLY_BUILD_TESTS=OFF -DTALLY_BUILD_BENCH=OFF; then
  for fuzzer in build-fuzz/tests/fuzz/fuzz_*; do
    [[ -x $fuzzer ]] || continue
    name=$(basename "$fuzzer")
    corpus="build-fuzz/corpus/$name"
    mkdir -p "$corpus"
    if "$fuzzer" -max_total_time="$fuzz_seconds" -print_final_stats=0 "$corpus" \
         >"build-fuzz/$name.log" 2>&1; then
      echo "$name: no finding in ${fuzz_seconds}s"
      passed=$((passed + 1))
    else
      tail -40 "build-fuzz/$name.log"
      echo "$name: FAILED"
      failed=$((failed + 1)); status=1
    fi
  done
else
  failed=$((failed + 1)); status=1
fi

stage "shellcheck"
mapfile -t scripts < <(git ls-files '*.sh' .ci/run packaging/debian/postinst packaging/debian/prerm \
                         packaging/debian/postrm)
if shellcheck "${scripts[@]}"; then
  echo "shellcheck: ${#scripts[@]} scripts clean"
  passed=$((passed + 1))
else
  failed=$((failed + 1)); status=1
fi

echo
echo "suite: $passed passed, $failed failed"
exit $status
