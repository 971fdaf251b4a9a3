#!/bin/sh
# The Mender Update Module (as the build writes it from mender/lora-distro.in) and its state script, played through the state
# sequences Mender 3.4 calls, against a payload tree laid out as Mender stores it, with a stand-in
# for lora-cards. Usage: module_test.sh REPO MODULE
repo=${1:?usage: module_test.sh REPO MODULE} module=${2:?usage: module_test.sh REPO MODULE}
for t in flock cksum stat sync find; do command -v $t >/dev/null || { echo "module_test: no $t here" >&2; exit 1; }; done
umask 022 && T=$(mktemp -d) && trap 'rm -rf "$T"' EXIT || exit 1
export LC_ALL=C T LORA_DISTROS="$T/iot/distros" LORA_STATE="$T/state" LORA_MENDER_STATE="$T/mine" \
	LORA_CARDS="$T/lora-cards" LORA_MODULE="$module" LORA_MENDER_CONF="$T/conf" LORA_WAIT=5
M=$T/mine tree=$T/tree

# Each wait records its words and the wait's limit, and ends with the next status queued in rcs (0
# once none is left). The check finds a file of "junk" not a distro.
printf '#!/bin/sh\nif [ "$1" = --check ]; then shift; ! grep -lx junk "$@"; exit; fi\necho "$*${LORA_WAIT:+ in $LORA_WAIT s}" >>"$T/calls"\nread -r rc rest <"$T/rcs"; echo "$rest" >"$T/rcs"; exit "${rc:-0}"\n' \
	>"$T/lora-cards" && chmod 755 "$T/lora-cards"

# o: the distros before (ZL9A's at an odd mode, which a rollback must give back; no ZL9AH
# distro); n: after the payload of one(), good(); kept: what the install must keep.
fixture() { mkdir -p "$T/$1" && printf %s "$4" >"$T/$1/$2" && chmod "$3" "$T/$1/$2"; } # DIR NAME MODE TEXT
fixture o/distros lora_zl9ab.dist 640 old && fixture o/distros lora_gw_2g4.dist 644 2g4
fixture n/distros lora_zl9ab.dist 644 new && fixture n/distros lora_gw_2g4.dist 644 2g4 && fixture n/distros lora_zl9abH.dist 644 H
fixture kept lora_zl9ab.dist 640 old && fixture kept lora_zl9abH.dist.absent 644 ""
one() { cp "$T/n/distros/lora_zl9ab.dist" .; }
good() { one && cp "$T/n/distros/lora_zl9abH.dist" .; }

snap() { # every entry under DIR, hidden ones too: path, mode, type, checksum
	(cd "$1" && find . -mindepth 1 | sort | while read -r f; do
		echo "$f $(stat -c '%a %F' "$f") $(cksum <"$f" 2>/dev/null)"
	done)
}
world() { # what a step left
	snap "$T/iot"
	echo "module: $(ls -A "$M" 2>/dev/null | tr '\n' ' ')"
	[ ! -d "$M/kept" ] || snap "$M/kept"
	[ ! -f "$M/pending" ] || { grep '^artifact=' "$M/pending"
		grep -qx "token=$(cat "$tree/tmp/lora-distro.token")" "$M/pending" && echo same token; }
	ls -A "$tree/tmp"
	cat "$T/calls" && : >"$T/calls"
}
want() { # DISTROS MODULE WAIT, as in the table's legend
	snap "$T/$1"
	case $2 in P) echo "module: kept lock pending " ;; 0) echo "module: " ;; *) echo "module: lock " ;; esac
	[ "$2" != P ] || { snap "$T/kept"; echo artifact=first; echo same token; }
	case $2 in [Pt]) echo lora-distro.token ;; esac
	case $3 in i) echo "--wait lora_zl9ab.dist lora_zl9abH.dist" ;; r) echo "--wait lora_zl9ab.dist" ;;
	I) echo "--wait lora_zl9ab.dist lora_zl9abH.dist in 60 s" ;; R) echo "--wait lora_zl9ab.dist in 60 s" ;; esac
}

