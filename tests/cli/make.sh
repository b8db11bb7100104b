#!/usr/bin/env bash
# vostrel-cli make, end to end: variants and versions, schema files, and refusals that name the
# line and leave no file behind (and an existing file unchanged).
# Usage: bash make.sh PATH-TO-vostrel-cli SCRATCH-DIR
# shellcheck source=tests/cli/lib.sh
source "$(dirname "$0")/lib.sh" "$@"
# The byte at an offset of the (decompressed) file.
byte_at() { gzip -dcf "$1" | od -An -tu1 -j "$2" -N1 | tr -d ' '; }
temporaries() { ls -A | grep -E '~$|^\.vostrel-.*\.tmp$|^~[0-9a-f]+$'; }
leftovers() { temporaries >/dev/null && fail "temporary files left: $(temporaries)"; }
mode_of() { stat -c %a "$1"; }

header=$'Phone\tName\tStreet\tHouse\tFlat'
printf '%s\n1234567\tPETROV\tSADOVAYA\t12\t5\n' "$header" >one.tsv

# Variants by extension, versions by schema; the header's count and title.
run 0 make --title "Справочник" one.tsv a.db
[ "$(byte_at a.db 4)" = 11 ] || fail ".db version"
[ "$(byte_at a.db 0)" = 1 ] || fail ".db record count"
[ "$(head -c 2 a.db | od -An -tx1 | tr -d ' ')" != 1f8b ] || fail ".db must not be compressed"
run 0 make one.tsv a.zdb
[ "$(head -c 2 a.zdb | od -An -tx1 | tr -d ' ')" = 1f8b ] || fail ".zdb is gzip"
run 0 make one.tsv a.fdb
[ "$(byte_at a.fdb 4)" = 11 ] || fail "built-in .fdb is version 11"
[ "$(byte_at a.fdb 5)" = 5 ] || fail "built-in .fdb has 5 fields"
run 0 make --schema builtin one.tsv b.FDB
[ "$(byte_at b.FDB 4)" = 11 ] || fail "upper-case .FDB is the schema variant"
cat >schema.txt <<'EOF'
# one text field
Word text 8 2 1 1 1 100 100 10
EOF
printf 'word\nalpha\n\nomega\n' >words.tsv
run 0 make --schema schema.txt --title "W" words.tsv w.fdb
[ "$(byte_at w.fdb 4)" = 12 ] || fail "a schema file makes version 12"
[ "$(byte_at w.fdb 8)" = 3 ] || fail "three records (an empty line is an empty value)"
run 0 search w.fdb
[ "$(cat out.txt)" = "$(printf 'Word\nalpha\n\nomega')" ] || fail "one-field round trip"
leftovers

# Standard input, CR LF line ends and a byte order mark.
printf '\xef\xbb\xbf%s\r\n7654321\tIVANOV\tLENINA\t1\t\r\n' "$header" | "$CLI" make - c.zdb 2>err.txt ||
  fail "stdin with CR LF and BOM: $(cat err.txt)"
run 0 search c.zdb
[ "$(sed -n 2p out.txt)" = $'7654321\tIVANOV\tLENINA\t1\t' ] || fail "CR LF stripped: $(od -c out.txt | tail -3)"

