#!/usr/bin/env bash
# Byte lists such as $(hex32 N) and offsets such as $(d FIELD BYTE) are meant to split.
# shellcheck disable=SC2046
# Hostile database files, end to end. Valid files of every variant are made with vostrel-gen
# and "vostrel-cli make", then broken in hundreds of ways: header fields out of range, descriptor
# tables that break the schema rules, record chains with zero, short and overlong lengths,
# files cut at every interesting offset, damaged gzip streams, stored (uncompressed) gzip
# variants and seeded random byte flips. Every file goes through "info", "info --json" and
# "search" without and with criteria. Whatever the file holds, the program must answer with
# exit status 0, 1 or 2 (never a signal), never trip a sanitizer, explain a refusal on stderr,
# and write well-formed output. Where the right answer is known, the script checks that too.
#
# Usage: bash hostile.sh PATH-TO-vostrel-cli SCRATCH-DIR
# A failure prints the file's recipe (how it was made from the base files, which this script
# always makes the same way) and the command that failed; the file stays in SCRATCH-DIR/files.
set -u
CLI=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
GEN=$(cd "$(dirname "$1")/.." && pwd)/bench/vostrel-gen
DIR=$2
rm -rf "$DIR" && mkdir -p "$DIR/bases" "$DIR/files" && cd "$DIR" || exit 2
[ -x "$GEN" ] || { echo "FAIL: vostrel-gen is not built ($GEN)"; exit 1; }

failures=0
runs=0
fail_setup() { echo "FAIL (setup): $*"; failures=$((failures + 1)); }

# A hang is a failure too; where timeout(1) is missing the runs are simply not limited.
if command -v timeout >/dev/null; then LIMIT=(timeout 60); else LIMIT=(); fi

# ---------------------------------------------------------------------------------------------
# Base files. All deterministic: vostrel-gen has its own seeded random numbers, and gzip is
# run with -n so that no time stamp or name enters the stream.

gen() { "$GEN" "$@" >/dev/null 2>gen.err || fail_setup "vostrel-gen $*: $(cat gen.err)"; }
make_db() { "$CLI" make "$@" >/dev/null 2>make.err || fail_setup "vostrel-cli make $*: $(cat make.err)"; }

B=bases
gen --records 40 --seed 7 --title 'База' $B/base.db
gen --records 40 --seed 7 --title 'База' $B/base.zdb
gen --records 40 --seed 7 --title 'База' $B/base.fdb
gen --records 40 --seed 7 --title 'База' --builtin $B/builtin.fdb
gen --records 12 --seed 3 --stored $B/stored.zdb
gen --records 12 --seed 3 --stored $B/stored.fdb

# A stored schema with 4-, 1- and 2-byte integers, text fields with every flag, and fields of
# unknown types (which take no bytes of a record).
cat >$B/mixed.schema <<'EOF'
# name  type     flags size search display detail edit column max
Code    integer  0x04  4    1      1       1      60   50     11
Tiny    integer  0     1    0      2       0      40   30     3
Kind    7        0     0    0      0       0      0    0      0
Name    text     0x0E  2    2      3       2      140  100    40
Note    text     0x04  0    3      4       3      100  80     60
Short   integer  0x02  2    4      5       0      50   40     5
Odd     -3       0     9    0      6       0      0    30     8
Last    text     0x08  0    5      0       4      60   0      1
EOF
{
  printf 'Code\tTiny\tKind\tName\tNote\tShort\tOdd\tLast\n'
  printf -- '-2147483648\t0\t\tИВАНОВ "Ж"\tпервая\\tзапись\t0\t\tЯ\n'
  printf '2147483647\t255\t\tпетров\\\\обратная\tcafe\t65535\t\tz\n'
  printf '0\t1\t\t\t\t1\t\t\n'
  printf '12345\t17\t\tЁЛКИН Ё.Ё.\t%s\t4242\t\t?\n' "$(printf 'Ж%.0s' $(seq 60))"
  for i in $(seq 1 20); do printf '%d\t%d\t\tАБОНЕНТ%d\tзаметка %d\t%d\t\t%d\n' $((i * 7919)) $i $i $i $((i * 31)) $((i % 10)); done
} >$B/mixed.tsv
make_db --title 'Смешанная схема' --schema $B/mixed.schema $B/mixed.tsv $B/mixed.fdb

# The widest schema: 127 fields, 16 displayed, 10 searchable, the rest of an unknown type.
{
  echo "# 16 text fields, then unknown types up to 127 fields"
  for i in $(seq 1 16); do
    s=$i; [ $i -gt 10 ] && s=0
    printf 'F%02d text 0x0C 0 %d %d %d 30 30 10\n' $i $s $i $i
  done
  for i in $(seq 17 127); do printf 'P%03d 9 0 0 0 0 0 0 0 0\n' $i; done
} >$B/wide.schema
{
  for i in $(seq 1 127); do
    if [ $i -le 16 ]; then printf 'F%02d' $i; else printf 'P%03d' $i; fi
    [ $i -lt 127 ] && printf '\t'
  done
  printf '\n'
  for r in $(seq 1 6); do
    for i in $(seq 1 127); do
      [ $i -le 16 ] && printf 'R%dC%d' $r $i
      [ $i -lt 127 ] && printf '\t'
    done
    printf '\n'
  done
} >$B/wide.tsv
make_db --title 'Сто двадцать семь полей' --schema $B/wide.schema $B/wide.tsv $B/wide.fdb

