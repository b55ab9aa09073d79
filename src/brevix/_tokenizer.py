"""brevix.Tokenizer: a standard byte-level BPE tokenizer.

Ids run from 0: byte b is id b (or its rank, for vocabularies loaded from
tiktoken files such as cl100k), merges count up from 256, special tokens
come after them. Encoding cuts the text at allowed special tokens, splits
each stretch with the tokenizer's pattern (none: the whole text is one
piece) and applies the merges to each piece by rank, lowest first, leftmost
on ties: the ids HF tokenizers and tiktoken give for the same merges.

Training learns merges from piece counts when there is a pattern (GPT-style
training) and with the exact unsplit trainer otherwise. The native side
releases the interpreter lock while it works and encodes batches on native
threads. The state (bytes, merges, pattern, special tokens) is what
pickling, copying and the model files carry.
"""

from __future__ import annotations

import codecs
import contextlib
import copy
import dataclasses
import importlib
import os
import pathlib
import sys
import warnings
from collections.abc import Callable, Collection, Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, Self, SupportsIndex, Union, cast, overload

from brevix import _core, model, model_file
from brevix.model import FIRST_MERGE_ID, INT32_MAX
from brevix.model_file import ModelData

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from brevix.tokenizer import PyBytePairTokenizer

__all__ = ["Tokenizer", "PATTERNS", "StreamDecoder"]

# Accepted where the API takes text or training data.
Buffer = Union[bytes, bytearray, memoryview, Any]
Text = Union[str, Buffer]
TrainingData = Union[Text, "os.PathLike[str]", "os.PathLike[bytes]", Iterable[Any]]
FileArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Ids = Union[Sequence[SupportsIndex], Iterable[SupportsIndex], Any]
Merge = tuple[int, int, int]
Progress = Union[bool, None, Callable[[int, int], object]]
OutKind = Literal["list", "numpy"]
BatchOutKind = Literal["list", "numpy", "ragged"]
SpecialSet = Union[Literal["all"], Collection[str]]

MIN_VOCAB_SIZE = FIRST_MERGE_ID + 1

#: The well-known split patterns by name, spelled as their authors publish
#: them: ``"gpt2"`` (GPT-2, and HF tokenizers' ByteLevel), ``"cl100k"`` and
#: ``"o200k"`` (tiktoken's). These get hand-written scanners.
PATTERNS: dict[str, str] = dict(_core.PATTERNS)

# Documents are handed to the native counter in batches of about this size.
_BATCH_BYTES = 8 << 20


