"""Shards of encoded documents: the plan that cuts the inputs into shards,
the files one shard is written to, and the manifest that describes a run.

This is the part of ``brevix encode-files`` that runs on the workers (it
needs numpy, not Dask); :mod:`brevix.cluster` drives it.

A shard is a list of pieces, byte ranges of input files, about
``shard_bytes`` long in all. The plan depends only on the input sizes and
the options, so a rerun or a retried task always produces the same shard
under the same name. With whole-file documents a piece is a whole file
(a file larger than a shard is a shard of its own); with ``per_line`` a file
may be cut anywhere, and a piece owns the lines that *start* inside it, so
that every line belongs to exactly one piece whatever the cut.

Performance notes:
- The ids go to disk as each block of documents is encoded: a shard never
  holds all its ids in memory (an untrained model gives 4 bytes of ids per
  input byte). The .npy header has a fixed size and is rewritten at the end
  with the final length.
- Lines are read, split and encoded about 1 MB at a time, and each
  document's ids are copied into one buffer per block at once: keeping the
  arrays encode returns (a list of them, then numpy.concatenate) took 0.5
  to 1 KB per short line (each an array over a memoryview over a
  bytearray), 8 times the shard size in peak memory on 12-byte lines;
  copying keeps the peak a few MB whatever the shard size, and is no
  slower.
- The sha256 of a written shard is taken by reading it back from the page
  cache, a few percent of the encoding time; hashing while writing would
  need the header first, and so all the ids in memory.
"""

from __future__ import annotations

import contextlib
import glob
import hashlib
import io
import json
import os
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import IO, Any, Protocol

from brevix._files import atomic_file

FORMAT_NAME = "brevix-encoded-shards"
FORMAT_VERSION = 1
MANIFEST_NAME = "manifest.json"
IDS_SUFFIX = ".npy"
OFFSETS_SUFFIX = ".idx.npy"

_READ_BLOCK = 1 << 20
_HASH_CHUNK = 1 << 20
# Every 1-D .npy header numpy writes for int32/int64 is 128 bytes, whatever
# the length (version 1.0 headers are padded to a multiple of 64).
_NPY_HEADER_SIZE = 128


class EncodeFilesError(Exception):
    """A problem with the inputs, the model or the output directory, told in one line."""


class InputChangedError(EncodeFilesError):
    """An input file whose size or modification time is not what the run recorded."""

    def __init__(self, path: str, why: str) -> None:
        super().__init__(path, why)  # both kept in args, so that it pickles
        self.path = path
        self.why = why

    def __str__(self) -> str:
        return f"input {self.path!r} changed since {self.why}"


class Encoder(Protocol):
    def encode(self, text: bytes, *, out: str = ...) -> Any: ...


# ---- inputs ----------------------------------------------------------------


@dataclass(frozen=True)
class InputFile:
    path: str
    size: int
    mtime_ns: int

    @classmethod
    def stat(cls, path: str) -> InputFile:
        try:
            st = os.stat(path)
        except OSError as e:
            raise EncodeFilesError(f"cannot read input {path!r}: {e.strerror or e}") from None
        return cls(path, st.st_size, st.st_mtime_ns)

    def check_unchanged(self, why: str) -> None:
        try:
            now = InputFile.stat(self.path)
        except EncodeFilesError:
            raise InputChangedError(self.path, why) from None
        if now != self:
            raise InputChangedError(self.path, why)

    def to_json(self) -> dict[str, Any]:
        return {"path": self.path, "size": self.size, "mtime_ns": self.mtime_ns}


def find_inputs(specs: Iterable[str | os.PathLike[str]]) -> list[str]:
    """The input files named by ``specs``, as absolute paths, each once.

    A spec is a file, a directory (every file below it, in sorted order) or
    a glob pattern (its matches in sorted order, directories walked).
    """
    found: dict[str, None] = {}
    for spec in specs:
        for path in _expand(os.fspath(spec)):
            found.setdefault(os.path.abspath(path), None)
    return list(found)


def _expand(spec: str) -> list[str]:
    if os.path.exists(spec):
        return _walk(spec)
    matches = sorted(glob.glob(spec, recursive=True))
    if not matches:
        raise EncodeFilesError(f"no such input: {spec!r}")
    return [path for match in matches for path in _walk(match)]


def _walk(path: str) -> list[str]:
    if not os.path.isdir(path):
        return [path]
    files: list[str] = []
    for directory, subdirectories, names in os.walk(path):
        subdirectories.sort()
        files.extend(os.path.join(directory, name) for name in sorted(names))
    return [f for f in files if os.path.isfile(f)]


