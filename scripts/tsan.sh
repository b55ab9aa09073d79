#!/usr/bin/env bash
# Builds the core with ThreadSanitizer together with
# tests/native/concurrent_readers.cpp and runs it: const calls (encode,
# encodeCorpus, decode) from several threads on one tokenizer must not race.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
core=src/brevix/cpp
sources=$(ls "$core"/*.cpp)
g++ -std=c++17 -O1 -g -fsanitize=thread -pthread -I"$core" \
    tests/native/concurrent_readers.cpp $sources -o "$out/concurrent_readers"
TSAN_OPTIONS=halt_on_error=1 "$out/concurrent_readers"
