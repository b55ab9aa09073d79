"""Training through both engines: worked examples with their exact output."""
import pytest

from brevix import _internal as core

ENGINES = ["fast", "straightforward"]


def lines(*parts):
    return "".join(p + "\n" for p in parts).encode()


@pytest.mark.parametrize("engine", ENGINES)
def test_worked_example_three_merges(engine):
    out, merges, corpus, size = core.train([1, 2, 3, 1, 2], 1000, 10, engine)
    assert out == lines(
        "Iteration 1", "[1 .. 2] -> 2", "257", "3 5 40%",
        "Iteration 2", "[3 .. 256] -> 1", "258", "2 5 60%",
        "Iteration 3", "[256 .. 257] -> 1", "259", "1 5 80%",
        "Iteration 4", "[-1 .. -1] -> 0") + b"Nothing to Merge"
    assert merges == [(1, 2, 256), (3, 256, 257), (256, 257, 258)]
    assert corpus == [258]
    assert size == 259


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("corpus", [[], [42]])
def test_nothing_to_merge(engine, corpus):
    out, merges, result, size = core.train(corpus, 1000, 5, engine)
    assert out == lines("Iteration 1", "[-1 .. -1] -> 0") + b"Nothing to Merge"
    assert (merges, result, size) == ([], corpus, 256)


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("n_iter", [0, -3])
def test_no_iterations(engine, n_iter):
    assert core.train([1, 2, 1, 2], 1000, n_iter, engine) == (b"", [], [1, 2, 1, 2], 256)


@pytest.mark.parametrize("engine", ENGINES)
def test_run_of_one_id(engine):
    out, merges, corpus, size = core.train([7, 7, 7, 7], 300, 5, engine)
    assert out == lines(
        "Iteration 1", "[7 .. 7] -> 3", "257", "2 4 50%",
        "Iteration 2", "[256 .. 256] -> 1", "258", "1 4 75%",
        "Iteration 3", "[-1 .. -1] -> 0") + b"Nothing to Merge"
    assert (merges, corpus, size) == ([(7, 7, 256), (256, 256, 257)], [257], 258)


@pytest.mark.parametrize("engine", ENGINES)
def test_size_limit_records_but_does_not_apply(engine):
    out, merges, corpus, size = core.train([7, 7, 7, 7], 257, 5, engine)
    assert out == lines("Iteration 1", "[7 .. 7] -> 3", "257")
    assert (merges, corpus, size) == ([(7, 7, 256)], [7, 7, 7, 7], 257)


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("limit", [-5, 0, 256])
def test_limit_at_or_below_size_still_records_one_merge(engine, limit):
    out, merges, corpus, size = core.train([3, 4, 3, 4, 5], limit, 10, engine)
    assert out == lines("Iteration 1", "[3 .. 4] -> 2", "257")
    assert (merges, corpus, size) == ([(3, 4, 256)], [3, 4, 3, 4, 5], 257)


@pytest.mark.parametrize("engine", ENGINES)
def test_second_fit_applies_known_merges(engine):
    out, merges, corpora, size = core.train_sequence(
        [([1, 2, 1, 2], 1000, 10), ([1, 2, 1, 2], 1000, 10)], engine)
    first = lines("Iteration 1", "[1 .. 2] -> 2", "257", "2 4 50%",
                  "Iteration 2", "[256 .. 256] -> 1", "258", "1 4 75%",
                  "Iteration 3", "[-1 .. -1] -> 0") + b"Nothing to Merge"
    # The second call continues on the same line; the pair is known, nothing
    # is added, and the whole table is applied.
    second = lines("Iteration 1", "[1 .. 2] -> 2", "258", "1 4 75%",
                   "Iteration 2", "[-1 .. -1] -> 0") + b"Nothing to Merge"
    assert out == first + second
    assert merges == [(1, 2, 256), (256, 256, 257)]
    assert corpora == [[257], [257]]
    assert size == 258


@pytest.mark.parametrize("engine", ENGINES)
def test_fit_after_stop_at_size_limit(engine):
    # The first call stops with (5, 6) recorded but unapplied. In the second
    # call (9, 9) wins its tie with (5, 6) by walk order, and the merge pass
    # applies the old key (5, 6) as well.
    out, merges, corpora, size = core.train_sequence(
        [([5, 6, 5, 6, 9, 9], 257, 10), ([5, 6, 9, 9, 9, 5, 6], 1000, 2)], engine)
    assert out == lines(
        "Iteration 1", "[5 .. 6] -> 2", "257",
        "Iteration 1", "[9 .. 9] -> 2", "258", "4 7 42%",
        "Iteration 2", "[9 .. 256] -> 1", "259", "3 7 57%")
    assert merges == [(5, 6, 256), (9, 9, 257), (9, 256, 258)]
    assert corpora == [[5, 6, 5, 6, 9, 9], [256, 257, 258]]
    assert size == 259


@pytest.mark.parametrize("engine", ENGINES)
def test_preloaded_merges_continue_numbering(engine):
    out, merges, corpus, size = core.train([10, 11, 10, 11], 1000, 1, engine,
                                           merges=[(97, 98, 256)])
    assert out == lines("Iteration 1", "[10 .. 11] -> 2", "258", "2 4 50%")
    assert merges == [(97, 98, 256), (10, 11, 257)]
    assert (corpus, size) == ([257, 257], 258)


@pytest.mark.parametrize("engine", ENGINES)
def test_corpus_id_coinciding_with_assigned_id(engine):
    # The corpus holds 256 before training hands it out for (256, 256).
    out, merges, corpus, size = core.train([256, 256, 256], 1000, 3, engine)
    assert out == lines(
        "Iteration 1", "[256 .. 256] -> 2", "257", "1 3 66%",
        "Iteration 2", "[-1 .. -1] -> 0") + b"Nothing to Merge"
    assert (merges, corpus, size) == ([(256, 256, 256)], [256], 257)


@pytest.mark.parametrize("engine", ENGINES)
def test_percentage_truncates_and_is_cumulative(engine):
    out, _, corpus, _ = core.train([1, 2, 4, 5, 6, 1, 2], 1000, 2, engine)
    assert out.splitlines()[3] == b"5 7 28%"  # 28.57 truncated
    assert out.splitlines()[7] == b"4 7 42%"  # measured against the length at entry
    assert len(corpus) == 4


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("polls", [0, 1, 2, 4])
def test_interrupt_keeps_merges_so_far(engine, polls):
    corpus = [1, 2, 3, 1, 2, 3, 4, 1, 2]
    full_out, full_merges, _, _ = core.train(corpus, 1000, 50, engine)
    out, merges, result, size = core.train(corpus, 1000, 50, engine, interrupt_after=polls)
    assert out.count(b"Iteration") == polls
    assert merges == full_merges[:polls]
    assert size == 256 + polls
    # The corpus is that of the last completed iteration.
    assert result == core.merge_corpus(corpus, merges, "straightforward")
    assert full_out.startswith(out)
