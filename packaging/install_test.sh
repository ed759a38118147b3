#!/usr/bin/env bash
# Installs a built tree into a scratch root with `cmake --install` and builds
# the Debian package with cpack, then checks that both put every file where
# the documentation says; that the unit and the man pages are well formed;
# that the package depends on every library its programs load; and that the
# installed daemon runs from the scratch root and answers the installed
# client and programs built against the installed headers and libraries.
# Nothing is installed on this machine. Exit 77 (skipped) without dpkg-deb.
#
# usage: install_test.sh BUILD_DIR
set -uo pipefail

build=$(cd "$1" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tallyd-install-test.XXXXXX")
daemon_pid=""
cleanup() {
  [[ -n $daemon_pid ]] && kill -9 "$daemon_pid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then pass; else fail "$what"; fi
}

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
libdir=$(cache_value CMAKE_INSTALL_LIBDIR)
[[ -n $libdir ]] || libdir=lib
has_bench=false
[[ -x $build/bench/tally-bench ]] && has_bench=true

# Paths under /usr that the man pages and the operating notes promise.
expected=(
  sbin/tallyd
  bin/tally-client
  bin/tallyctl
  "$libdir/libtallyservice.so.1"
  "$libdir/libtallyservice.so"
  "$libdir/libtally_client.a"
  "$libdir/libtally_wire.a"
  "$libdir/libtally_base.a"
  include/tallyd/client/request_builder.h
  include/tallyd/client/reply.h
  include/tallyd/client/tally_client.h
  include/tallyd/transport/packet.h
  include/tallyd/transport/packet_cipher.h
  include/tallyd/transport/md5_hex.h
  include/tallyd/protocol/protocol_constants.h
  include/tallyd/protocol/reply_code.h
  include/tallyd/server/norla_server.h
  include/tallyd/server/event_handler.h
  share/doc/tallyd/tallyd.conf
  share/doc/tallyd/denyip.txt
  share/doc/tallyd/allowip.txt
  share/doc/tallyd/haproxy.cfg
  share/man/man8/tallyd.8.gz
  share/man/man1/tally-client.1.gz
  share/man/man1/tallyctl.1.gz
  share/man/man1/tally-bench.1.gz
  share/man/man1/tally-refserver.1.gz
  lib/systemd/system/tallyd.service
)
if $has_bench; then expected+=(bin/tally-bench bin/tally-refserver); fi

check_tree() {  # check_tree ROOT LABEL
  local root=$1 label=$2 path
  for path in "${expected[@]}"; do
    check "$label: /usr/$path" test -e "$root/usr/$path"
  done
  check "$label: unit runs /usr/sbin/tallyd" \
    grep -qx 'ExecStart=/usr/sbin/tallyd' "$root/usr/lib/systemd/system/tallyd.service"
  # The daemon loads its service library from the tree it was installed with.
  local found
  found=$(ldd "$root/usr/sbin/tallyd" | awk '$1 == "libtallyservice.so.1" { print $3 }')
  check "$label: tallyd loads libtallyservice from its own tree (ldd: $found)" \
    test "$(realpath -m "$found")" = "$(realpath -m "$root/usr/$libdir/libtallyservice.so.1")"
}

# ---- cmake --install into a scratch DESTDIR --------------------------------
inst=$scratch/install
if ! DESTDIR=$inst cmake --install "$build" --prefix /usr >"$scratch/install.log" 2>&1; then
  cat "$scratch/install.log"
  fail "cmake --install"
  echo "install test: $passed passed, $failed failed"
  exit 1
fi
check_tree "$inst" install

# ---- the unit -------------------------------------------------------------
unit=$inst/usr/lib/systemd/system/tallyd.service
if command -v systemd-analyze >/dev/null; then
  # Verified in place of the real path, which this machine does not have.
  sed "s|^ExecStart=/usr/sbin/|ExecStart=$inst/usr/sbin/|" "$unit" >"$scratch/tallyd.service"
  out=$(systemd-analyze verify --man=no "$scratch/tallyd.service" 2>&1)
  check "systemd-analyze verify is silent: $out" test -z "$out"
else
  echo "note: systemd-analyze not available, unit not verified"
fi

# ---- man pages ------------------------------------------------------------
if command -v groff >/dev/null; then
  for page in "$inst"/usr/share/man/man*/*.gz; do
    out=$(zcat "$page" | groff -man -ww -z -Tutf8 2>&1)
    check "$(basename "$page") renders without warnings: $out" test -z "$out"
  done
else
  echo "note: groff not available, man pages not rendered"
fi

# ---- the installed programs run -------------------------------------------
work=$scratch/work
mkdir -p "$work"
port=""
for _ in 1 2 3 4 5; do
  candidate=$((20000 + RANDOM % 20000))
  (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null && continue
  (cd "$work" && exec "$inst/usr/sbin/tallyd" --standalone --port "$candidate") \
    >"$scratch/tallyd.log" 2>&1 &
  daemon_pid=$!
  for _ in $(seq 100); do
    grep -q ServiceStart "$scratch/tallyd.log" && break
    kill -0 "$daemon_pid" 2>/dev/null || break
    sleep 0.1
  done
  if grep -q ServiceStart "$scratch/tallyd.log"; then port=$candidate; break; fi
  kill -9 "$daemon_pid" 2>/dev/null; wait "$daemon_pid" 2>/dev/null; daemon_pid=""
done

if [[ -z $port ]]; then
  cat "$scratch/tallyd.log"
  fail "installed tallyd did not start"
else
  pass
  out=$("$inst/usr/bin/tally-client" --port "$port" login --unique install-test --app a 2>&1)
  check "installed tally-client registers a client: $out" \
    grep -qx 'current clients: 1' <<<"$out"

  # A vendor's program, built only from the installed headers and libraries.
  if command -v g++ >/dev/null; then
    cat >"$scratch/vendor.cpp" <<'EOF'
#include <cstdio>
#include "client/tally_client.h"
#include "client/request_builder.h"
#include "server/norla_server.h"
int main(int, char** argv) {
  tally::ClientOptions options;
  options.port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  tally::ExchangeResult result =
      tally::SendCommand(options, norla::kNorlaPing, "korvia7mobile", "", "");
  if (result.error != tally::ExchangeError::kNone) return 2;
  std::printf("clients %lu, service %d\n", result.reply.currentClients, NorlaServerCheckDll());
  return 0;
}
EOF
    # A sanitized build's libraries need the same runtime in the program.
    sanitize=$(cache_value TALLY_SANITIZE | tr ';' ',')
    if g++ -std=c++17 ${sanitize:+-fsanitize=$sanitize} -o "$scratch/vendor" \
         "$scratch/vendor.cpp" -I"$inst/usr/include/tallyd" -L"$inst/usr/$libdir" \
         -ltally_client -ltally_wire -ltally_base -ltallyservice -lboost_system -lcrypto -pthread \
         >"$scratch/vendor.log" 2>&1; then
      pass
      out=$(LD_LIBRARY_PATH="$inst/usr/$libdir" "$scratch/vendor" "$port" 2>&1)
      check "vendor program talks to the installed daemon: $out" \
        test "$out" = "clients 1, service 1"
    else
      cat "$scratch/vendor.log"
      fail "a program builds against the installed headers and libraries"
    fi
  fi

  kill -INT "$daemon_pid"
  wait "$daemon_pid"
  status=$?
  daemon_pid=""
  check "installed tallyd stops on SIGINT with status 0 (got $status)" test "$status" -eq 0
fi

# ---- the Debian package ---------------------------------------------------
if ! command -v dpkg-deb >/dev/null; then
  echo "install test: $passed passed, $failed failed (no dpkg-deb: package not built)"
  ((failed == 0)) && exit 77
  exit 1
fi

if ! (cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg") \
     >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log"
  fail "cpack -G DEB"
  echo "install test: $passed passed, $failed failed"
  exit 1
fi
debs=("$scratch"/pkg/tallyd_*.deb)
deb=${debs[0]}
[[ -e $deb ]] || deb=""
check "cpack made tallyd_<version>_<arch>.deb" test -n "$deb"

field() { dpkg-deb -f "$deb" "$1"; }
check "package name" test "$(field Package)" = tallyd
check "package architecture" test "$(field Architecture)" = "$(dpkg --print-architecture)"
depends=$(field Depends)
depend_names=$(tr ',|' '\n' <<<"$depends" | awk '{ print $1 }')

root=$scratch/deb
dpkg-deb -x "$deb" "$root"
check_tree "$root" package
# The package holds exactly what cmake --install puts down.
diff <(cd "$inst" && find . ! -type d | sort) <(cd "$root" && find . ! -type d | sort) \
  >"$scratch/tree.diff"
check "package and install tree hold the same files: $(cat "$scratch/tree.diff")" \
  test ! -s "$scratch/tree.diff"

# Every library a packaged program loads comes from a package named in
# Depends (or from this package).
if command -v objdump >/dev/null; then
  while IFS= read -r elf; do
    for lib in $(objdump -p "$elf" | awk '$1 == "NEEDED" { print $2 }'); do
      [[ -e $root/usr/$libdir/$lib ]] && continue
      # The file the loader picks; dpkg knows it under that name or its target
      # ("name => path", or just the path for the dynamic loader).
      path=$(ldd "$elf" | awk -v l="$lib" '
        $1 == l { print $3 }
        substr($1, length($1) - length(l)) == "/" l { print $1 }')
      owner=""
      [[ -n $path ]] && owner=$( (dpkg -S "$path" || dpkg -S "$(realpath "$path")") 2>/dev/null |
                                head -1 | cut -d: -f1)
      if [[ -z $owner ]]; then
        fail "$(basename "$elf"): no installed package provides $lib (${path:-not found})"
      else
        check "Depends names $owner for $lib ($(basename "$elf")): $depends" \
          grep -qxF "$owner" <<<"$depend_names"
      fi
    done
  done < <(find "$root" -type f -exec sh -c 'file -b "$1" | grep -q "^ELF.*dynamic"' _ {} \; -print)
fi

control=$scratch/control
dpkg-deb -e "$deb" "$control"
for script in postinst prerm postrm; do
  check "$script is an executable shell script" test -x "$control/$script"
  check "$script parses" sh -n "$control/$script"
done
check "ldconfig trigger" grep -qx 'activate-noawait ldconfig' "$control/triggers"
check "shlibs names libtallyservice 1" grep -q '^libtallyservice 1 tallyd' "$control/shlibs"

echo "install test: $passed passed, $failed failed"
((failed == 0))
