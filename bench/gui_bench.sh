#!/usr/bin/env bash
# GUI benchmark: how long the application takes to list a big result, to sort it by a header
# click, and how much memory the listed rows cost; each against a reference measured in the
# same run.
#
#   bash bench/gui_bench.sh [--records N] [--runs R] [--paint-interval MS]
#
# Builds vostrel-gui-bench.exe, vostrel-cli.exe and vostrel-gen.exe with the win64 preset (into
# build/win64-gui-bench, or $BUILD_DIR) and runs them under Wine in a private prefix inside that
# folder, with the null display driver. Generates a directory of N subscribers (default
# 200,000) and picks, among a few wildcard queries, the one whose row count is nearest N / 2.
# Then, alternating, R times each (default 5):
#   GUI   the application in one process (vostrel-gui-bench.exe): the time from pressing Start
#         to the final status line, then a click on the Name header (the UI thread's time for
#         the sort and the repaint after it), and the working set before and after the search;
#   CLI   vostrel-cli.exe search FILE QUERY > file, under Wine, and vostrel-cli.exe info FILE
#         (which only reads the header: the cost of starting a program under Wine);
#   LIST  a bare list view (vostrel-gui-bench.exe --bare-list ROWS) given as many items as the
#         query lists, inserted as the program inserts its rows but with no rows behind them:
#         the time and memory that the platform's list view takes by itself.
# Once more: a search that matches nothing, twice in one process, for the memory a scan takes
# per record. Prints the medians and the ratios:
#   GUI listing / CLI search          (goal <= 5)
#   sort                              (goal < 1000 ms)
#   working-set growth / row text     (goal: a small multiple)
# --paint-interval sets the shortest time between two paints of the list during a scan (the
# program's own is 100 ms; 0 paints it at every status update that follows new rows).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
RECORDS=200000
RUNS=5
PAINT=-1
while [ $# -gt 0 ]; do
  case $1 in
    --records) RECORDS=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --paint-interval) PAINT=$2; shift 2 ;;
    -h|--help) sed -n '2,26p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "gui_bench: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