class Tokenizer:
    """A byte-level BPE tokenizer: text in, ids from 0 out, and back.

    ``Tokenizer(pattern=None, special_tokens=None)`` has no merges
    (``vocab_size`` 256 plus its special tokens).

    - ``pattern``: ``None`` (each text is one piece; training is the exact
      unsplit trainer), one of the names in :data:`PATTERNS`, or any regular
      expression in the syntax those patterns use (``\\p{L}``, possessive
      quantifiers, lookahead, ``(?i:...)``). Bytes that are not valid UTF-8
      are matched as U+FFFD each and kept as they are, so
      ``decode(encode(b)) == b`` for any bytes.
    - ``special_tokens``: an iterable of strings (their ids follow the
      merges, in the order given, and move up as training adds merges) or a
      mapping of strings to fixed ids.

    Thread safety: ``encode``/``decode`` and their batch forms may run from
    several threads at once; ``train`` waits for them and they wait for it,
    so no call sees a half-trained table.
    """

    __slots__ = ("_core", "_pattern", "_specials", "_fixed_ids", "_policies", "_metadata", "__weakref__")

    def __init__(
        self,
        pattern: str | None = None,
        special_tokens: Iterable[str] | Mapping[str, int] | None = None,
    ) -> None:
        self._core = _core.CoreTokenizer()
        self._policies: dict[tuple[object, object], tuple[bytes | None, bytes | None]] = {}
        specials, fixed = _special_table(special_tokens, FIRST_MERGE_ID)
        self._install(ModelData(pattern=_resolve_pattern(pattern), specials=specials), fixed)

    def _install(self, data: ModelData, fixed_ids: bool) -> None:
        """Replaces the whole state; the native side checks it all first."""
        ordered = sorted(data.specials.items(), key=lambda item: item[1])
        self._core.set_model(
            list(data.byte_ids),
            data.merges,
            data.pattern,
            [(text.encode("utf-8"), i) for text, i in ordered],
        )
        self._pattern = data.pattern
        self._specials = dict(ordered)
        self._fixed_ids = fixed_ids
        self._policies = {}
        self._metadata = copy.deepcopy(data.metadata)

    def _data(self) -> ModelData:
        return ModelData(
            byte_ids=tuple(self._core.byte_ids()),
            merges=self._core.merges(),
            pattern=self._pattern,
            specials=dict(self._specials),
            metadata=copy.deepcopy(self._metadata),
        )

    # ---- files and conversions ------------------------------------------

    @classmethod
    def load(cls, path: model.PathArg) -> Tokenizer:
        """Reads a model file written by :meth:`save` (version 2) or by
        earlier versions of brevix (version 1, merges only).

        Raises ``OSError`` when the file cannot be read and
        :class:`brevix.model.ModelFormatError` (a ``ValueError``) naming the
        line of the first problem otherwise.
        """
        data = model_file.read(path)
        return cls._from_data(data, fixed_ids=True, source=os.fsdecode(os.fspath(path)))

    def save(self, path: model.PathArg) -> None:
        """Writes bytes, merges, pattern and special tokens to ``path``
        atomically: a failure leaves the old file or the complete new one."""
        model_file.write(self._data(), path)

    @classmethod
    def from_tiktoken(
        cls,
        source: model.PathArg | Mapping[bytes, int],
        *,
        pattern: str | None,
        special_tokens: Mapping[str, int] | None = None,
    ) -> Tokenizer:
        """A tokenizer from tiktoken's ranks: a ``.tiktoken`` file (one
        ``base64(token) rank`` per line; gzip-compressed files are read too)
        or a ``{token bytes: rank}`` mapping such as
        ``tiktoken.Encoding._mergeable_ranks``. Ranks become ids.

        ``ValueError`` names the first token that no pair of lower-ranked
        tokens forms under tiktoken's merging, a repeated token, or a gap.
        """
        from brevix import interop

        return interop.from_tiktoken(cls, source, pattern=pattern, special_tokens=special_tokens)

    def save_tiktoken(self, path: model.PathArg) -> None:
        """Writes the ranks in tiktoken's format (atomically). Refuses, naming
        it, a token that tiktoken's byte-rank merging would reach through
        another pair than its own merge: tiktoken would encode differently.
        The pattern and special tokens are not part of that format: pass
        them to ``tiktoken.Encoding`` (see :attr:`pattern`,
        :attr:`special_tokens`)."""
        from brevix import interop

        interop.save_tiktoken(self, path)

    @classmethod
    def from_hf(cls, path: model.PathArg) -> Tokenizer:
        """A tokenizer from a HF tokenizers ``tokenizer.json`` with a
        byte-level BPE model. Files this class cannot represent exactly are
        refused with a ``ValueError`` naming the token or setting."""
        from brevix import interop

        return interop.from_hf(cls, path)

    def save_hf(self, path: model.PathArg) -> None:
        """Writes a HF tokenizers ``tokenizer.json`` (atomically) that
        ``tokenizers.Tokenizer.from_file`` loads into a tokenizer giving the
        same ids."""
        from brevix import interop

        interop.save_hf(self, path)

    @classmethod
    def from_low_level(cls, tokenizer: PyBytePairTokenizer) -> Tokenizer:
        """A Tokenizer with the merges of a ``PyBytePairTokenizer``, its
        signed byte ids made unsigned (byte 0xC3, id -61 there, is id 195).

        ``ValueError`` when a merge uses an id that is not a byte or an earlier
        merge (only possible after training the low-level class on ids other
        than bytes): such a table does not describe bytes.
        """
        table = _core.low_level_merges(tokenizer)
        model_file.check_byte_parts(table, "the low-level tokenizer")
        return cls._from_data(model_file.from_version_1(table), fixed_ids=False)

    def to_low_level(self) -> PyBytePairTokenizer:
        """A new ``PyBytePairTokenizer`` with these merges, byte b as the
        signed id it has there. It encodes differently (whole passes over its
        table, no pattern, no special tokens): see its documentation."""
        from brevix.tokenizer import PyBytePairTokenizer

        if tuple(self._core.byte_ids()) != model_file.IDENTITY:
            raise ValueError("the low-level class needs byte b at id b")
        tokenizer = PyBytePairTokenizer()
        signed = [(_signed(left), _signed(right), merged) for left, right, merged in self.merges]
        _core.set_low_level_merges(tokenizer, signed)
        return tokenizer

    @classmethod
    def _from_data(cls, data: ModelData, *, fixed_ids: bool, source: str = "model") -> Self:
        tokenizer = cls.__new__(cls)
        tokenizer._core = _core.CoreTokenizer()
        try:
            tokenizer._install(data, fixed_ids)
        except ValueError as e:
            raise ValueError(f"{source}: {e}") from None
        return tokenizer

    @property
    def metadata(self) -> dict[str, Any]:
        """What this tokenizer records about itself, saved in its model file
        and pickles: a dict of JSON data (a copy; assign a new dict to change
        it). Training on a cluster that pruned rare pieces records it under
        ``"pruned_pieces"``, one entry per run."""
        return copy.deepcopy(self._metadata)

    @metadata.setter
    def metadata(self, value: Mapping[str, Any]) -> None:
        chosen = dict(value)
        model_file.metadata_json(chosen)  # refused now rather than at save
        self._metadata = copy.deepcopy(chosen)

    # ---- the vocabulary -------------------------------------------------------

    @property
    def vocab_size(self) -> int:
        """The number of ids: the highest id in use plus one (256 base
        tokens, one per merge, and the special tokens)."""
        return self._core.vocab_size()

    @property
    def pattern(self) -> str | None:
        """The split pattern (the full expression, also for a name), or None."""
        return self._pattern

    @property
    def special_tokens(self) -> dict[str, int]:
        """The special tokens and their ids."""
        return dict(self._specials)

    @property
    def merges(self) -> list[Merge]:
        """The merges as ``(left, right, id)``, in id (= rank) order."""
        return self._core.merges()

    @property
    def vocab(self) -> dict[bytes, int]:
        """Every token's bytes and id, special tokens excluded (tiktoken's
        ``mergeable_ranks``)."""
        return {self._core.token_bytes(i): i for i in range(FIRST_MERGE_ID + len(self.merges))}

    def token_bytes(self, token_id: int) -> bytes:
        """The bytes one id stands for (``ValueError`` for an unknown id)."""
        return self._core.token_bytes(token_id)

    def token_id(self, token: bytes | str) -> int:
        """The id of a token given by its bytes (or text); ``KeyError`` when
        no token has exactly these bytes. Special tokens are found by their
        text."""
        if isinstance(token, str):
            special = self._specials.get(token)
            if special is not None:
                return special
            token = token.encode("utf-8")
        return self._core.token_id(token)

    # ---- training -------------------------------------------------------------

    def train(
        self,
        data: TrainingData | None = None,
        vocab_size: int | None = None,
        *,
        files: FileArg | Iterable[FileArg] | None = None,
        progress: Progress = False,
        lines: bool = False,
        threads: int | None = None,
        trace: bool = False,
    ) -> int:
        """Learns merges until the vocabulary (special tokens included) has
        ``vocab_size`` ids, continuing from the merges already learned, and
        returns the number of merges learned. Training to a size in steps
        learns what training to it at once learns.

        With a pattern, each document is split by the pattern and merges are
        learned from the counts of distinct pieces (ties between pairs of
        equal count go to the smallest ``(left, right)``); no merge crosses
        a piece, a document or a special token. A document is a ``str``
        (its text, as UTF-8: ``train("corpus.txt", ...)`` trains on the
        eleven characters of that name, with a warning when a file has
        that name), a bytes-like object of single bytes, or a file
        (``os.PathLike``: one document, or one per line with
        ``lines=True``; files are read by mapping, never whole into
        memory); ``data`` is one of these or an iterable of them.
        ``files`` (HF tokenizers' spelling: ``train(files=[...],
        vocab_size=...)``) names files by ``str``, ``bytes`` or
        ``os.PathLike`` paths instead of ``data``. Counting runs on ``threads`` native threads
        (default: the CPUs available, at most 8).

        Without a pattern, the exact unsplit trainer learns from the
        concatenation of all data (as ``PyBytePairTokenizer.fit`` learns
        from the same bytes); ``trace=True`` writes its per-iteration lines
        to the process's standard output.

        When the data runs out of pairs first, a ``UserWarning`` says how
        many merges were learned; so it does when the unsplit trainer,
        continuing on new data, learns a merge whose bytes another token
        already has (no vocabulary holds such a table): training stops
        before that merge. ``progress=True`` shows bars on stderr; a
        callable receives ``(merges_done, merges_total)``. Ctrl-C raises
        ``KeyboardInterrupt`` and keeps the merges learned so far.
        """
        data = _training_source(data, files)
        if vocab_size is None:
            raise TypeError("train() missing required argument: 'vocab_size'")
        target = self._training_target(vocab_size)
        if self._pattern is None and lines:
            raise ValueError("lines=True needs a pattern: the unsplit trainer learns one sequence")
        threads_n = _thread_count(threads, cap=8)

        def learn() -> str | None:
            if self._pattern is not None:
                self._train_pieces(data, target, progress, lines, threads_n)
                return None
            corpus = _training_bytes(data)
            with _progress_callback(progress, self._merges_wanted(target), "merges") as report:
                if trace:
                    sys.stdout.flush()
                stopped_before: str | None = self._core.train(corpus, target, report, trace)
                return stopped_before

        return self._learn(target, vocab_size, learn)

    def _train_counted(self, counter: Any, vocab_size: int, progress: Progress) -> int:
        """train() from the piece counts of ``counter`` (a ``_core.PieceCounter``
        of this tokenizer's pattern and special tokens) gathered elsewhere."""
        if self._pattern is None:
            raise ValueError("training from piece counts needs a pattern")
        target = self._training_target(vocab_size)

        def learn() -> None:
            with _progress_callback(progress, self._merges_wanted(target), "merges") as report:
                self._core.train_pieces(counter, target, report)

        return self._learn(target, vocab_size, learn)

    def _training_target(self, vocab_size: object) -> int:
        """The regular vocabulary size (special tokens aside) training to
        ``vocab_size`` ends at; refuses a bad size before anything is read."""
        if isinstance(vocab_size, bool) or not isinstance(vocab_size, int):
            raise TypeError(f"vocab_size must be an int, not {type(vocab_size).__name__}")
        if not MIN_VOCAB_SIZE <= vocab_size <= INT32_MAX:
            raise ValueError(
                f"vocab_size must be between {MIN_VOCAB_SIZE} and {INT32_MAX}, got {vocab_size}"
            )
        target = vocab_size - len(self._specials)
        self._check_fixed_special_ids(target)
        return target

    def _merges_wanted(self, target: int) -> int:
        return target - FIRST_MERGE_ID - len(self.merges)

    def _learn(self, target: int, vocab_size: int, learn: Callable[[], str | None]) -> int:
        """Runs ``learn`` (which returns what training stopped before, if
        it did) with the special tokens out of the way, and warns when fewer
        merges than wanted were learned; returns the number learned."""
        wanted = self._merges_wanted(target)
        if wanted <= 0:
            return 0
        regular = FIRST_MERGE_ID + len(self.merges)
        self._move_floating_specials(target)
        try:
            stopped_before = learn()
        finally:
            self._renumber_floating_specials()
        learned = FIRST_MERGE_ID + len(self.merges) - regular
        if learned < wanted:
            reason = (
                "the data ran out of pairs"
                if stopped_before is None
                else f"training stopped before {stopped_before}"
            )
            warnings.warn(
                f"{reason}: learned {learned} of {wanted} merges "
                f"(vocab_size is {self.vocab_size}, not {vocab_size})",
                UserWarning,
                stacklevel=3,
            )
        return learned

    def _train_pieces(
        self, data: TrainingData, target: int, progress: Progress, lines: bool, threads: int
    ) -> None:
        specials = [text.encode("utf-8") for text in self._specials]
        counter = _core.PieceCounter(self._pattern, specials, threads)
        with _progress_callback(progress is True, 0, "B", desc="counting") as report:
            for batch in _document_batches(data):
                if isinstance(batch, os.PathLike):
                    counter.add_file(os.fsencode(batch), lines, report)
                else:
                    counter.add_documents(batch, report)
        with _progress_callback(progress, self._merges_wanted(target), "merges") as report:
            self._core.train_pieces(counter, target, report)

    def _check_fixed_special_ids(self, target: int) -> None:
        if not self._fixed_ids:
            return
        for text, i in self._specials.items():
            if FIRST_MERGE_ID + len(self.merges) <= i < target:
                raise ValueError(
                    f"special token {text!r} has id {i}, which training to this size "
                    "would give to a merge"
                )

    def _move_floating_specials(self, first: int) -> None:
        """Gives special tokens without fixed ids the ids from ``first`` on,
        in their order, out of the way of the merges training adds."""
        if self._fixed_ids or not self._specials or min(self._specials.values()) == first:
            return
        data = self._data()
        specials = {text: first + n for n, text in enumerate(self._specials)}
        self._install(dataclasses.replace(data, specials=specials), False)

    def _renumber_floating_specials(self) -> None:
        self._move_floating_specials(FIRST_MERGE_ID + len(self.merges))

    # ---- encoding and decoding ------------------------------------------------

    @overload
    def encode(
        self,
        text: Text,
        *,
        allowed_special: SpecialSet = ...,
        disallowed_special: SpecialSet = ...,
        max_tokens: int | None = ...,
        out: Literal["list"] = ...,
    ) -> list[int]: ...
    @overload
    def encode(
        self,
        text: Text,
        *,
        allowed_special: SpecialSet = ...,
        disallowed_special: SpecialSet = ...,
        max_tokens: int | None = ...,
        out: Literal["numpy"],
    ) -> npt.NDArray[np.int32]: ...

    def encode(
        self,
        text: Text,
        *,
        allowed_special: SpecialSet = frozenset(),
        disallowed_special: SpecialSet = "all",
        max_tokens: int | None = None,
        out: OutKind = "list",
    ) -> Any:
        """The ids of ``text`` (``str`` as UTF-8, or any contiguous buffer of
        single bytes; a buffer of wider items, such as a NumPy int64 array,
        is a ``TypeError``).

        Special tokens follow tiktoken: those in ``allowed_special`` (a set of
        their texts, or ``"all"``) become their ids; text that spells one of
        ``disallowed_special`` (default ``"all"``: every special token not
        allowed) is a ``ValueError``; pass ``disallowed_special=()`` to
        encode such text as ordinary text. ``max_tokens=N`` returns the
        first N ids of the full encoding and stops encoding there (the cost
        is that of the prefix, not of the whole text). ``out="numpy"`` gives
        an int32 array.
        """
        as_array = _check_out(out)
        _refuse_id_sequence(text)
        allowed, disallowed = self._policy(allowed_special, disallowed_special)
        result = self._core.encode(text, allowed, disallowed, as_array, _max_tokens(max_tokens))
        return _as_numpy(result) if as_array else result

    def encode_ordinary(self, text: Text, *, out: OutKind = "list") -> Any:
        """The ids of ``text`` with special tokens treated as ordinary text."""
        as_array = _check_out(out)
        _refuse_id_sequence(text)
        result = self._core.encode(text, None, None, as_array, None)
        return _as_numpy(result) if as_array else result

    def encode_batch(
        self,
        texts: Iterable[Text],
        *,
        allowed_special: SpecialSet = frozenset(),
        disallowed_special: SpecialSet = "all",
        threads: int | None = None,
        out: BatchOutKind = "list",
    ) -> Any:
        """``[encode(t, ...) for t in texts]``, in order, on a pool of native
        threads (default: the CPUs available) without the interpreter lock.

        ``out="numpy"`` gives an int32 array per text; ``out="ragged"`` gives
        ``(ids, offsets)``: one flat int32 array of every text's ids and
        ``len(texts) + 1`` int64 offsets into it (text i is
        ``ids[offsets[i]:offsets[i + 1]]``), without a Python object per
        text.
        """
        kind = _batch_out_kind(out)
        _refuse_single_text(texts, "texts")
        allowed, disallowed = self._policy(allowed_special, disallowed_special)
        results = self._core.encode_batch(texts, _thread_count(threads), kind, allowed, disallowed)
        if kind == 2:
            flat, offsets = results
            return _as_numpy(flat), _as_numpy(offsets, "int64")
        return [_as_numpy(r) for r in results] if kind == 1 else results

    def count(
        self,
        text: Text,
        *,
        allowed_special: SpecialSet = frozenset(),
        disallowed_special: SpecialSet = "all",
    ) -> int:
        """``len(encode(text, ...))``, without building the list."""
        _refuse_id_sequence(text)
        allowed, disallowed = self._policy(allowed_special, disallowed_special)
        return self._core.count(text, allowed, disallowed)

    def count_batch(
        self,
        texts: Iterable[Text],
        *,
        allowed_special: SpecialSet = frozenset(),
        disallowed_special: SpecialSet = "all",
        threads: int | None = None,
    ) -> list[int]:
        """``[count(t, ...) for t in texts]`` on native threads."""
        _refuse_single_text(texts, "texts")
        allowed, disallowed = self._policy(allowed_special, disallowed_special)
        return self._core.count_batch(texts, _thread_count(threads), allowed, disallowed)

    def encode_with_offsets(
        self,
        text: Text,
        *,
        allowed_special: SpecialSet = frozenset(),
        disallowed_special: SpecialSet = "all",
    ) -> tuple[list[int], list[int]]:
        """``(ids, offsets)``: the ids of ``encode(text, ...)`` and where each
        token starts in ``text``: a character index for a ``str``, a byte
        offset otherwise. A token that starts inside a multi-byte character
        (possible when a character's bytes are split between tokens) gets
        the index of that character, so offsets never decrease and
        ``text[offsets[i]:]`` always begins with the character holding the
        token's first byte."""
        _refuse_id_sequence(text)
        allowed, disallowed = self._policy(allowed_special, disallowed_special)
        return self._core.encode_offsets(text, allowed, disallowed)

    def decode(self, ids: Ids) -> bytes:
        """The bytes of ``ids``: a list, tuple or other iterable of ints, an
        ``array.array`` or a NumPy integer array (read without an int object
        per item). ``ValueError`` names the first id that is not in use."""
        return self._core.decode(ids)

    def decode_text(self, ids: Ids, errors: str = "replace") -> str:
        """``decode(ids)`` as text: UTF-8 with ``errors`` as in
        ``bytes.decode`` (``"replace"`` puts U+FFFD for bytes that are not
        UTF-8; ``"strict"`` raises)."""
        return self._core.decode(ids).decode("utf-8", errors)

    def decoder(self, errors: str = "replace") -> StreamDecoder:
        """A streaming decoder for ids that arrive a few at a time (as a
        model generates them): ``feed(ids)`` returns the text complete so far
        and holds back an incomplete UTF-8 sequence at the end; ``flush()``
        returns what is held back. The outputs of all ``feed`` calls and
        ``flush()`` concatenated equal ``decode_text`` of all the ids.
        An unknown ``errors`` handler is a LookupError here, not at the
        first undecodable byte."""
        codecs.lookup_error(errors)
        return StreamDecoder(self._core, errors)

    def decode_batch(self, batch: Iterable[Ids], *, threads: int | None = None) -> list[bytes]:
        """``[decode(ids) for ids in batch]``, in order, on native threads."""
        _refuse_single_text(batch, "batch")
        return self._core.decode_batch(batch, _thread_count(threads))

    def _policy(
        self, allowed_special: SpecialSet, disallowed_special: SpecialSet
    ) -> tuple[bytes | None, bytes | None]:
        """The native form of a special-token policy: one byte per special
        token in id order, 1 where allowed (and where disallowed), or None
        for none. Cached per policy."""
        key = (_policy_key(allowed_special), _policy_key(disallowed_special))
        cached = self._policies.get(key)
        if cached is not None:
            return cached
        names = list(self._specials)
        allowed = self._special_set(allowed_special, "allowed_special")
        if disallowed_special == "all":
            disallowed = set(names) - allowed
        else:
            disallowed = self._special_set(disallowed_special, "disallowed_special") - allowed
        result = (_mask(names, allowed), _mask(names, disallowed))
        if len(self._policies) < 64:
            self._policies[key] = result
        return result

    def _special_set(self, given: SpecialSet, what: str) -> set[str]:
        if given == "all":
            return set(self._specials)
        if isinstance(given, (str, bytes)):
            raise TypeError(f"{what} must be 'all' or a collection of special tokens, not one string")
        chosen = set(given)
        unknown = sorted(str(t) for t in chosen if t not in self._specials)
        if unknown:
            raise ValueError(f"{what}: {unknown[0]!r} is not a special token of this tokenizer")
        return chosen

    # ---- copying and pickling ---------------------------------------------------

    def __reduce__(self) -> tuple[Callable[..., Tokenizer], tuple[Any, ...]]:
        data = self._data()
        state = (data.byte_ids, data.merges, data.pattern, data.specials, self._fixed_ids, data.metadata)
        return (_restore, state)

    def __copy__(self) -> Tokenizer:
        return type(self)._from_data(self._data(), fixed_ids=self._fixed_ids)

    def __deepcopy__(self, memo: dict[int, object]) -> Tokenizer:
        return self.__copy__()

    def __repr__(self) -> str:
        pattern = next((n for n, p in PATTERNS.items() if p == self._pattern), None)
        shown = repr(pattern) if pattern else "None" if self._pattern is None else "<regex>"
        return (
            f"<brevix.Tokenizer vocab_size={self.vocab_size} pattern={shown} "
            f"special_tokens={len(self._specials)}>"
        )


