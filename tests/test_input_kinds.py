"""What brevix.Tokenizer takes as text and as training data: buffers whose
items are not single bytes are refused rather than read as raw memory; a
str is text (with a warning when it names a file); files are given as
os.PathLike documents or by files=[...], HF tokenizers' spelling."""

import array
import pathlib
import warnings

import pytest

from brevix import Tokenizer

np = pytest.importorskip("numpy")

TEXT = b"the lower lowest newer newest wider widest " * 40


@pytest.fixture(scope="module")
def tok():
    t = Tokenizer(pattern="gpt2", special_tokens=["<|end|>"])
    with pytest.warns(UserWarning, match="ran out of pairs"):
        t.train(TEXT, 300)
    return t


NOT_BYTES = [
    np.arange(3, dtype=np.int64),
    np.arange(3, dtype=np.int32),
    np.zeros(4, dtype=np.float32),
    array.array("i", [104, 105]),
    array.array("H", [104]),
    memoryview(b"abcd").cast("I"),
]


@pytest.mark.parametrize("buffer", NOT_BYTES, ids=lambda b: getattr(b, "dtype", None) or type(b).__name__)
@pytest.mark.parametrize(
    "call",
    [
        lambda t, b: t.encode(b),
        lambda t, b: t.encode_ordinary(b),
        lambda t, b: t.encode_batch([b"ok", b]),
        lambda t, b: Tokenizer().train(b, 300),
        lambda t, b: Tokenizer(pattern="gpt2").train([b"ok", b], 300),
    ],
    ids=["encode", "encode_ordinary", "encode_batch", "train_unsplit", "train_pieces"],
)
def test_buffers_of_wider_items_are_refused(tok, buffer, call):
    with pytest.raises(TypeError, match="single bytes"):
        call(tok, buffer)


@pytest.mark.parametrize(
    "buffer",
    [
        b"hello",
        bytearray(b"hello"),
        memoryview(b"hello"),
        array.array("B", b"hello"),
        array.array("b", b"hello"),
        np.frombuffer(b"hello", dtype=np.uint8),
        np.frombuffer(b"hello", dtype=np.int8),
        memoryview(np.frombuffer(b"hello", dtype=np.uint8)),
    ],
)
def test_buffers_of_single_bytes_are_text(tok, buffer):
    assert tok.encode(buffer) == tok.encode(b"hello")
    assert tok.encode_batch([buffer]) == [tok.encode(b"hello")]


def test_files_by_name_train_as_the_same_files_given_as_paths(tmp_path):
    a, b = tmp_path / "a.txt", tmp_path / "b.txt"
    a.write_bytes(TEXT)
    b.write_bytes(TEXT.upper() + b"\n" + TEXT[::-1])
    expected = Tokenizer(pattern="gpt2")
    # The small texts run out of pairs before these sizes, which warns.
    with pytest.warns(UserWarning, match="ran out of pairs"):
        expected.train([a, b], 320, lines=True)
    for files in ([str(a), str(b)], [bytes(a), b], (p for p in [a, str(b)])):
        tok = Tokenizer(pattern="gpt2")
        with pytest.warns(UserWarning, match="ran out of pairs"):
            tok.train(files=files, vocab_size=320, lines=True)
        assert tok.merges == expected.merges
    single = Tokenizer(pattern="gpt2")
    with pytest.warns(UserWarning, match="ran out of pairs"):
        single.train(files=str(a), vocab_size=300)
    whole = Tokenizer(pattern="gpt2")
    with pytest.warns(UserWarning, match="ran out of pairs"):
        whole.train(a, 300)
    assert single.merges == whole.merges
    unsplit = Tokenizer()
    unsplit.train(files=[a], vocab_size=280)
    assert unsplit.merges == Tokenizer.from_low_level(_fitted(TEXT, 24)).merges


def _fitted(data, merges):
    from brevix.tokenizer import PyBytePairTokenizer

    low = PyBytePairTokenizer()
    low.fit(list(data), 256 + merges, merges)
    return low


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"data": b"x", "files": ["a"], "vocab_size": 300}, TypeError),
        ({"vocab_size": 300}, TypeError),
        ({"files": ["a"]}, TypeError),
        ({"files": [1], "vocab_size": 300}, TypeError),
        ({"files": 3, "vocab_size": 300}, TypeError),
        ({"files": [], "vocab_size": 300}, ValueError),
        ({"files": ["/nonexistent/corpus.txt"], "vocab_size": 300}, OSError),
    ],
)
def test_bad_files_arguments(kwargs, error):
    with pytest.raises(error):
        Tokenizer(pattern="gpt2").train(**kwargs)


def test_a_str_is_text_and_a_warning_says_so_when_it_names_a_file(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    pathlib.Path("corpus.txt").write_bytes(TEXT)
    for data in ("corpus.txt", ["corpus.txt", "more text"]):
        tok = Tokenizer(pattern="gpt2")
        with pytest.warns(UserWarning, match="files=") as caught:
            with pytest.warns(UserWarning, match="ran out of pairs"):
                tok.train(data, 300)
        assert "'corpus.txt'" in str(caught[0].message)
        # The eleven characters of the name were the training text.
        assert all(b"".join(tok.token_bytes(i) for i in (m[0], m[1])) in b"corpus.txt more text"
                   for m in tok.merges)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        Tokenizer(pattern="gpt2").train("no file has this name " * 20, 262)
        Tokenizer(pattern="gpt2").train(pathlib.Path("corpus.txt"), 270)


def test_an_id_array_rewritten_while_it_is_decoded_gives_bytes_or_an_error(tok):
    # NumPy copies large arrays without the interpreter lock, so a writer
    # thread changes the ids between decode's measuring read and its writing
    # read; under the sanitizers this also proves nothing is written out of
    # bounds.
    import threading

    longest = max(range(tok.vocab_size), key=lambda i: len(tok.token_bytes(i)))
    n = 1 << 20
    states = [np.full(n, longest, np.int32), np.full(n, 97, np.int32), np.full(n, 10**6, np.int32)]
    ids = states[0].copy()
    stop = threading.Event()

    def rewrite():
        k = 0
        while not stop.is_set():
            np.copyto(ids, states[k % 3])
            k += 1

    writer = threading.Thread(target=rewrite)
    writer.start()
    outcomes = set()
    try:
        for _ in range(40):
            try:
                out = tok.decode(ids)
            except (ValueError, RuntimeError) as error:
                outcomes.add(type(error).__name__)
            else:
                assert isinstance(out, bytes) and len(out) <= n * len(tok.token_bytes(longest))
                outcomes.add("bytes")
    finally:
        stop.set()
        writer.join()
    assert outcomes
    assert tok.decode(states[1]) == b"a" * n
