#!/usr/bin/env python3
"""Decode throughput, printed in GB/s of output: through the tokenizer's
decode method (list and array.array input) and through the core hook, each
with its ratio to the straightforward core decode measured in the same run.

    python bench/decode_throughput.py [--mb 10] [--train-mb 2] [--merges 10000]
                                      [--repeat 5] [--cache FILE]

The text is /usr/share/common-licenses concatenated and repeated. The merges
learned on its head are cached (--cache) so reruns skip training. Nothing
here judges a timing.
"""

from __future__ import annotations

import argparse
import array
import json
import os
import time
from pathlib import Path

from brevix import _internal
from brevix.tokenizer import PyBytePairTokenizer

LICENSES = Path("/usr/share/common-licenses")


def corpus_text(size: int) -> bytes:
    parts = [p.read_bytes() for p in sorted(LICENSES.iterdir()) if p.is_file()]
    base = b"".join(parts)
    return (base * (size // len(base) + 1))[:size]


def trained(text: bytes, train_bytes: int, merges: int, cache: Path) -> PyBytePairTokenizer:
    tok = PyBytePairTokenizer()
    key = {"train_bytes": train_bytes, "merges": merges, "text_head": text[:64].hex()}
    if cache.exists():
        stored = json.loads(cache.read_text())
        if stored.get("key") == key:
            _internal.set_merges(tok, [tuple(m) for m in stored["merges"]])
            return tok
    head = [b - 256 if b > 127 else b for b in text[:train_bytes]]
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(1)
    os.dup2(devnull, 1)  # the core echoes training progress to fd 1
    try:
        tok.fit(head, 256 + merges, merges)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)
    cache.write_text(json.dumps({"key": key, "merges": _internal.get_merges(tok)}))
    return tok


def best(repeat: int, fn) -> tuple[float, object]:
    seconds, value = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        value = fn()
        seconds = min(seconds, time.perf_counter() - start)
    return seconds, value


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mb", type=float, default=10.0)
    ap.add_argument("--train-mb", type=float, default=2.0)
    ap.add_argument("--merges", type=int, default=10_000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--cache", type=Path, default=Path("/tmp/brevix-decode-bench-merges.json"))
    args = ap.parse_args()

    text = corpus_text(int(args.mb * 1e6))
    tok = trained(text, int(args.train_mb * 1e6), args.merges, args.cache)
    merges = _internal.get_merges(tok)
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(1)
    os.dup2(devnull, 1)  # encode echoes its ids to fd 1
    try:
        ids = tok.encode(text)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)
    ids_array = array.array("i", ids)
    gb = len(text) / 1e9
    print(f"text {len(text) / 1e6:.1f} MB, {len(merges)} merges, {len(ids)} ids "
          f"({len(text) / len(ids):.2f} bytes/id)")

    # Core alone: the hook times the core call itself, without converting ids.
    core_fast, out_fast = _internal.decode_timed(merges, ids_array, "fast", args.repeat)
    core_plain, out_plain = _internal.decode_timed(merges, ids_array, "straightforward",
                                                   max(1, args.repeat // 2))
    if not (out_fast == out_plain == text):
        raise SystemExit("core decode(encode(text)) != text")
    hook_s, out = best(args.repeat, lambda: _internal.decode(merges, ids))
    list_s, out_list = best(args.repeat, lambda: tok.decode(ids))
    array_s, out_array = best(args.repeat, lambda: tok.decode(ids_array))
    if not (out == out_list == out_array == text):
        raise SystemExit("decode(encode(text)) != text")

    base = gb / core_plain
    rows = [
        ("core straightforward", gb / core_plain),
        ("core fast", gb / core_fast),
        ("hook _internal.decode (list)", gb / hook_s),
        ("method decode(list)", gb / list_s),
        ("method decode(array 'i')", gb / array_s),
    ]
    for name, rate in rows:
        print(f"{name:32s} {rate:6.3f} GB/s  x{rate / base:5.2f} vs straightforward core")


if __name__ == "__main__":
    main()