class StreamDecoder(_core.StreamDecoder):
    """Text from ids that arrive a few at a time (see
    :meth:`Tokenizer.decoder`). Not thread-safe: one stream, one reader
    (threads sharing one stream get garbled text, never a crash).

    ``feed(ids)`` takes one id as an ``int`` or anything :meth:`Tokenizer.decode`
    takes, and returns the text the ids complete, holding back an unfinished
    UTF-8 sequence at the end. ``flush()`` returns what is held back (decoded
    with the stream's ``errors``) and starts the stream afresh. Both run
    natively: feeding one generated id costs about as much as a call of a
    builtin."""

    __slots__ = ()


def _restore(
    byte_ids: Sequence[int],
    merges: list[Merge],
    pattern: str | None = None,
    specials: dict[str, int] | None = None,
    fixed_ids: bool = True,
    metadata: dict[str, Any] | None = None,
) -> Tokenizer:
    """Unpickling: a Tokenizer from its state."""
    data = ModelData(tuple(byte_ids), list(merges), pattern, dict(specials or {}), dict(metadata or {}))
    return Tokenizer._from_data(data, fixed_ids=fixed_ids)


# Pickles name the class where users find it.
_restore.__module__ = "brevix._tokenizer"
Tokenizer.__module__ = "brevix"


