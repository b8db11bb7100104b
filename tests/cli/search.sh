#!/usr/bin/env bash
# vostrel-cli search, end to end: criteria, formats, escaping, exit codes and refusals.
# Usage: bash search.sh PATH-TO-vostrel-cli SCRATCH-DIR
# shellcheck source=tests/cli/lib.sh
source "$(dirname "$0")/lib.sh" "$@"

T=$'\t'
# Subscribers with Cyrillic names and every character the TSV escapes.
printf 'Phone\tName\tStreet\tHouse\tFlat\n' >table.tsv
printf '1234567\tПЕТРОВ А.В.\tСАДОВАЯ\t12\t5\n' >>table.tsv
printf '2000001\tИВАНОВА М.С.\tLENINA\t1\t\n' >>table.tsv
printf '7654321\tSIDOROV "P" P.\tSADOVAYA, 2\t3A\\\\B\t7\\t8\n' >>table.tsv
printf '10\tЁЛКИН\tЛЕСНАЯ\\nУЛ.\t*\t?\n' >>table.tsv
printf '0\t\t\t\t\n' >>table.tsv

for ext in db zdb fdb; do
  run 0 make --title "Тест" table.tsv "dir.$ext"
  run 0 search "dir.$ext"
  same out.txt "$(cat table.tsv)" "no criteria gives the table back ($ext)"
  [ -s err.txt ] && fail "stderr not empty on a pipe ($ext): $(cat err.txt)"
done

# Prefix, substring and wildcard rules; upper-case input; field names ignore ASCII case.
run 0 search dir.zdb name=петров
same out.txt "Phone${T}Name${T}Street${T}House${T}Flat
1234567${T}ПЕТРОВ А.В.${T}САДОВАЯ${T}12${T}5" "lower-case Cyrillic criterion is upper-cased"
run 0 search dir.zdb NAME=ёл
contains out.txt "ЁЛКИН" "ё is upper-cased to Ё"
run 0 search dir.zdb phone=00
same out.txt "Phone${T}Name${T}Street${T}House${T}Flat
2000001${T}ИВАНОВА М.С.${T}LENINA${T}1${T}" "phone matches anywhere"
run 0 search dir.db street=sad
[ "$(wc -l <out.txt)" = 2 ] || fail "street prefix 'sad' (upper-cased) should give one row"
run 1 search dir.db street=ADOVAYA
same out.txt "Phone${T}Name${T}Street${T}House${T}Flat" "no rows: header only"
run 0 search dir.db 'street=S*2'
contains out.txt "SADOVAYA, 2" "wildcard over the whole value"
run 0 search dir.db 'phone=1*' 'house=1?'
[ "$(wc -l <out.txt)" = 2 ] || fail "two criteria together"
run 0 search dir.db 'HoUsE=*'
[ "$(wc -l <out.txt)" = 6 ] || fail "a lone star matches every value, the empty one too"
run 0 search dir.db 'flat=**'
[ "$(wc -l <out.txt)" = 4 ] || fail "two stars need at least one byte"
run 0 search dir.db name= street=
[ "$(wc -l <out.txt)" = 6 ] || fail "empty criteria restrict nothing"

# A criterion that can never match a number (a character no number has) says so on stderr; the
# rows and the exit code are those of any search that lists nothing. Digits, a pattern's * and ?
# (and a minus sign in a 4-byte number) may match and say nothing.
printf 'Big integer 4 4 1 1 1 50 50 11\n' >signed-schema.txt
printf 'Big\n-5\n2147483647\n' >signed.tsv
run 0 make --schema signed-schema.txt signed.tsv signed.fdb
while IFS='|' read -r file criterion why; do
  run 1 search "$file" "$criterion"
  [ "$(wc -l <out.txt)" = 1 ] || fail "$criterion: rows listed: $(cat out.txt)"
  contains err.txt "holds numbers: '${criterion#*=}' can never match it (a number has only digits$why" "$criterion"
