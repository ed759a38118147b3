#!/usr/bin/env bash
# The expect checks below are evaluated against $v, so they stay in single quotes.
# shellcheck disable=SC2016
# Runs the installed tallyd.service under a real systemd: installs the build
# tree into a scratch root, boots a throw-away container (this machine's /usr
# with the scratch root's /usr laid over it, its own network namespace, a
# volatile root) and there starts, uses, stops, kills and restarts the
# service. Checks the main-PID guess, the dynamic user, the access lists read
# from /, the stop status counted as success, the restart after a crash, the
# journal, and the hardening score.
# Needs root and systemd-nspawn (package systemd-container); exits 77
# (skipped) without them or when the container cannot boot here.
#
# usage: systemd_unit_test.sh BUILD_DIR
set -uo pipefail

build=$(cd "$1" && pwd)
if [[ $(id -u) -ne 0 ]] || ! command -v systemd-nspawn >/dev/null; then
  echo "skipped: needs root and systemd-nspawn"
  exit 77
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tallyd-unit-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
inst=$scratch/install
box=$scratch/box
mkdir -p "$box/out" "$box/units" "$box/upper" "$box/work"

if ! DESTDIR=$inst cmake --install "$build" --prefix /usr >"$scratch/install.log" 2>&1; then
  cat "$scratch/install.log"
  echo "FAIL: cmake --install"
  exit 1
fi

# Runs inside the container; every finding is a "name=value" line.
cat >"$box/out/run.sh" <<'EOF'
#!/bin/sh
out=/out/result
note() { echo "$1=$2" >>"$out"; }
note booted 1
mkdir -p /etc/opt/tallyd
printf '[tallyd]\nsyslog-ident = tallyd-unit-test\n' >/etc/opt/tallyd/tallyd.conf
# Only loopback's 127.0.0.1 is admitted: a request from 127.0.0.2 proves the
# detached daemon read its lists from /.
printf '*\n' >/denyip.txt
printf '127.0.0.1\n' >/allowip.txt
systemctl daemon-reload
systemctl start tallyd.service; note start $?
for _ in $(seq 50); do tally-client ping >/dev/null 2>&1 && break; sleep 0.2; done
pid=$(systemctl show -p MainPID --value tallyd.service)
note main_is_tallyd "$(cat /proc/$pid/comm 2>/dev/null)"
note main_uid "$(stat -c %u /proc/$pid 2>/dev/null)"
note main_cwd "$(readlink /proc/$pid/cwd 2>/dev/null)"
note nofile "$(systemctl show -p LimitNOFILE --value tallyd.service)"
tally-client login --unique unit-test --app a >/dev/null 2>&1; note login $?
tally-client --bind 127.0.0.2 ping >/dev/null 2>&1; note refused $?
systemctl stop tallyd.service; note stop $?
note stop_result "$(systemctl show -p Result --value tallyd.service)"
note stop_status "$(systemctl show -p ExecMainStatus --value tallyd.service)"
systemctl start tallyd.service
for _ in $(seq 50); do tally-client ping >/dev/null 2>&1 && break; sleep 0.2; done
kill -9 "$(systemctl show -p MainPID --value tallyd.service)"
for _ in $(seq 100); do
  [ "$(systemctl show -p NRestarts --value tallyd.service)" = 1 ] &&
    tally-client ping >/dev/null 2>&1 && break
  sleep 0.2
done
note restarts "$(systemctl show -p NRestarts --value tallyd.service)"
tally-client ping >/dev/null 2>&1; note ping_after_restart $?
systemctl stop tallyd.service
journalctl -u tallyd.service --no-pager >/out/journal.txt 2>&1
note exposure "$(systemd-analyze security tallyd.service --no-pager 2>/dev/null |
  sed -n 's/.*Overall exposure level for tallyd.service: \([0-9.]*\).*/\1/p')"
