"""Benchmark corpora built from real text found on this machine.

Sources, taken in turn so that every corpus size mixes all of them:
brevix's shipped sample text (English prose with Chinese, Japanese and Korean
passages), manual pages in every installed language (roff markup stripped),
plain-text and HTML documentation under /usr/share/doc (HTML tags stripped,
compressed files unpacked) and Vim's help files. Only files that decode as
UTF-8 are used. When the machine holds less text than a size asks for, the
documents are taken again in a different order; the report says so.

Each corpus is cut at a line end to exactly its size in bytes (or a few
bytes less) and cached, so that repeated runs measure the same input.
"""

from __future__ import annotations

import gzip
import html
import importlib.resources
import os
import random
import re
from collections.abc import Iterable, Iterator
from pathlib import Path

MB = 1_000_000

# Roff: requests and comments are whole lines starting with "." or "'";
# inline escapes are font changes, named characters, sizes and the like.
_ROFF_REQUEST = re.compile(r"^[.'].*$", re.MULTILINE)
_ROFF_ESCAPE = re.compile(
    r"\\f(?:\[[^\]]*\]|\(..|.)|\\\((..)|\\\[[^\]]*\]|\\\*(?:\(..|\[[^\]]*\]|.)"
    r"|\\s[-+]?\d+|\\[&|^%:e]|\\-"
)
_HTML_DROP = re.compile(r"<(script|style)\b.*?</\1\s*>", re.IGNORECASE | re.DOTALL)
_HTML_TAG = re.compile(r"<[^>]*>", re.DOTALL)
_BLANK_RUNS = re.compile(r"\n[ \t]*\n(?:[ \t]*\n)+")

_ROFF_NAMED = {"em": "—", "en": "–", "aq": "'", "dq": '"', "co": "©", "lq": "“", "rq": "”"}


def strip_roff(text: str) -> str:
    text = _ROFF_REQUEST.sub("", text)

    def replace(m: re.Match[str]) -> str:
        if m.group(1):
            return _ROFF_NAMED.get(m.group(1), "")
        if m.group(0) == "\\-":
            return "-"
        if m.group(0) == "\\e":
            return "\\"
        return ""

    return _ROFF_ESCAPE.sub(replace, text)


def strip_html(text: str) -> str:
    text = _HTML_DROP.sub("", text)
    return html.unescape(_HTML_TAG.sub("", text))


def tidy(text: str) -> str:
    lines = [line.rstrip() for line in text.splitlines()]
    return _BLANK_RUNS.sub("\n\n", "\n".join(lines)).strip() + "\n"


def _read_text(path: Path) -> str | None:
    try:
        raw = path.read_bytes()
        if path.suffix == ".gz":
            raw = gzip.decompress(raw)
        return raw.decode("utf-8")
    except (OSError, EOFError, UnicodeDecodeError, gzip.BadGzipFile):
        return None


def _files(root: str, suffixes: tuple[str, ...]) -> list[Path]:
    found = []
    for directory, _, names in os.walk(root):
        for name in names:
            if name.endswith(suffixes):
                found.append(Path(directory, name))
    return sorted(found)


def _man_pages() -> Iterator[str]:
    for path in _files("/usr/share/man", (".gz",) + tuple(f".{i}" for i in range(1, 10))):
        text = _read_text(path)
        if text and not text.startswith(".so "):  # skip aliases to other pages
            yield tidy(strip_roff(text))


def _documentation() -> Iterator[str]:
    for path in _files("/usr/share/doc", (".txt", ".md", ".rst", ".html", ".txt.gz", ".gz")):
        text = _read_text(path)
        if text is None:
            continue
        if ".htm" in path.name:
            text = strip_html(text)
        yield tidy(text)


def _vim_help() -> Iterator[str]:
    for path in _files("/usr/share/vim", (".txt",)):
        if "/doc/" in str(path):
            text = _read_text(path)
            if text:
                yield tidy(text)


def _sample() -> Iterator[str]:
    resource = importlib.resources.files("brevix").joinpath("data", "sample.txt")
    yield resource.read_text(encoding="utf-8")


def _round_robin(groups: Iterable[Iterator[str]]) -> Iterator[str]:
    active = list(groups)
    while active:
        for group in list(active):
            try:
                yield next(group)
            except StopIteration:
                active.remove(group)


def documents() -> Iterator[str]:
    """Every usable document on the machine, sources interleaved."""
    yield from _sample()
    yield from _round_robin([_man_pages(), _documentation(), _vim_help()])


_HIGH_BYTES = bytes(range(0x80, 0x100))


def _count_non_ascii(data: bytes) -> int:
    return 0 if data.isascii() else len(data) - len(data.translate(None, _HIGH_BYTES))


def build(size: int, path: Path) -> dict[str, int]:
    """Writes a corpus of at most `size` bytes to `path`; returns a description."""
    written = non_ascii = 0
    passes = 1
    seen: list[str] = []

    def stream() -> Iterator[str]:
        nonlocal passes
        for doc in documents():
            seen.append(doc)
            yield doc
        while seen:
            # Out of text: reuse the documents in a shuffled order.
            passes += 1
            order = seen[:]
            random.Random(passes).shuffle(order)
            yield from order

    with open(path, "wb") as out:
        for doc in stream():
            data = doc.encode("utf-8")
            room = size - written
            full = len(data) >= room
            if full:
                cut = data.rfind(b"\n", 0, room)
                data = data[: cut + 1]
            out.write(data)
            written += len(data)
            non_ascii += _count_non_ascii(data)
            if full:
                break
    if written == 0:
        raise RuntimeError("no usable text found on this machine")
    return {"bytes": written, "passes": passes, "non_ascii_bytes": non_ascii}


def ensure(size: int, cache_dir: Path) -> tuple[Path, dict[str, int]]:
    """The cached corpus of `size` bytes, built on first use."""
    cache_dir.mkdir(parents=True, exist_ok=True)
    path = cache_dir / f"corpus-{size}.txt"
    meta = cache_dir / f"corpus-{size}.meta"
    if path.exists() and meta.exists():
        fields = dict(line.split("=", 1) for line in meta.read_text().splitlines() if "=" in line)
        return path, {k: int(v) for k, v in fields.items()}
    tmp = path.with_suffix(".partial")
    info = build(size, tmp)
    os.replace(tmp, path)
    meta.write_text("".join(f"{k}={v}\n" for k, v in info.items()))
    return path, info


if __name__ == "__main__":
    import sys

    n = int(float(sys.argv[1]) * MB) if len(sys.argv) > 1 else MB
    p, info = ensure(n, Path(sys.argv[2] if len(sys.argv) > 2 else "/tmp/brevix-bench-corpora"))
    print(p, info)