# Refusals: exit 2, the line named, no output file, an existing one unchanged.
refuse() {  # refuse WHAT EXPECTED-MESSAGE TABLE-TEXT [make options...]
  local what=$1 message=$2 text=$3
  shift 3
  printf '%b' "$text" >bad.tsv
  rm -f out.db
  run 2 make "$@" bad.tsv out.db
  contains err.txt "$message" "$what"
  [ -e out.db ] && fail "$what: a file was written"
  cp a.db keep.db
  run 2 make "$@" bad.tsv keep.db
  cmp -s a.db keep.db || fail "$what: an existing file was changed"
  leftovers
}
row='1\tA\tB\tC\tD\n'
refuse "text too long" "bad.tsv:3:" "$header\n$row""2\tA\tB\t$(printf 'x%.0s' $(seq 37))\tD\n"
refuse "phone out of range" "bad.tsv:2:" "$header\n16777216\tA\tB\tC\tD\n"
refuse "phone not a number, shown as typed" "bad.tsv:2: field 1 'Phone': '12a4567' is not a number: write it in digits" "$header\n12a4567\tA\tB\tC\tD\n"
refuse "negative phone" "bad.tsv:2:" "$header\n-1\tA\tB\tC\tD\n"
refuse "house longer than a search takes" "bad.tsv:2: field 4 'House': '$(printf 'H%.0s' $(seq 37))' is longer than the 36 characters a search" "$header\n1\tA\tB\t$(printf 'H%.0s' $(seq 37))\tD\n"
refuse "phone with a leading zero" "bad.tsv:2: field 1 'Phone': '0123456'" "$header\n0123456\tA\tB\tC\tD\n"
refuse "character outside Windows-1251" "bad.tsv:4:" "$header\n$row$row""1\tcafé\tB\tC\tD\n"
refuse "record over 254 bytes" "bad.tsv:2:" "$header\n1\t$(printf 'N%.0s' $(seq 196))\t$(printf 'S%.0s' $(seq 60))\tC\tD\n"
refuse "too few cells" "bad.tsv:2:" "$header\n1\tA\tB\n"
refuse "too many cells" "bad.tsv:2:" "$header\n1\tA\tB\tC\tD\tE\n"
refuse "NUL byte in a cell" "bad.tsv:3: the line holds a NUL byte" "$header\n$row""1\tA\0B\tC\tD\n"
refuse "unknown escape" "bad.tsv:2:" "$header\n1\tA\\\\x\tB\tC\tD\n"
refuse "backslash at the end" "bad.tsv:2:" "$header\n1\tA\tB\tC\tD\\\\\n"
refuse "wrong header" "bad.tsv:1:" "Phone\tName\tStreet\tFlat\tHouse\n$row"
refuse "comma-separated" "bad.tsv:1: the header line holds no tab: the table must be tab-separated" "Phone,Name,Street,House,Flat\n1,A,B,C,D\n"
refuse "empty table" "no header line" ""
refuse "title too long" "title" "$header\n$row" --title "$(printf 'T%.0s' $(seq 23))"
refuse "schema for a .db" ".fdb" "$header\n$row" --schema schema.txt
run 0 make --title "$(printf 'T%.0s' $(seq 22))" one.tsv t22.db
run 0 make --title "HEADER" one.tsv "$(printf 'T%.0s' $(seq 4))"
run 2 make one.tsv
contains err.txt "make: OUTPUT is missing" "make without OUTPUT says so"
run 2 make --bogus one.tsv x.db
run 2 make missing.tsv x.db
contains err.txt "missing.tsv: cannot open the table: no such file" "a missing table says why"
[ -e x.db ] && fail "no file for a missing table"

# Endless binary input ends the run at once, as the table or as the schema.
if command -v timeout >/dev/null; then LIMIT=(timeout 20); else LIMIT=(); fi
for args in "/dev/zero zero.db" "--schema /dev/zero one.tsv zero.fdb"; do
  # shellcheck disable=SC2086
  ${LIMIT[@]+"${LIMIT[@]}"} "$CLI" make $args >out.txt 2>err.txt
  code=$?
  [ "$code" = 2 ] || fail "make $args: exit $code instead of 2"
  contains err.txt ":1: the line holds a NUL byte" "make $args"
done
leftovers

# A run ended by a signal leaves no temporary file behind.
for sig in TERM HUP; do
  { printf '%s\n1\tA\tB\tC\tD\n' "$header"; exec sleep 3; } | "$CLI" make - sig.db 2>/dev/null &
  pid=$!
  for _ in $(seq 50); do temporaries >/dev/null && break; sleep 0.05; done
  temporaries >/dev/null || fail "SIG$sig: no temporary file while make was running"
  kill -s "$sig" "$pid"
  wait "$pid"
  leftovers
  [ -e sig.db ] && fail "SIG$sig: an interrupted run wrote its output"