# Built-in fields at their limits: the longest phone a search takes (7 digits), a 196-character
# name, empty texts. (The largest 3-byte phone, 16777215, has 8 digits: make refuses it.)
{
  printf 'Phone\tName\tStreet\tHouse\tFlat\n'
  printf '9999999\t%s\tS\t1\t2\n' "$(printf 'Щ%.0s' $(seq 196))"
  printf '0\t\t\t\t\n'
  printf '1234567\tПЕТРОВ А.В.\tСАДОВАЯ\t12\t5\n'
} >$B/edge.tsv
make_db --title 'Края' $B/edge.tsv $B/edge.db
make_db --title 'Края' $B/edge.tsv $B/edge.zdb

# The decompressed bytes of every compressed base, to break and pack again.
for f in base.zdb base.fdb builtin.fdb mixed.fdb wide.fdb edge.zdb; do
  gzip -dc <$B/$f >$B/$f.raw || fail_setup "cannot unpack $f"
done
cp $B/base.db $B/base.db.raw

size_of() { wc -c <"$1" | tr -d ' '; }
# Offsets of the length bytes of a record chain: the first at the header's end, each next one
# K bytes further (K the byte there), up to the 0xFF end mark.
chain() {
  od -An -tu1 -v "$1" | awk -v start="$2" '
    { for (i = 1; i <= NF; i++) b[n++] = $i }
    END { p = start; while (p < n) { print p; if (b[p] == 255 || b[p] == 0) break; p += b[p] } }'
}
# Offsets of the NUL bytes in [from, to).
nuls_in() {
  od -An -tu1 -v "$1" | awk -v from="$2" -v to="$3" '
    { for (i = 1; i <= NF; i++) { if (n >= from && n < to && $i == 0) print n; n++ } }'
}
# COUNT seeded pseudo-random (offset, byte) pairs with offsets in [lo, hi). A Park-Miller
# generator in awk's arithmetic: exact in doubles, so every awk gives the same sequence.
flips() {
  awk -v s="$1" -v n="$2" -v lo="$3" -v hi="$4" 'BEGIN {
    for (i = 0; i < n; i++) {
      s = (s * 16807) % 2147483647; off = lo + s % (hi - lo)
      s = (s * 16807) % 2147483647; printf "%d %02x\n", off, s % 256
    } }'
}
hex32() {  # little-endian bytes of a 32-bit value
  local v=$(($1 & 0xFFFFFFFF))
  printf '%02x %02x %02x %02x' $((v & 255)) $((v >> 8 & 255)) $((v >> 16 & 255)) $((v >> 24 & 255))
}

# ---------------------------------------------------------------------------------------------
# Shaping a file. begin copies a base into the work file; put, xor, cut and append change it;
# finish packs it (plain, or gzip) under the next number and keeps its recipe. The recipe is
# the list of these steps, so a failing file can be made again by hand.

W=work.bin
count=0
declare -a NAMES=()
declare -A RECIPE_OF=() EXPECT=()
RECIPE=""
LAST=""

begin() { cp "$B/$1" "$W"; RECIPE="from $1"; }
put() {
  local off=$1 fmt=""
  shift
  for h in "$@"; do fmt+="\\x$h"; done
  # shellcheck disable=SC2059
  printf "$fmt" | dd of="$W" bs=1 seek="$off" conv=notrunc 2>/dev/null
  RECIPE+="; at $off put $*"
}
xor() {  # xor OFFSET MASK: flips bits of one byte
  local old
  old=$(od -An -tu1 -j "$1" -N1 "$W" | tr -d ' ')
  [ -n "$old" ] || old=0
  local fmt
  fmt=$(printf '\\x%02x' $((old ^ $2)))
  # shellcheck disable=SC2059
  printf "$fmt" | dd of="$W" bs=1 seek="$1" conv=notrunc 2>/dev/null
  RECIPE+="; at $1 xor $2"
}
cut_to() { head -c "$1" "$W" >"$W.t" && mv "$W.t" "$W"; RECIPE+="; keep the first $1 bytes"; }
append() {
  local fmt=""
  for h in "$@"; do fmt+="\\x$h"; done
  # shellcheck disable=SC2059
  printf "$fmt" >>"$W"
  RECIPE+="; append $*"
}
finish() {  # finish NAME plain|gz
  count=$((count + 1))
  local name
  name=$(printf '%03d' $count)-$1
  if [ "$2" = gz ]; then
    gzip -c -n <"$W" >"files/$name"
    RECIPE+="; gzip -n"
  else
    cp "$W" "files/$name"
  fi
  NAMES+=("$name")
  RECIPE_OF[$name]=$RECIPE
  LAST=$name
}
# expect info CODE [WORDS]: what info --json must answer for the file just finished.
# expect search CODE [WORDS]: the same for a search without criteria.
# expect rows N: the rows that search without criteria lists.
# expect same FILE: search without criteria lists exactly what it lists for base FILE.
expect() { EXPECT["$LAST:$1"]="$2|${3-}"; }