# ---- helpers ---------------------------------------------------------------------


def _resolve_pattern(pattern: object) -> str | None:
    if pattern is None:
        return None
    if not isinstance(pattern, str):
        raise TypeError(f"pattern must be a str or None, not {type(pattern).__name__}")
    return PATTERNS.get(pattern, pattern)


def _special_table(
    special_tokens: Iterable[str] | Mapping[str, int] | None, first_id: int
) -> tuple[dict[str, int], bool]:
    """The special tokens as {text: id}, and whether their ids were given."""
    if special_tokens is None:
        return {}, False
    if isinstance(special_tokens, (str, bytes)):
        raise TypeError("special_tokens must be an iterable of str or a mapping, not one string")
    if isinstance(special_tokens, Mapping):
        table = dict(special_tokens)
        fixed = True
    else:
        table = {}
        for text in special_tokens:
            if text in table:
                raise ValueError(f"special token {text!r} is given twice")
            table[text] = first_id + len(table)
        fixed = False
    for text, i in table.items():
        if not isinstance(text, str) or not text:
            raise TypeError(f"special tokens must be non-empty str, not {text!r}")
        if isinstance(i, bool) or not isinstance(i, int) or not 0 <= i <= INT32_MAX:
            raise ValueError(f"special token {text!r}: id {i!r} is not an id")
    return table, fixed


