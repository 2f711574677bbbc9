#!/usr/bin/env bash
# Prepares this checkout for building orvi, on a fresh Debian or Ubuntu
# machine as on a developer's. Two sets of tools:
#   demo   what building and installing the module needs: a C++20 compiler,
#          and scikit-build-core, CMake and Ninja in the Python environment;
#   test   the same, plus GoogleTest and the Python packages of the tests
#          (pytest, hypothesis, mypy, numpy, scipy, networkx; pandas and pyarrow
#          where a wheel exists for the interpreter).
#
#   bash scripts/setup.sh [demo|test]   by hand (default: test)
#   . scripts/setup.sh demo|test        from another script (demo.sh, test.sh,
#                                       reliability.sh, wheels.sh), which then
#                                       runs in the environment
#   . scripts/setup.sh functions        only defines the functions below
#                                       (fuzz.sh uses orvi_apt_install)
#
# The Python environment: when $PYTHON (default python3) runs inside a
# virtual environment, that one is used. Otherwise the checkout gets one of
# its own, .venv (or $ORVI_VENV), made from $PYTHON and made anew when it was
# made from another interpreter, since the system's interpreter may refuse
# packages (PEP 668 on Debian 12 and Ubuntu 23.04 and later). Apt packages
# (the compiler, GoogleTest, Debian's venv and header packages for its own
# interpreter) are installed as root, or through sudo. Safe to run again:
# it installs only what is missing.
#
# After it, when sourced: PYTHON and PY name the environment's interpreter,
# its bin folder leads PATH (its cmake, ninja, pytest, the `orvi` command),
# and orvi_install_checkout builds and installs the checkout into it.

orvi_setup_main() {
  local what=${1:-test} root py
  case "$what" in
    demo|test) ;;
    *) echo "usage: bash scripts/setup.sh [demo|test]" >&2; return 2 ;;
  esac
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
  py=$(command -v "${PYTHON:-python3}") ||
    { echo "setup: no Python interpreter '${PYTHON:-python3}'" >&2; return 1; }

  local need_apt=()
  command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
  if [ "$what" = test ] && ! [ -f /usr/include/gtest/gtest.h ]; then
    need_apt+=(libgtest-dev)
  fi
  # Debian ships ensurepip and the C headers of its own interpreter apart.
  local ver
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])') || return 1
  if ! "$py" -c 'import ensurepip, venv' >/dev/null 2>&1; then
    orvi_system_python "$py" || {
      echo "setup: $py cannot make virtual environments (no ensurepip); use another interpreter" >&2
      return 1
    }
    need_apt+=("python$ver-venv")
  fi
  if ! orvi_has_headers "$py"; then
    orvi_system_python "$py" || {
      echo "setup: $py has no C headers (Python.h); use another interpreter" >&2
      return 1
    }
    need_apt+=("python$ver-dev")
  fi
  [ "${#need_apt[@]}" -eq 0 ] || orvi_apt_install "${need_apt[@]}" || return 1

  local env
  if "$py" -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)'; then
    env=$("$py" -c 'import sys; print(sys.prefix)')
  else
    env=${ORVI_VENV:-$root/.venv}
    orvi_make_venv "$py" "$env" || return 1
  fi
  py=$env/bin/python

  local mods=(scikit_build_core cmake ninja)
  [ "$what" = demo ] || mods+=(pytest hypothesis mypy numpy scipy networkx tqdm)
  local pkgs=() mod
  for mod in "${mods[@]}"; do
    "$py" -I -c "import $mod" >/dev/null 2>&1 || pkgs+=("${mod//_/-}")
  done
  if [ "${#pkgs[@]}" -gt 0 ]; then
    echo "== setup: installing ${pkgs[*]} into $env"
    "$py" -m pip install -q "${pkgs[@]}" || return 1
  fi
  if [ "$what" = test ]; then
    # Optional for orvi: the tests that need them skip without them. Taken
    # only as wheels, never built from source here.
    for mod in pandas pyarrow; do
      "$py" -I -c "import $mod" >/dev/null 2>&1 ||
        "$py" -m pip install -q --only-binary=:all: "$mod" ||
        echo "setup: no $mod wheel for this Python; the tests that need it are skipped"
    done
  fi
  export PYTHON=$py PY=$py VIRTUAL_ENV=$env PATH=$env/bin:$PATH
}

# True when $1 is the distribution's own interpreter, whose missing parts
# come as apt packages.
orvi_system_python() {
  case "$(readlink -f "$1")" in
    /usr/bin/python3*) command -v apt-get >/dev/null 2>&1 ;;
    *) return 1 ;;
  esac
}

orvi_has_headers() {
  "$1" -c 'import os, sys, sysconfig
sys.exit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'
}

# Installs Debian packages, as root or through sudo.
orvi_apt_install() {
  local sudo=
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || {
      echo "setup: needs the packages $* (apt-get install them as root)" >&2
      return 1
    }
    sudo=sudo
  fi
  echo "== setup: apt-get install $*"
  $sudo apt-get update -qq &&
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

# Names the interpreter behind $1 (a virtual environment's resolved to its
# base) and its version: what a made environment or build folder belongs to.
orvi_python_id() {
  "$1" -c 'import os, sys; print(os.path.realpath(sys.executable), sys.version.split()[0])'
}

# Makes the virtual environment $2 from interpreter $1, unless it is there
# already and was made from that interpreter.
orvi_make_venv() {
  local py=$1 env=$2 base
  base=$(orvi_python_id "$py")
  if [ -x "$env/bin/python" ] && [ "$(cat "$env/orvi-base.txt" 2>/dev/null)" = "$base" ]; then
    return 0
  fi
  echo "== setup: making the virtual environment $env (from $py)"
  rm -rf "$env"
  "$py" -m venv "$env" && echo "$base" >"$env/orvi-base.txt"
}

# Builds this checkout and installs it into the environment. The CMake
# build folder build/install is kept, so that the next install recompiles
# only what changed; one made for another interpreter is started anew.
orvi_install_checkout() {
  local root dir=build/install base
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  base=$(orvi_python_id "$PY")
  if [ "$(cat "$root/$dir/python.txt" 2>/dev/null)" != "$base" ]; then
    rm -rf "${root:?}/$dir"
    mkdir -p "$root/$dir"
    echo "$base" >"$root/$dir/python.txt"
  fi
  CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2} "$PY" -m pip install -q --no-build-isolation \
    --config-settings=build-dir="$root/$dir" "$root"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  orvi_setup_main "$@"
  echo "setup: ready; the environment is $VIRTUAL_ENV (. $VIRTUAL_ENV/bin/activate to use it)"
elif [ "${1:-}" != functions ]; then
  orvi_setup_main "$@"
fi
