"""Saving and loading trained tokenizers.

A model is the merge table of a :class:`~brevix.tokenizer.PyBytePairTokenizer`
in id order; that is everything a tokenizer knows. The file is plain ASCII
text::

    brevix-merges 1
    merges 3
    97 98 256
    256 99 257
    -61 -87 258

Line 1 names the format and its version, line 2 the number of merges that
follow, then one merge per line: the left id, the right id and the id of the
merged token, separated by single spaces, ids counting up from 256. Every
line, the last included, ends with a newline; there are no blank lines.

Usage::

    from brevix import model
    model.save(tok, "tok.model")
    tok2 = model.load("tok.model")
"""

from __future__ import annotations

import os
import re
from typing import TYPE_CHECKING, Union

from brevix import _core
from brevix._files import write_atomically

if TYPE_CHECKING:
    # Imported where it is used: `import brevix` (which loads this module for
    # brevix.Tokenizer) leaves the low-level extension module unloaded.
    from brevix.tokenizer import PyBytePairTokenizer

__all__ = [
    "FORMAT_NAME",
    "FORMAT_VERSION",
    "ModelFormatError",
    "load",
    "load_merges",
    "merges",
    "parse",
    "save",
    "save_merges",
]

FORMAT_NAME = "brevix-merges"
FORMAT_VERSION = 1

# "str | bytes | os.PathLike" spelled so that it works at runtime on 3.11.
PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Merge = tuple[int, int, int]

FIRST_MERGE_ID = 256
INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1
MAX_MERGES = INT32_MAX - FIRST_MERGE_ID + 1

# ASCII digits only: int() would also take "１２", "1_000" or " 7".
_INT_RE = re.compile(rb"-?[0-9]{1,10}\Z")
# One more digit than any int32 needs; longer fields are refused before int().
_MAX_INT_CHARS = 11


class ModelFormatError(ValueError):
    """A model file that is not a valid brevix model.

    ``lineno`` is the 1-based line where the problem was found.
    """

    def __init__(self, path: str, lineno: int, message: str) -> None:
        super().__init__(f"{path}: line {lineno}: {message}")
        self.path = path
        self.lineno = lineno


def merges(tokenizer: PyBytePairTokenizer) -> list[Merge]:
    """The merges learned by ``tokenizer`` as ``(left, right, id)``, in id order."""
    return _core.low_level_merges(tokenizer)


def save(tokenizer: PyBytePairTokenizer, path: PathArg) -> None:
    """Writes the merge table of ``tokenizer`` to ``path``.

    The file is written next to its destination under a temporary name,
    synced, and renamed over ``path``: a crash or an error leaves either the
    old file or the complete new one, never a partial model.
    """
    save_merges(merges(tokenizer), path)


def save_merges(table: list[Merge], path: PathArg) -> None:
    """Writes a merge table as a model file, atomically like :func:`save`."""
    write_atomically(os.fsdecode(os.fspath(path)), _serialize(table))


def load_merges(path: PathArg) -> list[Merge]:
    """Reads and checks the merge table of a model file, as :func:`load` does."""
    name = os.fsdecode(os.fspath(path))
    with open(name, "rb") as f:
        data = f.read()
    return parse(data, name)


def load(path: PathArg) -> PyBytePairTokenizer:
    """Reads a model written by :func:`save` and returns a new tokenizer.

    The tokenizer encodes, decodes and goes on training exactly like the one
    that was saved. Raises :class:`ModelFormatError` (a ``ValueError``) with
    the line number for a damaged file, and ``OSError`` when it cannot be read.
    """
    from brevix.tokenizer import PyBytePairTokenizer

    table = load_merges(path)
    tokenizer = PyBytePairTokenizer()
    _core.set_low_level_merges(tokenizer, table)
    return tokenizer


def _serialize(table: list[Merge]) -> bytes:
    lines = [f"{FORMAT_NAME} {FORMAT_VERSION}", f"merges {len(table)}"]
    lines.extend(f"{left} {right} {merged}" for left, right, merged in table)
    return ("\n".join(lines) + "\n").encode("ascii")


