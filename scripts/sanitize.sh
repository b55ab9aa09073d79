#!/usr/bin/env bash
# Builds brevix with AddressSanitizer and UndefinedBehaviorSanitizer into its
# own virtual environment and runs the whole test suite under it. The
# sanitizer runtime is preloaded into the interpreter, which itself is not
# instrumented. Leak detection is off: CPython keeps allocations alive at
# exit by design; leaks are checked separately by
# tests/test_resources.py::test_repeated_calls_do_not_leak.
#
# The virtual environment (and its build directory) lives under the checkout,
# in build/asan-venv (ignored by git), unless BREVIX_SANITIZE_VENV names
# another place; it is kept between runs so that rebuilds are incremental.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${BREVIX_SANITIZE_VENV:-$PWD/build/asan-venv}
python -m venv --system-site-packages "$venv"
BREVIX_SANITIZE=ON BREVIX_WERROR=ON "$venv/bin/python" -m pip install -q \
    -Cbuild-dir="$venv/build" ".[test]"
export LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:handle_segv=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export BREVIX_SANITIZED=1
# Run from outside the source tree so the instrumented installed package is
# the one imported.
cd tests
"$venv/bin/python" -m pytest -q -p no:cacheprovider . "$@"