note done 1
systemctl poweroff
EOF
chmod +x "$box/out/run.sh"
cat >"$box/units/tallytest.service" <<'EOF'
[Unit]
After=sysinit.target systemd-journald.service
[Service]
Type=oneshot
ExecStart=/out/run.sh
EOF
cat >"$box/units/tallytest.target" <<'EOF'
[Unit]
Requires=sysinit.target systemd-journald.service tallytest.service
After=sysinit.target
AllowIsolate=yes
EOF

# A sanitized daemon's leak check needs ptrace, which the unit's system-call
# filter refuses; the check then fails the exit status, not the daemon.
dropin=()
if grep -q '^TALLY_SANITIZE:[A-Z]*=.*address' "$build/CMakeCache.txt"; then
  printf '[Service]\nEnvironment=ASAN_OPTIONS=detect_leaks=0\n' >"$box/units/sanitizer.conf"
  dropin=(--bind-ro="$box/units/sanitizer.conf:/etc/systemd/system/tallyd.service.d/sanitizer.conf")
fi

timeout 180 systemd-nspawn --quiet --register=no --keep-unit --private-network \
  --machine="tallyd-unit-$$" --directory=/ --volatile=yes --boot \
  --overlay="/usr:$inst/usr:$box/upper:/usr" \
  --bind="$box/out:/out" \
  --bind-ro="$box/units/tallytest.service:/etc/systemd/system/tallytest.service" \
  --bind-ro="$box/units/tallytest.target:/etc/systemd/system/tallytest.target" \
  "${dropin[@]}" \
  systemd.unit=tallytest.target systemd.firstboot=off >"$scratch/boot.log" 2>&1
result=$box/out/result
if ! grep -qx 'booted=1' "$result" 2>/dev/null; then
  sed 's/\x1b\[[0-9;]*m//g' "$scratch/boot.log" | tail -20
  echo "skipped: the container did not boot on this machine"
  exit 77
fi

passed=0
failed=0
expect() {  # expect NAME DESCRIPTION TEST-ARGS... (the value is $v)
  local name=$1 what=$2; shift 2
  v=$(sed -n "s/^$name=//p" "$result" | tail -1)
  if eval "$*"; then passed=$((passed + 1)); else echo "FAIL: $what ($name=$v)"; failed=$((failed + 1)); fi
}
expect "done" "the script in the container ran to its end" '[[ $v == 1 ]]'
expect start "systemctl start succeeds" '[[ $v == 0 ]]'
expect main_is_tallyd "the guessed main PID is the detached daemon" '[[ $v == tallyd ]]'
expect main_uid "the daemon runs as a dynamic user, not root" '[[ -n $v && $v != 0 ]]'
expect main_cwd "the detached daemon works in /" '[[ $v == / ]]'
expect nofile "LimitNOFILE is set" '[[ $v == 65536 ]]'
expect login "an admitted peer is served" '[[ $v == 0 ]]'
expect refused "a peer outside /allowip.txt is refused" '[[ $v == 3 ]]'
expect stop "systemctl stop succeeds" '[[ $v == 0 ]]'
expect stop_status "the daemon ends with 65 on SIGTERM" '[[ $v == 65 ]]'
expect stop_result "status 65 counts as a clean stop" '[[ $v == success ]]'
expect restarts "a killed daemon is restarted once" '[[ $v == 1 ]]'
expect ping_after_restart "the restarted daemon serves" '[[ $v == 0 ]]'
expect exposure "systemd-analyze security rates the unit at most 2.0" \
  '[[ -n $v ]] && awk -v e="$v" "BEGIN { exit !(e <= 2.0) }"'
for line in "ServiceStart, Current clients : 0" "Connect : 127.0.0.1, Current clients : 1" \
            "Received signal : 15" "ServiceEnd"; do
  if grep -qF "$line" "$box/out/journal.txt"; then
    passed=$((passed + 1))
  else
    echo "FAIL: journal lacks '$line'"
    failed=$((failed + 1))
  fi
done
((failed == 0)) || cat "$box/out/journal.txt"

echo "systemd unit test: $passed passed, $failed failed"
((failed == 0))
