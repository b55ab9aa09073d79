"""Calls on a tokenizer that keeps its derived merge-table index across calls:
any sequence of calls gives what the straightforward engine gives, deep
chains built one merge per call decode exactly, and a failure to grow the
index leaves the tokenizer exact."""
import random

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from brevix import _core
from brevix import _internal as core
from brevix.tokenizer import PyBytePairTokenizer
from helpers import SANITIZED, run_python


ids = st.integers(-3, 6) | st.sampled_from([97, 98, 255, 256, 257, 258, 300])
# Repeated pieces: frequent pairs, and corpora long enough for the
# incremental engine (fit() trains a few ids by the straightforward one).
corpora = st.builds(lambda piece, times: piece * times, st.lists(ids, max_size=40), st.integers(1, 5))


def outcome(call):
    try:
        return ("ok", call())
    except Exception as e:  # the engines must fail alike, with the same message
        return (type(e).__name__, str(e))


class FastAgainstStraightforward(RuleBasedStateMachine):
    """Two tokenizers, each mirrored by one driven through the straightforward
    engine only; every call is made on both sides and must agree."""

    @initialize()
    def start(self):
        self.fast = [PyBytePairTokenizer(), PyBytePairTokenizer()]
        self.slow = [PyBytePairTokenizer(), PyBytePairTokenizer()]

    @rule(k=st.integers(0, 1), corpus=corpora, limit=st.integers(257, 400), n_iter=st.integers(1, 40))
    def fit(self, k, corpus, limit, n_iter):
        got = outcome(lambda: core.fit_on(self.fast[k], corpus, limit, n_iter, "fast"))
        assert got == outcome(lambda: core.fit_on(self.slow[k], corpus, limit, n_iter, "straightforward"))

    @rule(k=st.integers(0, 1), data=st.binary(max_size=60))
    def encode(self, k, data):
        got = outcome(lambda: core.encode_on(self.fast[k], data, "fast"))
        assert got == outcome(lambda: core.encode_on(self.slow[k], data, "straightforward"))

    @rule(k=st.integers(0, 1), corpus=corpora)
    def encode_corpus(self, k, corpus):
        got = outcome(lambda: self.fast[k].encode_corpus(corpus))
        assert got == outcome(lambda: core.encode_corpus_on(self.slow[k], corpus, "straightforward"))

    @rule(k=st.integers(0, 1), encoded=st.lists(ids | st.integers(-200, 2**31 - 1), max_size=30))
    def decode(self, k, encoded):
        got = outcome(lambda: self.fast[k].decode(encoded))
        assert got == outcome(lambda: core.decode_on(self.slow[k], encoded, "straightforward"))
        assert got == outcome(lambda: core.decode_on(self.fast[k], encoded, "fast"))

    @rule(k=st.integers(0, 1))
    def reinit(self, k):
        self.fast[k].__init__()
        self.slow[k].__init__()

    @rule(k=st.integers(0, 1))
    def assign(self, k):
        core.assign(self.fast[k], self.fast[1 - k])
        core.assign(self.slow[k], self.slow[1 - k])

    @rule(k=st.integers(0, 1))
    def load_merges(self, k):
        merges = core.get_merges(self.slow[1 - k])
        core.set_merges(self.fast[k], merges)
        core.set_merges(self.slow[k], merges)

    @rule(k=st.integers(0, 1))
    def load_merges_as_brevix_model_does(self, k):
        # brevix.model loads through _core, onto a tokenizer that may have
        # trained (and so hold an index of another table).
        merges = core.get_merges(self.slow[1 - k])
        _core.set_low_level_merges(self.fast[k], merges)
        core.set_merges(self.slow[k], merges)

    @precondition(lambda self: self.fast[0].size > 256)
    @rule(k=st.integers(0, 1))
    def assign_to_itself(self, k):
        core.assign(self.fast[k], self.fast[k])

    @invariant()
    def same_tables(self):
        for fast, slow in zip(self.fast, self.slow):
            assert core.get_merges(fast) == core.get_merges(slow)
            assert fast.size == slow.size


