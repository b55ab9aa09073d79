# Type information for brevix._internal, the private hooks into the core
# used by brevix.model, the test suite and the benchmark. Not public API.
import os
from collections.abc import Iterable, Sequence
from typing import Any, Literal, SupportsInt

from typing_extensions import Buffer

from brevix.tokenizer import PyBytePairTokenizer

_Engine = Literal["fast", "straightforward", "targeted", "ordered", "recount"]
_CallEngine = Literal["fast", "straightforward"]

def get_merges(tok: PyBytePairTokenizer, /) -> list[tuple[int, int, int]]: ...
def set_merges(
    tok: PyBytePairTokenizer, merges: Sequence[Sequence[int]], /
) -> None: ...
def train(
    corpus: Iterable[SupportsInt],
    max_vocab_size: SupportsInt,
    n_iter: SupportsInt,
    engine: _Engine = ...,
    merges: Sequence[Sequence[int]] | None = ...,
    interrupt_after: int = ...,
) -> tuple[bytes, list[tuple[int, int, int]], list[int], int]: ...
def train_sequence(
    calls: Sequence[tuple[Iterable[SupportsInt], SupportsInt, SupportsInt]],
    engine: _Engine = ...,
    merges: Sequence[Sequence[int]] | None = ...,
) -> tuple[bytes, list[tuple[int, int, int]], list[list[int]], int]: ...
def encode(
    merges: Sequence[Sequence[int]] | None, data: bytes, engine: _Engine = ...
) -> tuple[bytes, list[int]]: ...
def decode(
    merges: Sequence[Sequence[int]] | None,
    ids: Iterable[SupportsInt],
    engine: _Engine = ...,
) -> bytes: ...
def pair_stats(corpus: Iterable[SupportsInt], /) -> list[tuple[tuple[int, int], int]]: ...
def max_freq_pair(corpus: Iterable[SupportsInt], /) -> tuple[tuple[int, int], int]: ...
def pair_hash(left: int, right: int, /) -> int: ...
def split_string(data: bytes, /) -> list[bytes]: ...
def merge_corpus(
    corpus: Iterable[SupportsInt],
    merges: Sequence[Sequence[int]],
    engine: _Engine = ...,
) -> list[int]: ...
def decode_timed(
    merges: Sequence[Sequence[int]] | None,
    ids: Iterable[SupportsInt],
    engine: _Engine = ...,
    repeat: int = ...,
) -> tuple[float, bytes]: ...
def fit_on(
    tok: PyBytePairTokenizer,
    corpus: Iterable[SupportsInt],
    max_vocab_size: int,
    n_iter: int,
    engine: _CallEngine = ...,
    /,
) -> tuple[bytes, list[int]]: ...
def encode_on(tok: PyBytePairTokenizer, data: bytes, engine: _CallEngine = ..., /) -> tuple[bytes, list[int]]: ...
def encode_quiet_on(tok: PyBytePairTokenizer, data: bytes, /) -> list[int]: ...
def encode_corpus_on(
    tok: PyBytePairTokenizer, corpus: Iterable[SupportsInt], engine: _CallEngine = ..., /
) -> list[int]: ...
def decode_on(tok: PyBytePairTokenizer, ids: Iterable[SupportsInt], engine: _CallEngine = ..., /) -> bytes: ...
def assign(dst: PyBytePairTokenizer, src: PyBytePairTokenizer, /) -> None: ...
def concurrent_reads(
    tok: PyBytePairTokenizer, corpora: Sequence[Iterable[SupportsInt]], threads: int, /
) -> list[list[tuple[list[int], bytes]]]: ...
def table_index_bytes(tok: PyBytePairTokenizer, /) -> int | None: ...
def train_bytes(
    tok: PyBytePairTokenizer,
    source: Buffer | str | os.PathLike[str],
    max_vocab_size: int,
    n_iter: int,
    interrupt_after: int = ...,
) -> bytes: ...

# The boundary's build (internal_binding.cpp): internal CPython layouts in
# use, and whether traceback entries show their fixed lines.
def known_layout() -> bool: ...
def exact_tracebacks() -> bool: ...

# Standard byte-pair encoding (brevix::bpe).
class _BpeEncoder: ...  # a capsule holding a text encoder

_RankPath = Literal["auto", "bytes", "long-piece", "search", "keyed", "short", "long", "batched", "reference"]
_Allowed = Literal["all"] | Sequence[bytes]
_SpecialMatch = tuple[int, int, int, int]

