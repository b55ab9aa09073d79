"""Training through the public method: merges learned, sizes and the exact
progress text on standard output."""

import pytest

from helpers import run_python


def fit_output(calls):
    """Stdout bytes of fit calls on one fresh tokenizer in a child process."""
    code = "from brevix.tokenizer import PyBytePairTokenizer\nt = PyBytePairTokenizer()\n"
    for corpus, max_size, n_iter in calls:
        code += f"t.fit({corpus!r}, {max_size}, {n_iter})\n"
    code += "import os; os.write(1, ('|size=%d' % t.size).encode())\n"
    out = run_python(code).stdout
    return out


def lines(*items):
    return "".join(item + "\n" for item in items).encode()


@pytest.mark.parametrize(
    "calls, expected",
    [
        (
            [([1, 2, 3, 1, 2], 1000, 10)],
            lines("Iteration 1", "[1 .. 2] -> 2", "257", "3 5 40%",
                  "Iteration 2", "[3 .. 256] -> 1", "258", "2 5 60%",
                  "Iteration 3", "[256 .. 257] -> 1", "259", "1 5 80%",
                  "Iteration 4", "[-1 .. -1] -> 0")
            + b"|size=259Nothing to Merge",
        ),
        ([([], 1000, 5)], lines("Iteration 1", "[-1 .. -1] -> 0") + b"|size=256Nothing to Merge"),
        ([([42], 1000, 5)], lines("Iteration 1", "[-1 .. -1] -> 0") + b"|size=256Nothing to Merge"),
        ([([1, 2, 3], 1000, 0)], b"|size=256"),
        ([([1, 2, 3], 1000, -7)], b"|size=256"),
        (
            [([7, 7, 7, 7], 300, 5)],
            lines("Iteration 1", "[7 .. 7] -> 3", "257", "2 4 50%",
                  "Iteration 2", "[256 .. 256] -> 1", "258", "1 4 75%",
                  "Iteration 3", "[-1 .. -1] -> 0")
            + b"|size=258Nothing to Merge",
        ),
        # The merge recorded at the size limit is kept but not applied.
        ([([7, 7, 7, 7], 257, 5)], lines("Iteration 1", "[7 .. 7] -> 3", "257") + b"|size=257"),
        ([([1, 2, 3], 0, 5)], lines("Iteration 1", "[2 .. 3] -> 1", "257") + b"|size=257"),
        ([([1, 2, 3], 256, 5)], lines("Iteration 1", "[2 .. 3] -> 1", "257") + b"|size=257"),
        ([([1, 2, 3], -2147483648, 5)], lines("Iteration 1", "[2 .. 3] -> 1", "257") + b"|size=257"),
        # Budget spent: no "Nothing to Merge".
        ([([5, 6, 5, 6, 5, 6], 1000, 1)], lines("Iteration 1", "[5 .. 6] -> 3", "257", "3 6 50%") + b"|size=257"),
        # A most frequent count of 1 does not stop training.
        (
            [([1, 2, 3, 4], 1000, 2)],
            lines("Iteration 1", "[3 .. 4] -> 1", "257", "3 4 25%",
                  "Iteration 2", "[2 .. 256] -> 1", "258", "2 4 50%") + b"|size=258",
        ),
        # Negative ids print with their sign.
        ([([-61, -87, -61, -87], 1000, 1)], lines("Iteration 1", "[-61 .. -87] -> 2", "257", "2 4 50%") + b"|size=257"),
    ],
)
def test_fit_prints_progress_exactly(calls, expected):
    assert fit_output(calls) == expected


def test_second_fit_continues_on_the_line_of_nothing_to_merge():
    out = fit_output([([1, 2, 1, 2], 1000, 10), ([1, 2, 1, 2], 1000, 10)])
    assert out == (
        lines("Iteration 1", "[1 .. 2] -> 2", "257", "2 4 50%",
              "Iteration 2", "[256 .. 256] -> 1", "258", "1 4 75%",
              "Iteration 3", "[-1 .. -1] -> 0")
        + b"Nothing to MergeIteration 1\n"
        + lines("[1 .. 2] -> 2", "258", "1 4 75%", "Iteration 2", "[-1 .. -1] -> 0")
        + b"|size=258Nothing to Merge"
    )


def test_second_fit_respects_its_own_size_limit_on_the_cumulative_size():
    out = fit_output([([1, 2, 1, 2], 1000, 1), ([3, 4, 3, 4], 258, 5)])
    assert out == lines(
        "Iteration 1", "[1 .. 2] -> 2", "257", "2 4 50%",
        "Iteration 1", "[3 .. 4] -> 2", "258",
    ) + b"|size=258"


def test_nothing_to_merge_stays_buffered_until_something_flushes():
    out = run_python(
        """
        import os
        from brevix.tokenizer import PyBytePairTokenizer
        PyBytePairTokenizer().fit([], 10, 3)
        os.write(1, b"<direct>")
        """
    ).stdout
    assert out == b"Iteration 1\n[-1 .. -1] -> 0\n<direct>Nothing to Merge"


def test_encode_echo_flushes_pending_nothing_to_merge():
    out = run_python(
        """
        import os
        from brevix.tokenizer import PyBytePairTokenizer
        t = PyBytePairTokenizer()
        t.fit([9], 10, 3)
        t.encode(b"A")
        os.write(1, b"<direct>")
        """
    ).stdout
    assert out == b"Iteration 1\n[-1 .. -1] -> 0\nNothing to Merge65 \n<direct>"


def test_reduction_percentage_does_not_overflow_on_long_corpora():
    # 50,000,000 equal ids: the first pass halves the corpus, and
    # 25,000,000 * 100 does not fit in 32 bits.
    out = run_python(
        """
        from brevix.tokenizer import PyBytePairTokenizer
        PyBytePairTokenizer().fit(b"\\x07" * 50_000_000, 1000, 1)
        """
    ).stdout
    assert out == lines("Iteration 1", "[7 .. 7] -> 49999999", "257", "25000000 50000000 50%")


def test_fit_leaves_the_callers_corpus_unchanged_and_returns_none():
    from brevix.tokenizer import PyBytePairTokenizer

    corpus = [1, 2, 1, 2, 1, 2]
    snapshot = list(corpus)
    t = PyBytePairTokenizer()
    assert t.fit(corpus, 1000, 5) is None
    assert corpus == snapshot
    assert t.size == 259
