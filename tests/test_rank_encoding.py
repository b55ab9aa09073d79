"""Encoding by rank: while any adjacent pair is a merge, the pair with the
lowest merge id merges, the leftmost of equal ones. Every path of the
encoder (whole-token lookup and cuts, the short and the long merge paths)
against the definition, HF tokenizers and tiktoken."""

import random

import pytest
from hypothesis import given, settings, strategies as st

from brevix import _internal

from bpe_tables import (
    PATTERNS,
    WHOLE_PATTERN,
    arbitrary_table,
    identity_byte_ids,
    random_input,
    random_table,
    real_texts,
    tiktoken_encoding,
    tiktoken_file,
    token_bytes,
)

PATHS = ["auto", "bytes", "long-piece", "search", "keyed", "short", "long", "batched", "reference"]
KEYED_MAX = 1024  # the keyed path takes pieces of up to this many bytes
IDS = identity_byte_ids()
a, b, c = 97, 98, 99
REVERSED = [255 - x for x in range(256)]
# a and b are 0 and 1, the merge of the table below 2, every other byte above.
INTERLEAVED = [0 if x == a else 1 if x == b else 3 + x - (x > a) - (x > b) for x in range(256)]


@pytest.mark.parametrize(
    "byte_ids, merges, text, expected",
    [
        # bc merges first, so ab never forms and abc's own pair (ab, c) never meets.
        (IDS, [(b, c, 256), (a, b, 257), (257, c, 258)], b"abc", [a, 256]),
        (IDS, [(b, c, 256), (a, b, 257), (257, c, 258)], b"ab", [257]),
        (IDS, [(a, b, 256), (b, c, 257)], b"abc", [256, c]),
        (IDS, [(a, b, 256), (b, c, 257)], b"bcab", [257, 256]),
        (IDS, [(a, a, 256)], b"aaa", [256, a]),  # equal ranks: leftmost first
        (IDS, [(a, a, 256)], b"aaaa", [256, 256]),
        (IDS, [(a, a, 256), (256, 256, 257)], b"aaaaa", [257, a]),
        (IDS, [(a, a, 256), (256, a, 257)], b"aaaaaaa", [256, 256, 257]),
        (IDS, [(a, b, 256)], b"", []),
        (IDS, [], b"\x00\xff", [0, 255]),
        # Byte ids permuted, as in cl100k_base.
        (REVERSED, [(255 - a, 255 - b, 256)], b"abba", [256, 255 - b, 255 - a]),
        # Byte ids above the merges: a and b are 0 and 1, the merge 2.
        (INTERLEAVED, [(0, 1, 2)], b"aab", [0, 2]),
    ],
)
def test_worked_examples(byte_ids, merges, text, expected):
    for path in PATHS:
        assert _internal.rank_encode(byte_ids, merges, text, path) == expected, path


def check_all_paths(byte_ids, merges, text):
    expected = _internal.rank_encode(byte_ids, merges, text, "reference")
    for path in PATHS[:-1]:
        if path == "keyed" and len(text) > KEYED_MAX:
            continue
        assert _internal.rank_encode(byte_ids, merges, text, path) == expected, path
    tokens = token_bytes(byte_ids, merges)
    assert b"".join(tokens[i] for i in expected) == text


@pytest.mark.parametrize("byte", [0, 1, 255])
def test_runs_of_one_byte_under_doubling_merges(byte):
    # Tokens that are runs of one byte, of lengths 2 to 61, share every
    # prefix: an index of prefixes by hash once gave all runs of zero bytes
    # the same hash, and the search looped.
    merges = [(byte, byte, 256), (256, 256, 257), (257, 257, 258), (258, 258, 259), (259, 259, 260),
              (257, byte, 261), (260, 259, 262), (262, 258, 263), (260, 261, 264), (263, 261, 265)]
    for length in [1, 2, 3, 5, 37, 61, 81, 200]:
        check_all_paths(IDS, merges, bytes([byte]) * length)


@settings(max_examples=300, deadline=None)
@given(st.integers(0, 2**32 - 1))
def test_training_like_tables_match_the_definition(seed):
    rng = random.Random(seed)
    byte_ids, merges = random_table(rng)
    for _ in range(4):
        check_all_paths(byte_ids, merges, random_input(rng, byte_ids, merges))


@settings(max_examples=300, deadline=None)
@given(st.integers(0, 2**32 - 1))
def test_arbitrary_tables_match_the_definition(seed):
    # Tokens that do not encode to themselves: the whole-token lookup must
    # not answer them.
    rng = random.Random(seed)
    byte_ids, merges = arbitrary_table(rng)
    for _ in range(4):
        check_all_paths(byte_ids, merges, random_input(rng, byte_ids, merges))


@settings(max_examples=100, deadline=None)
@given(st.integers(0, 2**32 - 1), st.binary(max_size=300))
def test_any_bytes_match_the_definition(seed, text):
    rng = random.Random(seed)
    byte_ids, merges = random_table(rng, alphabet=bytes(range(0, 256, 37)) + b"ab")
    check_all_paths(byte_ids, merges, text)