def _policy_key(given: object) -> object:
    if given == "all":
        return "all"
    try:
        return frozenset(cast(Iterable[object], given))
    except TypeError:
        raise TypeError(f"expected 'all' or a collection of special tokens, not {given!r}") from None


def _mask(names: list[str], chosen: set[str]) -> bytes | None:
    if not chosen:
        return None
    return bytes(1 if name in chosen else 0 for name in names)


def _signed(part: int) -> int:
    return part - 256 if 128 <= part < 256 else part


# A str document at most this long is looked up as a file name, to warn
# about training on the name rather than the file.
_NAME_LENGTH = 4096


def _training_source(data: object, files: object) -> TrainingData:
    """The training data from ``data`` or ``files`` (exactly one given):
    ``files`` as ``os.PathLike`` documents. Warns when ``data`` is a short
    ``str`` (or starts with one) that names an existing file."""
    if files is None:
        if data is None:
            raise TypeError("train() needs data or files=[...]")
        first = data[0] if isinstance(data, (list, tuple)) and data else data
        if isinstance(first, str) and _names_a_file(first):
            warnings.warn(
                f"training on the text {first!r}, which is also the name of a file: a str is "
                "text; pass files=[...] (or a pathlib.Path) to train on the file's contents",
                UserWarning,
                stacklevel=3,
            )
        return cast(TrainingData, data)
    if data is not None:
        raise TypeError("train() takes data or files=[...], not both")
    paths = [files] if isinstance(files, (str, bytes, os.PathLike)) else files
    if not isinstance(paths, Iterable):
        raise TypeError(f"files must be a path or an iterable of paths, not {type(files).__name__}")
    result: list[os.PathLike[Any]] = []
    for index, path in enumerate(paths):
        if not isinstance(path, (str, bytes, os.PathLike)):
            raise TypeError(f"files[{index}] must be a path, not {type(path).__name__}")
        result.append(pathlib.Path(os.fsdecode(path)))
    if not result:
        raise ValueError("nothing to train on: files is empty")
    return result


