#!/usr/bin/env bash
# Bounded fuzz runs of every target, each judged by its exit status:
#
#   bash fuzz/run.sh [SECONDS per target]
#
# Builds brevix with clang for fuzzing (BREVIX_FUZZ: libFuzzer coverage,
# AddressSanitizer and UBSan in the core and the extension modules) into its
# own virtual environment, build/fuzz-venv (kept between runs, so rebuilds
# are incremental; BREVIX_FUZZ_VENV names another place). Then it runs the
# atheris harnesses on that build, with atheris's sanitizer and libFuzzer
# runtime preloaded so that the native code's edges guide the fuzzer, and
# the native libFuzzer target core_fuzzer (fuzz/native). Each target starts
# from its seed corpus, fuzz/corpus/NAME (small, in the repository), copied
# to a scratch directory: what a run finds is not kept. Crash reproducers go
# to fuzz/ (ignored by git), where they stay.
#
# BREVIX_FUZZ_TARGETS narrows the run (names as listed below); with
# BREVIX_FUZZ_PYTHON set, the harnesses run on that interpreter's brevix and
# nothing is built (native targets are then skipped).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=${BREVIX_FUZZ_TARGETS:-fuzz_boundary.py fuzz_core.py fuzz_rank.py core_fuzzer}
venv=${BREVIX_FUZZ_VENV:-$PWD/build/fuzz-venv}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The boundary harness writes files; they go to the scratch directory.
export BREVIX_FUZZ_WORKDIR="$scratch/files"

# clang with libFuzzer and the sanitizer runtimes (Debian's packages).
ensure_clang() {
    local probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
    if command -v clang++ >/dev/null &&
        echo "$probe" | clang++ -x c++ -fsanitize=fuzzer,address - -o "$scratch/probe" 2>/dev/null; then
        return 0
    fi
    echo "== installing clang and its sanitizer runtimes"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
}

build() {
    ensure_clang
    python -m venv --system-site-packages "$venv"
    echo "== building brevix for fuzzing in $venv"
    CC=clang CXX=clang++ BREVIX_FUZZ=ON BREVIX_WERROR=ON "$venv/bin/python" -m pip install -q \
        -Cbuild-dir="$venv/build" .
    "$venv/bin/python" -c "import atheris" 2>/dev/null || "$venv/bin/python" -m pip install -q atheris
}

if [ -n "${BREVIX_FUZZ_PYTHON:-}" ]; then
    python=$BREVIX_FUZZ_PYTHON
    preload=
else
    build
    python=$venv/bin/python
    preload=$("$python" -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')
fi

failed=()
for target in $targets; do
    corpus="$scratch/corpus-$target"
    mkdir -p "$corpus" "$BREVIX_FUZZ_WORKDIR"
    if [ -d "fuzz/corpus/$target" ]; then cp -r "fuzz/corpus/$target/." "$corpus"; fi
    options=(-max_total_time="$seconds" -rss_limit_mb=4096 -artifact_prefix="$PWD/fuzz/"
             -print_final_stats=1 "$corpus")
    case $target in
        *.py)
            command=(env ${preload:+LD_PRELOAD="$preload"} "$python" "fuzz/$target" "${options[@]}") ;;
        *)
            if [ -n "${BREVIX_FUZZ_PYTHON:-}" ]; then echo "== $target skipped (nothing built)"; continue; fi
            command=("$venv/build/$target" -max_len=512 "${options[@]}") ;;
    esac
    echo "== $target for ${seconds}s"
    log="$scratch/$target.log"
    status=0
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "${command[@]}" >"$log" 2>&1 || status=$?
    # The summary is for reading; the exit status alone decides.
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|stat::number_of_executed_units' "$log" || true
    if [ "$status" -ne 0 ]; then
        tail -n 60 "$log"
        echo "== $target FAILED (exit status $status)"
        failed+=("$target")
    fi
done
if [ "${#failed[@]}" -ne 0 ]; then
    echo "fuzz targets failed: ${failed[*]}"
    exit 1
fi
