"""Encoding corpora in bulk on a Dask cluster (``brevix encode-files``), and
GPT-style training whose piece counting runs there (``brevix train
--workers N``, :func:`train_files`).

    from brevix.cluster import encode_files
    encode_files("tok.model", "out/", ["corpus/"], per_line=True, workers=2)

(``brevix.distributed``, its earlier name, is the same module.)

Every input is cut into shards of about ``shard_mb`` MB (see
:mod:`brevix._shards` for the plan); one Dask task per shard reads its byte
ranges, encodes each document on its own with ``Tokenizer.encode`` and
writes ``shard-NNNNN.npy`` (int32 ids) and ``shard-NNNNN.idx.npy`` (int64
end offset of each document) atomically into the output directory, which,
like the inputs, must be reachable at the same path from every worker. A
``manifest.json`` describes the run and is kept up to date while it goes,
so that running the same command again keeps the shards already done.

Without ``scheduler`` or ``client`` a ``LocalCluster`` of ``workers``
processes starts and stops with the call. Dask itself (``pip install
'brevix[dask]'``) is imported only when a run starts.
"""

from __future__ import annotations

import argparse
import contextlib
import fcntl
import hashlib
import importlib
import logging
import os
import sys
import tempfile
import time
import uuid
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from brevix._shard_counts import CountJob, count_shard, merge_counts
from brevix._shards import (
    EncodeFilesError,
    InputChangedError,
    InputFile,
    ShardJob,
    ShardPlan,
    build_manifest,
    encode_shard,
    find_inputs,
    plan_shards,
    read_manifest,
    recorded_shards,
    remove_temporary_files,
    write_manifest,
)
from brevix._tokenizer import available_cpus

if TYPE_CHECKING:
    from brevix import Tokenizer

__all__ = [
    "DaskMissingError",
    "EncodeFilesError",
    "InputChangedError",
    "encode_files",
    "train_files",
]

MB = 1_000_000
DEFAULT_SHARD_MB = 64.0
DEFAULT_TRAIN_SHARD_BYTES = 64 * MB
INSTALL_HINT = "encode-files needs Dask: pip install 'brevix[dask]'"

# Task failures (an exception, not a lost worker) are tried again this many
# times; Dask's own distributed.scheduler.allowed-failures covers tasks
# whose worker died under them.
_TASK_RETRIES = 2
# How many shards' counts one task adds up.
_MERGE_FAN_IN = 8
# What the merge loop holds per distinct piece (its pairs, positions and
# counts), measured in bench/RESULTS.md ("Training from piece counts") at
# about 290 bytes; rounded up.
_TRAINING_BYTES_PER_PIECE = 320
# The default bound never goes below this many pieces (a small or busy
# machine still trains the usual corpora exactly).
_MIN_DEFAULT_PIECES = 1_000_000