def _names_a_file(text: str) -> bool:
    if len(text) > _NAME_LENGTH or "\n" in text or "\0" in text:
        return False
    try:
        return os.path.isfile(text)
    except (OSError, ValueError):
        return False


def _document_batches(data: object) -> Iterator[Any]:
    """The training documents as files (``os.PathLike``) and batches of
    in-memory documents (lists of buffers, about ``_BATCH_BYTES`` each)."""
    if isinstance(data, (str, os.PathLike)) or _is_buffer(data):
        items: Iterable[Any] = (data,)
    elif isinstance(data, Iterable):
        items = data
    else:
        raise TypeError(
            "data must be bytes-like, str, os.PathLike or an iterable of these, "
            f"not {type(data).__name__}"
        )
    batch: list[Any] = []
    size = 0
    for index, item in enumerate(items):
        if isinstance(item, os.PathLike):
            if batch:
                yield batch
                batch, size = [], 0
            yield item
            continue
        if isinstance(item, str):
            item = item.encode("utf-8", "surrogatepass")
        elif not _is_buffer(item):
            raise TypeError(
                f"data[{index}] must be bytes-like, str or os.PathLike, not {type(item).__name__}"
            )
        batch.append(item)
        size += memoryview(item).nbytes
        if size >= _BATCH_BYTES:
            yield batch
            batch, size = [], 0
    if batch:
        yield batch