done <<'NEVER'
dir.db|phone=abc|)
dir.db|Phone=12x|)
dir.db|phone=-1|)
dir.db|phone=1*Ж|)
signed.fdb|big=+5| and a leading minus sign)
NEVER
grep -q "field 'Big'" err.txt || fail "the warning names the field as the file does: $(cat err.txt)"
for criterion in phone=99 'phone=9*' 'phone=?9'; do
  run 1 search dir.db "$criterion"
  [ -s err.txt ] && fail "$criterion: a warning for a criterion that could match: $(cat err.txt)"
done
run 0 search signed.fdb big=-5
[ -s err.txt ] && fail "big=-5: a warning for a signed number: $(cat err.txt)"
run 1 search dir.db name=abc
[ -s err.txt ] && fail "a text field never warns: $(cat err.txt)"

# The limit counts characters, not UTF-8 bytes: 36 Cyrillic letters fit the House field.
run 1 search dir.db "house=$(printf 'Ж%.0s' $(seq 36))"

# On a terminal, standard error shows the progress and the final status; the rows stay on
# standard output untouched.
if command -v script >/dev/null; then
  script -qec "'$CLI' search dir.db name=п >tty-rows.txt" /dev/null >tty.txt 2>&1
  contains tty.txt "of 5 scanned" "progress bar on a terminal"
  contains tty.txt "Scaned: 5, results: 1" "final status on a terminal"
  [ "$(cat tty-rows.txt)" = "Phone${T}Name${T}Street${T}House${T}Flat
1234567${T}ПЕТРОВ А.В.${T}САДОВАЯ${T}12${T}5" ] || fail "rows under a terminal: $(cat tty-rows.txt)"
else
  echo "skipped: no 'script' program for the terminal check"
fi

# Formats.
run 0 search --format csv dir.fdb phone=7654321
printf 'Phone,Name,Street,House,Flat\r\n7654321,"SIDOROV ""P"" P.","SADOVAYA, 2",3A\\B,7\t8\r\n' >want.csv
cmp -s out.txt want.csv || fail "csv quoting and CR LF: $(od -c out.txt | head)"
run 0 search --format=csv dir.fdb phone=10
printf 'Phone,Name,Street,House,Flat\r\n10,ЁЛКИН,"ЛЕСНАЯ\nУЛ.",*,?\r\n' >want.csv
cmp -s out.txt want.csv || fail "csv keeps a line feed inside quotes"
run 0 search --format json dir.fdb phone=7654321
same out.txt '{"Phone":"7654321","Name":"SIDOROV \"P\" P.","Street":"SADOVAYA, 2","House":"3A\\B","Flat":"7\t8"}' "json escapes"
run 0 search --format json dir.fdb phone=10
same out.txt '{"Phone":"10","Name":"ЁЛКИН","Street":"ЛЕСНАЯ\nУЛ.","House":"*","Flat":"?"}' "json line feed"

# Refusals: exit 2 with a message, nothing on stdout.
run 2 search dir.db bogus=1
contains err.txt "searchable fields: Phone, Name, Street, House, Flat" "unknown field names the fields"
[ -s out.txt ] && fail "stdout not empty after a refusal"
run 2 search dir.db "house=$(printf 'x%.0s' $(seq 37))"
contains err.txt "36" "too long names the limit"
run 2 search dir.db 'phone=12345678'
contains err.txt "7" "phone limit"
run 2 search dir.db 'name=café'
contains err.txt "Windows-1251" "a character outside Windows-1251"
run 2 search dir.db name
run 2 search dir.db name=A NAME=B
run 2 search --format xml dir.db
run 2 search
run 2 search missing.db
contains err.txt "no such file" "missing file"
mkdir folder.db
run 2 search folder.db
contains err.txt "directory" "directory"
printf '\001\000\000\000\014\007title\000' >bad.db && head -c 29 /dev/zero >>bad.db
run 2 search bad.db
contains err.txt "version" "a bad version byte"
head -c 20 /dev/zero >short.db
run 2 search short.db

# The header's record count limits the scan as in the application; a cut-off file lists the
# records before the cut and says so on stderr.
printf '\000\000\000\000' >limited.db && tail -c +5 dir.db >>limited.db
run 1 search limited.db
same out.txt "Phone${T}Name${T}Street${T}House${T}Flat" "recordCount 0: the first record ends the scan"
contains err.txt "not listed" "the record limit is reported"
size=$(wc -c <dir.db)
head -c $((size - 5)) dir.db >cut.db
run 0 search cut.db
[ "$(wc -l <out.txt)" = 5 ] || fail "cut file: four records before the cut"
contains err.txt "end mark" "the cut is reported"
printf '\377' >empty.db.tail && head -c 29 dir.db >empty.db && printf '\000\000\000\000' | dd of=empty.db conv=notrunc status=none && cat empty.db.tail >>empty.db
run 1 search empty.db
same out.txt "Phone${T}Name${T}Street${T}House${T}Flat" "no records: header only"

# A stored schema: field names and display order from the file, folding, a hidden field.
cat >schema.txt <<'EOF'
# name  type    flags size search display detail edit column max
Code    integer 4     2    2      3       1      60   40     5
Title   text    12    2    1      1       1      100  100    40
Secret  text    0     2    0      0       0      0    0      20
Note    text    8     2    3      2       0      80   80     30
EOF
printf 'Code\tTitle\tSecret\tNote\n7\tМосква Central\thidden\tПервая\n65535\tnorth ПОРТ\tx\t\n' >custom.tsv
run 0 make --schema schema.txt custom.tsv custom.fdb
run 0 search custom.fdb title=порт
same out.txt "Title${T}Note${T}Code
north ПОРТ${T}${T}65535" "folded substring, display order"
run 0 search custom.fdb TITLE=МОСКВА note=пер
contains out.txt "Central" "fold with capitals typed"
run 2 search custom.fdb secret=h
contains err.txt "searchable fields: Title, Code, Note" "hidden field is not searchable"
run 0 search --format json custom.fdb code=55
same out.txt '{"Title":"north ПОРТ","Note":"","Code":"65535"}' "json keyed by display names"

# --queries: many queries in one pass, a first column naming each row's query (its line among
# the data lines); a record that matches two queries comes once for each, in query order.
printf 'name\tPHONE\nп\t\n\t00\n*\t\nxyz\t\n\t1\n' >q.tsv
run 0 search dir.db --queries q.tsv
same out.txt "query${T}Phone${T}Name${T}Street${T}House${T}Flat
1${T}1234567${T}ПЕТРОВ А.В.${T}САДОВАЯ${T}12${T}5
3${T}1234567${T}ПЕТРОВ А.В.${T}САДОВАЯ${T}12${T}5
5${T}1234567${T}ПЕТРОВ А.В.${T}САДОВАЯ${T}12${T}5
2${T}2000001${T}ИВАНОВА М.С.${T}LENINA${T}1${T}
3${T}2000001${T}ИВАНОВА М.С.${T}LENINA${T}1${T}
5${T}2000001${T}ИВАНОВА М.С.${T}LENINA${T}1${T}
3${T}7654321${T}SIDOROV \"P\" P.${T}SADOVAYA, 2${T}3A\\\\B${T}7\\t8
5${T}7654321${T}SIDOROV \"P\" P.${T}SADOVAYA, 2${T}3A\\\\B${T}7\\t8
3${T}10${T}ЁЛКИН${T}ЛЕСНАЯ\\nУЛ.${T}*${T}?
5${T}10${T}ЁЛКИН${T}ЛЕСНАЯ\\nУЛ.${T}*${T}?
3${T}0${T}${T}${T}${T}" "--queries: rows by record, then by query"
[ -s err.txt ] && fail "--queries: stderr not empty: $(cat err.txt)"
# Each query's rows are those of the same search alone, in every variant (CSV keeps line feeds
# in its cells, so its rows are not lines: it is left to the row test above and the formats').
for ext in db zdb fdb; do
  for fmt in tsv json; do
    run 0 search --format $fmt "dir.$ext" --queries q.tsv
    mv out.txt batch.txt
    n=0
    while IFS= read -r line; do
      n=$((n + 1))
      [ $n = 1 ] && continue
      name=${line%%$T*} phone=${line#*$T}
      "$CLI" search --format $fmt "dir.$ext" "name=$name" "phone=$phone" >alone.txt 2>/dev/null
      tail -n +2 alone.txt | sort >alone-rows.txt
      q=$((n - 1))
      if [ $fmt = json ]; then
        grep -F "{\"query\":\"$q\"," batch.txt | sed "s/^{\"query\":\"$q\",/{/" | sort >mine.txt
        cat alone.txt | sort >alone-rows.txt
      else
        tail -n +2 batch.txt | grep "^$q$T" | sed "s/^$q$T//" | sort >mine.txt
      fi
      cmp -s mine.txt alone-rows.txt || fail "--queries $ext $fmt: query $q differs from its search alone"
    done <q.tsv
  done
done
# Cells are what one would type: lower case is upper-cased where the box takes capitals, a
# pattern's * and ?, CR LF line ends and a byte order mark, standard input.
printf '\357\273\277Name\tStreet\r\nив*\t\r\n\tsad\r\n' | "$CLI" search dir.fdb --queries - >out.txt 2>err.txt
same out.txt "query${T}Phone${T}Name${T}Street${T}House${T}Flat
1${T}2000001${T}ИВАНОВА М.С.${T}LENINA${T}1${T}
2${T}7654321${T}SIDOROV \"P\" P.${T}SADOVAYA, 2${T}3A\\\\B${T}7\\t8" "--queries: CR LF, BOM, capitals, stdin"
printf 'title\nпорт\nnorth\n' >cq.tsv
run 0 search --format json custom.fdb --queries=cq.tsv
same out.txt '{"query":"1","Title":"north ПОРТ","Note":"","Code":"65535"}
{"query":"2","Title":"north ПОРТ","Note":"","Code":"65535"}' "--queries on a stored schema, json"
# Exit 1 without rows (also for a header without queries); the can-never-match warning names
# its line.
printf 'phone\nabc\n99\n' >none.tsv
run 1 search dir.db --queries none.tsv
same out.txt "query${T}Phone${T}Name${T}Street${T}House${T}Flat" "--queries without rows: header only"
contains err.txt "none.tsv: line 2 (query 1): field 'Phone' holds numbers: 'abc' can never match it" "--queries warning"
printf 'phone\n' >header-only.tsv
run 1 search dir.db --queries header-only.tsv
# Refusals: exit 2, nothing on stdout, the line named.
while IFS='|' read -r content first; do
  printf "$content" >bad.tsv
  run 2 search dir.db --queries bad.tsv
  contains err.txt "$first" "--queries refusal of '$content'"
  [ -s out.txt ] && fail "--queries refusal of '$content': stdout not empty"
done <<'BAD'
|bad.tsv: the queries have no header line of field names
bogus\n1\n|bad.tsv: line 1: no searchable field 'bogus'; searchable fields: Phone, Name, Street, House, Flat
name\tNAME\n|bad.tsv: line 1: field 'Name' is given more than once
name\t\n|bad.tsv: line 1: column 2 names no field
name\tphone\nA\t1\nB\t2\tC\n|bad.tsv: line 3 (query 2): 3 cells for the header's 2 fields
name\tphone\nA\t1\n\n|bad.tsv: line 3 (query 2): 1 cell for the header's 2 fields
house\nxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\n|line 2 (query 1): the text for field 'House' is longer than its limit of 36 characters
name\ncafé\n|line 2 (query 1): the text for field 'Name' holds a character that Windows-1251 cannot hold
name\nA\000B\n|line 2 (query 1): the line holds a NUL byte
BAD
run 2 search dir.db --queries missing.tsv
contains err.txt "missing.tsv: cannot open the queries: no such file" "--queries: a missing file"
run 2 search dir.db --queries q.tsv name=A
contains err.txt "no FIELD=TEXT" "--queries with criteria"
run 2 search --queries q.tsv --queries q.tsv dir.db
contains err.txt "--queries is given more than once" "--queries twice"
run 2 search missing.db --queries q.tsv
contains err.txt "no such file" "--queries: a missing database"
# The header's record count ends each query where its search alone ends.
run 1 search limited.db --queries q.tsv
contains err.txt "not listed" "--queries: the record limit is reported"
run 0 search cut.db --queries q.tsv
contains err.txt "end mark" "--queries: the cut is reported"

# A field name and values with control characters: on a terminal they show as "?", to a file or
# a pipe they stay exact.
printf 'N\033]0;x\007 text 0 0 1 1 1 70 50 30\n' >ctl-schema.txt
printf 'N\033]0;x\007\nA\033[2JB\\tC\177\n' >ctl.tsv
run 0 make --schema ctl-schema.txt ctl.tsv ctl.fdb
CONTROLS=$(printf '[\001-\010\013\014\016-\037\177]')
for fmt in tsv csv json; do
  run 0 search --format $fmt ctl.fdb
  exact=$(printf 'A\033[2JB')
  [ $fmt = json ] && exact='A\u001b[2JB'
  grep -qF "$exact" out.txt || fail "$fmt to a file: the value is not exact: $(od -c out.txt | head -5)"
  if command -v script >/dev/null; then
    script -qec "'$CLI' search --format $fmt ctl.fdb 2>/dev/null" /dev/null >tty.txt </dev/null
    LC_ALL=C grep -q "$CONTROLS" tty.txt && fail "$fmt on a terminal: control characters: $(od -c tty.txt | head -5)"
    contains tty.txt 'A?[2JB' "$fmt on a terminal shows ESC as ?"
  fi
done
contains tty.txt '"N?]0;x?":' "JSON on a terminal: the field name"

# Options of every command go through one parser: each case is the exit code, the start of the
# first line on stderr (or stdout for help), and the arguments.
while IFS='|' read -r code first args; do
  # shellcheck disable=SC2086
  "$CLI" $args >out.txt 2>err.txt
  got=$?
  [ "$got" = "$code" ] || fail "exit $got instead of $code: $args"
  where=err.txt
  [ "$code" = 0 ] && where=out.txt
  head -n 1 "$where" | grep -qF -- "$first" || fail "'$args' starts '$(head -n 1 "$where")', not '$first'"
done <<'CASES'
2|vostrel-cli: --format needs tsv, csv or json|search --format
2|vostrel-cli: unknown format 'xml'|search --format xml dir.db
2|vostrel-cli: unknown format 'xml'|search --format xml --help
2|vostrel-cli: unknown option '--bogus'|search --bogus dir.db
2|vostrel-cli: --queries needs a file of queries|search dir.db --queries
0|Phone|search -- dir.db
0|Phone,Name|search --format=csv dir.db
0|Usage: vostrel-cli search|search --help
0|Usage: vostrel-cli make|make --help
2|vostrel-cli: --title needs a value|make --title
2|vostrel-cli: --schema needs a value|make --schema
2|vostrel-cli: unknown option '--bogus'|make --bogus table.tsv x.db
2|vostrel-cli info: unknown option '--bogus'|info --json --bogus dir.db
CASES
"$CLI" --help | grep -qF -- "--queries QUERIES" || fail "the top-level help names --queries"

[ "$failures" = 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "search: all passed"
