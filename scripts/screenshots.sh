#!/usr/bin/env bash
# Takes the README's screenshots of vostrel.exe in the portrait layout (a screen 480 pixels high)
# and the landscape layout (a screen under 295 pixels high), in Russian and in English (-en):
#   search-*.png  the Search page with a criterion typed in,
#   result-*.png  the Result page with the rows it found,
#   setup-*.png   the Setup page after "Find DB", listing databases found on the device but not
#                 installed yet, as "title [count] path",
#   about-*.png   the About page.
# Each layout runs on its own virtual screen (Xvfb); xdotool taps and types as a user would
# (Ctrl+Tab turns the pages), so the program runs exactly as shipped, and it is closed with
# Alt+F4, as its close box does.
# Writes docs/screenshots/{search,result,setup,about}-{portrait,landscape}[-en].png, and in
# Russian search- and result-portrait-144dpi.png (a high-DPI screen) and result-maximized.png;
# and the server's page at a phone's and a desktop's size, page-*.png.
set -euo pipefail
# The device starts from the same state every time: only the demo directory installed.
export VOSTREL_RESET=1
# shellcheck source=SCRIPTDIR/run.sh
source "$(dirname "${BASH_SOURCE[0]}")/run.sh"

OUT=$VOSTREL_ROOT/docs/screenshots
# What is typed into the Name box of the demo directory.
CRITERION=${VOSTREL_SCREENSHOT_CRITERION:-ПЕТРОВ}

# The screenshots get a device of their own, so that what "Find DB" lists does not depend on
# what a user has copied into or installed on build/device. Only the demo directory is installed.
DEVICE=$VOSTREL_ROOT/build/device-screenshots
APP=$DEVICE/Vostrel

# Places, in the main window's client area, where the taps go. A page's client area starts 26
# pixels below the top (24 for the tab strip, 2 for the page's sunken edge); the Name box is the
# second criteria row, at x 65 and y 74 of the page; Start is at x 65, y 163 in both layouts.
PAGE_TOP=26
NAME_X=100
NAME_Y=$((PAGE_TOP + 74 + 10))
HOUSE_Y=$((PAGE_TOP + 118 + 10))
START_X=100
START_Y=$((PAGE_TOP + 163 + 10))
RESET_X=175

# The Setup page's "Find DB" button (x 5 in both layouts, y 207 portrait, 163 landscape) and the
# first line of the found list (y 85 portrait, 63 landscape).
FIND_X=42
FIND_Y_PORTRAIT=$((PAGE_TOP + 207 + 10))
FIND_Y_LANDSCAPE=$((PAGE_TOP + 163 + 10))
FOUND_FIRST_X=60
FOUND_FIRST_Y_PORTRAIT=$((PAGE_TOP + 85 + 7))
FOUND_FIRST_Y_LANDSCAPE=$((PAGE_TOP + 63 + 7))

# Database files on the device that are not installed, for "Find DB" to list: a plain .db, a
# compressed .zdb and an .fdb with its own fields, in places where a handheld keeps files.
# Regenerated on every run, so the list shows the same titles, counts and paths each time.
place_found_databases() {
  local gen=$VOSTREL_ROOT/build/native/bench/vostrel-gen
  rm -rf "$DEVICE/Storage Card" "$DEVICE/My Documents" "$DEVICE/Directories/piter.db"
  mkdir -p "$DEVICE/Storage Card/Directories" "$DEVICE/My Documents"
  "$gen" --records 3000 --seed 2 --title "Санкт-Петербург" "$DEVICE/Directories/piter.db" >/dev/null
  "$gen" --records 1500 --seed 3 --title "Тверь (справочник)" \
    "$DEVICE/Storage Card/Directories/tver.fdb" >/dev/null
  "$gen" --records 800 --seed 4 --title "Казань" "$DEVICE/My Documents/kazan.zdb" >/dev/null
}

# Clicks at client coordinates of the window.
tap() {
  xdotool mousemove --window "$1" "$2" "$3" click 1
  sleep 0.5
}

shoot() {
  import -window "$1" "$OUT/$2$SUFFIX.png"
  echo "$OUT/$2$SUFFIX.png"
}

# A key pressed in the program's window (it has the keyboard since the first tap).
press() {
  xdotool key "$1"
  sleep 0.5
}

# Ends a program left running by a failed step, then the virtual screen.
clean_up() {
  if [ -n "${PROGRAM_PID:-}" ] && kill -0 "$PROGRAM_PID" 2>/dev/null; then
    DISPLAY='' wineserver -k >/dev/null 2>&1 || true
    wait "$PROGRAM_PID" 2>/dev/null || true
  fi
  PROGRAM_PID=
  stop_virtual_screen
}

