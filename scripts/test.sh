#!/usr/bin/env bash
# Installs brevix with its test dependencies and runs the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/ensure-locale.sh
BREVIX_WERROR=ON python -m pip install -q ".[test,peers]"
python -m pytest -q tests
