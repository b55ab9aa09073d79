"""Standard byte-pair encoding (brevix::bpe) on one thread, with OpenAI's
cl100k_base and o200k_base tables (the tiktoken files bpe_openai ships):

- encoding a real-text corpus kept whole (one piece, as an unsplit model
  encodes), piece by piece (pieces cut beforehand with tiktoken's pattern
  by the `regex` module; only the encoding is timed) and split by brevix's
  own splitter for the pattern (splitting and encoding timed), next to
  tiktoken's encode_ordinary on one thread (its own pattern and regex
  engine);
- decoding the ids back;
- the worst cases of one long piece ('a' * n, random letters, the corpus with
  its whitespace removed): CPU time as n doubles, and the growth per doubling;
- recovering the merges from the tokens by rank (merges_from_ranks).

Times are this thread's CPU time (which other load on the machine disturbs
less than the wall clock), the best of a few runs of the core call, Python
conversions excluded; tiktoken's is the wall time of encode_ordinary.
Prints a Markdown report.

    python bench/bpe_encode.py [--size MB] [--quick] [--corpus-dir DIR]
"""

from __future__ import annotations

import argparse
import base64
import gzip
import os
import random
import re
import sys
import time
from pathlib import Path

from brevix import PATTERNS as BREVIX_PATTERNS, _internal

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import corpus  # noqa: E402

# tiktoken's patterns for its files, as brevix names them (the tests hold
# brevix's constants equal to tiktoken's).
PATTERNS = {"cl100k_base": BREVIX_PATTERNS["cl100k"], "o200k_base": BREVIX_PATTERNS["o200k"]}


def tiktoken_tokens(name: str) -> list[bytes] | None:
    try:
        import bpe_openai
    except ImportError:
        return None
    path = Path(bpe_openai.__file__).parent / "data" / f"{name}.tiktoken.gz"
    if not path.exists():
        return None
    ranks = {}
    with gzip.open(path, "rb") as f:
        for line in f:
            if line.strip():
                token, rank = line.split()
                ranks[int(rank)] = base64.b64decode(token)
    return [ranks[i] for i in range(len(ranks))]


def best_of(runs: int, call, clock=time.perf_counter):
    best, value = None, None
    for _ in range(runs):
        start = clock()
        value = call()
        elapsed = clock() - start
        best = elapsed if best is None else min(best, elapsed)
    return best, value


def piece_ends(text: bytes, pattern: str) -> list[int] | None:
    try:
        import regex
    except ImportError:
        return None
    ends, at = [], 0
    for piece in regex.findall(pattern, text.decode("utf-8")):
        at += len(piece.encode("utf-8"))
        ends.append(at)
    return ends


def tiktoken_rate(name: str, tokens: list[bytes], text: bytes, runs: int) -> str:
    try:
        import tiktoken
    except ImportError:
        return "not installed"
    enc = tiktoken.Encoding(name, pat_str=PATTERNS[name],
                            mergeable_ranks={t: i for i, t in enumerate(tokens)}, special_tokens={})
    as_text = text.decode("utf-8")
    seconds, _ = best_of(runs, lambda: enc.encode_ordinary(as_text))
    return f"{len(text) / seconds / 1e6:.1f} MB/s"


