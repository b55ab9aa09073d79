#!/usr/bin/env python3
"""Serving features of brevix.Tokenizer against tiktoken and HF tokenizers,
on cl100k and real text (bench/corpus.py, 10 MB by default).

    python bench/serving.py [--quick] [--mb 10] [--rounds N] [--no-write]
                            [--corpus-dir DIR]

The tokenizer is `Tokenizer.from_tiktoken(cl100k_base.tiktoken.gz,
pattern="cl100k")` from bpe-openai's data. tiktoken's Encoding is built from
the same ranks with `pat_str=brevix.PATTERNS["cl100k"]`; the HF tokenizer is
the file `Tokenizer.save_hf` writes, read with `tokenizers.Tokenizer.from_file`.

Measurements run in alternating rounds (every measurement once per round, in
the same order), so that a drift of the machine's speed hits all alike; the
tables give medians and ratios of medians measured in this same run. A
measurement shorter than about 50 ms repeats inside its round and reports the
time per call. Every output is checked against brevix's `encode` or the text.
Nothing here judges a timing; the targets are stated beside the figures.
Unless --no-write (or --quick), the section "Serving" of bench/RESULTS.md is
replaced (or added at the end).

Targets:
- `count(text)` at least as fast as `encode(text)`, and at least 3x
  tiktoken's `len(enc.encode_ordinary(text))`;
- `encode(text, max_tokens=100)` on the whole text costs no more than
  `encode` of its first 100 KB;
- streaming decode of the whole encoding one id at a time
  (`d = tok.decoder(); for i in ids: d.feed(i)`, each id an int as HF's
  step takes it; `d.feed([i])` is measured too) at least 10x HF's
  `DecodeStream(skip_special_tokens=False).step(hf, id)`.
"""

from __future__ import annotations

import argparse
import base64
import datetime
import gzip
import os
import shlex
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import corpus as corpora  # noqa: E402
from results_md import splice  # noqa: E402

import brevix  # noqa: E402

SECTION = "## Serving (brevix.Tokenizer on cl100k)"
HEAD_BYTES = 100_000
LIMIT = 100
MIN_ROUND_SECONDS = 0.05


def cl100k_file() -> Path:
    import bpe_openai

    return Path(bpe_openai.__file__).resolve().parent / "data" / "cl100k_base.tiktoken.gz"


def tiktoken_encoding(path: Path) -> Any:
    """tiktoken's Encoding from the same ranks, or None when not installed."""
    try:
        import tiktoken
    except ImportError:
        return None
    ranks = {}
    for line in gzip.decompress(path.read_bytes()).splitlines():
        if line:
            token, rank = line.split()
            ranks[base64.b64decode(token)] = int(rank)
    return tiktoken.Encoding("cl100k_same_ranks", pat_str=brevix.PATTERNS["cl100k"],
                             mergeable_ranks=ranks, special_tokens={})


def hf_tokenizer(tok: brevix.Tokenizer, workdir: Path) -> Any:
    """HF tokenizers' reading of `tok.save_hf`, or None when not installed."""
    try:
        import tokenizers
    except ImportError:
        return None
    path = workdir / "cl100k-hf.json"
    tok.save_hf(path)
    return tokenizers.Tokenizer.from_file(str(path))


def timed(fn: Callable[[], Any]) -> tuple[float, Any]:
    """Seconds per call of fn (repeated up to MIN_ROUND_SECONDS) and its result."""
    calls, start = 0, time.perf_counter()
    while True:
        value = fn()
        calls += 1
        elapsed = time.perf_counter() - start
        if elapsed >= MIN_ROUND_SECONDS:
            return elapsed / calls, value


def brevix_stream(tok: brevix.Tokenizer, ids: list[int]) -> str:
    d = tok.decoder()
    parts = [d.feed(i) for i in ids]
    parts.append(d.flush())
    return "".join(parts)


def brevix_stream_lists(tok: brevix.Tokenizer, ids: list[int]) -> str:
    d = tok.decoder()
    parts = [d.feed([i]) for i in ids]
    parts.append(d.flush())
    return "".join(parts)