case $RECORDS$RUNS in *[!0-9]*) echo "gui_bench: --records and --runs take numbers" >&2; exit 2 ;; esac
case ${PAINT#-} in ''|*[!0-9]*) echo "gui_bench: --paint-interval takes a number" >&2; exit 2 ;; esac

for tool in wine wineserver winepath cmake awk; do
  command -v $tool >/dev/null || { echo "gui_bench: needs $tool" >&2; exit 2; }
done

BUILD=${BUILD_DIR:-$ROOT/build/win64-gui-bench}
(cd "$ROOT" && cmake --preset win64 -B "$BUILD" >/dev/null &&
  cmake --build "$BUILD" -j2 --target vostrel-gui-bench vostrel-cli vostrel-gen >/dev/null) || {
  echo "gui_bench: building in $BUILD failed" >&2
  exit 2
}
GUI=$BUILD/bench/vostrel-gui-bench.exe
CLI=$BUILD/src/vostrel-cli.exe
GEN=$BUILD/bench/vostrel-gen.exe

# The same private Wine session the Windows tests use: its own prefix, no display needed.
export WINEPREFIX=$BUILD/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d"
export WINEARCH=win64 DISPLAY=
# Command-line arguments reach the programs as UTF-8 (the queries are Cyrillic).
export LC_ALL=C.UTF-8
bash "$ROOT/tests/support/wine_session.sh" start >/dev/null
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-gui-bench.XXXXXX")
trap 'rm -rf "$WORK"; bash "$ROOT/tests/support/wine_session.sh" stop >/dev/null' EXIT

echo "Generating $RECORDS records ..."
DB=$WORK/city.db
wine "$GEN" --records "$RECORDS" --seed 1 "$(winepath -w "$DB")" >/dev/null
WDB=$(winepath -w "$DB")

# Candidate queries: the search position of the field in the Search page, and the CLI's form.
count_rows() { { wine "$CLI" search "$WDB" "$1" 2>"$WORK/stderr" || true; } | tail -n +2 | wc -l; }
best="" best_rows=0 best_distance=-1
for candidate in "1|name=*Н*" "2|street=*Я*" "1|name=*Е*" "1|name=*И*" "1|name=*А *" "2|street=*О*"; do
  query=${candidate#*|}
  rows=$(count_rows "$query")
  distance=$(( rows > RECORDS / 2 ? rows - RECORDS / 2 : RECORDS / 2 - rows ))
  if [ "$best_distance" -lt 0 ] || [ "$distance" -lt "$best_distance" ]; then
    best=$candidate best_rows=$rows best_distance=$distance
  fi
done
position=${best%%|*} query=${best#*|}
field_text=${query#*=}
echo "Query $query lists $best_rows of $RECORDS records."

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
field() { tr -d '\r' <"$2" | sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" | head -n 1; }
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

gui_once() {
  local args=("$WDB" "$position=$field_text" --searches 1 --sort-column 1)
  [ "$PAINT" -ge 0 ] && args+=(--paint-interval "$PAINT")
  wine "$GUI" "${args[@]}" >"$WORK/gui" 2>"$WORK/gui.err" || {
    echo "gui_bench: the GUI run failed:" >&2
    cat "$WORK/gui" "$WORK/gui.err" >&2
    exit 1
  }
}

# A first round of each warms the page cache and Wine's own files.
gui_once
millis "$WORK/rows" wine "$CLI" search "$WDB" "$query" >/dev/null
gui_rows=$(field rows "$WORK/gui")
[ "$gui_rows" = "$best_rows" ] || {
  echo "gui_bench: the GUI listed $gui_rows rows, the CLI $best_rows" >&2
  exit 1
}

gui_t=() sort_t=() growth=() peak=() cli_t=() start_t=() bare_t=() bare_growth=()
for (( i = 1; i <= RUNS; i++ )); do
  gui_once
  gui_t+=("$(field gui_ms "$WORK/gui" | cut -d. -f1)")
  sort_t+=("$(field sort_ms "$WORK/gui" | cut -d. -f1)")
  [ "$(field sorted "$WORK/gui")" = yes ] || { echo "gui_bench: the sort left rows out of order" >&2; exit 1; }
  before=$(field working_before "$WORK/gui") after=$(field working_after "$WORK/gui")
  growth+=("$(( after - before ))")
  peak+=("$(field working_peak "$WORK/gui")")
  text_bytes=$(field text_bytes "$WORK/gui")
  cli_t+=("$(millis "$WORK/rows" wine "$CLI" search "$WDB" "$query")")
  start_t+=("$(millis "$WORK/info" wine "$CLI" info "$WDB")")
  wine "$GUI" --bare-list "$best_rows" >"$WORK/bare" 2>"$WORK/bare.err"
  bare_t+=("$(field insert_ms "$WORK/bare" | cut -d. -f1)")
  bare_growth+=("$(( $(field working_after "$WORK/bare") - $(field working_before "$WORK/bare") ))")
done

# A scan that lists nothing: what is left over after it is what the scan itself keeps.
wine "$GUI" "$WDB" "$position=NOBODY-AT-ALL" --searches 2 >"$WORK/none" 2>"$WORK/none.err"
none_ms=$(sed -n 2p "$WORK/none" | sed -n 's/.*gui_ms=\([0-9]*\).*/\1/p')
none_before=$(sed -n 2p "$WORK/none" | sed -n 's/.*working_before=\([0-9]*\).*/\1/p')
none_after=$(sed -n 2p "$WORK/none" | sed -n 's/.*working_after=\([0-9]*\).*/\1/p')

mg=$(median "${gui_t[@]}") ms=$(median "${sort_t[@]}") mc=$(median "${cli_t[@]}")
mst=$(median "${start_t[@]}") mgrow=$(median "${growth[@]}") mpeak=$(median "${peak[@]}")
mbare=$(median "${bare_t[@]}") mbaregrow=$(median "${bare_growth[@]}")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.1f", a / b; else print "n/a" }'; }
verdict() { awk -v r="$1" -v g="$2" -v op="$3" 'BEGIN {
  if (r == "n/a") { print "n/a"; exit }
  ok = (op == "<") ? (r + 0 < g) : (r + 0 <= g); print ok ? "goal met" : "goal missed" }'; }
mb() { awk -v b="$1" 'BEGIN { printf "%.1f MB", b / 1048576 }'; }
net=$(( mc > mst ? mc - mst : 0 ))
r1=$(ratio "$mg" "$mc") r2=$(ratio "$mg" "$net") r3=$(ratio "$mgrow" "$text_bytes")

printf '\nMedians of %d runs; %d records, query %s listing %d rows; %s, %s, %s CPUs.\n' \
  "$RUNS" "$RECORDS" "$query" "$best_rows" "$(wine --version)" \
  "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)" "$(nproc)"
printf '  GUI: Start to final status     %6d ms\n' "$mg"
printf '  CLI search under Wine          %6d ms   (of which starting a program: %d ms)\n' "$mc" "$mst"
printf '  ratio GUI / CLI                %6s     (goal <= 5: %s); against the CLI without its start: %s\n' \
  "$r1" "$(verdict "$r1" 5 "<=")" "$r2"
printf '  a bare list view, same count   %6d ms   to insert the items (GUI / bare list: %s)\n' \
  "$mbare" "$(ratio "$mg" "$mbare")"
printf '  sort by Name (UI thread)       %6d ms   (goal < 1000 ms: %s)\n' "$ms" "$(verdict "$ms" 1000 "<")"
printf '  rows'"'"' text                    %9s\n' "$(mb "$text_bytes")"
printf '  working set growth             %9s   = %s x the text (peak working set %s)\n' \
  "$(mb "$mgrow")" "$r3" "$(mb "$mpeak")"
printf '  a bare list view, same count  %9s   working set growth, without any rows\n' \
  "$(mb "$mbaregrow")"
printf '  a scan listing nothing         %6s ms   working set growth %s on the second such scan\n' \
  "${none_ms:-?}" "$(mb $(( ${none_after:-0} - ${none_before:-0} )))"