done

# A number is bounded by its bytes, not by maxLength: the built-in Phone's 3 bytes hold 8 digits
# against a maxLength of 7, and a field without "match anywhere" holds 5 digits against 3. Each
# such record is written and found by a prefix, a substring (the phone matches anywhere) and a
# pattern; a criterion that does not fit finds nothing.
printf '%s\n16777215\tBIG\tB\tC\tD\n1234567\tSMALL\tB\tC\tD\n' "$header" >wide.tsv
run 0 make wide.tsv wide.zdb
printf 'Code integer 0 2 1 1 1 50 50 3\nNote text 0 0 2 2 2 70 50 10\n' >code-schema.txt
printf 'Code\tNote\n65535\tBIG\n1234\tSMALL\n' >code.tsv
run 0 make --schema code-schema.txt code.tsv code.fdb
while read -r file criterion expected; do
  run 0 search "$file" "$criterion"
  [ "$(wc -l <out.txt)" = 2 ] && contains out.txt "$expected" "$file $criterion finds $expected"
  [ "$(wc -l <out.txt)" = 2 ] || fail "$file $criterion: $(cat out.txt err.txt)"
done <<'EOF_FOUND'
wide.zdb phone=1677 16777215
wide.zdb phone=7772 16777215
wide.zdb phone=1*15 16777215
wide.zdb phone=?677* 16777215
code.fdb code=655 65535
code.fdb code=6*5 65535
code.fdb code=?5* 65535
EOF_FOUND
run 1 search code.fdb code=553

# Values stay findable: a field that takes capitals is stored in capitals (unless it folds
# case), and searching what the application's box would make of the typed text finds it.
printf 'Up text 2 0 1 1 1 70 50 20\nFold text 10 0 2 2 2 70 50 20\nShown text 2 0 0 3 3 70 50 20\n' >case-schema.txt
printf 'Up\tFold\tShown\nsmith j. ёлка\tsmith\tsmith\n' >lower.tsv
run 0 make --schema case-schema.txt lower.tsv lower.fdb
run 0 search lower.fdb "up=smith j. ёлка"
[ "$(sed -n 2p out.txt)" = $'SMITH J. ЁЛКА\tsmith\tsmith' ] || fail "capitals stored: $(sed -n 2p out.txt)"
run 0 search lower.fdb fold=SMITH

# Names that are not UTF-8 (here Windows-1251 bytes) name exactly their files, as table, schema
# and output; no other name is made.
cp1251=$(printf '\xcf\xf0\xee\xe1\xe0')
cp one.tsv "$cp1251.tsv" && cp schema.txt "$cp1251.schema"
run 0 make "$cp1251.tsv" "$cp1251.zdb"
run 0 make --schema "$cp1251.schema" words.tsv "$cp1251.fdb"
for f in "$cp1251.zdb" "$cp1251.fdb"; do
  [ -f "$f" ] || fail "make wrote another name than $f"
  run 0 info "$f"
  run 0 search "$f"
done
LC_ALL=C ls | LC_ALL=C grep -q "$(printf '\xef\xbf\xbd')" && fail "a name with U+FFFD was made: $(ls)"
run 2 info "$(printf '\xcf\xf0.zdb')"
contains err.txt "no such file" "a name that is not UTF-8 and names no file"

# Header names ignore ASCII case.
printf 'PHONE\tname\tStreet\thouse\tFLAT\n1\tA\tB\tC\tD\n' >case.tsv
run 0 make case.tsv case.db

