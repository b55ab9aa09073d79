"""The hooks of brevix._internal read ids, byte strings and buffers through
the same conversions as brevix.tokenizer: whatever the public class accepts
they accept with the same result, and what it refuses they refuse with the
same exception type, whichever engine runs."""
import array

import pytest
from hypothesis import given, settings, strategies as st

import brevix._internal as internal
from brevix.tokenizer import PyBytePairTokenizer

from helpers import trained


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def _generator(values):
    yield from values


# Inputs as a caller may give ids: the kinds the conversion walks in
# different ways, and the items and shapes it refuses.
ID_INPUTS = [
    ("list", lambda: [104, 105, 256]),
    ("tuple", lambda: (104, 105)),
    ("generator", lambda: _generator([104, 256, 105])),
    ("range", lambda: range(97, 100)),
    ("array", lambda: array.array("i", [104, 105])),
    ("bool items", lambda: [True, 104]),
    ("empty", lambda: []),
    ("str item", lambda: [104, "x"]),
    ("float item", lambda: [104, 1.5]),
    ("too large", lambda: [2**31]),
    ("too small", lambda: [-2**31 - 1]),
    ("huge", lambda: [2**70]),
    ("index item", lambda: [Index(104)]),
    ("not iterable", lambda: 5),
    ("None", lambda: None),
]


def _outcome(call):
    try:
        return ("ok", call())
    except Exception as error:  # the type is what is compared
        return ("raised", type(error))


@pytest.fixture(scope="module")
def tok():
    return trained([104, 105, 104, 105, 97], 300, 3)


@pytest.mark.parametrize("engine", ["fast", "straightforward"])
@pytest.mark.parametrize(("kind", "make"), ID_INPUTS, ids=[k for k, _ in ID_INPUTS])
class TestIdsLikeThePublicClass:
    def test_encode_corpus_on(self, tok, engine, kind, make):
        assert _outcome(lambda: internal.encode_corpus_on(tok, make(), engine)) == \
            _outcome(lambda: tok.encode_corpus(make()))

    def test_decode_on(self, tok, engine, kind, make):
        assert _outcome(lambda: internal.decode_on(tok, make(), engine)) == \
            _outcome(lambda: tok.decode(make()))

    def test_fit_on(self, engine, kind, make, capfd):
        ours = PyBytePairTokenizer()
        theirs = PyBytePairTokenizer()
        hook = _outcome(lambda: internal.fit_on(ours, make(), 260, 2, engine))
        public = _outcome(lambda: theirs.fit(make(), 260, 2))
        capfd.readouterr()
        assert hook[0] == public[0]
        if public[0] == "raised":
            assert hook[1] is public[1]
        assert ours.size == theirs.size


@pytest.mark.parametrize(("data", "expected"), [
    (b"ab", "ok"), (bytearray(b"ab"), "ok"), (memoryview(b"ab"), "ok"),
    (array.array("B", b"ab"), "ok"), ("ab", TypeError), (None, TypeError), (5, TypeError),
])
@pytest.mark.parametrize("hook", [
    lambda data: internal.split(r"\w", data),
    lambda data: internal.regex_split(r"\w", data),
    lambda data: internal.utf8_decode(data, 0),
], ids=["split", "regex_split", "utf8_decode"])
def test_buffer_arguments_are_held_or_refused(hook, data, expected):
    outcome = _outcome(lambda: hook(data))
    assert outcome[0] == "ok" if expected == "ok" else outcome == ("raised", expected)


@pytest.mark.parametrize("text", [b"", b"hello", bytes(range(256)), b"\x00\x00"])
def test_echo_bytes_come_back_whole(tok, text, capfd):
    # encode_on returns the engine's output and the ids; both engines agree
    # with each other and with the public method, NUL bytes included.
    fast = internal.encode_on(tok, text, "fast")
    slow = internal.encode_on(tok, text, "straightforward")
    assert fast[1] == slow[1] == tok.encode(text) == internal.encode_quiet_on(tok, text)
    assert isinstance(fast[0], bytes) and isinstance(slow[0], bytes)
    capfd.readouterr()


@settings(max_examples=30, deadline=None)
@given(st.binary(max_size=2000))
def test_the_quiet_encode_hook_gives_the_echoing_encodes_ids(data):
    # The benchmark's baseline for rank encoding: the same engine, no echo,
    # ids beyond the small ints and signed byte ids included.
    low = _TRAINED_LOW
    assert internal.encode_quiet_on(low, data) == internal.encode_on(low, data, "fast")[1]


def _trained_low_level():
    from brevix import Tokenizer

    tok = Tokenizer()
    tok.train("Grüße, naïve café — the quick brown fox. ".encode() * 40 + bytes(range(256)), 256 + 300)
    return tok.to_low_level()


_TRAINED_LOW = _trained_low_level()