TestFastAgainstStraightforward = pytest.mark.slow(FastAgainstStraightforward.TestCase)
TestFastAgainstStraightforward.settings = settings(
    max_examples=150, stateful_step_count=30, deadline=None, suppress_health_check=list(HealthCheck)
)


@pytest.mark.parametrize("seed", range(6))
def test_small_calls_against_large_tables(seed):
    # Tables larger than the inputs, so the calls take the index.
    rng = random.Random(seed)
    text = bytes(rng.choice(b"abcde ") for _ in range(3000))
    tok = PyBytePairTokenizer()
    core.fit_on(tok, [b for b in text], 2**31 - 1, 400)
    slow = PyBytePairTokenizer()
    core.assign(slow, tok)
    assert core.table_index_bytes(tok) is not None
    for _ in range(30):
        piece = text[rng.randrange(0, 2900) :][: rng.randrange(0, 100)]
        assert core.encode_on(tok, piece) == core.encode_on(slow, piece, "straightforward")
        ids = core.encode_corpus_on(tok, list(piece))
        assert tok.decode(ids) == core.decode_on(slow, ids, "straightforward") == piece
        corpus = list(piece) + [rng.randrange(250, tok.size + 3) for _ in range(rng.randrange(0, 5))]
        assert core.fit_on(tok, corpus, 2**31 - 1, 3) == core.fit_on(slow, corpus, 2**31 - 1, 3, "straightforward")
        assert core.get_merges(tok) == core.get_merges(slow)


def test_new_id_already_in_a_key_takes_the_whole_merge():
    # (258, 258) becomes a key before 258 is assigned; when training assigns
    # it, its occurrences side by side must merge again in the same call.
    fast, slow = PyBytePairTokenizer(), PyBytePairTokenizer()
    for corpus, n_iter in [([258] * 4, 1), ([97, 98] * 40, 2)]:
        got = core.fit_on(fast, corpus, 2**31 - 1, n_iter, "fast")
        assert got == core.fit_on(slow, corpus, 2**31 - 1, n_iter, "straightforward")
    assert got[1] == [256] * 10


DEPTH = 250_000


def chain_bytes(right_leaning):
    later = bytes(98 + i % 26 for i in range(DEPTH))
    return later[::-1] + b"a" if right_leaning else b"a" + later


@pytest.mark.parametrize("right_leaning", [False, True], ids=["left", "right"])
def test_chain_of_single_merge_fits_decodes(right_leaning):
    tok = PyBytePairTokenizer()
    top = 97
    for i in range(DEPTH):
        byte = 98 + i % 26
        core.fit_on(tok, [byte, top] if right_leaning else [top, byte], 2**31 - 1, 1)
        top = 256 + i
    assert tok.size == 256 + DEPTH
    assert tok.decode([top]) == chain_bytes(right_leaning)
    assert core.decode_on(tok, [top, 97], "straightforward") == chain_bytes(right_leaning) + b"a"


@pytest.mark.parametrize("right_leaning", [False, True], ids=["left", "right"])
def test_chain_through_the_incremental_trainer(right_leaning):
    # The "fast" hook runs the incremental engine itself, also on the two-id
    # corpora that fit() hands to the straightforward one.
    calls, top = [], 97
    for i in range(20_000):
        pair = [98 + i % 26, top] if right_leaning else [top, 98 + i % 26]
        calls.append((pair, 2**31 - 1, 1))
        top = 256 + i
    out, merges, corpora, size = core.train_sequence(calls, "fast")
    assert size == 256 + 20_000 and all(len(c) == 1 for c in corpora)
    expected = bytes(98 + i % 26 for i in range(20_000))
    expected = expected[::-1] + b"a" if right_leaning else b"a" + expected
    assert core.decode(merges, [top]) == expected


