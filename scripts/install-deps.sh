#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, test and benchmark tallyd.
# Runs as root; does nothing when everything is already there.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libboost-dev libboost-thread-dev libboost-system-dev libboost-filesystem-dev
  libboost-date-time-dev libssl-dev nlohmann-json3-dev
  libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  busybox-syslogd iproute2 util-linux procps dpkg-dev file shellcheck
  systemd systemd-container
  libsqlite3-dev sqlite3 haproxy prometheus chromium chromium-driver python3-selenium
  libhiredis-dev redis-server redis-sentinel redis-tools
)
if [[ "${TALLY_DEPS:-}" == "runtime" ]]; then
  packages=(g++ cmake make libboost-dev libboost-thread-dev libboost-system-dev
            libboost-filesystem-dev libboost-date-time-dev libssl-dev nlohmann-json3-dev
            libsqlite3-dev libhiredis-dev pkg-config)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "install-deps: missing packages (${missing[*]}); run as root" >&2
    exit 1
  fi
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
