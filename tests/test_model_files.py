"""brevix.Tokenizer's files: its own model file (version 2, version 3 with
metadata, and version 1 still loading), tiktoken's rank files and HF
tokenizers' tokenizer.json."""

import copy
import gzip
import pathlib
import pickle

import pytest

from brevix import Tokenizer, model, model_file

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "src" / "brevix" / "data" / "sample.txt"
TEXT = SAMPLE.read_text(encoding="utf-8")[:60_000] + " naïve café 😀 \x00\xff"


@pytest.fixture(scope="module", params=[None, "gpt2", "cl100k", r"\w+|[^\w]"])
def trained(request):
    tok = Tokenizer(pattern=request.param, special_tokens=["<|endoftext|>", "<|pad|>"])
    if request.param is None:
        tok.train(SAMPLE.read_bytes()[:200_000], 256 + 300 + 2)
    else:
        tok.train(SAMPLE, 256 + 300 + 2, lines=True)
    return tok


def test_model_file_round_trip(trained, tmp_path):
    path = tmp_path / "m.model"
    trained.save(path)
    back = Tokenizer.load(path)
    assert back.merges == trained.merges
    assert back.pattern == trained.pattern
    assert back.special_tokens == trained.special_tokens
    text = TEXT + "<|pad|>"
    assert back.encode(text, allowed_special="all") == trained.encode(text, allowed_special="all")


def test_version_1_files_load_with_unsigned_ids(tmp_path):
    path = tmp_path / "v1.model"
    path.write_bytes(b"brevix-merges 1\nmerges 2\n-61 -87 256\n97 256 257\n")
    tok = Tokenizer.load(path)
    assert tok.merges == [(195, 169, 256), (97, 256, 257)]
    assert tok.encode("aé") == [257]


@pytest.mark.parametrize(
    "body, line, message",
    [
        (b"brevix-merges 4\n", 1, "unsupported"),
        (b"brevix-merges 3\npattern none\nbytes identity\nmerges 0\nspecials 0\n", 6, "'metadata"),
        (b"brevix-merges 3\npattern none\nbytes identity\nmerges 0\nspecials 0\nmetadata [1]\n", 6, "JSON object"),
        (b"brevix-merges 3\npattern none\nbytes identity\nmerges 0\nspecials 0\nmetadata {}\n", 6, "not empty"),
        (b"brevix-merges 3\npattern none\nbytes identity\nmerges 0\nspecials 0\nmetadata {\"a\": 1}\nx\n", 7,
         "after the metadata"),
        (b"brevix-merges 2\npattern none\nbytes identity\nmerges 0\nspecials 0\nmetadata {\"a\": 1}\n", 6,
         "after the special tokens"),
        (b"brevix-merges 2\npattern 12\n", 2, "JSON string"),
        (b"brevix-merges 2\npattern none\nbytes 1 2\n", 3, "permutation"),
        (b"brevix-merges 2\npattern none\nbytes identity\nmerges 1\n97 98 300\nspecials 0\n", 5, "expected 256"),
        (b"brevix-merges 2\npattern none\nbytes identity\nmerges 2\n97 98 256\n", 6, "truncated"),
        (b"brevix-merges 2\npattern none\nbytes identity\nmerges 0\nspecials 1\n9 \"<x>\"\n", None, "9"),
        (b"brevix-merges 2\npattern \"(ab\"\nbytes identity\nmerges 0\nspecials 0\n", None, "position"),
        (b"not a model at all\n", 1, "not a brevix model"),
    ],
)
def test_damaged_model_files_are_refused(tmp_path, body, line, message):
    path = tmp_path / "bad.model"
    path.write_bytes(body)
    with pytest.raises(ValueError, match=message) as info:
        Tokenizer.load(path)
    if line is not None:
        assert isinstance(info.value, model.ModelFormatError) and info.value.lineno == line


def test_metadata_travels_with_the_model(trained, tmp_path):
    tok = copy.copy(trained)
    assert tok.metadata == {}
    path = tmp_path / "m.model"
    tok.save(path)
    assert path.read_bytes().startswith(b"brevix-merges 2\n")  # earlier readers still load it
    record = {"pruned_pieces": [{"dropped": 3, "max_pieces": 10, "least_kept_count": 2}], "note": "café ☃"}
    tok.metadata = record
    tok.save(path)
    assert path.read_bytes().startswith(b"brevix-merges 3\n")
    path.read_bytes().decode("ascii")
    for back in (Tokenizer.load(path), pickle.loads(pickle.dumps(tok)), copy.deepcopy(tok)):
        assert back.metadata == record and back.merges == trained.merges
    tok.metadata["note"] = "changed"  # a copy: the tokenizer's own stays
    assert tok.metadata == record
    assert trained.metadata == {}


