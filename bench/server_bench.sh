#!/usr/bin/env bash
# Server benchmark: vostrel-server answering many people at once, against vostrel-cli run once
# per lookup, side by side in one run, on loopback.
#
#   bash bench/server_bench.sh [--records N] [--seconds S] [--connections C]
#
# Builds vostrel-server, vostrel-cli and vostrel-gen (native preset, into build/native or
# $BUILD_DIR), generates a directory of N records (default 2,000,000) as a .db and as a .zdb,
# starts the server over both on a free loopback port, and measures (wrk from Debian, C
# connections, default 64, S seconds each, default 10):
#   a full name as a prefix (a handful of rows), .db: requests a second against 1 / the median
#     time of back-to-back `vostrel-cli search FILE Name=...` runs     goal >= 1.5 x; p99 <= 250 ms
#   a piece of the phone (four digits), .db: p99                        goal <= 250 ms
#   a full name as a prefix, .zdb: requests a second against back-to-back CLI runs of the .zdb
#                                                                        goal >= 8 x
#   every record, first page sorted by Name (a search not kept yet)     goal <= 1.5 s
#     then the page at offset 1,000,000                                 goal <= 30 ms
#   time to the first rows of a search that lists every record (the event stream)
#                                                                        goal <= 50 ms
#   the server's memory (VmRSS) after 200 different searches of large results (pieces of the
#     phone), against the result sets' bound (--result-memory 512)      goal: within; not growing
# Every request of a wrk run is a different search (the threads take turns through a list
# longer than the run needs, which the script checks), so no answer comes from a kept result.
# Errors (non-2xx answers, sockets that failed or timed out) are counted and must be 0.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
RECORDS=2000000
SECONDS_EACH=10
CONNECTIONS=64
while [ $# -gt 0 ]; do
  case $1 in
    --records) RECORDS=$2; shift 2 ;;
    --seconds) SECONDS_EACH=$2; shift 2 ;;
    --connections) CONNECTIONS=$2; shift 2 ;;
    -h|--help) sed -n '2,28p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "server_bench: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
for tool in wrk curl jq python3 awk; do
  command -v $tool >/dev/null || { echo "server_bench: needs $tool (scripts/setup.sh)" >&2; exit 2; }
done

BUILD=${BUILD_DIR:-$ROOT/build/native}
(cd "$ROOT" && cmake --preset native -B "$BUILD" >/dev/null &&
  cmake --build "$BUILD" -j2 --target vostrel-server vostrel-cli vostrel-gen >/dev/null) || {
  echo "server_bench: building in $BUILD failed" >&2
  exit 2
}
SERVER=$BUILD/src/vostrel-server
CLI=$BUILD/src/vostrel-cli
GEN=$BUILD/bench/vostrel-gen
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-server-bench.XXXXXX")
SERVER_PID=
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

echo "Generating $RECORDS records..."
"$GEN" --records "$RECORDS" --seed 1 "$WORK/city.db" >/dev/null
"$GEN" --records "$RECORDS" --seed 1 "$WORK/city.zdb" >/dev/null

# The lookups: every distinct full name (a prefix that matches a handful), shuffled the same
# way each run; and four-digit pieces of the phone.
"$CLI" search "$WORK/city.db" 2>/dev/null | awk -F'\t' 'NR > 1 { print $2 }' | sort -u |
  awk 'BEGIN { srand(7) } { print rand() "\t" $0 }' | sort | cut -f2- >"$WORK/names"
awk 'BEGIN { srand(11); for (i = 0; i < 10000; i++) printf "%04d\n", i }' |
  awk 'BEGIN { srand(13) } { print rand() "\t" $0 }' | sort | cut -f2- >"$WORK/phones"

millis() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.1f", a / b; else print "n/a" }'; }
atmost() { awk -v v="$1" -v g="$2" 'BEGIN { print (v + 0 <= g) ? "goal met" : "goal MISSED" }'; }
atleast() { awk -v v="$1" -v g="$2" 'BEGIN { print (v + 0 >= g) ? "goal met" : "goal MISSED" }'; }

# Back-to-back CLI lookups of the first names: the median time of one, in milliseconds.
cli_median() {
  local file=$1 start
  head -n 21 "$WORK/names" | while IFS= read -r name; do
    start=$(date +%s%N)
    "$CLI" search "$file" "Name=$name" >/dev/null 2>&1 || true
    millis "$start"
  done | median
}

# The server, on a free loopback port, over both files.
RESULT_MB=512
"$SERVER" --listen 127.0.0.1:0 --quiet --result-memory "$RESULT_MB" "$WORK/city.db" "$WORK/city.zdb" >"$WORK/server.out" \
  2>"$WORK/server.err" &
