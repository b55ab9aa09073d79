"""One shared Tokenizer (a split pattern, special tokens) under load: eight
Python threads encode and decode batches, train it further, pickle it and
save it, all at once, for a bounded time (BREVIX_STRESS_SECONDS, default 3).
Every result is checked against single-threaded runs of the same model
version: training only appends merges, so each result must be that of a
version between the ones seen just before and just after the call."""

import os
import pickle
import random
import threading
import time

import pytest

from brevix import Tokenizer

SECONDS = float(os.environ.get("BREVIX_STRESS_SECONDS", "3"))
SPECIALS = {"<|endoftext|>": 100_000, "<|pad|>": 100_001}
RNG = random.Random(23)
WORDS = ["lower", "lowest", "newer", "wider", " naïve", " café", " 東京", "2024", "'s", "\n", "  "]
CORPUS = ["".join(RNG.choice(WORDS) for _ in range(RNG.randint(1, 60))) for _ in range(3000)]
TEXTS = [
    RNG.choice(CORPUS) + RNG.choice(["", "<|endoftext|>", "<|pad|>"]) + RNG.choice(CORPUS)
    for _ in range(40)
] + [b"\xff\xfe raw \xc3", b"", "<|endoftext|>" * 3]
STEP = 4
MERGES = 240


def train_to(tok, merges):
    # vocab_size counts the special tokens too.
    tok.train(CORPUS, 256 + merges + len(SPECIALS))


def versions_of(final):
    """Single-threaded runs: a tokenizer for each merge count training passes
    through (training in steps learns what training at once learns)."""
    by_count = {}
    for count in range(MERGES, -1, -STEP):
        data = final._data()
        by_count[count] = Tokenizer._from_data(
            type(data)(data.byte_ids, data.merges[:count], data.pattern, data.specials), fixed_ids=True
        )
    return by_count


@pytest.fixture(scope="module")
def reference():
    final = Tokenizer(pattern="cl100k", special_tokens=SPECIALS)
    train_to(final, MERGES)
    assert len(final.merges) == MERGES
    tokenizers = versions_of(final)
    return {
        count: (tok, tok.encode_batch(TEXTS, allowed_special="all", threads=1))
        for count, tok in tokenizers.items()
    }


@pytest.mark.slow
def test_one_tokenizer_under_concurrent_load(tmp_path, reference):
    shared = Tokenizer(pattern="cl100k", special_tokens=SPECIALS)
    train_to(shared, STEP)
    deadline = time.monotonic() + SECONDS
    errors, rounds = [], {}

    def merges_now():
        return len(shared.merges)

    def expect_between(before, after, result, what):
        candidates = [c for c in range(before, after + 1) if c in reference]
        if not any(what(reference[c]) == result for c in candidates):
            raise AssertionError(f"result matches no version in {before}..{after}")

    def encoder():
        before = merges_now()
        result = shared.encode_batch(TEXTS, allowed_special="all", threads=2)
        expect_between(before, merges_now(), result, lambda ref: ref[1])

    def decoder():
        count = merges_now()
        ids = reference[count][1]
        # Ids of one version decode the same under every later one.
        assert shared.decode_batch(ids, threads=2) == [
            t.encode() if isinstance(t, str) else t for t in TEXTS
        ]

    def trainer():
        count = merges_now()
        if count < MERGES:
            train_to(shared, count + STEP)

    def pickler():
        before = merges_now()
        copy = pickle.loads(pickle.dumps(shared))
        assert copy.special_tokens == SPECIALS and copy.pattern == shared.pattern
        expect_between(before, merges_now(), copy.merges, lambda ref: ref[0].merges)

    def saver():
        path = tmp_path / f"m{threading.get_ident()}.model"
        before = merges_now()
        shared.save(path)
        loaded = Tokenizer.load(path)
        assert loaded.special_tokens == SPECIALS
        expect_between(before, merges_now(), loaded.merges, lambda ref: ref[0].merges)

    def loop(name, work):
        try:
            while time.monotonic() < deadline:
                work()
                rounds[name] = rounds.get(name, 0) + 1
        except BaseException as e:  # reported to the test thread
            errors.append((name, e))

    jobs = {
        "encoder 1": encoder, "encoder 2": encoder, "encoder 3": encoder,
        "decoder 1": decoder, "decoder 2": decoder,
        "trainer": trainer, "pickler": pickler, "saver": saver,
    }
    threads = [threading.Thread(target=loop, args=item) for item in jobs.items()]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert set(rounds) == set(jobs)
    count = merges_now()
    assert shared.merges == reference[count][0].merges
    assert shared.encode_batch(TEXTS, allowed_special="all") == reference[count][1]
