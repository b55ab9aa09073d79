"""Encoding, re-encoding and decoding through the public methods."""

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from brevix.tokenizer import PyBytePairTokenizer
from helpers import run_python, trained


def echo_of(setup, call):
    out = run_python(
        f"""
        from brevix.tokenizer import PyBytePairTokenizer
        t = PyBytePairTokenizer()
        {setup}
        import os
        os.write(1, b"<start>")
        {call}
        """
    ).stdout
    return out.split(b"<start>", 1)[1]


@pytest.mark.parametrize(
    "setup, text, echo",
    [
        ("", b"a \xc3\xa9", b"97 32 -61 -87 \n"),
        ("", b"", b"\n"),
        ("", b"a\x00b", b"97 0 98 \n"),
        ("t.fit([97, 32, 97, 32, 5], 1000, 1)", b"a \xc3\xa9", b"256 -61 -87 \n"),
    ],
)
def test_encode_echoes_each_id_and_a_space_then_one_newline(setup, text, echo):
    assert echo_of(setup, f"t.encode({text!r})") == echo


def test_encode_corpus_and_decode_write_nothing():
    assert echo_of("t.fit([1, 2, 1, 2], 1000, 2)", "t.encode_corpus([1, 2]); t.decode([256, 65])") == b""


@pytest.mark.parametrize(
    "text, ids",
    [
        (b"", []),
        (b"\xc3\xa9", [-61, -87]),
        (b"\x00", [0]),
        (b"a\x00b", [97, 0, 98]),
        (bytes(range(256)), [b - 256 if b >= 128 else b for b in range(256)]),
    ],
)
def test_untrained_encode_gives_signed_base_tokens(text, ids):
    t = PyBytePairTokenizer()
    assert t.encode(text) == ids
    assert t.encode(bytearray(text)) == ids


def test_learned_pair_merges_across_a_space():
    t = trained([97, 32, 97, 32, 98], n_iter=1)
    assert t.encode(b"a a b") == [256, 256, 98]


def test_pairs_over_unsigned_byte_values_never_apply_to_encoded_text():
    t = trained([200, 201, 200, 201], n_iter=1)
    assert t.encode_corpus([200, 201]) == [256]
    assert t.encode(bytes([200, 201])) == [-56, -55]


def test_encode_applies_the_whole_table_in_whole_passes():
    # (2, 3) learned before (1, 2): the leftmost pair still wins in a pass.
    t = PyBytePairTokenizer()
    t.fit([2, 3, 2, 3, 9], 1000, 1)
    t.fit([1, 2, 1, 2, 9], 1000, 1)
    assert t.encode_corpus([1, 2, 3]) == [257, 3]
    assert t.encode(b"\x01\x02\x03") == [257, 3]


@pytest.mark.parametrize("corpus", [[], [5], [256], [-2147483648, 2147483647]])
def test_encode_corpus_passes_short_or_unknown_sequences_through(corpus):
    t = trained([1, 2, 1, 2])
    assert t.encode_corpus(corpus) == corpus


def test_encode_corpus_leaves_the_callers_list_unchanged():
    t = trained([1, 2, 1, 2], n_iter=1)
    corpus = [1, 2, 1, 2, 3]
    assert t.encode_corpus(corpus) == [256, 256, 3]
    assert corpus == [1, 2, 1, 2, 3]


@pytest.mark.parametrize(
    "ids, expected",
    [
        ([], b""),
        ([72, 105], b"Hi"),
        ([-1], b"\xff"),
        ([255], b"\xff"),
        ([-128], b"\x80"),
        ([200], b"\xc8"),
        ([-1000], b"\x18"),
        ([256], b"\x00\x00"),
        ([2147483647, 65], b"\x00\x00A"),
    ],
)
def test_untrained_decode(ids, expected):
    result = PyBytePairTokenizer().decode(ids)
    assert type(result) is bytes
    assert result == expected


def test_decode_expands_nested_merges():
    from brevix import _internal

    t = PyBytePairTokenizer()
    _internal.set_merges(t, [(97, 98, 256), (256, 99, 257)])
    assert t.encode_corpus([97, 98, 99]) == [257]
    assert t.decode([257]) == b"abc"
    assert t.decode([257, 32, 256]) == b"abc ab"


def test_decode_refuses_an_id_that_expands_into_itself_and_stays_usable():
    t = PyBytePairTokenizer()
    t.fit([256, 256], 1000, 5)  # learns (256, 256) as 256
    with pytest.raises(ValueError, match="256"):
        t.decode([65, 256])
    assert t.decode([65]) == b"A"
    assert t.size == 257


def test_decode_of_a_very_deep_merge_chain():
    from brevix import _internal

    depth = 100_000
    merges = [(1, 2, 256)] + [(255 + i, 1, 256 + i) for i in range(1, depth)]
    t = PyBytePairTokenizer()
    _internal.set_merges(t, merges)
    assert t.decode([256 + depth - 1]) == b"\x01\x02" + b"\x01" * (depth - 1)


texts = st.binary(max_size=200)
corpora = st.lists(st.integers(min_value=-128, max_value=255), max_size=300)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(corpus=corpora, n_iter=st.integers(0, 40), text=texts)
def test_decode_inverts_encode_and_no_merge_survives(corpus, n_iter, text, capfd):
    from brevix import _internal

    t = trained(corpus, n_iter=n_iter)
    ids = t.encode(text)
    assert t.decode(ids) == text
    known = {(a, b) for a, b, _ in _internal.get_merges(t)}
    assert not any((x, y) in known for x, y in zip(ids, ids[1:]))
    assert t.encode_corpus(list(text)) == t.encode_corpus(t.encode_corpus(list(text)))
    capfd.readouterr()
