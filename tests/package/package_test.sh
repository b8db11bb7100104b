#!/usr/bin/env bash
# The packages as a user gets them: the Debian package built from the install rules, installed
# into a scratch root and started there as a new user would (on a virtual screen), and the
# Windows zip.
#
#   bash tests/package/package_test.sh [NATIVE_BUILD] [WIN64_BUILD]   (default build/native,
#                                                                       build/win64)
# Both builds must be configured and built (scripts/build.sh native win64).
set -uo pipefail
cd "$(dirname "$0")/../.."
ROOT_DIR=$(pwd)
NATIVE=$(readlink -f "${1:-build/native}")
WIN=$(readlink -f "${2:-build/win64}")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-package.XXXXXX")
TITLE='^Vostrel/Corvinet v2\.04$'
FAILURES=0
XVFB_PID=
LAUNCHER_PID=
USER_DATA=

fail() {
  echo "FAIL: $*" >&2
  FAILURES=$((FAILURES + 1))
}
pass() { echo "ok: $*"; }

clean_up() {
  if [ -n "$LAUNCHER_PID" ] && kill -0 "$LAUNCHER_PID" 2>/dev/null; then
    WINEPREFIX=$USER_DATA/vostrel/wineprefix wineserver -k >/dev/null 2>&1
    kill "$LAUNCHER_PID" 2>/dev/null
    wait "$LAUNCHER_PID" 2>/dev/null
  fi
  [ -d "${USER_DATA:-}/vostrel/wineprefix" ] &&
    WINEPREFIX=$USER_DATA/vostrel/wineprefix wineserver -k >/dev/null 2>&1
  if [ -n "$XVFB_PID" ]; then
    kill "$XVFB_PID" 2>/dev/null
    wait "$XVFB_PID" 2>/dev/null
  fi
  rm -rf "$WORK"
}
trap clean_up EXIT

# ---- Build the Debian package and the zip ----
# The native build installs the vostrel.exe of the win64 build it is tested with.
build() {
  "$@" >"$WORK/build.log" 2>&1 || { cat "$WORK/build.log" >&2; exit 1; }
}
build cmake -B "$NATIVE" -DVOSTREL_WINDOWS_PROGRAM="$WIN/src/vostrel.exe"
build cmake --build "$NATIVE" --target vostrel-cli vostrel-gen linux_install_files
build cmake --build "$WIN" --target vostrel vostrel-cli vostrel-gen package_zip
if ! cpack --config "$NATIVE/CPackConfig.cmake" -B "$WORK/deb" >"$WORK/cpack.log" 2>&1; then
  cat "$WORK/cpack.log" >&2
  exit 1
fi
DEB=$(ls "$WORK"/deb/vostrel_*.deb 2>/dev/null | head -1)
[ -n "$DEB" ] || { echo "cpack wrote no .deb" >&2; exit 1; }
echo "built $(basename "$DEB") and vostrel-win64.zip"

# ---- The Debian package's contents and metadata ----
expected_files="./usr/bin/vostrel
./usr/bin/vostrel-cli
./usr/bin/vostrel-gen
./usr/share/applications/vostrel.desktop
./usr/share/icons/hicolor/128x128/apps/vostrel.png
./usr/share/icons/hicolor/16x16/apps/vostrel.png
./usr/share/icons/hicolor/256x256/apps/vostrel.png
./usr/share/icons/hicolor/32x32/apps/vostrel.png
./usr/share/icons/hicolor/48x48/apps/vostrel.png
./usr/share/icons/hicolor/64x64/apps/vostrel.png
./usr/share/man/man1/vostrel-cli.1.gz
./usr/share/vostrel/demo/moskva-demo.zdb
./usr/share/vostrel/vostrel.exe
./usr/share/vostrel/vostrel.lng"
listing=$(dpkg-deb -c "$DEB")
actual_files=$(awk '$1 !~ /^d/ {print $6}' <<<"$listing" | sort)
if [ "$actual_files" = "$expected_files" ]; then
  pass "package file list"
