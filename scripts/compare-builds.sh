#!/usr/bin/env bash
# Runs two dot4sim builds side by side on every sample and Wine scenario image, with no fault and
# with every seam function failing, answered yes and no; then previews each image with both.
# Traces, outcome.ini, registry.reg, the drives, the messages and preview --json must be
# byte-identical. Usage: scripts/compare-builds.sh OLD_DOT4SIM NEW_DOT4SIM
set -euo pipefail
old=$(realpath "$1")
new=$(realpath "$2")
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
functions=$(sed -n 's/^SEAM(\([A-Za-z]*\),.*/\1/p' "$root/src/platform/seam_functions.def")
stamp="[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}"
runs=0
differ=0
for image in "$root"/examples/machines/*/ "$root"/tests/wine/scenarios/*/; do
    name=$(basename "$image")
    for fault in none $functions; do
        for answer in yes no; do
            for side in old new; do
                mkdir -p "$work/$side"
                rm -rf "$work/$side/m"
                cp -a "$image" "$work/$side/m"
                [[ $fault == none ]] || printf '\n[faults]\n%s=5\n' "$fault" >>"$work/$side/m/machine.ini"
                bin=${!side}
                # Without address randomisation, the buffers a trace shows are at the same addresses.
                (cd "$work/$side" && setarch "$(uname -m)" -R "$bin" run m --answer "$answer" --trace trace.txt -- -l \
                    >out.txt 2>err.txt; echo "status=$?" >>out.txt) || true
            done
            runs=$((runs + 1))
            # The log's time stamps are the clock's, not the build's.
            { grep -rlE "$stamp" "$work" || true; } | xargs -r sed -i -E "s/$stamp/TIME/g"
            if ! diff -r "$work/old" "$work/new" >/dev/null; then
                differ=$((differ + 1))
                echo "differs: $name, fault $fault, answer $answer"
            fi
        done
    done
    for side in old new; do
        rm -rf "$work/$side"
        mkdir -p "$work/$side"
        cp -a "$image" "$work/$side/m"
        bin=${!side}
        (cd "$work/$side" && "$bin" preview m --json p.json >out.txt 2>err.txt; echo "status=$?" >>out.txt) || true
    done
    runs=$((runs + 1))
    diff -r "$work/old" "$work/new" >/dev/null || { differ=$((differ + 1)); echo "preview differs: $name"; }
done
echo "$runs comparisons, $differ differ"
[[ $differ -eq 0 ]]
