#!/usr/bin/env python3
"""Throughput of the general pattern engine (brevix._internal.regex_split_timed,
the core call alone) on the well-known split patterns and a few others, in
MB/s, with the regex module's finditer over the same text in the same run;
then the time on long runs of one character at growing lengths, which must
grow linearly.

    python bench/regex_engine.py [--mb 10] [--repeat 3] [--runs-up-to 22]

The English text is /usr/share/common-licenses concatenated and repeated;
the mixed text is brevix's shipped sample (English with Chinese, Japanese and
Korean passages). Nothing here judges a timing.
"""

from __future__ import annotations

import argparse
import importlib.resources
import time
from pathlib import Path

import regex

from brevix import _internal

LICENSES = Path("/usr/share/common-licenses")

GPT2 = r"""'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"""
CL100K = (r"""'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+|"""
          r""" ?[^\s\p{L}\p{N}]++[\r\n]*+|\s++$|\s*[\r\n]|\s+(?!\S)|\s""")
O200K = "|".join([
    r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+"""
    r"""(?i:'s|'t|'re|'ve|'m|'ll|'d)?""",
    r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*"""
    r"""(?i:'s|'t|'re|'ve|'m|'ll|'d)?""",
    r"""\p{N}{1,3}""", r""" ?[^\s\p{L}\p{N}]+[\r\n/]*""", r"""\s*[\r\n]+""", r"""\s+(?!\S)""",
    r"""\s+""",
])
PATTERNS = {
    "gpt2": GPT2,
    "cl100k": CL100K,
    "o200k": O200K,
    "words": r"\w+|\W",
    "lines": r"[^\n]*\n",
    "sentences": r"(?:[^.!?]|\.(?=\w))+[.!?]*\s*",
}
RUN_UNITS = {"a": "a", "space": " ", "newline": "\n", "A": "A", "digit": "7", "日": "日",
             "space then x": None}


def repeated(base: bytes, size: int) -> bytes:
    return (base * (size // len(base) + 1))[:size]


def english(size: int) -> bytes:
    parts = [p.read_bytes() for p in sorted(LICENSES.iterdir()) if p.is_file()]
    return repeated(b"".join(parts), size)


def mixed(size: int) -> bytes:
    sample = importlib.resources.files("brevix").joinpath("data/sample.txt").read_bytes()
    return repeated(sample, size)


def regex_seconds(pattern: str, text: str, repeat: int) -> float:
    compiled = regex.compile(pattern)
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in compiled.finditer(text):
            pass
        best = min(best, time.perf_counter() - start)
    return best


def throughput(corpus: str, data: bytes, repeat: int) -> None:
    text = data.decode("utf-8", errors="replace")
    print(f"\n{corpus} text, {len(data) / 1e6:.1f} MB")
    print(f"{'pattern':10} {'brevix MB/s':>12} {'regex MB/s':>11} {'ratio':>6} {'pieces':>10}")
    for name, pattern in PATTERNS.items():
        seconds, pieces = _internal.regex_split_timed(pattern, data, repeat)
        theirs = regex_seconds(pattern, text, repeat)
        mb = len(data) / 1e6
        print(f"{name:10} {mb / seconds:12.1f} {mb / theirs:11.1f} {theirs / seconds:6.1f}"
              f" {pieces:10}")


def linearity(up_to: int) -> None:
    sizes = [1 << k for k in range(16, up_to + 1, 2)]
    print("\nLong runs: milliseconds per run length " + ", ".join(f"2^{s.bit_length() - 1}"
                                                                  for s in sizes))
    for unit_name, unit in RUN_UNITS.items():
        for name in ("gpt2", "cl100k", "o200k"):
            cells = []
            for size in sizes:
                data = (" " * size + "x").encode() if unit is None else (unit * size).encode()
                seconds, _ = _internal.regex_split_timed(PATTERNS[name], data, 1)
                cells.append(f"{seconds * 1e3:8.1f}")
            print(f"{unit_name:13} {name:7}" + "".join(cells))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mb", type=float, default=10)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--runs-up-to", type=int, default=22, help="longest run: 2^N characters")
    args = parser.parse_args()
    size = int(args.mb * 1e6)
    throughput("English", english(size), args.repeat)
    throughput("Mixed-script", mixed(size), args.repeat)
    linearity(args.runs_up_to)


if __name__ == "__main__":
    main()