# Schema file refusals name the schema line; nothing is written.
schema_refuse() {  # WHAT EXPECTED-MESSAGE SCHEMA-TEXT
  printf '%b' "$3" >bad-schema.txt
  run 2 make --schema bad-schema.txt words.tsv s.fdb
  contains err.txt "$2" "$1"
  [ -e s.fdb ] && fail "$1: a file was written"
  rm -f s.fdb
}
# Schema numbers are decimal even with a leading 0, or hexadecimal after 0x.
printf 'Word text 0x0A 0 01 01 010 0100 00100 010\n' >decimal-schema.txt
run 0 make --schema decimal-schema.txt words.tsv decimal.fdb
run 0 info --json decimal.fdb
contains out.txt '"flags":10,"size":0,"searchIndex":1,"displayIndex":1,"detailIndex":10,"editWidth":100,"columnWidth":100,"maxLength":10' "leading zeros read as decimal"
schema_refuse "search index gap" "gap" "A text 0 0 1 1 0 0 0 5\nB text 0 0 3 2 0 0 0 5\n"
schema_refuse "repeated display index" "already used" "A text 0 0 1 1 0 0 0 5\nB text 0 0 2 1 0 0 0 5\n"
schema_refuse "search index over 10" "bad-schema.txt:1:" "A text 0 0 11 1 0 0 0 5\n"
schema_refuse "unknown type word" "bad-schema.txt:2:" "# c\nA texts 0 0 1 1 0 0 0 5\n"
schema_refuse "missing column" "bad-schema.txt:1:" "A text 0 0 1 1 0 0 0\n"
schema_refuse "duplicate name" "used twice" "Word text 0 0 1 1 0 0 0 5\nWORD text 0 0 2 2 0 0 0 5\n"
schema_refuse "name too long" "bad-schema.txt:1:" "ABCDEFGHIJKLMNOP text 0 0 1 1 0 0 0 5\n"
schema_refuse "integer size 5" "size" "N integer 0 5 1 1 0 0 0 5\n"
schema_refuse "no fields" "no field" "# nothing\n\n"
schema_refuse "sign after 0x" "bad-schema.txt:1: flags" "A text 0x-2 0 1 1 0 0 0 5\n"
schema_refuse "header does not match the schema" "words.tsv:1:" "Other text 0 0 1 1 0 0 0 5\n"

# Field names match regardless of the case of Cyrillic letters too (Ё included): in a search's
# FIELD=, in the header line and in the schema's rule of unique names.
printf 'Имя text 0 0 1 1 1 70 50 20\nЁлка text 0 0 2 2 2 70 50 20\n' >cyr-schema.txt
printf 'ИМЯ\tёЛКА\nПетров\tель\n' >cyr.tsv
run 0 make --schema cyr-schema.txt cyr.tsv cyr.fdb
run 0 search cyr.fdb имя=Пет ЁЛКА=ель
[ "$(sed -n 2p out.txt)" = $'Петров\tель' ] || fail "Cyrillic field names: $(cat out.txt err.txt)"
schema_refuse "Cyrillic name twice" "used twice" "Имя text 0 0 1 1 0 0 0 5\nиМЯ text 0 0 2 2 0 0 0 5\n"

# A field of another type stores nothing; its cell must stay empty.
printf 'Gap 7 0 0 0 0 0 0 0 0\nWord text 0 0 1 1 0 0 0 5\n' >typed-schema.txt
printf 'Gap\tWord\n\tabc\n' >typed.tsv
run 0 make --schema typed-schema.txt typed.tsv typed.fdb
run 0 search typed.fdb word=abc
printf 'Gap\tWord\nx\tabc\n' >typed-bad.tsv
run 2 make --schema typed-schema.txt typed-bad.tsv typed2.fdb
contains err.txt "typed-bad.tsv:2:" "a value for a field that stores nothing"

# The temporary files are new files of their own: a link or a file under a name they might have
# taken is neither followed nor removed.
echo "not a database" >victim.txt
for out in planted.db planted.zdb; do
  ln -s victim.txt "$out.tmp~"
  echo "someone's file" >"$out.gz~"
  run 0 make one.tsv "$out"
  [ "$(cat victim.txt)" = "not a database" ] || fail "$out: the write went through a planted link"
  [ -L "$out.tmp~" ] && [ "$(cat "$out.gz~")" = "someone's file" ] || fail "$out: a planted file was touched"
  run 0 search "$out"
  rm -f "$out.tmp~" "$out.gz~"
