"""Fuzzes the core against its straightforward definitions: training on tiny
corpora (the fast engine, its tie-break forced onto the targeted and the
kept-order paths, versus the plain one: output, merges, corpora, size),
merging, and decode(encode(t)) == t.

Each input seeds a random case. fuzz/run.sh runs it on the clang build
(BREVIX_FUZZ), whose native edges guide the fuzzer.

    python fuzz/fuzz_core.py -max_total_time=60
"""

import random
import sys

import atheris

from brevix import _internal

BASES = [0, -3, 97, 250, 254, 255, 256, 257, 300, -128, 2147483640]


def small_corpus(rng):
    alphabet = rng.randint(1, 7)
    base = rng.choice(BASES)
    length = rng.choice([0, 1, 2, 3, rng.randint(4, 40), rng.randint(40, 400)])
    if rng.random() < 0.2:  # runs of one id
        return [base] * length
    return [base + rng.randrange(alphabet) for _ in range(length)]


def random_calls(rng):
    return [
        (small_corpus(rng), rng.choice([rng.randint(250, 320), 0, 256, 2**31 - 1]), rng.randint(-1, 40))
        for _ in range(rng.randint(1, 3))
    ]


def test_one_input(data):
    rng = random.Random(data)
    calls = random_calls(rng)
    plain = _internal.train_sequence(calls, engine="straightforward")
    for engine in ("fast", "targeted", "ordered"):
        fast = _internal.train_sequence(calls, engine=engine)
        assert fast == plain, (engine, calls, fast, plain)

    merges = plain[1]
    corpus = small_corpus(rng)
    merged = _internal.merge_corpus(corpus, merges, engine="straightforward")
    assert _internal.merge_corpus(corpus, merges, engine="fast") == merged, (corpus, merges)

    if all(max(c, default=0) < 256 for c, _, _ in calls):
        text = rng.randbytes(rng.randint(0, 200))
        _, ids = _internal.encode(merges, text, engine="fast")
        assert _internal.decode(merges, ids, engine="fast") == text, (merges, text, ids)


def main():
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