# ---------------------------------------------------------------------------------------------
# 1. Files cut short at every interesting offset.

S=$(size_of $B/base.db)
mapfile -t CHAIN_DB < <(chain $B/base.db 29)
for n in 0 1 3 4 5 6 27 28; do
  begin base.db; cut_to $n; finish cut$n.db plain; expect info 2 "file too short"
done
begin base.db; cut_to 29; finish cut29.db plain; expect info 0; expect search 1
begin base.db; cut_to 30; finish cut30.db plain; expect info 0; expect search 1
for n in 31 32 33 34 40 ${CHAIN_DB[1]} $((CHAIN_DB[1] + 1)) ${CHAIN_DB[20]} $((S / 2)) $((S - 2)); do
  begin base.db; cut_to $n; finish cut$n.db plain; expect info 0
done
# The end mark is the last record's own last byte: without it, that record is cut off too.
begin base.db; cut_to $((S - 1)); finish cut-endmark.db plain
expect search 0 "without their end mark after record 39"; expect rows 39
begin base.db; cut_to $((CHAIN_DB[5] + 1)); finish cut-after5.db plain
expect search 0 "after record 5"; expect rows 5

S=$(size_of $B/base.fdb.raw)
for n in 0 4 5 12 13 63; do
  begin base.fdb.raw; cut_to $n; finish cut$n.fdb gz; expect info 2 "file too short"
done
for n in 64 65 91 92 120 203; do
  begin base.fdb.raw; cut_to $n; finish cut$n.fdb gz; expect info 2 "unusable field schema"
done
begin base.fdb.raw; cut_to 204; finish cut204.fdb gz; expect info 0; expect search 1
for n in 205 206 $((S / 2)); do begin base.fdb.raw; cut_to $n; finish cut$n.fdb gz; expect info 0; done
begin base.fdb.raw; cut_to $((S - 1)); finish cut-endmark.fdb gz
expect search 0 "without their end mark after record 39"; expect rows 39
begin base.fdb.raw; cut_to 100; finish cut100-stored.fdb plain; expect info 2 "unusable field schema"

S=$(size_of $B/base.zdb.raw)
for n in 0 10 28; do begin base.zdb.raw; cut_to $n; finish cut$n.zdb gz; expect info 2 "too short"; done
for n in 29 31 $((S / 3)) $((S - 1)); do begin base.zdb.raw; cut_to $n; finish cut$n.zdb gz; expect info 0; done

# The compressed files themselves cut: inside the gzip header, the deflate data, the trailer.
for f in base.zdb base.fdb mixed.fdb; do
  S=$(size_of $B/$f)
  for n in 0 1 2 3 9 10 11 20 $((S / 2)) $((S - 8)) $((S - 7)) $((S - 4)) $((S - 1)); do
    begin $f; cut_to $n; finish gzcut$n-$f plain
  done
done

# ---------------------------------------------------------------------------------------------
# 2. Short headers (".db", ".zdb"): versions, record counts, number widths, titles.

for pack in db zdb; do
  src=base.db; gz=plain
  [ $pack = zdb ] && src=base.zdb.raw && gz=gz
  for v in 00 0a 0c 7f 80 ff; do
    begin $src; put 4 $v; finish version$v.$pack $gz; expect info 2 "unsupported version"
  done
  begin $src; put 0 $(hex32 0); finish count0.$pack $gz
  expect search 1 "more records follow than the header's 0"
  begin $src; put 0 $(hex32 -1); finish count-1.$pack $gz
  expect search 1 "more records follow than the header's -1"
  begin $src; put 0 $(hex32 0x80000000); finish count-min.$pack $gz
  expect search 1 "more records follow"
  # Fewer records announced than follow: the limit is looked at only at a status update, and
  # with every record listed the next update after the first comes at record 51.
  for c in 1 39; do
    begin $src; put 0 $(hex32 $c); finish count$c.$pack $gz; expect search 0; expect rows 40
  done
  begin $src; put 0 $(hex32 0x7FFFFFFF); finish count-max.$pack $gz; expect rows 40
  for w in 00 ff 80; do begin $src; put 5 $w; finish width$w.$pack $gz; expect info 0; done
  begin $src; put 6 ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff
  finish title-nonul.$pack $gz; expect info 0
  begin $src; put 6 01 1b 5b 33 31 6d 0a 0d 09 22 5c 98 7f 08 0c 00
  finish title-controls.$pack $gz; expect info 0
done

# ---------------------------------------------------------------------------------------------
# 3. Schema headers (".fdb"): versions, field counts, record counts, titles.

for v in 00 0a 80 ff; do
  begin base.fdb.raw; put 4 $v; finish version$v.fdb gz; expect info 2 "unsupported version"
done
for v in 0b 0d 7f; do begin base.fdb.raw; put 4 $v; finish version$v.fdb gz; expect info 0; done
begin builtin.fdb.raw; put 4 0c; finish builtin-as-v12.fdb gz; expect info 0; expect same base.db
begin builtin.fdb.raw; put 4 0a; finish builtin-v10.fdb gz; expect info 2 "unsupported version 10"
begin base.fdb.raw; put 4 0b; finish stored-names-v11.fdb plain; expect same base.db

