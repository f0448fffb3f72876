#!/usr/bin/env bash
# Runs a Windows program of the Windows build under Wine in the given prefix:
#   wine-run.sh PREFIX --create     makes the prefix afresh, with Wine's null graphics driver and
#                                   no audio driver
#   wine-run.sh PREFIX --stop       stops the prefix's wineserver
#   wine-run.sh PREFIX PROGRAM ...  runs the program and exits with its exit code
# The null graphics driver lets the ASIO driver create its hidden message window on a machine
# without a display; without an audio driver the machine has no audio endpoints at all.
set -euo pipefail
export WINEPREFIX=$1
shift
export WINEDEBUG=-all
# No Mono or Gecko installation dialogs in a new prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

case "$1" in
  --create)
    [ -d "$WINEPREFIX" ] && { wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"; }
    wine wineboot --init >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d '' /f >/dev/null 2>&1
    wineserver -w
    ;;
  --stop)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    ;;
  *)
    exec wine "$@"
    ;;
esac
