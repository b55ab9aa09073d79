#!/usr/bin/env bash
# Builds the documentation site into site/ with `mkdocs build --strict` (any
# warning, such as a broken link or a reference mkdocstrings cannot resolve,
# fails the build). First draws the benchmark plots from bench/RESULTS.md
# (bench/plots.py); the command-line page is rendered from brevix's own
# argparse parser during the build (docs/hooks/cli_reference.py), so brevix
# is installed into the docs environment: the wheel named by BREVIX_DOCS_WHEEL
# (as scripts/build-wheel.sh leaves it), or the checkout.
#
# The environment is build/docs-venv (ignored by git; BREVIX_DOCS_VENV
# overrides), with mkdocs-material, mkdocstrings[python] and matplotlib.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${BREVIX_DOCS_VENV:-$PWD/build/docs-venv}
python -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q "mkdocs>=1.6" "mkdocs-material>=9.5" \
  "mkdocstrings[python]>=0.26" "matplotlib>=3.8"
if [ -n "${BREVIX_DOCS_WHEEL:-}" ]; then
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$BREVIX_DOCS_WHEEL"
  "$venv/bin/python" -m pip install -q "$BREVIX_DOCS_WHEEL"
else
  "$venv/bin/python" -m pip install -q -Cbuild-dir="$PWD/build/docs-build" .
fi
"$venv/bin/python" bench/plots.py --out docs/assets/bench
NO_MKDOCS_2_WARNING=1 "$venv/bin/python" -m mkdocs build --strict --site-dir site
echo "build-docs: site/index.html"