SERVER_PID=$!
for _ in $(seq 100); do
  grep -q '^listening on ' "$WORK/server.out" 2>/dev/null && break
  sleep 0.1
done
BASE=$(sed -n 's/^listening on \(http:[^ ]*\).*/\1/p' "$WORK/server.out")
[ -n "$BASE" ] || { echo "server_bench: the server did not start:" >&2; cat "$WORK/server.err" >&2; exit 1; }
curl -sf "$BASE/api/databases" >"$WORK/databases.json"
id_of() { jq -r --arg f "$1" '[.. | objects | select(.file? == $f) | .id][0]' "$WORK/databases.json"; }
DB=$(id_of city.db)
ZDB=$(id_of city.zdb)
[ -n "$DB" ] && [ "$DB" != null ] && [ -n "$ZDB" ] && [ "$ZDB" != null ] ||
  { echo "server_bench: the server does not list both files" >&2; exit 1; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$SERVER_PID/status"; }

# A wrk script whose threads take turns through the paths in a file: thread t of T sends paths
# t, t+T, t+2T... so no path is asked twice while there are more paths than requests.
wrk_script() {
  cat >"$WORK/paths.lua" <<EOF
local paths = {}
for line in io.lines("$1") do paths[#paths + 1] = line end
local threads, counter = 2, 0
function setup(thread)
  thread:set("first", counter)
  counter = counter + 1
end
function init(args) step = 0 end
function request()
  local at = step * threads + first
  step = step + 1
  return wrk.format("GET", paths[(at % #paths) + 1])
end
function done(summary, latency, requests)
  io.write(string.format("requests=%d p50_ms=%.1f p99_ms=%.1f rps=%.1f errors=%d\n",
    summary.requests, latency:percentile(50) / 1000, latency:percentile(99) / 1000,
    summary.requests / (summary.duration / 1e6),
    summary.errors.connect + summary.errors.read + summary.errors.write +
    summary.errors.status + summary.errors.timeout))
end
EOF
}
# Paths of one field's lookups in a database, percent-encoded.
paths_of() {
  python3 -c '
import sys, urllib.parse
db, field = sys.argv[1], sys.argv[2]
for line in sys.stdin:
    print("/api/search?db=%s&%s=%s&limit=100" % (db, field, urllib.parse.quote(line.rstrip("\n"))))
' "$1" "$2"
}
# One wrk run over the paths; prints its summary line, and checks that no path came twice.
wrk_run() {
  local paths=$1
  wrk_script "$paths"
  wrk -t2 -c"$CONNECTIONS" -d"${SECONDS_EACH}s" --timeout 10s -s "$WORK/paths.lua" "$BASE" \
    >"$WORK/wrk.out" 2>&1 || true
  local line
  line=$(grep '^requests=' "$WORK/wrk.out" || true)
  [ -n "$line" ] || { echo "server_bench: wrk failed:" >&2; cat "$WORK/wrk.out" >&2; exit 1; }
  local requests
  requests=$(sed 's/^requests=\([0-9]*\).*/\1/' <<<"$line")
  if [ "$requests" -gt "$(wc -l <"$paths")" ]; then
    echo "server_bench: $requests requests but only $(wc -l <"$paths") lookups: some were kept" >&2
  fi
  echo "$line"
}
figure() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2"; }

echo
echo "CLI, back-to-back lookups (median of 21):"
CLI_DB=$(cli_median "$WORK/city.db")
CLI_ZDB=$(cli_median "$WORK/city.zdb")
echo "  .db  $CLI_DB ms a lookup ($(ratio 1000 "$CLI_DB") a second)"
echo "  .zdb $CLI_ZDB ms a lookup ($(ratio 1000 "$CLI_ZDB") a second)"

# A file's first search reads it into the kept records (the .zdb's inflated): an office's server
# does that once in its days of running, and the runs measure what follows.
curl -sf "$BASE/api/search?db=$ZDB&Name=%D0%90&limit=1" >/dev/null
curl -sf "$BASE/api/search?db=$DB&Name=%D0%90&limit=1" >/dev/null

echo
echo "Server, $CONNECTIONS connections, ${SECONDS_EACH} s each, every request another search:"
paths_of "$DB" Name <"$WORK/names" >"$WORK/name.paths"
NAME_DB=$(wrk_run "$WORK/name.paths")
paths_of "$DB" Phone <"$WORK/phones" >"$WORK/phone.paths"
PHONE_DB=$(wrk_run "$WORK/phone.paths")
# The .zdb run takes the names from the other end of the list.
tac "$WORK/names" | paths_of "$ZDB" Name >"$WORK/zname.paths"
NAME_ZDB=$(wrk_run "$WORK/zname.paths")
rps=$(figure rps "$NAME_DB"); p99=$(figure p99_ms "$NAME_DB"); errors=$(figure errors "$NAME_DB")
x=$(ratio "$rps" "$(ratio 1000 "$CLI_DB")")
echo "  name prefix .db:  $rps requests/s = $x x the CLI ($(atleast "$x" 1.5)); p99 $p99 ms" \
  "($(atmost "$p99" 250)); errors $errors ($(atmost "$errors" 0))"
p99=$(figure p99_ms "$PHONE_DB"); errors=$(figure errors "$PHONE_DB")
echo "  phone piece .db:  $(figure rps "$PHONE_DB") requests/s; p99 $p99 ms ($(atmost "$p99" 250));" \
  "errors $errors ($(atmost "$errors" 0))"
rps=$(figure rps "$NAME_ZDB"); errors=$(figure errors "$NAME_ZDB")
x=$(ratio "$rps" "$(ratio 1000 "$CLI_ZDB")")
echo "  name prefix .zdb: $rps requests/s = $x x the CLI ($(atleast "$x" 8)); p99" \
  "$(figure p99_ms "$NAME_ZDB") ms; errors $errors ($(atmost "$errors" 0))"

# Wall time of one request, in milliseconds, its body into a file.
timed_get() {
  curl -sf -o "$2" -w '%{time_total}\n' "$BASE$1" | awk '{ printf "%d\n", $1 * 1000 }'
}
echo
echo "Every record of the .db:"
FIRST=$(timed_get "/api/search?db=$DB&sort=Name&limit=100" "$WORK/first.json")
DEEP=$(for _ in 1 2 3 4 5; do timed_get "/api/search?db=$DB&sort=Name&limit=100&offset=1000000" \
  "$WORK/deep.json"; done | median)
TOTAL=$(jq -r .total "$WORK/first.json")
echo "  $TOTAL rows; first page sorted by Name: $FIRST ms ($(atmost "$FIRST" 1500))"
echo "  the page at offset 1,000,000 (median of 5): $DEEP ms ($(atmost "$DEEP" 30))"
[ "$TOTAL" = "$RECORDS" ] || echo "server_bench: the total is $TOTAL, not $RECORDS" >&2

# Time to the first rows of the event stream of a search listing every record (not kept: a
# criterion that every record matches, written in a way not asked before).
FIRST_ROWS=$(python3 - "$BASE" "$DB" <<'EOF'
import http.client, sys, time, urllib.parse
base, db = sys.argv[1], sys.argv[2]
host, port = urllib.parse.urlparse(base).hostname, urllib.parse.urlparse(base).port
times = []
for n in range(5):
    connection = http.client.HTTPConnection(host, port, timeout=30)
    start = time.perf_counter()
    connection.request("GET", "/api/search/stream?db=%s&Name=%s" % (db, "*" * (n + 1)))
    response = connection.getresponse()
    while True:
        line = response.fp.readline()
        if not line:
            break
        if line.startswith(b"event: rows"):
            times.append((time.perf_counter() - start) * 1000)
            break
    connection.close()
times.sort()
print("%d" % times[len(times) // 2] if times else "n/a")
EOF
)
echo "  time to the first rows of the stream (median of 5): $FIRST_ROWS ms ($(atmost "$FIRST_ROWS" 50))"

echo
echo "Memory after 200 different searches of large results (.db):"
BEFORE=$(rss_kb)
for i in $(seq 0 199); do
  # Two-digit pieces of the phone (about 120,000 rows each), then three-digit ones.
  if [ "$i" -lt 100 ]; then q="Phone=$(printf '%02d' "$i")"; else q="Phone=0$(printf '%02d' $((i - 100)))"; fi
  curl -sf -o /dev/null "$BASE/api/search?db=$DB&$q&sort=Name&limit=10" || echo "request $i failed" >&2
  [ "$i" = 99 ] && MIDDLE=$(rss_kb)
done
AFTER=$(rss_kb)
echo "  VmRSS before $((BEFORE / 1024)) MB, after 100 $((MIDDLE / 1024)) MB, after 200 $((AFTER / 1024)) MB" \
  "(the result sets' bound: $RESULT_MB MB)"
grow=$(( (AFTER - MIDDLE) / 1024 ))
echo "  growth over the second 100: $grow MB ($(atmost $(( (AFTER - BEFORE) / 1024 )) "$RESULT_MB") within the bound)"
