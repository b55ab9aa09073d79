"""Exchange with the tools models are served with: tiktoken's ``.tiktoken``
rank files and HF tokenizers' ``tokenizer.json``.

Used through :meth:`brevix.Tokenizer.from_tiktoken`,
:meth:`~brevix.Tokenizer.save_tiktoken`, :meth:`~brevix.Tokenizer.from_hf`
and :meth:`~brevix.Tokenizer.save_hf`. Every conversion is exact or refused:
a file brevix cannot represent (or a tokenizer the other tool would encode
differently) is a ``ValueError`` that names the token or setting, never a
silently different tokenizer.
"""

from __future__ import annotations

import base64
import binascii
import gzip
import json
import os
from collections.abc import Mapping
from functools import lru_cache
from typing import TYPE_CHECKING, Any, TypeVar

from brevix import _core, model, model_file
from brevix._files import write_atomically
from brevix.model_file import ModelData

if TYPE_CHECKING:
    from brevix._tokenizer import Tokenizer

T = TypeVar("T", bound="Tokenizer")

__all__ = ["from_tiktoken", "save_tiktoken", "from_hf", "save_hf", "bytes_to_unicode"]


# ---- tiktoken ------------------------------------------------------------------


def from_tiktoken(
    cls: type[T],
    source: model.PathArg | Mapping[bytes, int],
    *,
    pattern: str | None,
    special_tokens: Mapping[str, int] | None,
) -> T:
    name = "ranks"
    if isinstance(source, Mapping):
        ranks = dict(source)
    else:
        name = os.fsdecode(os.fspath(source))
        ranks = _read_tiktoken_file(name)
    tokens = _tokens_by_rank(ranks, name)
    try:
        byte_ids, merges = _core.merges_from_ranks(tokens)
    except ValueError as e:
        raise ValueError(f"{name}: {e}") from None
    from brevix._tokenizer import _resolve_pattern

    data = ModelData(
        tuple(byte_ids), merges, _resolve_pattern(pattern), dict(special_tokens or {})
    )
    return cls._from_data(data, fixed_ids=True, source=name)


def _read_tiktoken_file(name: str) -> dict[bytes, int]:
    with open(name, "rb") as f:
        raw = f.read()
    if raw[:2] == b"\x1f\x8b":
        raw = gzip.decompress(raw)
    ranks: dict[bytes, int] = {}
    for lineno, line in enumerate(raw.splitlines(), 1):
        if not line:
            continue
        fields = line.split()
        if len(fields) != 2 or not fields[1].isdigit():
            raise ValueError(f"{name}: line {lineno}: expected 'base64-token rank'")
        try:
            token = base64.b64decode(fields[0], validate=True)
        except binascii.Error:
            raise ValueError(f"{name}: line {lineno}: bad base64 {fields[0][:40]!r}") from None
        if token in ranks:
            raise ValueError(f"{name}: line {lineno}: token {token!r} is listed twice")
        ranks[token] = int(fields[1])
    return ranks


def _tokens_by_rank(ranks: Mapping[bytes, int], name: str) -> list[bytes]:
    by_rank: list[bytes | None] = [None] * len(ranks)
    for token, rank in ranks.items():
        if not isinstance(token, bytes) or not token:
            raise ValueError(f"{name}: token {token!r} is not a non-empty bytes object")
        if isinstance(rank, bool) or not isinstance(rank, int) or not 0 <= rank < len(ranks):
            raise ValueError(
                f"{name}: token {token!r} has rank {rank!r}; ranks must be 0 .. {len(ranks) - 1}"
            )
        if by_rank[rank] is not None:
            raise ValueError(f"{name}: tokens {by_rank[rank]!r} and {token!r} share rank {rank}")
        by_rank[rank] = token
    return [t for t in by_rank if t is not None]


def save_tiktoken(tokenizer: Tokenizer, path: model.PathArg) -> None:
    conflict = tokenizer._core.tiktoken_conflict()
    if conflict is not None:
        token = tokenizer.token_bytes(conflict)
        raise ValueError(
            f"token {conflict} ({token!r}) cannot be saved for tiktoken: its byte-rank merging "
            "reaches it through another pair than its merge, so tiktoken would encode differently"
        )
    lines = [
        base64.b64encode(tokenizer.token_bytes(i)) + b" " + str(i).encode()
        for i in range(256 + len(tokenizer.merges))
    ]
    write_atomically(os.fsdecode(os.fspath(path)), b"\n".join(lines) + b"\n")


# ---- HF tokenizers ----------------------------------------------------------------


@lru_cache(maxsize=1)
def bytes_to_unicode() -> dict[int, str]:
    """GPT-2's byte-level alphabet: each byte as a printable character, the
    form HF tokenizers' ByteLevel stores tokens in."""
    printable = (
        list(range(ord("!"), ord("~") + 1))
        + list(range(ord("¡"), ord("¬") + 1))
        + list(range(ord("®"), ord("ÿ") + 1))
    )
    chars = printable[:]
    extra = 0
    for b in range(256):
        if b not in printable:
            printable.append(b)
            chars.append(256 + extra)
            extra += 1
    return {b: chr(c) for b, c in zip(printable, chars)}


def _to_hf(token: bytes) -> str:
    table = bytes_to_unicode()
    return "".join(table[b] for b in token)


def _from_hf(text: str, where: str) -> bytes:
    decode = {c: b for b, c in bytes_to_unicode().items()}
    try:
        return bytes(decode[c] for c in text)
    except KeyError:
        raise ValueError(f"{where}: token {text!r} is not in the byte-level alphabet") from None


