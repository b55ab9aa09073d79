"""What serving a model needs besides encode: counting, a token limit,
offsets, streaming decode and ragged batches."""

import pathlib
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

from brevix import Tokenizer

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "src" / "brevix" / "data" / "sample.txt"
texts = st.one_of(st.text(max_size=200), st.text(alphabet="ab <|endoftext|>é😀", max_size=120))
SETTINGS = settings(max_examples=80, deadline=None)


@pytest.fixture(scope="module", params=["cl100k", None])
def tok(request):
    tokenizer = Tokenizer(pattern=request.param, special_tokens=["<|endoftext|>"])
    tokenizer.train(SAMPLE.read_bytes()[:150_000], 256 + 800 + 1)
    return tokenizer


@SETTINGS
@given(texts, st.integers(0, 60))
def test_count_and_prefixes_agree_with_encode(tok, text, limit):
    full = tok.encode(text, allowed_special="all")
    assert tok.count(text, allowed_special="all") == len(full)
    assert tok.encode(text, allowed_special="all", max_tokens=limit) == full[:limit]
    assert tok.count_batch([text, text + "x"], allowed_special="all")[0] == len(full)


@SETTINGS
@given(texts)
def test_offsets_locate_every_token(tok, text):
    data = text.encode()
    ids, offsets = tok.encode_with_offsets(data, allowed_special="all")
    assert ids == tok.encode(data, allowed_special="all")
    assert [data[o:o + len(tok.token_bytes(i))] for i, o in zip(ids, offsets)] == [
        tok.token_bytes(i) for i in ids
    ]
    ids_str, chars = tok.encode_with_offsets(text, allowed_special="all")
    assert ids_str == ids and chars == sorted(chars)
    for i, (byte_offset, char_offset) in enumerate(zip(offsets, chars)):
        # the character that holds the token's first byte starts at or before it
        assert len(text[:char_offset].encode()) <= byte_offset < len(text[:char_offset + 1].encode())


@SETTINGS
@given(texts, st.data())
def test_streamed_text_equals_the_whole_decode_for_any_cuts(tok, text, data):
    ids = tok.encode(text, allowed_special="all")
    cuts = sorted(data.draw(st.lists(st.integers(0, len(ids)), max_size=8)))
    stream = tok.decoder()
    pieces, start = [], 0
    for cut in cuts + [len(ids)]:
        pieces.append(stream.feed(ids[start:cut]))
        start = cut
    pieces.append(stream.flush())
    assert "".join(pieces) == tok.decode_text(ids) == text


@SETTINGS
@given(texts, st.sampled_from(["replace", "ignore", "backslashreplace", "surrogateescape"]))
def test_feeding_one_int_at_a_time_equals_the_whole_decode(tok, text, errors):
    # Stray bytes (split characters, a lone continuation byte) on top of the
    # encoding, so that every handler has something to do.
    ids = tok.encode(text, allowed_special="all")
    ids[1:1] = [tok.token_id(b"\xc3"), tok.token_id(b"\xa9"), tok.token_id(b"\xa9")]
    ids.append(tok.token_id(b"\xe2"))
    stream = tok.decoder(errors=errors)
    streamed = "".join(stream.feed(i) for i in ids) + stream.flush()
    assert streamed == tok.decode(ids).decode("utf-8", errors)


@pytest.mark.parametrize("bad", [-1, 10**6, 2**31, -(2**63), 10**30, type("Id", (int,), {})(10**6)])
def test_one_bad_int_is_refused_like_decode_refuses_it(tok, bad):
    stream = tok.decoder()
    stream.feed(tok.token_id(b"\xc3"))
    with pytest.raises(ValueError) as fed:
        stream.feed(bad)
    with pytest.raises(ValueError) as decoded:
        tok.decode([bad])
    assert str(fed.value) == str(decoded.value)
    # The held byte survives the refused id.
    assert stream.feed(tok.token_id(b"\xa9")) == "é"


def test_a_stream_follows_its_tokenizer_and_refuses_odd_arguments(tok):
    copy = Tokenizer.from_low_level(tok.to_low_level()) if tok.pattern is None else None
    with pytest.raises(LookupError):
        tok.decoder(errors="no-such-handler")
    with pytest.raises(TypeError):
        tok.decoder().feed("text")
    with pytest.raises(TypeError):
        tok.decoder().feed(1.0)
    stream = tok.decoder()
    assert stream.feed(tok.token_id(b"a")) == "a" and stream.flush() == ""
    if copy is not None:
        # A stream of a tokenizer decodes with that tokenizer's current model.
        later = copy.decoder()
        copy.train(b"zzzz zzzz zzzz", copy.vocab_size + 1)
        assert later.feed(copy.vocab_size - 1) == copy.decode_text([copy.vocab_size - 1])


