"""Saving and loading models: round trips, damaged files, atomic writes."""

import os
import pathlib
import stat
import sys

import pytest

from brevix import _internal, model
from brevix.tokenizer import PyBytePairTokenizer

from helpers import trained

TEXTS = [
    b"",
    b"the lower lowest lowly",
    "naïve café — 日本語のテキスト".encode(),
    bytes(range(256)),
    b"\x00\x00\n\n\xff\xff",
]

ID_SEQUENCES = [
    [],
    [1, 2, 3, 1, 2],
    [300, -5, 300, -5, 7],
    [-128, 127, -1, 0, 2**31 - 1, -(2**31)],
]

CORPORA = {
    "ascii": list(b"low lower lowest newer newest wider widest " * 20),
    "utf8-negative-ids": list(
        "straße Straße naïve café crème brûlée 東京 東京都 ".encode() * 10
    ),
    "signed-bytes": [b - 256 if b > 127 else b for b in "éé àà éà ".encode() * 30],
    "ids-above-255-and-negative": [300, -7, 300, -7, 5000, 2**31 - 1, -(2**31), 300, -7] * 15,
}


def assert_same_behaviour(a, b, corpus):
    assert model.merges(a) == model.merges(b)
    assert a.size == b.size
    for text in TEXTS:
        assert a.encode(text) == b.encode(text)
    for ids in ID_SEQUENCES + [corpus]:
        assert a.encode_corpus(ids) == b.encode_corpus(ids)
    for text in TEXTS:
        assert b.decode(b.encode(text)) == text
    # Training goes on identically from the restored state.
    a.fit(corpus[::-1], a.size + 10, 10)
    b.fit(corpus[::-1], b.size + 10, 10)
    assert model.merges(a) == model.merges(b)


PATH_KINDS = {
    "str": str,
    "bytes": os.fsencode,
    "pathlike": pathlib.Path,
}


@pytest.mark.parametrize("corpus_name", sorted(CORPORA))
@pytest.mark.parametrize("path_kind", sorted(PATH_KINDS))
def test_round_trip(tmp_path, corpus_name, path_kind):
    corpus = CORPORA[corpus_name]
    original = trained(corpus, 400, 60)
    path = PATH_KINDS[path_kind](tmp_path / "m.model")
    model.save(original, path)
    restored = model.load(path)
    assert type(restored) is PyBytePairTokenizer
    assert_same_behaviour(original, restored, corpus)


def test_round_trip_after_two_fit_calls(tmp_path):
    tok = trained(CORPORA["ascii"], 300, 20)
    tok.fit(CORPORA["utf8-negative-ids"], 400, 40)
    model.save(tok, tmp_path / "m")
    assert_same_behaviour(tok, model.load(tmp_path / "m"), CORPORA["ascii"])


def test_untrained_tokenizer_round_trips(tmp_path):
    model.save(PyBytePairTokenizer(), tmp_path / "m")
    assert (tmp_path / "m").read_bytes() == b"brevix-merges 1\nmerges 0\n"
    restored = model.load(tmp_path / "m")
    assert restored.size == 256 and model.merges(restored) == []


def test_file_format_is_the_documented_one(tmp_path):
    tok = trained([1, 2, 3, 1, 2], 1000, 10)
    model.save(tok, tmp_path / "m")
    assert (tmp_path / "m").read_bytes() == (
        b"brevix-merges 1\nmerges 3\n1 2 256\n3 256 257\n256 257 258\n"
    )


def test_self_referencing_merge_round_trips(tmp_path):
    # A corpus made only of id 256 learns (256, 256) as 256 itself; such a
    # table cannot be decoded but must still be stored faithfully.
    tok = trained([256, 256, 256], 300, 1)
    assert model.merges(tok) == [(256, 256, 256)]
    model.save(tok, tmp_path / "m")
    assert model.merges(model.load(tmp_path / "m")) == [(256, 256, 256)]


def test_merges_in_id_order():
    tok = trained([1, 2, 3, 1, 2], 1000, 10)
    assert model.merges(tok) == [(1, 2, 256), (3, 256, 257), (256, 257, 258)]


