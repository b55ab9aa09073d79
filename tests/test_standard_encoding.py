"""brevix.Tokenizer as a standard BPE tokenizer: ids from 0, merges applied
by rank, split patterns, special tokens; against a straightforward
reference, tiktoken and HF tokenizers."""

import gzip
import os
import pathlib
import random

import pytest
from hypothesis import given, settings, strategies as st

from brevix import PATTERNS, Tokenizer

import reference_bpe as ref

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "src" / "brevix" / "data" / "sample.txt"


def tokenizer_with(merges, pattern=None, special_tokens=None):
    tok = Tokenizer(pattern=pattern, special_tokens=special_tokens)
    tok._install(tok._data().__class__(merges=merges, pattern=tok.pattern,
                                       specials=tok.special_tokens), tok._fixed_ids)
    return tok


@pytest.fixture(scope="module")
def trained_gpt2():
    tok = Tokenizer(pattern="gpt2", special_tokens=["<|endoftext|>"])
    tok.train(SAMPLE, 256 + 600 + 1, lines=True)
    return tok


def test_merges_apply_by_rank_not_by_passes():
    # (b, c) first, then (a, b): "abc" is a, bc by rank.
    a, b, c = b"abc"
    tok = tokenizer_with([(b, c, 256), (a, b, 257)])
    assert tok.encode("abc") == [a, 256]
    assert tok.encode("ab") == [257]


def test_ids_start_at_zero():
    tok = Tokenizer()
    assert tok.encode(b"\x00\xc3\xff") == [0, 0xC3, 0xFF]
    assert tok.vocab_size == 256
    assert tok.decode([200]) == b"\xc8"
    with pytest.raises(ValueError):
        tok.decode([-56])


@settings(max_examples=60, deadline=None)
@given(st.binary(max_size=300), st.sampled_from([None, "gpt2", "cl100k", "o200k"]))
def test_encoding_matches_the_reference(trained_gpt2, data, pattern):
    tok = tokenizer_with(trained_gpt2.merges, pattern=pattern)
    assert tok.encode(data) == ref.encode(data, tok.merges, tok.pattern)
    assert tok.decode(tok.encode(data)) == data


@settings(max_examples=40, deadline=None)
@given(st.text(max_size=200))
def test_str_and_its_utf8_encode_alike(trained_gpt2, text):
    assert trained_gpt2.encode_ordinary(text) == trained_gpt2.encode_ordinary(text.encode())


def _word(rnd):
    size = rnd.randint(1, 20)
    if rnd.random() < 0.3:
        return rnd.randbytes(size)
    return "".join(rnd.choice("abé\x00") for _ in range(size)).encode()


