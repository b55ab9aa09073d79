#!/usr/bin/env python3
"""The piece-counting phase of ``brevix.cluster.train_files`` on local
Dask clusters of 1 and 2 worker processes, against counting in one process
(``PieceCounter`` on 1 thread and on every CPU), and the size of the counts
a shard sends back.

    python bench/train_distributed.py [--mb 100] [--shard-mb 64] [--workers 1 2]
                                      [--pattern cl100k] [--out FILE]

The text is the benchmark corpus of bench/corpus.py (real text found on the
machine), read with a document per line. A cluster run is timed from
submitting the count tasks to holding the summed counts in this process
(counting, the pairwise additions on the workers, the transfer, loading);
cluster start-up is timed apart. Every cluster run's counts are checked
against the one-process count (same distinct pieces, same first merges).
Nothing here judges a timing.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import corpus as corpora  # noqa: E402

from brevix import Tokenizer, _core  # noqa: E402
from brevix import cluster as bd  # noqa: E402
from brevix._shard_counts import CountJob, count_shard  # noqa: E402

MB = 1_000_000
CHECK_MERGES = 200


def main() -> int:
    args = parse_args()
    import distributed

    text_path, info = corpora.ensure(int(args.mb * MB), Path(args.corpus_dir))
    tok = Tokenizer(pattern=args.pattern)
    pattern = tok.pattern
    path = os.fsencode(text_path)
    rows = [
        f"corpus: {info['bytes'] / MB:.1f} MB of real text ({text_path}), a document per line; "
        f"pattern {args.pattern}; shards of {args.shard_mb} MB; {os.cpu_count()} CPUs",
        "",
        "| counting | seconds | MB/s | distinct pieces |",
        "|---|---:|---:|---:|",
    ]
    reference = None
    for threads in (1, 0):
        counter = _core.PieceCounter(pattern, [], threads)
        seconds, _ = timed(lambda c=counter: c.add_file(path, True, None))
        reference = reference or counter
        label = "one process, 1 thread" if threads == 1 else "one process, all CPUs"
        rows.append(row(label, seconds, info["bytes"], counter.distinct()))
    assert reference is not None
    expected = merges_of(reference, pattern)

    inputs = [bd.InputFile.stat(str(text_path))]
    plans = bd.plan_shards([inputs[0].size], int(args.shard_mb * MB), True)
    jobs = [CountJob(pattern, (), plan, {0: inputs[0]}, True) for plan in plans]
    shard_counts = count_shard(jobs[0])
    notes = [
        f"counts of one {jobs[0].plan.nbytes / MB:.1f} MB shard: {len(shard_counts) / MB:.2f} MB "
        f"encoded ({_core.PieceCounter.from_bytes(pattern, [], shard_counts).distinct()} "
        f"distinct pieces); of the whole corpus: {len(reference.to_bytes()) / MB:.2f} MB"
    ]
    for workers in args.workers:
        started = time.perf_counter()
        with distributed.LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True,
            dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL,
        ) as cluster, distributed.Client(cluster) as client:
            startup = time.perf_counter() - started
            seconds, counter = timed(
                lambda: _core.PieceCounter.from_bytes(
                    pattern, [], bd._count_on(distributed, client, jobs, False)
                )
            )
        if counter.distinct() != reference.distinct() or merges_of(counter, pattern) != expected:
            raise SystemExit(f"{workers} workers: the counts differ from one process's")
        label = f"Dask, {workers} worker(s), {len(jobs)} shards (start-up {startup:.1f} s)"
        rows.append(row(label, seconds, info["bytes"], counter.distinct()))
    report = "\n".join(rows + [""] + notes) + "\n"
    print(report)
    if args.out:
        Path(args.out).write_text(report)
    return 0


def merges_of(counter, pattern):
    tok = Tokenizer(pattern=pattern)
    tok._train_counted(counter, 256 + CHECK_MERGES, False)
    return tok.merges


def row(label, seconds, nbytes, distinct):
    return f"| {label} | {seconds:.2f} | {nbytes / MB / seconds:.1f} | {distinct} |"


def timed(fn):
    start = time.perf_counter()
    value = fn()
    return time.perf_counter() - start, value


def parse_args() -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--mb", type=float, default=100.0, help="corpus size in MB")
    p.add_argument("--shard-mb", type=float, default=64.0, help="MB of corpus per task (train_files' default)")
    p.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    p.add_argument("--pattern", default="cl100k")
    p.add_argument("--corpus-dir", default="/tmp/brevix-bench-corpora")
    p.add_argument("--out", help="also write the report to this file")
    return p.parse_args()


if __name__ == "__main__":
    sys.exit(main())
