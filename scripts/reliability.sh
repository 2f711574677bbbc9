#!/usr/bin/env bash
# Reliability checks of orvi, run against the fault-injection build of the
# module (build/fault; the same engine as the normal build plus a private
# hook that fails the N-th storage call):
#   1. storage fault loops: every page write, flush, truncate and rename of
#      a commit, a vacuum, an adjacency repair, clear() and a recovering
#      open fails in turn (tests/faults);
#   2. the crash harness: a writer killed with SIGKILL at random moments,
#      openers killed during recovery, every reopened state checked against
#      a model (tests/crash);
#   3. readers beside a writer killed at random moments (tests/crash/reader_kill.py);
#   4. threads and processes sharing databases (tests/python/test_concurrency.py).
#
#   scripts/reliability.sh           short run, a few minutes (CI)
#   scripts/reliability.sh --long    1000 kill rounds, both errnos for every
#                                    operation, and a large commit
# ORVI_CRASH_ROUNDS and ORVI_CRASH_SEED override the harness's rounds and
# seed; a failing round prints the seed and keeps its database. Runs in the
# environment of scripts/setup.sh test.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
. scripts/setup.sh test
JOBS=${JOBS:-2}
LONG=0
if [ "${1:-}" = "--long" ]; then LONG=1; fi
if [ $LONG = 1 ]; then DEFAULT_ROUNDS=1000; else DEFAULT_ROUNDS=100; fi
ROUNDS=${ORVI_CRASH_ROUNDS:-$DEFAULT_ROUNDS}
SEED=${ORVI_CRASH_SEED:-1}
BUILD=build/fault
REPORT=$(mktemp)
trap 'rm -f "$REPORT"' EXIT

echo "== fault-injection build ($BUILD)"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVI_FAULT_INJECTION=ON \
  -DORVI_BUILD_TESTS=OFF -DORVI_BUILD_PYTHON=ON -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target orvi orvi_tools_engine
export PYTHONPATH="$ROOT/$BUILD${PYTHONPATH:+:$PYTHONPATH}"
"$PY" -c 'import orvi, sys; sys.exit(0 if orvi._BUILT_WITH_FAULT_INJECTION else "not the fault-injection build")'

echo "== storage fault loops"
(cd tests/faults && ORVI_FAULT_LONG=$LONG ORVI_FAULT_REPORT="$REPORT" \
  "$PY" -m pytest -q -p no:cacheprovider .)

echo "== crash harness ($ROUNDS kill rounds, seed $SEED)"
"$PY" tests/crash/crash_harness.py --rounds "$ROUNDS" --seed "$SEED" | tee -a "$REPORT"

echo "== readers beside a killed writer"
if [ $LONG = 1 ]; then READER_ROUNDS=200; else READER_ROUNDS=15; fi
"$PY" tests/crash/reader_kill.py --rounds "$READER_ROUNDS" --seed "$SEED"

echo "== concurrency"
(cd tests/python && "$PY" -m pytest -q -p no:cacheprovider test_concurrency.py)

"$PY" - "$REPORT" <<'EOF'
import json, sys
faults = calls = rounds = 0
for line in open(sys.argv[1]):
    if line.startswith("{"):
        r = json.loads(line)
        faults += r["passed"]
        calls += r["calls"]
    elif line.startswith("crash harness: {"):
        rounds = json.loads(line.split(": ", 1)[1])["kill_rounds_survived"]
print(f"== reliability: {rounds} kill rounds survived, {faults} fault cases passed "
      f"({calls} failing storage-call positions)")
EOF
