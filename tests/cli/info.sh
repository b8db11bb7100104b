#!/usr/bin/env bash
# vostrel-cli info, end to end: the JSON of every variant (compressed and stored, upper-case
# extensions, Cyrillic and awkward titles, built-in and stored fields), the table for people,
# and the refusals (exit 2, nothing on stdout, one line on stderr naming the file and why).
# The files are made by vostrel-gen, built next to the CLI.
# Usage: bash info.sh PATH-TO-vostrel-cli SCRATCH-DIR
# shellcheck source=tests/cli/lib.sh
source "$(dirname "$0")/lib.sh" "$@"
GEN=$(cd "$(dirname "$CLI")/.." && pwd)/bench/vostrel-gen
[ -x "$GEN" ] || { echo "FAIL: vostrel-gen is not built ($GEN)"; exit 1; }

gen() { "$GEN" "$@" >/dev/null 2>gen.err || fail "vostrel-gen $*: $(cat gen.err)"; }
magic() { head -c 2 "$1" | od -An -tx1 | tr -d ' \n'; }
# refused FILE WORDS: exit 2, empty stdout, exactly one stderr line naming the file and why.
refused() {
  run 2 info --json "$1"
  [ -s out.txt ] && fail "$1: something on stdout: $(head -c 200 out.txt)"
  [ "$(wc -l <err.txt)" = 1 ] || fail "$1: stderr is not one line: $(cat err.txt)"
  contains err.txt "$1" "$1: the message names the file"
  contains err.txt "$2" "$1: the message says why"
}

field() {  # field NAME TYPE FLAGS SIZE INDEX EDIT COLUMN MAX: one built-in-like descriptor
  printf '{"name":"%s","type":%s,"flags":%s,"size":%s,"searchIndex":%s,"displayIndex":%s,"detailIndex":1,"editWidth":%s,"columnWidth":%s,"maxLength":%s}' \
    "$1" "$2" "$3" "$4" "$5" "$5" "$6" "$7" "$8"
}
fields() {  # fields PHONE NAME STREET HOUSE FLAT
  printf '[%s,%s,%s,%s,%s]' "$(field "$1" 2 7 3 1 70 55 7)" "$(field "$2" 1 2 2 2 142 100 196)" \
    "$(field "$3" 1 2 2 3 142 110 196)" "$(field "$4" 1 2 2 4 70 40 36)" \
    "$(field "$5" 1 2 2 5 70 40 36)"
}
BUILTIN=$(fields Phone Name Street House Flat)
STORED=$(fields Телефон Абонент Улица Дом Кв.)

# Short-header variants: plain, compressed, stored, upper-case extensions.
gen --records 3 --title 'Тверь' t.db
gen --records 4 --title 'Тверь' t.zdb
gen --records 5 --title 'Тверь' --stored s.zdb
gen --records 6 --title 'Тверь' U.ZDB
[ "$(magic t.db)" != 1f8b ] || fail ".db must be plain"
[ "$(magic t.zdb)" = 1f8b ] || fail ".zdb is gzip"
[ "$(magic s.zdb)" != 1f8b ] || fail "--stored .zdb is uncompressed"
for f in t.db:db:3 t.zdb:zdb:4 s.zdb:zdb:5 U.ZDB:zdb:6; do
  IFS=: read -r name variant count <<<"$f"
  run 0 info --json "$name"
  same out.txt "{\"variant\":\"$variant\",\"version\":11,\"fieldCount\":5,\"recordCount\":$count,\"title\":\"Тверь\",\"headerSize\":29,\"numberWidth\":7,\"fields\":$BUILTIN}" "json of $name"
  [ -s err.txt ] && fail "$name: stderr not empty: $(cat err.txt)"
done

# Schema variants: version 12 with stored fields, compressed and stored; version 11 built-in.
gen --records 7 --title 'Москва (демо)' t.fdb
gen --records 8 --title 'Москва (демо)' --stored s.Fdb
gen --records 9 --title 'Москва (демо)' --builtin B.FDB
[ "$(magic t.fdb)" = 1f8b ] || fail ".fdb is gzip"
[ "$(magic s.Fdb)" != 1f8b ] || fail "--stored .fdb is uncompressed"
for f in t.fdb:12:7:STORED s.Fdb:12:8:STORED B.FDB:11:9:BUILTIN; do
  IFS=: read -r name version count which <<<"$f"
  run 0 info --json "$name"
  same out.txt "{\"variant\":\"fdb\",\"version\":$version,\"fieldCount\":5,\"recordCount\":$count,\"title\":\"Москва (демо)\",\"headerSize\":204,\"fields\":${!which}}" "json of $name"
