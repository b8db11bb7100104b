#!/usr/bin/env bash
# GUI benchmark: what a user of the real program waits for while it lists every record of a
# directory, against the command line writing the same rows to a file, side by side in one run.
#
#   bash bench/gui_bench.sh [--records "N1 N2 ..."] [--runs R] [--paint-interval MS]
#                           [--repeated-only]
#
# Builds vostrel.exe, vostrel-gui-drive.exe, vostrel-gui-bench.exe, vostrel-cli.exe and
# vostrel-gen.exe with the win64 preset (into build/win64-gui-bench, or $BUILD_DIR) and runs them
# under Wine in a private prefix inside that folder, with the null display driver. For each size
# (default 100,000 and 2,000,000 records) it generates a directory as a .db and as a .zdb of one
# gzip member (gzip over the .db, as other tools write them) and runs, alternating, R times each
# (default 3), with empty criteria so that every record is listed:
#   GUI   the real program: vostrel.exe started as its own process (from a scratch copy of the
#         application directory, the shipped vostrel.lng, the file installed and named "Last db"),
#         driven from another process (vostrel-gui-drive.exe) through its window messages: Start
#         posted to the Search page, timed until the status line shows the final counts; the
#         longest a message sent to its main window waited during the scan (sent every 10 ms:
#         input waits behind the same work); then WM_CLOSE, until the process is gone, and its
#         exit code. On the .db and on the .zdb.
#   CLI   vostrel-cli.exe search FILE > file under Wine, on the .db and on the .zdb, and
#         vostrel-cli.exe info FILE (which only reads the header: the cost of starting a program
#         under Wine).
#   HARNESS  what cannot be driven from outside the program stays in an in-process harness
#         (vostrel-gui-bench.exe: the same application code in one process, driven through its
#         messages), on the .db, after a search there: a click on the Name header (the sort and
#         the repaint after it, the order checked with lstrcmpiW); Ctrl+A, Ctrl+A then Ctrl+C (the
#         clipboard's lines checked), and a click on one row after Ctrl+A (one row left
#         selected), each through the program's own message loop; Start pressed again over the
#         listed rows (how long the window is blocked before the new scan runs); the working set
#         before and after the first search against the rows' text (UTF-16). The sort, the
#         selection and the memory need the program's own rows and state, which another process
#         cannot read back, and Start again needs the time the UI thread spends in the command.
#   REPEATED  the harness again, with a name that matches a handful of records typed into its
#         box: the same directory as a .zdb of the writer's own members searched twice (the
#         second search scans the records the first kept in memory), then the .db selected and
#         searched once; R runs each.
# Prints the medians and ranges with each goal met or missed; the ratios GUI / CLI are of the
# medians of runs made alternately. --repeated-only runs only the REPEATED part.
# --paint-interval sets, in the harness only, the shortest time between two repaints of the
# list, the status line and the progress bar during a scan (the program's own is 100 ms; 0
# repaints at every update); the real program always runs with its own.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SIZES="100000 2000000"
RUNS=3
PAINT=-1
REPEATED_ONLY=0
while [ $# -gt 0 ]; do
  case $1 in
    --records) SIZES=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --paint-interval) PAINT=$2; shift 2 ;;
    --repeated-only) REPEATED_ONLY=1; shift ;;
    -h|--help) sed -n '2,42p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "gui_bench: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