begin base.fdb.raw; put 5 00; finish fields0.fdb gz; expect info 0
for c in 01 04; do begin base.fdb.raw; put 5 $c; finish fields$c.fdb gz; expect info 0; done
for c in 06 0a 7e 7f; do begin base.fdb.raw; put 5 $c; finish fields$c.fdb gz; done
for c in 80 fe ff; do
  begin base.fdb.raw; put 5 $c; finish fields$c.fdb gz; expect info 2 "negative field count"
done
for c in 00 04 06 ff; do
  begin builtin.fdb.raw; put 5 $c; finish builtin-fields$c.fdb gz; expect info 2 "field"
done
begin wide.fdb.raw; put 5 7e; finish wide-fields126.fdb gz
begin wide.fdb.raw; put 5 10; finish wide-fields16.fdb gz; expect info 0

begin base.fdb.raw; put 8 $(hex32 0); finish count0.fdb gz; expect search 1 "more records follow"
begin base.fdb.raw; put 8 $(hex32 -1); finish count-1.fdb gz; expect search 1 "more records follow"
begin base.fdb.raw; put 8 $(hex32 0x7FFFFFFF); finish count-max.fdb gz; expect rows 40
begin base.fdb.raw; put 13 $(for i in $(seq 51); do printf 'c6 '; done); finish title-nonul.fdb gz
expect info 0
begin base.fdb.raw; put 0 00 00 00 00 00 00 00 00 ff ff ff ff ff; put 5 05; put 4 0c
finish signature-reserved.fdb gz; expect info 0

# ---------------------------------------------------------------------------------------------
# 4. Descriptor tables that break the schema rules (base.fdb: five fields, search and display
#    1 to 5; field 1 a 3-byte integer, fields 2 to 5 texts).

d() { echo $((64 + 28 * $1 + $2)); }  # offset of byte $2 of descriptor $1 (from 0)
SEARCH=19; DISPLAY=20; DETAIL=21; TYPE=16; FLAGS=17; SIZE=18; EDIT=22; COLUMN=24; MAXLEN=26

for v in ff 80 0b 7f; do
  begin base.fdb.raw; put $(d 0 $SEARCH) $v; finish search0=$v.fdb gz; expect info 2 "search index"
done
for v in 00 06 0a; do
  begin base.fdb.raw; put $(d 0 $SEARCH) $v; finish search0=$v.fdb gz; expect info 2 "gap"
done
begin base.fdb.raw; put $(d 0 $SEARCH) 02; finish search-repeated.fdb gz; expect info 2 "already used"
begin base.fdb.raw; put $(d 4 $SEARCH) 00; finish search4=00.fdb gz; expect info 0
begin base.fdb.raw; put $(d 4 $SEARCH) 0a; finish search4=0a.fdb gz; expect info 2 "gap"
begin base.fdb.raw; put $(d 4 $SEARCH) ff; finish search4=ff.fdb gz; expect info 2 "outside"
begin base.fdb.raw; put $(d 4 $SEARCH) 01; finish search4=01.fdb gz; expect info 2 "already used"
for v in ff 80 11 7f; do
  begin base.fdb.raw; put $(d 0 $DISPLAY) $v; finish display0=$v.fdb gz; expect info 2 "display index"
done
for v in 00 10; do
  begin base.fdb.raw; put $(d 0 $DISPLAY) $v; finish display0=$v.fdb gz; expect info 2 "gap"
done
begin base.fdb.raw; put $(d 2 $DISPLAY) 02; finish display-repeated.fdb gz; expect info 2 "already used"
begin base.fdb.raw; put $(d 4 $DISPLAY) 00; finish display4=00.fdb gz; expect info 0
begin base.fdb.raw; put $(d 4 $DISPLAY) 11; finish display4=11.fdb gz; expect info 2 "outside"
begin base.fdb.raw
for j in 0 1 2 3 4; do put $(d $j $SEARCH) 00; put $(d $j $DISPLAY) 00; done
finish nothing-searched-or-shown.fdb gz; expect info 0
for v in ff 80 64 00; do
  begin base.fdb.raw; put $(d 1 $DETAIL) $v; finish detail1=$v.fdb gz; expect info 0
done
for v in 00 03 ff 01; do
  begin base.fdb.raw; put $(d 0 $TYPE) $v; finish type0=$v.fdb gz; expect info 0
done
for v in 02 00 80; do
  begin base.fdb.raw; put $(d 1 $TYPE) $v; finish type1=$v.fdb gz; expect info 0
done
for v in 00 05 ff 80; do
  begin base.fdb.raw; put $(d 0 $SIZE) $v; finish size0=$v.fdb gz; expect info 2 "integer size"
done
for v in 01 02 04; do begin base.fdb.raw; put $(d 0 $SIZE) $v; finish size0=$v.fdb gz; expect info 0; done
for v in 00 ff; do begin base.fdb.raw; put $(d 1 $SIZE) $v; finish size1=$v.fdb gz; expect info 0; done
for v in ff 08 04 00 80; do
  begin base.fdb.raw; put $(d 1 $FLAGS) $v; finish flags1=$v.fdb gz; expect info 0