def parse(data: bytes, name: str = "<model>") -> list[Merge]:
    """Parses the bytes of a model file into its merges, checking everything
    :func:`load` needs. ``name`` is used in error messages."""
    lines = data.split(b"\n")
    # Anything that is not a model (a corpus, random bytes) is named as such
    # at line 1 before its ending is looked at.
    if data and not data.startswith(FORMAT_NAME.encode() + b" "):
        raise ModelFormatError(
            name, 1, f"not a brevix model (expected '{FORMAT_NAME} {FORMAT_VERSION}')"
        )
    # A complete file ends with a newline, so the last piece is empty.
    if lines[-1] != b"":
        raise ModelFormatError(name, len(lines), "line is not terminated (truncated file?)")
    lines.pop()
    if not lines:
        raise ModelFormatError(name, 1, "empty file")

    _check_header(lines[0], name)
    count = _read_count(lines[1] if len(lines) > 1 else None, name)
    body = lines[2:]
    if len(body) < count:
        raise ModelFormatError(
            name, len(lines) + 1, f"file ends after {len(body)} of {count} merges (truncated?)"
        )
    if len(body) > count:
        raise ModelFormatError(
            name, 3 + count, f"unexpected line after the {count} declared merges"
        )
    return _read_merges(body, name)


def _check_header(line: bytes, name: str) -> None:
    fields = line.split(b" ")
    if len(fields) != 2 or fields[0] != FORMAT_NAME.encode():
        raise ModelFormatError(
            name, 1, f"not a brevix model (expected '{FORMAT_NAME} {FORMAT_VERSION}')"
        )
    if not _INT_RE.match(fields[1]):
        raise ModelFormatError(name, 1, f"bad format version {_show(fields[1])}")
    version = int(fields[1])
    if version != FORMAT_VERSION:
        raise ModelFormatError(
            name, 1, f"unsupported format version {version} (this brevix reads {FORMAT_VERSION})"
        )


def _read_count(line: bytes | None, name: str) -> int:
    if line is None:
        raise ModelFormatError(name, 2, "missing 'merges N' line (truncated file?)")
    fields = line.split(b" ")
    if len(fields) != 2 or fields[0] != b"merges":
        raise ModelFormatError(name, 2, "expected 'merges N'")
    count = _parse_int(fields[1], name, 2, "merge count")
    if count < 0 or count > MAX_MERGES:
        raise ModelFormatError(name, 2, f"merge count {count} out of range")
    return count


def _read_merges(body: list[bytes], name: str) -> list[Merge]:
    table: list[Merge] = []
    seen: set[tuple[int, int]] = set()
    for index, line in enumerate(body):
        lineno = index + 3
        if not line:
            raise ModelFormatError(name, lineno, "blank line")
        fields = line.split(b" ")
        if len(fields) != 3:
            raise ModelFormatError(
                name, lineno, f"expected 3 fields 'left right id', got {len(fields)}"
            )
        left = _parse_int(fields[0], name, lineno, "left id")
        right = _parse_int(fields[1], name, lineno, "right id")
        merged = _parse_int(fields[2], name, lineno, "merged id")
        expected = FIRST_MERGE_ID + index
        if merged != expected:
            raise ModelFormatError(name, lineno, f"merged id {merged}, expected {expected}")
        if (left, right) in seen:
            raise ModelFormatError(name, lineno, f"pair ({left}, {right}) is merged twice")
        seen.add((left, right))
        table.append((left, right, merged))
    return table


def _parse_int(field: bytes, name: str, lineno: int, what: str) -> int:
    if len(field) > _MAX_INT_CHARS or not _INT_RE.match(field):
        raise ModelFormatError(name, lineno, f"{what} {_show(field)} is not a 32-bit integer")
    value = int(field)
    if not INT32_MIN <= value <= INT32_MAX:
        raise ModelFormatError(name, lineno, f"{what} {value} is outside the signed 32-bit range")
    return value


def _show(field: bytes) -> str:
    """A field for an error message: quoted, escaped, and cut short."""
    text = repr(field[:40])[1:]
    return text if len(field) <= 40 else text + "..."
