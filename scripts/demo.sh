#!/usr/bin/env bash
# Builds and installs orvi, then runs the demo: a graph in a file database,
# queried and traversed.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
bash scripts/setup.sh
"$PY" -m pip install -q --no-build-isolation .
cd "$(mktemp -d)"
"$PY" "$OLDPWD/examples/demo.py" demo.db
