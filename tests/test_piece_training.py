"""Training from piece counts: the incremental merge loop against the
straightforward trainer that recounts every pair each step, continued
training, the tie rule, and rustbpe on real text."""

import itertools
import random
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from brevix import _internal

SAMPLE = Path(__file__).resolve().parent.parent / "src" / "brevix" / "data" / "sample.txt"


def token_bytes(merges, byte_ids=None):
    """{id: bytes} of the bytes and the merges."""
    ids = byte_ids if byte_ids is not None else range(256)
    table = {i: bytes([b]) for b, i in enumerate(ids)}
    for left, right, new in merges:
        table[new] = table[left] + table[right]
    return table


def both(counts, num_merges, **kwargs):
    """The fast and the reference trainer's merges, checked equal."""
    fast = _internal.train_pieces(counts, num_merges, **kwargs)
    slow = _internal.train_pieces(counts, num_merges, reference=True, **kwargs)
    assert fast == slow
    return fast


def test_toy_corpus_merges_written_out():
    # Pairs of "hello" (x3) and " hello" (x2) tie at 5; the smallest pair wins.
    counts = {b"hello": 3, b" hello": 2, b" world": 1}
    merges = both(counts, 10)
    named = token_bytes(merges)
    assert [named[i] for _, _, i in merges] == [
        b"el", b"hel", b"lo", b"hello", b" hello", b" w", b"ld", b"or", b" wor", b" world",
    ]
    assert [i for _, _, i in merges] == list(range(256, 266))


@pytest.mark.parametrize(
    "counts, merges, expected",
    [
        ({}, 5, []),                                   # nothing to learn
        ({b"a": 10, b"": 3}, 5, []),                   # no piece has a pair
        ({b"ab": 0}, 5, []),                           # a count of 0 is no occurrence
        ({b"aaa": 1}, 5, [(97, 97, 256), (256, 97, 257)]),  # left to right, no overlap
        ({b"aaaa": 1}, 5, [(97, 97, 256), (256, 256, 257)]),
        ({b"ab": 1, b"cd": 1}, 5, [(97, 98, 256), (99, 100, 257)]),  # tie: smaller left id
        ({b"ab": 1, b"ac": 1}, 1, [(97, 98, 256)]),    # tie: then smaller right id
        ({b"ba": 1, b"ab": 2}, 1, [(97, 98, 256)]),    # the higher count beats a smaller pair
        ({b"\xff\xfe": 2, b"\x00\x01": 1}, 1, [(255, 254, 256)]),  # any bytes, not only UTF-8
    ],
)
def test_small_cases(counts, merges, expected):
    assert both(counts, merges) == expected


def test_runs_count_overlapping_pairs_but_merge_without_overlap():
    # "aaa" holds (a, a) twice: with count 3 that is 6, above "bc" x 5.
    assert both({b"aaa": 3, b"bc": 5}, 1) == [(97, 97, 256)]
    # After the merge "aaa" is (aa, a): (a, a) is gone, (aa, a) has 3.
    assert both({b"aaa": 3, b"bc": 5}, 3) == [(97, 97, 256), (98, 99, 257), (256, 97, 258)]


def test_one_long_piece():
    piece = bytes(random.Random(1).choice(b"abc") for _ in range(3000))
    merges = both({piece: 7}, 200)
    assert token_bytes(merges)[merges[-1][2]] in piece


def test_all_counts_equal():
    pieces = [bytes(p) for p in itertools.permutations(b"abcd", 3)]
    both({p: 4 for p in pieces}, 40)


def test_repeated_pieces_add_up():
    listed = [(b"abc", 2), (b"abd", 1), (b"abc", 3), (b"xy", 4)]
    summed = {b"abc": 5, b"abd": 1, b"xy": 4}
    assert _internal.train_pieces(listed, 10) == _internal.train_pieces(summed, 10)
    assert _internal.train_pieces(iter(listed), 10) == _internal.train_pieces(summed, 10)


def test_stops_when_no_pair_is_left():
    merges = both({b"abcd": 1}, 100)
    assert len(merges) == 3


