#!/usr/bin/env bash
# Builds brevix for each supported CPython other than the default one and
# runs the suite there (without the optional numpy and mypy, whose tests
# skip). The interpreters are BREVIX_OTHER_PYTHONS (space-separated paths),
# or python3.12 and python3.13 from PATH or pyenv. A supported version that
# cannot be found fails the run: it would otherwise go untested in silence.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD/build/other-pythons  # ignored by git; kept for incremental rebuilds

# The first interpreter of this version that actually runs (a pyenv shim on
# PATH may name a version that is not selected).
find_python() {
  local version=$1 candidate
  for candidate in $(command -v "python$version" 2>/dev/null) \
      $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/"python$version" \
        2>/dev/null | sort -rV); do
    if "$candidate" -c 'import sys' >/dev/null 2>&1; then
      echo "$candidate"
      return 0
    fi
  done
  echo "test-other-pythons: no working python$version found (set BREVIX_OTHER_PYTHONS)" >&2
  return 1
}

if [ -n "${BREVIX_OTHER_PYTHONS:-}" ]; then
  read -r -a pythons <<<"$BREVIX_OTHER_PYTHONS"
else
  python312=$(find_python 3.12)
  python313=$(find_python 3.13)
  pythons=("$python312" "$python313")
fi

for python in "${pythons[@]}"; do
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv=$root/venv-$version
  echo "== CPython $version ($python)"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q pytest hypothesis "regex==2026.5.9"
  BREVIX_WERROR=ON "$venv/bin/python" -m pip install -q -Cbuild-dir="$root/build-$version" .
  # From outside the source tree, so the installed package is the one imported.
  (cd tests && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
done
