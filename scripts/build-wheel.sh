#!/usr/bin/env bash
# Builds brevix's sdist and, from that sdist alone, its wheel (python -m
# build, without network access to any package index: the sdist must build
# from its own contents), repairs the wheel to a manylinux tag with
# auditwheel and patchelf, then installs the repaired wheel into a fresh
# virtual environment whose PATH has no compiler, CMake or make, and runs
# `python -m brevix demo` and scripts/wheel-smoke.py there.
#
# Output in build/wheel (ignored by git; BREVIX_WHEEL_DIR overrides):
# dist/ (the sdist and the wheel as built) and wheelhouse/ (the repaired
# wheel). PYTHON names the interpreter to build for (default: python3).
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
out=${BREVIX_WHEEL_DIR:-$PWD/build/wheel}
python=${PYTHON:-python3}
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -rf "$out/dist" "$out/wheelhouse" "$out/smoke-venv" "$out/no-tools"

echo "== tools"
"$python" -m venv "$out/tools-venv"
tools=$out/tools-venv/bin
"$tools/python" -m pip install -q --upgrade pip
"$tools/python" -m pip install -q build "scikit-build-core>=0.10" auditwheel patchelf

echo "== sdist, then the wheel from the sdist (no package index)"
# --no-isolation: the build requirements come from the tools venv, so the
# only sources the wheel build sees are the sdist's.
PIP_NO_INDEX=1 "$tools/python" -m build --no-isolation --outdir "$out/dist" "$src"
sdist=$(ls "$out"/dist/brevix-*.tar.gz)
wheel=$(ls "$out"/dist/brevix-*.whl)
# The sdist holds what a build and a reader need.
members=$(tar -tzf "$sdist")
for member in CMakeLists.txt pyproject.toml README.md CHANGELOG.md cmake/extension.map \
    src/brevix/__init__.py src/brevix/cpp/exact/tokenizer.cpp src/brevix/bindings/convert.cpp \
    src/brevix/data/sample.txt scripts/ensure-locale.sh; do
  grep -qx "brevix-[^/]*/$member" <<<"$members" || {
    echo "build-wheel: $member is missing from $(basename "$sdist")" >&2; exit 1; }
done

echo "== auditwheel"
PATH="$tools:$PATH" "$tools/auditwheel" repair --wheel-dir "$out/wheelhouse" "$wheel"
repaired=$(ls "$out"/wheelhouse/brevix-*.whl)
PATH="$tools:$PATH" "$tools/auditwheel" show "$repaired"
case $(basename "$repaired") in
  *manylinux*) ;;
  *) echo "build-wheel: $(basename "$repaired") has no manylinux tag" >&2; exit 1 ;;
esac

echo "== install and run without build tools"
"$python" -m venv "$out/smoke-venv"
venv=$out/smoke-venv
# PATH: the venv's bin and a folder with only the tools the run needs (none
# of them builds anything).
mkdir -p "$out/no-tools"
for tool in sh env; do ln -s "$(command -v "$tool")" "$out/no-tools/$tool"; done
bare_path="$venv/bin:$out/no-tools"
# --only-binary: brevix and its dependencies come as wheels or not at all.
env PATH="$bare_path" "$venv/bin/python" -m pip install -q --only-binary=:all: "$repaired"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp scripts/wheel-smoke.py "$work/"
(cd "$work" && env PATH="$bare_path" "$venv/bin/python" -m brevix demo)
(cd "$work" && env PATH="$bare_path" "$venv/bin/python" wheel-smoke.py "$repaired")
echo "build-wheel: $(basename "$sdist") and $(basename "$repaired") in $out"