@pytest.mark.parametrize(
    "value, message",
    [({1: "a"}, "str keys"), ({"a": float("nan")}, "JSON"), ({"a": object()}, "JSON"), ({"a": (1, 2)}, "reads back")],
)
def test_metadata_that_a_file_cannot_hold_is_refused(value, message):
    tok = Tokenizer()
    with pytest.raises(ValueError, match=message):
        tok.metadata = value
    assert tok.metadata == {}


def test_model_file_serialization_is_stable(trained):
    data = trained._data()
    assert model_file.parse(model_file.serialize(data)) == data


def _bpe_openai_file(name):
    bpe_openai = pytest.importorskip("bpe_openai")
    return pathlib.Path(bpe_openai.__file__).parent / "data" / f"{name}.tiktoken.gz"


@pytest.mark.parametrize("name", ["cl100k_base", "o200k_base"])
def test_tiktoken_files_round_trip(name, tmp_path):
    source = _bpe_openai_file(name)
    tok = Tokenizer.from_tiktoken(source, pattern=name.split("_")[0])
    assert tok.token_bytes(0) == b"!"  # ranks, not bytes, are the ids
    out = tmp_path / "out.tiktoken"
    tok.save_tiktoken(out)
    assert sorted(out.read_bytes().splitlines()) == sorted(gzip.open(source).read().splitlines())


def test_trained_tokenizers_load_into_tiktoken(trained, tmp_path):
    tiktoken = pytest.importorskip("tiktoken")
    import tiktoken.load

    path = tmp_path / "t.tiktoken"
    trained.save_tiktoken(path)
    enc = tiktoken.Encoding(
        "t",
        pat_str=trained.pattern or r"[\s\S]+",
        mergeable_ranks=tiktoken.load.load_tiktoken_bpe(str(path)),
        special_tokens=trained.special_tokens,
    )
    text = TEXT[:20_000] + "<|endoftext|>"
    assert enc.encode(text, allowed_special="all") == trained.encode(text, allowed_special="all")


@pytest.mark.parametrize(
    "ranks, message",
    [
        ({bytes([b]): b for b in range(256)} | {b"abc": 256}, "abc"),
        ({bytes([b]): b for b in range(255)}, "byte"),
        ({bytes([b]): b for b in range(256)} | {b"ab": 300}, "rank"),
    ],
)
def test_unrepresentable_rank_tables_are_refused(ranks, message):
    with pytest.raises(ValueError, match=message):
        Tokenizer.from_tiktoken(ranks, pattern=None)


def test_a_token_tiktoken_would_reach_otherwise_is_not_saved(tmp_path):
    # bc, then ab, then ab+c: tiktoken would merge a+bc into abc.
    a, b, c = b"abc"
    tok = Tokenizer()
    data = tok._data()
    tok._install(model_file.ModelData(merges=[(b, c, 256), (a, b, 257), (257, c, 258)]), False)
    with pytest.raises(ValueError, match="258"):
        tok.save_tiktoken(tmp_path / "x.tiktoken")
    assert not (tmp_path / "x.tiktoken").exists()
    del data


def test_hf_export_gives_the_same_ids(trained, tmp_path):
    tokenizers = pytest.importorskip("tokenizers")
    path = tmp_path / "tokenizer.json"
    trained.save_hf(path)
    theirs = tokenizers.Tokenizer.from_file(str(path))
    text = TEXT[:20_000]
    assert theirs.encode(text).ids == trained.encode(text)
    with_special = "a<|endoftext|>b"
    assert theirs.encode(with_special).ids == trained.encode(with_special, allowed_special="all")
    back = Tokenizer.from_hf(path)
    assert back.merges == trained.merges and back.pattern == trained.pattern
    assert back.special_tokens == trained.special_tokens


def test_hf_files_with_other_id_layouts_are_refused(tmp_path):
    tokenizers = pytest.importorskip("tokenizers")
    from tokenizers import models, pre_tokenizers, trainers

    hf = tokenizers.Tokenizer(models.BPE())
    hf.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    hf.train_from_iterator(["hello world"] * 10, trainers.BpeTrainer(vocab_size=300))
    path = tmp_path / "tokenizer.json"
    hf.save(str(path))
    with pytest.raises(ValueError, match="byte|id"):
        Tokenizer.from_hf(path)
