#!/usr/bin/env bash
# Builds the core with ThreadSanitizer together with each program of
# tests/native and runs it: const calls (encode, encodeCorpus, decode) from
# several threads on one tokenizer, training's build on several threads,
# brevix::bpe's text encoder used from several threads, counting pieces on
# several threads, and one engine (the state behind a brevix.Tokenizer)
# encoded, decoded, trained, copied and read out from eight threads at once
# must not race.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
core=src/brevix/cpp
sources=$(ls "$core"/*/*.cpp)
for program in concurrent_readers stretched_build concurrent_bpe_encode piece_counting concurrent_engine in_order_pipeline; do
    g++ -std=c++17 -O1 -g -fsanitize=thread -pthread -I"$core" \
        "tests/native/$program.cpp" $sources -o "$out/$program"
    TSAN_OPTIONS=halt_on_error=1 "$out/$program"
done
