# Type information for brevix._internal, the private hooks into the core
# used by brevix.model, the test suite and the benchmark. Not public API.
import os
from collections.abc import Iterable, Sequence
from typing import Literal, SupportsInt

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
    corpus: Sequence[SupportsInt],
    max_vocab_size: int,
    n_iter: int,
    engine: _CallEngine = ...,
    /,
) -> tuple[bytes, list[int]]: ...
def encode_on(tok: PyBytePairTokenizer, data: bytes, engine: _CallEngine = ..., /) -> tuple[bytes, list[int]]: ...
def encode_corpus_on(
    tok: PyBytePairTokenizer, corpus: Sequence[SupportsInt], engine: _CallEngine = ..., /
) -> list[int]: ...
def decode_on(tok: PyBytePairTokenizer, ids: Sequence[SupportsInt], engine: _CallEngine = ..., /) -> bytes: ...
def assign(dst: PyBytePairTokenizer, src: PyBytePairTokenizer, /) -> None: ...
def concurrent_reads(
    tok: PyBytePairTokenizer, corpora: Sequence[Sequence[SupportsInt]], threads: int, /
) -> list[list[tuple[list[int], bytes]]]: ...
def table_index_bytes(tok: PyBytePairTokenizer, /) -> int | None: ...
def train_bytes(
    tok: PyBytePairTokenizer,
    source: Buffer | str | os.PathLike[str],
    max_vocab_size: int,
    n_iter: int,
    interrupt_after: int = ...,
) -> bytes: ...
def regex_split(pattern: str, data: Buffer, chunk: int = ...) -> list[int]: ...
def regex_split_timed(pattern: str, data: Buffer, repeat: int = ...) -> tuple[float, int]: ...
