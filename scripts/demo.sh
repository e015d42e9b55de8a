#!/usr/bin/env bash
# Sets up, builds dot4sim and previews an uninstall on a copy of a sample machine image: the
# log, what left the registry, the printers and the disk, what waits for the restart, and then
# what the restart does.
set -euo pipefail
cd "$(dirname "$0")/.."
image=${1:-examples/machines/road-of-one-device}

bash scripts/setup.sh --no-wine
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
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
echo "== the log, drive_c/uninstall.txt"
tr -d '\001' <"$after/drive_c/uninstall.txt" | sed 's/\r$//'
echo
echo "== the registry: lines removed (-) and added (+)"
diff <(sed 's/\r$//' "$before/registry.reg" 2>/dev/null) <(sed 's/\r$//' "$after/registry.reg") \
    | grep '^[<>]' | sed 's/^</-/; s/^>/+/' || true
echo
echo "== the disk: files removed (-) and added (+)"
diff <(cd "$before" && find drive_c -type f 2>/dev/null | sort) \
     <(cd "$after" && find drive_c -type f | sort) | grep '^[<>]' | sed 's/^</-/; s/^>/+/' || true
echo
echo "== waiting for the restart"
grep -A3 -i 'PendingFileRenameOperations' "$after/registry.reg" || echo "(nothing in PendingFileRenameOperations)"
for ini in "$after"/drive_c/[Ww][Ii][Nn][Dd][Oo][Ww][Ss]/wininit.ini; do
    [[ -f $ini ]] && { echo "-- $ini"; cat "$ini"; }
done
echo
echo "== dot4sim restart"
cp -a "$after" "$work/restarted"
"$dot4sim" restart "$work/restarted"
diff <(cd "$after" && find drive_c -type f | sort) <(cd "$work/restarted" && find drive_c -type f | sort) \
    | grep '^[<>]' | sed 's/^</-/; s/^>/+/' || echo "(no file changed at the restart)"
echo
echo "The images are in $work: before/, machine/ (after the run), restarted/."
