"""brevix.Tokenizer from several Python threads: encode and decode run side by
side, training is serialised against them, and nobody sees half a table."""

import gc
import os
import random
import threading

import pytest

from hypothesis import given, settings, strategies as st

from brevix import Tokenizer
from helpers import run_python

# The NumPy input and output forms are much of what these tests cover.
np = pytest.importorskip("numpy")

RNG = random.Random(11)
CORPUS = bytes(RNG.choices(b"abcdefgh \n\xc3\xa9", k=60_000))
TEXTS = [bytes(RNG.choices(b"abcdefgh \n\xc3\xa9", k=RNG.randint(0, 3000))) for _ in range(40)]


_TRAINED = Tokenizer()
_TRAINED.train(CORPUS, 400)


def run_threads(*targets):
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as e:  # reported to the test thread
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_readers_alongside_training_always_see_a_whole_table():
    tok = Tokenizer()
    tok.train(CORPUS, 300)
    stop = threading.Event()

    def trainer():
        for size in range(320, 600, 20):
            tok.train(CORPUS, size)
        stop.set()

    def reader():
        while not stop.is_set():
            ids = tok.encode(TEXTS[3])
            # Ids of one table decode with the same or a later table.
            assert tok.decode(ids) == TEXTS[3]
            batch = tok.encode_batch(TEXTS, threads=2)
            assert tok.decode_batch(batch, threads=2) == TEXTS
            assert tok.decode(np.array(ids, dtype=np.int64)) == TEXTS[3]

    run_threads(trainer, reader, reader)
    sequential = Tokenizer()
    sequential.train(CORPUS, 300)
    for size in range(320, 600, 20):
        sequential.train(CORPUS, size)
    assert tok.merges == sequential.merges


def test_concurrent_training_is_serialised():
    first, second = CORPUS[:30_000], CORPUS[30_000:]
    tok = Tokenizer()
    run_threads(lambda: tok.train(first, 400), lambda: tok.train(second, 500))
    orders = []
    for a, b in (((first, 400), (second, 500)), ((second, 500), (first, 400))):
        t = Tokenizer()
        t.train(*a)
        t.train(*b)
        orders.append(t.merges)
    assert tok.merges in orders


def test_batches_keep_order_for_any_thread_count():
    tok = Tokenizer()
    tok.train(CORPUS, 500)
    expected = [tok.encode(t) for t in TEXTS]
    for threads in (1, 2, 3, 8, 64):
        assert tok.encode_batch(TEXTS, threads=threads) == expected
        assert tok.decode_batch(expected, threads=threads) == TEXTS
    assert tok.encode_batch([]) == [] and tok.decode_batch([]) == []
    assert tok.encode_batch(iter(TEXTS)) == expected
    # The native calls take any int: below 1 is one thread, huge is capped.
    for threads in (-(2**40), -1, 0, 2**31, 2**40):
        assert tok._core.encode_batch(TEXTS, threads, 0, None, None) == expected
        assert tok._core.count_batch(TEXTS, threads, None, None) == [len(ids) for ids in expected]
        assert tok._core.decode_batch(expected, threads) == TEXTS


@pytest.mark.parametrize("out", ["list", "numpy"])
@pytest.mark.parametrize("bad_at", [0, 77, 199])
def test_a_failure_late_in_a_batch_on_threads_is_the_one_reported(out, bad_at):
    # The result lists are built while later texts are still being encoded:
    # a text refused there must still be the error, with nothing left half
    # done (the collector as it was, the tokenizer usable).
    tok = Tokenizer(special_tokens=["<|endoftext|>"])
    tok.train(CORPUS, 300)
    texts = [t * 12 for t in TEXTS] * 5
    texts[bad_at] = texts[bad_at] + b"<|endoftext|>"
    with pytest.raises(ValueError) as one:
        tok.encode(texts[bad_at])
    was = gc.isenabled()
    for threads in (1, 2, 4):
        with pytest.raises(ValueError) as batch:
            tok.encode_batch(texts, threads=threads, out=out)
        assert str(batch.value) == str(one.value)
        assert gc.isenabled() is was
    del texts[bad_at]
    last = tok.encode_batch(texts, threads=2, out=out)[-1]
    assert list(last) == tok.encode(texts[-1])


@settings(max_examples=40, deadline=None)
@given(
    st.lists(st.binary(max_size=3000) | st.just(b""), max_size=60),
    st.integers(1, 4),
    st.sampled_from(["list", "numpy"]),
)
def test_batches_on_threads_equal_one_encode_per_text(texts, threads, out):
    # Chunks finish out of order on the threads; the results come back in order.
    tok = _TRAINED
    got = tok.encode_batch(texts, threads=threads, out=out)
    assert [list(ids) for ids in got] == [tok.encode(t) for t in texts]


def test_many_threads_on_one_tokenizer():
    tok = Tokenizer()
    tok.train(CORPUS, 450)
    expected = [tok.encode(t) for t in TEXTS]

    def worker():
        for text, ids in zip(TEXTS, expected):
            assert tok.encode(text) == ids
            assert tok.decode(ids) == text

    run_threads(*[worker] * 6)


def test_a_waiting_training_goes_before_reads_that_arrive_after_it():
    # A long read holds the tokenizer; training waits for it, in slices of
    # the lock's signal check (50 ms) while a thread busy in Python keeps
    # the interpreter lock contended; a second long read arrives well into
    # that wait. Had the writer stopped waiting at the end of a slice, the
    # second read would get in beside the first (and overlapping reads like
    # these would keep training out for ever): it must wait, and encode with
    # the trained table.
    tok = Tokenizer()
    tok.train(CORPUS, 300)
    long_text = [CORPUS * 100]
    seen = {}
    stop = threading.Event()

    def read(name, delay):
        threading.Event().wait(delay)
        seen[name] = max(tok.encode_batch(long_text, threads=1)[0])

    def train():
        threading.Event().wait(0.1)
        tok.train(CORPUS, 310)

    def busy():
        while not stop.is_set():
            pass

    spinner = threading.Thread(target=busy)
    spinner.start()
    try:
        run_threads(lambda: read("first", 0), train, lambda: read("second", 0.3))
    finally:
        stop.set()
        spinner.join()
    assert seen == {"first": 299, "second": 309}


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="no affinity masks here")
def test_default_thread_and_worker_counts_follow_the_affinity_mask():
    # Pinned to one CPU, a process defaults to one thread for batches and
    # one worker for a local cluster.
    out = run_python(
        """
import os
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
from brevix import _tokenizer, cluster
print(_tokenizer._thread_count(None), cluster.available_cpus())
"""
    ).stdout
    assert out.split() == [b"1", b"1"]