def hf_stream(hf: Any, ids: list[int]) -> str:
    from tokenizers.decoders import DecodeStream

    stream = DecodeStream(skip_special_tokens=False)
    parts = [stream.step(hf, i) for i in ids]
    return "".join(p for p in parts if p)


class Bench:
    """The measurements by name: a callable and the check of its result."""

    def __init__(self, tok: brevix.Tokenizer, text: str, enc: Any, hf: Any, stream_ids: int) -> None:
        self.text = text
        self.data = text.encode("utf-8")
        cut = self.data.rfind(b"\n", 0, HEAD_BYTES) + 1 or HEAD_BYTES
        self.head_bytes = self.data[:cut]
        self.head = self.head_bytes.decode("utf-8", "ignore")
        self.ids = tok.encode(text)
        self.stream_ids = self.ids[:stream_ids] if stream_ids else self.ids
        self.lines = text.splitlines(keepends=True)
        self.line_counts = [len(tok.encode(line)) for line in self.lines]
        expected_stream = tok.decode_text(self.stream_ids)
        ids, head_ids = self.ids, tok.encode(self.head)
        self.cases: dict[str, tuple[Callable[[], Any], Callable[[Any], bool]]] = {
            "encode": (lambda: tok.encode(text), lambda r: r == ids),
            "count": (lambda: tok.count(text), lambda r: r == len(ids)),
            "encode, max_tokens=100": (lambda: tok.encode(text, max_tokens=LIMIT),
                                       lambda r: r == ids[:LIMIT]),
            "encode bytes, max_tokens=100": (lambda: tok.encode(self.data, max_tokens=LIMIT),
                                             lambda r: r == ids[:LIMIT]),
            "encode first 100 KB": (lambda: tok.encode(self.head), lambda r: r == head_ids),
            "encode first 100 KB, bytes": (lambda: tok.encode(self.head_bytes), lambda r: r == head_ids),
            "encode_with_offsets": (lambda: tok.encode_with_offsets(text), lambda r: r[0] == ids),
            "decode": (lambda: tok.decode(ids), lambda r: r == self.data),
            "decode_text": (lambda: tok.decode_text(ids), lambda r: r == text),
            "decoder().feed one id at a time": (lambda: brevix_stream(tok, self.stream_ids),
                                                lambda r: r == expected_stream),
            "decoder().feed one list of one id at a time": (lambda: brevix_stream_lists(tok, self.stream_ids),
                                                            lambda r: r == expected_stream),
            "count_batch (lines)": (lambda: tok.count_batch(self.lines),
                                    lambda r: r == self.line_counts),
            "encode_batch (lines), list": (lambda: tok.encode_batch(self.lines),
                                           lambda r: [len(x) for x in r] == self.line_counts),
            "encode_batch (lines), ragged": (lambda: tok.encode_batch(self.lines, out="ragged"),
                                             lambda r: int(r[1][-1]) == sum(self.line_counts)
                                             and list(map(int, r[1][1:] - r[1][:-1])) == self.line_counts),
        }
        if enc is not None:
            self.cases.update({
                "tiktoken len(encode_ordinary)": (lambda: len(enc.encode_ordinary(text)),
                                                  lambda r: r == len(ids)),
                "tiktoken encode_ordinary": (lambda: enc.encode_ordinary(text), lambda r: r == ids),
                "tiktoken decode": (lambda: enc.decode(ids), lambda r: r == text),
                "tiktoken encode_ordinary_batch (lines)": (
                    lambda: enc.encode_ordinary_batch(self.lines),
                    lambda r: [len(x) for x in r] == self.line_counts),
            })
        if hf is not None:
            self.cases["HF DecodeStream.step one id at a time"] = (
                lambda: hf_stream(hf, self.stream_ids), lambda r: r == expected_stream)


def measure(bench: Bench, rounds: int) -> tuple[dict[str, list[float]], dict[str, str]]:
    times: dict[str, list[float]] = {name: [] for name in bench.cases}
    checks: dict[str, str] = {}
    for round_ in range(rounds):
        for name, (fn, check) in bench.cases.items():
            seconds, value = timed(fn)
            times[name].append(seconds)
            if round_ == 0:
                checks[name] = "checked" if check(value) else "WRONG OUTPUT"
            print(f"  round {round_ + 1}  {name:<40} {seconds * 1e3:10.3f} ms  {checks[name]}", flush=True)
    return times, checks


