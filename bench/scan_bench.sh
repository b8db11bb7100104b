#!/usr/bin/env bash
# Scan benchmark: how close a search comes to the cost of just reading the data.
#
#   bash bench/scan_bench.sh [--records N] [--runs R] [--wine | --wine-only]
#
# Builds vostrel-cli and vostrel-gen (native preset, into build/native or $BUILD_DIR), generates a
# directory of N records (default 2,000,000) as .zdb and as .db, picks a name prefix that matches
# a handful of records, and then times, alternating, R times each (default 5), and prints the
# medians, each ratio beside its goal:
#   search .zdb name=PREFIX        / igzip -dc FILE.zdb          goal <= 1.0
#   search .zdb name=PREFIX        / gzip -dc FILE.zdb           (for reference)
#   the same on one gzip member    / igzip -dc of it             (for reference)
#   search .db  name=PREFIX        / rg -c -a PREFIX FILE.db     goal <= 0.8
#   search .db  name=PREFIX        / cat FILE.db > /dev/null     goal <= 1.5
#   search .db  Phone=SUBSTRING    / search .db name=PREFIX      goal <= 1.5
#   search .db  Name=*PATTERN      / search .db name=PREFIX      goal <= 1.5
#   search .db  (every record) > F / cat F > another file        goal <= 4
#   search .db --queries (10,000 phones) / search .db Phone=ONE  goal <= 3
# VOSTREL_CLI and VOSTREL_GEN may name ready-built programs instead.
# --wine adds, and --wine-only runs only, the Windows build's inflate: vostrel-cli.exe of the
# win64 preset (ISA-L, into build/win64-bench) and of the same preset with VOSTREL_INFLATE=zlib
# (into build/win64-bench-zlib), under Wine, alternating, on the same .zdb and on the same
# records as one gzip member:
#   search .zdb name=PREFIX, ISA-L / the same, zlib's inflate   goal <= 0.5
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
RECORDS=2000000
RUNS=5
NATIVE=1
WINE=0
while [ $# -gt 0 ]; do
  case $1 in
    --records) RECORDS=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --wine) WINE=1; shift ;;
    --wine-only) WINE=1 NATIVE=0; shift ;;
    -h|--help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "scan_bench: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

for tool in gzip igzip rg iconv; do
  command -v $tool >/dev/null || { echo "scan_bench: needs $tool (scripts/setup.sh installs it)" >&2; exit 2; }
done

if [ -z "${VOSTREL_CLI:-}" ] || [ -z "${VOSTREL_GEN:-}" ]; then
  BUILD=${BUILD_DIR:-$ROOT/build/native}
  (cd "$ROOT" && cmake --preset native -B "$BUILD" >/dev/null &&
    cmake --build "$BUILD" -j2 --target vostrel-cli vostrel-gen >/dev/null) || {
    echo "scan_bench: building vostrel-cli and vostrel-gen in $BUILD failed" >&2
    exit 2
  }
  VOSTREL_CLI=${VOSTREL_CLI:-$BUILD/src/vostrel-cli}
  VOSTREL_GEN=${VOSTREL_GEN:-$BUILD/bench/vostrel-gen}
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
echo "Generating $RECORDS records ..."
"$VOSTREL_GEN" --records "$RECORDS" --seed 1 "$WORK/bench.zdb"
"$VOSTREL_GEN" --records "$RECORDS" --seed 1 "$WORK/bench.db"
# The writer makes a series of 1 MiB members of a large file, which the search inflates two at a
# time; the same records as one gzip member (as other tools write them) are inflated in order.
gzip -n -c "$WORK/bench.db" >"$WORK/single.zdb"
# Pages just written stand in the page cache as the writes left them (on ext4: in small folios),
# which makes every read of them, cat's too, about twice as slow as of a file read from disk,
# and a directory is read far more often than written. So the files are written back, their
# pages dropped, and they are read in again as any file from disk is.
sync "$WORK/bench.zdb" "$WORK/bench.db" "$WORK/single.zdb"
for file in bench.zdb bench.db single.zdb; do
  dd if="$WORK/$file" iflag=nocache count=0 status=none 2>/dev/null || true
