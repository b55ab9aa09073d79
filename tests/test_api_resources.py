"""brevix.Tokenizer under resource pressure: running out of memory is a
MemoryError after which the tokenizer still works, and repeated calls
(successful or refused) leak neither Python objects nor native memory."""

import array
import gc
import pickle
import random
import sys

import pytest

from brevix import Tokenizer
from helpers import SANITIZED, resident_bytes, run_under_memory_limit

# The NumPy input and output forms are much of what these tests cover.
np = pytest.importorskip("numpy")

LIMITED_SETUP = """
import random
from brevix import Tokenizer

tok = Tokenizer()
tok.train(bytes(random.Random(1).choices(b"abcdefgh ", k=20000)), 300)
text = b"ab" * 100_000_000
ids = [299] * 2_000_000

def check():
    assert tok.decode(tok.encode(b"abcabd")) == b"abcabd"

calls = {
    "encode": lambda: tok.encode(text),
    "encode_batch": lambda: tok.encode_batch([text, text], threads=2),
    "decode": lambda: tok.decode(ids * 40),
    "train": lambda: Tokenizer().train(text, 100_000),
}
"""


@pytest.mark.skipif(SANITIZED, reason="address-space limits defeat the sanitizer's shadow memory")
def test_memory_exhaustion_is_a_memory_error_and_the_tokenizer_goes_on():
    lines = run_under_memory_limit(LIMITED_SETUP, headroom_mb=300, after='print("vocab", tok.vocab_size)')
    assert lines == [
        "encode MemoryError",
        "encode_batch MemoryError",
        "decode MemoryError",
        "train MemoryError",
        "vocab 300",
    ]


def expect_no_growth(call, rounds=1500):
    for _ in range(150):
        call()
    gc.collect()
    blocks = sys.getallocatedblocks()
    rss = resident_bytes()
    for _ in range(rounds):
        call()
    gc.collect()
    # A leak of one block per call shows as `rounds` blocks; interpreter
    # caches (pickle's, a dict growing once) add a hundred or so at random.
    assert sys.getallocatedblocks() - blocks < rounds // 4
    if not SANITIZED:
        now = resident_bytes()
        assert now - rss < 8 * 2**20


def refused(fn, exc):
    def call():
        with pytest.raises(exc):
            fn()
    return call


def warned(fn, match):
    def call():
        with pytest.warns(UserWarning, match=match):
            fn()
    return call


TOK = Tokenizer()
TOK.train(bytes(random.Random(1).choices(b"abcdefgh ", k=20000)), 320)
IDS = TOK.encode(b"abcabcabd the cat " * 10)


@pytest.mark.parametrize(
    "call",
    [
        warned(lambda: Tokenizer().train(b"abcabcabd" * 20, 280), "ran out of pairs"),
        lambda: TOK.encode(b"abcabcabd" * 50),
        lambda: TOK.encode("the cat", out="numpy"),
        lambda: TOK.encode_batch([b"abc", "the cat"] * 5, threads=2),
        lambda: TOK.decode(IDS),
        lambda: TOK.decode(np.array(IDS)),
        lambda: TOK.decode(array.array("i", IDS)),
        lambda: TOK.decode(iter(IDS)),
        lambda: TOK.decode_batch([IDS, np.array(IDS)], threads=2),
        lambda: TOK.token_bytes(300),
        lambda: TOK.merges,
        lambda: pickle.loads(pickle.dumps(TOK)),
        refused(lambda: TOK.decode(IDS + [5000]), ValueError),
        refused(lambda: TOK.decode(np.array(IDS + [5000])), ValueError),
        refused(lambda: TOK.decode([1, 2**40]), ValueError),
        refused(lambda: TOK.decode_batch([IDS, [1, "x"]]), TypeError),
        refused(lambda: TOK.encode_batch([b"a", 1]), TypeError),
        refused(lambda: TOK.train([b"a", 1], 400), TypeError),
        refused(lambda: Tokenizer().train(b"ab" * 10, 300, progress=lambda d, t: 1 / 0),
                ZeroDivisionError),
    ],
    ids=["train", "encode", "encode-numpy", "encode_batch", "decode", "decode-numpy",
         "decode-array", "decode-iter", "decode_batch", "token_bytes", "merges", "pickle",
         "unknown-id", "unknown-id-numpy", "big-id", "batch-bad-item", "encode-bad-item",
         "train-bad-part", "progress-raises"],
)
def test_repeated_calls_do_not_leak(call):
    expect_no_growth(call)
