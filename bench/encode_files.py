#!/usr/bin/env python3
"""Throughput of ``brevix encode-files`` on local Dask clusters of 1 and 2
worker processes, against ``Tokenizer.encode_batch`` on the same documents
in one process (all CPUs), and the overhead Dask adds per task.

    python bench/encode_files.py [--mb 200] [--doc-mb 1] [--shard-mb 16]
                                 [--workers 1 2] [--tiny-tasks 200] [--out FILE]

The text is the benchmark corpus of bench/corpus.py (real text found on the
machine), in two shapes: cut at line ends into files of about --doc-mb MB
(one document per file) and as one file read --per-line (one document per
line). A model of --merges merges is learned on the head of the text.
Cluster start-up is timed apart from the runs; the runs reuse a started
cluster. The per-task overhead is the extra time of --tiny-tasks one-byte
shards over one shard. Every output is checked against encode_batch.
Nothing here judges a timing.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import corpus as corpora  # noqa: E402

from brevix import Tokenizer  # noqa: E402
from brevix.cluster import encode_files  # noqa: E402

MB = 1_000_000


def main() -> int:
    args = parse_args()
    import distributed

    work = Path(tempfile.mkdtemp(prefix="brevix-encode-files-bench-"))
    try:
        text_path, info = corpora.ensure(int(args.mb * MB), Path(args.corpus_dir))
        tok, model_path = train(text_path, args, work)
        doc_files = split_into_files(text_path, args.doc_mb, work / "docs")
        shapes = {
            "files": ([str(p) for p in doc_files], False),
            "per-line": ([str(text_path)], True),
        }
        rows = [f"corpus: {info['bytes'] / MB:.1f} MB of real text ({text_path}), "
                f"{args.merges} merges learned on its first {args.train_mb} MB; "
                f"shards of {args.shard_mb} MB; {os.cpu_count()} CPUs"]
        rows += ["", "| documents | engine | seconds | MB/s | ratio to encode_batch | "
                 "worker peak RSS over its RSS before |", "|---|---|---|---|---|---|"]
        overhead = ""
        for shape, (inputs, per_line) in shapes.items():
            docs = documents(inputs, per_line)
            nbytes = sum(map(len, docs))
            seconds, expected = timed(lambda: tok.encode_batch(docs, out="numpy"))
            base = nbytes / seconds / MB
            rows.append(f"| {shape} ({len(docs)}) | encode_batch, all CPUs, one process | "
                        f"{seconds:.2f} | {base:.1f} | 1.00 | |")
            del docs
            for workers in args.workers:
                with cluster(distributed, workers) as (client, startup):
                    before = client.run(_current_rss_bytes)
                    out = work / f"out-{shape}-{workers}"
                    seconds, _ = timed(lambda: encode_files(
                        model_path, out, inputs, per_line=per_line, shard_mb=args.shard_mb,
                        client=client))
                    # Upper bound: the peak may also be from the worker's start.
                    after = client.run(_peak_rss_bytes)
                    growth = max(after[w] - before[w] for w in after)
                    check(out, expected)
                    shutil.rmtree(out)
                    rate = nbytes / seconds / MB
                    rows.append(
                        f"| {shape} | encode-files, {workers} worker(s) "
                        f"(start-up {startup:.1f} s) | "
                        f"{seconds:.2f} | {rate:.1f} | {rate / base:.2f} | {growth / MB:.0f} MB |")
                    if workers == max(args.workers) and shape == "files":
                        overhead = per_task_overhead(model_path, client, args.tiny_tasks, work)
            del expected
        rows += ["", overhead]
    finally:
        shutil.rmtree(work, ignore_errors=True)
    report = "\n".join(rows) + "\n"
    print(report)
    if args.out:
        Path(args.out).write_text(report)
    return 0


def parse_args() -> argparse.Namespace:
    p = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    p.add_argument("--mb", type=float, default=200, help="MB of text (default 200)")
    p.add_argument("--doc-mb", type=float, default=1, help="MB per document file (default 1)")
    p.add_argument("--shard-mb", type=float, default=16, help="MB of input per shard (default 16)")
    p.add_argument("--train-mb", type=float, default=2)
    p.add_argument("--merges", type=int, default=2000)
    p.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    p.add_argument("--tiny-tasks", type=int, default=200)
    p.add_argument("--corpus-dir", default="/tmp/brevix-bench-corpora")
    p.add_argument("--out", help="also write the report to this file")
    return p.parse_args()


def train(text_path: Path, args: argparse.Namespace, work: Path) -> tuple[Tokenizer, str]:
    with open(text_path, "rb") as f:
        head = f.read(int(args.train_mb * MB))
    tok = Tokenizer()
    tok.train(head, 256 + args.merges)
    model_path = str(work / "bench.model")
    tok.save(model_path)
    return tok, model_path


def split_into_files(text_path: Path, doc_mb: float, directory: Path) -> list[Path]:
    """The text cut at line ends into files of about doc_mb MB."""
    directory.mkdir()
    paths = []
    with open(text_path, "rb") as f:
        rest = b""
        while chunk := f.read(int(doc_mb * MB)):
            data = rest + chunk
            cut = data.rfind(b"\n") + 1 or len(data)
            rest = data[cut:]
            paths.append(directory / f"doc-{len(paths):05d}.txt")
            paths[-1].write_bytes(data[:cut])
        if rest:
            paths.append(directory / f"doc-{len(paths):05d}.txt")
            paths[-1].write_bytes(rest)
    return paths


def documents(inputs: list[str], per_line: bool) -> list[bytes]:
    docs = []
    for path in inputs:
        data = Path(path).read_bytes()
        if not per_line:
            docs.append(data)
            continue
        lines = data.split(b"\n")
        if lines[-1] == b"":
            lines.pop()
        docs.extend(lines)
    return docs


def timed(fn):
    start = time.perf_counter()
    value = fn()
    return time.perf_counter() - start, value


class cluster:
    """A started LocalCluster and client, and how long starting took."""

    def __init__(self, distributed, workers: int) -> None:
        self.distributed, self.workers = distributed, workers

    def __enter__(self):
        start = time.perf_counter()
        self.cluster = self.distributed.LocalCluster(
            n_workers=self.workers, threads_per_worker=1, processes=True,
            dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL)
        self.client = self.distributed.Client(self.cluster)
        return self.client, time.perf_counter() - start

    def __exit__(self, *exc) -> None:
        self.client.close()
        self.cluster.close()


def _peak_rss_bytes() -> int:
    # VmHWM, not ru_maxrss: Linux carries ru_maxrss over exec, so a spawned
    # worker would report the peak of the process that started it.
    with open("/proc/self/status") as f:
        line = next(line for line in f if line.startswith("VmHWM:"))
    return int(line.split()[1]) * 1024


def _current_rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def check(out: Path, expected: list[np.ndarray]) -> None:
    manifest = json.loads((out / "manifest.json").read_text())
    ids = [np.load(out / s["ids"]) for s in manifest["shards"]]
    ends = [np.load(out / s["offsets"]) for s in manifest["shards"]]
    got = np.concatenate([np.zeros(0, np.int32), *ids])
    want = np.concatenate([np.zeros(0, np.int32), *expected])
    lengths = np.concatenate([np.zeros(0, np.int64), *[np.diff(e, prepend=0) for e in ends]])
    if not (np.array_equal(got, want) and lengths.tolist() == [len(e) for e in expected]):
        raise SystemExit(f"WRONG RESULT in {out}")


def per_task_overhead(model_path: str, client, tasks: int, work: Path) -> str:
    """Extra seconds per task: `tasks` one-byte shards against one shard."""
    path = work / "tiny.txt"
    path.write_bytes(b"a\n" * tasks)
    times = {}
    for label, shard_bytes in (("one", 2 * tasks), ("many", 2)):
        out = work / f"tiny-{label}"
        times[label], _ = timed(lambda: encode_files(
            model_path, out, [str(path)], per_line=True, shard_mb=shard_bytes / MB, client=client))
        shutil.rmtree(out)
    per_task = (times["many"] - times["one"]) / (tasks - 1)
    noop, _ = timed(lambda: client.gather(client.map(_noop, range(tasks), pure=False)))
    return (f"per-task overhead on {len(client.scheduler_info()['workers'])} workers: "
            f"{per_task * 1000:.1f} ms of wall time per extra one-byte shard, its two files "
            f"written and synced ({tasks} shards in {times['many']:.2f} s, one shard in "
            f"{times['one']:.2f} s); Dask alone: {noop / tasks * 1000:.2f} ms per no-op task")


def _noop(i: int) -> int:
    return i


if __name__ == "__main__":
    sys.exit(main())
