"""brevix.Tokenizer: the quiet, thread-parallel, picklable face of the core.

It learns and applies exactly the merges of the low-level
:class:`brevix.tokenizer.PyBytePairTokenizer` (same training, same ids), but
prints nothing, takes text as ``str`` or any bytes-like object, releases the
interpreter lock while the core works, and encodes or decodes batches on
several native threads. The state is the merge table, which is also what
pickling, copying and the model files carry.
"""

from __future__ import annotations

import contextlib
import importlib
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, Literal, SupportsIndex, Union, overload

from brevix import _core, model

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from brevix.tokenizer import PyBytePairTokenizer

__all__ = ["Tokenizer"]

# Accepted where the API takes text or training data.
Buffer = Union[bytes, bytearray, memoryview, Any]
Text = Union[str, Buffer]
TrainingData = Union[Text, "os.PathLike[str]", "os.PathLike[bytes]", Iterable[Any]]
Ids = Union[Sequence[SupportsIndex], Iterable[SupportsIndex], Any]
Merge = tuple[int, int, int]
Progress = Union[bool, None, Callable[[int, int], object]]
OutKind = Literal["list", "numpy"]

FIRST_MERGE_ID = 256
MIN_VOCAB_SIZE = FIRST_MERGE_ID + 1
INT32_MAX = 2**31 - 1


