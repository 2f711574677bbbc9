#!/usr/bin/env bash
# Runs every test of orvi: the C++ core tests (a release build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build), then the Python
# tests against the installed module, against wheels built for the oldest
# and the newest supported CPython found on the machine (each in a virtual
# environment of its own under build/wheels; see scripts/wheels.sh) and
# against the sanitizer build, then the short reliability runs (fault
# injection, crash harness, concurrency) and a short run of every fuzz target.
# Set ORVI_SKIP_SANITIZE=1 to leave out the sanitizer builds and
# ORVI_SKIP_PYTHONS=1 to leave out the other CPythons. Longer runs have their
# own commands: scripts/reliability.sh --long, scripts/fuzz.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
JOBS=${JOBS:-2}
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

bash scripts/setup.sh

echo "== core tests (release)"
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVI_BUILD_TESTS=ON -DORVI_BUILD_PYTHON=ON -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
cmake --build build/test -j"$JOBS"
ctest --test-dir build/test --output-on-failure -j"$JOBS"

echo "== install the module"
"$PY" -m pip install -q --no-build-isolation .

echo "== python tests (installed module)"
(cd tests/python && "$PY" -m pytest -q -p no:cacheprovider .)

echo "== benchmark harness checks"
"$PY" -m pytest -q -p no:cacheprovider bench/tests

echo "== type stub matches the module"
(cd tests/python && "$PY" -m mypy.stubtest orvi --allowlist stubtest_allowlist.txt)

echo "== reference-leak check"
"$PY" tests/python/leak_check.py

if [ "${ORVI_SKIP_PYTHONS:-0}" != 1 ]; then
  # A release missing from the machine is reported, not a failure; a failing
  # build, smoke test or test suite is.
  echo "== python tests on the oldest and the newest supported CPython found"
  PYTHON="$PY" JOBS="$JOBS" bash scripts/wheels.sh --suite --oldest-newest --allow-missing
fi

if [ "${ORVI_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== core and python tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVI_SANITIZE=ON \
    -DORVI_BUILD_TESTS=ON -DORVI_BUILD_PYTHON=ON -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
  cmake --build build/asan -j"$JOBS"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j"$JOBS"
  asan_lib=$(g++ -print-file-name=libasan.so)
  # The table tests drive pyarrow's own native code, which ends the process
  # without a word under the preloaded sanitizer runtime; they run above
  # against the installed module and on the other CPythons.
  (cd tests/python && LD_PRELOAD="$asan_lib" ASAN_OPTIONS=detect_leaks=0 \
    PYTHONPATH="$PWD/../../build/asan" "$PY" -m pytest -q -p no:cacheprovider \
    --ignore=test_tables.py .)
fi
echo "== reliability: storage fault loops, crash harness, concurrency (short run)"
bash scripts/reliability.sh

echo "== fuzz targets (short run: 30 s each)"
bash scripts/fuzz.sh 30

echo "== all tests passed"
