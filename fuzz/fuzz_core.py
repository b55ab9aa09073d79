"""Fuzzes the core against its straightforward definitions: training on tiny
corpora, merging and decode(encode(t)) == t, fast engine versus the plain one.

    python fuzz/fuzz_core.py -max_total_time=60
"""

import sys

import atheris

from brevix import _internal


def small_corpus(fdp):
    alphabet = fdp.ConsumeIntInRange(1, 6)
    base = fdp.PickValueInList([0, -3, 97, 250, 256, 300])
    return [base + fdp.ConsumeIntInRange(0, alphabet - 1) for _ in range(fdp.ConsumeIntInRange(0, 80))]


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    calls = [
        (small_corpus(fdp), fdp.ConsumeIntInRange(250, 300), fdp.ConsumeIntInRange(-1, 30))
        for _ in range(fdp.ConsumeIntInRange(1, 3))
    ]
    fast = _internal.train_sequence(calls, engine="fast")
    plain = _internal.train_sequence(calls, engine="straightforward")
    assert fast == plain, (calls, fast, plain)

    merges = plain[1]
    corpus = small_corpus(fdp)
    assert _internal.merge_corpus(corpus, merges, engine="fast") == _internal.merge_corpus(
        corpus, merges, engine="straightforward"
    ), (corpus, merges)

    if all(max(corpus, default=0) < 256 for corpus, _, _ in calls):
        text = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
        _, ids = _internal.encode(merges, text, engine="fast")
        assert _internal.decode(merges, ids, engine="fast") == text, (merges, text, ids)


def main():
    # The extension is not instrumented; coverage of the harness's own
    # Python branches still steers inputs toward new argument shapes.
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
