"""Training straight from bytes or a file: exactly the training of fit on
the same bytes read as signed ids, interruptible while the engine is built,
and MemoryError (merges kept) when the corpus does not fit."""

import os
import signal
import sys

import pytest
from hypothesis import given, settings, strategies as st

from brevix import _internal as core
from brevix.tokenizer import PyBytePairTokenizer
from helpers import SANITIZED, run_python, run_under_memory_limit
from test_engine_differential import real_text, signed



def train_from(source, max_vocab_size, n_iter, merges=None, **kwargs):
    tok = PyBytePairTokenizer()
    if merges:
        core.set_merges(tok, merges)
    out = core.train_bytes(tok, source, max_vocab_size, n_iter, **kwargs)
    return out, core.get_merges(tok), tok.size


def reference(data, max_vocab_size, n_iter, merges=None):
    out, learned, _, size = core.train(signed(data), max_vocab_size, n_iter, "straightforward", merges)
    return out, learned, size


# Few distinct bytes (ties, runs), high bytes (negative ids) and text.
corpora = st.one_of(
    st.binary(max_size=300),
    st.lists(st.sampled_from(b"ab\x80\xff "), max_size=400).map(bytes),
    st.text(alphabet="the cat sat on a mat\u00e9\u4e2d", max_size=200).map(str.encode),
)


@settings(max_examples=150, deadline=None)
@given(data=corpora, max_vocab_size=st.integers(250, 400), n_iter=st.integers(0, 120),
       prior=st.integers(0, 3))
def test_bytes_train_exactly_like_fit_on_signed_ids(tmp_path_factory, data, max_vocab_size, n_iter, prior):
    # Earlier merges (learned on a prefix) exercise the rebuild paths.
    merges = reference(data[: len(data) // 2], 100_000, prior)[1] if prior else None
    expected = reference(data, max_vocab_size, n_iter, merges)
    assert train_from(data, max_vocab_size, n_iter, merges) == expected
    path = tmp_path_factory.mktemp("corpus") / "corpus.bin"
    path.write_bytes(data)
    assert train_from(path, max_vocab_size, n_iter, merges) == expected


@pytest.mark.parametrize("offset", range(0, 200_000, 50_000))
def test_real_text_from_bytes_and_buffers(offset):
    chunk = real_text()[offset:][:20_000]
    expected = reference(chunk, 100_000, 300)
    for source in (chunk, bytearray(chunk), memoryview(chunk)):
        assert train_from(source, 100_000, 300) == expected


def test_missing_file_and_wrong_tokenizer(tmp_path):
    with pytest.raises(FileNotFoundError):
        train_from(tmp_path / "absent", 1000, 10)
    with pytest.raises(TypeError):
        core.train_bytes(object(), b"abc", 1000, 10)
    (tmp_path / "empty").write_bytes(b"")
    assert train_from(tmp_path / "empty", 1000, 10) == reference(b"", 1000, 10)


@pytest.mark.slow
def test_interrupt_during_the_build_keeps_a_prefix_of_the_merges():
    # 9 MB: the build polls every million positions of its first stretch in
    # each of its two passes before the first iteration polls: 18 polls in
    # one stretch, 10 in two (machines with two threads or more).
    data = (real_text() * 200)[:9_000_000]
    full = train_from(data, 100_000, 3)[1]
    assert len(full) == 3
    learned = [train_from(data, 100_000, 3, interrupt_after=k)[1] for k in (0, 5, *range(9, 22), 100)]
    assert all(m == full[: len(m)] for m in learned)
    assert learned[0] == [] and learned[-1] == full
    assert {len(m) for m in learned} == {0, 1, 2, 3}


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_sigint_during_the_build_raises_keyboard_interrupt():
    out = run_python(
        """
        import signal
        from brevix import _internal
        from brevix.tokenizer import PyBytePairTokenizer
        tok = PyBytePairTokenizer()
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        signal.signal(signal.SIGALRM, lambda *_: signal.raise_signal(signal.SIGINT))
        try:
            _internal.train_bytes(tok, bytes(range(256)) * 800_000, 1000, 5)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", tok.size)
        """
    ).stdout
    assert out.split() in ([b"interrupted", b"256"], [b"finished"])


LIMITED_SETUP = """
import os
from brevix import _internal
from brevix.tokenizer import PyBytePairTokenizer

tok = PyBytePairTokenizer()
_internal.train_bytes(tok, b"abracadabra " * 100, 1000, 5)
before = _internal.get_merges(tok)
path = {path!r}
with open(path, "wb") as f:
    f.write(os.urandom(1 << 20) * 120)
with open(path, "rb") as f:
    in_memory = f.read(20 << 20) * 5

calls = {{
    "file": lambda: _internal.train_bytes(tok, path, 100_000, 10),
    "bytes": lambda: _internal.train_bytes(tok, in_memory, 100_000, 10),
}}

def check():
    print("merges kept", _internal.get_merges(tok) == before)
"""

LIMITED_AFTER = """
_internal.train_bytes(tok, b"abracadabra " * 100, 1000, 2)
print("trained", _internal.get_merges(tok)[: len(before)] == before)
"""


@pytest.mark.skipif(SANITIZED, reason="address-space limits defeat the sanitizer's shadow memory")
def test_corpus_too_big_for_memory_raises_memory_error_and_keeps_the_merges(tmp_path):
    setup = LIMITED_SETUP.format(path=str(tmp_path / "big.bin"))
    lines = run_under_memory_limit(setup, headroom_mb=600, after=LIMITED_AFTER)
    # Training prints its progress lines among these.
    outcomes = [line for line in lines if line.split(" ")[0] in ("file", "bytes", "merges", "trained")]
    assert outcomes == [
        "file MemoryError",
        "merges kept True",
        "bytes MemoryError",
        "merges kept True",
        "trained True",
    ]