# Long texts keep the ids of the pieces they repeat, in a table of a few
# thousand: a few hundred distinct words (so that pieces meet in the table)
# repeated past 8 KB, with pieces around the 16 bytes a kept piece may have,
# pieces alike in their first 8 bytes and their size, zero bytes and bytes
# that are not UTF-8; the last piece ends the text.
@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("pattern", ["gpt2", "o200k"])
def test_long_texts_of_repeated_pieces_match_the_reference(trained_gpt2, seed, pattern):
    tok = tokenizer_with(trained_gpt2.merges, pattern=pattern)
    rnd = random.Random(seed)
    words = [_word(rnd) for _ in range(600)]
    words += [w[:9] + w[9:].translate(bytes.maketrans(b"ab", b"ba")) for w in words if len(w) > 9]
    data = b" ".join(rnd.choice(words) for _ in range(4000))
    want = ref.encode(data, tok.merges, tok.pattern)
    assert tok.encode(data) == want
    assert tok.encode(data, max_tokens=len(want) // 2) == want[: len(want) // 2]
    assert tok.count(data) == len(want)


def test_special_tokens_follow_tiktoken(trained_gpt2):
    tok = trained_gpt2
    eot = tok.special_tokens["<|endoftext|>"]
    assert eot == tok.vocab_size - 1
    text = "hi<|endoftext|>there"
    with pytest.raises(ValueError, match="endoftext"):
        tok.encode(text)
    allowed = tok.encode(text, allowed_special="all")
    assert eot in allowed and tok.decode(allowed) == text.encode()
    assert tok.encode(text, allowed_special={"<|endoftext|>"}) == allowed
    ordinary = tok.encode(text, disallowed_special=())
    assert eot not in ordinary and ordinary == tok.encode_ordinary(text)
    assert tok.decode(ordinary) == text.encode()
    with pytest.raises(ValueError, match="not a special token"):
        tok.encode(text, allowed_special={"<|nope|>"})
    assert tok.encode_batch([text, "x"], allowed_special="all")[0] == allowed


def test_special_tokens_never_merge_with_text(trained_gpt2):
    tok = trained_gpt2
    eot = tok.special_tokens["<|endoftext|>"]
    ids = tok.encode("a<|endoftext|><|endoftext|>b", allowed_special="all")
    assert ids.count(eot) == 2
    assert ids == tok.encode("a") + [eot, eot] + tok.encode("b")


def test_vocab_lookups_both_ways(trained_gpt2):
    tok = trained_gpt2
    vocab = tok.vocab
    assert len(vocab) == 256 + len(tok.merges)
    for token, i in list(vocab.items())[::50]:
        assert tok.token_id(token) == i and tok.token_bytes(i) == token
    assert tok.token_id("<|endoftext|>") == tok.special_tokens["<|endoftext|>"]
    with pytest.raises(KeyError):
        tok.token_id(b"\x00\x01\x02 not a token")


def test_named_patterns_are_the_published_ones():
    assert Tokenizer(pattern="cl100k").pattern == PATTERNS["cl100k"]
    assert PATTERNS["gpt2"].startswith("'s|'t|'re")


@pytest.mark.parametrize("pattern, position", [("(abc", 0), ("a{2,1}", 1), ("[z-a]", 1), ("\\p{Nope}", 0)])
def test_invalid_pattern_names_its_position(pattern, position):
    with pytest.raises(ValueError, match="position"):
        Tokenizer(pattern=pattern)


def _bpe_openai_file(name):
    bpe_openai = pytest.importorskip("bpe_openai")
    path = pathlib.Path(bpe_openai.__file__).parent / "data" / f"{name}.tiktoken.gz"
    if not path.exists():
        pytest.skip(f"{path} missing")
    return path


def _real_text(limit=400_000):
    chunks, size = [], 0
    for path in sorted(pathlib.Path(os.__file__).parent.glob("*.py")):
        data = path.read_bytes()
        chunks.append(data)
        size += len(data)
        if size > limit:
            break
    chunks.append(SAMPLE.read_bytes()[:100_000])
    return b"".join(chunks).decode("utf-8", "replace")


@pytest.fixture(scope="module", params=["cl100k_base", "o200k_base"])
def openai_pair(request):
    tiktoken = pytest.importorskip("tiktoken")
    path = _bpe_openai_file(request.param)
    short = request.param.split("_")[0]
    specials = {"<|endoftext|>": 100257} if short == "cl100k" else {"<|endoftext|>": 199999}
    tok = Tokenizer.from_tiktoken(path, pattern=short, special_tokens=specials)
    ranks = {}
    import base64

    for line in gzip.open(path).read().splitlines():
        token, rank = line.split()
        ranks[base64.b64decode(token)] = int(rank)
    enc = tiktoken.Encoding(request.param, pat_str=PATTERNS[short], mergeable_ranks=ranks,
                            special_tokens=specials)
    return tok, enc


def test_real_vocabularies_encode_as_tiktoken_on_real_text(openai_pair):
    tok, enc = openai_pair
    text = _real_text()
    assert tok.encode(text) == enc.encode_ordinary(text)
    assert tok.vocab_size == enc.n_vocab


@settings(max_examples=150, deadline=None)
@given(st.text(alphabet=st.characters(codec="utf-8", categories=["L", "M", "N", "P", "S", "Z", "Cc"]),
               max_size=120))
def test_real_vocabularies_encode_as_tiktoken_on_unicode(openai_pair, text):
    tok, enc = openai_pair
    assert tok.encode(text) == enc.encode_ordinary(text)
    special = text + "<|endoftext|>" + text
    assert tok.encode(special, allowed_special="all") == enc.encode(special, allowed_special="all")
