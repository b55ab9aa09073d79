#!/usr/bin/env python3
"""Standard encoding (ids from 0, merges by rank, split patterns) against its peers.

    python bench/encode_standard.py [--quick] [--no-peers] [--rounds N] [--text-mb MB]
                                    [--parts PART ...] [--results FILE] [--markdown FILE]
                                    [--corpus-dir DIR]

Parts (all by default):

- encode: cl100k and o200k on real text (bench/corpus.py), one thread:
  `Tokenizer.from_tiktoken(...).encode` against tiktoken built from the same
  file and `brevix.PATTERNS` (`encode_ordinary`) and against the Rust crate
  behind the `bpe-openai` package (its `PyTokenizer.encode`; the package's
  `Encoding` refuses texts of a million characters or more). Every library
  runs in its own process, in alternating rounds; the figure is the median
  over rounds of each process's best of two calls. The ids of every library
  are compared with brevix's. The brevix process also decodes its ids from a
  NumPy int32 array (GB/s of output), tiktoken's decodes with `decode_bytes`.
- batch: `encode_batch` on 1 and 2 threads over the text cut into documents
  and into lines, with hashlib.sha256 over the same batch from a thread pool
  of 1 and 2 threads (each thread hashes half the bytes) in the same rounds:
  sha256 releases the interpreter lock on long inputs, so its speed-up is what
  the machine gives two threads at that moment.
- unsplit: a model without a pattern trained by `Tokenizer().train` on the
  first MB, encoding the text by rank against the low-level class's encoding
  of the same merges (`to_low_level()`): without its echo, as
  `Tokenizer.encode` ran it before it merged by rank (`_internal.encode_quiet_on`,
  the target's baseline); with the echo built in memory (`_internal.encode_on`);
  and the printing `encode` method, its output sent to /dev/null. One process each.
- worst: time per call on inputs no pattern cuts, at sizes doubling from
  16 KB to 4 MB, for the cl100k tokenizer and the unsplit model: `a` repeated, random
  lowercase letters and the letters of the real text (all one piece).

Nothing here judges a timing for a test: targets are reported with each
ratio, measured in the same run. --results splices the section
"## Standard encoding" into a RESULTS.md (bench/RESULTS.md by default when
every part runs and not --quick); --markdown writes the section alone.
"""

from __future__ import annotations

import argparse
import base64
import datetime
import gzip
import hashlib
import importlib.metadata
import importlib.util
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
THIS = Path(__file__).resolve()
sys.path.insert(0, str(HERE))

import corpus as corpora  # noqa: E402
from results_md import splice  # noqa: E402

MB = corpora.MB
VOCABULARIES = ["cl100k", "o200k"]
LIBRARIES = ["brevix", "tiktoken", "bpe-openai"]
PEER_MODULES = {"tiktoken": "tiktoken", "bpe-openai": "bpe_openai"}
PARTS = ["encode", "batch", "unsplit", "worst"]
WORST_INPUTS = {
    "a": "`a` repeated",
    "random": "random lowercase letters, no spaces",
    "letters": "the letters of the real text, nothing between them",
}
SECTION = "## Standard encoding"

Result = dict[str, Any]

# Targets, as ratios (or GB/s, or growth per doubling).
TARGET_VS_TIKTOKEN = 3.0
TARGET_VS_BPE_OPENAI = 1.5
TARGET_THREAD_SHARE = 0.9
TARGET_DECODE_GB_S = 1.0
TARGET_UNSPLIT = 1.0
TARGET_GROWTH = 2.5
# Below this speed-up of sha256 on two threads the machine had no second core
# to give, and the share says nothing about encode_batch.
SHA_SPEED_UP_SEEN = 1.2


# ---- shared helpers (parent and children) -------------------------------------


def vocabulary_file(vocab: str) -> Path | None:
    """The .tiktoken.gz file the bpe-openai package ships, without importing it."""
    spec = importlib.util.find_spec("bpe_openai")
    if spec is None or not spec.submodule_search_locations:
        return None
    path = Path(list(spec.submodule_search_locations)[0]) / "data" / f"{vocab}_base.tiktoken.gz"
    return path if path.exists() else None


def read_ranks(path: Path) -> dict[bytes, int]:
    ranks = {}
    for line in gzip.decompress(path.read_bytes()).splitlines():
        if line.strip():
            token, rank = line.split()
            ranks[base64.b64decode(token)] = int(rank)
    return ranks


def timed(fn: Callable[[], Any]) -> tuple[float, Any]:
    start = time.perf_counter()
    value = fn()
    return time.perf_counter() - start, value


def timed_cpu(fn: Callable[[], Any]) -> tuple[float, float, Any]:
    """Wall-clock and process CPU seconds of one call, and its value."""
    wall, cpu = time.perf_counter(), time.process_time()
    value = fn()
    return time.perf_counter() - wall, time.process_time() - cpu, value


# Decoding calls per process. The first calls of a process write the result
# into pages the process has never touched, and page faults (about 3 ms for
# 10 MB here) then cost as much as decoding: the best of six is the
# steady state a process that decodes again and again sees; the first
# call's figure is reported beside it.
DECODE_CALLS = 6


