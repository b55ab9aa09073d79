"""brevix.Tokenizer: copying and pickling, files, and what every method does
with bad input (a clear exception, nothing half-done)."""

import array
import copy
import pathlib
import pickle
import random

import pytest

from brevix import Tokenizer, model

# The NumPy input and output forms are much of what these tests cover.
np = pytest.importorskip("numpy")

# Random letters: merges go on for hundreds of rounds (a text of repeated
# words collapses into a handful of tokens after a few dozen).
TEXT = "".join(random.Random(5).choices("abcdefgh é東\n", k=20000))


@pytest.fixture(scope="module")
def trained():
    tok = Tokenizer()
    tok.train(TEXT, 330)
    return tok


def _misaligned_int32(ids):
    raw = bytearray(1) + np.array(ids, dtype=np.int32).tobytes()
    return np.frombuffer(raw, dtype=np.int32, offset=1)


@pytest.mark.parametrize(
    "layout",
    [
        lambda ids: np.array(ids, dtype=np.int32),  # read in place
        lambda ids: np.repeat(np.array(ids, dtype=np.int32), 2)[::2],  # strided
        _misaligned_int32,
        lambda ids: np.array(ids, dtype=np.int64),
        lambda ids: np.array(ids, dtype=np.uint16),
    ],
    ids=["int32", "strided-int32", "misaligned-int32", "int64", "uint16"],
)
def test_every_integer_array_layout_decodes_alike(trained, layout):
    ids = trained.encode(TEXT)
    assert trained.decode(layout(ids)) == TEXT.encode()
    unsigned = layout(ids).dtype.kind == "u"
    for at, bad in [(0, -1), (len(ids) - 1, trained.vocab_size), (len(ids) // 2, 40000)]:
        if unsigned and bad < 0:
            continue
        broken = list(ids)
        broken[at] = bad
        with pytest.raises(ValueError, match=f"unknown token id {bad} at position {at} "):
            trained.decode(layout(broken))


@pytest.fixture(scope="module")
def doubling():
    """Tokens of "a" * 2**k up to 128 bytes and a special token of 504."""
    ranks = {bytes([b]): b for b in range(256)}
    ranks.update({b"a" * 2**k: 255 + k for k in range(1, 8)})
    return Tokenizer.from_tiktoken(ranks, pattern=None, special_tokens={"<|" + "x" * 500 + "|>": 300})


@pytest.mark.parametrize(
    "layout",
    [lambda ids: np.array(ids, dtype=np.int32), lambda ids: np.array(ids, dtype=np.int64)],
    ids=["int32", "int64"],
)
@pytest.mark.parametrize(
    "ids",
    [
        [262] * 5000,  # 128 bytes an id: the room guessed first grows again and again
        [97] * 5000,  # a byte an id: most of the room is cut off
        [300],  # one id longer than the first room
        [97, 300, 262, 98] * 3000,
        random.Random(3).choices([97, 256, 259, 262, 300], k=20000),
    ],
    ids=["long", "short", "special", "mixed", "random"],
)
def test_decoding_an_array_into_a_guessed_room(doubling, layout, ids):
    want = b"".join(doubling.token_bytes(i) for i in ids)
    assert doubling.decode(layout(ids)) == want
    broken = list(ids) + [262] * 3000 + [5000]
    with pytest.raises(ValueError, match=f"unknown token id 5000 at position {len(broken) - 1} "):
        doubling.decode(layout(broken))


def test_fresh_tokenizer_is_the_byte_table():
    tok = Tokenizer()
    assert (tok.vocab_size, tok.merges) == (256, [])
    assert tok.encode("é") == [195, 169]
    assert tok.decode([195, 169, 255, 0]) == "é".encode() + b"\xff\x00"
    assert [tok.token_bytes(i) for i in range(256)] == [bytes([b]) for b in range(256)]
    assert tok.encode(b"") == [] and tok.decode([]) == b""
    # The low-level class's signed byte ids are not ids here.
    for signed in (-61, -1, -128):
        with pytest.raises(ValueError, match=f"unknown token id {signed} .*the vocabulary has 256 ids"):
            tok.decode([signed])
        with pytest.raises(ValueError, match=f"unknown token id {signed}"):
            tok.token_bytes(signed)


def test_merges_and_token_bytes_describe_the_table(trained):
    assert [m[2] for m in trained.merges] == list(range(256, trained.vocab_size))
    for left, right, merged in trained.merges:
        assert trained.token_bytes(merged) == trained.token_bytes(left) + trained.token_bytes(right)


@pytest.mark.parametrize(
    "clone",
    [
        lambda t: pickle.loads(pickle.dumps(t)),
        lambda t: pickle.loads(pickle.dumps(t, protocol=0)),
        copy.copy,
        copy.deepcopy,
        lambda t: copy.deepcopy([t, t])[1],
    ],
    ids=["pickle", "pickle-0", "copy", "deepcopy", "deepcopy-in-list"],
)
def test_copies_are_independent_and_equal(trained, clone):
    other = clone(trained)
    assert type(other) is Tokenizer and other is not trained
    assert other.merges == trained.merges
    assert other.encode(TEXT) == trained.encode(TEXT)
    other.train(TEXT, 340)
    assert trained.vocab_size == 330 and other.vocab_size == 340


def test_pickles_carry_only_the_merge_table(trained):
    data = pickle.dumps(trained)
    assert b"brevix._tokenizer" in data and b"CoreTokenizer" not in data


@pytest.mark.parametrize("as_path", [str, pathlib.Path, lambda p: str(p).encode()])
def test_save_and_load_round_trip(trained, tmp_path, as_path):
    path = as_path(tmp_path / "m.model")
    trained.save(path)
    assert Tokenizer.load(path).merges == trained.merges


def test_load_refuses_files_that_are_not_models(tmp_path):
    (tmp_path / "corpus").write_bytes(TEXT.encode())
    (tmp_path / "random").write_bytes(bytes(range(256)) * 4)
    for name in ("corpus", "random"):
        with pytest.raises(model.ModelFormatError, match="line 1: not a brevix model") as e:
            Tokenizer.load(tmp_path / name)
        assert e.value.lineno == 1
    with pytest.raises(FileNotFoundError):
        Tokenizer.load(tmp_path / "missing")


@pytest.mark.parametrize("part", [b"1000", b"257", b"-129"])
def test_load_refuses_merges_that_do_not_describe_bytes(tmp_path, part):
    # Fine for the low-level class (it trains on any ints), not for bytes.
    (tmp_path / "m").write_bytes(b"brevix-merges 1\nmerges 2\n97 98 256\n" + part + b" 97 257\n")
    assert model.load(tmp_path / "m").size == 258
    with pytest.raises(model.ModelFormatError, match="line 4: part " + part.decode()) as e:
        Tokenizer.load(tmp_path / "m")
    assert e.value.lineno == 4


def test_from_low_level_refuses_tables_not_made_of_bytes():
    from brevix.tokenizer import PyBytePairTokenizer

    low = PyBytePairTokenizer()
    model._core.set_low_level_merges(low, [(300, 1, 256)])
    with pytest.raises(ValueError, match="not a byte or an earlier merge"):
        Tokenizer.from_low_level(low)
    with pytest.raises(TypeError, match="PyBytePairTokenizer"):
        Tokenizer.from_low_level(Tokenizer())  # type: ignore[arg-type]


def test_numpy_output_is_a_writable_int32_array(trained):
    out = trained.encode(TEXT, out="numpy")
    assert out.dtype == np.int32 and out.flags.writeable
    assert out.tolist() == trained.encode(TEXT)


def test_encode_takes_any_contiguous_buffer(trained):
    data = TEXT.encode()
    expected = trained.encode(data)
    for form in (bytearray(data), memoryview(data), np.frombuffer(data, np.uint8), TEXT):
        assert trained.encode(form) == expected


# ---- bad inputs ------------------------------------------------------------------

BAD_CALLS = [
    # (call on a trained tokenizer, exception, fragment of the message)
    (lambda t: t.encode(12), TypeError, "str or a bytes-like"),
    (lambda t: t.encode(None), TypeError, "str or a bytes-like"),
    (lambda t: t.encode([1, 2]), TypeError, "str or a bytes-like"),
    (lambda t: t.encode("\ud800"), UnicodeEncodeError, "surrogate"),
    (lambda t: t.encode(memoryview(b"abcd")[::2]), BufferError, "contiguous"),
    (lambda t: t.encode("x", out="array"), ValueError, "out must be"),
    (lambda t: t.encode_batch("abc"), TypeError, "single str"),
    (lambda t: t.encode_batch([b"a", 3]), TypeError, r"texts\[1\]"),
    (lambda t: t.encode_batch([b"a"], threads=0), ValueError, "threads"),
    (lambda t: t.encode_batch([b"a"], threads=2.0), TypeError, "threads"),
    (lambda t: t.encode_batch(5), TypeError, "iterable"),
    (lambda t: t.decode([1, 330]), ValueError, "unknown token id 330 at position 1"),
    (lambda t: t.decode([5, -129]), ValueError, "unknown token id -129"),
    (lambda t: t.decode([97, -61]), ValueError, "unknown token id -61 at position 1 .*330 ids"),
    (lambda t: t.decode([999, 2**40]), ValueError, "unknown token id 999"),
    (lambda t: t.decode([1, 2**40]), ValueError, "unknown token id 1099511627776"),
    (lambda t: t.decode(np.array([1, 2**40])), ValueError, "unknown token id 1099511627776"),
    (lambda t: t.decode(np.array([3, 400], np.uint16)), ValueError, "unknown token id 400"),
    (lambda t: t.decode(np.array([2**64 - 1], np.uint64)), ValueError, "unknown token id"),
    (lambda t: t.decode(array.array("i", [0, 7000])), ValueError, "position 1"),
    (lambda t: t.decode(np.zeros((2, 2), np.int32)), TypeError, "one-dimensional"),
    (lambda t: t.decode(np.zeros(3)), TypeError, "integers"),
    (lambda t: t.decode([1.0]), TypeError, "float"),
    (lambda t: t.decode(["1"]), TypeError, "str"),
    (lambda t: t.decode(b"abc"), TypeError, "bytes"),
    (lambda t: t.decode("abc"), TypeError, "str"),
    (lambda t: t.decode(7), TypeError, "iterable"),
    (lambda t: t.decode_batch([[1], [2, 999]]), ValueError, r"batch\[1\]: unknown token id 999"),
    (lambda t: t.decode_batch([[1], "x"]), TypeError, r"batch\[1\]"),
    (lambda t: t.decode_batch([1]), TypeError, r"batch\[0\]"),
    (lambda t: t.token_bytes(330), ValueError, "unknown token id 330"),
    (lambda t: t.token_bytes(-129), ValueError, "unknown token id -129"),
    (lambda t: t.token_bytes(-1), ValueError, "unknown token id -1"),
    (lambda t: t.token_bytes("a"), TypeError, "int"),
    (lambda t: t.train(b"abc", 256), ValueError, "between 257"),
    (lambda t: t.train(b"abc", 2**31), ValueError, "between 257"),
    (lambda t: t.train(b"abc", 300.0), TypeError, "vocab_size must be an int"),
    (lambda t: t.train(b"abc", True), TypeError, "vocab_size must be an int"),
    (lambda t: t.train([], 400), ValueError, "iterable is empty"),
    (lambda t: t.train(iter(()), 400), ValueError, "iterable is empty"),
    (lambda t: t.train(b"", 400), ValueError, "empty"),
    (lambda t: t.train([b"", ""], 400), ValueError, "empty"),
    (lambda t: t.train(12, 400), TypeError, "bytes-like, str, os.PathLike"),
    (lambda t: t.train([b"ab", 12], 400), TypeError, r"data\[1\]"),
    (lambda t: t.train(pathlib.Path("/no/such/file"), 400), FileNotFoundError, "/no/such/file"),
    (lambda t: t.train([b"ab", pathlib.Path("/no/such")], 400), FileNotFoundError, "/no/such"),
    (lambda t: t.train(pathlib.Path("/"), 400), IsADirectoryError, "/"),
    (lambda t: t.train(b"abab", 400, progress="yes"), TypeError, "progress"),
    (lambda t: t.train(b"abab", 400, progress=print_and_fail), ZeroDivisionError, None),
]


def print_and_fail(done, total):
    raise ZeroDivisionError


@pytest.mark.parametrize("call, exc, fragment", BAD_CALLS)
def test_bad_input_raises_clearly_and_changes_nothing(trained, call, exc, fragment):
    before = trained.merges
    with pytest.raises(exc, match=fragment):
        call(trained)
    assert trained.merges == before
    assert trained.decode(trained.encode(TEXT)) == TEXT.encode()


@pytest.mark.parametrize("vocab_size", [256, 0, -5])
def test_vocab_size_below_257_learns_nothing(vocab_size):
    tok = Tokenizer()
    with pytest.raises(ValueError):
        tok.train(TEXT, vocab_size)
    assert tok.merges == []


def test_progress_callback_sees_merges_done_of_total():
    seen = []
    tok = Tokenizer()
    tok.train(TEXT, 300, progress=lambda done, total: seen.append((done, total)))
    assert seen[-1] == (44, 44)
    assert all(total == 44 and 0 <= done <= 44 for done, total in seen)


def test_progress_bar_goes_to_stderr(capsys):
    tok = Tokenizer()
    tok.train(TEXT, 300, progress=True)
    captured = capsys.readouterr()
    assert captured.out == ""
    assert "44/44" in captured.err and "merge" in captured.err


def test_train_prints_nothing(capfd):
    tok = Tokenizer()
    tok.train(TEXT, 300)
    tok.encode(TEXT)
    assert capfd.readouterr() == ("", "")


def test_trace_writes_the_low_level_lines(capfd):
    tok = Tokenizer()
    tok.train(b"abababab", 258, trace=True)
    out = capfd.readouterr().out
    assert out.startswith("Iteration 1\n[97 .. 98] -> 4\n257\n")


def test_progress_callback_cannot_reenter_the_tokenizer():
    tok = Tokenizer()

    def reenter(done, total):
        tok.encode(b"x")

    with pytest.raises(RuntimeError, match="progress callback"):
        tok.train(TEXT, 300, progress=reenter)


def test_a_tokenizer_of_the_asked_size_learns_nothing():
    tok = Tokenizer()
    tok.train(TEXT, 300)
    before = tok.merges
    calls = []
    for size in (300, 299, 257):
        tok.train(TEXT, size, progress=lambda done, total: calls.append(done))
    assert tok.merges == before and calls == []


@pytest.mark.parametrize(
    ("table", "message"),
    [
        ([(97, 98, 256), (99, 100, 258)], r"merge \(99, 100 -> 258\): id 258 is outside 0\.\.257"),
        ([(97, 98, 256), (257, 1, 257)], r"merge \(257, 1 -> 257\): part 257 is not below"),
        ([(97, 98, 256), (-129, 1, 257)], r"part -129 is not below"),
        ([(97, 98, 256), (-61, 1, 257)], r"part -61 is not below"),
        ([(97, 98, 256), (99, 100, 257), (97, 98, 258)],
         r"merge \(97, 98 -> 258\): the pair is already merged by id 256"),
    ],
)
def test_a_refused_table_leaves_the_tokenizer_as_it_was(table, message):
    tok = Tokenizer(special_tokens=["<|end|>"])
    tok.train(b"hihi", 258)
    before = (tok.merges, tok.special_tokens, tok.pattern)
    assert before == ([(104, 105, 256)], {"<|end|>": 257}, None)
    with pytest.raises(ValueError, match=message):
        tok._core.set_model(list(range(256)), table, None, [(b"<|end|>", 300)])
    assert (tok.merges, tok.special_tokens, tok.pattern) == before
    assert tok.encode(b"hihi<|end|>", allowed_special="all") == [256, 256, 257]
