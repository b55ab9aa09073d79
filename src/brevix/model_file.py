"""The model file of :class:`brevix.Tokenizer`: merges, split pattern and
special tokens in one versioned text file.

Version 2, plain ASCII, one record per line, every line ended by ``\\n``::

    brevix-merges 2
    pattern "'s|'t|'re|'ve|'m|'ll|'d| ?\\\\p{L}+| ?\\\\p{N}+| ?[^\\\\s\\\\p{L}\\\\p{N}]+|\\\\s+(?!\\\\S)|\\\\s+"
    bytes 0 1 2 ... 255
    merges 2
    104 105 256
    256 33 257
    specials 1
    258 "<|endoftext|>"

``pattern`` is a JSON string (``pattern none`` for an unsplit model);
``bytes`` gives the id of each byte 0..255 (a permutation of 0..255:
``bytes identity`` when byte b is id b); each merge is ``left right id``
with ids from 256 upward in order; each special token is its id and its
text as a JSON string. Version 3 is version 2 with one more line,
``metadata`` and a JSON object (what training recorded, such as the
pieces it pruned); a model without metadata is written as version 2, so
that earlier versions of brevix keep reading it. Files of version 1 (``brevix-merges 1``: merges
only, bytes as signed ids -128..127) still load: byte b is id b and the
merges are read with their byte parts made unsigned.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from typing import Any, NoReturn

from brevix import model
from brevix._files import write_atomically
from brevix.model import ModelFormatError, PathArg

__all__ = ["ModelData", "read", "write", "parse", "serialize"]

FORMAT_VERSION = 2
# With a metadata line.
METADATA_VERSION = 3
IDENTITY = tuple(range(256))


@dataclass(frozen=True)
class ModelData:
    """Everything a :class:`brevix.Tokenizer` is made of."""

    byte_ids: tuple[int, ...] = IDENTITY
    merges: list[tuple[int, int, int]] = field(default_factory=list)
    pattern: str | None = None
    specials: dict[str, int] = field(default_factory=dict)
    metadata: dict[str, Any] = field(default_factory=dict)


def write(data: ModelData, path: PathArg) -> None:
    """Writes ``data`` to ``path`` atomically (temporary file, fsync, rename)."""
    write_atomically(os.fsdecode(os.fspath(path)), serialize(data))


def read(path: PathArg) -> ModelData:
    """Reads a model file of version 1 or 2. ``OSError`` when the file cannot
    be read, :class:`brevix.model.ModelFormatError` naming the line of the
    first problem otherwise."""
    name = os.fsdecode(os.fspath(path))
    with open(name, "rb") as f:
        return parse(f.read(), name)


def serialize(data: ModelData) -> bytes:
    version = METADATA_VERSION if data.metadata else FORMAT_VERSION
    lines = [f"{model.FORMAT_NAME} {version}"]
    lines.append("pattern none" if data.pattern is None else "pattern " + _json(data.pattern))
    if tuple(data.byte_ids) == IDENTITY:
        lines.append("bytes identity")
    else:
        lines.append("bytes " + " ".join(map(str, data.byte_ids)))
    lines.append(f"merges {len(data.merges)}")
    lines.extend(f"{left} {right} {merged}" for left, right, merged in data.merges)
    lines.append(f"specials {len(data.specials)}")
    lines.extend(f"{i} {_json(text)}" for text, i in sorted(data.specials.items(), key=lambda s: s[1]))
    if data.metadata:
        lines.append("metadata " + metadata_json(data.metadata))
    return ("\n".join(lines) + "\n").encode("ascii")


def parse(data: bytes, name: str = "<model>") -> ModelData:
    """Parses the bytes of a model file of version 1 or 2."""
    if data.startswith(f"{model.FORMAT_NAME} 1\n".encode()):
        table = model.parse(data, name)
        check_byte_parts(table, name)
        return from_version_1(table)
    return _Reader(data, name).model()


def check_byte_parts(table: list[tuple[int, int, int]], name: str) -> None:
    """Refuses, at its line in a version 1 file, a merge whose parts are not
    signed bytes or earlier merges: the low-level class trains on any ints,
    but such a table does not describe bytes."""
    for index, (left, right, merged) in enumerate(table):
        for part in (left, right):
            if not -128 <= part < merged:
                raise ModelFormatError(
                    name, index + 3, f"part {part} of merge {merged} is not a byte or an earlier merge"
                )


def from_version_1(table: list[tuple[int, int, int]]) -> ModelData:
    merges = [(left & 0xFF if left < 0 else left, right & 0xFF if right < 0 else right, merged)
              for left, right, merged in table]
    return ModelData(merges=merges)


def metadata_json(metadata: dict[str, Any]) -> str:
    """``metadata`` as one line of ASCII JSON; ``ValueError`` when it is not
    a JSON object with string keys (what the file could not give back)."""
    if not isinstance(metadata, dict) or not all(isinstance(k, str) for k in metadata):
        raise ValueError("metadata must be a dict with str keys")
    try:
        text = json.dumps(metadata, ensure_ascii=True, sort_keys=True, allow_nan=False)
    except (TypeError, ValueError) as e:
        raise ValueError(f"metadata must be JSON data: {e}") from None
    if json.loads(text) != metadata:
        raise ValueError("metadata must be JSON data that reads back the same (str keys, lists, no tuples)")
    return text


def _json(text: str) -> str:
    return json.dumps(text, ensure_ascii=True)


class _Reader:
    """Reads a version 2 file line by line, naming the line of any problem."""

    def __init__(self, data: bytes, name: str) -> None:
        self.name = name
        if data and not data.startswith(model.FORMAT_NAME.encode() + b" "):
            self.fail(1, f"not a brevix model (expected '{model.FORMAT_NAME} {FORMAT_VERSION}')")
        lines = data.split(b"\n")
        if lines[-1] != b"":
            self.fail(len(lines), "line is not terminated (truncated file?)")
        self.lines = lines[:-1]
        self.at = 0

    def fail(self, lineno: int, message: str) -> NoReturn:
        raise ModelFormatError(self.name, lineno, message)

    def next(self, what: str) -> tuple[int, list[bytes]]:
        if self.at >= len(self.lines):
            self.fail(self.at + 1, f"file ends before {what} (truncated?)")
        self.at += 1
        line = self.lines[self.at - 1]
        try:
            line.decode("ascii")
        except UnicodeDecodeError:
            self.fail(self.at, "not ASCII")
        return self.at, line.split(b" ", 1) if line else [b""]

    def model(self) -> ModelData:
        lineno, (head, *rest) = self.next("the header")
        versions = [str(FORMAT_VERSION).encode()], [str(METADATA_VERSION).encode()]
        if head != model.FORMAT_NAME.encode() or rest not in versions:
            self.fail(
                lineno,
                f"unsupported header (this brevix reads versions 1, {FORMAT_VERSION} and {METADATA_VERSION})",
            )
        pattern = self.pattern()
        byte_ids = self.byte_ids()
        merges = self.merges()
        specials = self.specials()
        metadata = self.metadata() if rest == versions[1] else {}
        if self.at != len(self.lines):
            self.fail(self.at + 1, f"unexpected line after the {'metadata' if metadata else 'special tokens'}")
        return ModelData(byte_ids, merges, pattern, specials, metadata)

    def keyword(self, word: bytes) -> tuple[int, bytes]:
        lineno, fields = self.next(f"'{word.decode()}'")
        if fields[0] != word or len(fields) != 2:
            self.fail(lineno, f"expected '{word.decode()} ...'")
        return lineno, fields[1]

    def pattern(self) -> str | None:
        lineno, value = self.keyword(b"pattern")
        return None if value == b"none" else self.json_string(lineno, value)

    def json_string(self, lineno: int, value: bytes) -> str:
        try:
            text = json.loads(value)
        except ValueError:
            text = None
        if not isinstance(text, str):
            self.fail(lineno, "expected a JSON string")
        return text

    def byte_ids(self) -> tuple[int, ...]:
        lineno, value = self.keyword(b"bytes")
        if value == b"identity":
            return IDENTITY
        ids = tuple(self.int(lineno, f) for f in value.split(b" "))
        if sorted(ids) != list(IDENTITY):
            self.fail(lineno, "byte ids must be a permutation of 0..255")
        return ids

    def count(self, word: bytes) -> tuple[int, int]:
        lineno, value = self.keyword(word)
        n = self.int(lineno, value)
        if n > len(self.lines) - self.at:
            self.fail(len(self.lines) + 1, f"file ends before the {n} {word.decode()} (truncated?)")
        return lineno, n

    def merges(self) -> list[tuple[int, int, int]]:
        _, n = self.count(b"merges")
        out = []
        for index in range(n):
            lineno, _ = self.next("a merge")
            fields = self.lines[lineno - 1].split(b" ")
            if len(fields) != 3:
                self.fail(lineno, f"expected 3 fields 'left right id', got {len(fields)}")
            left, right, merged = (self.int(lineno, f) for f in fields)
            if merged != 256 + index:
                self.fail(lineno, f"merged id {merged}, expected {256 + index}")
            if not (left < merged and right < merged):
                self.fail(lineno, f"a part of merge {merged} is not a byte or an earlier merge")
            out.append((left, right, merged))
        return out

    def specials(self) -> dict[str, int]:
        _, n = self.count(b"specials")
        out: dict[str, int] = {}
        for _ in range(n):
            lineno, fields = self.next("a special token")
            if len(fields) != 2:
                self.fail(lineno, "expected 'id \"text\"'")
            text = self.json_string(lineno, fields[1])
            if text in out:
                self.fail(lineno, f"special token {text!r} listed twice")
            out[text] = self.int(lineno, fields[0])
        return out

    def metadata(self) -> dict[str, Any]:
        lineno, value = self.keyword(b"metadata")
        try:
            metadata = json.loads(value)
        except ValueError:
            metadata = None
        if not isinstance(metadata, dict) or not metadata:
            self.fail(lineno, "expected a JSON object that is not empty")
        return metadata

    def int(self, lineno: int, field: bytes) -> int:
        if not model._INT_RE.match(field) or field.startswith(b"-"):
            self.fail(lineno, f"{model._show(field)} is not an id")
        value = int(field)
        if value > model.INT32_MAX:
            self.fail(lineno, f"id {value} is outside the 32-bit range")
        return value
