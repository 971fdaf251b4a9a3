#!/bin/sh
# The forwarder hand-over's root helper, system/forwarder, with a stand-in systemctl: it acts on
# the unit that lora-updater.service's configuration names, and on nothing the request names.
# Usage: forwarder_test.sh REPO
T=$(mktemp -d) && trap 'rm -rf "$T"' EXIT && mkdir "$T/bin" || exit 1
printf '#!/bin/sh\necho "$*" >>"$D/calls"\ncase "$*" in\n"show -P Environment lora-updater.service") echo "$ENV" ;;\n"show -P ActiveState -- "*) echo "$ACTIVE" ;;\nesac\n' >"$T/bin/systemctl"
chmod 755 "$T/bin/systemctl"
# One case, in $T/N, with the service's environment ENV and the forwarder ACTIVE: the request
# names another unit, and the helper must answer it, then ask systemd exactly WANT.
play() { # N ENV ACTIVE WANT
	D=$T/$1 && mkdir -p "$D/run" "$D/answer" && printf 'victim.service\n7.1\n' >"$D/run/updating"
	(sleep 1.2 && [ "$(cat "$D/answer/forwarder-off")" = victim.service ] && rm "$D/run/updating") &
	D=$D ENV=$2 ACTIVE=$3 PATH="$T/bin:$PATH" LORA_RUN="$D/run" RUNTIME_DIRECTORY="$D/answer" sh "$repo/system/forwarder" >/dev/null
	wait $! || { echo "FAIL: $2: no answer with the request's first line" && return 1; }
	got=$(sed 1d "$D/calls" | tr '\n' ';')
	[ "$got" = "$4" ] || { echo "FAIL: $2, $3: asked \"$got\", not \"$4\"" && return 1; }
}
repo=$1 n=0 pids=
while IFS='|' read -r env active want; do
	n=$((n + 1)) && { play $n "$env" "$active" "$want" & } && pids="$pids $!"
done <<EOF2
LORA_UPDATE_COMMAND=/usr/bin/updater LORA_FORWARDER=fwd.service|active|show -P ActiveState -- fwd.service;stop -- fwd.service;start --no-block -- fwd.service;
LORA_FORWARDER=fwd.service|inactive|show -P ActiveState -- fwd.service;
LORA_FORWARDER=fwd.service|failed|show -P ActiveState -- fwd.service;
LORA_UPDATE_COMMAND=/usr/bin/updater|active|
LORA_FORWARDER=-fwd.service|active|
LORA_FORWARDER=fwd.socket|active|
"LORA_FORWARDER=a b.service"|active|
EOF2
fails=0
for p in $pids; do wait "$p" || fails=$((fails + 1)); done
echo "forwarder: $fails of $n cases failed" && [ "$fails" -eq 0 ]