def _check_out(out: object) -> bool:
    if out == "list":
        return False
    if out == "numpy":
        return True
    raise ValueError(f"out must be 'list' or 'numpy', not {out!r}")


def _batch_out_kind(out: object) -> int:
    kinds = {"list": 0, "numpy": 1, "ragged": 2}
    if isinstance(out, str) and out in kinds:
        return kinds[out]
    raise ValueError(f"out must be 'list', 'numpy' or 'ragged', not {out!r}")


def _max_tokens(max_tokens: object) -> int | None:
    if max_tokens is None:
        return None
    if isinstance(max_tokens, bool) or not isinstance(max_tokens, int):
        raise TypeError(f"max_tokens must be an int or None, not {type(max_tokens).__name__}")
    if max_tokens < 0:
        raise ValueError(f"max_tokens must be at least 0, got {max_tokens}")
    return max_tokens


def _refuse_id_sequence(text: object) -> None:
    if isinstance(text, (list, tuple)):
        raise TypeError(f"expected str or a bytes-like object, not {type(text).__name__}")


def _as_numpy(data: bytearray, dtype: str = "int32") -> Any:
    try:
        import numpy as np
    except ImportError:  # pragma: no cover - numpy is optional
        raise ImportError("out='numpy' needs NumPy: pip install numpy") from None
    return np.frombuffer(data, dtype=dtype)


