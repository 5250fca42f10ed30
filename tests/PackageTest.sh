#!/usr/bin/env bash
# The Debian packages as a user receives them. CPack builds them from this build tree into a temporary
# folder: each package must hold its own files and nothing else (the program, the library, the
# development files), its control file the packages it needs, and lintian must find no error in them.
# The service unit must pass systemd-analyze verify. Run from the unpacked files, the launcher must
# start the program in a workspace of the user's own, and its sample workspace must serve clients.
# Usage: PackageTest.sh BUILD_DIR
set -euo pipefail
build_dir=$1

tmp="$(mktemp -d)"
program=""
sample_user=""
# shellcheck disable=SC2317  # run by the trap
cleanup() {
  if [ -n "$program" ]; then kill -KILL "$program" 2>/dev/null || true; fi
  if [ -n "$sample_user" ]; then
    rm -rf "/tmp/firebird-$(id -u "$sample_user")"
    userdel "$sample_user" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
# Whether process $1 runs (an ended child stays a zombie until it is waited for).
running() {
  local state
  state="$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)"
  [ -n "$state" ] && [ "$state" != Z ]
}
# Asks the program started in the background to stop, and fails unless it ends cleanly.
stop_program() {
  kill -TERM "$program" 2>/dev/null || true
  for _ in $(seq 100); do
    running "$program" || break
    sleep 0.1
  done
  if running "$program"; then
    fail "the program did not end when asked"
  else
    wait "$program" || fail "the program did not end cleanly when asked"
    program=""
  fi
}

if ! cpack --config "$build_dir/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log"
  exit 1
fi
deb() { ls "$tmp"/out/"$1"_*_*.deb; }

# Every file of each package, against the list it should hold.
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
declare -A expected
expected[vespril]="
/usr/bin/vespril
/usr/bin/vespril-client
/usr/bin/vespril-launcher
/usr/lib/systemd/system/vespril.service
/usr/libexec/vespril/vespril-workspace
/usr/share/applications/vespril.desktop
/usr/share/doc/vespril/changelog.gz
/usr/share/doc/vespril/copyright
/usr/share/icons/hicolor/48x48/apps/vespril.png
/usr/share/icons/hicolor/scalable/apps/vespril.svg
/usr/share/man/man1/vespril-client.1.gz
/usr/share/man/man1/vespril-launcher.1.gz
/usr/share/man/man1/vespril.1.gz"
expected[libvesprilclient1]="
/usr/lib/$multiarch/libvesprilclient.so.1
/usr/lib/$multiarch/libvesprilclient.so.1.0.0
/usr/share/doc/libvesprilclient1/changelog.gz
/usr/share/doc/libvesprilclient1/copyright"
expected[libvesprilclient-dev]="
/usr/include/vespril/ResultFile.h
/usr/include/vespril/VesprilClient.h
/usr/include/vespril/WireProtocol.h
/usr/lib/$multiarch/cmake/VesprilClient/VesprilClientConfig.cmake
/usr/lib/$multiarch/cmake/VesprilClient/VesprilClientConfigVersion.cmake
/usr/lib/$multiarch/cmake/VesprilClient/VesprilClientTargets-relwithdebinfo.cmake
/usr/lib/$multiarch/cmake/VesprilClient/VesprilClientTargets.cmake
/usr/lib/$multiarch/libvesprilclient.so
/usr/lib/$multiarch/pkgconfig/vesprilclient.pc
/usr/share/doc/libvesprilclient-dev/changelog.gz
/usr/share/doc/libvesprilclient-dev/copyright"
for package in vespril libvesprilclient1 libvesprilclient-dev; do
  files="$(dpkg-deb -c "$(deb "$package")" | awk '$1 !~ /^d/ {print substr($6, 2)}' | sort)"
  [ "$files" = "$(sort <<<"${expected[$package]}" | sed '/^$/d')" ] ||
    fail "$package holds other files than expected:$(diff <(sort <<<"${expected[$package]}" | sed '/^$/d') - <<<"$files")"
  dpkg-deb -x "$(deb "$package")" "$tmp/root"
done

# Depends: by name, and the library package at this very version.
version="$(dpkg-deb -f "$(deb vespril)" Version)"
for package_needs in \
  "vespril:libvesprilclient1 (= $version),libqt6core6,libqt6widgets6,libfbclient2,libsystemd0,libcivetweb1,firebird3.0-server-core,adduser,libstdc++6,libc6" \
  "libvesprilclient-dev:libvesprilclient1 (= $version)" "libvesprilclient1:libstdc++6,libc6"; do
  package="${package_needs%%:*}"
  depends="$(dpkg-deb -f "$(deb "$package")" Depends)"
  IFS=, read -ra needs <<<"${package_needs#*:}"
  for needed in "${needs[@]}"; do  # "libc6 (>= 2.34), ..." -> libc6 ...
    tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/ (>[^)]*)$//' | grep -qxF "$needed" ||
      fail "$package's Depends lacks ${needed}: ${depends}"
  done
