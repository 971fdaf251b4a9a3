#!/bin/sh
# The card table is the updater's: the build's copy of it (generated/cards.txt) must hold exactly
# its rows, and every program and page that names models or distros must name the same ones.
# Usage: cardtable_test.sh SOURCE BUILD [EMULATOR]
src=${1:?} build=${2:?} run=${3:-}
fails=0
fail() { echo "card table: $*" >&2; fails=$((fails + 1)); }

# Read apart from the build's extraction: the rows between "CARDS[][2] = {" and "};".
rows=$(awk '/CARDS\[\]\[2\] = \{/ { on = 1; next } on && /^\};/ { exit } on' "$src/updater/updater.cpp" |
	sed -n 's/^ *{"\([^"]*\)", "\([^"]*\)"},$/\1 \2/p')
[ "$(echo "$rows" | wc -l)" -eq 5 ] || fail "the updater's table has $(echo "$rows" | wc -l) rows, not 5"
[ "$(cut -d' ' -f2- "$build/generated/cards.txt")" = "$rows" ] || fail "generated/cards.txt differs from the updater's rows"
[ "$(cut -d' ' -f1 "$build/generated/cards.txt" | tr '\n' ' ')" = "0x0310 0x0311 0x0312 0x0313 0x0314 " ] ||
	fail "generated/cards.txt's product ids are not 0x0310 to 0x0314"

models=$(cut -d' ' -f2 "$build/generated/cards.txt" | tr '\n' ' ')
names=$(cut -d' ' -f3 "$build/generated/cards.txt" | sed 's,.*/,,' | awk '!seen[$0]++' | tr '\n' ' ')
[ "$($run "$build/simcard" --help | sed -n 's/^MODEL: //p') " = "$models" ] || fail "simcard's models differ"
[ "$(sed -n 's/^names="\([^"]*\)".*/\1/p' "$build/mender/lora-distro") " = "$names" ] || fail "the module's names differ"
said=$($run "$build/lora-cards" --wait nothing.dist 2>&1 | sed -n 's/.*not a distro name (\(.*\))$/\1/p' | sed 's/, / /g')
[ "$said " = "$names" ] || fail "lora-cards --wait names \"$said\", not \"$names\""
# The updater's man page shows the table as it is.
[ "$(grep -E '^0x031[0-9]	' "$src/updater/updater.1" | tr '\t' ' ')" = "$(cat "$build/generated/cards.txt")" ] ||
	fail "updater.1's table differs"
[ "$fails" -eq 0 ] && echo "card table: 5 rows; simcard, the module, lora-cards and updater.1 agree"
