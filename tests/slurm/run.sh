#!/usr/bin/env bash
# drapeon wedge on a Slurm cluster: a one-node cluster started here (see
# cluster.sh), a 2x2 wedge as one job array, its results against local runs,
# and a task cancelled with scancel that a second wedge runs again.
#   tests/slurm/run.sh [BUILD_DIR]   (default build/; needs root to start the daemons)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
program=$(realpath "$build/drapeon")
source tests/slurm/cluster.sh

install_slurm
work=$(mktemp -d /tmp/drapeon-slurm.XXXXXX)
chmod 755 "$work"
passed=0
cleanup() {
  stop_cluster
  if [ "$passed" = 1 ]; then rm -rf "$work"; else echo "the test's files are kept in $work" >&2; fi
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
start_cluster "$work/cluster"

# A sheet nailed at one corner; `stiffness`, `frames` and `segments` set its cost
scene() {  # stiffness last-frame [segments per side, default 16]
  cat <<JSON
{"fps": 30, "frames": [0, $2], "objects": [
  {"type": "polygon", "name": "Sheet", "position": [0, 100, 0],
   "mesh": {"plane": {"width": 200, "height": 200, "segments": ${3:-16}}},
   "tags": [{"type": "pointSelection", "name": "corner", "points": [0]}],
   "children": [{"type": "drapeon", "name": "Cloth", "params": {"DRAPEON_STIFFNESS": $1},
                 "children": [{"type": "drGravity"},
                              {"type": "drNail", "params": {"NAIL_POINTS": {"tag": "Sheet:corner"}}}]}]}]}
JSON
}

echo "== a 2x2 wedge as a Slurm job array" >&2
scene 30 20 >"$work/sheet.json"
"$program" wedge "$work/sheet.json" --vary Sheet/Cloth.DRAPEON_STIFFNESS=10,60 --vary Sheet/Cloth.DRAPEON_DAMPING=0.5,2 \
  --out "$work/w" --threads 1 --scheduler slurm --slurm-option partition=test --slurm-option time=10 \
  >"$work/wedge.out" 2>"$work/wedge.err" || { cat "$work/wedge.err" >&2; fail "the Slurm wedge did not succeed"; }
grep -q "submitted Slurm job array" "$work/wedge.err" || fail "no job array was submitted"
grep -q "0 pending, 0 running, 4 done, 0 failed" "$work/wedge.err" || { cat "$work/wedge.err" >&2; fail "not 4 done"; }
for k in 0 1 2 3; do
  "$program" run "$work/w/$k/scene.json" --threads 1 --export obj --out "$work/local/$k" >/dev/null 2>&1 ||
    fail "local run of variant $k"
  cmp -s "$work/w/$k/Sheet.0020.obj" "$work/local/$k/Sheet.0020.obj" ||
    fail "variant $k's last frame differs from a local run of its scene"
done
cmp -s "$work/w/0/Sheet.0020.obj" "$work/w/2/Sheet.0020.obj" && fail "the stiffness made no difference"
[ "$(wc -l <"$work/w/summary.csv")" = 5 ] || fail "summary.csv has not a header and four rows"
[ "$(grep -c ',done,0,21,' "$work/w/summary.csv")" = 4 ] || { cat "$work/w/summary.csv" >&2; fail "summary rows"; }

echo "== a task cancelled with scancel, and the wedge run again" >&2
# Stiff and fine enough that a run takes a few seconds (about 2.6 s on one
# thread of the 2-core test machine), so that scancel finds it running
scene 100000 50 64 >"$work/stiff.json"
wedge_stiff() {
  "$program" wedge "$work/stiff.json" --vary Sheet/Cloth.DRAPEON_DAMPING=1,2 --out "$work/s" --threads 1 \
    --scheduler slurm --slurm-option cpus-per-task=1
}
wedge_stiff >"$work/stiff1.out" 2>"$work/stiff1.err" &
wedge_pid=$!
for _ in $(seq 600); do
  grep -q "^frame 3 " "$work/s/1/run.log" 2>/dev/null && break
  sleep 0.1
done
job=$(sed -n 's/.*submitted Slurm job array \([0-9]*\) .*/\1/p' "$work/stiff1.err")
[ -n "$job" ] || fail "no job array for the cancel test"
scancel "${job}_1"
rc=0
wait "$wedge_pid" || rc=$?
[ "$rc" = 1 ] || { cat "$work/stiff1.err" >&2; fail "the wedge with a cancelled task ended with status $rc, not 1"; }
grep -q "variant 1 cancelled" "$work/stiff1.err" || { cat "$work/stiff1.err" >&2; fail "the cancelled task is not named"; }
grep -q "task-${job}_1.log" "$work/stiff1.err" || fail "the cancelled task's log is not named"
grep -q "1 done, 1 failed" "$work/stiff1.err" || fail "the counts do not show one failed task"
grep -q '^1,2,cancelled,' "$work/s/summary.csv" || { cat "$work/s/summary.csv" >&2; fail "summary of the cancelled task"; }
before=$(stat -c %Y.%N "$work/s/0/status.json")
wedge_stiff >"$work/stiff2.out" 2>"$work/stiff2.err" || { cat "$work/stiff2.err" >&2; fail "the second wedge failed"; }
grep -q "1 finished before, 1 to run" "$work/stiff2.err" || { cat "$work/stiff2.err" >&2; fail "not only the cancelled variant ran"; }
grep -q "(1 tasks)" "$work/stiff2.err" || fail "the second job array has not one task"
[ "$(stat -c %Y.%N "$work/s/0/status.json")" = "$before" ] || fail "the finished variant ran again"
[ "$(grep -c ',done,0,51,' "$work/s/summary.csv")" = 2 ] || { cat "$work/s/summary.csv" >&2; fail "not both done"; }

passed=1
echo "slurm test: passed" >&2