else
  fail "package file list differs:"
  diff <(echo "$expected_files") <(echo "$actual_files") >&2
fi
# The commands are executable, everything belongs to root.
for cmd in vostrel vostrel-cli vostrel-gen; do
  grep -Eq "^-rwxr-xr-x root/root .* \./usr/bin/$cmd\$" <<<"$listing" || fail "usr/bin/$cmd is not an executable owned by root"
done

# Depends: Wine (64-bit) and its Tahoma, plus the libraries of the native tools, nothing else.
depends=$(dpkg-deb -f "$DEB" Depends)
names=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//' | sort -u)
for needed in wine wine64 fonts-wine libc6 libstdc++6 zlib1g; do
  grep -qx "$needed" <<<"$names" || fail "Depends lacks $needed: $depends"
done
extra=$(grep -vxE 'wine|wine64|fonts-wine|libc6|libgcc-s1|libstdc\+\+6|zlib1g' <<<"$names")
[ -z "$extra" ] || fail "Depends declares what the package does not use: $extra"
[ "$(dpkg-deb -f "$DEB" Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture"
pass "Depends: $depends"

ROOT=$WORK/root
dpkg-deb -x "$DEB" "$ROOT" || exit 1
DESKTOP=$ROOT/usr/share/applications/vostrel.desktop
if command -v desktop-file-validate >/dev/null; then
  if out=$(desktop-file-validate "$DESKTOP" 2>&1) && [ -z "$out" ]; then
    pass "desktop-file-validate"
  else
    fail "desktop-file-validate: $out"
  fi
else
  echo "desktop-file-validate not installed: desktop entry checked by this script only"
fi
exec_cmd=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$DESKTOP")
icon=$(sed -n 's/^Icon=//p' "$DESKTOP")
[ "$exec_cmd" = vostrel ] && [ -x "$ROOT/usr/bin/$exec_cmd" ] || fail "desktop entry runs '$exec_cmd', not the launcher"
grep -qx 'Terminal=false' "$DESKTOP" || fail "desktop entry opens a terminal"
# Each icon is a PNG of the size its folder names (IHDR width and height, big-endian).
for png in "$ROOT"/usr/share/icons/hicolor/*/apps/"$icon".png; do
  size=$(basename "$(dirname "$(dirname "$png")")")
  n=${size%%x*}
  header=$(od -An -tx1 -N24 "$png" | tr -d ' \n')
  want=$(printf '89504e470d0a1a0a0000000d49484452%08x%08x' "$n" "$n")
  [ "$header" = "$want" ] || fail "icon $size is not a $n x $n PNG"
done
pass "desktop entry: Exec=$exec_cmd Icon=$icon"

# The manual page is vostrel-cli's help in roff, one section per command.
man_text=$(gzip -dc "$ROOT/usr/share/man/man1/vostrel-cli.1.gz") || fail "manual page is no gzip file"
for expected in '^\.TH VOSTREL\\-CLI 1' '^\.SH SEARCH' 'Usage: vostrel\\-cli search \[\\-\\-format' \
  'Usage: vostrel\\-cli make' 'Usage: vostrel\\-cli info'; do
  grep -q "$expected" <<<"$man_text" || fail "manual page lacks $expected"
done
# The installed tools run, and the demo directory is a database of the promised size.
records=$("$ROOT/usr/bin/vostrel-cli" info --json "$ROOT/usr/share/vostrel/demo/moskva-demo.zdb" |
  sed -n 's/.*"recordCount": *\([0-9]*\).*/\1/p')
[ "$records" = 10000 ] || fail "installed vostrel-cli reads $records records from the demo, not 10000"
cmp -s "$ROOT/usr/share/vostrel/vostrel.exe" "$WIN/src/vostrel.exe" || fail "package holds another vostrel.exe"

# ---- The launcher, for a new user ----
export HOME=$WORK/home
export XDG_DATA_HOME=$HOME/data
USER_DATA=$XDG_DATA_HOME
APP=$USER_DATA/vostrel/drive_v/Vostrel
PREFIX=$USER_DATA/vostrel/wineprefix
mkdir -p "$HOME"
unset WINEPREFIX WINEDEBUG WINEARCH WINEDLLOVERRIDES
LAUNCHER=$ROOT/usr/bin/vostrel

# Without a display: a message and an error, at once, and nothing set up.
out=$(env -u DISPLAY timeout 20 "$LAUNCHER" 2>&1)
status=$?
if [ "$status" -eq 1 ] && grep -q 'no display' <<<"$out" && [ ! -e "$USER_DATA/vostrel" ]; then
  pass "no display: exit 1, \"$(head -1 <<<"$out")\""
else
  fail "without a display the launcher ended with $status: $out"
fi

n=90
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 640x480x24 -nolisten tcp >/dev/null 2>&1 &
XVFB_PID=$!
export DISPLAY=":$n"
for _ in $(seq 100); do
  xdpyinfo >/dev/null 2>&1 && break
  sleep 0.1
done

# Starts the installed launcher, waits for the main window, closes it with Alt+F4 and checks
# that the launcher ends with exit code 0. $1 names the run, the rest are launcher options.
run_launcher() {
  local name=$1 wait_s=$2
  shift 2
  "$LAUNCHER" "$@" >"$WORK/$name.log" 2>&1 </dev/null &
  LAUNCHER_PID=$!
  local window
  window=$(timeout "$wait_s" xdotool search --sync --name "$TITLE" 2>/dev/null | head -1)
  if [ -z "$window" ]; then
    fail "$name: no window titled Vostrel/Corvinet v2.04 within $wait_s s"
    cat "$WORK/$name.log" >&2
    WINEPREFIX=$PREFIX wineserver -k >/dev/null 2>&1
    wait "$LAUNCHER_PID" 2>/dev/null
    LAUNCHER_PID=
    return 1
  fi
  # A click into the phone box gives the window the keyboard (a click on a label does not);
  # should a key still go astray, Alt+F4 is pressed again while the window stays.
  local attempt waited
  for attempt in 1 2 3 4 5; do
    xdotool mousemove --window "$window" 97 88 click 1 >/dev/null 2>&1
    sleep 0.5
    xdotool key alt+F4
    waited=0
    while xdotool search --name "$TITLE" >/dev/null 2>&1 && [ "$waited" -lt 10 ]; do
      sleep 0.5
      waited=$((waited + 1))
    done
    xdotool search --name "$TITLE" >/dev/null 2>&1 || break
  done
  waited=0
  while kill -0 "$LAUNCHER_PID" 2>/dev/null && [ "$waited" -lt 60 ]; do
    sleep 0.5
    waited=$((waited + 1))
  done
  if kill -0 "$LAUNCHER_PID" 2>/dev/null; then
    fail "$name: the program did not end on Alt+F4"
    WINEPREFIX=$PREFIX wineserver -k >/dev/null 2>&1
    wait "$LAUNCHER_PID" 2>/dev/null
    LAUNCHER_PID=
    return 1
  fi
  local status=0
  wait "$LAUNCHER_PID" || status=$?
  LAUNCHER_PID=
  if [ "$status" -ne 0 ]; then
    fail "$name: the launcher ended with exit code $status"
    cat "$WORK/$name.log" >&2
    return 1
  fi
  pass "$name: main window shown, closed with Alt+F4, exit code 0"
}

demo_line=$(printf 'V:\\Directories\\moskva-demo.zdb;%s\r\n' 'Москва (демо)' | iconv -f UTF-8 -t CP1251)
if run_launcher first-start 240; then
  [ "$(cat "$APP/vostrel.ini")" = "$demo_line" ] || fail "first start: vostrel.ini is not the demo entry"
  cmp -s "$USER_DATA/vostrel/drive_v/Directories/moskva-demo.zdb" "$ROOT/usr/share/vostrel/demo/moskva-demo.zdb" ||
    fail "first start: the demo directory is not on the user's drive"
  [ "$(readlink -f "$PREFIX/dosdevices/v:")" = "$(readlink -f "$USER_DATA/vostrel/drive_v")" ] ||
    fail "first start: V: is not the user's drive"
  grep -q '"Last db"="V:\\\\Directories\\\\moskva-demo.zdb"' "$PREFIX/system.reg" ||
    fail "first start: the demo is not the remembered database"
fi

# The user installed another directory, and an upgrade brings a new program: the user's list
# stays, the program file is the package's again.
"$ROOT/usr/bin/vostrel-gen" --records 50 --title "Extra" "$USER_DATA/vostrel/drive_v/Directories/extra.db" >/dev/null
printf 'V:\\Directories\\extra.db;Extra\r\n' >>"$APP/vostrel.ini"
user_list=$(cat "$APP/vostrel.ini")
printf 'an older program' >"$APP/vostrel.exe"
if run_launcher second-start 60; then
  [ "$(cat "$APP/vostrel.ini")" = "$user_list" ] || fail "second start: the user's installed list changed"
  cmp -s "$APP/vostrel.exe" "$ROOT/usr/share/vostrel/vostrel.exe" || fail "second start: vostrel.exe not updated"
fi

if run_launcher reset 60 --reset; then
  [ "$(cat "$APP/vostrel.ini")" = "$demo_line" ] || fail "--reset: vostrel.ini is not the demo entry alone"
  [ -f "$USER_DATA/vostrel/drive_v/Directories/extra.db" ] || fail "--reset deleted the user's database file"
fi

# ---- The Windows zip ----
ZIP=$WIN/vostrel-win64.zip
zip_files=$(cmake -E tar tf "$ZIP" | sort)
expected_zip="vostrel/README.txt
vostrel/demo/moskva-demo.zdb
vostrel/vostrel-cli.exe
vostrel/vostrel-gen.exe
vostrel/vostrel.exe
vostrel/vostrel.lng"
if [ "$zip_files" = "$expected_zip" ]; then
  pass "zip file list"
else
  fail "zip file list differs:"
  diff <(echo "$expected_zip") <(echo "$zip_files") >&2
fi

# vostrel-cli.exe from the zip, in the prefix the launcher made: a console gets the progress
# bar, NUL (a character device, but no console) gets no more writes than a file does.
mkdir -p "$WORK/zip" && (cd "$WORK/zip" && cmake -E tar xf "$ZIP") || fail "zip does not unpack"
export WINEPREFIX=$PREFIX WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d"
export -n DISPLAY
(
  cd "$WORK/zip/vostrel" || exit 1
  WINEDEBUG=-all script -qec "wine vostrel-cli.exe search demo/moskva-demo.zdb name=ПЕТРОВ </dev/null >/dev/null" \
    "$WORK/console.log" </dev/null >/dev/null
  # The bar is drawn through Wine's console, a character at a time between escape sequences.
  bar=$(sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$WORK/console.log" | tr '\r' '\n' | grep -ac '^\[#')
  [ "$bar" -gt 0 ] || { echo "FAIL: no progress bar on a console" >&2; exit 1; }
  for target in NUL stderr.txt; do
    WINEDEBUG=trace+file wine cmd /c "vostrel-cli.exe search demo\\moskva-demo.zdb name=ПЕТРОВ >NUL 2>$target" \
      </dev/null >/dev/null 2>"$WORK/trace-$target.log"
  done
  nul=$(grep -c NtWriteFile "$WORK/trace-NUL.log")
  file=$(grep -c NtWriteFile "$WORK/trace-stderr.txt.log")
  [ "$file" -gt 0 ] || { echo "FAIL: no writes traced" >&2; exit 1; }
  [ "$nul" -le $((file + 20)) ] ||
    { echo "FAIL: 2>NUL is drawn to as a terminal ($nul writes traced, $file to a file)" >&2; exit 1; }
) && pass "vostrel-cli.exe: progress bar on a console, none into NUL" || FAILURES=$((FAILURES + 1))
wineserver -k >/dev/null 2>&1

if [ "$FAILURES" -ne 0 ]; then
  echo "package test: $FAILURES failure(s)" >&2
  exit 1
fi
echo "package test: all passed"
