#!/usr/bin/env bash
# The Debian package as a user receives it. CPack builds it from this build tree into a temporary
# folder; its file list must hold everything a user installs, its control file the packages it needs,
# and its launcher, run from the unpacked files, must start the program in a workspace of the user's own.
# Usage: PackageTest.sh BUILD_DIR WITH_CLIENT(0|1)
set -euo pipefail
build_dir=$1
with_client=$2

tmp="$(mktemp -d)"
program=""
# shellcheck disable=SC2317  # run by the trap
cleanup() {
  if [ -n "$program" ]; then kill -KILL "$program" 2>/dev/null || true; fi
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

if ! cpack --config "$build_dir/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log"
  exit 1
fi
deb="$(ls "$tmp"/out/vespril_*_*.deb)"

files="$(dpkg-deb -c "$deb" | awk '{print $6}')"
expected=(
  '\./usr/bin/vespril'
  '\./usr/bin/vespril-launcher'
  '\./usr/share/applications/vespril\.desktop'
  '\./usr/share/icons/hicolor/scalable/apps/vespril\.svg'
  '\./usr/share/icons/hicolor/48x48/apps/vespril\.png'
)
if [ "$with_client" = 1 ]; then
  expected+=(
    '\./usr/bin/vespril-client'
    '\./usr/lib/(.*/)?libvesprilclient\.so\..*'
    '\./usr/include/.*\.h(pp)?'
  )
fi
for pattern in "${expected[@]}"; do
  grep -Eq "^${pattern}\$" <<<"$files" || fail "the package holds no ${pattern}"
done

depends="$(dpkg-deb -f "$deb" Depends)"
names="$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/ .*//')"  # "libc6 (>= 2.34), ..." -> libc6 ...
for needed in libqt6core6 libqt6widgets6 libfbclient2 firebird3.0-server-core libstdc++6 libc6; do
  grep -qxF "$needed" <<<"$names" || fail "Depends lacks ${needed}: ${depends}"
done

dpkg-deb -x "$deb" "$tmp/root"
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
fi
[ "$(stat -c %a "$workspace")" = 700 ] || fail "the workspace is open to other users"
[ -z "$(ls -A "$workspace")" ] || fail "a first run wrote files: $(ls -A "$workspace")"

[ "$failures" -eq 0 ] && echo "$(basename "$deb"): ok"
exit $((failures > 0))