done
begin base.fdb.raw; put $(d 0 $FLAGS) 0c; finish flags0-fold.fdb gz; expect info 0
for f in 0 1 4; do
  begin base.fdb.raw; put $(d $f $MAXLEN) 00 00; finish maxlen$f=0.fdb gz; expect info 2 "maximum length 0"
  begin base.fdb.raw; put $(d $f $MAXLEN) 01 00; finish maxlen$f=1.fdb gz; expect info 0
  begin base.fdb.raw; put $(d $f $MAXLEN) ff ff; finish maxlen$f=65535.fdb gz; expect info 0
done
begin base.fdb.raw; put $(d 1 $MAXLEN) ff 00; finish maxlen1=255.fdb gz; expect info 0
begin base.fdb.raw; put $(d 1 $MAXLEN) 00 01; finish maxlen1=256.fdb gz; expect info 0
begin base.fdb.raw; put $(d 1 $MAXLEN) 02 00; finish maxlen1=2.fdb gz; expect info 0
for w in "00 00" "ff ff"; do
  begin base.fdb.raw; put $(d 1 $EDIT) $w; put $(d 1 $COLUMN) $w; finish widths-${w// /}.fdb gz
  expect info 0
done
begin base.fdb.raw; put $(d 1 0) 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41
finish name-nonul.fdb gz; expect info 0
begin base.fdb.raw; put $(d 1 0) 00; finish name-empty.fdb gz; expect info 0
begin base.fdb.raw; put $(d 1 0) 22 5c 01 7f 98 1b 5b 32 4a 0a 09 3d 00; finish name-controls.fdb gz
expect info 0
begin base.fdb.raw; put $(d 4 0) d3 eb e8 f6 e0 00; finish name-duplicate.fdb gz; expect info 0
begin base.fdb.raw; put $(d 2 0) 4e 61 6d 65 3d 31 00; finish name-with-equals.fdb gz; expect info 0

# The mixed schema: unknown types turned into texts and integers that break the rules.
begin mixed.fdb.raw; put $(d 2 $TYPE) 01; finish kind-text-len0.fdb gz; expect info 2 "maximum length 0"
begin mixed.fdb.raw; put $(d 2 $TYPE) 02; finish kind-int-size0.fdb gz; expect info 2 "integer size"
begin mixed.fdb.raw; put $(d 6 $TYPE) 02; finish odd-int-size9.fdb gz; expect info 2 "integer size 9"
begin mixed.fdb.raw; put $(d 2 $SEARCH) 06; finish kind-searched-len0.fdb gz; expect info 2 "maximum length 0"
begin mixed.fdb.raw; put $(d 1 $SIZE) 04; finish tiny-size4.fdb gz; expect info 0
begin mixed.fdb.raw; put $(d 0 $SIZE) 01; finish code-size1.fdb gz; expect info 0
begin mixed.fdb.raw; put $(d 3 $TYPE) 05; finish name-unknown.fdb gz; expect info 0
begin mixed.fdb.raw; put $(d 7 $MAXLEN) ff ff; finish last-65535.fdb plain; expect info 0
begin wide.fdb.raw; put $(d 100 $SEARCH) 0b; put $(d 100 $MAXLEN) 05 00; finish wide-search11.fdb gz
expect info 2 "search index 11 is outside"
begin wide.fdb.raw; put $(d 126 $DISPLAY) 11; finish wide-display17.fdb gz; expect info 2 "outside"
begin wide.fdb.raw; put $(d 126 $TYPE) 01; finish wide-last-text-len0.fdb gz; expect info 2 "maximum length 0"
begin wide.fdb.raw; put $(d 126 $TYPE) 01; put $(d 126 $MAXLEN) ff ff; finish wide-last-text.fdb gz
expect info 0

# ---------------------------------------------------------------------------------------------
# 5. Record chains: zero, tiny and overlong lengths; records without their NUL.

for pos in 0 1 2 10 40; do
  for k in 00 01 02 03 fe ff; do
    begin base.db; put ${CHAIN_DB[$pos]} $k; finish len$pos=$k.db plain; expect info 0
    case $k in
      00) expect search $([ $pos = 0 ] && echo 1 || echo 0) "a record length of 0 after record $pos"
          expect rows $pos ;;
      ff) expect search $([ $pos = 0 ] && echo 1 || echo 0); expect rows $pos ;;
    esac
  done
done
mapfile -t CHAIN_ZDB < <(chain $B/base.zdb.raw 29)
for pos in 0 2 40; do
  for k in 00 02 fe; do begin base.zdb.raw; put ${CHAIN_ZDB[$pos]} $k; finish len$pos=$k.zdb gz; done
done
mapfile -t CHAIN_MIXED < <(chain $B/mixed.fdb.raw $((64 + 28 * 8)))
for pos in 0 1 3; do
  for k in 00 01 04 05 fe; do
    begin mixed.fdb.raw; put ${CHAIN_MIXED[$pos]} $k; finish mixed-len$pos=$k.fdb gz
  done