def test_huge_counts_are_exact():
    # Counts near 2**62: a wider sum decides a tie the float way would lose.
    big = 2**62
    counts = {b"ab": big + 1, b"cd": big, b"ef": big // 2, b"efef": big // 4}
    assert both(counts, 1) == [(97, 98, 256)]
    both(counts, 10)


def test_counts_past_the_pair_limit_are_refused():
    with pytest.raises(OverflowError):
        _internal.train_pieces({b"abc": 2**63}, 1)  # 2 pairs x 2**63
    with pytest.raises(OverflowError):
        _internal.train_pieces({b"abc": 2**63}, 1, reference=True)
    with pytest.raises(OverflowError):
        _internal.train_pieces([(b"ab", 2**64 - 1), (b"ab", 1)], 1)  # the count itself
    assert _internal.train_pieces({b"ab": 2**64 - 1}, 1) == [(97, 98, 256)]


@pytest.mark.parametrize(
    "counts, error",
    [
        ({b"ab": -1}, ValueError),
        ({b"ab": 2**64}, OverflowError),
        ({b"ab": 1.0}, TypeError),
        ({"ab": 1}, TypeError),
        ([(b"ab",)], TypeError),
        ([b"ab"], TypeError),
    ],
)
def test_bad_counts(counts, error):
    with pytest.raises(error):
        _internal.train_pieces(counts, 3)


# Few distinct bytes (some not UTF-8) so that pairs repeat across pieces.
pieces = st.binary(max_size=14).map(lambda b: bytes(b"ab\xffc\x00"[x % 5] for x in b))
piece_counts = st.one_of(
    st.dictionaries(pieces, st.integers(0, 50), max_size=25),
    st.dictionaries(pieces, st.sampled_from([1, 3]), max_size=25),   # many ties
    st.lists(st.tuples(pieces, st.integers(0, 2**40)), max_size=25),  # repeats, big counts
)


@settings(max_examples=300, deadline=None)
@given(piece_counts, st.integers(0, 60))
def test_fast_equals_reference(counts, merges):
    learned = both(counts, merges)
    # Every new token's bytes are the bytes of its two parts.
    table = token_bytes(learned)
    assert all(len(table[i]) >= 2 for _, _, i in learned)


@settings(max_examples=150, deadline=None)
@given(piece_counts, st.integers(0, 40), st.integers(0, 40), st.randoms(use_true_random=False))
def test_continued_training_equals_training_at_once(counts, k, extra, rnd):
    byte_ids = list(range(256))
    if rnd.random() < 0.5:
        rnd.shuffle(byte_ids)  # bytes need not be ids 0..255 in byte order
    at_once = _internal.train_pieces(counts, k + extra, byte_ids=byte_ids)
    first = _internal.train_pieces(counts, k, byte_ids=byte_ids)
    assert first == at_once[: len(first)]
    rest = both(counts, extra, byte_ids=byte_ids, merges=first)
    assert first + rest == at_once


def test_continuing_from_merges_learned_elsewhere():
    # Start merges the pieces never contain, or that another corpus learned:
    # the pieces are rewritten with them in rank order, then training goes on.
    elsewhere = _internal.train_pieces({b"the cat": 5, b"then": 3}, 6)
    counts = {b"the": 4, b"other": 2, b"xyz": 1, b"thethe": 1}
    merges = both(counts, 20, merges=elsewhere)
    assert merges[0][2] == elsewhere[-1][2] + 1


def test_first_new_id_and_the_id_limit():
    assert both({b"abc": 1}, 5, first_id=1000) == [(97, 98, 1000), (1000, 99, 1001)]
    # Ids stay below 2**31: only two merges fit.
    top = 2**31 - 2
    assert both({b"abcd": 1}, 5, first_id=top) == [(97, 98, top), (99, 100, top + 1)]


def test_interrupt_keeps_the_merges_learned():
    counts = {b"abcdefgh": 3, b"abcd": 1}
    full = _internal.train_pieces(counts, 7)
    assert _internal.train_pieces(counts, 7, interrupt_after=3) == full[:3]
    assert _internal.train_pieces(counts, 7, interrupt_after=0) == []


@pytest.mark.parametrize(
    "kwargs",
    [
        {"byte_ids": [0] * 256},                              # a repeated byte id
        {"byte_ids": list(range(255))},                       # not 256 ids
        {"byte_ids": [-1] + list(range(1, 256))},             # negative
        {"merges": [(97, 98, 256), (256, 99, 256)]},          # ids not increasing
        {"merges": [(97, 98, 100)]},                          # a byte's id
        {"merges": [(97, 300, 256)]},                         # a part never defined
        {"merges": [(97, 257, 256), (97, 98, 257)]},          # a part defined later
        {"merges": [(97, 98, 256), (97, 98, 257)]},           # a pair merged twice
        {"merges": [(97, 98, 256)], "first_id": 256},         # first id not above
        {"merges": [(97, 98)]},                               # not a triple
    ],
)
def test_bad_starts_are_refused(kwargs):
    error = TypeError if kwargs.get("merges") == [(97, 98)] else ValueError
    with pytest.raises(error):
        _internal.train_pieces({b"abc": 1}, 2, **kwargs)
    with pytest.raises(error):
        _internal.train_pieces({b"abc": 1}, 2, reference=True, **kwargs)


def test_negative_merge_count_is_refused():
    with pytest.raises(ValueError):
        _internal.train_pieces({b"abc": 1}, -1)


# rustbpe: the same pieces give the same merges.

def regex_counts(pattern, documents):
    regex = pytest.importorskip("regex")
    compiled = regex.compile(pattern)
    counts = {}
    for document in documents:
        for piece in compiled.findall(document):
            key = piece.encode()
            counts[key] = counts.get(key, 0) + 1
    return counts


def rustbpe_tokens(documents, vocab_size, pattern):
    rustbpe = pytest.importorskip("rustbpe")
    tok = rustbpe.Tokenizer()
    tok.train_from_iterator(iter(documents), vocab_size, pattern=pattern)
    return [token for token, _ in sorted(tok.get_mergeable_ranks(), key=lambda t: t[1])]


def cl100k():
    return _internal.well_known_patterns()["cl100k"]


@pytest.mark.parametrize("vocab_size", [300, 2000, 8000])
def test_equals_rustbpe_on_real_text(vocab_size):
    lines = [line.decode() for line in SAMPLE.read_bytes().splitlines(keepends=True)]
    counts = regex_counts(cl100k(), lines)
    merges = _internal.train_pieces(counts, vocab_size - 256)
    ours = token_bytes(merges)
    theirs = rustbpe_tokens(lines, vocab_size, cl100k())
    assert [ours[i] for i in range(256 + len(merges))] == theirs


@settings(max_examples=40, deadline=None)
@given(st.lists(st.text(alphabet="ab c\n1'é", max_size=40), min_size=1, max_size=20),
       st.integers(256, 330))
def test_equals_rustbpe_on_generated_text(documents, vocab_size):
    counts = regex_counts(cl100k(), documents)
    merges = _internal.train_pieces(counts, vocab_size - 256)
    ours = token_bytes(merges)
    assert [ours[i] for i in range(256 + len(merges))] == rustbpe_tokens(
        documents, vocab_size, cl100k()
    )


def test_rustbpe_default_pattern_is_not_cl100k():
    # rustbpe's default is the older GPT-4 spelling: no "\s++$" alternative,
    # "\s+" last, no possessive "\p{L}++". Passing cl100k's spelling matters.
    rustbpe = pytest.importorskip("rustbpe")
    tok = rustbpe.Tokenizer()
    tok.train_from_iterator(iter(["x"]), 256)
    assert tok.get_pattern() != cl100k()
    assert "\\s++$" in cl100k() and "\\s++$" not in tok.get_pattern()


def test_rustbpe_drops_the_text_between_matches():
    # rustbpe counts only the pattern's matches; brevix counts every gap too.
    # With a pattern that covers all text (cl100k) the two agree; here the
    # commas are a gap.
    documents = ["ab, ab! ,,,,,,"]
    theirs = rustbpe_tokens(documents, 258, "[a-z]+")
    matches_only = {b"ab": 2}
    with_gaps = {b"ab": 2, b", ": 1, b"! ,,,,,,": 1}
    assert token_bytes(_internal.train_pieces(matches_only, 2))[256] == theirs[256] == b"ab"
    assert len(theirs) == 257  # nothing else to merge among matches
    assert _internal.train_pieces(with_gaps, 1) == [(44, 44, 256)]  # ",," x 5 comes first