class Tokenizer:
    """A byte-level BPE tokenizer: bytes in, ids out, and back.

    ``Tokenizer()`` has no merges (``vocab_size`` 256). Every byte is a base
    token whose id is the byte read as a signed 8-bit number; every merge
    gets the next id from 256 upward.

    Thread safety: ``encode``/``decode`` and their batch forms may run from
    several threads at once. ``train`` (and loading a merge table) waits for
    them to finish and they wait for it, so no call ever sees a table that is
    half trained.
    """

    __slots__ = ("_core", "__weakref__")

    def __init__(self) -> None:
        self._core = _core.CoreTokenizer()

    # ---- files and conversions ------------------------------------------

    @classmethod
    def load(cls, path: model.PathArg) -> Tokenizer:
        """Reads a model file written by :meth:`save` (or ``brevix.model.save``).

        Raises ``OSError`` when the file cannot be read and
        :class:`brevix.model.ModelFormatError` (a ``ValueError``) naming the
        line of the first problem otherwise.
        """
        name = os.fsdecode(os.fspath(path))
        table = model.load_merges(path)
        _check_learnable(table, name)
        return cls._from_merges(table)

    def save(self, path: model.PathArg) -> None:
        """Writes the merge table to ``path`` atomically: a failure leaves the
        old file or the complete new one, never a partial model."""
        model.save_merges(self.merges, path)

    @classmethod
    def from_low_level(cls, tokenizer: PyBytePairTokenizer) -> Tokenizer:
        """A Tokenizer with the merges of a ``PyBytePairTokenizer``.

        ``ValueError`` when a merge uses an id that is not a byte or an earlier
        merge (only possible after training the low-level class on ids other
        than bytes): such a table does not describe bytes.
        """
        return cls._from_merges(_core.low_level_merges(tokenizer))

    def to_low_level(self) -> PyBytePairTokenizer:
        """A new ``PyBytePairTokenizer`` with these merges."""
        from brevix.tokenizer import PyBytePairTokenizer

        tokenizer = PyBytePairTokenizer()
        _core.set_low_level_merges(tokenizer, self.merges)
        return tokenizer

    @classmethod
    def _from_merges(cls, table: Sequence[Sequence[int]]) -> Tokenizer:
        tokenizer = cls()
        tokenizer._core.set_merges(table)
        return tokenizer

    # ---- the vocabulary -------------------------------------------------------

    @property
    def vocab_size(self) -> int:
        """256 base tokens plus one per merge."""
        return self._core.vocab_size()

    @property
    def merges(self) -> list[Merge]:
        """The merges as ``(left, right, id)``, in id order."""
        return self._core.merges()

    def token_bytes(self, token_id: int) -> bytes:
        """The bytes one id stands for (``ValueError`` for an unknown id)."""
        return self._core.token_bytes(token_id)

    # ---- training -------------------------------------------------------------

    def train(
        self,
        data: TrainingData,
        vocab_size: int,
        *,
        progress: Progress = False,
        trace: bool = False,
    ) -> None:
        """Learns merges from ``data`` until ``vocab_size`` is reached or no
        pair is left, continuing from the merges already learned.

        ``data`` is a bytes-like object, a ``str`` (taken as UTF-8), an
        ``os.PathLike`` naming a file (read as is, every byte kept) or an
        iterable of these, concatenated in order. The result is exactly what
        ``PyBytePairTokenizer.fit(ids, vocab_size, n)`` learns from the same
        bytes read as signed ids, for any large enough ``n``, except that a
        tokenizer already of ``vocab_size`` or more learns nothing (``fit``
        would record one more merge).

        ``progress=True`` shows a bar on stderr; a callable receives
        ``(merges_done, merges_total)`` every few dozen milliseconds and at
        the end. ``trace=True`` writes the low-level class's per-iteration
        lines to the process's standard output. Ctrl-C raises
        ``KeyboardInterrupt`` and keeps the merges learned so far.
        """
        if isinstance(vocab_size, bool) or not isinstance(vocab_size, int):
            raise TypeError(f"vocab_size must be an int, not {type(vocab_size).__name__}")
        if not MIN_VOCAB_SIZE <= vocab_size <= INT32_MAX:
            raise ValueError(
                f"vocab_size must be between {MIN_VOCAB_SIZE} and {INT32_MAX}, got {vocab_size}"
            )
        corpus = _training_bytes(data)
        remaining = vocab_size - self.vocab_size
        with _progress_callback(progress if remaining > 0 else None, remaining) as report:
            if trace:
                sys.stdout.flush()
            self._core.train(corpus, vocab_size, report, trace)

    # ---- encoding and decoding ------------------------------------------------

    @overload
    def encode(self, text: Text, *, out: Literal["list"] = ...) -> list[int]: ...
    @overload
    def encode(self, text: Text, *, out: Literal["numpy"]) -> npt.NDArray[np.int32]: ...

    def encode(self, text: Text, *, out: OutKind = "list") -> Any:
        """The ids of ``text`` (``str`` as UTF-8, or any contiguous buffer):
        the same ids as ``PyBytePairTokenizer.encode``, nothing printed.

        ``out="numpy"`` gives an int32 NumPy array instead of a list.
        """
        as_array = _check_out(out)
        if isinstance(text, (list, tuple)):
            raise TypeError(f"expected str or a bytes-like object, not {type(text).__name__}")
        result = self._core.encode(text, as_array)
        return _as_numpy(result) if as_array else result

    @overload
    def encode_batch(
        self, texts: Iterable[Text], *, threads: int | None = ..., out: Literal["list"] = ...
    ) -> list[list[int]]: ...
    @overload
    def encode_batch(
        self, texts: Iterable[Text], *, threads: int | None = ..., out: Literal["numpy"]
    ) -> list[npt.NDArray[np.int32]]: ...

    def encode_batch(
        self, texts: Iterable[Text], *, threads: int | None = None, out: OutKind = "list"
    ) -> list[Any]:
        """``[encode(t) for t in texts]``, in order, on a pool of native
        threads (default: the CPUs available) without the interpreter lock."""
        as_array = _check_out(out)
        _refuse_single_text(texts, "texts")
        results = self._core.encode_batch(texts, _thread_count(threads), as_array)
        return [_as_numpy(r) for r in results] if as_array else results

    def decode(self, ids: Ids) -> bytes:
        """The bytes of ``ids``: a list, tuple or other iterable of ints, an
        ``array.array`` or a NumPy integer array (read without an int object
        per item). ``ValueError`` names the first id outside
        ``-128 .. vocab_size - 1``."""
        return self._core.decode(ids)

    def decode_batch(self, batch: Iterable[Ids], *, threads: int | None = None) -> list[bytes]:
        """``[decode(ids) for ids in batch]``, in order, on native threads."""
        _refuse_single_text(batch, "batch")
        return self._core.decode_batch(batch, _thread_count(threads))

    # ---- copying and pickling ---------------------------------------------------

    def __reduce__(self) -> tuple[Callable[[list[Merge]], Tokenizer], tuple[list[Merge]]]:
        return (_restore, (self.merges,))

    def __copy__(self) -> Tokenizer:
        return type(self)._from_merges(self.merges)

    def __deepcopy__(self, memo: dict[int, object]) -> Tokenizer:
        return self.__copy__()

    def __repr__(self) -> str:
        return f"<brevix.Tokenizer vocab_size={self.vocab_size}>"