def mbps(nbytes: int, seconds: float | None) -> str:
    return f"{nbytes / 1e6 / seconds:.1f} MB/s" if seconds else ""


def target_rows(bench: Bench, med: dict[str, float | None]) -> list[str]:
    def verdict(ok: bool | None) -> str:
        return "not measured" if ok is None else "holds" if ok else "MISSED"

    def ratio(a: float | None, b: float | None) -> float | None:
        return a / b if a and b else None

    def shown(r: float | None) -> str:
        return f"{r:.2f}x" if r is not None else ""

    rows = []
    count, encode = med.get("count"), med.get("encode")
    r = ratio(encode, count)
    rows.append(f"| `count(text)` at least as fast as `encode(text)` | {mbps(len(bench.data), count)} "
                f"| encode {mbps(len(bench.data), encode)} | {shown(r)} | >= 1x | "
                f"{verdict(None if r is None else r >= 1.0)} |")
    r = ratio(med.get("tiktoken len(encode_ordinary)"), count)
    rows.append(f"| `count(text)` against tiktoken `len(encode_ordinary(text))` "
                f"| {mbps(len(bench.data), count)} "
                f"| tiktoken {mbps(len(bench.data), med.get('tiktoken len(encode_ordinary)'))} "
                f"| {shown(r)} | >= 3x | {verdict(None if r is None else r >= 3.0)} |")
    for limited, head, what in (("encode, max_tokens=100", "encode first 100 KB", "str"),
                                ("encode bytes, max_tokens=100", "encode first 100 KB, bytes", "bytes")):
        a, b = med.get(limited), med.get(head)
        r = ratio(b, a)
        rows.append(f"| `encode(text, max_tokens=100)` on {len(bench.data) / 1e6:.1f} MB ({what}) "
                    f"| {a * 1e3:.3f} ms | encode of the first {len(bench.head_bytes) / 1e3:.0f} KB "
                    f"{b * 1e3:.3f} ms | {shown(r)} | >= 1x | {verdict(None if r is None else r >= 1.0)} |")
    mine, theirs = med.get("decoder().feed one id at a time"), med.get("HF DecodeStream.step one id at a time")
    n = len(bench.stream_ids)
    r = ratio(theirs, mine)
    per = (lambda s: f"{s / n * 1e6:.2f} us per id" if s else "")
    rows.append(f"| streaming decode, {n:,} ids one at a time, `feed(i)` | {per(mine)} "
                f"| HF DecodeStream {per(theirs)} | {shown(r)} | >= 10x | {verdict(None if r is None else r >= 10.0)} |")
    lists = med.get("decoder().feed one list of one id at a time")
    r = ratio(theirs, lists)
    rows.append(f"| streaming decode, {n:,} ids one at a time, `feed([i])` | {per(lists)} "
                f"| HF DecodeStream {per(theirs)} | {shown(r)} | >= 10x | {verdict(None if r is None else r >= 10.0)} |")
    return rows


def other_rows(bench: Bench, med: dict[str, float | None], checks: dict[str, str],
               times: dict[str, list[float]]) -> list[str]:
    rows = []
    size = len(bench.data)
    baselines = {"encode_with_offsets": "encode", "decode_text": "decode", "count_batch (lines)":
                 "encode_batch (lines), list", "encode_batch (lines), ragged": "encode_batch (lines), list",
                 "tiktoken encode_ordinary": "encode", "tiktoken decode": "decode_text",
                 "tiktoken encode_ordinary_batch (lines)": "encode_batch (lines), list"}
    for name, base in baselines.items():
        if name not in med:
            continue
        s, b = med[name], med.get(base)
        ratio = f"{b / s:.2f}x" if s and b else ""
        rounds = ", ".join(f"{t * 1e3:.0f}" for t in times[name])
        rows.append(f"| {name} | {s * 1e3:,.1f} | {mbps(size, s)} | {base} | {ratio} | {checks[name]} "
                    f"| {rounds} |")
    return rows