def special_find(
    specials: Sequence[tuple[bytes, int]],
    text: bytes,
    start: int = ...,
    chosen: Sequence[int] | None = ...,
) -> _SpecialMatch | None: ...

# Text splitting and its Unicode tables (internal_text.cpp).
_UnicodeTable = Literal["category", "letter", "number", "mark", "space", "word", "digit", "fold"]

def split(pattern: str, data: Buffer, chunk: int = ...) -> list[int]: ...
def split_timed(pattern: str, data: Buffer, repeat: int = ...) -> tuple[float, float, int]: ...
def well_known_patterns() -> dict[str, str]: ...
def unicode_version() -> str: ...
def unicode_category(cp: int, /) -> str: ...
def unicode_table(what: _UnicodeTable, /) -> bytes: ...
def case_variants(cp: int, /) -> list[int]: ...
def matches_ignoring_case(a: int, b: int, /) -> bool: ...
def utf8_decode(data: Buffer, pos: int, /) -> tuple[int, int]: ...
def rank_encode(
    byte_ids: Sequence[int], merges: Sequence[tuple[int, int, int]], data: bytes, path: _RankPath = ...
) -> list[int]: ...
def bpe_encoder(
    byte_ids: Sequence[int],
    merges: Sequence[tuple[int, int, int]],
    specials: Sequence[tuple[bytes, int]] | None = ...,
    pattern: str | None = ...,
    chunk: int = ...,
) -> _BpeEncoder: ...
def bpe_encode(encoder: _BpeEncoder, text: bytes, allowed: _Allowed = ...) -> list[int]: ...
def bpe_count(encoder: _BpeEncoder, text: Buffer, allowed: _Allowed = ...) -> int: ...
def bpe_disallowed(encoder: _BpeEncoder, text: bytes, allowed: _Allowed = ...) -> _SpecialMatch | None: ...
def bpe_decode(encoder: _BpeEncoder, ids: Iterable[SupportsInt], streamed: bool = ..., /) -> bytes: ...
def bpe_token_id(encoder: _BpeEncoder, token: bytes, /) -> tuple[int | None, int | None]: ...
def merges_from_ranks(tokens: Sequence[bytes], /) -> tuple[list[int], list[tuple[int, int, int]]]: ...
def tiktoken_incompatible(
    byte_ids: Sequence[int], merges: Sequence[tuple[int, int, int]], /
) -> int | None: ...
def bpe_count_pieces(
    encoder: _BpeEncoder, text: bytes, ends: Sequence[int], repeat: int = ..., /
) -> tuple[float, int]: ...
def bpe_decode_timed(
    encoder: _BpeEncoder, ids: Iterable[SupportsInt], repeat: int = ..., /
) -> tuple[float, bytes]: ...
def merges_from_ranks_timed(tokens: Sequence[bytes], repeat: int = ..., /) -> float: ...

# Counting pieces and training from piece counts (internal_pieces.cpp).
_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_Merge = tuple[int, int, int]

def count_pieces(
    pattern: str | None,
    docs: Sequence[Buffer],
    specials: Sequence[bytes] | None = ...,
    threads: int = ...,
    interrupt_after_bytes: int = ...,
) -> dict[bytes, int]: ...
def count_file_pieces(
    pattern: str | None,
    paths: _Path | Sequence[_Path],
    lines: bool,
    specials: Sequence[bytes] | None = ...,
    threads: int = ...,
    interrupt_after_bytes: int = ...,
) -> dict[bytes, int]: ...
def train_pieces(
    counts: dict[bytes, int] | Iterable[tuple[bytes, int]],
    num_merges: int,
    byte_ids: Sequence[int] | None = ...,
    merges: Sequence[_Merge] | None = ...,
    first_id: int | None = ...,
    reference: bool = ...,
    interrupt_after: int = ...,
) -> list[_Merge]: ...
def train_file_pieces(
    pattern: str | None,
    paths: _Path | Sequence[_Path],
    lines: bool,
    num_merges: int,
    specials: Sequence[bytes] | None = ...,
    threads: int = ...,
) -> dict[str, Any]: ...

# The general pattern engine (internal_regex.cpp).
def regex_split(pattern: str, data: Buffer, chunk: int = ...) -> list[int]: ...
def regex_split_timed(pattern: str, data: Buffer, repeat: int = ...) -> tuple[float, int]: ...
