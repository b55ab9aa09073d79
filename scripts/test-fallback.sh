#!/usr/bin/env bash
# Builds brevix with BREVIX_KNOWN_LAYOUT=OFF, the build every CPython whose
# internal layouts brevix does not know gets (3.14 and later): public C API
# only, traceback entries with the lines the interpreter derives, every id
# read by value. Then runs the whole suite on it, so the fallback is tested
# on the interpreters installed here. Its own virtual environment
# (build/fallback-venv, ignored by git; BREVIX_FALLBACK_VENV overrides) keeps
# it apart from the default build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/ensure-locale.sh
venv=${BREVIX_FALLBACK_VENV:-$PWD/build/fallback-venv}
python -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
# Read by the build and by tests/test_interpreter_layouts.py.
export BREVIX_KNOWN_LAYOUT=OFF
BREVIX_WERROR=ON "$venv/bin/python" -m pip install -q -Cbuild-dir="$PWD/build/fallback-build" \
  ".[test,peers]"
"$venv/bin/python" -c 'import brevix._internal as i
print("fallback build: known layout", i.known_layout(), "- exact traceback lines", i.exact_tracebacks())
assert not i.known_layout(), "BREVIX_KNOWN_LAYOUT=OFF did not reach the build"'
# From outside the source tree, so the installed package is the one imported.
(cd tests && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