@settings(max_examples=15, deadline=None)
@given(st.integers(0, 2**32 - 1))
def test_trained_tables_of_hundreds_of_merges_match_the_definition(seed):
    # Ids run past 512, so pairs are answered by the flat table, by the map,
    # and by both across the table's edge.
    from brevix import Tokenizer

    rng = random.Random(seed)
    alphabet = bytes(rng.sample(range(256), rng.randint(2, 5)))
    corpus = bytes(rng.choice(alphabet) for _ in range(12000))
    tok = Tokenizer()
    tok.train(corpus, 256 + 700)
    merges = [tuple(m) for m in tok.merges]
    assert max(m[2] for m in merges) > 600
    for _ in range(3):
        start = rng.randrange(len(corpus))
        check_all_paths(IDS, merges, corpus[start:start + rng.randint(2, 1500)])


@pytest.mark.parametrize("length", [7, 8, 9, 17, 63, 64, 65, 127, 128, 129, 1000, 1023, 1024, 1025, 5000])
@pytest.mark.parametrize("unit", [b"a", b"ab", b"aab", b"abcab"])
def test_long_runs_around_the_path_limits(unit, length):
    merges = [(a, a, 256), (256, 256, 257), (a, b, 258), (258, a, 259), (256, a, 260),
              (b, c, 261), (259, 261, 262), (257, 257, 263)]
    check_all_paths(IDS, merges, (unit * length)[:length])


def test_the_keyed_path_refuses_what_it_cannot_key():
    with pytest.raises(ValueError, match="up to 1024 tokens"):
        _internal.rank_encode(IDS, [(a, a, 256)], b"a" * (KEYED_MAX + 1), "keyed")


@pytest.mark.parametrize("text", [b"aaaaabab" * 20, b"ab" * 700])
def test_ids_beyond_what_the_keyed_path_packs_encode_the_same(text):
    # A special token far up makes the ids too many to pack with a position,
    # so pieces take the short and long paths instead: the same ids.
    merges = [(a, a, 256), (256, 256, 257), (a, b, 258), (258, 258, 259)]
    far = _internal.bpe_encoder(IDS, merges, [(b"<far>", 1 << 22)])
    assert _internal.bpe_encode(far, text) == _internal.rank_encode(IDS, merges, text, "reference")


def test_hf_tokenizers_agree_on_random_tables():
    tokenizers = pytest.importorskip("tokenizers")
    rng = random.Random(11)
    for k in range(150):
        byte_ids, merges = arbitrary_table(rng) if k % 2 else random_table(rng)
        tokens = token_bytes(byte_ids, merges)
        # One char per byte (latin-1) and no pre-tokenizer: a text is one word.
        vocab = {t.decode("latin-1"): i for i, t in tokens.items()}
        pairs = [(tokens[l].decode("latin-1"), tokens[r].decode("latin-1")) for l, r, _ in merges]
        hf = tokenizers.Tokenizer(tokenizers.models.BPE(vocab, pairs))
        for _ in range(6):
            text = random_input(rng, byte_ids, merges)
            assert _internal.rank_encode(byte_ids, merges, text) == hf.encode(text.decode("latin-1")).ids


@pytest.fixture(scope="module", params=["cl100k_base", "o200k_base"])
def openai(request):
    """(name, tokens by rank, our encoder, tiktoken keeping texts whole)."""
    name = request.param
    tokens = tiktoken_file(name)
    byte_ids, merges = _internal.merges_from_ranks(tokens)
    encoder = _internal.bpe_encoder(byte_ids, merges)
    whole = tiktoken_encoding(name + "-whole", tokens, WHOLE_PATTERN)
    return name, tokens, encoder, whole


def test_tiktoken_agrees_on_real_text_whole(openai):
    _, _, encoder, whole = openai
    for data in real_texts(limit=30, max_bytes=12000):
        text = data.decode("utf-8", "replace")
        assert _internal.bpe_encode(encoder, text.encode()) == whole.encode_ordinary(text)


def test_tiktoken_agrees_on_real_text_by_piece(openai):
    regex = pytest.importorskip("regex")
    name, tokens, encoder, _ = openai
    pieces_of = tiktoken_encoding(name, tokens, PATTERNS[name])
    pattern = regex.compile(PATTERNS[name])
    for data in real_texts(limit=40):
        text = data.decode("utf-8", "replace")
        ours, theirs = [], []
        for piece in pattern.findall(text):
            ours += _internal.bpe_encode(encoder, piece.encode())
            theirs += pieces_of.encode_ordinary(piece)
        assert ours == theirs


@settings(max_examples=200, deadline=None)
@given(st.text(max_size=400))
def test_tiktoken_agrees_on_any_text(openai, text):
    _, _, encoder, whole = openai
    assert _internal.bpe_encode(encoder, text.encode()) == whole.encode_ordinary(text)


@settings(max_examples=100, deadline=None)
@given(st.binary(max_size=300))
def test_tiktoken_agrees_on_any_bytes(openai, data):
    # Not text: tiktoken's pieces are read as bytes only on this path.
    _, _, encoder, whole = openai
    expected = whole._core_bpe.encode_single_piece(data) if data else []
    assert _internal.bpe_encode(encoder, data) == expected


