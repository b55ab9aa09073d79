"""brevix.Tokenizer without a pattern learns exactly the merges the low-level
PyBytePairTokenizer learns on the same bytes (byte ids made unsigned),
whatever form the data takes; it encodes them by rank, as the straightforward
reference does, and decodes what the low-level class decodes."""

import array
import contextlib
import gc
import importlib.resources
import os
import pathlib
import warnings

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from brevix import Tokenizer, _internal, model
from brevix.tokenizer import PyBytePairTokenizer

import reference_bpe as ref

# The NumPy input and output forms are much of what these tests cover.
np = pytest.importorskip("numpy")

INT32_MAX = 2**31 - 1
SAMPLE = (importlib.resources.files("brevix") / "data" / "sample.txt").read_bytes()

# Few distinct bytes make long merge chains and many ties; any bytes give
# negative ids and little repetition.
corpora = st.one_of(
    st.binary(min_size=1, max_size=400),
    st.lists(st.sampled_from(b"ab \xc3\xa9\n"), min_size=1, max_size=600).map(bytes),
)
vocab_sizes = st.integers(min_value=257, max_value=420)
SETTINGS = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])

# Small random corpora often run out of pairs before the size asked for.
pytestmark = pytest.mark.filterwarnings("ignore:the data ran out of pairs:UserWarning")


@contextlib.contextmanager
def native_stdout_silenced():
    """The low-level class prints through the C++ stream on fd 1."""
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def signed(data):
    return [b - 256 if b > 127 else b for b in data]


def unsigned(table):
    """Low-level merges with their signed byte ids made unsigned (-61 is
    byte 0xC3, id 195 for brevix.Tokenizer)."""
    def part(x):
        return x & 0xFF if x < 0 else x

    return [(part(left), part(right), merged) for left, right, merged in table]


def unsigned_merges(low):
    return unsigned(model.merges(low))


def low_level_after(calls):
    tok = PyBytePairTokenizer()
    with native_stdout_silenced():
        for data, vocab_size in calls:
            # Tokenizer.train stops at once when the size is already reached;
            # fit would record one more merge first.
            if tok.size < vocab_size:
                tok.fit(signed(data), vocab_size, INT32_MAX)
    return tok


@SETTINGS
@given(corpora, vocab_sizes, st.binary(max_size=200))
def test_train_encode_decode_match_the_low_level_class(data, vocab_size, text):
    tok = Tokenizer()
    tok.train(data, vocab_size)
    low = low_level_after([(data, vocab_size)])
    assert tok.merges == unsigned_merges(low)
    assert tok.vocab_size == low.size
    expected = ref.encode(text, tok.merges)
    assert tok.encode(text) == expected
    assert tok.encode(text, out="numpy").tolist() == expected
    # The low-level class reads ids 128..255 as the bytes they stand for.
    assert tok.decode(expected) == low.decode(expected) == text


@SETTINGS
@given(st.lists(st.tuples(corpora, vocab_sizes), min_size=2, max_size=3))
# Continuing on b"baa", fit encodes it as (ba, a) and learns "baa" a second time.
@example(calls=[(b"baaabaaba", 259), (b"baa", 260)])
def test_training_continues_like_repeated_fit(calls):
    tok = Tokenizer()
    stopped = []
    for data, vocab_size in calls:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            tok.train(data, vocab_size)
        stopped = [str(w.message) for w in caught if "training stopped before" in str(w.message)]
        if stopped:
            break
    expected = unsigned_merges(low_level_after(calls))
    if not stopped:
        assert tok.merges == expected
        return
    # The low-level table gives two ids the same bytes, which no vocabulary
    # holds: training keeps the merges before that one and says which it is.
    kept = len(tok.merges)
    assert tok.merges == expected[:kept]
    left, right, merged = expected[kept]
    assert f"merge ({left}, {right} -> {merged})" in stopped[0]
    repeated = tok.token_bytes(left) + tok.token_bytes(right)
    assert tok.token_id(repeated) < merged
    assert tok.decode(tok.encode(data)) == data


