"""Standard byte-pair vocabularies: which tables are refused and how, token
lookups, and decoding ids back to bytes."""

import array
import random

import pytest
from hypothesis import given, settings, strategies as st

from brevix import _internal

from bpe_tables import arbitrary_table, identity_byte_ids, random_input, random_table, token_bytes

IDS = identity_byte_ids()
a, b, c = 97, 98, 99
END = (b"<|end|>", 259)


def encoder(merges=((a, b, 256), (256, c, 257), (b, c, 258)), specials=(END,), byte_ids=IDS):
    return _internal.bpe_encoder(byte_ids, list(merges), list(specials))


@pytest.mark.parametrize(
    "byte_ids, merges, specials, message",
    [
        (IDS[:-1] + [256], [], [], r"byte 0xff: id 256 is outside 0\.\.255 \(256 bytes and 0 merges\)"),
        (IDS[:-1] + [0], [], [], r"byte 0xff: id 0 is already the id of byte 0x00"),
        (IDS, [(a, b, 255)], [], r"merge \(97, 98 -> 255\): id 255 is already the id of byte 0xff"),
        (IDS, [(a, b, 257)], [], r"merge \(97, 98 -> 257\): id 257 is outside 0\.\.256"),
        (IDS, [(a, b, -1)], [], r"id -1 is outside"),
        (IDS, [(a, b, 256)], [(b"x", 256)], r"special token 0 \(b'x', id 256\): id 256 is already the id of merge"),
        (IDS, [(a, 257, 256), (a, b, 257)], [], r"merge \(97, 257 -> 256\): part 257 is not below the merge's id"),
        (IDS, [(a, b, 256), (a, -5, 257)], [], r"part -5 is not below"),
        # Bytes and merges take 0..255 + merges: no special token sits among them.
        (IDS, [(a, 256, 257)], [(b"<s>", 256)], r"merge \(97, 256 -> 257\): id 257 is outside 0\.\.256 \(256 bytes and 1 merges\)"),
        (IDS, [], [(b"<s>", -1)], r"special token 0 \(b'<s>', id -1\) has a negative id"),
        (IDS, [(a, b, 256), (a, b, 257)], [], r"merge \(97, 98 -> 257\): the pair is already merged by id 256"),
        (IDS, [(a, b, 256), (b, c, 257), (256, c, 258), (a, 257, 259)], [],
         r"merge \(97, 257 -> 259\): its bytes b'abc' are those of token 258"),
        (IDS, [], [(b"", 256)], r"special token 0 .* is empty"),
        (IDS, [], [(b"x", 256), (b"x", 257)], r"repeats the bytes of special token 0"),
        (IDS[:10], [], [], r"byte_ids must hold 256 ids, not 10"),
    ],
)
def test_bad_tables_are_refused(byte_ids, merges, specials, message):
    with pytest.raises(ValueError, match=message):
        _internal.bpe_encoder(byte_ids, merges, specials)


def test_merges_may_come_in_any_order():
    merges = [(256, c, 257), (a, b, 256)]
    assert _internal.rank_encode(IDS, merges, b"abc") == [257]


def test_doubling_merges_past_4_gib_are_refused():
    # Each token twice the last: the 31st (2 GiB) would take the tokens past 4 GiB, and
    # nothing of that size is allocated first.
    merges = [(a, a, 256)] + [(255 + k, 255 + k, 256 + k) for k in range(1, 40)]
    with pytest.raises(ValueError, match=r"merge \(285, 285 -> 286\): the tokens' bytes pass 4 GiB"):
        _internal.bpe_encoder(IDS, merges)


def test_token_lookups():
    # abc is (ab, c) but encodes to a, bc: not whole.
    enc = encoder(merges=[(b, c, 256), (a, b, 257), (257, c, 258)], specials=[END, (b"ab", 260)])
    assert _internal.bpe_token_id(enc, b"a") == (a, a)
    assert _internal.bpe_token_id(enc, b"bc") == (256, 256)
    assert _internal.bpe_token_id(enc, b"abc") == (258, None)
    assert _internal.bpe_token_id(enc, b"<|end|>") == (259, None)
    assert _internal.bpe_token_id(enc, b"ab") == (257, 257)  # the normal token first
    assert _internal.bpe_token_id(enc, b"abcd") == (None, None)
    assert _internal.bpe_token_id(enc, b"") == (None, None)
    assert _internal.bpe_encode(enc, b"abc") == [a, 256]


@settings(max_examples=150, deadline=None)
@given(st.integers(0, 2**32 - 1))
def test_decode_inverts_encode(seed):
    rng = random.Random(seed)
    byte_ids, merges = arbitrary_table(rng) if seed % 2 else random_table(rng)
    enc = _internal.bpe_encoder(byte_ids, merges, [(b"<|s|>", 256 + len(merges))])
    for _ in range(3):
        text = random_input(rng, byte_ids, merges) + b"<|s|>" + random_input(rng, byte_ids, merges)
        ids = _internal.bpe_encode(enc, text, "all")
        assert _internal.bpe_decode(enc, ids) == text
        assert _internal.bpe_decode(enc, ids, True) == text
        assert _internal.bpe_decode(enc, array.array("i", ids), True) == text
        assert _internal.bpe_count(enc, text, "all") == len(ids)
        tokens = token_bytes(byte_ids, merges)
        assert _internal.bpe_decode(enc, list(tokens)) == b"".join(tokens.values())


@pytest.mark.parametrize(
    "ids, message",
    [
        ([0, 260], r"token id 260 at position 1 \(the vocabulary has 260 ids\)"),
        ([-1], r"token id -1 at position 0 "),
        ([1, 2, 3, 2**31 - 1, -5], r"id 2147483647 at position 3"),
    ],
)
@pytest.mark.parametrize("streamed", [False, True])
def test_decode_names_the_first_bad_id(ids, message, streamed):
    with pytest.raises(ValueError, match=message):
        _internal.bpe_decode(encoder(), ids, streamed)


@pytest.mark.parametrize("streamed", [False, True])
def test_decode_counts_the_bad_index_across_blocks(streamed):
    ids = [97] * 10000 + [260]
    with pytest.raises(ValueError, match=r"token id 260 at position 10000 "):
        _internal.bpe_decode(encoder(), ids, streamed)
    assert _internal.bpe_decode(encoder(), ids[:-1] * 3, streamed) == b"a" * 30000


@pytest.mark.parametrize("streamed", [False, True])
def test_decode_rejects_ids_beyond_int32(streamed):
    with pytest.raises(OverflowError):
        _internal.bpe_decode(encoder(), [1, 2**31], streamed)


def test_streamed_decode_falls_back_for_other_iterables():
    class Id(int):
        pass

    enc = encoder()
    assert _internal.bpe_decode(enc, [97, Id(98), 259], True) == b"ab<|end|>"
    assert _internal.bpe_decode(enc, iter([97, 256]), True) == b"aab"


def test_decode_long_tokens_and_empty():
    merges = [(a, a, 256)] + [(255 + k, 255 + k, 256 + k) for k in range(1, 8)]  # up to 256 bytes
    enc = _internal.bpe_encoder(IDS, merges)
    ids = [263, a, 262, 263, 258]
    assert _internal.bpe_decode(enc, ids) == b"a" * (256 + 1 + 128 + 256 + 8)
    assert _internal.bpe_decode(enc, []) == b""