@pytest.fixture(scope="module")
def openai_split(openai):
    """Our encoder splitting with tiktoken's pattern, and tiktoken with it."""
    name, tokens, _, _ = openai
    byte_ids, merges = _internal.merges_from_ranks(tokens)
    return (_internal.bpe_encoder(byte_ids, merges, pattern=PATTERNS[name]),
            tiktoken_encoding(name, tokens, PATTERNS[name]))


def test_tiktoken_agrees_on_real_text_split_by_the_pattern(openai_split):
    encoder, theirs = openai_split
    for data in real_texts(limit=40):
        text = data.decode("utf-8", "replace")
        ids = _internal.bpe_encode(encoder, text.encode())
        assert ids == theirs.encode_ordinary(text)
        assert _internal.bpe_count(encoder, text.encode()) == len(ids)


# The split patterns read Unicode classes from the regex module's tables
# (Unicode 17); tiktoken's engine has older ones, so a character assigned
# since (such as U+323B0, a letter of Unicode 17) splits differently there.
# Characters this Python's unicodedata leaves unassigned (Unicode 14 on
# 3.11) are left out; the comparison with the regex module covers them.
ASSIGNED_TEXT = st.text(st.characters(exclude_categories=("Cs", "Cn")), max_size=300)


@settings(max_examples=200, deadline=None)
@given(ASSIGNED_TEXT)
def test_tiktoken_agrees_on_any_text_split_by_the_pattern(openai_split, text):
    encoder, theirs = openai_split
    assert _internal.bpe_encode(encoder, text.encode()) == theirs.encode_ordinary(text)


def separated_runs(rng, alphabet, size, longest=40000):
    """Runs of the alphabet's bytes of every length, each ended by a newline
    (no token holds one, so the text cuts into parts there)."""
    out = bytearray()
    while len(out) < size:
        n = rng.randint(1, rng.choice([2, 8, 31, 32, 33, 200, 3000, longest]))
        out += bytes(rng.choices(alphabet, k=n)) + b"\n"
    return bytes(out)


@settings(max_examples=6, deadline=None)
@given(st.integers(0, 2**32 - 1))
def test_long_pieces_merge_in_batches_as_the_long_path_does(seed):
    # From 64 KiB a piece is encoded by search (vocabularies below 2^16
    # ids, so "auto" here) or its longer parts merge together in batches of
    # about 16,000 tokens; the long path merges the whole piece as one
    # sequence.
    from brevix import Tokenizer

    rng = random.Random(seed)
    alphabet = bytes(rng.sample(range(97, 123), rng.randint(2, 4)))
    tok = Tokenizer()
    tok.train(bytes(rng.choices(alphabet, k=12000)), 256 + 700)
    merges = [tuple(m) for m in tok.merges]
    text = separated_runs(rng, alphabet, 150_000)
    expected = _internal.rank_encode(IDS, merges, text, "bytes")
    for path in ("auto", "long-piece", "search", "batched"):
        assert _internal.rank_encode(IDS, merges, text, path) == expected, path


@pytest.mark.parametrize("merge_count", [40_000, 65_535 - 256])
def test_the_search_with_ids_up_to_sixteen_bits(merge_count):
    # The prefix index keeps ids in 16 bits: vocabularies up to 65,535 ids
    # take the search, with ids far past 2^15 among the tokens it finds.
    rng = random.Random(merge_count)
    tokens = [bytes([b]) for b in range(256)]
    seen = set(tokens)
    merges = []
    while len(merges) < merge_count:
        left = rng.randrange(97, 101) if rng.random() < 0.3 else rng.randrange(len(tokens))
        right = rng.randrange(97, 101) if rng.random() < 0.3 else rng.randrange(len(tokens))
        joined = tokens[left] + tokens[right]
        if joined in seen or len(joined) > 12:
            continue
        seen.add(joined)
        merges.append((left, right, len(tokens)))
        tokens.append(joined)
    text = bytes(rng.choices(b"abcd", k=70_000))
    expected = _internal.rank_encode(IDS, merges, text, "bytes")
    assert max(expected) > 1 << 15
    assert _internal.rank_encode(IDS, merges, text, "search") == expected
    assert _internal.rank_encode(IDS, merges, text, "auto") == expected


@pytest.mark.parametrize("unit", [b"a", b"ab", b"aab"])
@pytest.mark.parametrize("length", [(1 << 14) - 1, 1 << 14, (1 << 14) + 1, 100_003])
def test_long_parts_between_batches(unit, length):
    # Parts past a batch's size leave the batch for the long path.
    merges = [(a, a, 256), (256, 256, 257), (a, b, 258), (258, a, 259), (256, a, 260), (257, 257, 261)]
    run = (unit * length)[:length]
    text = b"ab\n" * 30_000 + run + b"\n" + b"aab\n" * 30_000
    expected = _internal.rank_encode(IDS, merges, text, "bytes")
    for path in ("auto", "long-piece"):
        assert _internal.rank_encode(IDS, merges, text, path) == expected, path
