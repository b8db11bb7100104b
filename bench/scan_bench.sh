#!/usr/bin/env bash
# Scan benchmark: how close a search comes to the cost of just reading the data.
#
#   bash bench/scan_bench.sh [--records N] [--runs R]
#
# Builds vostrel-cli and vostrel-gen (native preset, into build/native or $BUILD_DIR), generates a
# directory of N records (default 2,000,000) as .zdb and as .db, picks a name prefix that matches
# a handful of records, and then times, alternating, R times each (default 5):
#   vostrel-cli search FILE.zdb name=PREFIX   against   gzip -dc FILE.zdb >/dev/null
#   vostrel-cli search FILE.db  name=PREFIX   against   LC_ALL=C grep -c -a PREFIX-IN-1251 FILE.db
# It prints the medians and their ratios. Goals: search .zdb <= 1.10 x gzip -dc, search .db
# <= 3 x grep. VOSTREL_CLI and VOSTREL_GEN may name ready-built programs instead.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
RECORDS=2000000
RUNS=5
while [ $# -gt 0 ]; do
  case $1 in
    --records) RECORDS=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "scan_bench: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

for tool in gzip grep iconv; do
  command -v $tool >/dev/null || { echo "scan_bench: needs $tool" >&2; exit 2; }
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
echo "Prefix '$prefix' matches $matches record(s)."

# Wall time of a command in milliseconds; its output goes to the file named first. GNU grep
# stops at the first match when its output is /dev/null (only the status could matter then), so
# the counting runs must write somewhere real.
millis() {
  local out=$1 start end
  shift
  start=$(date +%s%N)
  "$@" >"$out" 2>/dev/null || true
  end=$(date +%s%N)
  echo $(( (end - start) / 1000000 ))
}
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Warm the page cache so the first run does not pay for the disk.
cat "$WORK/bench.zdb" "$WORK/bench.db" >/dev/null
search_z=() gzip_t=() search_d=() grep_t=()
for (( i = 1; i <= RUNS; i++ )); do
  search_z+=("$(millis "$WORK/rows" "$VOSTREL_CLI" search "$WORK/bench.zdb" "name=$prefix")")
  gzip_t+=("$(millis /dev/null gzip -dc "$WORK/bench.zdb")")
  search_d+=("$(millis "$WORK/rows" "$VOSTREL_CLI" search "$WORK/bench.db" "name=$prefix")")
  grep_t+=("$(millis "$WORK/count" env LC_ALL=C grep -c -a "$pattern" "$WORK/bench.db")")
done
[ "$(cat "$WORK/count")" -ge 1 ] || echo "scan_bench: grep found nothing; its pattern is wrong" >&2
mz=$(median "${search_z[@]}") mg=$(median "${gzip_t[@]}")
md=$(median "${search_d[@]}") mr=$(median "${grep_t[@]}")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
verdict() { awk -v r="$1" -v g="$2" 'BEGIN { print (r != "n/a" && r + 0 <= g) ? "goal met" : "goal missed" }'; }
rz=$(ratio "$mz" "$mg") rd=$(ratio "$md" "$mr")
printf '\nMedians of %d runs, %d records:\n' "$RUNS" "$RECORDS"
printf '  search .zdb  %6d ms   gzip -dc  %6d ms   ratio %s (goal <= 1.10: %s)\n' \
  "$mz" "$mg" "$rz" "$(verdict "$rz" 1.10)"
printf '  search .db   %6d ms   grep -c   %6d ms   ratio %s (goal <= 3.00: %s)\n' \
  "$md" "$mr" "$rd" "$(verdict "$rd" 3.00)"
