#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and
# runs each for a while on seeds made by the project's own writer.
#   scripts/fuzz.sh --ci          each target briefly (about 20 s), as CI does
#   scripts/fuzz.sh SECONDS       each target for SECONDS
# Corpora grow in build/fuzz/corpus/<target>; a finding is written to build/fuzz/findings/ and
# fails the run. Turn every finding into a regression test before fixing it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=20
case "${1:-}" in
  --ci) seconds=20 ;;
  "") ;;
  *) seconds="$1" ;;
esac

out=build/fuzz
cmake -S . -B "$out" -DVOSTREL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$out" -j2 --target fuzz_database fuzz_language fuzz_installed_list vostrel-gen >/dev/null

seeds="$out/seeds"
rm -rf "$seeds"
mkdir -p "$seeds/database" "$seeds/language" "$seeds/installed_list" "$out/findings"
export ASAN_OPTIONS=detect_leaks=1

# Database seeds: a mode byte (0 .db, 1 .zdb, 2 .fdb; +8 compressed, +0x10 read ahead on
# threads, +0x20 a series of small members), a criteria byte, then the uncompressed file bytes.
gen="$out/bench/vostrel-gen"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$gen" --records 12 --seed 1 "$tmp/a.db" >/dev/null
"$gen" --records 12 --seed 2 "$tmp/b.zdb" >/dev/null
"$gen" --records 12 --seed 3 "$tmp/c.fdb" >/dev/null
{ printf '\x00\x00'; cat "$tmp/a.db"; } > "$seeds/database/plain"
{ printf '\x09\x01'; gzip -dc "$tmp/b.zdb"; } > "$seeds/database/zdb"
{ printf '\x0a\x02'; gzip -dc "$tmp/c.fdb"; } > "$seeds/database/fdb-builtin"
{ printf '\x02\x05'; gzip -dc "$tmp/c.fdb"; } > "$seeds/database/fdb-stored-raw"
{ printf '\x19\x03'; gzip -dc "$tmp/b.zdb"; } > "$seeds/database/zdb-read-ahead"
{ printf '\x39\x07'; gzip -dc "$tmp/b.zdb"; } > "$seeds/database/zdb-series"
{ printf '\x3a\x30'; gzip -dc "$tmp/c.fdb"; } > "$seeds/database/fdb-series"
cp vostrel.lng "$seeds/language/shipped"
printf '[RUSSIAN]\r\n900=Ошибка\r\n-1=x=y\r\n[ENGLISH] tail\n901=\n' | iconv -f utf-8 -t cp1251 > "$seeds/language/small"
printf '/db/a.db;First\r\n/db/b.zdb;Second\r\nshort\r\nno-semicolon-here\r\n/c;x\n' > "$seeds/installed_list/small"

status=0
for target in database language installed_list; do
  corpus="$out/corpus/$target"
  mkdir -p "$corpus"
  echo "fuzz_$target: ${seconds}s"
  if ! "$out/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
      -artifact_prefix="$out/findings/$target-" -print_final_stats=1 \
      "$corpus" "$seeds/$target" >"$out/fuzz_$target.log" 2>&1; then
    echo "fuzz_$target: FINDING (see $out/fuzz_$target.log and $out/findings/)"
    tail -40 "$out/fuzz_$target.log"
    status=1
  else
    grep -E '^stat::number_of_executed_units' "$out/fuzz_$target.log" | sed "s/^/  /" || true
  fi
done
exit $status
