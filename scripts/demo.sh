#!/usr/bin/env bash
# Builds and installs orvi, then runs the demo: a graph in a file database,
# queried and traversed. Installs only what the build needs (scripts/setup.sh
# demo), into the checkout's virtual environment .venv unless $PYTHON already
# runs in one; `. .venv/bin/activate` afterwards to use the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh demo
echo "== building orvi and installing it into $VIRTUAL_ENV"
orvi_install_checkout
cd "$(mktemp -d)"
"$PY" "$OLDPWD/examples/demo.py" demo.db