shoot_layout() {
  local layout=$1 screen=$2
  local find_y found_first_y
  if [ "$layout" = portrait ]; then
    find_y=$FIND_Y_PORTRAIT found_first_y=$FOUND_FIRST_Y_PORTRAIT
  else
    find_y=$FIND_Y_LANDSCAPE found_first_y=$FOUND_FIRST_Y_LANDSCAPE
  fi
  start_virtual_screen "$screen"
  (cd "$APP" && exec wine vostrel.exe) >/dev/null 2>&1 </dev/null &
  PROGRAM_PID=$!
  local program=$PROGRAM_PID
  local window
  window=$(timeout 60 xdotool search --sync --name '^Vostrel/Corvinet v2\.04$' | head -1) || true
  if [ -z "$window" ]; then
    echo "vostrel.exe showed no window on $DISPLAY" >&2
    return 1
  fi
  xdotool windowmove "$window" 0 0
  sleep 2
  # xdotool lends a spare key to each Cyrillic letter, and the first letter typed after the
  # keyboard map changes can get lost: a throwaway letter goes into the House box first, and
  # Reset clears it again.
  tap "$window" "$NAME_X" "$HOUSE_Y"
  xdotool type --delay 80 "Ж"
  tap "$window" "$RESET_X" "$START_Y"
  tap "$window" "$NAME_X" "$NAME_Y"
  xdotool type --delay 80 "$CRITERION"
  sleep 1
  shoot "$window" "search-$layout"
  tap "$window" "$START_X" "$START_Y"
  sleep 4
  shoot "$window" "result-$layout"

  # "Find DB" walks the whole device drive; the first entry is selected, as before "Install".
  press ctrl+Tab
  tap "$window" "$FIND_X" "$find_y"
  sleep 2
  tap "$window" "$FOUND_FIRST_X" "$found_first_y"
  shoot "$window" "setup-$layout"

  press ctrl+Tab
  shoot "$window" "about-$layout"

  press alt+F4
  # The close ends the program with exit code 0. Should a key have missed, the screenshots are
  # taken all the same: the program is stopped, and the miss is reported at the end.
  local status=0 waited=0
  while kill -0 "$program" 2>/dev/null && [ "$waited" -lt 20 ]; do
    sleep 0.5
    waited=$((waited + 1))
  done
  if kill -0 "$program" 2>/dev/null; then
    echo "vostrel.exe did not end on Alt+F4 ($layout$SUFFIX); stopping it" >&2
    DISPLAY='' wineserver -k >/dev/null 2>&1 || true
    wait "$program" 2>/dev/null || true
    status=1
  else
    wait "$program" || status=$?
    [ "$status" -eq 0 ] || echo "vostrel.exe ended with exit code $status ($layout$SUFFIX)" >&2
  fi
  [ "$status" -eq 0 ] || UNCLEAN_EXITS=$((UNCLEAN_EXITS + 1))
  PROGRAM_PID=
  wineserver -w || true
  stop_virtual_screen
}

# Starts the program on a screen of its own and returns its window in $WINDOW; with "managed",
# a window manager runs on the screen first (maximizing is a window manager's work).
start_program() {
  start_virtual_screen "$1"
  if [ "${2:-}" = managed ]; then
    openbox >/dev/null 2>&1 &
    WM_PID=$!
    sleep 1
  fi
  (cd "$APP" && exec wine vostrel.exe) >/dev/null 2>&1 </dev/null &
  PROGRAM_PID=$!
  WINDOW=$(timeout 60 xdotool search --sync --name '^Vostrel/Corvinet v2\.04$' | head -1) || true
  if [ -z "$WINDOW" ]; then
    echo "vostrel.exe showed no window on $DISPLAY" >&2
    return 1
  fi
  xdotool windowmove "$WINDOW" 0 0
  sleep 2
}

# Closes the program with Alt+F4 and ends the screen (a program that stays is stopped).
close_program() {
  press alt+F4
  local waited=0
  while kill -0 "$PROGRAM_PID" 2>/dev/null && [ "$waited" -lt 20 ]; do
    sleep 0.5
    waited=$((waited + 1))
  done
  if kill -0 "$PROGRAM_PID" 2>/dev/null; then
    echo "vostrel.exe did not end on Alt+F4 ($1); stopping it" >&2
    DISPLAY='' wineserver -k >/dev/null 2>&1 || true
    UNCLEAN_EXITS=$((UNCLEAN_EXITS + 1))
  fi
  wait "$PROGRAM_PID" 2>/dev/null || true
  PROGRAM_PID=
  wineserver -w || true
  if [ -n "${WM_PID:-}" ]; then
    kill "$WM_PID" 2>/dev/null || true
    wait "$WM_PID" 2>/dev/null || true
    WM_PID=
  fi
  stop_virtual_screen
}