case "$RUNS${SIZES// /}" in *[!0-9]*|'') echo "gui_bench: --records and --runs take numbers" >&2; exit 2 ;; esac
case ${PAINT#-} in ''|*[!0-9]*) echo "gui_bench: --paint-interval takes a number" >&2; exit 2 ;; esac

for tool in wine wineserver winepath cmake awk gzip; do
  command -v $tool >/dev/null || { echo "gui_bench: needs $tool" >&2; exit 2; }
done

BUILD=${BUILD_DIR:-$ROOT/build/win64-gui-bench}
(cd "$ROOT" && cmake --preset win64 -B "$BUILD" >/dev/null &&
  cmake --build "$BUILD" -j2 --target vostrel vostrel-gui-drive vostrel-gui-bench vostrel-cli \
    vostrel-gen >/dev/null) || {
  echo "gui_bench: building in $BUILD failed" >&2
  exit 2
}
APP=$BUILD/src/vostrel.exe
DRIVE=$BUILD/bench/vostrel-gui-drive.exe
GUI=$BUILD/bench/vostrel-gui-bench.exe
CLI=$BUILD/src/vostrel-cli.exe
GEN=$BUILD/bench/vostrel-gen.exe

# The same private Wine session the Windows tests use: its own prefix, no display needed.
export WINEPREFIX=$BUILD/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d"
export WINEARCH=win64 DISPLAY=
export LC_ALL=C.UTF-8
bash "$ROOT/tests/support/wine_session.sh" start >/dev/null
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-gui-bench.XXXXXX")
trap 'rm -rf "$WORK"; bash "$ROOT/tests/support/wine_session.sh" stop >/dev/null' EXIT
WAPP=$(winepath -w "$APP")
WLNG=$(winepath -w "$ROOT/vostrel.lng")

# Wall time of a command in milliseconds, its output into the file named first. Its errors go to
# a file too: under Wine /dev/null is a character device, which the CLI takes for a terminal and
# draws its progress bar on, many times slower than the search itself.
millis() {
  local out=$1 start end
  shift
  start=$(date +%s%N)
  "$@" >"$out" 2>"$WORK/stderr" || true
  end=$(date +%s%N)
  echo $(( (end - start) / 1000000 ))
}
# A key=value figure of a line the driver printed (Windows line ends: the CR goes).
field() { tr -d '\r' <"$2" | sed -n "${3:-1}s/.*\\b$1=\\([^ ]*\\).*/\\1/p" | head -n 1; }
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
largest() { printf '%s\n' "$@" | sort -n | tail -n 1; }
# "lowest-highest" of the figures, whole milliseconds.
range() { printf '%s\n' "$@" | sort -n | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%d-%d", lo, hi }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.1f", a / b; else print "n/a" }'; }
verdict() { awk -v v="$1" -v g="$2" 'BEGIN { if (v == "n/a") print "n/a"; else print (v + 0 <= g) ? "goal met" : "goal MISSED" }'; }
# The goals hold for a whole city (2,000,000 rows) and for 100,000 alike.
timed() { verdict "$1" "$2"; }
mb() { awk -v b="$1" 'BEGIN { printf "%.1f MB", b / 1048576 }'; }
whole() { printf '%s\n' "$1" | cut -d. -f1; }

# One run of the real program on a file: Start to the final status line, the input wait, the
# close. Sets real_ms real_latency real_close real_exit real_rows.
real_once() {
  local db=$1
  real_exit=0
  wine "$DRIVE" "$WAPP" "$db" --language "$WLNG" >"$WORK/real" 2>"$WORK/real.err" || real_exit=$?
  real_rows=$(field rows "$WORK/real" 1)
  [ -n "$real_rows" ] && [ -n "$(field close_ms "$WORK/real" 2)" ] || {
    echo "gui_bench: the real program's run failed:" >&2
    cat "$WORK/real" "$WORK/real.err" >&2
    exit 1
  }
  real_ms=$(whole "$(field gui_ms "$WORK/real" 1)")
  real_latency=$(whole "$(field latency_ms "$WORK/real" 1)")
  real_close=$(whole "$(field close_ms "$WORK/real" 2)")
  real_exit=$(field exit_code "$WORK/real" 2)
}

# One harness run on the .db: two searches (the second pressed over the rows of the first).
# Sets sort_ms restart_ms growth text_bytes select_ms copy_ms click_ms rows.
gui_once() {
  local db=$1 args=("$1" --searches 2 --sort-column 1)
  [ "$PAINT" -ge 0 ] && args+=(--paint-interval "$PAINT")
  wine "$GUI" "${args[@]}" >"$WORK/gui" 2>"$WORK/gui.err" || {
    echo "gui_bench: the harness run failed:" >&2
    cat "$WORK/gui" "$WORK/gui.err" >&2
    exit 1
  }
  rows=$(field rows "$WORK/gui" 1)
  [ -n "$rows" ] && [ "$(field sorted "$WORK/gui" 1)" = yes ] && [ "$(field sorted "$WORK/gui" 2)" = yes ] || {
    echo "gui_bench: the harness left rows out of order:" >&2
    cat "$WORK/gui" "$WORK/gui.err" >&2
    exit 1
  }
  sort_ms=$(whole "$(field sort_ms "$WORK/gui" 1)")
  restart_ms=$(whole "$(field start_ms "$WORK/gui" 2)")
  growth=$(( $(field working_after "$WORK/gui" 1) - $(field working_before "$WORK/gui" 1) ))
  text_bytes=$(field text_bytes "$WORK/gui" 1)
  select_ms=$(whole "$(field select_all_ms "$WORK/gui" 1)")
  copy_ms=$(whole "$(field copy_ms "$WORK/gui" 1)")
  click_ms=$(whole "$(field click_ms "$WORK/gui" 1)")
}

# One REPEATED run: the .zdb twice, then the .db, the name typed into its box (position 1).
# Sets zdb1_ms zdb2_ms db_ms and checks that all three listed the same rows.
repeated_once() {
  local zdb=$1 db=$2 name=$3 r1 r2 r3
  wine "$GUI" "$zdb" "1=$name" --searches 2 --then "$db" --scan-only >"$WORK/rep" \
    2>"$WORK/rep.err" || {
    echo "gui_bench: the repeated-search run failed:" >&2
    cat "$WORK/rep" "$WORK/rep.err" >&2
    exit 1
  }
  r1=$(field rows "$WORK/rep" 1) r2=$(field rows "$WORK/rep" 2) r3=$(field rows "$WORK/rep" 3)
  [ -n "$r1" ] && [ "$r1" = "$r2" ] && [ "$r1" = "$r3" ] && [ "$(field database "$WORK/rep" 3)" = 2 ] || {
    echo "gui_bench: the repeated searches listed $r1, $r2 and $r3 rows" >&2
    exit 1
  }
  rep_rows=$r1
  zdb1_ms=$(field gui_ms "$WORK/rep" 1) zdb2_ms=$(field gui_ms "$WORK/rep" 2)
  db_ms=$(field gui_ms "$WORK/rep" 3)
}

# The same directory as .zdb and .db, a name from its middle, R runs: the second .zdb search
# against the .db's.
repeated_search() {
  local records=$1 wdb=$2 zdb wzdb name
  zdb=$WORK/city-$records.zdb
  wine "$GEN" --records "$records" --seed 1 "$(winepath -w "$zdb")" >/dev/null
  wzdb=$(winepath -w "$zdb")
  millis "$WORK/rows" wine "$CLI" search "$wdb" >/dev/null
  name=$(awk -F '\t' -v n="$(( records / 2 + 1 ))" 'NR == n { sub(/\r$/, "", $2); print $2 }' "$WORK/rows")
  [ -n "$name" ] || { echo "gui_bench: no name found in the generated file" >&2; exit 2; }
  repeated_once "$wzdb" "$wdb" "$name"  # warms the page cache and Wine's files
  Z1=() Z2=() D=()
  for (( i = 1; i <= RUNS; i++ )); do
    repeated_once "$wzdb" "$wdb" "$name"
    Z1+=("$zdb1_ms") Z2+=("$zdb2_ms") D+=("$db_ms")
  done
  local m1 m2 md
  m1=$(median "${Z1[@]}") m2=$(median "${Z2[@]}") md=$(median "${D[@]}")
  printf '\n%d records, Name=%s (%d rows), the application in one process; median of %d run(s):\n' \
    "$records" "$name" "$rep_rows" "$RUNS"
  printf '  first search of the .zdb        %9.1f ms   (inflates)\n' "$m1"
  printf '  second search of the same .zdb  %9.1f ms   (the kept records)\n' "$m2"
  printf '  the same search of the .db      %9.1f ms\n' "$md"
  local r
  r=$(awk -v a="$m2" -v b="$md" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')
  printf '  ratio second .zdb / .db         %9s      (goal <= 1.5: %s)\n' "$r" "$(verdict "$r" 1.5)"
  printf '  ratio second / first .zdb       %9s\n' \
    "$(awk -v a="$m2" -v b="$m1" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')"
}

printf 'Wine %s; %s, %s CPUs.\n' "$(wine --version)" \
  "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)" "$(nproc)"
for records in $SIZES; do
  echo
  echo "Generating $records records ..."
  db=$WORK/city-$records.db
  wine "$GEN" --records "$records" --seed 1 "$(winepath -w "$db")" >/dev/null
  wdb=$(winepath -w "$db")
  repeated_search "$records" "$wdb"
  [ "$REPEATED_ONLY" = 1 ] && continue
  # One gzip member over the .db, as other tools write a .zdb.
  gzip -n -c "$db" >"$WORK/single-$records.zdb"
  wzdb=$(winepath -w "$WORK/single-$records.zdb")
  # A first round of each warms the page cache and Wine's own files.
  millis "$WORK/rows" wine "$CLI" search "$wdb" >/dev/null
  cli_rows=$(( $(wc -l <"$WORK/rows") - 1 ))
  millis "$WORK/zrows" wine "$CLI" search "$wzdb" >/dev/null
  cmp -s "$WORK/rows" "$WORK/zrows" || { echo "gui_bench: the CLI listed the .zdb otherwise than the .db" >&2; exit 1; }
  real_once "$wdb"
  [ "$real_rows" = "$cli_rows" ] || { echo "gui_bench: the program listed $real_rows rows, the CLI $cli_rows" >&2; exit 1; }
  real_once "$wzdb"
  [ "$real_rows" = "$cli_rows" ] || { echo "gui_bench: the program listed $real_rows rows of the .zdb, the CLI $cli_rows" >&2; exit 1; }

  G=() GZ=() L=() C=() E=() CL=() CZ=() ST=()
  for (( i = 1; i <= RUNS; i++ )); do
    real_once "$wdb"
    G+=("$real_ms") L+=("$real_latency") C+=("$real_close") E+=("$real_exit")
    CL+=("$(millis "$WORK/rows" wine "$CLI" search "$wdb")")
    real_once "$wzdb"
    GZ+=("$real_ms") L+=("$real_latency") C+=("$real_close") E+=("$real_exit")
    CZ+=("$(millis "$WORK/zrows" wine "$CLI" search "$wzdb")")
    ST+=("$(millis "$WORK/info" wine "$CLI" info "$wdb")")
  done
  # The harness's figures, after the real program's runs (they do not alternate with the CLI).
  gui_once "$wdb"
  [ "$rows" = "$cli_rows" ] || { echo "gui_bench: the harness listed $rows rows, the CLI $cli_rows" >&2; exit 1; }
  S=() R=() W=() SA=() CP=() CK=()
  for (( i = 1; i <= RUNS; i++ )); do
    gui_once "$wdb"
    S+=("$sort_ms") R+=("$restart_ms") W+=("$growth") SA+=("$select_ms") CP+=("$copy_ms") CK+=("$click_ms")
  done
  mg=$(median "${G[@]}") mgz=$(median "${GZ[@]}") mc=$(median "${CL[@]}") mcz=$(median "${CZ[@]}")
  mst=$(median "${ST[@]}") ml=$(median "${L[@]}") wl=$(largest "${L[@]}") mcl=$(median "${C[@]}")
  ms=$(median "${S[@]}") mr=$(median "${R[@]}") mw=$(median "${W[@]}")
  msa=$(median "${SA[@]}") mcp=$(median "${CP[@]}") mck=$(median "${CK[@]}")
  codes=$(printf '%s\n' "${E[@]}" | sort -u | tr '\n' ' ')
  r1=$(ratio "$mg" "$mc") r1z=$(ratio "$mgz" "$mcz") r2=$(ratio "$mw" "$text_bytes")

  printf '\n%d records, empty criteria, %d rows listed by both; median (range) of %d run(s):\n' \
    "$records" "$cli_rows" "$RUNS"
  printf '  the real program (vostrel.exe, its own process, driven through its messages):\n'
  printf '  .db:  Start to final status     %7d ms  (%s)\n' "$mg" "$(range "${G[@]}")"
  printf '        CLI search under Wine     %7d ms  (%s; starting a program: %d ms)\n' \
    "$mc" "$(range "${CL[@]}")" "$mst"
  printf '        ratio GUI / CLI           %7s      (goal <= 2.5: %s)\n' "$r1" "$(timed "$r1" 2.5)"
  printf '  .zdb (one gzip member): Start to final status %d ms (%s), CLI %d ms (%s)\n' \
    "$mgz" "$(range "${GZ[@]}")" "$mcz" "$(range "${CZ[@]}")"
  printf '        ratio GUI / CLI           %7s      (goal <= 2.5: %s)\n' "$r1z" "$(timed "$r1z" 2.5)"
  printf '  input wait during the scan      %7d ms   worst of all runs %d ms (goal <= 250: %s)\n' \
    "$ml" "$wl" "$(timed "$wl" 250)"
  printf '  close to process gone           %7d ms   exit code %s(goal <= 300 and 0: %s)\n' \
    "$mcl" "$codes" "$( [ "$codes" = "0 " ] && timed "$mcl" 300 || echo "goal MISSED")"
  printf '  the harness (the same code in one process), on the .db:\n'
  printf '  header click, sort and repaint  %7d ms   order checked with lstrcmpiW (goal <= 1000: %s)\n' \
    "$ms" "$(timed "$ms" 1000)"
  printf '  Start again over the rows       %7d ms   window blocked (goal <= 100: %s)\n' \
    "$mr" "$(timed "$mr" 100)"
  printf '  Ctrl+A                          %7d ms   (goal <= 1000: %s)\n' "$msa" "$(timed "$msa" 1000)"
  printf '  Ctrl+A then Ctrl+C              %7d ms   clipboard lines checked (goal <= 3000: %s)\n' \
    "$mcp" "$(timed "$mcp" 3000)"
  printf '  one click after Ctrl+A          %7d ms   one row left selected (goal <= 1000: %s)\n' \
    "$mck" "$(timed "$mck" 1000)"
  printf '  rows'"'"' text (UTF-16)            %10s\n' "$(mb "$text_bytes")"
  printf '  working-set growth              %10s   = %s x the text (goal <= 2: %s)\n' \
    "$(mb "$mw")" "$r2" "$(verdict "$r2" 2)"
done