def _refuse_single_text(obj: object, what: str) -> None:
    if isinstance(obj, (str, bytes, bytearray, memoryview)):
        raise TypeError(f"{what} must be an iterable of items, not a single {type(obj).__name__}")


def available_cpus() -> int:
    """The CPUs this process may run on (its affinity mask where the platform
    has one, else every CPU): the default number of threads, and of worker
    processes of a local cluster."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):  # pragma: no cover - not Linux
        return os.cpu_count() or 1


def _thread_count(threads: object, cap: int = 1024) -> int:
    if threads is None:
        return min(available_cpus(), cap)
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
    progress: Progress, total: int, unit: str = "merges", desc: str = "training"
) -> Iterator[Callable[[int, int], object] | None]:
    """The native side's progress callback for ``progress``: None, a tqdm
    bar on stderr over ``total`` (0: unknown), or the caller's callable."""
    if progress is None or progress is False:
        yield None
        return
    if progress is True:
        # Looked up by name: tqdm ships no type information.
        tqdm = importlib.import_module("tqdm").tqdm
        scale = unit == "B"
        with tqdm(
            total=total or None, unit=unit, unit_scale=scale, desc=desc, file=sys.stderr
        ) as bar:

            def report(done: int, _total: int) -> None:
                bar.update(done - bar.n)

            yield report
        return
    if not callable(progress):
        raise TypeError(f"progress must be a bool or a callable, not {type(progress).__name__}")
    yield progress
