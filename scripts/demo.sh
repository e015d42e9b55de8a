#!/usr/bin/env bash
# Sets up, builds dot4sim and previews an uninstall on a copy of a sample machine image: the
# log, what left the registry, the printers and the disk, what waits for the restart, and then
# what the restart does.
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
regdiff="python3 $PWD/scripts/regdiff.py"
files_diff() {  # files of drive C: that are in $1 and not in $2 (-), and the other way (+)
    diff <(cd "$1" && find drive_c -type f 2>/dev/null | sort) \
         <(cd "$2" && find drive_c -type f 2>/dev/null | sort) | sed -n 's/^< /- /p; s/^> /+ /p' || true
}
echo "== the registry: keys removed (-), keys added (+), values changed (~)"
$regdiff "$before/registry.reg" "$after/registry.reg"
echo
echo "== the printers folder"
echo "before:"; $regdiff --printers "$before/registry.reg"
echo "deleted through the spooler:"; grep -E '^(deleted|failed)\.' "$after/outcome.ini" | sed 's/^/  /' || echo "  (none)"
echo "after:"; $regdiff --printers "$after/registry.reg"
echo
echo "== the disk: files removed (-) and added (+)"
files_diff "$before" "$after"
echo
echo "== waiting for the restart"
$regdiff --pending "$after/registry.reg"
for ini in "$after"/drive_c/[Ww][Ii][Nn][Dd][Oo][Ww][Ss]/[Ww][Ii][Nn][Ii][Nn][Ii][Tt].[Ii][Nn][Ii]; do
    [[ -f $ini ]] && { echo "-- ${ini#$after/}"; sed 's/\r$//; s/^/  /' "$ini"; }
done
echo
echo "== dot4sim restart"
cp -a "$after" "$work/restarted"
"$dot4sim" restart "$work/restarted"
changes=$(files_diff "$after" "$work/restarted")
echo "${changes:-(no file changed at the restart)}"
echo
echo "The images are in $work: before/, machine/ (after the run), restarted/."
