#!/usr/bin/env bash
# Sets up, builds dot4sim and shows an uninstall on a sample machine image: the preview (the
# image left as it was), then a real run on a copy, the log, what changed, and what the restart
# then does.
set -euo pipefail
cd "$(dirname "$0")/.."
image=${1:-examples/machines/road-of-one-device}

bash scripts/setup.sh --no-wine
bash scripts/configure-sim.sh build
cmake --build build -j2 --target dot4sim >/dev/null
dot4sim=$PWD/build/dot4sim

work=$(mktemp -d /tmp/dot4demo-XXXXXX)
before=$work/before
after=$work/machine
cp -a "$image" "$before"
cp -a "$image" "$after"

echo "== dot4sim preview $image -- -l   (nothing is changed; answered no)"
"$dot4sim" preview "$before" --json "$work/preview.json" -- -l
echo "(the same as JSON: $work/preview.json)"
echo
echo "== dot4sim run $image -- -l   (a copy in $after; answered no)"
"$dot4sim" run "$after" --answer no -- -l
echo
echo "== outcome.ini"
cat "$after/outcome.ini"
echo
echo "== the log, drive_c/uninstall.txt (the leading byte 1 not shown)"
log=$(find "$after/drive_c" -maxdepth 1 -iname uninstall.txt | head -1)
if [[ -n $log ]]; then tr -d '\001' <"$log" | sed 's/\r$//'; else echo "(no log)"; fi
echo
echo "== dot4sim diff before machine: keys, values and files removed (-), added (+), changed (~)"
"$dot4sim" diff "$before" "$after" || [[ $? -eq 1 ]]  # 1: they differ
echo
echo "== dot4sim restart, then dot4sim diff machine restarted"
cp -a "$after" "$work/restarted"
"$dot4sim" restart "$work/restarted"
"$dot4sim" diff "$after" "$work/restarted" || [[ $? -eq 1 ]]
echo
echo "The images are in $work: before/, machine/ (after the run), restarted/."
