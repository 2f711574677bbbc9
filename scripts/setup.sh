#!/usr/bin/env bash
# Installs what building and testing orvi needs on a fresh Debian machine:
# a C++20 compiler, CMake and Ninja, GoogleTest, and the Python packages the
# tests use. Safe to run again: it installs only what is missing.
set -euo pipefail

need_apt=()
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
if [ "${#need_apt[@]}" -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
  else
    sudo apt-get update -qq
    sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
  fi
fi

PY=${PYTHON:-python3}
py_need=()
for mod in cmake ninja scikit_build_core pytest hypothesis mypy numpy networkx tqdm; do
  "$PY" -c "import $mod" >/dev/null 2>&1 || py_need+=("$mod")
done
if [ "${#py_need[@]}" -gt 0 ]; then
  pkgs=()
  for mod in "${py_need[@]}"; do
    case "$mod" in
      scikit_build_core) pkgs+=(scikit-build-core) ;;
      *) pkgs+=("$mod") ;;
    esac
  done
  "$PY" -m pip install -q "${pkgs[@]}"
fi

# pandas and pyarrow are optional for orvi, and the tests that need them
# skip without them; install them where a wheel exists for this
# interpreter (never build them from source here).
for mod in pandas pyarrow; do
  if ! "$PY" -c "import $mod" >/dev/null 2>&1; then
    "$PY" -m pip install -q --only-binary=:all: "$mod" \
      || echo "setup: no $mod wheel for this Python; the tests that need it will be skipped"
  fi
done
