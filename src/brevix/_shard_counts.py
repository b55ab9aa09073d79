"""Piece counts of shards: the part of :func:`brevix.cluster.train_files`
that runs on the workers (it needs brevix, not Dask).

A count task counts the documents of one shard (see :mod:`brevix._shards`
for the plan: whole files, or with ``lines`` the lines that start in each
byte range) natively and returns them as ``PieceCounter.to_bytes()``; merge
tasks add a few such results up. Documents are those ``Tokenizer.train``
counts for the same files: a whole file, or each line with its ``\\n``.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

from brevix import _core
from brevix._shards import InputFile, ShardPlan


@dataclass(frozen=True)
class CountJob:
    """Everything a worker needs to count one shard."""

    pattern: str
    specials: tuple[bytes, ...]
    plan: ShardPlan
    files: dict[int, InputFile]  # the inputs its pieces read, by Piece.input
    lines: bool


def count_shard(job: CountJob) -> bytes:
    """The encoded piece counts of the shard; raises InputChangedError when
    an input is not as it was when the shard was planned."""
    for file in job.files.values():
        file.check_unchanged("training started")
    # One counting thread: a worker runs as many tasks at once as it has threads.
    counter = _core.PieceCounter(job.pattern, list(job.specials), 1)
    for piece in job.plan.pieces:
        path = os.fsencode(job.files[piece.input].path)
        if job.lines:
            counter.add_file_lines(path, piece.start, piece.end, None)
        else:
            counter.add_file(path, False, None)
    for file in job.files.values():
        file.check_unchanged("training started")
    return counter.to_bytes()


def merge_counts(pattern: str, specials: tuple[bytes, ...], first: bytes, *rest: bytes) -> bytes:
    """The encoded sum of encoded piece counts."""
    counter = _core.PieceCounter.from_bytes(pattern, list(specials), first)
    for counts in rest:
        counter.merge(counts)
    return counter.to_bytes()