done

if command -v lintian >/dev/null; then
  lintian --fail-on error "$tmp"/out/*.deb 2>/dev/null >"$tmp/lintian.log" ||
    fail "lintian found errors: $(grep '^E:' "$tmp/lintian.log")"
fi
if command -v systemd-analyze >/dev/null; then
  # Verified as installed, its program being the unpacked one.
  sed "s|^ExecStart=/usr/bin/vespril|ExecStart=$tmp/root/usr/bin/vespril|" \
    "$tmp/root/usr/lib/systemd/system/vespril.service" >"$tmp/vespril.service"
  verified="$(systemd-analyze verify --man=no "$tmp/vespril.service" 2>&1)" || fail "systemd-analyze verify failed"
  [ -z "$verified" ] || fail "systemd-analyze verify reports: $verified"
fi
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$tmp/root/usr/share/applications/vespril.desktop" || fail "the desktop entry is not valid"
fi

# A first run: no workspace yet, no configuration files. The launcher makes the workspace and the
# program starts there (with an empty configuration, listening nowhere).
mkdir -p "$tmp/home"
env -u VESPRIL_DIR_CONSULTAS HOME="$tmp/home" XDG_DATA_HOME="" QT_QPA_PLATFORM=offscreen \
  "$tmp/root/usr/bin/vespril-launcher" &
program=$!
workspace="$tmp/home/.local/share/vespril"
for _ in $(seq 50); do
  [ "$(readlink "/proc/$program/exe" 2>/dev/null)" = "$tmp/root/usr/bin/vespril" ] && break
  sleep 0.1
done
if [ "$(readlink "/proc/$program/exe" 2>/dev/null)" != "$tmp/root/usr/bin/vespril" ]; then
  fail "the launcher did not start the program beside it"
else
  [ "$(readlink "/proc/$program/cwd")" = "$workspace" ] || fail "the program does not run in $workspace"
  tr '\0' '\n' <"/proc/$program/environ" | grep -qx "VESPRIL_DIR_CONSULTAS=$workspace" ||
    fail "the program's result files do not go to $workspace"
  sleep 1
  running "$program" || fail "the program ended on its first run"
  stop_program
fi
[ "$(stat -c %a "$workspace")" = 700 ] || fail "the workspace is open to other users"
[ -z "$(ls -A "$workspace")" ] || fail "a first run wrote files: $(ls -A "$workspace")"

# The sample workspace of vespril-launcher --exemplo, served on a port of its own, takes an order and
# shows it through the packaged client tool. Run as root, both go as an ordinary user made for the
# test, outside the firebird group, to whom the Firebird server's lock folder is closed.
export HOME="$tmp/sample" XDG_DATA_HOME=""
mkdir -p "$HOME"
as_user=()
if [ "$(id -u)" -eq 0 ] && command -v useradd >/dev/null; then
  sample_user="vespril-test-$$"
  useradd --system --no-create-home --home-dir "$HOME" --shell /usr/sbin/nologin "$sample_user"
  chown "$sample_user:" "$HOME"
  chmod 0755 "$tmp"
  as_user=(setpriv --reuid "$sample_user" --regid "$sample_user" --clear-groups env -u XDG_RUNTIME_DIR)
fi
"${as_user[@]}" "$tmp/root/usr/bin/vespril-launcher" --exemplo >"$tmp/exemplo.log" 2>&1 ||
  fail "--exemplo failed: $(cat "$tmp/exemplo.log")"
sample="$HOME/.local/share/vespril"
port=$((20000 + RANDOM % 20000))
"${as_user[@]}" sed -i "s/Valor=\"3211\"/Valor=\"$port\"/" "$sample/Porta_Relembrar.xml"
"${as_user[@]}" env -u VESPRIL_DIR_CONSULTAS QT_QPA_PLATFORM=offscreen "$tmp/root/usr/bin/vespril-launcher" &
program=$!
client() {
  LD_LIBRARY_PATH="$tmp/root/usr/lib/$multiarch" "$tmp/root/usr/bin/vespril-client" --port "$port" "$@" 2>&1
}
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
shown="$(client loja 1 -e "insert into PEDIDO (CLIENTE) values ('Ana');" &&
  client loja 2 --mostrar -e "select IDPEDIDO, CLIENTE from PEDIDO;")" || true
[ "$shown" = "$(printf 'IDPEDIDO CLIENTE\n======== =======\n       1 Ana')" ] ||
  fail "the sample workspace did not serve an INSERT and a query: $shown"
stop_program

[ "$failures" -eq 0 ] && echo "$(cd "$tmp/out" && echo *.deb): ok"
exit $((failures > 0))