def best_of(count: int, fn: Callable[..., Any], prepare: Callable[[], Any] | None = None
            ) -> tuple[float, float, Any]:
    """Best wall-clock and best CPU time of `count` calls, and the last value;
    `prepare` makes each call's argument outside the timing."""
    best_wall = best_cpu = float("inf")
    value = None
    for _ in range(count):
        arg = prepare() if prepare else None
        wall, cpu, value = timed_cpu((lambda: fn(arg)) if prepare else fn)
        best_wall, best_cpu = min(best_wall, wall), min(best_cpu, cpu)
    return best_wall, best_cpu, value


def ids_digest(ids: Any) -> str:
    import numpy as np

    return hashlib.sha256(np.asarray(ids, dtype=np.int32).tobytes()).hexdigest()


def text_chunks(text: bytes, count: int) -> list[bytes]:
    """`text` cut at line ends into about `count` documents."""
    step = max(1, len(text) // count)
    pieces, start = [], 0
    while start < len(text):
        end = text.find(b"\n", start + step)
        end = len(text) if end < 0 else end + 1
        pieces.append(text[start:end])
        start = end
    return pieces


def brevix_tokenizer(spec: str) -> Any:
    """cl100k / o200k from bpe-openai's file, or a saved model at path `spec`."""
    from brevix import Tokenizer

    if spec in VOCABULARIES:
        path = vocabulary_file(spec)
        if path is None:
            raise ImportError("bpe-openai not installed (it ships the vocabulary files)")
        return Tokenizer.from_tiktoken(path, pattern=spec)
    return Tokenizer.load(spec)


# ---- children: one measurement each ------------------------------------------


def child_encode(p: Result) -> Result:
    """One library's encode of the text (best of two, a fresh str per call), its ids
    saved on request; brevix and tiktoken also decode."""
    import numpy as np

    text = Path(p["text"]).read_bytes()
    lib, vocab = p["library"], p["vocab"]
    load_s, (encode, decode) = timed(lambda: encoder_of(lib, vocab))
    fresh = (lambda: text) if lib == "brevix-bytes" else (lambda: text.decode("utf-8"))
    seconds, cpu, ids = best_of(2, encode, fresh)
    ids = np.asarray(ids, dtype=np.int32)
    result: Result = {"seconds": seconds, "mb_s": len(text) / MB / seconds, "cpu_mb_s": len(text) / MB / cpu,
                      "tokens": len(ids), "digest": ids_digest(ids), "load_seconds": load_s}
    if p.get("ids_out"):
        np.save(p["ids_out"], ids)
    if decode is not None:
        arg = ids if lib.startswith("brevix") else ids.tolist()
        first_seconds, _, _ = timed_cpu(lambda: decode(arg))
        d_seconds, d_cpu, out = best_of(DECODE_CALLS - 1, lambda: decode(arg))
        result.update(decode_gb_s=len(text) / 1e9 / min(d_seconds, first_seconds),
                      decode_cpu_gb_s=len(text) / 1e9 / d_cpu, decode_first_gb_s=len(text) / 1e9 / first_seconds,
                      decode_ok=out == text)
    return result


def encoder_of(lib: str, vocab: str) -> tuple[Callable[[Any], Any], Callable[[Any], Any] | None]:
    """(encode(text), decode(ids) or None) for one library."""
    if lib.startswith("brevix"):
        tok = brevix_tokenizer(vocab)
        return tok.encode, (tok.decode if lib == "brevix" else None)
    if lib == "tiktoken":
        import tiktoken

        from brevix import PATTERNS

        path = vocabulary_file(vocab)
        if path is None:
            raise ImportError("bpe-openai not installed (it ships the vocabulary files)")
        enc = tiktoken.Encoding(f"{vocab}_base", pat_str=PATTERNS[vocab], mergeable_ranks=read_ranks(path),
                                special_tokens={})
        return enc.encode_ordinary, enc.decode_bytes
    from bpe_openai import _bindings  # type: ignore[import-untyped]

    return _bindings.tokenizer_for_encoding(f"{vocab}_base").encode, None


def child_batch(p: Result) -> Result:
    """encode_batch on 1 and 2 threads and sha256 from 1 and 2 threads, alternating."""
    text = Path(p["text"]).read_bytes()
    tok = brevix_tokenizer("cl100k")
    batches = {"documents": text_chunks(text, p["documents"]),
               "lines": [line for line in text.split(b"\n") if line]}
    result: Result = {}
    with ThreadPoolExecutor(1) as one, ThreadPoolExecutor(2) as two:
        pools = {1: one, 2: two}
        for name, batch in batches.items():
            result[name] = batch_rounds(tok, batch, pools, p["rounds"])
    return result


def halves(batch: list[bytes]) -> list[list[bytes]]:
    """The batch in two runs of about equal bytes."""
    total, run = sum(map(len, batch)), 0
    for i, item in enumerate(batch):
        run += len(item)
        if run * 2 >= total:
            return [batch[: i + 1], batch[i + 1:]]
    return [batch, []]


def sha_all(items: list[bytes], repeat: int) -> int:
    n = 0
    for _ in range(repeat):
        for item in items:
            n += hashlib.sha256(item).digest()[0]
    return n


def batch_rounds(tok: Any, batch: list[bytes], pools: dict[int, ThreadPoolExecutor], count: int) -> Result:
    expected = tok.encode_batch(batch, threads=1)
    parts = {1: [batch], 2: halves(batch)}

    def sha(threads: int, repeat: int) -> float:
        seconds, _ = timed(lambda: list(pools[threads].map(lambda part: sha_all(part, repeat), parts[threads])))
        return seconds

    # sha256 is far faster than encoding: repeat it to a comparable duration.
    one_brevix, _ = timed(lambda: tok.encode_batch(batch, threads=1))
    repeat = max(1, round(one_brevix / max(sha(1, 1), 1e-6)))
    times: dict[str, list[float]] = {"brevix 1": [], "brevix 2": [], "sha256 1": [], "sha256 2": []}
    same = True
    for r in range(count):
        order = ["brevix 1", "brevix 2", "sha256 1", "sha256 2"]
        for key in order if r % 2 == 0 else order[::-1]:
            threads = int(key[-1])
            if key.startswith("brevix"):
                seconds, out = timed(lambda: tok.encode_batch(batch, threads=threads))
                same = same and out == expected
            else:
                seconds = sha(threads, repeat)
            times[key].append(seconds)
    return {"items": len(batch), "bytes": sum(map(len, batch)), "sha_repeat": repeat, "times": times,
            "same_ids": same}


def child_unsplit(p: Result) -> Result:
    """Rank-order encode of the text by the unsplit model, or the low-level class's."""
    from brevix import Tokenizer, _internal

    text = Path(p["text"]).read_bytes()
    tok = Tokenizer.load(p["model"])
    how = p["how"]
    if how == "rank":
        encode: Callable[[], Any] = lambda: tok.encode(text)  # noqa: E731
    else:
        low = tok.to_low_level()
        encode = {
            "low-quiet": lambda: _internal.encode_quiet_on(low, text),
            "low-hook": lambda: _internal.encode_on(low, text, "fast")[1],
            "low-method": lambda: low.encode(text),  # prints its ids to fd 1, which is /dev/null here
        }[how]
    seconds, cpu, ids = best_of(2, encode)
    decoded = tok.decode(ids) if how == "rank" else tok.to_low_level().decode(ids)
    result: Result = {"seconds": seconds, "mb_s": len(text) / MB / seconds, "cpu_mb_s": len(text) / MB / cpu,
                      "tokens": len(ids), "round_trip": decoded == text}
    if how == "rank":
        # The reference is quadratic: a short prefix checks that this is rank order.
        head = text[: p.get("check_bytes", 2048)]
        reference = _internal.rank_encode(list(range(256)), [(a, b, c) for a, b, c in tok.merges], head, "reference")
        result["matches_reference"] = tok.encode(head) == reference
    return result


def worst_input(kind: str, size: int, real: bytes) -> bytes:
    if kind == "a":
        return b"a" * size
    if kind == "random":
        rng = random.Random(size)
        return bytes(rng.choices(b"abcdefghijklmnopqrstuvwxyz", k=size))
    letters = "".join(c for c in real.decode("utf-8") if c.isalpha()).encode("utf-8")
    if not letters:
        raise RuntimeError("no letters in the real text")
    letters = letters * (size // len(letters) + 1)
    cut = size
    while cut > 0 and (letters[cut] & 0xC0) == 0x80:  # end on a whole character
        cut -= 1
    return letters[:cut]


def child_worst(p: Result) -> Result:
    """Median time per call at each size, sizes alternating within rounds."""
    from brevix import _internal

    tok = brevix_tokenizer(p["tokenizer"])
    sizes = p["sizes"]
    data = worst_input(p["kind"], max(sizes), Path(p["text"]).read_bytes())
    inputs = {n: data[:n] for n in sizes}
    pieces = len(_internal.split(tok.pattern, data)) if tok.pattern else 1
    walls: dict[int, list[float]] = {n: [] for n in sizes}
    cpus: dict[int, list[float]] = {n: [] for n in sizes}
    tok.encode(data)  # the first call pays for lazily built tables
    for r in range(p["rounds"]):
        for n in sizes if r % 2 == 0 else sizes[::-1]:
            # Each timing covers at least a megabyte of input, so small sizes repeat.
            calls = max(1, MB // n)
            wall, cpu, _ = timed_cpu(lambda: [tok.encode(inputs[n]) for _ in range(calls)])
            walls[n].append(wall / calls)
            cpus[n].append(cpu / calls)
    ok = tok.decode(tok.encode(data)) == data
    return {"pieces": pieces, "bytes": len(data), "round_trip": ok,
            "median_s": {str(n): statistics.median(walls[n]) for n in sizes},
            "median_cpu_s": {str(n): statistics.median(cpus[n]) for n in sizes}}


CHILDREN: dict[str, Callable[[Result], Result]] = {
    "encode": child_encode, "batch": child_batch, "unsplit": child_unsplit, "worst": child_worst,
}


def child_main(task: str, params: str, out: str) -> int:
    sys.stdout.flush()
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)  # the low-level class prints its ids to fd 1
    os.close(devnull)
    try:
        result = CHILDREN[task](json.loads(params))
        result.setdefault("status", "ok")
    except ImportError as e:
        result = {"status": "not installed", "why": str(e)}
    except Exception as e:  # reported in the tables, never hidden
        result = {"status": "failed", "why": f"{type(e).__name__}: {e}"}
    Path(out).write_text(json.dumps(result))
    return 0


# ---- the parent: rounds, checks, tables --------------------------------------


def run_child(task: str, params: Result, timeout: float) -> Result:
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as f:
        out = f.name
    try:
        proc = subprocess.run([sys.executable, str(THIS), "--child", task, json.dumps(params), out],
                              env={**os.environ, **SINGLE_THREADED}, stderr=subprocess.PIPE, timeout=timeout)
        text = Path(out).read_text()
        if proc.returncode != 0 or not text:
            tail = proc.stderr.decode(errors="replace").strip().splitlines()[-1:] or [""]
            return {"status": "failed", "why": f"exit {proc.returncode}: {tail[0]}"}
        result: Result = json.loads(text)
        return result
    except subprocess.TimeoutExpired:
        return {"status": "timeout", "why": f"stopped after {timeout:.0f} s"}
    finally:
        os.unlink(out)


# Libraries that start thread pools of their own (NumPy's BLAS, Rayon) keep to
# one thread, so that a process's CPU time is its one thread's.
SINGLE_THREADED = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1",
                   "RAYON_NUM_THREADS": "1"}


def ok(r: Result | None) -> bool:
    return bool(r) and r.get("status") == "ok"  # type: ignore[union-attr]


def status_text(r: Result) -> str:
    return "ok" if ok(r) else f"{r.get('status')}: {r.get('why', '')}".rstrip(": ")


def judged(value: float | None, target: float, higher: bool = True) -> str:
    if value is None:
        return ""
    met = value >= target if higher else value <= target
    return "met" if met else "MISSED"


def median_of(runs: list[Result], key: str) -> float | None:
    values = [r[key] for r in runs if ok(r) and key in r]
    return statistics.median(values) if values else None


def per_round(runs: list[Result], key: str, digits: int = 1) -> str:
    return ", ".join(f"{r[key]:.{digits}f}" for r in runs if ok(r) and key in r)


@dataclass
class Target:
    """One target: the wall-clock figure it is judged on, and the same by CPU time."""

    measure: str
    value: str
    cpu_value: str
    target: str
    status: str
    cpu_status: str
    note: str = ""


class Run:
    """One invocation: its settings, the measurements and the markdown they make."""

    def __init__(self, args: argparse.Namespace, work: Path) -> None:
        self.args, self.work = args, work
        self.lines: list[str] = []
        self.targets: list[Target] = []
        self.unsplit_model: Path | None = None
        self.text, info = corpora.ensure(int(args.text_mb * MB), args.corpus_dir)
        self.train_text, _ = corpora.ensure(int(args.train_mb * MB), args.corpus_dir)
        self.text_label = (f"{info['bytes'] / MB:.1f} MB of real text ({info['bytes']:,} bytes, "
                           f"{info['non_ascii_bytes']:,} of them non-ASCII)")

    def peer_reason(self, lib: str) -> str | None:
        module = PEER_MODULES.get(lib)
        if module is None:
            return None
        if self.args.no_peers:
            return "skipped (--no-peers)"
        if importlib.util.find_spec(module) is None:
            return f"not installed (bench/run.sh installs {lib} from PyPI)"
        return None

    def target(self, t: Target) -> None:
        self.targets.append(t)
        print(f"  {t.measure:<56} {t.value:>26}  CPU {t.cpu_value:>12}  target {t.target:<10} "
              f"{t.status} (CPU: {t.cpu_status or '-'}) {t.note}", flush=True)

    # -- encode and decode ----------------------------------------------------

    def encode(self) -> None:
        self.lines += ["", "### Encode, one thread", "", ENCODE_TEXT]
        for vocab in self.args.vocabularies:
            if vocabulary_file(vocab) is None:
                self.lines += ["", f"{vocab}: bpe-openai not installed (it ships the vocabulary files)"]
                continue
            self.encode_vocabulary(vocab)

    def encode_vocabulary(self, vocab: str) -> None:
        libs = ["brevix", "brevix-bytes"] + [lib for lib in LIBRARIES[1:] if not self.peer_reason(lib)]
        runs: dict[str, list[Result]] = {lib: [] for lib in libs}
        print(f"\nencode {vocab}: {rounds(self.args.rounds)} of {', '.join(libs)}", flush=True)
        for r in range(self.args.rounds):
            for lib in libs if r % 2 == 0 else libs[::-1]:
                params = {"library": lib, "vocab": vocab, "text": str(self.text)}
                if r == 0:
                    params["ids_out"] = str(self.work / f"{vocab}-{lib}.npy")
                runs[lib].append(run_child("encode", params, self.args.timeout))
        self.encode_table(vocab, runs)
        self.encode_targets(vocab, runs)
        self.decode_rows(vocab, runs)

    def encode_table(self, vocab: str, runs: dict[str, list[Result]]) -> None:
        base, base_cpu = median_of(runs["brevix"], "mb_s"), median_of(runs["brevix"], "cpu_mb_s")
        self.lines += [
            "", f"#### {vocab}", "",
            "| implementation | MB/s | brevix / this | MB/s by CPU time | brevix / this by CPU time "
            "| per round (MB/s) | tokens | ids | status |",
            "|---|---:|---:|---:|---:|---|---:|---|---|",
        ]
        for lib in [*runs, *[lib for lib in LIBRARIES if lib not in runs]]:
            rs = runs.get(lib, [])
            first = next((r for r in rs if ok(r)), None)
            if first is None:
                why = self.peer_reason(lib) or (status_text(rs[-1]) if rs else "not run")
                self.lines.append(f"| {LABELS[lib]} | | | | | | | | {why} |")
                continue
            speed, cpu = median_of(rs, "mb_s"), median_of(rs, "cpu_mb_s")
            self.lines.append(
                f"| {LABELS[lib]} | {speed:.2f} | {ratio(base, speed)} | {cpu:.2f} | {ratio(base_cpu, cpu)} | "
                f"{per_round(rs, 'mb_s')} | {first['tokens']} | {self.compare_ids(vocab, lib, runs)} | "
                f"{'ok' if all(ok(r) for r in rs) else status_text(next(r for r in rs if not ok(r)))} |")

    def compare_ids(self, vocab: str, lib: str, runs: dict[str, list[Result]]) -> str:
        if lib == "brevix":
            return "reference"
        digests = {r["digest"] for r in runs[lib] + runs["brevix"] if ok(r)}
        if len(digests) == 1:
            return "identical to brevix"
        import numpy as np

        try:
            mine = np.load(self.work / f"{vocab}-brevix.npy")
            theirs = np.load(self.work / f"{vocab}-{lib}.npy")
        except OSError:
            return "DIFFER (ids not saved)"
        n = min(len(mine), len(theirs))
        where = int(np.argmax(mine[:n] != theirs[:n])) if (mine[:n] != theirs[:n]).any() else n
        return (f"DIFFER from index {where} (brevix {mine[where:where + 3].tolist()}, "
                f"this {theirs[where:where + 3].tolist()}; {len(mine)} vs {len(theirs)} ids)")

    def encode_targets(self, vocab: str, runs: dict[str, list[Result]]) -> None:
        base, base_cpu = median_of(runs["brevix"], "mb_s"), median_of(runs["brevix"], "cpu_mb_s")
        for lib, goal in (("tiktoken", TARGET_VS_TIKTOKEN), ("bpe-openai", TARGET_VS_BPE_OPENAI)):
            measure, target = f"{vocab} encode, brevix / {lib}", f">= {goal:g}x"
            theirs = median_of(runs.get(lib, []), "mb_s")
            if base is None or theirs is None:
                self.target(Target(measure, "", "", target, self.peer_reason(lib) or "not measured", ""))
                continue
            value = base / theirs
            cpu = base_cpu / median_of(runs[lib], "cpu_mb_s")  # type: ignore[operator]
            same = self.compare_ids(vocab, lib, runs)
            self.target(Target(measure, f"{value:.2f}x", f"{cpu:.2f}x", target, judged(value, goal),
                               judged(cpu, goal), "" if same == "identical to brevix" else f"ids {same}"))

    def decode_rows(self, vocab: str, runs: dict[str, list[Result]]) -> None:
        rows = []
        for lib, label in (("brevix", "brevix `decode(numpy int32 array)`"),
                           ("tiktoken", "tiktoken `decode_bytes(list)`")):
            rs = runs.get(lib, [])
            value, cpu = median_of(rs, "decode_gb_s"), median_of(rs, "decode_cpu_gb_s")
            if value is None or cpu is None:
                continue
            good = all(r.get("decode_ok") for r in rs if ok(r))
            first = median_of(rs, "decode_first_gb_s")
            rows.append(f"| {label} | {value:.3f} | {cpu:.3f} | {per_round(rs, 'decode_gb_s', 3)} | "
                        f"{'' if first is None else f'{first:.3f}'} | "
                        f"{'text restored' if good else 'TEXT NOT RESTORED'} |")
            if lib == "brevix":
                goal = TARGET_DECODE_GB_S
                self.target(Target(f"{vocab} decode from a NumPy int32 array", f"{value:.3f} GB/s",
                                   f"{cpu:.3f} GB/s", f">= {goal:g} GB/s", judged(value, goal), judged(cpu, goal),
                                   "" if good else "TEXT NOT RESTORED"))
        self.lines += ["", f"Decoding the {vocab} ids of the same text (GB/s of output, best of "
                       f"{DECODE_CALLS} calls per process, median over rounds; `first call` is each "
                       "process's first, whose result's pages all fault):", "",
                       "| implementation | GB/s | GB/s by CPU time | per round | first call | check |",
                       "|---|---:|---:|---|---:|---|", *rows]

    # -- threads ----------------------------------------------------------------

    def batch(self) -> None:
        if vocabulary_file("cl100k") is None:
            self.lines += ["", "encode_batch: bpe-openai not installed (it ships the vocabulary files)"]
            return
        print(f"\nencode_batch and sha256, {rounds(self.args.batch_rounds)}", flush=True)
        r = run_child("batch", {"text": str(self.text), "rounds": self.args.batch_rounds,
                                "documents": self.args.documents}, self.args.timeout * 2)
        self.lines += [
            "", "### encode_batch on two threads", "",
            f"cl100k, `encode_batch(batch, threads=n)` (lists of ids out) on the same text cut into "
            f"{self.args.documents} documents at line ends and into its non-empty lines; sha256 over "
            "the same batch from a `ThreadPoolExecutor` of n threads, each hashing half the bytes "
            "(repeated to a duration like encoding's; hashlib releases the interpreter lock for "
            f"inputs of 2 KB and more, so it gains nothing on lines). One process, "
            f"{rounds(self.args.batch_rounds)} alternating the four, medians of wall-clock time. "
            "Share = brevix's speed-up / sha256's (target >= 0.9); gain share = (brevix's - 1) / "
            "(sha256's - 1).",
            "",
            "| batch | items | brevix 1 thread (MB/s) | brevix 2 threads (MB/s) | brevix speed-up | "
            "sha256 speed-up | share | gain share | same ids | status |",
            "|---|---:|---:|---:|---:|---:|---:|---:|---|---|",
        ]
        for name in ("documents", "lines"):
            b = r.get(name) if ok(r) else None
            if not b:
                self.lines.append(f"| {name} | | | | | | | | | {status_text(r)} |")
                continue
            med = {k: statistics.median(v) for k, v in b["times"].items()}
            mine, sha = med["brevix 1"] / med["brevix 2"], med["sha256 1"] / med["sha256 2"]
            share = mine / sha
            gain = f"{(mine - 1) / (sha - 1):.2f}" if sha > 1.05 else "(sha256 gained nothing)"
            mb = b["bytes"] / MB
            self.lines.append(
                f"| {name} | {b['items']} | {mb / med['brevix 1']:.1f} | {mb / med['brevix 2']:.1f} | "
                f"{mine:.2f}x | {sha:.2f}x | {share:.2f} | {gain} | "
                f"{'yes' if b['same_ids'] else 'NO'} | ok |")
            status, notes = judged(share, TARGET_THREAD_SHARE), [] if b["same_ids"] else ["IDS DIFFER"]
            if sha < SHA_SPEED_UP_SEEN:
                status = "inconclusive"
                notes.append(f"sha256 gained under {SHA_SPEED_UP_SEEN:g}x: no second core was free")
            self.target(Target(f"encode_batch 2 threads, {name}: speed-up / sha256's",
                               f"{mine:.2f}x / {sha:.2f}x = {share:.2f}", "", f">= {TARGET_THREAD_SHARE:g}",
                               status, "", "; ".join(notes)))

    # -- unsplit ----------------------------------------------------------------

    def train_unsplit(self) -> float:
        from brevix import Tokenizer

        tok = Tokenizer()
        seconds, _ = timed(lambda: tok.train(self.train_text.read_bytes(), 256 + self.args.unsplit_merges))
        self.unsplit_model = self.work / "unsplit.model"
        tok.save(self.unsplit_model)
        return seconds

    def unsplit(self) -> None:
        train_s = self.train_unsplit()
        hows = list(UNSPLIT_LABELS)
        runs: dict[str, list[Result]] = {h: [] for h in hows}
        print(f"\nunsplit model ({self.args.unsplit_merges} merges, trained in {train_s:.2f} s), "
              f"{rounds(self.args.rounds)}", flush=True)
        for r in range(self.args.rounds):
            for how in hows if r % 2 == 0 else hows[::-1]:
                params = {"how": how, "model": str(self.unsplit_model), "text": str(self.text)}
                runs[how].append(run_child("unsplit", params, self.args.timeout))
        self.lines += [
            "", "### Unsplit models", "",
            f"`Tokenizer().train(first {self.args.train_mb:g} MB, 256 + {self.args.unsplit_merges})` "
            f"(no pattern: the unsplit trainer, {train_s:.2f} s), then the whole text encoded as one "
            "piece. Rank order is `Tokenizer.encode`; the low-level class is `tok.to_low_level()` on "
            "the same merges, which encodes differently (whole greedy passes, more ids); its engine "
            "without the echo is what `Tokenizer.encode` ran before it merged by rank, the target's "
            "baseline. One process per measurement, best of two calls, median over rounds.",
            "",
            "| encoding | MB/s | rank / this | MB/s by CPU time | rank / this by CPU time | per round (MB/s) "
            "| ids | checks | status |",
            "|---|---:|---:|---:|---:|---|---:|---|---|",
        ]
        rank, rank_cpu = median_of(runs["rank"], "mb_s"), median_of(runs["rank"], "cpu_mb_s")
        for how in hows:
            first = next((x for x in runs[how] if ok(x)), None)
            if first is None:
                self.lines.append(f"| {UNSPLIT_LABELS[how]} | | | | | | | | {status_text(runs[how][-1])} |")
                continue
            speed, cpu = median_of(runs[how], "mb_s"), median_of(runs[how], "cpu_mb_s")
            checks = "round trip" if all(x["round_trip"] for x in runs[how] if ok(x)) else "ROUND TRIP FAILS"
            if how == "rank":
                checks += ("; first 2 KB as the reference" if first.get("matches_reference")
                           else "; DIFFERS FROM THE REFERENCE")
            self.lines.append(f"| {UNSPLIT_LABELS[how]} | {speed:.2f} | {ratio(rank, speed)} | {cpu:.2f} | "
                              f"{ratio(rank_cpu, cpu)} | {per_round(runs[how], 'mb_s')} | {first['tokens']} | "
                              f"{checks} | ok |")
            if how == "low-quiet" and rank and rank_cpu and speed and cpu:
                # The target: no slower than what Tokenizer.encode ran before.
                self.target(Target("unsplit: rank encode / the encoding it replaced",
                                   f"{rank:.1f} / {speed:.1f} MB/s = {rank / speed:.2f}x",
                                   f"{rank_cpu / cpu:.2f}x", f">= {TARGET_UNSPLIT:g}x",
                                   judged(rank / speed, TARGET_UNSPLIT), judged(rank_cpu / cpu, TARGET_UNSPLIT)))

    # -- worst cases ------------------------------------------------------------

    def worst(self) -> None:
        specs = [("cl100k", "cl100k")] if vocabulary_file("cl100k") else []
        if self.unsplit_model is None:
            self.train_unsplit()
        specs.append(("unsplit", str(self.unsplit_model)))
        sizes = [1 << k for k in range(self.args.worst_from, self.args.worst_to + 1)]
        print(f"\nworst cases, sizes {size_label(sizes[0])} to {size_label(sizes[-1])}", flush=True)
        self.lines += [
            "", "### Worst cases", "",
            "Inputs that no pattern cuts: with cl100k each is one piece (counted below), the unsplit "
            "model has none. Time per `encode` call (wall clock), median over "
            f"{rounds(self.args.worst_rounds)} alternating the sizes in one process (sizes under a "
            "megabyte repeat to a megabyte per timing); growth = time(2n) / time(n), by wall clock "
            "and by CPU time; mean = the geometric mean of the doublings. Target: every doubling "
            f"<= {TARGET_GROWTH:g}x.",
            "",
            "| tokenizer | input | pieces | " + " | ".join(size_label(n) for n in sizes) +
            " | growth per doubling | worst | mean | growth by CPU time | worst by CPU time | mean by CPU time "
            "| status |",
            "|---|---|---:|" + "---:|" * len(sizes) + "---|---:|---:|---|---:|---:|---|",
        ]
        for label, spec in specs:
            for kind, description in WORST_INPUTS.items():
                params = {"tokenizer": spec, "kind": kind, "sizes": sizes, "text": str(self.train_text),
                          "rounds": self.args.worst_rounds}
                self.worst_row(label, kind, description, sizes, run_child("worst", params, self.args.timeout))

    def worst_row(self, label: str, kind: str, description: str, sizes: list[int], r: Result) -> None:
        if not ok(r):
            self.lines.append(f"| {label} | {description} | |" + " |" * len(sizes) + f" | | | | | | {status_text(r)} |")
            return
        wall = [r["median_s"][str(n)] for n in sizes]
        cpu = [r["median_cpu_s"][str(n)] for n in sizes]
        growth = [b / a for a, b in zip(wall, wall[1:])]
        cpu_growth = [b / a for a, b in zip(cpu, cpu[1:])]
        worst, worst_cpu = max(growth), max(cpu_growth)
        mean, mean_cpu = (wall[-1] / wall[0]) ** (1 / len(growth)), (cpu[-1] / cpu[0]) ** (1 / len(growth))
        at = growth.index(worst)
        cells = " | ".join(f"{s * 1e3:.2f} ms" for s in wall)
        status = "ok" if r["round_trip"] else "ROUND TRIP FAILS"
        self.lines.append(f"| {label} | {description} | {r['pieces']} | {cells} | "
                          f"{', '.join(f'{g:.2f}' for g in growth)} | {worst:.2f}x | {mean:.2f}x | "
                          f"{', '.join(f'{g:.2f}' for g in cpu_growth)} | {worst_cpu:.2f}x | {mean_cpu:.2f}x | "
                          f"{status} |")
        self.target(Target(f"worst case, {label}, {kind}: growth per doubling", f"worst {worst:.2f}x",
                           f"worst {worst_cpu:.2f}x", f"<= {TARGET_GROWTH:g}x",
                           judged(worst, TARGET_GROWTH, higher=False), judged(worst_cpu, TARGET_GROWTH, higher=False),
                           f"wall worst at {size_label(sizes[at])} -> {size_label(sizes[at + 1])}; mean "
                           f"{mean:.2f}x (CPU {mean_cpu:.2f}x) over {size_label(sizes[0])} -> {size_label(sizes[-1])}"))

    # -- the section --------------------------------------------------------------

    def section(self, started: datetime.datetime, load_start: str, elapsed: float) -> str:
        import bench

        machine = bench.machine()
        for name in ("bpe-openai", "numpy"):
            try:
                machine[name] = importlib.metadata.version(name)
            except importlib.metadata.PackageNotFoundError:
                machine[name] = "not installed"
        command = (os.environ.get("BREVIX_BENCH_COMMAND")
                   or f"python bench/encode_standard.py {' '.join(self.args.argv)}").strip()
        head = [
            SECTION, "",
            f"Run {started.isoformat(timespec='seconds')} (UTC) with `{command}`; it took "
            f"{elapsed / 60:.1f} minutes. Text: {self.text_label}; {rounds(self.args.rounds)}.", "",
            "Machine:", "",
            *[f"- {k}: {v}" for k, v in machine.items()],
            f"- Load average (1, 5, 15 min) at start: {load_start}; at end: {bench.load_average()}",
            "",
            "Ratios compare libraries measured in the same run, in alternating rounds, each "
            "measurement in its own process unless said otherwise; figures are medians over rounds. "
            "Targets are judged on wall-clock time. Anything else running on the machine competes "
            "for its two cores (see the load averages) and stretches wall-clock time, so the same "
            "figures by process CPU time are given beside them: on a busy machine they are the better "
            "estimate of what an idle one gives (cache contention still counts).",
            "", "### Targets", "",
            "| measure | value | by CPU time | target | status | by CPU time | note |",
            "|---|---:|---:|---|---|---|---|",
            *[f"| {t.measure} | {t.value} | {t.cpu_value} | {t.target} | {t.status} | {t.cpu_status} | {t.note} |"
              for t in self.targets],
        ]
        return "\n".join(head + self.lines) + "\n"


ENCODE_TEXT = (
    "Each library encodes the whole text in its own process (a fresh `str` per call, as the peers "
    "take `str`; brevix also from `bytes`), best of two calls per process, libraries alternating "
    "over the rounds. `brevix / this` divides brevix's `str` median by the row's. tiktoken is built "
    "from the same `.tiktoken` file with `brevix.PATTERNS`; bpe-openai is the package's Rust "
    "tokenizer called directly (its `Encoding` wrapper refuses texts of a million characters or "
    "more). `ids` compares each library's ids with brevix's.")

UNSPLIT_LABELS = {
    "rank": "rank order, `Tokenizer.encode`",
    "low-quiet": "`Tokenizer.encode` before rank order: the low-level engine without its echo "
                 "(`_internal.encode_quiet_on`)",
    "low-hook": "low-level, `_internal.encode_on(low, text, \"fast\")` (its echo built in memory)",
    "low-method": "low-level, `low.encode(text)` (ids printed to /dev/null)",
}


def ratio(base: float | None, value: float | None) -> str:
    return f"{base / value:.2f}x" if base and value else ""


LABELS = {
    "brevix": "brevix `Tokenizer.encode(str)`",
    "brevix-bytes": "brevix `Tokenizer.encode(bytes)`",
    "tiktoken": "tiktoken `encode_ordinary(str)`, same ranks and pattern",
    "bpe-openai": "bpe-openai (Rust `bpe-openai` crate) `PyTokenizer.encode(str)`",
}


def rounds(n: int) -> str:
    return f"{n} round{'s' if n != 1 else ''}"


def size_label(n: int) -> str:
    return f"{n >> 20} MB" if n >= 1 << 20 else f"{n >> 10} KB"


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="tiny sizes, one round, cl100k only (seconds)")
    p.add_argument("--no-peers", action="store_true", help="measure brevix only")
    p.add_argument("--rounds", type=int, help="alternating rounds (default 5; quick: 1)")
    p.add_argument("--text-mb", type=float, help="text size (default 10; quick: 0.2)")
    p.add_argument("--parts", nargs="+", choices=PARTS, default=PARTS)
    p.add_argument("--results", type=Path, help="splice the section into this RESULTS.md "
                   "(default bench/RESULTS.md when every part runs and not --quick: a section of "
                   "some parts would replace the full one)")
    p.add_argument("--markdown", type=Path, help="also write the section alone to this file")
    p.add_argument("--corpus-dir", type=Path, help="corpus cache (default /tmp/brevix-bench-corpora)")
    p.add_argument("--timeout", type=float, help="seconds per process (default 900; quick: 120)")
    args = p.parse_args(argv)
    q = args.quick
    args.argv = argv if argv is not None else sys.argv[1:]
    args.rounds = args.rounds or (1 if q else 5)
    args.text_mb = args.text_mb or (0.2 if q else 10)
    args.train_mb = 0.05 if q else 1
    args.unsplit_merges = 200 if q else 5000
    args.vocabularies = ["cl100k"] if q else VOCABULARIES
    args.batch_rounds = 1 if q else max(5, 2 * args.rounds)
    args.documents = 16 if q else 256
    args.worst_from, args.worst_to = (10, 12) if q else (14, 22)
    args.worst_rounds = 1 if q else max(5, args.rounds)
    args.timeout = args.timeout or (120 if q else 900)
    args.corpus_dir = args.corpus_dir or Path(tempfile.gettempdir()) / "brevix-bench-corpora"
    if args.results is None and not q and set(args.parts) == set(PARTS):
        args.results = HERE / "RESULTS.md"
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    started = datetime.datetime.now(datetime.timezone.utc)
    load_start = " ".join(f"{x:.2f}" for x in os.getloadavg())
    with tempfile.TemporaryDirectory(prefix="brevix-encode-standard-") as tmp:
        run = Run(args, Path(tmp))
        if "encode" in args.parts:
            run.encode()
        if "batch" in args.parts:
            run.batch()
        if "unsplit" in args.parts:
            run.unsplit()
        if "worst" in args.parts:
            run.worst()
        elapsed = (datetime.datetime.now(datetime.timezone.utc) - started).total_seconds()
        section = run.section(started, load_start, elapsed)
    print()
    print(section)
    if args.markdown:
        args.markdown.write_text(section)
    if args.results:
        splice(args.results, section)
        print(f"wrote the section into {args.results}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--child":
        sys.exit(child_main(*sys.argv[2:]))
    sys.exit(main())
