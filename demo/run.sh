#!/bin/sh
# Runs one full update of a simulated ZL9A card: starts the card, points the sandboxed updater
# at its terminal, prints the updater's log and exits with the updater's status.
set -u
simcard=$1 updater=$2 distro=$3
fifo=$(mktemp -u)
mkfifo "$fifo"
"$simcard" --model ZL9A --tty ttyACM0 --distro "$distro" >"$fifo" &
card=$!
read -r ready <"$fifo" || { echo "demo: the simulated card did not start" >&2; exit 1; }
echo "demo: ${ready#simcard: }"
"$updater" ttyACM0
status=$?
kill "$card" 2>/dev/null
wait "$card" 2>/dev/null
rm -f "$fifo"
echo "demo: updater exit status $status"
exit "$status"