# The Search and Result pages at 144 DPI (LogPixels, as a user of a high-DPI screen sets it):
# every length of the page is 1.5 times as long, so the taps are too.
shoot_high_dpi() {
  local dpi=144
  at() { echo $(($1 * dpi / 96)); }
  local top=$(($(at 24) + 2))
  DISPLAY= wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" \
    /f >/dev/null 2>&1 </dev/null
  wineserver -w || true
  start_program 960x720x24 || return 1
  tap "$WINDOW" "$(at 100)" $((top + $(at 128)))
  xdotool type --delay 80 "Ж"
  tap "$WINDOW" "$(at 175)" $((top + $(at 173)))
  tap "$WINDOW" "$(at 100)" $((top + $(at 84)))
  xdotool type --delay 80 "$CRITERION"
  sleep 1
  shoot "$WINDOW" "search-portrait-${dpi}dpi"
  tap "$WINDOW" "$(at 100)" $((top + $(at 173)))
  sleep 4
  shoot "$WINDOW" "result-portrait-${dpi}dpi"
  close_program "${dpi} dpi"
  DISPLAY= wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1 </dev/null
  wineserver -w || true
}

# The Result page of a maximized window: the list takes the screen, the status line stays
# under it. The program starts maximized as it was last closed.
shoot_maximized() {
  DISPLAY= wine reg add 'HKLM\Software\Halvane\Vostrel' /v 'Window maximized' /t REG_DWORD \
    /d 1 /f >/dev/null 2>&1 </dev/null
  DISPLAY= wine reg add 'HKLM\Software\Halvane\Vostrel' /v 'Window size' /t REG_DWORD \
    /d $((295 * 65536 + 240)) /f >/dev/null 2>&1 </dev/null
  wineserver -w || true
  start_program 1024x600x24 managed || return 1
  # The throwaway letter, as in shoot_layout.
  tap "$WINDOW" "$NAME_X" "$HOUSE_Y"
  xdotool type --delay 80 "Ж"
  tap "$WINDOW" "$RESET_X" "$START_Y"
  tap "$WINDOW" "$NAME_X" "$NAME_Y"
  xdotool type --delay 80 "$CRITERION"
  sleep 1
  tap "$WINDOW" "$START_X" "$START_Y"
  sleep 4
  shoot "$WINDOW" "result-maximized"
  close_program maximized
  DISPLAY= wine reg delete 'HKLM\Software\Halvane\Vostrel' /v 'Window maximized' /f \
    >/dev/null 2>&1 </dev/null
  DISPLAY= wine reg delete 'HKLM\Software\Halvane\Vostrel' /v 'Window size' /f \
    >/dev/null 2>&1 </dev/null
  wineserver -w || true
}

bash scripts/setup.sh
# The maximized picture needs a window manager on its virtual screen.
command -v openbox >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends openbox >/dev/null
bash scripts/build.sh native win64
prepare_device
place_found_databases
prepare_prefix
mkdir -p "$OUT"
trap clean_up EXIT
UNCLEAN_EXITS=0
# The language is a registry setting; "Last db" is set again so each run preselects the demo.
# VOSTREL_SCREENSHOTS=extra takes only the 144-DPI and the maximized pictures.
languages="RUSSIAN ENGLISH"
[ "${VOSTREL_SCREENSHOTS:-}" = extra ] && languages=
for language in $languages; do
  SUFFIX=
  [ "$language" = ENGLISH ] && SUFFIX=-en
  DISPLAY= wine reg add 'HKLM\Software\Halvane\Vostrel' /v Language /t REG_SZ /d "$language" \
    /f >/dev/null 2>&1 </dev/null
  DISPLAY= wine reg add 'HKLM\Software\Halvane\Vostrel' /v 'Last db' /t REG_SZ \
    /d 'V:\Directories\moskva-demo.zdb' /f >/dev/null 2>&1 </dev/null
  wineserver -w || true
  shoot_layout portrait 640x480x24
  shoot_layout landscape 800x290x24
done
SUFFIX=
DISPLAY= wine reg add 'HKLM\Software\Halvane\Vostrel' /v Language /t REG_SZ /d RUSSIAN \
  /f >/dev/null 2>&1 </dev/null
DISPLAY= wine reg add 'HKLM\Software\Halvane\Vostrel' /v 'Last db' /t REG_SZ \
  /d 'V:\Directories\moskva-demo.zdb' /f >/dev/null 2>&1 </dev/null
shoot_high_dpi
shoot_maximized
# The page vostrel-server serves, in headless Chromium: page-*.png (scripts/page_screenshots.py).
cmake --build "$VOSTREL_ROOT/build/native" -j2 --target vostrel-server vostrel-gen >/dev/null
/usr/bin/python3 "$VOSTREL_ROOT/scripts/page_screenshots.py" "$VOSTREL_ROOT/build/native" "$OUT" \
  "$CRITERION" >/dev/null
[ "$UNCLEAN_EXITS" -eq 0 ]