# A step is STATE=STATUS:DMW (Enter: the state script Download_Enter), checked after it runs.
# D: the distros, o as before, n the new ones. M: the module's files, P the install waits for its
# commit (marker with the tree's token, kept copies), t the tree's token alone, - the lock alone,
# 0 nothing. W: the wait the stand-in saw in that step, i the install's, r the rollback's (I, R:
# for 60 s), - none. The settings file $T/conf, when a setup writes one, holds the wait.
in="Enter=0:o0- Download=0:o0- SupportsRollback=0:o0-"
ok="$in ArtifactInstall=0:nPi NeedsArtifactReboot=0:nP-"
back="SupportsRollback=0:nP- ArtifactRollback=0:otr ArtifactFailure=0:ot- Cleanup=0:o0-"
bad="$in ArtifactInstall=1:o-- SupportsRollback=0:o-- ArtifactRollback=0:o-- ArtifactFailure=0:o-- Cleanup=0:o0-"
second="Enter=1:nP- Download=1:nP- Cleanup=0:nP-"
fails=0 n=0
while IFS='|' read -r name setup steps <&3; do
	n=$((n + 1))
	rm -rf "$T/iot" "$M" "$T/state" "$tree" && cp -pR "$T/o" "$T/iot"
	mkdir -p "$T/state" "$tree/files" "$tree/tmp" "$tree/header" && echo first >"$tree/header/artifact_name"
	: >"$T/calls" && : >"$T/rcs" && : >"$T/err" && rm -f "$T/conf"
	(cd "$tree/files" && umask 077 && eval "$setup") # Mender stores payload files 0600
	for step in $steps; do
		st=${step%%=*} rc=${step#*=} code=${step#*:}
		case $st in Enter) set -- sh "$repo/mender/scripts/Download_Enter_00_lora-distro" ;; *) set -- "$LORA_MODULE" "$st" "$tree" ;; esac
		out=$("$@" 2>>"$T/err" </dev/null)
		{ echo "$st ended $?: $out"; world; } >"$T/got"
		case $st in SupportsRollback) out=Yes ;; NeedsArtifactReboot) out=No ;; *) out= ;; esac
		{ echo "$st ended ${rc%%:*}: $out"; want $(echo "$code" | sed 's/./& /g'); } >"$T/want"
		if ! diff "$T/want" "$T/got" >"$T/diff"; then
			echo "FAIL: $name, at $st (- expected, + found):" && cat "$T/diff" "$T/err"
			fails=$((fails + 1)) && break
		fi
	done
done 3<<EOF
install, commit|good|$ok ArtifactCommit=0:nt- Cleanup=0:n0-
a card given up, rollback|good; echo 1 >"$T/rcs"|$in ArtifactInstall=1:nPi $back
the rollback's wait fails too|good; echo 1 1 >"$T/rcs"|$in ArtifactInstall=1:nPi SupportsRollback=0:nP- ArtifactRollback=1:otr ArtifactFailure=0:ot- Cleanup=0:o0-
cards held|touch "$T/state/hold"; good|Enter=0:o0- Download=1:o0- Cleanup=0:o0-
second artifact, then commit|good|$ok $second ArtifactCommit=0:nt- Cleanup=0:n0-
second artifact, then rollback|good|$ok $second $back
a name that only starts as a distro's|cp "$T/n/distros/lora_zl9ab.dist" lora_zl9ab.dist.bak|$bad
a hidden file|good; cp lora_zl9ab.dist .lora_zl9ab.dist|$bad
a directory|one; mkdir lora_zl9abH.dist|$bad
a symlink|ln -s "$T/n/distros/lora_zl9ab.dist" .|$bad
an empty payload|:|$bad
four files|good; cp lora_zl9ab.dist lora_gw_2g4.dist; echo x >README|$bad
a good file and a bad one|one; echo x >notes.txt|$bad
a file that is not a distro|one; echo junk >lora_zl9abH.dist|$bad
the wait from root's settings|good; printf '# s\\n wait=60 \\r\\n' >"$T/conf"; echo 1 >"$T/rcs"|$in ArtifactInstall=1:nPI SupportsRollback=0:nP- ArtifactRollback=0:otR ArtifactFailure=0:ot- Cleanup=0:o0-
a wait that is no number|good; echo wait=60s >"$T/conf"|$bad
a setting unknown|good; echo wiat=60 >"$T/conf"|$bad
settings others can write|good; echo wait=60 >"$T/conf"; chmod 666 "$T/conf"|$bad
EOF
echo "lora-distro: $fails of $n scenarios failed" && [ "$fails" -eq 0 ]