def encoding_rows(name: str, tokens: list[bytes], text: bytes, runs: int) -> list[str]:
    seconds, ranked = best_of(runs, lambda: _internal.merges_from_ranks_timed(tokens, 1))
    byte_ids, merges = _internal.merges_from_ranks(tokens)
    encoder = _internal.bpe_encoder(byte_ids, merges)
    mb = len(text) / 1e6
    rows = [f"| {name} | merges_from_ranks ({len(tokens)} tokens) | {ranked:.3f} s | |"]
    whole, count = best_of(runs, lambda: _internal.bpe_count(encoder, text), time.thread_time)
    rows.append(f"| {name} | encode, text whole | {mb / whole:.1f} MB/s | {count} ids |")
    ends = piece_ends(text, PATTERNS[name])
    if ends is None:
        rows.append(f"| {name} | encode, by piece | regex not installed | |")
    else:
        by_piece, count = _internal.bpe_count_pieces(encoder, text, ends, runs)
        rows.append(f"| {name} | encode, by piece ({len(ends)} pieces) | {mb / by_piece:.1f} MB/s | {count} ids |")
    try:
        split = _internal.bpe_encoder(byte_ids, merges, pattern=PATTERNS[name])
    except ValueError as error:
        rows.append(f"| {name} | encode, split by brevix | pattern refused: {error} | |")
    else:
        with_pattern, count = best_of(runs, lambda: _internal.bpe_count(split, text), time.thread_time)
        rows.append(f"| {name} | encode, split by brevix (split + encode) | {mb / with_pattern:.1f} MB/s | {count} ids |")
    rows.append(f"| {name} | tiktoken encode_ordinary, 1 thread | {tiktoken_rate(name, tokens, text, runs)} | |")
    ids = _internal.bpe_encode(encoder, text)
    decode_seconds, decoded = _internal.bpe_decode_timed(encoder, ids, max(runs, 3))
    assert decoded == text
    rows.append(f"| {name} | decode | {len(text) / decode_seconds / 1e9:.2f} GB/s | |")
    return rows


def worst_case_rows(tokens: list[bytes], text: bytes, sizes: list[int], runs: int) -> list[str]:
    byte_ids, merges = _internal.merges_from_ranks(tokens)
    encoder = _internal.bpe_encoder(byte_ids, merges)
    rng = random.Random(1)
    longest = max(sizes)
    squeezed = re.sub(rb"\s+", b"", text)
    inputs = {
        "'a' * n": b"a" * longest,
        "random letters": bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(longest)),
        "corpus without whitespace": (squeezed * (longest // max(len(squeezed), 1) + 1))[:longest],
    }
    rows = []
    for label, data in inputs.items():
        previous = None
        for n in sizes:
            seconds, _ = best_of(runs, lambda: _internal.bpe_count(encoder, data[:n]), time.thread_time)
            growth = f"{seconds / previous:.2f}x" if previous else ""
            rows.append(f"| {label} | {n} | {seconds * 1e3:.1f} ms | {n / seconds / 1e6:.1f} MB/s | {growth} |")
            previous = seconds
    return rows


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--size", type=float, default=10, help="corpus size in MB (default 10)")
    p.add_argument("--quick", action="store_true", help="a small corpus and small worst cases, one run each")
    p.add_argument("--corpus-dir", type=Path, default=Path("/tmp/brevix-bench-corpora"))
    args = p.parse_args()
    size = 0.2 if args.quick else args.size
    runs = 1 if args.quick else 3
    sizes = [2**k for k in (range(12, 15) if args.quick else range(17, 22))]
    path, _ = corpus.ensure(int(size * corpus.MB), args.corpus_dir)
    text = path.read_bytes()
    print(f"# brevix::bpe encoding, one thread ({len(text) / 1e6:.1f} MB of real text)\n")
    print("| table | what | speed | |\n|---|---|---|---|")
    found = {}
    for name in ("cl100k_base", "o200k_base"):
        tokens = tiktoken_tokens(name)
        if tokens is None:
            print(f"| {name} | - | bpe_openai's file not installed | |")
            continue
        found[name] = tokens
        for row in encoding_rows(name, tokens, text, runs):
            print(row)
    if "cl100k_base" in found:
        print("\n## One long piece (cl100k_base): CPU time as n doubles\n")
        print("| input | n (bytes) | time | speed | growth |\n|---|---|---|---|---|")
        for row in worst_case_rows(found["cl100k_base"], text, sizes, runs):
            print(row)


if __name__ == "__main__":
    main()
