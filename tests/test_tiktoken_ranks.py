"""tiktoken's tokens-by-rank form: recovering each token's merge pair with
tiktoken's rule (the adjacent pair whose joined bytes rank lowest), and the
check that a merge table comes back the same through that form."""

import random
import re

import pytest
from hypothesis import given, settings, strategies as st

from brevix import _internal

from bpe_tables import (
    WHOLE_PATTERN,
    arbitrary_table,
    identity_byte_ids,
    random_input,
    random_table,
    tiktoken_encoding,
    tiktoken_file,
    token_bytes,
)

BYTES = [bytes([x]) for x in range(256)]
IDS = identity_byte_ids()
a, b, c = 97, 98, 99


def tokens_by_rank(byte_ids, merges):
    found = token_bytes(byte_ids, merges)
    return [found[i] for i in range(len(found))]


@pytest.mark.parametrize(
    "extra, merges",
    [
        ([b"ab"], [(a, b, 256)]),
        # bc ranks below ab, so tiktoken's rule joins a with bc.
        ([b"bc", b"ab", b"abc"], [(b, c, 256), (a, b, 257), (a, 256, 258)]),
        ([b"ab", b"bc", b"abc"], [(a, b, 256), (b, c, 257), (256, c, 258)]),
        ([b"aa", b"aaaa", b"aaa"], [(a, a, 256), (256, 256, 257), (256, a, 258)]),
    ],
)
def test_merges_from_ranks_examples(extra, merges):
    assert _internal.merges_from_ranks(BYTES + extra) == (IDS, merges)


def test_permuted_bytes_give_byte_ids():
    order = list(range(256))
    random.Random(3).shuffle(order)
    tokens = [bytes([x]) for x in order] + [b"ab"]
    byte_ids, merges = _internal.merges_from_ranks(tokens)
    assert [tokens[i] for i in byte_ids] == BYTES
    assert merges == [(byte_ids[a], byte_ids[b], 256)]


@pytest.mark.parametrize(
    "tokens, message",
    [
        (BYTES[:255], r"byte b'\\xff' has no rank"),
        (BYTES + [b"ab", b"ab"], r"token b'ab' at rank 257 repeats the token at rank 256"),
        (BYTES + [b""], r"token b'' at rank 256 is empty"),
        (BYTES + [b"abc"], r"token b'abc' at rank 256 is not a merge of two tokens of lower rank: "
                           r"tiktoken's rule splits it into 3 parts"),
        (BYTES[:1] + [b"ab"] + BYTES[1:], r"token b'ab' at rank 1 has a part of rank \d+, above its own"),
        (BYTES + [b"\n\x00'\xff"], r"token b'\\n\\x00\\'\\xff' at rank 256 is not a merge"),
    ],
)
def test_bad_rank_lists_are_refused(tokens, message):
    with pytest.raises(ValueError, match=message):
        _internal.merges_from_ranks(tokens)


def test_incompatible_example():
    # (ab, c) is abc's pair, but tiktoken's rule reads abc as a + bc.
    assert _internal.tiktoken_incompatible(IDS, [(b, c, 256), (a, b, 257), (257, c, 258)]) == 258
    assert _internal.tiktoken_incompatible(IDS, [(b, c, 256), (a, b, 257), (a, 256, 258)]) is None
    assert _internal.tiktoken_incompatible(IDS, []) is None


@settings(max_examples=300, deadline=None)
@given(st.integers(0, 2**32 - 1), st.booleans())
def test_round_trip_exactly_when_compatible(seed, arbitrary):
    rng = random.Random(seed)
    byte_ids, merges = arbitrary_table(rng) if arbitrary else random_table(rng)
    tokens = tokens_by_rank(byte_ids, merges)
    first_bad = _internal.tiktoken_incompatible(byte_ids, merges)
    if first_bad is None:
        assert _internal.merges_from_ranks(tokens) == (byte_ids, sorted(merges, key=lambda m: m[2]))
        return
    # Every merge below the first bad one comes back; that one does not (it
    # is refused, or read as another pair, and a later one may be refused).
    below = [m for m in merges if m[2] < first_bad]
    assert _internal.merges_from_ranks(tokens[:first_bad]) == (byte_ids, below)
    try:
        got_ids, got_merges = _internal.merges_from_ranks(tokens)
    except ValueError as error:
        assert int(re.search(r"at rank (\d+) ", str(error)).group(1)) >= first_bad
    else:
        assert got_ids == byte_ids
        assert [m for m in got_merges if m[2] < first_bad] == below
        assert next(m for m in got_merges if m[2] == first_bad) not in merges


@settings(max_examples=150, deadline=None)
@given(st.integers(0, 2**32 - 1))
def test_compatible_tables_encode_as_tiktoken_does(seed):
    rng = random.Random(seed)
    byte_ids, merges = arbitrary_table(rng) if seed % 2 else random_table(rng)
    if _internal.tiktoken_incompatible(byte_ids, merges) is not None:
        return
    tokens = token_bytes(byte_ids, merges)
    encoding = tiktoken_encoding(f"random-{seed}", [tokens[i] for i in range(len(tokens))], WHOLE_PATTERN)
    for _ in range(5):
        text = random_input(rng, byte_ids, merges)
        expected = encoding._core_bpe.encode_single_piece(text) if text else []
        assert _internal.rank_encode(byte_ids, merges, text) == expected


@pytest.mark.parametrize("name", ["cl100k_base", "o200k_base"])
def test_openai_files_round_trip(name):
    tokens = tiktoken_file(name)
    byte_ids, merges = _internal.merges_from_ranks(tokens)
    assert len(merges) == len(tokens) - 256
    assert sorted(byte_ids) == list(range(256))  # the single bytes rank first
    assert tokens_by_rank(byte_ids, merges) == tokens
    assert _internal.tiktoken_incompatible(byte_ids, merges) is None
