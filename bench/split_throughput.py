#!/usr/bin/env python3
"""Split throughput: MB/s of the hand-written scanners of the well-known
patterns (GPT-2, cl100k, o200k) on real text, next to regex.finditer on the
same text (the reference the scanners are tested against).

    python bench/split_throughput.py [--quick] [--mb N] [--markdown FILE]

Corpora, N MB each (default 4): English manual pages (section 1, roff
stripped), Python's standard library sources, the benchmark's multilingual
corpus (bench/corpus.py: the sample text, then man pages in every language,
documentation and Vim help interleaved), and the shipped sample text
(Chinese, Japanese and Korean passages) repeated. brevix is timed in the core
(best of several runs, by thread CPU time, which a busy shared machine
disturbs less than the wall clock, and by wall clock); regex once on up to
1 MB of the decoded text. Nothing here judges a timing.
"""

from __future__ import annotations

import argparse
import importlib.resources
import sysconfig
import time
from collections.abc import Iterator
from pathlib import Path

import corpus
from brevix import _internal

MB = 1_000_000


def _take(texts: Iterator[str], size: int) -> bytes:
    """The first `size` bytes of the texts' UTF-8, cut at a character boundary."""
    parts, total = [], 0
    for text in texts:
        data = text.encode("utf-8")
        parts.append(data)
        total += len(data)
        if total >= size:
            break
    joined = b"".join(parts)[:size]
    return joined.decode("utf-8", errors="ignore").encode("utf-8")


def _english_man_pages() -> Iterator[str]:
    for path in corpus._files("/usr/share/man/man1", (".gz",) + tuple(f".{i}" for i in range(1, 10))):
        text = corpus._read_text(path)
        if text and not text.startswith(".so "):
            yield corpus.tidy(corpus.strip_roff(text))


def _python_sources() -> Iterator[str]:
    for path in sorted(Path(sysconfig.get_paths()["stdlib"]).glob("*.py")):
        yield path.read_text(encoding="utf-8", errors="replace")


def _sample_repeated() -> Iterator[str]:
    text = importlib.resources.files("brevix").joinpath("data", "sample.txt").read_text("utf-8")
    while True:
        yield text


def corpora(size: int) -> list[tuple[str, bytes]]:
    found = [
        ("English man pages", _take(_english_man_pages(), size)),
        ("Python sources", _take(_python_sources(), size)),
        ("multilingual corpus", _take(corpus.documents(), size)),
        ("CJK sample", _take(_sample_repeated(), size)),
    ]
    return [(name, data) for name, data in found if data]


def regex_mb_per_s(pattern: str, data: bytes) -> float | None:
    try:
        import regex
    except ImportError:
        return None
    text = data[:MB].decode("utf-8", errors="ignore")
    compiled = regex.compile(pattern)
    start = time.perf_counter()
    for _ in compiled.finditer(text):
        pass
    return len(text.encode("utf-8")) / (time.perf_counter() - start) / MB


def run(size: int, repeat: int) -> list[str]:
    lines = [
        "| corpus | pattern | MB | bytes/piece | brevix MB/s (CPU) | brevix MB/s (wall) "
        "| regex MB/s | brevix / regex (CPU) |",
        "|---|---|---|---|---|---|---|---|",
    ]
    print("\n".join(lines), flush=True)
    for corpus_name, data in corpora(size):
        for name, pattern in _internal.well_known_patterns().items():
            wall, cpu, pieces = _internal.split_timed(pattern, data, repeat)
            cpu_rate, wall_rate = len(data) / cpu / MB, len(data) / wall / MB
            reference = regex_mb_per_s(pattern, data)
            ref_text = f"{reference:.1f}" if reference else "not installed"
            ratio = f"{cpu_rate / reference:.0f}x" if reference else ""
            lines.append(
                f"| {corpus_name} | {name} | {len(data) / MB:.1f} | {len(data) / max(pieces, 1):.2f} "
                f"| {cpu_rate:.0f} | {wall_rate:.0f} | {ref_text} | {ratio} |"
            )
            print(lines[-1], flush=True)
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="0.2 MB per corpus, 2 runs")
    parser.add_argument("--mb", type=float, default=4.0, help="MB per corpus (default 4)")
    parser.add_argument("--markdown", type=Path, help="also write the table to this file")
    args = parser.parse_args()
    size = int((0.2 if args.quick else args.mb) * MB)
    table = run(size, 2 if args.quick else 7)
    if args.markdown:
        args.markdown.write_text("\n".join(table) + "\n")


if __name__ == "__main__":
    main()