# ---- the plan --------------------------------------------------------------


@dataclass(frozen=True)
class Piece:
    """Bytes [start, end) of input number ``input``."""

    input: int
    start: int
    end: int


@dataclass(frozen=True)
class ShardPlan:
    index: int
    pieces: tuple[Piece, ...]

    @property
    def name(self) -> str:
        return f"shard-{self.index:05d}"

    @property
    def nbytes(self) -> int:
        return sum(p.end - p.start for p in self.pieces)


def plan_shards(sizes: Sequence[int], shard_bytes: int, per_line: bool) -> list[ShardPlan]:
    """Cuts inputs of the given sizes into shards of about ``shard_bytes``."""
    if shard_bytes < 1:
        raise ValueError(f"shard size must be at least 1 byte, not {shard_bytes}")
    cut = _cut_lines if per_line else _cut_files
    groups = cut(sizes, shard_bytes)
    return [ShardPlan(i, tuple(pieces)) for i, pieces in enumerate(groups)]


def _cut_files(sizes: Sequence[int], shard_bytes: int) -> list[list[Piece]]:
    groups: list[list[Piece]] = []
    filled = 0
    for i, size in enumerate(sizes):
        if not groups or (filled > 0 and filled + size > shard_bytes):
            groups.append([])
            filled = 0
        groups[-1].append(Piece(i, 0, size))
        filled += size
    return groups


def _cut_lines(sizes: Sequence[int], shard_bytes: int) -> list[list[Piece]]:
    groups: list[list[Piece]] = []
    filled = shard_bytes
    for i, size in enumerate(sizes):
        start = 0
        while start < size:
            if filled >= shard_bytes:
                groups.append([])
                filled = 0
            end = min(size, start + shard_bytes - filled)
            groups[-1].append(Piece(i, start, end))
            filled += end - start
            start = end
    return groups


# ---- documents -------------------------------------------------------------


def iter_document_blocks(
    files: Mapping[int, InputFile],
    pieces: Iterable[Piece],
    per_line: bool,
    block_bytes: int = _READ_BLOCK,
) -> Iterator[list[bytes]]:
    """The documents of a shard in order, read as they are needed: lines in
    blocks of about ``block_bytes``, whole files one at a time."""
    for piece in pieces:
        with open(files[piece.input].path, "rb") as f:
            if per_line:
                yield from _lines_starting_in(f, piece.start, piece.end, block_bytes)
            else:
                yield [_whole(f, files[piece.input])]


def iter_documents(
    files: Mapping[int, InputFile],
    pieces: Iterable[Piece],
    per_line: bool,
    block_bytes: int = _READ_BLOCK,
) -> Iterator[bytes]:
    for block in iter_document_blocks(files, pieces, per_line, block_bytes):
        yield from block


def _whole(f: IO[bytes], file: InputFile) -> bytes:
    data = f.read(file.size + 1)
    if len(data) != file.size:
        raise InputChangedError(file.path, "the run started")
    return data


def _lines_starting_in(
    f: IO[bytes], start: int, end: int, block_bytes: int
) -> Iterator[list[bytes]]:
    """Each line that starts in [start, end), without its newline, in blocks."""
    base = _first_line_start(f, start, block_bytes)  # file offset of parts[0], a line start
    # The bytes read since the last newline, as read: a line longer than a
    # block is joined once, when it ends (joining at every read would copy
    # it over and over, quadratic in its length).
    parts: list[bytes] = []
    while base < end:
        chunk = f.read(block_bytes)
        if not chunk:
            if parts:
                yield [b"".join(parts)]  # the last line, without a newline
            return
        parts.append(chunk)
        if b"\n" not in chunk:
            continue  # a line longer than a block
        data = b"".join(parts) if len(parts) > 1 else chunk
        cut = data.rfind(b"\n")
        lines = data[:cut].split(b"\n")
        # Line j starts after the j-th newline; those starting before `end`:
        owned = 1 + data.count(b"\n", 0, max(0, end - base - 1))
        if owned < len(lines):
            yield lines[:owned]
            return
        yield lines
        rest = data[cut + 1 :]
        parts = [rest] if rest else []
        base += cut + 1


def _first_line_start(f: IO[bytes], start: int, block_bytes: int) -> int:
    """Seeks to the first line start at or after ``start``; the line under
    way there belongs to the piece before (it is skipped a block at a time,
    not read whole)."""
    if start == 0:
        return 0
    f.seek(start - 1)
    while chunk := f.read(block_bytes):
        newline = chunk.find(b"\n")
        if newline >= 0:
            return f.seek(newline + 1 - len(chunk), io.SEEK_CUR)
    return f.tell()