def test_load_accepts_hand_written_forward_references(tmp_path):
    (tmp_path / "m").write_bytes(b"brevix-merges 1\nmerges 2\n257 1 256\n2 3 257\n")
    tok = model.load(tmp_path / "m")
    assert tok.size == 258
    assert tok.decode([256]) == b"\x02\x03\x01"


HEADER = b"brevix-merges 1\n"

DAMAGED = [
    # (file contents, line reported, fragment of the message)
    pytest.param(b"", 1, "empty", id="empty-file"),
    pytest.param(b"\n", 1, "not a brevix model", id="blank-header"),
    pytest.param(b"brevix-merges\n", 1, "not a brevix model", id="header-no-version"),
    pytest.param(b"gpt2-merges 1\n", 1, "not a brevix model", id="other-format"),
    pytest.param(b"brevix-merges 2\nmerges 0\n", 1, "unsupported format version 2", id="newer"),
    pytest.param(b"brevix-merges one\n", 1, "version", id="version-not-number"),
    pytest.param(b"brevix-merges 1\r\nmerges 0\r\n", 1, "version", id="crlf"),
    pytest.param(b"\xef\xbb\xbfbrevix-merges 1\nmerges 0\n", 1, "not a brevix", id="bom"),
    pytest.param(b"\xff\xfe\x00b\n", 1, "not a brevix model", id="binary-header"),
    pytest.param(b"brevix-merges 1", 1, "not terminated", id="header-unterminated"),
    pytest.param(HEADER, 2, "missing 'merges N'", id="no-count"),
    pytest.param(HEADER + b"\n", 2, "expected 'merges N'", id="blank-count"),
    pytest.param(HEADER + b"merges\n", 2, "expected 'merges N'", id="count-missing"),
    pytest.param(HEADER + b"merges x\n", 2, "not a 32-bit integer", id="count-text"),
    pytest.param(HEADER + b"merges -1\n", 2, "out of range", id="count-negative"),
    pytest.param(HEADER + b"merges 99999999999999\n", 2, "not a 32-bit", id="count-huge"),
    pytest.param(HEADER + b"merges 2147483647\n", 2, "out of range", id="count-too-many"),
    pytest.param(HEADER + b"merges 2\n97 98 256\n", 4, "truncated", id="truncated-at-line"),
    pytest.param(HEADER + b"merges 2\n97 98 256\n97 9", 4, "not terminated", id="truncated-mid"),
    pytest.param(HEADER + b"merges 1\n97 98 256", 3, "not terminated", id="no-final-newline"),
    pytest.param(HEADER + b"merges 1\n97 98 256\n\n", 4, "unexpected line", id="trailing-blank"),
    pytest.param(HEADER + b"merges 0\n97 98 256\n", 3, "unexpected line", id="extra-merge"),
    pytest.param(HEADER + b"merges 2\n\n97 98 256\n", 3, "blank line", id="blank-in-body"),
    pytest.param(HEADER + b"merges 1\n97 b 256\n", 3, "right id", id="non-numeric"),
    pytest.param(HEADER + b"merges 1\n97 98 2.5e2\n", 3, "merged id", id="float"),
    pytest.param(HEADER + b"merges 1\n+97 98 256\n", 3, "left id", id="plus-sign"),
    pytest.param(HEADER + b"merges 1\n9_7 98 256\n", 3, "left id", id="underscore"),
    pytest.param(HEADER + "merges 1\n９７ 98 256\n".encode(), 3, "left id", id="wide-digits"),
    pytest.param(HEADER + b"merges 1\n97 98 \xff\n", 3, "merged id", id="non-utf8"),
    pytest.param(HEADER + b"merges 1\n97 98\n", 3, "got 2", id="two-fields"),
    pytest.param(HEADER + b"merges 1\n97 98 256 1\n", 3, "got 4", id="four-fields"),
    pytest.param(HEADER + b"merges 1\n97  98 256\n", 3, "got 4", id="double-space"),
    pytest.param(HEADER + b"merges 1\n97\t98\t256\n", 3, "got 1", id="tabs"),
    pytest.param(HEADER + b"merges 1\n 97 98 256\n", 3, "got 4", id="leading-space"),
    pytest.param(HEADER + b"merges 1\n97 98 257\n", 3, "expected 256", id="id-not-256"),
    pytest.param(HEADER + b"merges 2\n97 98 256\n98 99 258\n", 4, "expected 257", id="id-gap"),
    pytest.param(HEADER + b"merges 2\n97 98 256\n98 99 256\n", 4, "expected 257", id="id-twice"),
    pytest.param(HEADER + b"merges 2\n97 98 256\n97 98 257\n", 4, "twice", id="duplicate-pair"),
    pytest.param(
        HEADER + b"merges 1\n2147483648 98 256\n", 3, "signed 32-bit", id="int32-overflow"
    ),
    pytest.param(
        HEADER + b"merges 1\n-2147483649 98 256\n", 3, "signed 32-bit", id="int32-underflow"
    ),
    pytest.param(
        HEADER + b"merges 1\n97 " + b"9" * 5000 + b" 256\n", 3, "not a 32-bit", id="huge-number"
    ),
]


