#!/usr/bin/env bash
# Runs every test of orvi: the C++ core tests (a release build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build), then the Python
# tests against the installed module, against wheels built for the oldest
# and the newest supported CPython found on the machine (each in a virtual
# environment of its own under build/wheels; scripts/wheels.sh, which also
# builds the sdist and checks that pip installs it) and against the
# sanitizer build, then the short reliability runs (fault injection, crash
# harness, concurrency) and a short run of every fuzz target.
# It first installs what it needs (scripts/setup.sh test): into the
# checkout's virtual environment .venv, made from $PYTHON (default python3),
# unless $PYTHON already runs in a virtual environment.
# Set ORVI_SKIP_SANITIZE=1 to leave out the sanitizer builds and
# ORVI_SKIP_PYTHONS=1 to leave out the other CPythons. Longer runs have their
# own commands: scripts/reliability.sh --long, scripts/fuzz.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}
export JOBS

# Each stage prints its name when it starts; the end prints every stage's
# time, so that a slow stage shows in CI's log.
times=() stage_name="set-up" stage_started=$SECONDS
stage() {
  times+=("$(printf '%6d s  %s' $((SECONDS - stage_started)) "$stage_name")")
  stage_name=$1 stage_started=$SECONDS
  echo "== $1"
}

system_path=$PATH
. scripts/setup.sh test

stage "core tests (release)"
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVI_BUILD_TESTS=ON -DORVI_BUILD_PYTHON=ON -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build build/test -j"$JOBS"
ctest --test-dir build/test --output-on-failure -j"$JOBS"

stage "install the module into $VIRTUAL_ENV"
orvi_install_checkout

stage "python tests (installed module)"
(cd tests/python && "$PY" -m pytest -q -p no:cacheprovider .)

stage "benchmark harness checks"
"$PY" -m pytest -q -p no:cacheprovider bench/tests

stage "type stub matches the module"
(cd tests/python && "$PY" -m mypy.stubtest orvi --allowlist stubtest_allowlist.txt)

stage "reference-leak check"
"$PY" tests/python/leak_check.py

# The README's first command as a new user runs it: in a copy of the
# checkout without build/ and .venv, with the system's interpreter (which
# refuses pip installs on Debian 12), outside any virtual environment.
if [ -x /usr/bin/python3 ] && git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  stage "the demo in a fresh copy of the checkout with /usr/bin/python3"
  rm -rf build/fresh-copy
  mkdir -p build/fresh-copy
  git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - | tar -xf - -C build/fresh-copy
  env -u VIRTUAL_ENV -u PY PATH="$system_path" PYTHON=/usr/bin/python3 \
    bash build/fresh-copy/scripts/demo.sh
fi

if [ "${ORVI_SKIP_PYTHONS:-0}" != 1 ]; then
  # A release missing from the machine is reported, not a failure; a failing
  # build, smoke test or test suite is.
  stage "wheels and python tests on the oldest and the newest supported CPython found"
  bash scripts/wheels.sh --suite --oldest-newest --allow-missing
fi

if [ "${ORVI_SKIP_SANITIZE:-0}" != 1 ]; then
  stage "core and python tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVI_SANITIZE=ON \
    -DORVI_BUILD_TESTS=ON -DORVI_BUILD_PYTHON=ON -DPython_EXECUTABLE="$PY" >/dev/null
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
stage "reliability: storage fault loops, crash harness, concurrency (short run)"
bash scripts/reliability.sh

stage "fuzz targets (short run: 30 s each)"
bash scripts/fuzz.sh 30

stage "stage times"
printf '%s\n' "${times[@]}"
echo "== all tests passed in $((SECONDS / 60)) min $((SECONDS % 60)) s"