def _pre_tokenizer(pattern: str | None) -> dict[str, Any]:
    from brevix._tokenizer import PATTERNS

    if pattern == PATTERNS["gpt2"]:
        return {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True, "use_regex": True}
    byte_level = {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True, "use_regex": False}
    if pattern is None:
        return byte_level
    split = {"type": "Split", "pattern": {"Regex": pattern}, "behavior": "Isolated", "invert": False}
    return {"type": "Sequence", "pretokenizers": [split, byte_level]}


def save_hf(tokenizer: Tokenizer, path: model.PathArg) -> None:
    data = tokenizer._data()
    if data.byte_ids != model_file.IDENTITY:
        # HF keeps ids and merge ranks apart, so permuted byte ids are fine.
        pass
    vocab = {_to_hf(tokenizer.token_bytes(i)): i for i in range(256 + len(data.merges))}
    merges = [
        [_to_hf(tokenizer.token_bytes(left)), _to_hf(tokenizer.token_bytes(right))]
        for left, right, _ in data.merges
    ]
    added = [
        {"id": i, "content": text, "single_word": False, "lstrip": False, "rstrip": False,
         "normalized": False, "special": True}
        for text, i in sorted(data.specials.items(), key=lambda s: s[1])
    ]
    document = {
        "version": "1.0",
        "truncation": None,
        "padding": None,
        "added_tokens": added,
        "normalizer": None,
        "pre_tokenizer": _pre_tokenizer(data.pattern),
        "post_processor": None,
        "decoder": {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True, "use_regex": True},
        "model": {
            "type": "BPE", "dropout": None, "unk_token": None, "continuing_subword_prefix": None,
            "end_of_word_suffix": None, "fuse_unk": False, "byte_fallback": False,
            "ignore_merges": False, "vocab": vocab, "merges": merges,
        },
    }
    text = json.dumps(document, ensure_ascii=False, indent=1)
    write_atomically(os.fsdecode(os.fspath(path)), text.encode("utf-8"))


def from_hf(cls: type[T], path: model.PathArg) -> T:
    name = os.fsdecode(os.fspath(path))
    with open(name, "rb") as f:
        try:
            document = json.loads(f.read())
        except ValueError as e:
            raise ValueError(f"{name}: not a tokenizer.json: {e}") from None
    bpe = document.get("model") if isinstance(document, dict) else None
    if not isinstance(bpe, dict) or bpe.get("type") != "BPE":
        raise ValueError(f"{name}: the model is not BPE")
    for key, expected in (("dropout", None), ("continuing_subword_prefix", None),
                          ("end_of_word_suffix", None), ("byte_fallback", False)):
        if bpe.get(key, expected) not in (expected, "") and bpe.get(key) is not None:
            raise ValueError(f"{name}: model setting {key}={bpe.get(key)!r} is not supported")
    if document.get("normalizer") is not None:
        raise ValueError(f"{name}: a normalizer is not supported")
    pattern = _pattern_of(document.get("pre_tokenizer"), name)
    byte_ids, merges = _hf_merges(bpe, name)
    specials = {}
    for token in document.get("added_tokens") or []:
        specials[str(token["content"])] = int(token["id"])
    data = ModelData(tuple(byte_ids), merges, pattern, specials)
    return cls._from_data(data, fixed_ids=True, source=name)


def _pattern_of(pre: Any, name: str) -> str | None:
    from brevix._tokenizer import PATTERNS

    def byte_level(node: Any) -> bool:
        return isinstance(node, dict) and node.get("type") == "ByteLevel" and not node.get("add_prefix_space")

    if byte_level(pre):
        return PATTERNS["gpt2"] if pre.get("use_regex", True) else None
    if isinstance(pre, dict) and pre.get("type") == "Sequence":
        steps = pre.get("pretokenizers") or []
        if (
            len(steps) == 2
            and isinstance(steps[0], dict)
            and steps[0].get("type") == "Split"
            and steps[0].get("behavior") == "Isolated"
            and not steps[0].get("invert")
            and isinstance(steps[0].get("pattern"), dict)
            and "Regex" in steps[0]["pattern"]
            and byte_level(steps[1])
            and not steps[1].get("use_regex", True)
        ):
            return str(steps[0]["pattern"]["Regex"])
    raise ValueError(
        f"{name}: pre-tokenizer {json.dumps(pre)[:200]} is not supported (brevix reads ByteLevel, "
        "or Split(Regex, Isolated) followed by ByteLevel without its regex)"
    )


def _hf_merges(bpe: dict[str, Any], name: str) -> tuple[list[int], list[tuple[int, int, int]]]:
    vocab = {_from_hf(text, name): int(i) for text, i in bpe.get("vocab", {}).items()}
    byte_ids = []
    for b in range(256):
        if bytes([b]) not in vocab:
            raise ValueError(f"{name}: byte {b} has no token")
        byte_ids.append(vocab[bytes([b])])
    if sorted(byte_ids) != list(range(256)):
        raise ValueError(f"{name}: the single bytes must have ids 0..255")
    merges = []
    for rank, pair in enumerate(bpe.get("merges", [])):
        left, right = pair.split(" ") if isinstance(pair, str) else pair
        lb, rb = _from_hf(left, name), _from_hf(right, name)
        merged = lb + rb
        expected = 256 + rank
        if vocab.get(merged) != expected:
            raise ValueError(
                f"{name}: merge {rank} ({left!r}, {right!r}) makes token {merged!r} with id "
                f"{vocab.get(merged)}, expected {expected}: ids must follow the merge order"
            )
        merges.append((vocab[lb], vocab[rb], expected))
    if len(vocab) != 256 + len(merges):
        extra = sorted(set(vocab.values()) - set(range(256 + len(merges))))
        raise ValueError(f"{name}: token id {extra[0] if extra else '?'} is not made by any merge")
    return byte_ids, merges
