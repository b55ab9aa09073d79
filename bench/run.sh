#!/usr/bin/env bash
# One command for the benchmark: makes a virtual environment with brevix and
# its peers (tokenizers, sentencepiece, tiktoken, bpe-openai and numpy from PyPI), then runs
# bench/bench.py with the given arguments. bench.py ends with the small-calls
# table (bench/small_calls.py; it can also be run alone).
#
#   bash bench/run.sh            # 1, 10 and 100 MB corpora (long)
#   bash bench/run.sh --quick    # a few seconds
#   bash bench/run.sh --large [--sizes MB ...] [--merges N]
#                                # only the large training run
#                                # (bench/large_training.py: 1 GB, 100 MB)
#   bash bench/run.sh --serving [--quick] [--mb N] [--rounds N]
#                                # brevix.Tokenizer's serving calls on cl100k
#                                # against tiktoken and HF (bench/serving.py)
#   bash bench/run.sh --train-pieces [--quick] [--sizes MB ...] [--trainers ...]
#                                # GPT-style training against HF and rustbpe
#                                # (bench/train_pieces.py)
#   bash bench/run.sh --standard [--quick] [...]
#                                # only standard encoding against tiktoken and
#                                # bpe-openai (bench/encode_standard.py)
#
# The full run (no arguments) ends with bench/encode_standard.py. Each script
# replaces only its own sections of bench/RESULTS.md (bench/results_md.py).
#
# BREVIX_BENCH_VENV picks the environment (default /tmp/venv-bench). A peer
# that fails to install is left out here and reported as "not installed".
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${BREVIX_BENCH_VENV:-/tmp/venv-bench}"
if [[ ! -x "$venv/bin/python" ]]; then
    python3 -m venv "$venv"
fi
py="$venv/bin/python"
"$py" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
for peer in tokenizers sentencepiece tiktoken rustbpe bpe-openai numpy; do
    if ! "$py" -m pip install -q "$peer"; then
        echo "bench: could not install $peer; it will be reported as not installed" >&2
    fi
done
CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" "$py" -m pip install -q .
case "${1:-}" in
    --large) exec "$py" bench/large_training.py "${@:2}" ;;
    --serving) exec "$py" bench/serving.py "${@:2}" ;;
    --train-pieces) exec "$py" bench/train_pieces.py "${@:2}" ;;
esac
if [[ "${1:-}" == "--standard" ]]; then
    BREVIX_BENCH_COMMAND="bash bench/run.sh $*" exec "$py" bench/encode_standard.py "${@:2}"
fi
if [[ $# -eq 0 ]]; then
    BREVIX_BENCH_COMMAND="bash bench/run.sh" "$py" bench/bench.py
    BREVIX_BENCH_COMMAND="bash bench/run.sh" exec "$py" bench/encode_standard.py
fi
BREVIX_BENCH_COMMAND="bash bench/run.sh $*" exec "$py" bench/bench.py "$@"
