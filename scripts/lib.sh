# Shared by scripts/run, scripts/test and scripts/package: packages, build, and the loopback Firebird server.
# Sourced, not run. Every function is safe to call again.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${VESPRIL_BUILD_DIR:-$ROOT/build}"
# The same project built with AddressSanitizer and UndefinedBehaviorSanitizer.
SANITIZE_BUILD_DIR="${VESPRIL_SANITIZE_BUILD_DIR:-$ROOT/build-asan}"
# And with ThreadSanitizer (scripts/test --tsan).
TSAN_BUILD_DIR="${VESPRIL_TSAN_BUILD_DIR:-$ROOT/build-tsan}"
# And with clang, whose thread-safety analysis checks the locking the code states.
CLANG_BUILD_DIR="${VESPRIL_CLANG_BUILD_DIR:-$ROOT/build-clang}"
FB_PASSWORD=quillbark

PACKAGES=(
  cmake ninja-build g++ clang qt6-base-dev libgtest-dev
  firebird-dev libfbclient2 firebird3.0-server-core firebird3.0-server firebird3.0-utils
  xvfb xauth openbox fontconfig fonts-dejavu-core fonts-liberation2
  dpkg-dev desktop-file-utils libsystemd-dev prometheus-cpp-dev libcivetweb-dev zlib1g-dev lintian systemd
  clang-format
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages that are missing; does nothing when all are there.
ensure_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

build() {
  cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DVESPRIL_WERROR=ON >/dev/null
  cmake --build "$BUILD_DIR"
}

# Any sanitizer report ends the process with an error; leaks inside the Firebird client library are
# its own and listed in lsan.supp. Exported for the sanitized build too, since building runs the test
# binaries to list their tests. The leak checker does not scan thread-local storage (use_tls=0): on
# Debian 12 its scan of the dynamic TLS that the embedded Firebird engine's libraries leave behind
# crashes it at exit ("Tracer caught signal 11"); what only TLS holds (GLib's, the loader's) is listed
# in lsan.supp instead.
export_sanitizer_options() {
  export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
  export LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0:use_tls=0"
}

build_sanitized() {
  cmake -S "$ROOT" -B "$SANITIZE_BUILD_DIR" -G Ninja -DVESPRIL_SANITIZE=ON >/dev/null
  (export_sanitizer_options && cmake --build "$SANITIZE_BUILD_DIR")
}

# Any race report ends the process with an error. Qt and Firebird are not built with the sanitizer:
# their own memory accesses are left unchecked (their locks still count), since their locking is
# invisible to it. The lock-order checker is off: the embedded Firebird engine holds more locks at once
# than it can follow.
export_tsan_options() {
  export TSAN_OPTIONS="halt_on_error=1:detect_deadlocks=0:ignore_noninstrumented_modules=1"
}

build_tsan() {
  cmake -S "$ROOT" -B "$TSAN_BUILD_DIR" -G Ninja -DVESPRIL_TSAN=ON >/dev/null
  (export_tsan_options && cmake --build "$TSAN_BUILD_DIR")
}

# Compiled only, never run: what it checks is the locking each field and function states
# (foundation/base/ThreadAnnotations.h), and a breach fails the compile.
build_clang() {
  cmake -S "$ROOT" -B "$CLANG_BUILD_DIR" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$CLANG_BUILD_DIR"
}

port_open() {  # port_open PORT: something accepts on 127.0.0.1:PORT
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

FB_STARTED_PID=""

# Starts the Firebird SuperServer on 127.0.0.1:3050 with the gateway's SYSDBA password, unless a server
# already listens there (then it is used as it is). FB_STARTED_PID names what we started.
start_fb_server() {
  if port_open 3050; then
    echo "Using the Firebird server already listening on port 3050."
    return 0
  fi
  # The lock directory must belong to the server's user, also when an embedded run made it first.
  as_root install -d -o firebird -g firebird -m 0770 /tmp/firebird
  as_root chown -R firebird:firebird /tmp/firebird
  as_root install -d -o firebird -g firebird /run/firebird3.0
  echo "create or alter user SYSDBA password '$FB_PASSWORD'; commit;" |
    as_root isql-fb -q -user SYSDBA /var/lib/firebird/3.0/system/security3.fdb >/dev/null
  local pidfile=/run/firebird3.0/vespril-test-fbguard.pid
  as_root rm -f "$pidfile"
  as_root su -s /bin/sh firebird -c "/usr/sbin/fbguard -daemon -forever -pidfile $pidfile"
  for _ in $(seq 1 100); do
    port_open 3050 && break
    sleep 0.2
  done
  if ! port_open 3050; then
    echo "The Firebird server did not start on port 3050." >&2
    return 1
  fi
  FB_STARTED_PID="$(cat "$pidfile" 2>/dev/null)"
  echo "Started a Firebird server on 127.0.0.1:3050 (fbguard pid ${FB_STARTED_PID:-unknown})."
}

stop_fb_server() {
  [ -n "$FB_STARTED_PID" ] || return 0
  as_root kill "$FB_STARTED_PID" 2>/dev/null || true
  for _ in $(seq 1 50); do
    port_open 3050 || break
    sleep 0.2
  done
  FB_STARTED_PID=""
}