done
# Records whose texts lose their NUL bytes: every field runs on to the end of the record.
for pos in 0 5 39; do
  begin base.db
  for z in $(nuls_in $B/base.db $((CHAIN_DB[pos] + 1)) ${CHAIN_DB[$((pos + 1))]}); do put $z 41; done
  finish nonul$pos.db plain; expect info 0; expect rows 40
done
for pos in 0 2; do
  begin mixed.fdb.raw
  for z in $(nuls_in $B/mixed.fdb.raw $((CHAIN_MIXED[pos] + 1)) ${CHAIN_MIXED[$((pos + 1))]}); do
    put $z d6
  done
  finish mixed-nonul$pos.fdb gz; expect info 0
done
# A record long enough for its NULs but too short for its integer: length 2 leaves one byte for
# a 3-byte phone number, and the record's last byte (ff) ends the data.
begin edge.db; put 29 02 ff ff; finish phone-cut-short.db plain; expect info 0; expect rows 1
# Bytes after the end mark are never read.
begin base.db; append 00 01 02 ff 00; finish trailing-junk.db plain; expect same base.db
# A long chain that outruns its header's record count; and one that keeps going far beyond
# the length of the file a header suggests.
begin base.db; cut_to 29; put 0 $(hex32 1000); append 0c
printf '\x87\xd6\x12A\x00B\x00C\x00D\x00\x0c' >rec.bin
for i in 1 2 3 4 5 6 7 8 9 10; do cat rec.bin rec.bin >rec2.bin && mv rec2.bin rec.bin; done
cat rec.bin rec.bin >>$W
printf '\x87\xd6\x12A\x00B\x00C\x00D\x00\xff' >>$W
RECIPE+="; append 2048 records of 12 bytes (87 d6 12 'A' 00 'B' 00 'C' 00 'D' 00 0c) and one ending ff"
# With every record listed, updates come at records 1, 51, ..., 951, 1000 (a thousand) and then
# 50 rows later, at 1050: the first one past the count of 1000, so 1049 rows are listed.
finish many-records-count1000.db plain
expect search 0 "more records follow than the header's 1000"; expect rows 1049
begin base.db; cut_to 29; put 0 $(hex32 0x7FFFFFFF); append 0c
cat rec.bin rec.bin rec.bin rec.bin >>$W
printf '\x87\xd6\x12A\x00B\x00C\x00D\x00\xff' >>$W
RECIPE+="; append 4096 records of 12 bytes and one ending ff"
finish many-records.zdb gz; expect search 0; expect rows 4097

# ---------------------------------------------------------------------------------------------
# 6. Damaged gzip streams, stored variants and multi-member streams.

for f in base.zdb base.fdb mixed.fdb; do
  S=$(size_of $B/$f)
  begin $f; put 0 1e; finish badmagic-$f plain
  begin $f; put 2 07; finish method7-$f plain
  for flag in 02 04 08 10 e0; do begin $f; put 3 $flag; finish gzflag$flag-$f plain; done
  for off in 10 11 12 16 30 $((S / 3)) $((S / 2)) $((S - 9)); do
    begin $f; xor $off 85; finish deflate-xor$off-$f plain
  done
  begin $f; xor $((S - 8)) 1; finish crc-$f plain
  begin $f; xor $((S - 2)) 1; finish isize-$f plain
  begin $f; append 00 00 00; finish tailzeros-$f plain
  begin $f; append 1f 8b 08 00 00; finish tailmember-$f plain
done
# Uncompressed and recompressed variants read exactly like the originals.
begin base.zdb.raw; finish stored-base.zdb plain; expect same base.db
begin base.fdb.raw; finish stored-base.fdb plain; expect same base.fdb
begin mixed.fdb.raw; finish stored-mixed.fdb plain; expect same mixed.fdb
begin wide.fdb.raw; finish stored-wide.fdb plain; expect same wide.fdb
begin base.zdb; finish copy-base.zdb plain; expect same base.db
begin base.fdb; finish copy-base.fdb plain
begin mixed.fdb; finish copy-mixed.fdb plain
begin wide.fdb; finish copy-wide.fdb plain
begin builtin.fdb; finish copy-builtin.fdb plain; expect same base.db
begin stored.zdb; finish copy-stored.zdb plain; expect info 0
begin stored.fdb; finish copy-stored.fdb plain; expect info 0
begin edge.db; finish copy-edge.db plain; expect rows 3
begin edge.zdb; finish copy-edge.zdb plain; expect same edge.db
# A stream in two gzip members (gzip's own concatenation) reads as one.
for f in base.zdb base.fdb; do
  S=$(size_of $B/$f.raw)
  head -c $((S / 2)) $B/$f.raw | gzip -c -n >two.gz
  tail -c +$((S / 2 + 1)) $B/$f.raw | gzip -c -n >>two.gz
  begin $f.raw; cp two.gz $W; RECIPE="from $f.raw, split at byte $((S / 2)), each half gzip -n, concatenated"
  finish members-$f plain; expect same $f