def machine_lines() -> list[str]:
    try:
        import bench as main_bench

        info = main_bench.machine()
        load = main_bench.load_average()
    except Exception as error:  # the description is a courtesy, not the measurement
        return [f"(machine description unavailable: {error})"]
    return [f"- {k}: {v}" for k, v in info.items()] + [f"- Load average at the end: {load}"]


def section(args: argparse.Namespace, bench: Bench, times: dict[str, list[float]], checks: dict[str, str],
            info: dict[str, int], started: datetime.datetime) -> list[str]:
    med: dict[str, float | None] = {k: statistics.median(v) if v else None for k, v in times.items()}
    minutes = (datetime.datetime.now(datetime.timezone.utc) - started).total_seconds() / 60
    wrong = [n for n, c in checks.items() if c != "checked"]
    lines = [
        SECTION,
        "",
        f"Run {started.isoformat(timespec='seconds')} (UTC) with `python bench/serving.py"
        f"{' ' + shlex.join(sys.argv[1:]) if sys.argv[1:] else ''}`; it took {minutes:.1f} minutes. "
        f"cl100k_base from bpe-openai's data with `pattern=\"cl100k\"`; text: {info['bytes']:,} bytes of "
        f"real text (bench/corpus.py, {info.get('passes', 1)} pass), {len(bench.ids):,} ids, "
        f"{len(bench.lines):,} lines. tiktoken is built from the same ranks and brevix's cl100k "
        "pattern; HF reads `save_hf`'s file. All in one process, after a warm-up call each; "
        f"{args.rounds} alternating rounds, medians; a call under 50 ms repeats within its round "
        "(time per call). Every output is checked against brevix's `encode` or the text"
        + (f"; WRONG OUTPUT: {', '.join(wrong)}" if wrong else "") + ".",
        "",
        *machine_lines(),
        "",
        "| target | brevix | baseline | ratio | wanted | status |",
        "|---|---:|---|---:|---|---|",
        *target_rows(bench, med),
        "",
        "The other serving calls, on the same text (lines: each line with its newline as one text; "
        "batches on the default threads, tiktoken's on its own pool). Ratio = the baseline's time / "
        "this one's (above 1x: faster than the baseline).",
        "",
        "| call | ms | throughput | baseline | ratio | output | ms per round |",
        "|---|---:|---:|---|---:|---|---|",
        *other_rows(bench, med, checks, times),
        "",
    ]
    return lines


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--mb", type=float, default=10, help="text size in MB")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--stream-ids", type=int, default=0,
                   help="stream only the first N ids (default: all)")
    p.add_argument("--quick", action="store_true", help="0.05 MB, one round, no RESULTS.md")
    p.add_argument("--no-write", action="store_true", help="print only")
    p.add_argument("--corpus-dir", type=Path, default=Path("/tmp/brevix-bench-corpora"))
    args = p.parse_args(argv)
    if args.quick:
        args.mb, args.rounds, args.no_write = 0.05, 1, True
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    started = datetime.datetime.now(datetime.timezone.utc)
    path, info = corpora.ensure(int(args.mb * corpora.MB), args.corpus_dir)
    text = path.read_text(encoding="utf-8")
    ranks = cl100k_file()
    tok = brevix.Tokenizer.from_tiktoken(ranks, pattern="cl100k")
    with tempfile.TemporaryDirectory() as workdir:
        bench = Bench(tok, text, tiktoken_encoding(ranks), hf_tokenizer(tok, Path(workdir)), args.stream_ids)
    print(f"{path}: {len(bench.data):,} bytes, {len(bench.ids):,} ids", flush=True)
    for fn, _ in bench.cases.values():
        fn()  # warm-up: caches (the str's UTF-8 form among them) are filled before any round
    times, checks = measure(bench, args.rounds)
    lines = section(args, bench, times, checks, info, started)
    print("\n".join(lines))
    if not args.no_write:
        splice(HERE / "RESULTS.md", "\n".join(lines))
    return 1 if any(c != "checked" for c in checks.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
