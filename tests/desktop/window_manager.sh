#!/usr/bin/env bash
# vostrel.exe under a window manager (openbox, on a virtual screen): the main window never
# becomes smaller than its layout, whether the manager is asked for a smaller size or the user
# drags the frame's corner. Under Wine the manager sizes the window itself and shows it at the
# size it chose; the program must hand its own size back, or the pages are cut off at the
# bottom (the list's scroll bar, the status line).
#
#   bash tests/desktop/window_manager.sh VOSTREL_EXE SCRATCH_FOLDER
#
# Each case asks for a width above the layout's and a height below it: the width shows that the
# manager's size reached the window (nothing else makes it 300 pixels wide), the height that
# the program raised it again. The program runs in a Wine prefix of its own in the scratch
# folder (made once; the Win32 tests' prefix has no screen).
set -uo pipefail
EXE=$(readlink -f "$1")
SCRATCH=$(mkdir -p "$2" && readlink -f "$2")
SOURCE=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX=$SCRATCH/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d"
export WINEARCH=win64
TITLE='^Vostrel/Corvinet v2\.04$'
# The portrait layout's client area at 96 DPI, and the width every case asks for.
LAYOUT_WIDTH=240
LAYOUT_HEIGHT=295
WIDE=300
FAILURES=0
XVFB_PID=
WM_PID=
PROGRAM_PID=

for tool in Xvfb openbox xdotool xwininfo xdpyinfo wine; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAIL: $tool is missing (scripts/setup.sh installs it)" >&2
    exit 1
  fi
done

fail() {
  echo "FAIL: $*" >&2
  FAILURES=$((FAILURES + 1))
}

clean_up() {
  if [ -n "$PROGRAM_PID" ] && kill -0 "$PROGRAM_PID" 2>/dev/null; then
    wineserver -k >/dev/null 2>&1
    wait "$PROGRAM_PID" 2>/dev/null
  fi
  wineserver -k >/dev/null 2>&1
  [ -n "$WM_PID" ] && kill "$WM_PID" 2>/dev/null && wait "$WM_PID" 2>/dev/null
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
}
trap clean_up EXIT

if [ ! -f "$WINEPREFIX/.vostrel-ready" ]; then
  mkdir -p "$WINEPREFIX"
  DISPLAY= wineboot -i >/dev/null 2>&1 </dev/null
  DISPLAY= wineserver -w
  touch "$WINEPREFIX/.vostrel-ready"
fi
# The settings of an earlier run (a remembered window size above all) would change the start.
DISPLAY= wine reg delete 'HKLM\Software\Halvane\Vostrel' /f >/dev/null 2>&1 </dev/null
DISPLAY= wineserver -w

APP=$SCRATCH/app
rm -rf "$APP"
mkdir -p "$APP"
cp "$EXE" "$APP/vostrel.exe"
cp "$SOURCE/vostrel.lng" "$APP/vostrel.lng"

. "$SOURCE/tests/support/virtual_screen.sh"
start_virtual_screen 1024x768x24
openbox >/dev/null 2>&1 &
WM_PID=$!
wm_ready=0
for _ in $(seq 300); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && wm_ready=1 && break
  sleep 0.1
done
if [ "$wm_ready" != 1 ]; then
  echo "FAIL: openbox did not start on the virtual screen within 30 s" >&2
  exit 1
fi

(cd "$APP" && exec wine vostrel.exe) >/dev/null 2>&1 </dev/null &
PROGRAM_PID=$!
WINDOW=$(timeout 60 xdotool search --sync --name "$TITLE" | head -1)
if [ -z "$WINDOW" ]; then
  echo "FAIL: vostrel.exe showed no window" >&2
  exit 1
fi

# The manager frames the window a moment after it appears: until then a drag finds no frame
# and keys reach no managed window.
framed=0
for _ in $(seq 300); do
  xprop -id "$WINDOW" _NET_FRAME_EXTENTS 2>/dev/null | grep -q '=' && framed=1 && break
  sleep 0.1
done
[ "$framed" = 1 ] || fail "openbox did not frame the window within 30 s"

# The client area as the screen shows it: the program's window inside the manager's frame.
size() { xwininfo -id "$WINDOW" | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w "x" h }'; }
corner() { xwininfo -id "$WINDOW" | awk '/Absolute upper-left X:/ { x = $4 } /Absolute upper-left Y:/ { y = $4 } END { print x, y }'; }

# Waits up to 30 seconds for the client area to be WIDTHxHEIGHT.
wait_for_size() {
  for _ in $(seq 300); do
    [ "$(size)" = "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

if ! wait_for_size "${LAYOUT_WIDTH}x$LAYOUT_HEIGHT"; then
  fail "the window did not start at the layout's size (it shows $(size))"
fi

# A program (or the user's manager settings) asks the manager for a smaller size.
xdotool windowsize "$WINDOW" "$WIDE" 150
if wait_for_size "${WIDE}x$LAYOUT_HEIGHT"; then
  echo "ok: asked for ${WIDE}x150, the window shows ${WIDE}x$LAYOUT_HEIGHT"
else
  fail "asked for ${WIDE}x150, the window shows $(size), not ${WIDE}x$LAYOUT_HEIGHT"
fi

# The user drags the frame's bottom right corner up (and to the right) by steps, as a hand does.
read -r x y < <(corner)
read -r width height < <(size | tr x ' ')
xdotool mousemove $((x + width - 2)) $((y + height + 3))
sleep 0.3
xdotool mousedown 1
sleep 0.3
for _ in $(seq 10); do
  xdotool mousemove_relative -- 3 -12
  sleep 0.1
done
xdotool mouseup 1
if wait_for_size "$((WIDE + 30))x$LAYOUT_HEIGHT"; then
  echo "ok: the corner dragged up by 120 pixels, the window shows $((WIDE + 30))x$LAYOUT_HEIGHT"
else
  fail "the corner dragged up by 120 pixels, the window shows $(size), not $((WIDE + 30))x$LAYOUT_HEIGHT"
fi

# Alt+F4 closes the program, which ends with exit code 0: typed, as a user types it, into the
# window the manager has made active.
xdotool windowactivate --sync "$WINDOW" >/dev/null 2>&1 || true
xdotool key alt+F4
for _ in $(seq 200); do
  kill -0 "$PROGRAM_PID" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$PROGRAM_PID" 2>/dev/null; then
  fail "vostrel.exe did not end on Alt+F4"
else
  wait "$PROGRAM_PID"
  status=$?
  [ "$status" -eq 0 ] || fail "vostrel.exe ended with exit code $status"
  PROGRAM_PID=
fi

if [ "$FAILURES" -gt 0 ]; then
  echo "$FAILURES check(s) failed" >&2
  exit 1
fi
echo "window manager: all checks passed"
