#!/usr/bin/env bash
# Sets up the machine, builds, and runs Vostrel on the bundled demo directory.
#
# The program runs under Wine with a private prefix in build/wineprefix-app. Wine's drive V:
# is the folder build/device, which plays the handheld's file system: the application folder
# build/device/Vostrel (vostrel.exe, vostrel.lng, vostrel.ini) and the demo directory
# build/device/Directories/moskva-demo.zdb. "Find DB" on the Setup page searches that drive.
# On a machine without $DISPLAY the window goes to a virtual screen (Xvfb).
#
# The device is prepared once: later runs update the program and its language file but keep
# what the user did (installed databases, the remembered database, the language). With --reset
# (or VOSTREL_RESET=1) the installed list and the settings start over.
#
# scripts/screenshots.sh sources this file for the same preparation.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

VOSTREL_ROOT=$(pwd)
DEVICE=$VOSTREL_ROOT/build/device
APP=$DEVICE/Vostrel
DRIVE=v
export WINEPREFIX=$VOSTREL_ROOT/build/wineprefix-app
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d"
VOSTREL_RESET=${VOSTREL_RESET:-0}

# The application folder on the device drive, the demo directory and its installed-list entry.
prepare_device() {
  local gen=$VOSTREL_ROOT/build/native/bench/vostrel-gen
  local exe=$VOSTREL_ROOT/build/win64/src/vostrel.exe
  mkdir -p "$APP" "$DEVICE/Directories"
  [ -f "$DEVICE/Directories/moskva-demo.zdb" ] ||
    "$gen" --records 10000 "$DEVICE/Directories/moskva-demo.zdb" >/dev/null
  cp -f "$exe" "$APP/vostrel.exe"
  cp -f "$VOSTREL_ROOT/vostrel.lng" "$APP/vostrel.lng"
  # The installed list is the user's from the first run on. It is Windows-1251 with CR LF ends.
  if [ "$VOSTREL_RESET" = 1 ] || [ ! -f "$APP/vostrel.ini" ]; then
    printf 'V:\\Directories\\moskva-demo.zdb;%s\r\n' "Москва (демо)" | iconv -f UTF-8 -t CP1251 >"$APP/vostrel.ini"
  fi
}

# A private Wine prefix whose drive V: is the device folder. On the first run (and on a reset)
# the last database is remembered in advance, so the very first start preselects the demo
# without a first-run registry message; afterwards the settings are the user's.
prepare_prefix() {
  local fresh=$VOSTREL_RESET
  if [ ! -f "$WINEPREFIX/.vostrel-ready" ]; then
    echo "Preparing a private Wine prefix in $WINEPREFIX (once)..."
    mkdir -p "$WINEPREFIX"
    DISPLAY= wineboot -i >/dev/null 2>&1 </dev/null || true
    wineserver -w
    touch "$WINEPREFIX/.vostrel-ready"
    fresh=1
  fi
  ln -sfn "$DEVICE" "$WINEPREFIX/dosdevices/$DRIVE:"
  # The desktop's dialog font is Tahoma, close to the handheld's; Wine's own Tahoma (the
  # fonts-wine package) is not found by this Wine unless it is in the prefix's font folder, and
  # the wider fallback would clip the pages' texts.
  local font
  for font in /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf; do
    [ -f "$font" ] && cp -u "$font" "$WINEPREFIX/drive_c/windows/Fonts/"
  done
  if [ "$fresh" = 1 ]; then
    DISPLAY= wine reg delete 'HKLM\Software\Halvane\Vostrel' /f >/dev/null 2>&1 </dev/null || true
    DISPLAY= wine reg add 'HKLM\Software\Halvane\Vostrel' /v 'Last db' /t REG_SZ \
      /d 'V:\Directories\moskva-demo.zdb' /f >/dev/null 2>&1 </dev/null
    wineserver -w
  fi
}

# Starts Xvfb on a free display with the given screen and exports DISPLAY; XVFB_PID is its id.
start_virtual_screen() {
  local screen=$1 n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 "$screen" -nolisten tcp >/dev/null 2>&1 &
  XVFB_PID=$!
  export DISPLAY=":$n"
  for _ in $(seq 100); do
    xdpyinfo >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "Xvfb did not start on $DISPLAY" >&2
  return 1
}

stop_virtual_screen() {
  if [ -n "${XVFB_PID:-}" ]; then
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=
  fi
}

run_main() {
  bash scripts/setup.sh
  bash scripts/build.sh native win64
  prepare_device
  prepare_prefix
  echo "Demo directory V:\\Directories\\moskva-demo.zdb (build/device/Directories):"
  build/native/src/vostrel-cli info "$DEVICE/Directories/moskva-demo.zdb" | sed -n '3,5p'
  echo "Try: type ПЕТРОВ into the name box (ФИО) and press Старт (Start)."
  if [ -n "${DISPLAY:-}" ]; then
    echo "Starting vostrel.exe on display $DISPLAY."
  else
    start_virtual_screen 640x480x24
    trap stop_virtual_screen EXIT
    echo "No \$DISPLAY: starting vostrel.exe on a virtual screen (Xvfb $DISPLAY, 640x480)."
    echo "It runs until it is closed; press Ctrl+C to end it."
  fi
  local status=0
  (cd "$APP" && wine vostrel.exe) || status=$?
  wineserver -w || true
  echo "vostrel.exe ended with exit code $status."
  return "$status"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    --reset) VOSTREL_RESET=1 ;;
    '') ;;
    *) echo "usage: bash scripts/run.sh [--reset]" >&2; exit 2 ;;
  esac
  run_main
fi