done
# Compressed twice: the outer layer unpacks to gzip bytes, which are no header at all.
begin base.zdb; finish double.zdb gz; expect info 2 "unsupported version"
begin base.fdb; finish double.fdb gz
# A plain ".db" that is really gzip data: read as it stands, byte 4 is no version 11.
begin base.zdb; finish gzip-named.db plain; expect info 2 "unsupported version"

# ---------------------------------------------------------------------------------------------
# 7. Seeded random byte flips.

flipped() {  # flipped BASE PACK EXT SEED COUNT LO HI: COUNT files with 1 to 4 flips each
  local base=$1 pack=$2 ext=$3 seed=$4 n=$5 lo=$6 hi=$7 i
  for i in $(seq 1 "$n"); do
    begin "$base"
    while read -r off val; do put "$off" "$val"; done < <(flips $((seed * 1000 + i)) $((1 + i % 4)) "$lo" "$hi")
    finish "flip$seed-$i.$ext" "$pack"
  done
}
flipped base.db plain db 1 25 0 "$(size_of $B/base.db)"
flipped base.zdb.raw gz zdb 2 15 0 "$(size_of $B/base.zdb.raw)"
flipped base.fdb.raw gz fdb 3 25 0 204
flipped mixed.fdb.raw plain fdb 4 20 0 "$(size_of $B/mixed.fdb.raw)"
flipped base.zdb plain zdb 5 15 10 "$(size_of $B/base.zdb)"
flipped mixed.fdb plain fdb 6 15 10 "$(size_of $B/mixed.fdb)"
flipped wide.fdb.raw gz fdb 7 15 64 $((64 + 28 * 127))
flipped edge.db plain db 8 10 29 "$(size_of $B/edge.db)"

# ---------------------------------------------------------------------------------------------
# Running them.

