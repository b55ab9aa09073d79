"""Every entry point of brevix._core (CoreTokenizer's methods, PieceCounter's,
the module functions and both constructors) under an address-space limit
where the Python arguments already fit and the native copies do not: each
gives MemoryError or succeeds, never ends the process, and leaves the
tokenizer working."""

import pytest

from helpers import SANITIZED, run_under_memory_limit

SETUP = """
import array
from brevix import _core
from brevix.tokenizer import PyBytePairTokenizer

# Built first: the holes counting leaves in the heap are filled by what
# follows, so that they cannot serve the native allocations below.
counter = _core.PieceCounter(None, [], 1)
counter.add_documents([b"%07d" % i for i in range(2_000_000)], None)
N = 20_000_000
IDENTITY = list(range(256))

class Id(int):
    pass

# Token 256 + k is b"a" * 2 ** (k + 1): the last is 16 MB long.
doubling = [(97, 97, 256)] + [(255 + k, 255 + k, 256 + k) for k in range(1, 24)]
tok = _core.CoreTokenizer()
tok.set_model(IDENTITY, doubling, None, [(b"<|end|>", 280)])
LONGEST = 279

many_merges = [(97, 98, 256)] * N          # one tuple, N references
ids = [97] * (2 * N)                        # 8 bytes a reference, no int objects
ids[0] = Id(97)                             # an int subclass: decode's general path
text = b"b" * 100_000_000
path = {path!r}
with open(path, "wb") as f:
    f.write(b"x\\n" * 50_000_000)
tokens = [b"x"] * N

empty_counter = _core.PieceCounter(None, [], 1)
trainee = _core.CoreTokenizer()
low = PyBytePairTokenizer()
small = _core.CoreTokenizer()
small.set_model(IDENTITY, doubling[:5], None, [])

def check():
    assert tok.decode([97, 256, 280]) == b"aaa<|end|>", "the tokenizer broke"
    assert tok.vocab_size() == 281

calls = {{
    "CoreTokenizer": lambda: _core.CoreTokenizer(),
    "vocab_size": lambda: tok.vocab_size(),
    "merges": lambda: tok.merges(),
    "byte_ids": lambda: tok.byte_ids(),
    "token_id": lambda: tok.token_id(b"aa"),
    "tiktoken_conflict": lambda: small.tiktoken_conflict(),
    "set_model": lambda: trainee.set_model(IDENTITY, many_merges, None, []),
    "encode": lambda: tok.encode(text, None, None, False, None),
    "encode_offsets": lambda: tok.encode_offsets(text, None, None),
    "count": lambda: tok.count(text, None, None),
    "count_batch": lambda: tok.count_batch([text, text], 2, None, None),
    "encode_batch": lambda: tok.encode_batch([text, text], 2, False, None, None),
    "decode": lambda: tok.decode(ids),
    "decode_streamed": lambda: tok.decode([LONGEST] * 20),
    "decode_array": lambda: tok.decode(array.array("i", [LONGEST]) * 20),
    "decode_batch": lambda: tok.decode_batch([ids], 1),
    "token_bytes": lambda: tok.token_bytes(LONGEST),
    "train": lambda: trainee.train(text, 100_000, None, False),
    "train_pieces": lambda: trainee.train_pieces(counter, 1_000_000, None),
    "PieceCounter": lambda: _core.PieceCounter("o200k", [b"<|end|>"], 1),
    "add_documents": lambda: empty_counter.add_documents([text], None),
    "add_file": lambda: empty_counter.add_file(path.encode(), True, None),
    "distinct": lambda: counter.distinct(),
    "merges_from_ranks": lambda: _core.merges_from_ranks(tokens),
    "low_level_merges": lambda: _core.low_level_merges(low),
    "set_low_level_merges": lambda: _core.set_low_level_merges(low, many_merges),
}}
"""

AFTER = """
trainee.train_pieces(counter, 300, None)
print("trained after", len(trainee.merges()))
"""


@pytest.mark.slow
@pytest.mark.skipif(SANITIZED, reason="address-space limits defeat the sanitizer's shadow memory")
def test_every_core_entry_point_turns_exhaustion_into_memory_error(tmp_path):
    setup = SETUP.format(path=str(tmp_path / "lines.txt"))
    lines = run_under_memory_limit(setup, headroom_mb=24, after=AFTER)
    assert dict(line.split() for line in lines[:-1]) == {
        "CoreTokenizer": "ok",
        "vocab_size": "ok",
        "merges": "ok",
        "byte_ids": "ok",
        "token_id": "ok",
        "tiktoken_conflict": "ok",
        "set_model": "MemoryError",
        "encode": "MemoryError",
        "encode_offsets": "MemoryError",
        "count": "MemoryError",
        "count_batch": "MemoryError",
        "encode_batch": "MemoryError",
        "encode_offsets": "MemoryError",
        "count": "MemoryError",
        "count_batch": "MemoryError",
        "decode": "MemoryError",
        "decode_streamed": "MemoryError",
        "decode_array": "MemoryError",
        "decode_batch": "MemoryError",
        "token_bytes": "ok",
        "train": "MemoryError",
        "train_pieces": "MemoryError",
        "PieceCounter": "ok",
        "add_documents": "MemoryError",
        "add_file": "MemoryError",
        "distinct": "ok",
        "merges_from_ranks": "MemoryError",
        "low_level_merges": "ok",
        "set_low_level_merges": "MemoryError",
    }
    assert lines[-1] == "trained after 44"