@SETTINGS
@given(corpora, vocab_sizes, st.integers(min_value=1, max_value=4))
def test_every_form_of_data_trains_the_same(data, vocab_size, pieces):
    expected = Tokenizer()
    expected.train(data, vocab_size)
    cut = [data[i * len(data) // pieces:(i + 1) * len(data) // pieces] for i in range(pieces)]
    forms = [
        bytearray(data),
        memoryview(data),
        np.frombuffer(data, dtype=np.uint8),
        np.frombuffer(data, dtype=np.uint8).reshape(1, -1),
        np.repeat(np.frombuffer(data, dtype=np.uint8), 2)[::2],  # not contiguous: copied
        cut,
        tuple(bytearray(c) for c in cut),
        iter(cut),
    ]
    for form in forms:
        tok = Tokenizer()
        tok.train(form, vocab_size)
        assert tok.merges == expected.merges


def test_str_and_files_are_their_bytes(tmp_path):
    text = "naïve café, lower lowest 東京\n" * 30
    expected = Tokenizer()
    expected.train(text.encode(), 300)
    path = tmp_path / "corpus.txt"
    path.write_bytes(text.encode())
    half = len(text) // 2
    (tmp_path / "a").write_text(text[:half], encoding="utf-8")
    for form in (text, path, [text[:half], text[half:]], [tmp_path / "a", text[half:].encode()]):
        tok = Tokenizer()
        tok.train(form, 300)
        assert tok.merges == expected.merges, form


@SETTINGS
@given(corpora, st.binary(max_size=300))
def test_decode_reads_every_container_alike(data, text):
    tok = Tokenizer()
    tok.train(data, 320)
    ids = tok.encode(text)
    containers = [
        ids,
        tuple(ids),
        iter(ids),
        array.array("i", ids),
        array.array("q", ids),
        np.array(ids, dtype=np.int32),
        np.array(ids, dtype=np.int64),
        np.array(ids, dtype=np.int16),
        np.repeat(np.array(ids, dtype=np.int64), 2)[::2],  # strided view
        tok.encode(text, out="numpy"),
    ]
    for ids_form in containers:
        assert tok.decode(ids_form) == text
    reusable = [c for c in containers if not hasattr(c, "__next__")]
    assert tok.decode_batch(reusable, threads=2) == [text] * len(reusable)
    assert b"".join(tok.token_bytes(i) for i in ids) == text


@SETTINGS
@given(corpora, st.lists(st.binary(max_size=80), max_size=12), st.integers(1, 4))
def test_batches_equal_one_call_per_item(data, texts, threads):
    tok = Tokenizer()
    tok.train(data, 330)
    single = [tok.encode(t) for t in texts]
    assert tok.encode_batch(texts, threads=threads) == single
    as_numpy = tok.encode_batch(texts, threads=threads, out="numpy")
    assert [a.tolist() for a in as_numpy] == single
    assert tok.decode_batch(single, threads=threads) == texts


def test_conversions_both_ways_keep_behaviour(tmp_path):
    data = pathlib.Path(__file__).read_bytes()[:20_000] + "naïve café 東京 ".encode() * 200
    tok = Tokenizer()
    tok.train(data, 400)
    assert any(128 <= part < 256 for left, right, _ in tok.merges for part in (left, right))
    low = tok.to_low_level()
    assert unsigned_merges(low) == tok.merges
    # Each class encodes in its own way; each decodes the other's ids.
    text = data[-700:]
    with native_stdout_silenced():
        low_ids = low.encode(text)
    assert low.decode(low_ids) == text
    assert tok.decode([i & 0xFF if i < 0 else i for i in low_ids]) == text
    assert tok.encode(text) == ref.encode(text, tok.merges)
    assert low.decode(tok.encode(text)) == text
    back = Tokenizer.from_low_level(low)
    assert back.merges == tok.merges
    # Tokenizer reads the low-level class's files (version 1) and its own
    # (version 2), which the low-level reader refuses by their version.
    tok.save(tmp_path / "m")
    assert Tokenizer.load(tmp_path / "m").merges == tok.merges
    with pytest.raises(model.ModelFormatError, match="line 1: unsupported format version 2"):
        model.load(tmp_path / "m")
    model.save(low, tmp_path / "n")
    assert Tokenizer.load(tmp_path / "n").merges == tok.merges


@SETTINGS
@given(corpora, st.data())
def test_decode_of_any_known_ids_matches_the_low_level_class(data, draw):
    tok = Tokenizer()
    tok.train(data, 340)
    low = tok.to_low_level()
    ids = draw.draw(st.lists(st.integers(0, tok.vocab_size - 1), max_size=200))
    expected = low.decode(ids)
    assert tok.decode(ids) == expected
    assert tok.decode(np.array(ids, dtype=np.int64)) == expected
    assert tok.decode_batch([ids, ids[::-1]]) == [expected, low.decode(ids[::-1])]
    # Signed byte ids are the low-level class's alone.
    negative = draw.draw(st.integers(-128, -1))
    with pytest.raises(ValueError, match=f"unknown token id {negative} at position {len(ids)}"):
        tok.decode(ids + [negative])


# Items of every accepted form, short and long: a batch is cut into runs of
# items of about 32 KB that threads encode into one id vector each, so runs
# that end mid-batch, a single item longer than a run, and empty items
# between them must all come back as their own encode would.
def _as_form(form, text):
    if form == "str":
        return text.decode("utf-8", "replace")
    return {
        "bytes": bytes,
        "bytearray": bytearray,
        "memoryview": memoryview,
        "numpy": lambda t: np.frombuffer(t, dtype=np.uint8),
        "sliced": lambda t: memoryview(b"<" + t + b">")[1:-1],
    }[form](text)


batch_items = st.tuples(
    st.sampled_from(["bytes", "str", "bytearray", "memoryview", "numpy", "sliced"]),
    st.one_of(
        st.just(b""),
        st.binary(max_size=40),
        st.builds(lambda piece, times: piece * times, st.binary(min_size=1, max_size=9), st.integers(1, 9000)),
    ),
).map(lambda item: _as_form(*item))


@pytest.fixture(scope="module")
def sample_tokenizer():
    tok = Tokenizer()
    tok.train(SAMPLE[:30_000], 600)
    return tok


@settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.lists(batch_items, max_size=30), st.integers(1, 3))
def test_batch_path_equals_encode_per_item(sample_tokenizer, texts, threads):
    tok = sample_tokenizer
    single = [tok.encode(t) for t in texts]
    assert tok.encode_batch(texts, threads=threads) == single
    assert [a.tolist() for a in tok.encode_batch(texts, threads=threads, out="numpy")] == single


@pytest.mark.parametrize("bad", [memoryview(b"abcdef")[::2], np.arange(6, dtype=np.uint8)[::2], 3])
@pytest.mark.parametrize("threads", [1, 2])
def test_batch_refuses_what_encode_refuses_naming_the_item(sample_tokenizer, bad, threads):
    with pytest.raises(Exception) as single:
        sample_tokenizer.encode(bad)
    with pytest.raises(type(single.value), match=r"^texts\[2\]: "):
        sample_tokenizer.encode_batch([b"ab", "cd", bad, b"ef"], threads=threads)


@pytest.mark.parametrize("enabled", [True, False])
def test_batch_leaves_the_garbage_collector_as_it_found_it(sample_tokenizer, enabled):
    # The result lists are built with the collector paused.
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        sample_tokenizer.encode_batch([b"x" * 10] * 2000, threads=2)
        with pytest.raises(TypeError):
            sample_tokenizer.encode_batch([b"x", None])
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


def test_long_text_trains_alike_on_threads():
    # 9 million bytes: Tokenizer.train and fit count them on the machine's
    # threads (two stretches on two cores) and never write back the final
    # corpus; the test engine "ordered" counts in three stretches and keeps it.
    data = (SAMPLE * (9_000_000 // len(SAMPLE) + 1))[:9_000_000]
    tok = Tokenizer()
    tok.train(data, 256 + 12)
    expected = _internal.train_sequence([(signed(data), 256 + 12, 12)], "ordered")[1]
    low_merges = model.merges(low_level_after([(data, 256 + 12)]))
    assert low_merges == expected
    assert tok.merges == unsigned(low_merges)
