"""Finding special tokens in a text: the leftmost occurrence of a chosen
token, the longest of those starting there, against a plain Python search."""

import pytest
from hypothesis import example, given, settings, strategies as st

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


@settings(max_examples=200, deadline=None)
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


# Encoding texts that hold special tokens.

IDS = list(range(256))
MERGES = [(60, 124, 256), (124, 62, 257), (101, 110, 258), (258, 100, 259)]  # <| |> en end
SPECIALS = [(ENDOFTEXT, 260), (b"<|end|>", 261), (b"<|end", 262)]


@pytest.fixture(scope="module")
def encoder():
    return _internal.bpe_encoder(IDS, MERGES, SPECIALS)


# tiktoken's special matching is an alternation in no fixed order: where one
# special is a prefix of another its choice is not defined, so its twin has
# none such.
TWIN_SPECIALS = SPECIALS[:2]


@pytest.fixture(scope="module")
def twins():
    """Our encoder and tiktoken with the same tokens and specials, keeping
    texts whole."""
    from bpe_tables import WHOLE_PATTERN, tiktoken_encoding, token_bytes

    tokens = token_bytes(IDS, MERGES)
    theirs = tiktoken_encoding(
        "specials",
        [tokens[i] for i in range(len(tokens))],
        WHOLE_PATTERN,
        {t.decode(): i for t, i in TWIN_SPECIALS},
    )
    return _internal.bpe_encoder(IDS, MERGES, TWIN_SPECIALS), theirs


@pytest.mark.parametrize(
    "text, allowed, expected",
    [
        (b"a<|end|>b", "all", [97, 261, 98]),
        (b"a<|end|>b", [b"<|end|>"], [97, 261, 98]),
        (b"a<|end|>b", [b"<|end"], [97, 262, 257, 98]),  # |> is then ordinary text
        (b"a<|end|>b", [], [97, 256, 259, 257, 98]),
        (b"<|endoftext|><|end|>", "all", [260, 261]),
        (b"<|endoftext|><|end|>", [b"<|end"], [262, 111, 102, 116, 101, 120, 116, 257, 262, 257]),
        (b"<|end|", "all", [262, 124]),
    ],
)
def test_encode_with_allowed_specials(encoder, text, allowed, expected):
    assert _internal.bpe_encode(encoder, text, allowed) == expected
    assert _internal.bpe_count(encoder, text, allowed) == len(expected)
    assert _internal.bpe_decode(encoder, expected) == text


def test_encode_without_allowed_argument_is_ordinary(encoder):
    assert _internal.bpe_encode(encoder, ENDOFTEXT) == _internal.bpe_encode(encoder, ENDOFTEXT, [])


def test_unknown_allowed_special_is_refused(encoder):
    with pytest.raises(ValueError, match="not a special token"):
        _internal.bpe_encode(encoder, b"x", [b"<|nope|>"])


@pytest.mark.parametrize(
    "text, allowed, expected",
    [
        (b"plain text", [], None),
        (b"ab<|end|>", [], (2, 7, 1, 261)),
        (b"ab<|end|>", [b"<|end|>"], (2, 5, 2, 262)),  # the shorter one is still disallowed
        (b"ab<|end|>", "all", None),
        (b"<|endoftext|>", [b"<|end|>", b"<|end"], (0, 13, 0, 260)),
    ],
)
def test_disallowed_specials_are_found(encoder, text, allowed, expected):
    assert _internal.bpe_disallowed(encoder, text, allowed) == expected


pieces = st.sampled_from([b"<|", b"|>", b"end", b"<|end|>", ENDOFTEXT, b"<|end", b"a", b" ", b"\xff"])


@settings(max_examples=300, deadline=None)
@given(st.lists(pieces, max_size=20).map(b"".join))
def test_encode_with_specials_matches_tiktoken(encoder, twins, text):
    ours = _internal.bpe_encode(encoder, text, "all")
    assert _internal.bpe_decode(encoder, ours) == text
    assert _internal.bpe_count(encoder, text, "all") == len(ours)
    try:
        as_text = text.decode()
    except UnicodeDecodeError:
        return
    twin, theirs = twins
    assert _internal.bpe_encode(twin, text, "all") == theirs.encode(as_text, allowed_special="all")
    assert _internal.bpe_encode(twin, text) == theirs.encode_ordinary(as_text)
    if _internal.bpe_disallowed(twin, text) is None:
        assert theirs.encode(as_text) == _internal.bpe_encode(twin, text)
    else:
        with pytest.raises(ValueError, match="disallowed special token"):
            theirs.encode(as_text)


@settings(max_examples=60, deadline=None)
@given(
    st.lists(pieces, max_size=3000).map(b"".join),
    st.sampled_from([1, 2, 3, 7, 64]),
)
@example(b"<|" * 5000 + ENDOFTEXT + b"a" * 5000, 1)
def test_pieces_of_each_stretch_are_encoded_alone(encoder, text, chunk):
    # Pieces of `chunk` bytes, counted from each stretch between specials;
    # long texts make more pieces than the splitter is asked for at a time.
    chunked = _internal.bpe_encoder(IDS, MERGES, SPECIALS, chunk=chunk)
    expected = []
    stretch_start = 0
    while True:
        match = _internal.special_find(SPECIALS, text, stretch_start)
        stretch = text[stretch_start: match[0] if match else len(text)]
        for at in range(0, len(stretch), chunk):
            expected += _internal.bpe_encode(encoder, stretch[at: at + chunk])
        if match is None:
            break
        expected.append(match[3])
        stretch_start = match[0] + match[1]
    assert _internal.bpe_encode(chunked, text, "all") == expected
    assert _internal.bpe_count(chunked, text, "all") == len(expected)


def test_a_pattern_that_does_not_compile_is_refused():
    with pytest.raises(ValueError):
        _internal.bpe_encoder(IDS, MERGES, SPECIALS, pattern="(")