@pytest.mark.parametrize("contents, lineno, fragment", DAMAGED)
def test_damaged_file_is_refused_with_its_line(tmp_path, contents, lineno, fragment):
    path = tmp_path / "bad.model"
    path.write_bytes(contents)
    with pytest.raises(model.ModelFormatError) as info:
        model.load(path)
    err = info.value
    assert isinstance(err, ValueError)
    assert err.lineno == lineno
    assert f"line {lineno}:" in str(err)
    assert fragment in str(err)
    assert str(path) in str(err)


def test_load_missing_file_raises_oserror(tmp_path):
    with pytest.raises(FileNotFoundError):
        model.load(tmp_path / "nope")


def test_every_prefix_of_a_model_is_refused_or_complete(tmp_path):
    # Cutting a file anywhere must never give a smaller, silently valid model.
    tok = trained(CORPORA["utf8-negative-ids"], 300, 12)
    model.save(tok, tmp_path / "m")
    data = (tmp_path / "m").read_bytes()
    for cut in range(len(data)):
        with pytest.raises(ValueError):
            model.parse(data[:cut])
    assert model.parse(data) == model.merges(tok)


# ---- the hooks behind load and save ----------------------------------------


BAD_MERGE_TABLES = [
    pytest.param([(1, 2, 257)], ValueError, id="first-id-not-256"),
    pytest.param([(1, 2, 256), (3, 4, 256)], ValueError, id="id-repeated"),
    pytest.param([(1, 2, 256), (1, 2, 257)], ValueError, id="duplicate-pair"),
    pytest.param([(2**31, 2, 256)], ValueError, id="overflow"),
    pytest.param([(1, -(2**31) - 1, 256)], ValueError, id="underflow"),
    pytest.param([(1, 2)], ValueError, id="short-merge"),
    pytest.param([(1, 2, 256, 0)], ValueError, id="long-merge"),
    pytest.param([(1.0, 2, 256)], TypeError, id="float-field"),
    pytest.param([("1", 2, 256)], TypeError, id="str-field"),
    pytest.param([None], TypeError, id="none-merge"),
    pytest.param(5, TypeError, id="not-a-sequence"),
]


@pytest.mark.parametrize("table, exc", BAD_MERGE_TABLES)
def test_set_merges_refuses_bad_tables_and_changes_nothing(table, exc):
    tok = trained(CORPORA["ascii"], 300, 10)
    before = model.merges(tok)
    with pytest.raises(exc):
        _internal.set_merges(tok, table)
    assert model.merges(tok) == before
    assert tok.size == 256 + len(before)


ENGINE_HOOKS = {
    "merge_corpus": lambda merges: _internal.merge_corpus([1, 2], merges),
    "encode": lambda merges: _internal.encode(merges, b"ab"),
    "decode": lambda merges: _internal.decode(merges, [1]),
    "train": lambda merges: _internal.train([1, 2], 300, 1, merges=merges),
}