JSONL=all.jsonl
: >$JSONL
: >jsonl.from
declare -A FAILED=()
report() {  # report NAME WHAT: one failure, with the file's recipe the first time
  failures=$((failures + 1))
  local where=$1
  [ -e "files/$1" ] && where=files/$1
  echo "FAIL [$where]: $2"
  if [ -z "${FAILED[$1]-}" ]; then
    echo "  recipe: ${RECIPE_OF[$1]-base file}"
    FAILED[$1]=1
  fi
}
# cli NAME ARGS...: runs the CLI into out.txt and err.txt and checks what holds for every run.
cli() {
  local name=$1
  shift
  runs=$((runs + 1))
  ${LIMIT[@]+"${LIMIT[@]}"} "$CLI" "$@" >out.txt 2>err.txt
  CODE=$?
  case $CODE in
    0 | 1 | 2) ;;
    124) report "$name" "no answer within 60 s: vostrel-cli $*" ;;
    *) report "$name" "exit $CODE (a crash or a signal): vostrel-cli $*; stderr: $(head -c 400 err.txt)" ;;
  esac
  if grep -qE 'AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|runtime error' err.txt; then
    report "$name" "sanitizer report: vostrel-cli $*"
    sed 's/^/    /' err.txt | head -20
  fi
  if [ "$CODE" = 2 ]; then
    [ -s err.txt ] || report "$name" "refused without a word on stderr: vostrel-cli $*"
    [ -s out.txt ] && report "$name" "refused but wrote to stdout: vostrel-cli $*"
  fi
}
check_expected() {  # check_expected NAME KIND: the exit code and words an expectation names
  local name=$1 kind=$2 want=${EXPECT["$1:$2"]-}
  [ -n "$want" ] || return 0
  local code=${want%%|*} words=${want#*|}
  [ "$CODE" = "$code" ] || report "$name" "$kind: exit $CODE instead of $code; stderr: $(head -c 300 err.txt)"
  if [ -n "$words" ] && ! grep -qF -- "$words" err.txt; then
    report "$name" "$kind: stderr does not say '$words': $(head -c 300 err.txt)"
  fi
}
# The searchable field names that info --json lists (a name with an escape is passed over).
searchable_names() {
  grep -o '{"name":"[^"\\]*","type":-\{0,1\}[0-9]*,"flags":-\{0,1\}[0-9]*,"size":-\{0,1\}[0-9]*,"searchIndex":[1-9][0-9]*' "$1" |
    sed 's/^{"name":"\([^"]*\)".*/\1/' | head -3
}

check_file() {
  local name=$1 f=files/$1 codeText codeJson rows lines
  cli "$name" info "$f"
  codeText=$CODE
  [ "$CODE" = 0 ] && [ ! -s out.txt ] && report "$name" "info: exit 0 with nothing on stdout"

  cli "$name" info --json "$f"
  codeJson=$CODE
  check_expected "$name" info
  [ "$codeText" = "$codeJson" ] || report "$name" "info exits $codeText, info --json exits $codeJson"
  local names=()
  if [ "$CODE" = 0 ]; then
    if [ "$(wc -l <out.txt | tr -d ' ')" != 1 ] || [ "$(grep -c '' out.txt)" != 1 ]; then
      report "$name" "info --json: not one line: $(head -c 300 out.txt)"
    else
      cat out.txt >>$JSONL
      echo "$name info --json" >>jsonl.from
    fi
    mapfile -t names < <(searchable_names out.txt)
  fi

  cli "$name" search "$f"
  check_expected "$name" search
  if [ "$codeJson" = 2 ] && [ "$CODE" != 2 ]; then
    report "$name" "info refuses the file but search takes it (exit $CODE)"
  fi
  if [ "$codeJson" = 0 ] && [ "$CODE" = 2 ] && ! grep -q "cannot open the records" err.txt; then
    report "$name" "info takes the file but search refuses it: $(head -c 300 err.txt)"
  fi
  if [ "$CODE" = 0 ] || [ "$CODE" = 1 ]; then
    lines=$(wc -l <out.txt | tr -d ' ')
    rows=$((lines - 1))
    [ "$CODE" = 1 ] && [ "$rows" != 0 ] && report "$name" "search: exit 1 with $rows rows"
    [ "$CODE" = 0 ] && [ "$rows" -lt 1 ] && report "$name" "search: exit 0 without rows"
    awk -F'\t' 'NR == 1 { n = NF } NF != n { bad = 1 } END { exit bad }' out.txt ||
      report "$name" "search: rows with another number of cells than the header line"
    local want=${EXPECT["$name:rows"]-}
    [ -n "$want" ] && [ "${want%%|*}" != "$rows" ] && report "$name" "search: $rows rows instead of ${want%%|*}"
    want=${EXPECT["$name:same"]-}
    if [ -n "$want" ]; then
      local base=${want%%|*}
      "$CLI" search "$B/$base" >base-out.txt 2>/dev/null
      cmp -s out.txt base-out.txt || report "$name" "search lists other rows than for $base"
    fi
  fi

  # With criteria: a prefix on one searchable field, then wildcards on two, as JSON lines.
  if [ ${#names[@]} -gt 0 ]; then
    local first=${names[0]} second=${names[1]-${names[0]}}
    cli "$name" search "$f" "$second=К"
    cli "$name" search --format json "$f" "$first=*" "${names[2]-$second}=?*"
    if [ "$CODE" = 0 ]; then
      head -n 20 out.txt >>$JSONL
      head -n 20 out.txt | sed "s|.*|$name search --format json|" >>jsonl.from
    elif [ "$CODE" = 1 ] && [ -s out.txt ]; then
      report "$name" "search --format json: exit 1 but rows on stdout"
    fi
  else
    # Nothing searchable (or a refused file): criteria must be refused with a reason.
    cli "$name" search "$f" "Name=К"
    [ "$CODE" = 2 ] || report "$name" "a criterion for a field the file does not search gave exit $CODE"
  fi
}

for f in base.db base.zdb base.fdb builtin.fdb stored.zdb stored.fdb mixed.fdb wide.fdb edge.db edge.zdb; do
  cp $B/$f files/$f
  RECIPE_OF[$f]="base file $f, as made above"
  NAMES+=("$f")
done
for name in "${NAMES[@]}"; do check_file "$name"; done

# Paths at the limit the application has (259 characters): such a path searches as any other;
# one character more is refused with the reason, not cut or overrun.
long_path() {  # long_path LENGTH: a relative path of exactly LENGTH characters ending in .zdb
  local stem
  stem=long/$(printf 'd%.0s' $(seq 100))/$(printf 'e%.0s' $(seq 100))/
  mkdir -p "$stem"
  printf '%s%s.zdb' "$stem" "$(printf 'f%.0s' $(seq $(($1 - ${#stem} - 4))))"
}
P259=$(long_path 259)
P260=$(long_path 260)
cp $B/base.zdb "$P259" && cp $B/base.zdb "$P260"
RECIPE_OF[$P259]="base.zdb copied to a path of 259 characters"
RECIPE_OF[$P260]="base.zdb copied to a path of 260 characters"
cli "$P259" search "$P259"
[ "$CODE" = 0 ] && [ "$(wc -l <out.txt | tr -d ' ')" = 41 ] ||
  report "$P259" "search of a 259-character path: exit $CODE, $(wc -l <out.txt) lines"
cli "$P260" search "$P260"
[ "$CODE" = 2 ] && grep -q "1 to 259 characters" err.txt ||
  report "$P260" "search of a 260-character path: exit $CODE: $(head -c 300 err.txt)"

# Every JSON line written: one check for all of them. The compact echo of the lines that
# parsed tells which line broke the run.
if command -v python3 >/dev/null && python3 -m json.tool --help 2>/dev/null | grep -q compact; then
  if ! python3 -m json.tool --json-lines --compact $JSONL >json.out 2>json.err; then
    line=$(($(wc -l <json.out) + 1))
    failures=$((failures + 1))
    echo "FAIL: JSON line $line is not valid JSON ($(sed -n "${line}p" jsonl.from)): $(head -c 300 json.err)"
    sed -n "${line}p" $JSONL | head -c 500
    echo
  fi
else
  bad=$(grep -vn '^{.*}$' $JSONL | head -1 | cut -d: -f1)
  if [ -n "$bad" ]; then
    failures=$((failures + 1))
    echo "FAIL: JSON line $bad is not one braced object ($(sed -n "${bad}p" jsonl.from))"
  fi
fi

echo "hostile: ${#NAMES[@]} files, $runs runs, $failures failures"
[ "$failures" = 0 ]