done
# Two runs for the same output at once: the file is whole, as one of them wrote it.
for t in A B; do
  { echo "$header"; for i in $(seq 1 3000); do printf '%d\t%s%d\tS\t1\t2\n' $((i + 1000)) $t $i; done; } >race$t.tsv
  run 0 make race$t.tsv race$t.zdb
  run 0 search race$t.zdb
  mv out.txt race$t.out
done
"$CLI" make raceA.tsv race.zdb 2>/dev/null &
"$CLI" make raceB.tsv race.zdb 2>/dev/null &
wait
run 0 search race.zdb
cmp -s out.txt raceA.out || cmp -s out.txt raceB.out || fail "two runs at once mixed their files"
leftovers

# Only nothing or a regular file is replaced; a replaced file keeps its permission bits, a new
# one gets what the umask allows. A name of 255 bytes (the most a name may have) works.
mkfifo fifo.db && mkdir dir.db && ln -s a.db link.db
for out in fifo.db dir.db link.db; do
  run 2 make one.tsv $out
  contains err.txt "$out: is " "$out refused"
done
[ -p fifo.db ] && [ -d dir.db ] && [ -L link.db ] || fail "a refused output was replaced"
contains err.txt "symbolic link" "a link is named as such"
if [ -w /dev/null ] && [ ! -w / ]; then run 2 make one.tsv /dev/null; contains err.txt "not a regular file" "/dev/null"; fi
cp a.db kept.db && chmod 640 kept.db
run 0 make one.tsv kept.db
[ "$(mode_of kept.db)" = 640 ] || fail "the replaced file's mode became $(mode_of kept.db)"
(umask 027 && "$CLI" make one.tsv new.zdb) || fail "make under umask 027"
[ "$(mode_of new.zdb)" = 640 ] || fail "a new file under umask 027 has mode $(mode_of new.zdb)"
long=$(printf 'N%.0s' $(seq 251)).zdb
run 0 make one.tsv "$long"
run 0 search "$long"
leftovers

# Windows drops the dots and spaces that end a name, and would write "out.db" for "out.db.":
# such a name is refused everywhere, with nothing written and an existing "out.db" unchanged.
# Folders elsewhere keep their names as given.
cp a.db out.db
for name in 'out.db.' 'out.db ' 'out.zdb..' 'out.db. .' '...'; do
  run 2 make one.tsv "$name"
  contains err.txt "$name: the name ends in a dot or a space, which Windows drops" "'$name' refused"
  [ -e "$name" ] && [ "$name" != ... ] && fail "'$name' was written"
  cmp -s a.db out.db || fail "'$name': out.db was changed"
done
[ -e ... ] && fail "'...' was written"
mkdir -p 'sub. '
run 0 make one.tsv 'sub. /x.db'
[ -f 'sub. /x.db' ] || fail "a folder ending in a space was not used as named"
leftovers

# A name that Find DB does not look for is written as the plain variant, with a warning; a name
# it looks for gets none.
for name in town.txt TTTT .db x.db.bak; do
  run 0 make one.tsv "$name"
  contains err.txt "$name: written as a plain database (.db); Find DB looks only for names ending in .db, .zdb or .fdb and will not find it" "warning for $name"
  [ "$(byte_at "$name" 4)" = 11 ] && [ "$(head -c 2 "$name" | od -An -tx1 | tr -d ' ')" != 1f8b ] || fail "$name is not a plain file"
  [ -s out.txt ] && fail "$name: something on stdout"
done
for name in found.db FOUND.ZDB f.Fdb; do
  run 0 make one.tsv "$name"
  [ -s err.txt ] && fail "$name: a warning for a name Find DB looks for: $(cat err.txt)"
done

[ "$failures" = 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "make: all passed"
