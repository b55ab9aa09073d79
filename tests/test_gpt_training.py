"""GPT-style training through brevix.Tokenizer.train: documents split by a
pattern, merges learned from piece counts; against the straightforward
trainer and rustbpe."""

import pathlib
import warnings

import pytest
from hypothesis import given, settings, strategies as st

from brevix import PATTERNS, Tokenizer

import reference_bpe as ref

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "src" / "brevix" / "data" / "sample.txt"

documents = st.lists(
    st.one_of(
        st.text(alphabet="ab cd'\nXY1.", max_size=40),
        st.text(max_size=30),
        st.binary(max_size=30),
    ),
    max_size=12,
)


def as_bytes(doc):
    return doc.encode("utf-8", "surrogatepass") if isinstance(doc, str) else doc


@settings(max_examples=60, deadline=None)
@given(documents, st.sampled_from(["gpt2", "cl100k", "o200k"]), st.integers(0, 60))
def test_training_matches_the_reference(docs, pattern, merges):
    tok = Tokenizer(pattern=pattern)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        tok.train(docs, 256 + max(merges, 1))
    counts = ref.piece_counts(PATTERNS[pattern], [as_bytes(d) for d in docs])
    assert tok.merges == ref.train_counts(counts, max(merges, 1))


def test_no_merge_crosses_a_piece_or_a_document():
    tok = Tokenizer(pattern="gpt2")
    tok.train(["hello world"] * 50 + ["ab", "ab"], 266)
    for left, right, merged in tok.merges:
        token = tok.token_bytes(merged)
        assert ref.split(PATTERNS["gpt2"], token) == [token]


@settings(max_examples=30, deadline=None)
@given(st.text(max_size=200))
def test_token_boundaries_include_piece_boundaries(text):
    tok = _sample_tokenizer()
    data = text.encode()
    ids = tok.encode(data)
    ends, at = set(), 0
    for i in ids:
        at += len(tok.token_bytes(i))
        ends.add(at)
    at = 0
    for piece in ref.split(tok.pattern, data):
        at += len(piece)
        assert at in ends


_cache = {}


def _sample_tokenizer():
    if "tok" not in _cache:
        tok = Tokenizer(pattern="cl100k", special_tokens=["<|endoftext|>"])
        tok.train(SAMPLE, 256 + 500 + 1, lines=True)
        _cache["tok"] = tok
    return _cache["tok"]


def test_continued_training_equals_training_at_once():
    once = Tokenizer(pattern="cl100k")
    once.train(SAMPLE, 256 + 400, lines=True)
    steps = Tokenizer(pattern="cl100k")
    steps.train(SAMPLE, 256 + 150, lines=True)
    steps.train(SAMPLE, 256 + 400, lines=True)
    assert steps.merges == once.merges


def test_files_lines_and_in_memory_documents_agree(tmp_path):
    lines = SAMPLE.read_bytes().split(b"\n")[:3000]
    path = tmp_path / "c.txt"
    path.write_bytes(b"\n".join(lines))
    from_file = Tokenizer(pattern="gpt2")
    from_file.train(path, 256 + 200, lines=True)
    in_memory = Tokenizer(pattern="gpt2")
    in_memory.train(lines, 256 + 200)
    assert from_file.merges == in_memory.merges
    whole = Tokenizer(pattern="gpt2")
    whole.train(path, 256 + 200)
    ref_counts = ref.piece_counts(PATTERNS["gpt2"], [path.read_bytes()])
    assert whole.merges == ref.train_counts(ref_counts, 200)


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_thread_count_does_not_change_the_result(threads):
    tok = Tokenizer(pattern="o200k")
    tok.train(SAMPLE, 256 + 300, lines=True, threads=threads)
    assert tok.merges == _o200k_merges()


def _o200k_merges():
    if "o200k" not in _cache:
        tok = Tokenizer(pattern="o200k")
        tok.train(SAMPLE, 256 + 300, lines=True, threads=1)
        _cache["o200k"] = tok.merges
    return _cache["o200k"]


def test_special_tokens_count_toward_the_size_and_are_never_learned():
    tok = Tokenizer(pattern="gpt2", special_tokens=["<|endoftext|>", "<|pad|>"])
    tok.train(["x<|endoftext|>y hello world " * 20, "<|pad|>" * 30], 264)
    assert tok.vocab_size == 264
    assert tok.special_tokens == {"<|endoftext|>": 262, "<|pad|>": 263}
    for _, _, merged in tok.merges:
        assert b"<|" not in tok.token_bytes(merged) or b"|>" not in tok.token_bytes(merged)


def test_a_size_the_data_cannot_reach_warns_with_the_count():
    tok = Tokenizer(pattern="gpt2")
    with pytest.warns(UserWarning, match="learned 2 of"):
        assert tok.train("abc", 1000) == 2
    unsplit = Tokenizer()
    with pytest.warns(UserWarning, match="learned 2 of"):
        unsplit.train("abc", 1000)


def test_rustbpe_learns_the_same_merges():
    rustbpe = pytest.importorskip("rustbpe")
    lines = SAMPLE.read_text(encoding="utf-8").splitlines(keepends=True)[:4000]
    theirs = rustbpe.Tokenizer()
    theirs.train_from_iterator(iter(lines), 256 + 300, pattern=PATTERNS["cl100k"])
    ranks = theirs.get_mergeable_ranks()
    ours = Tokenizer(pattern="cl100k")
    ours.train(lines, 256 + 300)
    assert ours.vocab == {bytes(token): rank for token, rank in ranks}


def test_fixed_special_ids_that_training_would_need_are_refused():
    tok = Tokenizer(pattern="gpt2", special_tokens={"<|x|>": 260})
    with pytest.raises(ValueError, match="260"):
        tok.train("aaaa bbbb " * 10, 300)


@pytest.mark.parametrize("pattern", ["gpt2", None])
def test_an_interrupt_keeps_the_merges_learned_so_far(pattern):
    whole = Tokenizer(pattern=pattern)
    whole.train(SAMPLE.read_bytes()[:100_000], 256 + 400)

    def stop_early(done, total):
        if done >= 50:
            raise KeyboardInterrupt

    tok = Tokenizer(pattern=pattern, special_tokens=["<|endoftext|>"])
    with pytest.raises(KeyboardInterrupt):
        tok.train(SAMPLE.read_bytes()[:100_000], 256 + 400 + 1, progress=stop_early)
    assert 50 <= len(tok.merges) <= 400  # reports come every few dozen ms
    assert tok.merges == whole.merges[: len(tok.merges)]
    assert tok.special_tokens == {"<|endoftext|>": 256 + len(tok.merges)}
    assert tok.decode(tok.encode("hello world")) == b"hello world"