done

# A prefix of a name, long enough to match only a handful of records. Common names match more
# than a handful even in full, so a few records spread over the file are tried in turn.
count_of() { { "$VOSTREL_CLI" search "$WORK/bench.db" "name=$1" || true; } | tail -n +2 | wc -l; }
prefix="" matches=0
for part in 2 3 5 7 11 13; do
  line=$(( RECORDS / part + 1 ))
  name=$({ "$VOSTREL_CLI" search "$WORK/bench.db" || true; } | sed -n "${line}{p;q}" | cut -f2)
  [ -n "$name" ] || continue
  for (( n = 3; n <= ${#name}; n++ )); do
    prefix=${name:0:n}
    matches=$(count_of "$prefix")
    [ "$matches" -le 20 ] && break
  done
  [ "$matches" -le 20 ] && break
done
[ -n "$prefix" ] || { echo "scan_bench: no names found in the generated file" >&2; exit 2; }
pattern=$(printf '%s' "$prefix" | iconv -f UTF-8 -t CP1251)
# rg takes its pattern as UTF-8; the file's bytes are Windows-1251, so each byte is escaped.
rg_pattern="(?-u:$(printf '%s' "$pattern" | od -An -tx1 | tr -d ' \n' | sed 's/../\\x&/g'))"
echo "Prefix '$prefix' matches $matches record(s)."

# Wall time of a command in microseconds; its output goes to the file named first. GNU grep
# stops at the first match when its output is /dev/null (only the status could matter then), so
# the counting runs must write somewhere real. Microseconds, because at 2,000,000 records the
# .db cases take 10 to 20 ms, where whole milliseconds would move a ratio by a tenth.
# The clock is bash's own EPOCHREALTIME (microseconds, its separator dropped whatever the
# locale), not date: a fork and an exec of date on each side added 2-3 ms to every command
# timed, which pulled each ratio towards 1. The time is left in `took` rather than printed into
# a command substitution, whose subshell made every command start 1-2 ms slower.
millis() {
  local out=$1 start end
  shift
  start=${EPOCHREALTIME/[^0-9]/}
  "$@" >"$out" 2>/dev/null || true
  end=${EPOCHREALTIME/[^0-9]/}
  took=$(( 10#$end - 10#$start ))
}
# Microseconds shown as milliseconds with one decimal.
ms() { awk -v u="$1" 'BEGIN { printf "%.1f", u / 1000 }'; }
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# A substring of a phone and a pattern that ends in a name's last letters, both from the
# record the prefix came from.
record=$({ "$VOSTREL_CLI" search "$WORK/bench.db" "name=$prefix" || true; } | sed -n '2{p;q}')
phone=$(printf '%s' "$record" | cut -f1)
phone=${phone:1:6}
fullname=$(printf '%s' "$record" | cut -f2)
pattern_name="*${fullname: -6}"
echo "Substring Phone=$phone, pattern Name=$pattern_name."

# 10,000 phone numbers spread over the file, looked up in one --queries run, and one of them
# looked up alone.
step=$(( RECORDS / 10000 ))
[ "$step" -ge 1 ] || step=1
{ echo Phone; { "$VOSTREL_CLI" search "$WORK/bench.db" || true; } | tail -n +2 |
    awk -v s="$step" '(NR - 1) % s == 0' | cut -f1 | head -n 10000; } >"$WORK/lookups.tsv"
lookups=$(( $(wc -l <"$WORK/lookups.tsv") - 1 ))
lookup_one=$(sed -n 2p "$WORK/lookups.tsv")
echo "$lookups phone lookups in one --queries run; alone: Phone=$lookup_one."

m() { median "$@"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
verdict() { awk -v r="$1" -v g="$2" 'BEGIN { print (r != "n/a" && r + 0 <= g) ? "goal met" : "goal missed" }'; }
# One line: what, its median, the reference and its median, the ratio and its goal.
line() {
  local r
  r=$(ratio "$2" "$4")
  if [ -n "$5" ]; then
    printf '  %-26s %8s ms / %-22s %8s ms = %5s  (goal <= %s: %s)\n' "$1" "$(ms "$2")" "$3" "$(ms "$4")" "$r" "$5" "$(verdict "$r" "$5")"
  else
    printf '  %-26s %8s ms / %-22s %8s ms = %5s\n' "$1" "$(ms "$2")" "$3" "$(ms "$4")" "$r"
  fi
}
# One run of every native case, alternating, and the medians against their goals.
native_section() {
  # Warm the page cache so the first run does not pay for the disk.
  cat "$WORK/bench.zdb" "$WORK/single.zdb" "$WORK/bench.db" >/dev/null
  search_z=() igzip_t=() gzip_t=() search_1=() igzip_1=() search_d=() rg_t=() cat_t=() sub_t=() wild_t=() list_t=() copy_t=() batch_t=() one_t=()
  for (( i = 1; i <= RUNS; i++ )); do
    millis "$WORK/rows" "$VOSTREL_CLI" search "$WORK/bench.zdb" "name=$prefix"; search_z+=("$took")
    millis /dev/null igzip -dc "$WORK/bench.zdb"; igzip_t+=("$took")
    millis /dev/null gzip -dc "$WORK/bench.zdb"; gzip_t+=("$took")
    millis "$WORK/rows" "$VOSTREL_CLI" search "$WORK/single.zdb" "name=$prefix"; search_1+=("$took")
    millis /dev/null igzip -dc "$WORK/single.zdb"; igzip_1+=("$took")
    # The .db search and cat of the file side by side, in turn first: whichever comes second
    # finds the file's last megabytes in the processor's cache from the first, and the first
    # comes after igzip's 90 ms. In a fixed order (search after igzip, cat after rg) the
    # search measured 15 % slower and cat 6 % faster than each would in the other's place.
    if (( i % 2 )); then
      millis "$WORK/rows" "$VOSTREL_CLI" search "$WORK/bench.db" "name=$prefix"; search_d+=("$took")
      millis /dev/null cat "$WORK/bench.db"; cat_t+=("$took")
    else
      millis /dev/null cat "$WORK/bench.db"; cat_t+=("$took")
      millis "$WORK/rows" "$VOSTREL_CLI" search "$WORK/bench.db" "name=$prefix"; search_d+=("$took")
    fi
    millis "$WORK/count" rg -c -a "$rg_pattern" "$WORK/bench.db"; rg_t+=("$took")
    millis "$WORK/rows" "$VOSTREL_CLI" search "$WORK/bench.db" "Phone=$phone"; sub_t+=("$took")
    millis "$WORK/rows" "$VOSTREL_CLI" search "$WORK/bench.db" "Name=$pattern_name"; wild_t+=("$took")
    millis "$WORK/all.tsv" "$VOSTREL_CLI" search "$WORK/bench.db"; list_t+=("$took")
    millis "$WORK/copy.tsv" cat "$WORK/all.tsv"; copy_t+=("$took")
    # The two runs above leave hundreds of megabytes to be written back; without this the
    # kernel writes them while the next commands are timed.
    sync
    millis "$WORK/batch.tsv" "$VOSTREL_CLI" search "$WORK/bench.db" --queries "$WORK/lookups.tsv"; batch_t+=("$took")
    millis "$WORK/rows" "$VOSTREL_CLI" search "$WORK/bench.db" "Phone=$lookup_one"; one_t+=("$took")
  done
  [ "$(cat "$WORK/count")" -ge 1 ] || echo "scan_bench: rg found nothing; its pattern is wrong" >&2
  mz=$(m "${search_z[@]}") md=$(m "${search_d[@]}")
  printf '\nMedians of %d runs, %d records (%s rows listed):\n' "$RUNS" "$RECORDS" "$(( $(wc -l <"$WORK/all.tsv") - 1 ))"
  line "search .zdb name=PREFIX" "$mz" "igzip -dc" "$(m "${igzip_t[@]}")" 1.0
  line "search .zdb name=PREFIX" "$mz" "gzip -dc" "$(m "${gzip_t[@]}")" ""
  line "the same, one gzip member" "$(m "${search_1[@]}")" "igzip -dc of it" "$(m "${igzip_1[@]}")" ""
  line "search .db name=PREFIX" "$md" "rg -c -a" "$(m "${rg_t[@]}")" 0.8
  line "search .db name=PREFIX" "$md" "cat FILE.db" "$(m "${cat_t[@]}")" 1.5
  line "search .db Phone=$phone" "$(m "${sub_t[@]}")" "search .db name=PREFIX" "$md" 1.5
  line "search .db Name=*...." "$(m "${wild_t[@]}")" "search .db name=PREFIX" "$md" 1.5
  line "every record listed" "$(m "${list_t[@]}")" "cat of that output" "$(m "${copy_t[@]}")" 4
  line "$lookups lookups, --queries" "$(m "${batch_t[@]}")" "search .db Phone=ONE" "$(m "${one_t[@]}")" 3
  [ "$(wc -l <"$WORK/batch.tsv")" -gt "$lookups" ] || echo "scan_bench: the --queries run listed fewer rows than lookups" >&2
}

# The Windows build's inflate: the same search by vostrel-cli.exe built with ISA-L and with
# zlib's inflate, under Wine, alternating. Both pay Wine's start of a program; `info` (which
# reads only the header) shows what that costs.
wine_section() {
  local tool
  for tool in wine wineserver winepath; do
    command -v $tool >/dev/null || { echo "scan_bench: --wine needs $tool" >&2; exit 2; }
  done
  local isal_build=${WIN64_BUILD_DIR:-$ROOT/build/win64-bench}
  local zlib_build=${WIN64_ZLIB_BUILD_DIR:-$ROOT/build/win64-bench-zlib}
  echo
  echo "Building vostrel-cli.exe in $isal_build and, with VOSTREL_INFLATE=zlib, in $zlib_build ..."
  (cd "$ROOT" && cmake --preset win64 -B "$isal_build" >/dev/null &&
    cmake --build "$isal_build" -j2 --target vostrel-cli vostrel-inflate-floor >/dev/null &&
    cmake --preset win64 -B "$zlib_build" -DVOSTREL_INFLATE=zlib >/dev/null &&
    cmake --build "$zlib_build" -j2 --target vostrel-cli vostrel-inflate-floor >/dev/null) || {
    echo "scan_bench: building the win64 vostrel-cli.exe failed" >&2
    exit 2
  }
  local used
  used=$(sed -n 's/^VOSTREL_INFLATE_USED:INTERNAL=//p' "$isal_build/CMakeCache.txt")
  echo "The win64 build inflates with: $used."
  if [ "$used" != isal ]; then
    echo "  (ISA-L for Windows was not built at set-up, so both builds use zlib: no comparison;"
    echo "   run scripts/setup.sh, see its warning)"
    return 0
  fi
  local isal_cli=$isal_build/src/vostrel-cli.exe zlib_cli=$zlib_build/src/vostrel-cli.exe
  export WINEPREFIX=$isal_build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d"
  export WINEARCH=win64 DISPLAY= LC_ALL=C.UTF-8
  bash "$ROOT/tests/support/wine_session.sh" start >/dev/null
  trap 'rm -rf "$WORK"; bash "$ROOT/tests/support/wine_session.sh" stop >/dev/null' EXIT
  local wzdb wone
  wzdb=$(winepath -w "$WORK/bench.zdb")
  wone=$(winepath -w "$WORK/single.zdb")
  # Errors go to a file: under Wine /dev/null is a character device, which the CLI takes for a
  # terminal and draws its progress bar on.
  wine_millis() {
    local out=$1 start end
    shift
    start=${EPOCHREALTIME/[^0-9]/}
    wine "$@" >"$out" 2>"$WORK/wine.err" || true
    end=${EPOCHREALTIME/[^0-9]/}
    took=$(( 10#$end - 10#$start ))
  }
  wine_millis "$WORK/rows-isal" "$isal_cli" search "$wzdb" "name=$prefix"
  wine_millis "$WORK/rows-zlib" "$zlib_cli" search "$wzdb" "name=$prefix"
  local rows_isal rows_zlib
  rows_isal=$(( $(wc -l <"$WORK/rows-isal") - 1 ))
  rows_zlib=$(( $(wc -l <"$WORK/rows-zlib") - 1 ))
  if [ "$rows_isal" -lt 1 ] || ! cmp -s "$WORK/rows-isal" "$WORK/rows-zlib"; then
    echo "scan_bench: under Wine the ISA-L build listed $rows_isal rows, the zlib build $rows_zlib" >&2
    exit 1
  fi
  local wi=() wz=() ws=() w1i=() w1z=() i
  for (( i = 1; i <= RUNS; i++ )); do
    wine_millis "$WORK/rows" "$isal_cli" search "$wzdb" "name=$prefix"; wi+=("$took")
    wine_millis "$WORK/rows" "$zlib_cli" search "$wzdb" "name=$prefix"; wz+=("$took")
    wine_millis "$WORK/info" "$isal_cli" info "$wzdb"; ws+=("$took")
    wine_millis "$WORK/rows" "$isal_cli" search "$wone" "name=$prefix"; w1i+=("$took")
    wine_millis "$WORK/rows" "$zlib_cli" search "$wone" "name=$prefix"; w1z+=("$took")
  done
  local mi mz mu m1i m1z
  mi=$(m "${wi[@]}") mz=$(m "${wz[@]}") mu=$(m "${ws[@]}") m1i=$(m "${w1i[@]}") m1z=$(m "${w1z[@]}")
  printf '\nUnder Wine, medians of %d runs, %d records (%d rows listed by both):\n' "$RUNS" "$RECORDS" "$rows_isal"
  line "search .zdb, ISA-L" "$mi" "the same, zlib inflate" "$mz" 0.5
  line "less the program's start" "$(( mi - mu ))" "the same, zlib inflate" "$(( mz - mu ))" ""
  line "one member, ISA-L" "$m1i" "the same, zlib inflate" "$m1z" 0.5
  printf '  %-26s %8s ms (vostrel-cli.exe info: starting a program under Wine)\n' "start-up" "$(ms "$mu")"
  # The least the series' search can take: its members inflated alone, two threads at a time,
  # by each build's own member calls, with nothing read, scanned or handed over; and the ratio
  # that leaves the whole searches at best, with the start both pay.
  local fi fz
  fi=$(wine "$isal_build/bench/vostrel-inflate-floor.exe" "$wzdb" "$RUNS" 2>"$WORK/wine.err" |
    sed -n 's/^2 threads: \([0-9]*\) us.*/\1/p')
  fz=$(wine "$zlib_build/bench/vostrel-inflate-floor.exe" "$wzdb" "$RUNS" 2>"$WORK/wine.err" |
    sed -n 's/^2 threads: \([0-9]*\) us.*/\1/p')
  if [ -n "$fi" ] && [ -n "$fz" ]; then
    line "inflate alone, 2 threads" "$fi" "the same, zlib inflate" "$fz" ""
    line "that and the start" "$(( fi + mu ))" "the same, zlib inflate" "$(( fz + mu ))" ""
  else
    echo "scan_bench: vostrel-inflate-floor.exe failed: $(head -1 "$WORK/wine.err")" >&2
  fi
}

[ "$NATIVE" = 0 ] || native_section
[ "$WINE" = 0 ] || wine_section
