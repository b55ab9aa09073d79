"""Pair statistics, the most-frequent-pair choice, merging and splitting."""
import random

import pytest
from hypothesis import given, strategies as st

from brevix import _internal as core
from gnu_table_model import pair_counts, pair_hash, stats_walk_order

ENGINES = ["fast", "straightforward"]


@pytest.mark.parametrize("pair, expected", [
    ((0, 0), 0xCD94BFDE),
    ((97, 98), 0xCD94A53B),
    ((98, 97), 0xCD94A57B),
    ((256, 97), 0xCD937DB1),
    ((-1, -1), 0xCD94BF9E),
])
def test_pair_hash_worked_values(pair, expected):
    assert core.pair_hash(*pair) == expected
    assert pair_hash(*pair) == expected


@pytest.mark.parametrize("corpus, expected", [
    ([], []),
    ([5], []),
    ([5, 5, 5], [((5, 5), 2)]),
    ([5, 5, 5, 5], [((5, 5), 3)]),
    # Two keys: the one inserted second is walked first.
    ([1, 2, 1, 2], [((2, 1), 1), ((1, 2), 2)]),
    ([1, 2, 3], [((2, 3), 1), ((1, 2), 1)]),
])
def test_pair_stats_examples(corpus, expected):
    assert core.pair_stats(corpus) == expected


@pytest.mark.parametrize("corpus, expected", [
    ([], ((-1, -1), 0)),
    ([9], ((-1, -1), 0)),
    ([1, 2, 3], ((2, 3), 1)),
    ([1, 2, 1, 2], ((1, 2), 2)),
    ([-128, 127, -128, 127, 0], ((-128, 127), 2)),
])
def test_max_freq_pair_examples(corpus, expected):
    assert core.max_freq_pair(corpus) == expected


def _tie_heavy_corpus(rng, alphabet, length, low=0):
    return [rng.randrange(low, low + alphabet) for _ in range(length)]


@pytest.mark.parametrize("seed", range(12))
def test_stats_walk_order_matches_table_model(seed):
    # Sizes straddle the rehash points 13/14, 29/30, 59/60, 127/128, 257/258.
    rng = random.Random(seed)
    for length in (15, 31, 62, 130, 300, 700):
        corpus = _tie_heavy_corpus(rng, rng.randrange(3, 40), length, low=rng.choice([-128, 0, 250]))
        order = [pair for pair, _ in core.pair_stats(corpus)]
        assert order == stats_walk_order(corpus)


@pytest.mark.parametrize("seed", range(12))
def test_max_freq_pair_tie_break_among_many_pairs(seed):
    # Alphabets of 2-5 ids give many pairs of equal count; the first of them
    # in the model's walk order must win, whatever their values.
    rng = random.Random(1000 + seed)
    seen_wide_tie = False
    for _ in range(40):
        corpus = _tie_heavy_corpus(rng, rng.randrange(2, 6), rng.randrange(2, 400))
        counts = pair_counts(corpus)
        best = max(counts.values())
        tied = [p for p in stats_walk_order(corpus) if counts[p] == best]
        seen_wide_tie |= len(tied) >= 3
        assert core.max_freq_pair(corpus) == (tied[0], best)
    assert seen_wide_tie


@pytest.mark.parametrize("n_keys", [1, 2, 3, 13, 14, 29, 30, 59, 60, 127, 128, 257, 258, 541, 542, 1200])
def test_closed_form_walk_order_matches_table_model(n_keys):
    rng = random.Random(n_keys)
    pairs = list({(rng.randrange(-5, 60), rng.randrange(0, 300)) for _ in range(3 * n_keys)})[:n_keys]
    hashes = [pair_hash(*p) for p in pairs]
    signed = [h - (1 << 32) if h >= 1 << 31 else h for h in hashes]
    from gnu_table_model import GnuTable
    table = GnuTable(lambda i: hashes[i])
    for i in range(len(pairs)):
        table.insert(i)
    assert core.table_walk_order(signed) == list(table.walk())


MERGE_EXAMPLES = [
    ([5, 5, 5], [(5, 5, 256)], [256, 5]),
    ([5, 5, 5, 5], [(5, 5, 256)], [256, 256]),
    ([1, 2, 3], [(1, 2, 256), (256, 3, 257)], [257]),
    # The leftmost matching pair wins regardless of learning order.
    ([1, 2, 3], [(2, 3, 256), (1, 2, 257)], [257, 3]),
    ([], [(1, 2, 256)], []),
    ([1], [(1, 2, 256)], [1]),
    ([1, 2, 1, 2], [], [1, 2, 1, 2]),
    # Ids already in the corpus that coincide with merged ids.
    ([256, 256, 1, 2], [(1, 2, 256), (256, 256, 257)], [257, 256]),
    ([-1, -1, -1, 300, 7], [(-1, -1, 256), (256, -1, 257), (300, 7, 258)], [257, 258]),
]


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("corpus, merges, expected", MERGE_EXAMPLES)
def test_merge_corpus_examples(engine, corpus, merges, expected):
    assert core.merge_corpus(corpus, merges, engine) == expected


@pytest.mark.parametrize("data, pieces", [
    (b"", [b""]),
    (b" ", [b"", b""]),
    (b"a  b", [b"a", b"", b"b"]),
    (b" lead", [b"", b"lead"]),
    (b"trail ", [b"trail", b""]),
    (b"tab\tnl\ncr\r\x00\xff x", [b"tab\tnl\ncr\r\x00\xff", b"x"]),
])
def test_split_string_cases(data, pieces):
    assert core.split_string(data) == pieces


@given(st.binary(max_size=200) | st.lists(st.sampled_from([b" ", b"a", b"\xff", b"\x00"])).map(b"".join))
def test_split_string_cuts_at_every_space_and_nowhere_else(data):
    assert core.split_string(data) == data.split(b" ")