def _restore(table: list[Merge]) -> Tokenizer:
    """Unpickling: a Tokenizer from its merge table."""
    return Tokenizer._from_merges(table)


# Pickles name the class where users find it.
_restore.__module__ = "brevix._tokenizer"
Tokenizer.__module__ = "brevix"


# ---- helpers ---------------------------------------------------------------------


def _check_learnable(table: list[Merge], name: str) -> None:
    """Refuses, at its line, a merge whose parts are not bytes or earlier
    merges: training on bytes never makes one, and it would not decode."""
    for index, (left, right, merged) in enumerate(table):
        for part in (left, right):
            if not -128 <= part < merged:
                raise model.ModelFormatError(
                    name, index + 3, f"part {part} of merge {merged} is not a byte or an earlier merge"
                )


def _check_out(out: object) -> bool:
    if out == "list":
        return False
    if out == "numpy":
        return True
    raise ValueError(f"out must be 'list' or 'numpy', not {out!r}")


def _as_numpy(data: bytearray) -> npt.NDArray[np.int32]:
    try:
        import numpy as np
    except ImportError:  # pragma: no cover - numpy is optional
        raise ImportError("out='numpy' needs NumPy: pip install numpy") from None
    return np.frombuffer(data, dtype=np.int32)


def _refuse_single_text(obj: object, what: str) -> None:
    if isinstance(obj, (str, bytes, bytearray, memoryview)):
        raise TypeError(f"{what} must be an iterable of items, not a single {type(obj).__name__}")


def _available_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):  # pragma: no cover - not Linux
        return os.cpu_count() or 1


def _thread_count(threads: object) -> int:
    if threads is None:
        return _available_cpus()
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if not 1 <= threads <= 1024:
        raise ValueError(f"threads must be between 1 and 1024, got {threads}")
    return threads


def _training_bytes(data: object) -> Buffer:
    """The training data as one contiguous buffer: a single contiguous
    bytes-like object as it is, anything else copied once."""
    if isinstance(data, (str, os.PathLike)) or _is_buffer(data):
        single = _part_bytes(data)
        if memoryview(single).nbytes == 0:
            raise ValueError("nothing to train on: the data is empty")
        return single
    if not isinstance(data, Iterable):
        raise TypeError(
            "data must be bytes-like, str, os.PathLike or an iterable of these, "
            f"not {type(data).__name__}"
        )
    parts: list[Buffer] = []
    for index, item in enumerate(data):
        if not (isinstance(item, (str, os.PathLike)) or _is_buffer(item)):
            raise TypeError(
                f"data[{index}] must be bytes-like, str or os.PathLike, not {type(item).__name__}"
            )
        parts.append(_part_bytes(item))
    if not parts:
        raise ValueError("nothing to train on: the iterable is empty")
    joined = b"".join(parts)
    if not joined:
        raise ValueError("nothing to train on: the data is empty")
    return joined


def _is_buffer(obj: object) -> bool:
    try:
        memoryview(obj)  # type: ignore[arg-type]
    except TypeError:
        return False
    return True


def _part_bytes(part: object) -> Buffer:
    if isinstance(part, str):
        return part.encode("utf-8")
    if isinstance(part, os.PathLike):
        return _read_file(part)
    view = memoryview(part)  # type: ignore[arg-type]
    return view if view.c_contiguous else view.tobytes()


def _read_file(path: os.PathLike[Any]) -> bytes:
    """The whole file in one read. Not mapped: a file truncated by another
    process while it is mapped kills the reader with SIGBUS, and the mapped
    pages count in the resident size all the same."""
    with open(path, "rb") as f:
        return f.read()


@contextlib.contextmanager
def _progress_callback(
    progress: Progress, total: int
) -> Iterator[Callable[[int, int], object] | None]:
    if progress is None or progress is False:
        yield None
        return
    if progress is True:
        # Looked up by name: tqdm ships no type information.
        tqdm = importlib.import_module("tqdm").tqdm
        with tqdm(total=max(total, 1), unit="merge", desc="training", file=sys.stderr) as bar:

            def report(done: int, _total: int) -> None:
                bar.update(done - bar.n)

            yield report
        return
    if not callable(progress):
        raise TypeError(f"progress must be a bool or a callable, not {type(progress).__name__}")
    yield progress
