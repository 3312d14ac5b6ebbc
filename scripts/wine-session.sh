#!/usr/bin/env bash
# A throwaway Wine session: a fresh prefix, an Xvfb display with Wine's virtual desktop, and a
# wineserver kept alive until `stop`, so that Wine's start-up cost is paid once.
#
#   wine-session.sh start STATE_DIR        boot a new prefix in STATE_DIR/prefix
#   wine-session.sh run STATE_DIR PROG...  run a Windows program (or Wine built-in) in it
#   wine-session.sh stop STATE_DIR         stop the wineserver and the display
#
# The prefix carries the marker that lets the integration suite touch its registry and INF store.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/wine-common.sh"

cmd=${1:?usage: wine-session.sh start|run|stop STATE_DIR [PROGRAM ARGS...]}
state=$(realpath -m "${2:?state folder missing}")
shift 2

load_env() {
  [ -f "$state/env" ] || { echo "wine-session: no session in $state (run start first)" >&2; exit 2; }
  # shellcheck disable=SC1091
  source "$state/env"
}

case "$cmd" in
start)
  loader=$(wine_loader)
  wineserver=$(wine_server)
  "$0" stop "$state" >/dev/null 2>&1 || true
  rm -rf "$state"
  mkdir -p "$state/prefix"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$state/display" >"$state/xvfb.log" 2>&1 &
  echo $! >"$state/xvfb.pid"
  for _ in $(seq 100); do [ -s "$state/display" ] && break; sleep 0.1; done
  [ -s "$state/display" ] || { echo "wine-session: Xvfb did not start" >&2; cat "$state/xvfb.log" >&2; exit 1; }
  cat >"$state/env" <<ENV
export WINEPREFIX="$state/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=":$(tr -d '\n' <"$state/display")"
export BRELLAN_WINE_SANDBOX=1
WINE_LOADER="$loader"
WINE_SERVER="$wineserver"
ENV
  load_env
  # Everything Wine starts here lives on after this script: keep it off our output, or whoever
  # reads that output (ctest) waits for it to close.
  log="$state/start.log"
  "$WINE_SERVER" -p >>"$log" 2>&1
  "$WINE_LOADER" wineboot -i >>"$log" 2>&1
  # Boxes on Wine's virtual desktop close at once on WM_COMMAND (about 2 s on a bare X server);
  # a crash must end the process rather than open the debugger and hang the run.
  "$WINE_LOADER" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >>"$log" 2>&1
  "$WINE_LOADER" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >>"$log" 2>&1
  "$WINE_LOADER" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >>"$log" 2>&1
  # A new Wine 8 prefix reports Windows 7; the package supports Windows 10 and later by default.
  "$WINE_LOADER" reg add 'HKCU\Software\Wine' /v Version /d win10 /f >>"$log" 2>&1
  # The desktop setting is read when the desktop starts: restart the server so it takes effect.
  "$WINE_SERVER" -k >>"$log" 2>&1 || true
  sleep 0.5
  "$WINE_SERVER" -p >>"$log" 2>&1
  echo "throwaway Wine prefix for the Brellan installer tests" >"$WINEPREFIX/drive_c/windows/brellan-test-sandbox"
  # A German display language, for a run with LANG=de_DE.UTF-8 LOCPATH=STATE_DIR/locale: Wine takes
  # the user's language from the C library's locale, made here from Debian's locale sources in the
  # session's own folder, never the machine's.
  mkdir -p "$state/locale"
  localedef -i de_DE -f UTF-8 "$state/locale/de_DE.UTF-8" >>"$log" 2>&1 || true
  echo "wine-session: prefix ready in $WINEPREFIX on display $DISPLAY"
  ;;
run)
  load_env
  # The first program after start also starts Wine's desktop and services, which live on: give
  # them a file rather than our output, then pass the program's output on once it has ended.
  out=$(mktemp)
  status=0
  # The suite reads it back, to see what Wine's debug channels said of the programs it ran.
  BRELLAN_RUN_OUTPUT="$out" "$WINE_LOADER" "$@" >"$out" 2>&1 </dev/null || status=$?
  cat "$out"
  rm -f "$out"
  exit $status
  ;;
stop)
  if [ -f "$state/env" ]; then
    load_env
    "$WINE_SERVER" -k 2>/dev/null || true
  fi
  if [ -f "$state/xvfb.pid" ]; then
    kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
    rm -f "$state/xvfb.pid"
  fi
  echo "wine-session: stopped"
  ;;
*)
  echo "usage: wine-session.sh start|run|stop STATE_DIR [PROGRAM ARGS...]" >&2
  exit 2
  ;;
esac