@pytest.mark.parametrize("table, exc", BAD_MERGE_TABLES)
@pytest.mark.parametrize("hook", ENGINE_HOOKS.values(), ids=ENGINE_HOOKS.keys())
def test_engine_hooks_read_merge_tables_like_set_merges(hook, table, exc):
    with pytest.raises(exc):
        hook(table)


def test_set_merges_replaces_everything():
    tok = trained(CORPORA["ascii"], 300, 10)
    _internal.set_merges(tok, [(5, 6, 256)])
    assert model.merges(tok) == [(5, 6, 256)]
    assert tok.size == 257
    assert tok.encode_corpus([5, 6, 5, 6]) == [256, 256]


class Sub(PyBytePairTokenizer):
    pass


@pytest.mark.parametrize("hook", ["get_merges", "set_merges"])
@pytest.mark.parametrize("obj", [None, 3, object(), b"x"], ids=repr)
def test_hooks_refuse_non_tokenizers(hook, obj):
    args = (obj,) if hook == "get_merges" else (obj, [])
    with pytest.raises(TypeError):
        getattr(_internal, hook)(*args)


def test_hooks_accept_subclasses(tmp_path):
    tok = Sub()
    tok.fit(CORPORA["ascii"], 270, 5)
    model.save(tok, tmp_path / "m")
    assert model.merges(model.load(tmp_path / "m")) == model.merges(tok)


def test_save_refuses_non_tokenizer_and_keeps_old_file(tmp_path):
    path = tmp_path / "m"
    path.write_bytes(b"old")
    with pytest.raises(TypeError):
        model.save("not a tokenizer", path)  # type: ignore[arg-type]
    assert path.read_bytes() == b"old"
    assert os.listdir(tmp_path) == ["m"]


# ---- atomic save -----------------------------------------------------------


@pytest.mark.parametrize("failing", ["fsync", "replace"])
def test_failed_save_keeps_old_model_and_leaves_no_temp_file(tmp_path, monkeypatch, failing):
    path = tmp_path / "m"
    old = trained(CORPORA["ascii"], 270, 5)
    model.save(old, path)
    before = path.read_bytes()

    def boom(*args, **kwargs):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, failing, boom)
    with pytest.raises(OSError):
        model.save(trained(CORPORA["utf8-negative-ids"], 300, 20), path)
    monkeypatch.undo()
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["m"]


def test_save_into_missing_directory_creates_nothing(tmp_path):
    with pytest.raises(FileNotFoundError):
        model.save(PyBytePairTokenizer(), tmp_path / "no" / "m")
    assert os.listdir(tmp_path) == []


def test_save_replaces_and_keeps_permissions(tmp_path):
    path = tmp_path / "m"
    path.write_bytes(b"old contents")
    path.chmod(0o640)
    model.save(trained(CORPORA["ascii"], 270, 5), path)
    assert stat.S_IMODE(path.stat().st_mode) == 0o640
    assert path.read_bytes().startswith(b"brevix-merges 1\n")


def test_new_model_file_is_readable_by_others(tmp_path):
    old = os.umask(0o022)
    try:
        model.save(PyBytePairTokenizer(), tmp_path / "m")
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "m").stat().st_mode) == 0o644


def test_hooks_do_not_import_brevix_tokenizer_again(monkeypatch):
    tok = trained(CORPORA["ascii"], 270, 3)
    merges = _internal.get_merges(tok)
    # With the module gone from sys.modules any import of it would fail; the
    # hooks keep working on the class they found at their first call.
    monkeypatch.setitem(sys.modules, "brevix.tokenizer", None)
    assert _internal.get_merges(tok) == merges
    _internal.set_merges(tok, merges[:1])
    assert _internal.get_merges(tok) == merges[:1]
    with pytest.raises(TypeError, match="expected a PyBytePairTokenizer"):
        _internal.get_merges(object())