def default_max_pieces() -> int:
    """The distinct pieces training keeps by default: as many as the merge
    loop can hold in half the memory available now (``MemAvailable``), and
    at least a million."""
    available = _available_memory()
    if available is None:
        return _MIN_DEFAULT_PIECES
    return max(_MIN_DEFAULT_PIECES, available // 2 // _TRAINING_BYTES_PER_PIECE)


def _available_memory() -> int | None:
    try:
        with open("/proc/meminfo", encoding="ascii") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        return None
# The manifest is rewritten at most this often while shards complete.
_MANIFEST_INTERVAL_S = 2.0


class DaskMissingError(ImportError):
    def __init__(self) -> None:
        super().__init__(INSTALL_HINT)


def encode_files(
    model: Any,
    out_dir: str | os.PathLike[str],
    inputs: Sequence[str | os.PathLike[str]],
    *,
    per_line: bool = False,
    shard_mb: float = DEFAULT_SHARD_MB,
    workers: int | None = None,
    scheduler: str | None = None,
    client: Any = None,
    progress: bool = False,
) -> dict[str, Any]:
    """Encodes every document of ``inputs`` into shards in ``out_dir``.

    ``model`` is a model file or a :class:`brevix.Tokenizer`. ``inputs`` are
    files, directories (walked in sorted order) or glob patterns. A document
    is a whole file, or each line without its newline with ``per_line``.
    The run uses ``client`` if given, else the cluster at ``scheduler``,
    else a local cluster of ``workers`` processes (default: one per CPU).
    ``progress`` shows a bar of input bytes done on stderr.

    Returns the manifest, as also written to ``out_dir/manifest.json``.
    Raises :class:`EncodeFilesError` for a bad model, input or output
    directory (:class:`InputChangedError` for an input that changed since
    the manifest or during the run) and :class:`DaskMissingError`.
    """
    shard_bytes = _shard_bytes(shard_mb)
    done = _encode(
        model, out_dir, inputs, per_line, shard_bytes, workers, scheduler, client, progress
    )
    return done.manifest()


def _encode(
    model: Any,
    out_dir: str | os.PathLike[str],
    inputs: Sequence[Any],
    per_line: bool,
    shard_bytes: int,
    workers: int | None,
    scheduler: str | None,
    client: Any,
    progress: bool,
) -> _Run:
    dask = _import_distributed()
    out_dir = os.path.abspath(os.fspath(out_dir))
    with _only_run_in(out_dir):
        run = _prepare(model, out_dir, inputs, per_line, shard_bytes)
        with _connect(dask, client, scheduler, workers) as c:
            _execute(dask, c, run, progress)
    return run


def _import_distributed() -> Any:
    try:
        import distributed
    except ImportError:
        raise DaskMissingError() from None
    return distributed


def _shard_bytes(shard_mb: float) -> int:
    shard_bytes = int(shard_mb * MB)
    if shard_bytes < 1:
        raise EncodeFilesError(f"shard size must be at least one byte, not {shard_mb} MB")
    return shard_bytes


# ---- preparing a run ---------------------------------------------------------


@dataclass
class _Run:
    """One encode-files job: what to encode, where, and what is done."""

    tokenizer: Any
    model_path: str
    model_sha256: str
    out_dir: str
    files: list[InputFile]
    per_line: bool
    shard_bytes: int
    plans: list[ShardPlan]
    # Shards an earlier run recorded, not yet checked, and those this run
    # wrote or found intact; only the second kind makes the run complete.
    earlier: dict[int, dict[str, Any]] = field(default_factory=dict)
    records: dict[int, dict[str, Any]] = field(default_factory=dict)
    reused: int = 0

    def manifest(self) -> dict[str, Any]:
        return build_manifest(
            model_path=self.model_path,
            model_sha256=self.model_sha256,
            files=self.files,
            per_line=self.per_line,
            shard_bytes=self.shard_bytes,
            plans=self.plans,
            records={**self.earlier, **self.records},
            complete=len(self.records) == len(self.plans),
        )

    def job(self, plan: ShardPlan) -> ShardJob:
        used = {p.input: self.files[p.input] for p in plan.pieces}
        expected = self.earlier.get(plan.index)
        return ShardJob(plan, used, self.out_dir, self.per_line, expected)


def _prepare(
    model: Any, out_dir: str, inputs: Sequence[Any], per_line: bool, shard_bytes: int
) -> _Run:
    """Checks everything that can be checked before a cluster starts."""
    tokenizer, model_path, model_sha256 = _load_model(model)
    paths = find_inputs(inputs)
    _refuse_inputs_inside(out_dir, paths)
    files = [InputFile.stat(path) for path in paths]
    plans = plan_shards([f.size for f in files], shard_bytes, per_line)
    run = _Run(tokenizer, model_path, model_sha256, out_dir, files, per_line, shard_bytes, plans)
    earlier = read_manifest(out_dir)
    if earlier is not None:
        try:
            run.earlier = recorded_shards(earlier, run.manifest(), out_dir)
        except (KeyError, TypeError, AttributeError):
            raise EncodeFilesError(
                f"the manifest in {out_dir!r} is damaged; encode into a new directory"
            ) from None
    remove_temporary_files(out_dir)
    return run


def _load_model(model: Any) -> tuple[Any, str, str]:
    """The tokenizer, a name for it and the sha256 of its model file."""
    if not isinstance(model, (str, bytes, os.PathLike)):
        return model, f"<{type(model).__name__}>", _tokenizer_sha256(model)
    from brevix import Tokenizer, model_file

    path = os.path.abspath(os.fsdecode(model))
    try:
        # One read serves the hash and the tokenizer: a file replaced between
        # two reads would give the manifest another model's hash.
        with open(path, "rb") as f:
            data = f.read()
        tokenizer = Tokenizer._from_data(model_file.parse(data, path), fixed_ids=True, source=path)
    except OSError as e:
        raise EncodeFilesError(f"cannot read model {path!r}: {e.strerror or e}") from None
    except ValueError as e:
        raise EncodeFilesError(f"bad model: {e}") from None
    return tokenizer, path, hashlib.sha256(data).hexdigest()


def _tokenizer_sha256(tokenizer: Any) -> str:
    """The sha256 of the model file ``tokenizer`` saves to."""
    with tempfile.TemporaryDirectory(prefix="brevix-model-") as tmp:
        path = os.path.join(tmp, "model")
        tokenizer.save(path)
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()


def _refuse_inputs_inside(out_dir: str, paths: Sequence[str]) -> None:
    inside = os.path.realpath(out_dir) + os.sep
    for path in paths:
        if os.path.realpath(path).startswith(inside):
            raise EncodeFilesError(f"input {path!r} is inside the output directory")


@contextlib.contextmanager
def _only_run_in(out_dir: str) -> Iterator[None]:
    """Creates ``out_dir`` and holds a lock on it: two runs into one
    directory would remove each other's files being written and overwrite
    each other's manifest."""
    try:
        os.makedirs(out_dir, exist_ok=True)
        fd = os.open(out_dir, os.O_RDONLY)
    except OSError as e:
        raise EncodeFilesError(f"cannot create {out_dir!r}: {e.strerror or e}") from None
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise EncodeFilesError(f"another encode-files run is writing to {out_dir!r}") from None
        yield
    finally:
        os.close(fd)  # releases the lock


# ---- running it on Dask ------------------------------------------------------


@contextlib.contextmanager
def _connect(dask: Any, client: Any, scheduler: str | None, workers: int | None) -> Iterator[Any]:
    if client is not None:
        yield client
    elif scheduler is not None:
        try:
            connected = dask.Client(scheduler)
        except OSError as e:
            raise EncodeFilesError(f"cannot reach the scheduler at {scheduler}: {e}") from None
        with connected:
            yield connected
    else:
        with dask.LocalCluster(
            n_workers=workers or available_cpus(),
            threads_per_worker=1,
            processes=True,
            # A free port on this machine only (the default 8787 may be taken).
            dashboard_address="127.0.0.1:0",
            # Workers closing with the cluster log heartbeat failures as
            # errors; what goes wrong in a task reaches this process anyway.
            silence_logs=logging.CRITICAL,
        ) as cluster, dask.Client(cluster) as local:
            yield local


def _execute(dask: Any, client: Any, run: _Run, progress: bool) -> None:
    """One task per shard; the manifest follows their completion."""
    write_manifest(run.out_dir, run.manifest())
    tokenizer, futures = _submit(client, run)
    with _progress_bar(sum(p.nbytes for p in run.plans), progress) as bar:
        try:
            _collect(dask, run, futures, bar)
        finally:
            client.cancel([*futures, tokenizer])
            write_manifest(run.out_dir, run.manifest())
    # What writers killed mid-write left; a rerun would remove it too.
    remove_temporary_files(run.out_dir)


def _submit(client: Any, run: _Run) -> tuple[Any, dict[Any, ShardPlan]]:
    # The tokenizer travels once, as the result of a task rather than as
    # scattered data: should every worker holding it die, Dask can run that
    # task again, while scattered data would be lost for good. Each worker
    # fetches it once, from whichever worker has it.
    run_id = uuid.uuid4().hex[:8]
    tokenizer = client.submit(_same, run.tokenizer, key=f"brevix-tokenizer-{run_id}")
    futures = {
        client.submit(
            encode_shard,
            tokenizer,
            run.job(plan),
            key=f"brevix-{plan.name}-{run_id}",
            retries=_TASK_RETRIES,
        ): plan
        for plan in run.plans
    }
    return tokenizer, futures


def _collect(dask: Any, run: _Run, futures: dict[Any, ShardPlan], bar: Any) -> None:
    last_write = time.monotonic()
    for future in dask.as_completed(futures):
        plan = futures[future]
        _record(run, plan, _result(dask, future, plan))
        bar.update(plan.nbytes)
        if time.monotonic() - last_write >= _MANIFEST_INTERVAL_S:
            write_manifest(run.out_dir, run.manifest())
            last_write = time.monotonic()


def _same(value: Any) -> Any:
    return value


def _result(dask: Any, future: Any, plan: ShardPlan) -> dict[str, Any]:
    try:
        result: dict[str, Any] = future.result()
    except dask.KilledWorker:
        raise EncodeFilesError(
            f"{plan.name}: every worker that ran it died (out of memory?)"
        ) from None
    except OSError as e:
        raise EncodeFilesError(f"{plan.name}: {e}") from None
    return result


def _record(run: _Run, plan: ShardPlan, result: dict[str, Any]) -> None:
    if result.pop("reused", False):
        run.reused += 1
    run.records[plan.index] = result


class _NoBar:
    def __enter__(self) -> _NoBar:
        return self

    def __exit__(self, *exc: object) -> None:
        pass

    def update(self, n: int) -> None:
        pass


def _progress_bar(total: int, enabled: bool, desc: str = "encode-files") -> Any:
    if not enabled:
        return _NoBar()
    # Looked up by name: tqdm ships no type information.
    tqdm = importlib.import_module("tqdm").tqdm
    return tqdm(
        total=total, unit="B", unit_scale=True, desc=desc, file=sys.stderr, smoothing=0.1
    )


# ---- training ----------------------------------------------------------------


def train_files(
    files: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    *,
    pattern: str,
    vocab_size: int,
    special_tokens: Sequence[str] | None = None,
    lines: bool = False,
    client: Any = None,
    scheduler: str | None = None,
    workers: int | None = None,
    shard_bytes: int = DEFAULT_TRAIN_SHARD_BYTES,
    max_pieces: int | None = None,
    progress: bool = True,
) -> Tokenizer:
    """A new ``Tokenizer(pattern, special_tokens)`` trained to ``vocab_size``
    on ``files``, its pieces counted on a Dask cluster.

    ``files`` are files, directories (walked in sorted order) or glob
    patterns, each file counted once. A document is a whole file, or each
    line with ``lines``, as in ``Tokenizer.train(files=..., lines=...)``,
    whose merges this learns exactly, whatever the workers and shards.
    Shards of about ``shard_bytes`` (whole files without ``lines``) are
    counted by one task each; the counts are added up eight at a time on
    the workers, then eight sums at a time, and only the total comes back,
    to learn the merges here. The files must be reachable at the same path
    from every worker.

    ``max_pieces`` keeps only that many distinct pieces, the most frequent
    (between equal counts, those whose bytes sort first), with a
    ``UserWarning`` saying how many were dropped; by default (``None``) it
    is :func:`default_max_pieces`, sized from the memory available, so that
    a corpus with more distinct pieces than this process can train on is
    pruned with a warning instead of running out of memory. The cluster is
    ``client``, else the one at ``scheduler``, else a local cluster of ``workers``
    processes (default: one per CPU). ``progress`` shows a bar of bytes
    counted, then the merges.

    Raises :class:`EncodeFilesError` for an input that cannot be read
    (:class:`InputChangedError` for one that changed while counted),
    :class:`DaskMissingError`, and what ``Tokenizer.train`` raises.
    """
    from brevix import Tokenizer

    tokenizer = Tokenizer(pattern=pattern, special_tokens=special_tokens)
    train_tokenizer(
        tokenizer,
        files,
        vocab_size,
        lines=lines,
        client=client,
        scheduler=scheduler,
        workers=workers,
        shard_bytes=shard_bytes,
        max_pieces=max_pieces,
        progress=progress,
    )
    return tokenizer


def train_tokenizer(
    tokenizer: Tokenizer,
    files: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    vocab_size: int,
    *,
    lines: bool = False,
    client: Any = None,
    scheduler: str | None = None,
    workers: int | None = None,
    shard_bytes: int = DEFAULT_TRAIN_SHARD_BYTES,
    max_pieces: int | None = None,
    progress: bool = True,
) -> int:
    """:func:`train_files` into ``tokenizer`` (a ``Tokenizer`` with a
    pattern, continuing from its merges); returns the merges learned. On
    Ctrl-C during the merges, ``tokenizer`` keeps those learned so far."""
    if tokenizer._pattern is None:
        raise ValueError("training on a cluster needs a pattern")
    tokenizer._training_target(vocab_size)  # refused before a cluster starts
    if isinstance(shard_bytes, bool) or not isinstance(shard_bytes, int) or shard_bytes < 1:
        raise ValueError(f"shard_bytes must be a positive int, not {shard_bytes!r}")
    if max_pieces is not None and (
        isinstance(max_pieces, bool) or not isinstance(max_pieces, int) or max_pieces < 0
    ):
        raise ValueError(f"max_pieces must be None or an int >= 0, not {max_pieces!r}")
    specs = [files] if isinstance(files, (str, bytes, os.PathLike)) else list(files)
    inputs = [InputFile.stat(path) for path in find_inputs(os.fsdecode(p) for p in specs)]
    if not inputs:
        raise ValueError("nothing to train on: no input files")
    plans = plan_shards([f.size for f in inputs], shard_bytes, lines)
    specials = tuple(text.encode("utf-8") for text in tokenizer._specials)
    jobs = [
        CountJob(
            tokenizer._pattern,
            specials,
            plan,
            {p.input: inputs[p.input] for p in plan.pieces},
            lines,
        )
        for plan in plans
    ]
    dask = _import_distributed()
    with _connect(dask, client, scheduler, workers) as c:
        encoded = _count_on(dask, c, jobs, progress)
    from brevix import _core

    counter = _core.PieceCounter.from_bytes(tokenizer._pattern, list(specials), encoded)
    del encoded
    bound = default_max_pieces() if max_pieces is None else max_pieces
    pruned = _prune(counter, bound, max_pieces is None)
    merges_before = len(tokenizer.merges)
    try:
        learned: int = tokenizer._train_counted(counter, vocab_size, progress)
    finally:
        # Merges kept after Ctrl-C came from the pruned counts too.
        if pruned is not None and len(tokenizer.merges) != merges_before:
            _record_pruning(tokenizer, pruned)
    return learned


def _count_on(dask: Any, client: Any, jobs: Sequence[CountJob], progress: bool) -> bytes:
    """The encoded piece counts of all ``jobs``, added up on the workers."""
    if not jobs:
        return b"BXPC\x01\x00"  # no pieces (every input empty)
    run_id = uuid.uuid4().hex[:8]
    counts = {
        client.submit(
            count_shard, job, key=f"brevix-count-{job.plan.name}-{run_id}", retries=_TASK_RETRIES
        ): job
        for job in jobs
    }
    submitted = list(counts)
    level = list(counts)
    round_ = 0
    # Groups of _MERGE_FAN_IN, then groups of those: only the total travels
    # to this process. Each level decodes and re-encodes every distinct
    # piece once, so a wide tree has few levels (a tree of pairs spent more
    # time adding up than counting, measured on 1 GB in 63 shards).
    while len(level) > 1:
        pattern, specials = jobs[0].pattern, jobs[0].specials
        groups = [level[i : i + _MERGE_FAN_IN] for i in range(0, len(level), _MERGE_FAN_IN)]
        level = [
            group[0] if len(group) == 1 else client.submit(
                merge_counts,
                pattern,
                specials,
                *group,
                key=f"brevix-merge-{round_}-{i}-{run_id}",
                retries=_TASK_RETRIES,
            )
            for i, group in enumerate(groups)
        ]
        submitted += [f for f, g in zip(level, groups) if len(g) > 1]
        round_ += 1
    try:
        with _progress_bar(sum(j.plan.nbytes for j in jobs), progress, "counting") as bar:
            for future in dask.as_completed(counts):
                _count_result(dask, future, counts[future].plan)
                bar.update(counts[future].plan.nbytes)
        total: bytes = _count_result(dask, level[0], None)
        return total
    finally:
        client.cancel(submitted)


def _count_result(dask: Any, future: Any, plan: ShardPlan | None) -> bytes:
    """The result of a count or merge task; its failure as EncodeFilesError."""
    name = plan.name if plan is not None else "adding up the counts"
    try:
        result: bytes = future.result()
    except dask.KilledWorker:
        raise EncodeFilesError(f"{name}: every worker that ran it died (out of memory?)") from None
    except InputChangedError:
        raise
    except OSError as e:
        raise EncodeFilesError(f"{name}: {e}") from None
    return result


def _prune(counter: Any, max_pieces: int, by_default: bool) -> dict[str, int] | None:
    """Prunes ``counter`` to ``max_pieces`` distinct pieces with a warning;
    what was dropped, or None when nothing was."""
    import warnings

    dropped, least_kept = counter.prune(max_pieces)
    if dropped:
        why = " (the default bound, sized from the memory available; pass max_pieces to choose)" if by_default else ""
        warnings.warn(
            f"dropped the {dropped} rarest distinct pieces to keep {max_pieces}{why}: "
            f"the least frequent piece kept occurs {least_kept} times",
            UserWarning,
            stacklevel=4,
        )
        return {"dropped": dropped, "max_pieces": max_pieces, "least_kept_count": least_kept}
    return None


def _record_pruning(tokenizer: Tokenizer, pruned: dict[str, int]) -> None:
    """Adds ``pruned`` to the runs listed in the tokenizer's metadata."""
    metadata = tokenizer.metadata
    metadata["pruned_pieces"] = [*metadata.get("pruned_pieces", []), pruned]
    tokenizer.metadata = metadata


# ---- the command line --------------------------------------------------------

HELP = "encode files into shards of token ids, on a Dask cluster"
DESCRIPTION = (
    "Encode every document of the inputs (a whole file, or each line with --per-line) "
    "into shards of token ids in OUT_DIR, on a local Dask cluster or the one at --scheduler. "
    "Running it again keeps the shards already written."
)


def add_command(commands: Any) -> None:
    """Adds ``encode-files`` to the subcommands of the ``brevix`` parser."""
    parser = commands.add_parser("encode-files", help=HELP, description=DESCRIPTION)
    add_arguments(parser)
    parser.set_defaults(run=run)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("model", metavar="MODEL", help="model file")
    parser.add_argument("out_dir", metavar="OUT_DIR", help="directory for the shards")
    parser.add_argument(
        "inputs", nargs="+", metavar="INPUT", help="files, directories or glob patterns"
    )
    parser.add_argument(
        "--per-line",
        action="store_true",
        help="each line is a document, without its newline (default: each file)",
    )
    engine = parser.add_mutually_exclusive_group()
    engine.add_argument(
        "--workers",
        type=_positive(int),
        metavar="N",
        help="worker processes of the local cluster (default: one per CPU)",
    )
    engine.add_argument(
        "--scheduler", metavar="ADDRESS", help="use the Dask cluster at ADDRESS (tcp://host:port)"
    )
    parser.add_argument(
        "--shard-mb",
        type=_positive(float),
        default=DEFAULT_SHARD_MB,
        metavar="M",
        help=f"MB of input per shard (default: {DEFAULT_SHARD_MB:g})",
    )
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument(
        "--progress", action="store_true", help="show a progress bar (the default on a terminal)"
    )
    shown.add_argument("--quiet", action="store_true", help="no progress bar, no status line")


def _positive(kind: type) -> Any:
    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not value > 0:
            raise argparse.ArgumentTypeError(f"must be positive: {text}")
        return value

    return parse


def _shows_progress(args: argparse.Namespace) -> bool:
    return bool(args.progress or (not args.quiet and sys.stderr.isatty()))


def run(args: argparse.Namespace) -> int:
    """Runs ``brevix encode-files``; returns the exit status."""
    try:
        shard_bytes = _shard_bytes(args.shard_mb)
        job = _encode(
            args.model, args.out_dir, args.inputs, args.per_line, shard_bytes,
            args.workers, args.scheduler, None, _shows_progress(args),
        )
    except (DaskMissingError, EncodeFilesError) as e:
        print(f"brevix: error: {e}", file=sys.stderr)
        return 1
    if args.quiet:
        return 0
    manifest = job.manifest()
    kept = f" ({job.reused} kept from the earlier run)" if job.reused else ""
    print(
        f"brevix: {manifest['documents']} documents, {manifest['tokens']} tokens "
        f"in {len(job.plans)} shards{kept} in {job.out_dir}",
        file=sys.stderr,
    )
    return 0
