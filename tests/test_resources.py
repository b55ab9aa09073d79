"""Resource behaviour: memory exhaustion becomes MemoryError and the process
goes on; threads get the same results as sequential use; repeated calls do
not leak Python objects or native memory; argument reference counts stay."""

import gc
import sys
import threading

import pytest

from brevix.tokenizer import PyBytePairTokenizer, data_loader, data_saver
from helpers import SANITIZED, resident_bytes, run_under_memory_limit

LIMITED_SETUP = """
import itertools
from brevix import _internal
from brevix.tokenizer import PyBytePairTokenizer, data_loader

t = PyBytePairTokenizer()
_internal.set_merges(t, [(97, 98, 256)] + [(255 + i, 97, 256 + i) for i in range(1, 1000)])
text = b"ab" * 75_000_000
path = {path!r}
with open(path, "wb") as f:
    f.write(b"x" * 150_000_000)

calls = {{
    "encode": lambda: t.encode(text),
    "decode": lambda: t.decode([1255] * 400_000),
    "fit": lambda: t.fit(itertools.repeat(97, 10**9), 100000, 1),
    "encode_corpus": lambda: t.encode_corpus(itertools.repeat(1, 10**9)),
    "data_loader": lambda: data_loader(path),
}}

def check():
    assert t.decode(t.encode_corpus([97, 98, 97])) == b"aba"
"""


@pytest.mark.slow
@pytest.mark.skipif(SANITIZED, reason="address-space limits defeat the sanitizer's shadow memory")
def test_memory_exhaustion_raises_memory_error_and_the_process_goes_on(tmp_path):
    setup = LIMITED_SETUP.format(path=bytes(tmp_path / "big.txt"))
    lines = run_under_memory_limit(setup, headroom_mb=300, after='print("size", t.size)')
    assert lines == [
        "encode MemoryError",
        "decode MemoryError",
        "fit MemoryError",
        "encode_corpus MemoryError",
        "data_loader MemoryError",
        "size 1256",
    ]


TEXTS = [b"the cat sat on the mat", b"\xc3\xa9t\xc3\xa9 " * 20, bytes(range(256)), b""]
CORPORA = [list(b"abracadabra " * 30), list("the theme of these thesis".encode() * 10), list(range(50)) * 3]


def reference_results():
    results = []
    for corpus in CORPORA:
        t = PyBytePairTokenizer()
        t.fit(corpus, 400, 40)
        results.append([(t.encode(x), t.decode(t.encode(x))) for x in TEXTS])
    return results


def test_threads_with_separate_and_shared_tokenizers(capfd):
    expected = reference_results()
    shared = PyBytePairTokenizer()
    shared.fit(CORPORA[0], 400, 40)
    errors, results = [], {}

    def own(i):
        try:
            results[i] = []
            for _ in range(5):
                t = PyBytePairTokenizer()
                t.fit(CORPORA[i], 400, 40)
                results[i] = [(t.encode(x), t.decode(t.encode(x))) for x in TEXTS]
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    def use_shared():
        try:
            for _ in range(50):
                for x, (ids, back) in zip(TEXTS, expected[0]):
                    assert shared.encode(x) == ids
                    assert shared.decode(ids) == back == x
                    assert shared.encode_corpus([b - 256 if b > 127 else b for b in x]) == ids
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    threads = [threading.Thread(target=own, args=(i,)) for i in range(len(CORPORA))]
    threads += [threading.Thread(target=use_shared) for _ in range(3)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    capfd.readouterr()
    assert errors == []
    assert [results[i] for i in range(len(CORPORA))] == expected


def expect_no_growth(call, rounds=2000):
    for _ in range(200):
        call()
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), resident_bytes()
    for _ in range(rounds):
        call()
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 100
    if not SANITIZED:
        assert resident_bytes() - rss < 8 * 2**20


def swallow(fn, *exceptions):
    def call():
        try:
            fn()
        except exceptions:
            pass
    return call


def reinit_trained():
    t = PyBytePairTokenizer()
    t.fit(list(b"abcabcabd" * 5), 300, 5)
    t.__init__()


CYCLIC = PyBytePairTokenizer()
CYCLIC.fit([256, 256], 1000, 5)


@pytest.mark.parametrize(
    "name, call",
    [
        ("fit fresh", lambda: PyBytePairTokenizer().fit(list(b"abcabcabd" * 20), 300, 20)),
        ("reinit trained", lambda: reinit_trained()),
        ("encode", lambda: LEAK_TOK.encode(b"abcabcabd" * 50)),
        ("encode_corpus", lambda: LEAK_TOK.encode_corpus(list(b"abcabcabd" * 50))),
        ("decode", lambda: LEAK_TOK.decode(list(range(256, 270)) * 20)),
        ("decode cycle", swallow(lambda: CYCLIC.decode([256]), ValueError)),
        ("fit bad corpus", swallow(lambda: LEAK_TOK.fit([1, "x"], 300, 1), TypeError)),
        ("fit bad int", swallow(lambda: LEAK_TOK.fit([1, 2], 2**31, 1), OverflowError)),
        ("encode bad", swallow(lambda: LEAK_TOK.encode("str"), TypeError)),
        ("binding error", swallow(lambda: LEAK_TOK.decode(), TypeError)),
        ("keyword error", swallow(lambda: LEAK_TOK.decode([1], x=1), TypeError)),
        ("loader missing", lambda: data_loader(b"/nonexistent-dir/x")),
        ("saver full", swallow(lambda: data_saver(b"x" * 100, b"/dev/full"), OSError)),
        ("pickle refusal", swallow(lambda: LEAK_TOK.__reduce__(), TypeError)),
    ],
)
def test_repeated_calls_do_not_leak(name, call, capfd):
    expect_no_growth(call)
    capfd.readouterr()


LEAK_TOK = PyBytePairTokenizer()
LEAK_TOK.fit(list(b"abcabcabd" * 20), 300, 20)


@pytest.mark.parametrize(
    "call",
    [
        lambda c: LEAK_TOK.fit(c, 300, 2),
        lambda c: LEAK_TOK.encode_corpus(c),
        lambda c: LEAK_TOK.decode(c),
        lambda c: data_saver(c, b"/nonexistent-dir/x"),
    ],
)
@pytest.mark.parametrize("corpus", [[1, 2, 3], [1, "x"], (5, 6), [2**40]], ids=["ok", "bad", "tuple", "big"])
def test_argument_reference_counts_are_unchanged(call, corpus, capfd):
    items = list(corpus)
    before = [sys.getrefcount(corpus)] + [sys.getrefcount(x) for x in items if not isinstance(x, int) or x > 256]
    try:
        call(corpus)
    except (TypeError, OverflowError):
        pass
    after = [sys.getrefcount(corpus)] + [sys.getrefcount(x) for x in items if not isinstance(x, int) or x > 256]
    capfd.readouterr()
    assert after == before