done

# Titles: JSON escapes, and the header's room (22 characters in a short header).
gen --records 0 --title 'А "б" \ в/г' q.zdb
run 0 info --json q.zdb
contains out.txt '"title":"А \"б\" \\ в/г"' "title escaped in JSON"
contains out.txt '"recordCount":0' "an empty directory"
gen --records 1 --title 'Абвгдеёжзийклмнопрстуфхцчшщ' long.db
run 0 info --json long.db
contains out.txt '"title":"Абвгдеёжзийклмнопрстуф"' "title cut to 22 characters"

# The table for people.
run 0 info t.db
contains out.txt 'Title:        Тверь' "text title"
contains out.txt 'Records:      3' "text record count"
contains out.txt 'Number width: 7' "text number width"
grep -qE '^1 +Phone +integer +0x07 +3 +1 +1 +1 +70 +55 +7$' out.txt || fail "text field row: $(cat out.txt)"
run 0 info s.Fdb
grep -qE '^2 +Абонент +text +0x02 +2 +2 +2 +1 +142 +100 +196$' out.txt || fail "text stored row: $(cat out.txt)"
grep -q 'Number width' out.txt && fail "an .fdb has no number width"

# Refusals. A file whose content is no database says so before the technical reason; one that
# cannot be reached at all does not.
refused missing.db "no such file"
mkdir dir.zdb
refused dir.zdb "is a directory"
grep -q "not a Vostrel database" err.txt && fail "a directory called no database: $(cat err.txt)"
printf 'Just a text file, saved with a database name.\n' >text.db
cp text.db text.zdb && gzip -c text.db >text.fdb
for f in text.db text.zdb text.fdb; do refused $f "$f: not a Vostrel database: "; done
head -c 28 t.db >short.db
refused short.db "short.db: not a Vostrel database: file too short for a database header"
: >empty.zdb
refused empty.zdb "empty.zdb: not a Vostrel database: file too short for a database header"
{ head -c 4 t.db; printf '\x0c'; tail -c +6 t.db; } >v12.db
refused v12.db "v12.db: not a Vostrel database: unsupported version 12"
{ head -c 4 t.db; printf '\x0c'; tail -c +6 t.db; } | gzip -c >v12.zdb
refused v12.zdb "v12.zdb: not a Vostrel database: unsupported version 12"
# A stored schema whose first field asks for criterion box 11: the header opens, the schema
# cannot be used.
{ head -c 83 s.Fdb; printf '\x0b'; tail -c +85 s.Fdb; } >bad-index.fdb
refused bad-index.fdb "bad-index.fdb: not a Vostrel database: unusable field schema"
contains err.txt "search index 11" "the schema message says which rule"
# Five fields announced, the descriptors cut off after two.
head -c 130 s.Fdb | gzip -c >cut.fdb
refused cut.fdb "cut.fdb: not a Vostrel database: unusable field schema"
if [ "$(id -u)" != 0 ]; then  # permissions mean nothing to root
  cp t.db locked.db && chmod 000 locked.db
  refused locked.db "cannot open file"
  cp t.zdb locked.zdb && chmod 000 locked.zdb
  refused locked.zdb "cannot open compressed stream"
  grep -q "not a Vostrel database" err.txt && fail "a locked file called no database: $(cat err.txt)"
fi

# Usage.
run 0 info --help
contains out.txt "Usage: vostrel-cli info" "help on stdout"
run 2 info
[ -s out.txt ] && fail "usage error wrote to stdout"
contains err.txt "Usage: vostrel-cli info" "usage on stderr"
run 2 info --xml t.db
contains err.txt "--xml" "unknown option named"
run 2 info t.db t.zdb
run 0 info --json -- t.db
contains out.txt '"variant":"db"' "-- ends the options"

if [ "$failures" != 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "info: all checks passed"
