#!/usr/bin/env python3
"""Small calls: time per call of fit, encode, encode_corpus and decode on
inputs of 1, 10 and 1,000 ids or bytes, against tokenizers that already hold
V = 0, 1,000, 50,000 and 250,000 merges, for the fast engine (what the public
methods run) and the straightforward one, side by side in the same run.

    python bench/small_calls.py [--quick] [--markdown FILE] [--json FILE]

Then the chain: 250,000 single-merge fit calls on two-id corpora, each
merging the newest id with a byte, and a decode of the top id.

The tables are the first 1,000 merges learned from the shipped sample text,
extended with random merges that never apply to it (built on bytes UTF-8
never uses), so every V does the same merging work and the table's size is
all that changes. Each call is timed alone and
the median is reported; fit adds one merge per call, so V drifts by the
number of calls timed (a few hundred). Nothing here judges a timing: ratios
are printed against the straightforward engine and against V = 1,000.
"""

from __future__ import annotations

import argparse
import ctypes
import json
import random
import statistics
import sys
import time
from importlib import resources
from pathlib import Path

from brevix import _internal
from brevix.tokenizer import PyBytePairTokenizer

VOCABS = (0, 1_000, 50_000, 250_000)
SIZES = (1, 10, 1_000)
OPS = ("fit", "encode", "encode_corpus", "decode")
ENGINES = ("fast", "straightforward")
TRAINED = 1_000
CHAIN = 250_000


def sample_text() -> bytes:
    return resources.files("brevix").joinpath("data/sample.txt").read_bytes()


def trained_merges(text: bytes) -> list[tuple[int, int, int]]:
    ids = base_ids(text)
    _, merges, _, _ = _internal.train(ids, 256 + TRAINED + 1, TRAINED)
    return merges


# Bytes that never occur in UTF-8 text (0xC0, 0xC1, 0xF8..0xFF) as base ids.
ABSENT = (-64, -63, -8, -7, -6, -5, -4, -3, -2, -1)


def merge_table(v: int, trained: list[tuple[int, int, int]]) -> list[tuple[int, int, int]]:
    """The trained merges, then merges that never apply to the sample text:
    (an earlier such merge or an absent byte, an absent byte), chosen at
    random, so expansions stay about ln(V) bytes long."""
    merges = list(trained[:v])
    seen = {(a, b) for a, b, _ in merges}
    rng = random.Random(v)
    absent_ids = list(ABSENT)
    while len(merges) < v:
        pair = (rng.choice(absent_ids), rng.choice(ABSENT))
        if pair not in seen:
            seen.add(pair)
            merges.append((pair[0], pair[1], 256 + len(merges)))
            absent_ids.append(merges[-1][2])
    return merges


def tokenizer_with(merges: list[tuple[int, int, int]]) -> PyBytePairTokenizer:
    tok = PyBytePairTokenizer()
    _internal.set_merges(tok, merges)
    return tok


def base_ids(piece: bytes) -> list[int]:
    return [b - 256 if b > 127 else b for b in piece]


def inputs(op: str, n: int, text: bytes, tok: PyBytePairTokenizer, rng: random.Random) -> object:
    """A piece of the sample text: bytes, base ids, or (decode) its first n tokens."""
    length = n * 8 if op == "decode" else n
    start = rng.randrange(0, len(text) - length)
    piece = text[start : start + length]
    if op == "encode":
        return piece
    if op == "decode":
        return _internal.encode_corpus_on(tok, base_ids(piece), "straightforward")[:n]
    return base_ids(piece)


def call(op: str, tok: PyBytePairTokenizer, arg: object, engine: str) -> None:
    if op == "fit":
        _internal.fit_on(tok, arg, 2**31 - 1, 1, engine)
    elif op == "encode":
        _internal.encode_on(tok, arg, engine)
    elif op == "encode_corpus":
        _internal.encode_corpus_on(tok, arg, engine)
    else:
        _internal.decode_on(tok, arg, engine)


def time_cell(op: str, n: int, v: int, engine: str, tok: PyBytePairTokenizer, text: bytes, calls: int) -> float:
    """Median seconds per call; each call timed alone on fresh input."""
    rng = random.Random(n * 7 + v)
    args = [inputs(op, n, text, tok, rng) for _ in range(calls)]
    times = []
    for arg in args:
        if op == "fit" and v == 0:
            tok = PyBytePairTokenizer()  # keep V = 0 for every call
        t0 = time.perf_counter()
        call(op, tok, arg, engine)
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def run_table(calls: int, vocabs: tuple[int, ...], trained: list[tuple[int, int, int]]) -> list[dict[str, object]]:
    text = sample_text()
    rows = []
    for v in vocabs:
        merges = merge_table(v, trained)
        toks = {engine: tokenizer_with(merges) for engine in ENGINES}
        for op in OPS:
            for n in SIZES:
                cell = {"op": op, "n": n, "v": v}
                # Interleave the engines so drifting machine load hits both alike.
                for _ in range(3):
                    for engine in ENGINES:
                        t = time_cell(op, n, v, engine, toks[engine], text, calls)
                        cell[engine] = min(cell.get(engine, t), t)
                rows.append(cell)
                print(f"  V={v:>7,} {op:<13} n={n:>5,}: fast {cell['fast'] * 1e6:9.2f} us, "
                      f"straightforward {cell['straightforward'] * 1e6:9.2f} us, "
                      f"fast/straightforward {cell['fast'] / cell['straightforward']:.2f}", flush=True)
    return rows