# ---- shard files -----------------------------------------------------------


def remove_temporary_files(directory: str) -> None:
    """Removes what writers killed mid-write left behind."""
    for name in os.listdir(directory):
        if name.startswith(".shard-") or name.startswith("." + MANIFEST_NAME + "."):
            if name.endswith(".tmp"):
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(directory, name))


class NpyStream:
    """Writes a 1-D .npy array of ``dtype`` piece by piece to an open file."""

    def __init__(self, f: IO[bytes], dtype: str) -> None:
        import numpy

        self.np = numpy
        self._f = f
        self._dtype = numpy.dtype(dtype)
        self.length = 0
        f.write(self._header(0))

    def write(self, values: Any) -> None:
        values = self.np.ascontiguousarray(values, dtype=self._dtype)
        self._f.write(values.data.cast("B"))
        self.length += len(values)

    def finish(self) -> None:
        self._f.seek(0)
        self._f.write(self._header(self.length))
        self._f.seek(0, io.SEEK_END)

    def _header(self, length: int) -> bytes:
        out = io.BytesIO()
        header = {"descr": self._dtype.str, "fortran_order": False, "shape": (length,)}
        # Typed as Any: older NumPy releases leave this function unannotated.
        write_header: Any = self.np.lib.format.write_array_header_1_0
        write_header(out, header)
        data = out.getvalue()
        if len(data) != _NPY_HEADER_SIZE:
            raise AssertionError(f"unexpected .npy header size {len(data)}")
        return data


