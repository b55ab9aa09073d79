"""Finding special tokens in a text: the leftmost occurrence of a chosen
token, the longest of those starting there, against a plain Python search."""

import pytest
from hypothesis import given, settings, strategies as st

from brevix import _internal

ENDOFTEXT = b"<|endoftext|>"


def reference_find(specials, text, start=0, chosen=None):
    """Leftmost, then longest, occurrence of a chosen token at or after start."""
    indices = range(len(specials)) if chosen is None else sorted(set(chosen))
    for at in range(max(start, 0), len(text)):
        found = [(len(specials[i][0]), i) for i in indices if text.startswith(specials[i][0], at)]
        if found:
            length, index = max(found)
            return (at, length, index, specials[index][1])
    return None


@pytest.mark.parametrize(
    "specials, text, start, chosen, expected",
    [
        ([(ENDOFTEXT, 100)], b"a<|endoftext|>b", 0, None, (1, 13, 0, 100)),
        ([(ENDOFTEXT, 100)], b"a<|endoftext|>b", 2, None, None),
        ([(ENDOFTEXT, 100)], b"<|endoftext|", 0, None, None),  # cut short at the end
        ([(ENDOFTEXT, 100), (b"<|end", 7)], b"<|endoftext|>", 0, None, (0, 13, 0, 100)),
        ([(ENDOFTEXT, 100), (b"<|end", 7)], b"<|endoftex", 0, None, (0, 5, 1, 7)),
        ([(ENDOFTEXT, 100), (b"<|end", 7)], b"<|endoftext|>", 0, [1], (0, 5, 1, 7)),
        ([(ENDOFTEXT, 100), (b"<|end", 7)], b"<|endoftext|>", 0, [], None),
        ([(b"b", 1), (b"ab", 2)], b"xab", 0, None, (1, 2, 1, 2)),  # leftmost beats longest
        ([(b"\x00", 3), (b"\xff\x00", 4)], b"a\xff\x00\x00", 0, None, (1, 2, 1, 4)),
        ([], b"anything", 0, None, None),
        ([(ENDOFTEXT, 100)], b"", 0, None, None),
        ([(ENDOFTEXT, 100)], ENDOFTEXT, 99, None, None),  # start past the end
    ],
)
def test_find_cases(specials, text, start, chosen, expected):
    assert _internal.special_find(specials, text, start, chosen) == expected
    assert reference_find(specials, text, start, chosen) == expected


# Few distinct bytes, so that tokens share prefixes and first bytes and occur
# often; sometimes a single first byte (the memchr path).
token_bytes = st.binary(min_size=1, max_size=5).map(lambda b: bytes(97 + x % 3 for x in b))


@settings(max_examples=400, deadline=None)
@given(
    st.lists(token_bytes, min_size=0, max_size=8, unique=True),
    st.binary(max_size=60).map(lambda b: bytes(97 + x % 4 for x in b)),
    st.integers(0, 70),
    st.booleans(),
    st.data(),
)
def test_find_matches_reference(tokens, text, start, one_first_byte, data):
    if one_first_byte:
        tokens = sorted({b"a" + t for t in tokens})
    specials = [(t, 1000 + i) for i, t in enumerate(tokens)]
    chosen = None
    if specials and data.draw(st.booleans()):
        chosen = data.draw(st.lists(st.integers(0, len(specials) - 1), max_size=10))
    expected = reference_find(specials, text, start, chosen)
    assert _internal.special_find(specials, text, start, chosen) == expected


def test_find_walks_every_occurrence_of_a_frequent_first_byte():
    text = b"<" * 10000 + b"<|x|>" + b"<|" * 5000 + ENDOFTEXT
    specials = [(ENDOFTEXT, 1), (b"<|y|>", 2)]
    assert _internal.special_find(specials, text) == (len(text) - 13, 13, 0, 1)


@pytest.mark.parametrize(
    "specials, message",
    [
        ([(b"", 1)], r"special token 0 \(b''.*is empty"),
        ([(b"a", -1)], "negative id"),
        ([(b"a", 1), (b"b", 2), (b"a", 3)], r"special token 2 \(b'a', id 3\) repeats the bytes of special token 0"),
        ([(b"a", 1), (b"b", 1)], r"special token 1 .*repeats the id of special token 0"),
    ],
)
def test_bad_special_tokens_are_refused(specials, message):
    with pytest.raises(ValueError, match=message):
        _internal.special_find(specials, b"abc")


def test_chosen_index_out_of_range():
    with pytest.raises(IndexError, match="index 1 is out of range"):
        _internal.special_find([(b"a", 1)], b"abc", 0, [1])