def run_chain(depth: int, right_leaning: bool = False) -> dict[str, object]:
    """depth single-merge fit calls, each on [newest id, byte], then decode the top."""
    tok = PyBytePairTokenizer()
    top = 97
    t0 = time.perf_counter()
    for i in range(depth):
        byte = 98 + i % 26
        _internal.fit_on(tok, [byte, top] if right_leaning else [top, byte], 2**31 - 1, 1)
        top = 256 + i
    decoded = _internal.decode_on(tok, [top])
    seconds = time.perf_counter() - t0
    return {"depth": depth, "seconds": seconds, "right_leaning": right_leaning,
            "ok": decoded == chain_bytes(depth, right_leaning)}


def chain_bytes(depth: int, right_leaning: bool) -> bytes:
    """What the top id of run_chain's tokenizer decodes to."""
    later = bytes(98 + i % 26 for i in range(depth))
    return later[::-1] + b"a" if right_leaning else b"a" + later


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def malloc_in_use() -> int | None:
    """Bytes the C allocator has handed out (glibc mallinfo2), or None."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def memory_per_merge(v: int, trained: list[tuple[int, int, int]]) -> dict[str, float] | None:
    """Bytes per merge of the tables (vocab, revVocab) and of the derived index."""
    merges = merge_table(v, trained)
    tok = PyBytePairTokenizer()
    before = malloc_in_use()
    _internal.set_merges(tok, merges)
    after = malloc_in_use()
    index = _internal.table_index_bytes(tok)
    if before is None or after is None or index is None:
        return None
    return {"v": v, "tables": (after - before - index) / v, "index": index / v}


def markdown(rows: list[dict[str, object]], chain: dict[str, object] | None, calls: int,
             memory: dict[str, float] | None = None) -> str:
    by = {(r["op"], r["n"], r["v"]): r for r in rows}
    vocabs = sorted({r["v"] for r in rows})
    lines = [
        "## Small calls",
        "",
        f"Median time per call in microseconds ({calls} calls per cell, best of 3 rounds), "
        "fast engine / straightforward engine on the same table, through the `_internal` "
        "`*_on` hooks (argument conversion included for both). fit runs one iteration "
        "with no size limit; decode takes the first n tokens of a piece of the sample text.",
        "",
        "| call | n | " + " | ".join(f"V = {v:,}" for v in vocabs) + " | worst fast/straightforward | fast V=250k / V=1k |",
        "|---|---:|" + "---:|" * len(vocabs) + "---:|---:|",
    ]
    for op in OPS:
        for n in SIZES:
            cells, worst = [], 0.0
            for v in vocabs:
                r = by[(op, n, v)]
                ratio = r["fast"] / r["straightforward"]
                worst = max(worst, ratio)
                cells.append(f"{r['fast'] * 1e6:.1f} / {r['straightforward'] * 1e6:.1f}")
            growth = ""
            if (op, n, 1_000) in by and (op, n, 250_000) in by:
                growth = f"{by[(op, n, 250_000)]['fast'] / by[(op, n, 1_000)]['fast']:.2f}x"
            lines.append(f"| {op} | {n:,} | " + " | ".join(cells) + f" | {worst:.2f}x | {growth} |")
    if memory is not None:
        lines += [
            "",
            f"Memory at V = {memory['v']:,} (glibc allocator, bytes per merge): the merge tables "
            f"{memory['tables']:.0f}, the index kept beside them {memory['index']:.0f} "
            f"({memory['index'] / memory['tables']:.0%} of the tables).",
        ]
    if chain is not None:
        lines += [
            "",
            f"Chain: {chain['depth']:,} single-merge `fit` calls on two-id corpora, then "
            f"`decode` of the top id: {chain['seconds']:.2f} s in all "
            f"({chain['seconds'] / 10:.2f}x the 10 s budget), decoded bytes "
            f"{'correct' if chain['ok'] else 'WRONG'}.",
        ]
    return "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="fewer calls, V up to 1,000, short chain")
    p.add_argument("--calls", type=int, default=None, help="calls timed per cell and round")
    p.add_argument("--no-chain", action="store_true")
    p.add_argument("--markdown", type=Path, help="write the table here")
    p.add_argument("--json", type=Path, help="write the raw figures here")
    args = p.parse_args(argv)
    calls = args.calls or (10 if args.quick else 100)
    vocabs = VOCABS[:2] if args.quick else VOCABS
    print("small calls (time per call):", flush=True)
    trained = trained_merges(sample_text())
    rows = run_table(calls, vocabs, trained)
    memory = memory_per_merge(vocabs[-1], trained)
    if memory is not None:
        print(f"memory per merge at V={memory['v']:,}: tables {memory['tables']:.0f} B, "
              f"index {memory['index']:.0f} B", flush=True)
    chain = None
    if not args.no_chain:
        chain = run_chain(10_000 if args.quick else CHAIN)
        print(f"chain of {chain['depth']:,}: {chain['seconds']:.2f} s, "
              f"{chain['seconds'] / 10:.2f}x the 10 s budget, ok={chain['ok']}", flush=True)
    text = markdown(rows, chain, calls, memory)
    if args.markdown:
        args.markdown.write_text(text)
    if args.json:
        args.json.write_text(json.dumps({"rows": rows, "chain": chain, "calls": calls, "memory": memory}))
    print(text)
    return 0 if chain is None or chain["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