def file_sha256(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(_HASH_CHUNK):
            digest.update(chunk)
    return digest.hexdigest()


@dataclass(frozen=True)
class ShardJob:
    """Everything a worker needs for one shard, tokenizer aside."""

    plan: ShardPlan
    files: dict[int, InputFile]  # the inputs its pieces read, by Piece.input
    out_dir: str
    per_line: bool
    expected: dict[str, Any] | None  # the record of an earlier run, if any


def encode_shard(tokenizer: Encoder, job: ShardJob) -> dict[str, Any]:
    """Writes one shard and returns its record; keeps a matching earlier one."""
    if job.expected is not None and shard_matches(job.out_dir, job.expected):
        return dict(job.expected, reused=True)
    for file in job.files.values():
        file.check_unchanged("the run started")
    record = _write_shard(tokenizer, job)
    for file in job.files.values():
        file.check_unchanged("the run started")
    return record


def _write_shard(tokenizer: Encoder, job: ShardJob) -> dict[str, Any]:
    name = job.plan.name
    ids_path = os.path.join(job.out_dir, name + IDS_SUFFIX)
    offsets_path = os.path.join(job.out_dir, name + OFFSETS_SUFFIX)
    with atomic_file(offsets_path) as offsets_file, atomic_file(ids_path) as ids_file:
        ids = NpyStream(ids_file, "<i4")
        ends = NpyStream(offsets_file, "<i8")
        for block in iter_document_blocks(job.files, job.plan.pieces, job.per_line):
            lengths, block_ids = _encode_block(tokenizer, block)
            ends.write(ids.length + ids.np.cumsum(lengths, dtype="<i8"))
            ids.write(block_ids)
        ids.finish()
        ends.finish()
    return {
        "name": name,
        "documents": ends.length,
        "tokens": ids.length,
        "ids_sha256": file_sha256(ids_path),
        "offsets_sha256": file_sha256(offsets_path),
    }


def _encode_block(tokenizer: Encoder, block: list[bytes]) -> tuple[list[int], Any]:
    """The id count of each document of ``block`` and all their ids."""
    import numpy

    if len(block) == 1:
        encoded = tokenizer.encode(block[0], out="numpy")
        return [len(encoded)], encoded
    # Each result is copied out at once: an encoded document holds about
    # 0.5 KB besides its ids, and a block can have a hundred thousand.
    lengths = []
    joined = bytearray()
    for document in block:
        encoded = tokenizer.encode(document, out="numpy")
        joined += encoded.data.cast("B")
        lengths.append(len(encoded))
    return lengths, numpy.frombuffer(joined, dtype=numpy.int32)


def shard_matches(out_dir: str, record: dict[str, Any]) -> bool:
    """True when both files of a recorded shard are there with the recorded hashes."""
    name = record["name"]
    wanted = {IDS_SUFFIX: record["ids_sha256"], OFFSETS_SUFFIX: record["offsets_sha256"]}
    try:
        return all(
            file_sha256(os.path.join(out_dir, name + suffix)) == sha
            for suffix, sha in wanted.items()
        )
    except OSError:
        return False


# ---- the manifest ----------------------------------------------------------

RECORD_FIELDS = ("documents", "tokens", "ids_sha256", "offsets_sha256")


def build_manifest(
    *,
    model_path: str,
    model_sha256: str,
    files: Sequence[InputFile],
    per_line: bool,
    shard_bytes: int,
    plans: Sequence[ShardPlan],
    records: dict[int, dict[str, Any]],
    complete: bool,
) -> dict[str, Any]:
    """The manifest of a run; ``records`` holds the written shards by index."""
    shards = [_shard_entry(plan, records.get(plan.index)) for plan in plans]
    return {
        "format": FORMAT_NAME,
        "format_version": FORMAT_VERSION,
        "complete": complete,
        "model": {"path": model_path, "sha256": model_sha256},
        "per_line": per_line,
        "shard_bytes": shard_bytes,
        "inputs": [f.to_json() for f in files],
        "documents": sum(r["documents"] for r in records.values()) if complete else None,
        "tokens": sum(r["tokens"] for r in records.values()) if complete else None,
        "shards": shards,
    }


def _shard_entry(plan: ShardPlan, record: dict[str, Any] | None) -> dict[str, Any]:
    entry: dict[str, Any] = {
        "name": plan.name,
        "ids": plan.name + IDS_SUFFIX,
        "offsets": plan.name + OFFSETS_SUFFIX,
        "bytes": plan.nbytes,
        "pieces": [{"input": p.input, "start": p.start, "end": p.end} for p in plan.pieces],
    }
    for field in RECORD_FIELDS:
        entry[field] = None if record is None else record[field]
    return entry


def write_manifest(out_dir: str, manifest: dict[str, Any]) -> None:
    with atomic_file(os.path.join(out_dir, MANIFEST_NAME)) as f:
        f.write(json.dumps(manifest, indent=1).encode() + b"\n")


def read_manifest(out_dir: str) -> dict[str, Any] | None:
    path = os.path.join(out_dir, MANIFEST_NAME)
    try:
        with open(path, "rb") as f:
            manifest = json.load(f)
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as e:
        raise EncodeFilesError(f"cannot read {path!r}: {e}") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT_NAME:
        raise EncodeFilesError(f"{path!r} is not a brevix encode-files manifest")
    if manifest.get("format_version") != FORMAT_VERSION:
        raise EncodeFilesError(
            f"{path!r} has format version {manifest.get('format_version')!r}; "
            f"this brevix writes version {FORMAT_VERSION}"
        )
    return manifest


def recorded_shards(
    old: dict[str, Any], new: dict[str, Any], out_dir: str
) -> dict[int, dict[str, Any]]:
    """The finished shards of an earlier run into ``out_dir``, after checking
    that it ran the same job: same model, options and unchanged inputs."""
    where = f"the run recorded in {os.path.join(out_dir, MANIFEST_NAME)!r}"
    if old["model"]["sha256"] != new["model"]["sha256"]:
        raise EncodeFilesError(f"model {new['model']['path']!r} differs from the one of {where}")
    for option in ("per_line", "shard_bytes"):
        if old[option] != new[option]:
            raise EncodeFilesError(
                f"{where} used {option}={old[option]!r}, not {new[option]!r}; "
                "encode into a new directory"
            )
    _check_same_inputs(old["inputs"], new["inputs"], where)
    finished = {}
    for index, (before, now) in enumerate(zip(old["shards"], new["shards"])):
        if before.get("ids_sha256") and _same_plan(before, now):
            finished[index] = {"name": before["name"], **{f: before[f] for f in RECORD_FIELDS}}
    return finished


def _check_same_inputs(old: list[dict[str, Any]], new: list[dict[str, Any]], where: str) -> None:
    old_paths = [entry["path"] for entry in old]
    new_paths = [entry["path"] for entry in new]
    for path in new_paths:
        if path not in old_paths:
            raise InputChangedError(path, f"{where} (it is new)")
    for entry in old:
        if entry["path"] not in new_paths:
            raise InputChangedError(entry["path"], f"{where} (it is gone)")
    if old_paths != new_paths:
        raise EncodeFilesError(f"the inputs are given in another order than in {where}")
    for before, now in zip(old, new):
        if before != now:
            raise InputChangedError(now["path"], where)


def _same_plan(before: dict[str, Any], now: dict[str, Any]) -> bool:
    return all(before.get(k) == now[k] for k in ("name", "bytes", "pieces"))