@pytest.mark.skipif(SANITIZED, reason="address-space limits defeat the sanitizer's shadow memory")
def test_index_that_cannot_grow_leaves_the_tokenizer_exact():
    code = """
    import resource
    from brevix import _internal as core
    from brevix.tokenizer import PyBytePairTokenizer

    def vm_bytes():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    tok = PyBytePairTokenizer()
    core.set_merges(tok, [(97, 97 + i % 20 if i < 20 else 255 + i, 256 + i) for i in range(130_000)])
    pieces = [[97, 98 + i % 20] * 20 for i in range(3000)]
    resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + 2**20, resource.RLIM_INFINITY))
    stale = 0
    for piece in pieces:
        try:
            core.fit_on(tok, piece + [tok.size - 1, 97], 2**31 - 1, 1)
        except MemoryError:
            pass
        stale += core.table_index_bytes(tok) is None
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    slow = PyBytePairTokenizer()
    core.set_merges(slow, core.get_merges(tok))
    for piece in pieces[:200]:
        assert tok.encode_corpus(piece) == core.encode_corpus_on(slow, piece, "straightforward")
        assert tok.decode(piece + [tok.size - 1]) == core.decode_on(slow, piece + [tok.size - 1], "straightforward")
    core.fit_on(tok, [1, 2, 1, 2], 2**31 - 1, 1)
    print("stale", stale > 0, "fresh", core.table_index_bytes(tok) is not None)
    """
    out = run_python(code, timeout=300).stdout
    assert out.split() == [b"stale", b"True", b"fresh", b"True"]


def test_index_memory_per_merge_stays_small():
    tok = PyBytePairTokenizer()
    core.set_merges(tok, [(i % 300, i // 300, 256 + i) for i in range(100_000)])
    assert core.table_index_bytes(tok) / 100_000 < 40


def test_threads_reading_one_tokenizer_at_once_agree_with_one_thread():
    rng = random.Random(5)
    tok = PyBytePairTokenizer()
    core.fit_on(tok, [rng.choice(b"abcdef ") for _ in range(20_000)], 2**31 - 1, 3000)
    # Short corpora take the index, long ones the per-call lookup and expander.
    corpora = [[rng.choice(b"abcdef ") for _ in range(rng.choice([1, 10, 100, 20_000]))] for _ in range(60)]
    expected = core.concurrent_reads(tok, corpora, 1)[0]
    assert all(bytes(c) == d for c, (_, d) in zip(corpora, expected))
    assert core.concurrent_reads(tok, corpora, 4) == [expected] * 4


def test_expansions_too_long_to_write_are_refused_before_writing():
    # Each id doubles the one before: 289 expands to 2^34 bytes.
    tok = PyBytePairTokenizer()
    core.set_merges(tok, [(97, 97, 256)] + [(255 + i, 255 + i, 256 + i) for i in range(1, 34)])
    with pytest.raises(RuntimeError, match="decoded text too long"):
        tok.decode([289] * 10)
    assert tok.decode([270, 97]) == b"a" * 2**15 + b"a"


def test_table_replaced_through_core_is_not_read_through_the_old_index():
    # Same size and the same first, middle and newest merges as the table it
    # replaces, different merges between them: only a rebuilt index encodes
    # it right (brevix.model.load and Tokenizer.to_low_level come this way).
    tok = PyBytePairTokenizer()
    core.fit_on(tok, [97, 98, 99, 100, 101, 102, 103, 104] * 40, 261, 5)
    old = core.get_merges(tok)
    assert len(old) == 5 and core.table_index_bytes(tok) is not None
    new = [old[0], (1, 2, 257), old[2], (3, 4, 259), old[4]]
    _core.set_low_level_merges(tok, new)
    fresh = PyBytePairTokenizer()
    core.set_merges(fresh, new)
    corpus = [1, 2, 3, 4, 97, 98]
    assert tok.encode_corpus(list(corpus)) == core.encode_corpus_on(fresh, corpus, "straightforward")