def test_streaming_holds_back_an_unfinished_character(tok):
    ids = tok.encode_ordinary("é")  # bytes c3 a9, one or two tokens
    byte_ids = [tok.token_id(bytes([b])) for b in "é".encode()]
    stream = tok.decoder()
    assert stream.feed(byte_ids[:1]) == ""
    assert stream.feed(byte_ids[1:]) == "é"
    assert tok.decode_text(ids) == "é"
    stream.feed(byte_ids[:1])
    assert stream.flush() == "\ufffd"
    strict = tok.decoder(errors="strict")
    strict.feed(byte_ids[:1])
    with pytest.raises(UnicodeDecodeError):
        strict.flush()


def test_ragged_batches_equal_the_lists(tok):
    np = pytest.importorskip("numpy")
    batch = ["one text", "", "naïve café " * 50, "<|endoftext|>"]
    flat, offsets = tok.encode_batch(batch, allowed_special="all", out="ragged", threads=2)
    assert flat.dtype == np.int32 and offsets.dtype == np.int64 and len(offsets) == len(batch) + 1
    lists = tok.encode_batch(batch, allowed_special="all")
    assert [flat[offsets[i]:offsets[i + 1]].tolist() for i in range(len(batch))] == lists


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda t: t.encode("x", max_tokens=-1), ValueError),
        (lambda t: t.encode("x", max_tokens=1.5), TypeError),
        (lambda t: t.count([1, 2]), TypeError),
        (lambda t: t.count("<|endoftext|>"), ValueError),
        (lambda t: t.decode_text([10**6]), ValueError),
        (lambda t: t.decoder().feed([-1]), ValueError),
        (lambda t: t.encode_batch(["x"], out="rag"), ValueError),
    ],
)
def test_bad_calls_are_refused(tok, call, error):
    with pytest.raises(error):
        call(tok)


def test_max_tokens_on_a_long_text_stops_early():
    tok = Tokenizer(pattern="gpt2")
    tok.train(SAMPLE, 256 + 200, lines=True)
    text = SAMPLE.read_bytes() * 4
    assert tok.encode(text, max_tokens=100) == tok.encode(text[:2000])[:100]


def test_cli_counts_files_and_the_total(tok, tmp_path):
    model = tmp_path / "m.model"
    tok.save(model)
    a, b = tmp_path / "a.txt", tmp_path / "b.txt"
    a.write_text("hello world", encoding="utf-8")
    b.write_text("<|endoftext|> again", encoding="utf-8")
    run = subprocess.run(
        [sys.executable, "-m", "brevix", "count", str(model), str(a), str(b)],
        capture_output=True, text=True, check=True,
    )
    counts = [int(line.split("\t")[0]) for line in run.stdout.splitlines()]
    expected = [tok.count(a.read_bytes(), disallowed_special=()),
                tok.count(b.read_bytes(), disallowed_special=())]
    assert counts == expected + [sum(expected)]


def test_a_failed_strict_flush_keeps_the_held_bytes(tok):
    byte_ids = [tok.token_id(bytes([b])) for b in "é".encode()]
    strict = tok.decoder(errors="strict")
    assert strict.feed(byte_ids[:1]) == ""
    with pytest.raises(UnicodeDecodeError):
        strict.flush()
    # Nothing is lost: the held byte still completes the character.
    assert strict.feed(byte_ids[1:]) == "é"
    assert strict.flush() == ""
    with pytest.raises(UnicodeDecodeError):
        strict.feed([tok.token_id(b"\xff"), tok.token_id(b"a")])
    assert strict.feed([tok.token_id(b"a")]) == "a"


def test_a_stream_decodes_with_the_model_its_tokenizer_has_now():
    # The stream keeps token texts between feeds; a replaced model drops them.
    tok = Tokenizer()
    tok._core.set_model(list(range(256)), [(97, 98, 256)], None, [])
    stream = tok.decoder()
    assert [stream.feed(256), stream.feed([256, 97])] == ["ab", "aba"]
    tok._core.set_model(list(range(256)), [(99, 100, 256)], None, [])
    assert [stream.feed(256), stream.feed((256,))] == ["cd", "cd"]
    with pytest.raises(ValueError, match="unknown token id 257"):
        stream.feed(257)
