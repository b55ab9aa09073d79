"""Every function and method against hostile arguments: the documented
exception, the caller's objects unchanged, no file created or emptied, and
the tokenizer unchanged and still usable."""

import copy
import os

import pytest

from brevix import _internal
from brevix.tokenizer import PyBytePairTokenizer, data_loader, data_saver
import helpers
from hostile import Boom, IntHook, raising_midway

BAD_CORPORA = [
    ("str", "ab", TypeError),
    ("none", None, TypeError),
    ("int", 3, TypeError),
    ("object", object(), TypeError),
    ("str item", [1, "x"], TypeError),
    ("none item", (1, None), TypeError),
    ("too big", [2**31], OverflowError),
    ("too small", [-(2**31) - 1], OverflowError),
    ("huge", [2**200], OverflowError),
    ("inf", [float("inf")], OverflowError),
    ("nan", [float("nan")], ValueError),
    ("hook float", [IntHook(1.5)], TypeError),
    ("hook str", [IntHook("1")], TypeError),
    ("hook raises", [1, IntHook(Boom("no"))], Boom),
    ("hook too big", [IntHook(2**31)], OverflowError),
    ("generator raises", "gen", Boom),
    ("index only", [type("OnlyIndex", (), {"__index__": lambda self: 1})()], TypeError),
]

BAD_TEXTS = [
    ("str", "abc", TypeError),
    ("none", None, TypeError),
    ("int", 5, TypeError),
    ("list", [97], TypeError),
    ("memoryview", memoryview(b"ab"), TypeError),
]

BAD_INTS = [
    ("str", "1", TypeError),
    ("none", None, TypeError),
    ("too big", 2**31, OverflowError),
    ("too small", -(2**31) - 1, OverflowError),
    ("64-bit", 2**40, OverflowError),
    ("inf", float("inf"), OverflowError),
    ("hook non-int", IntHook(2.5), TypeError),
    ("hook raises", IntHook(Boom("no")), Boom),
]


def materialise(value):
    if value == "gen":
        return raising_midway([1, 2, 3, 4], 2)
    return value


@pytest.fixture(name="trained")
def trained_fixture():
    return helpers.trained(list(b"abababcabc"), 1000, 3)


def state_of(t):
    return t.size, _internal.get_merges(t)


def check_refused(call, exc, t, args, tmp_path):
    before_state = state_of(t)
    # Shallow snapshots: the items themselves (hooks included) compare by identity.
    before_args = [copy.copy(a) if isinstance(a, (list, bytearray)) else a for a in args]
    files_before = sorted(os.listdir(tmp_path))
    with pytest.raises(exc):
        call(*args)
    assert state_of(t) == before_state
    for kept, arg in zip(before_args, args):
        if isinstance(arg, (list, tuple, bytes, bytearray)):
            assert arg == kept
    assert sorted(os.listdir(tmp_path)) == files_before
    assert t.decode(t.encode_corpus(list(b"abc"))) == b"abc"


@pytest.mark.parametrize("name, corpus, exc", BAD_CORPORA, ids=[c[0] for c in BAD_CORPORA])
@pytest.mark.parametrize("method", ["fit", "encode_corpus", "decode", "data_saver"])
def test_bad_corpus(method, name, corpus, exc, trained, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    corpus = materialise(corpus)
    if method == "fit":
        check_refused(trained.fit, exc, trained, [corpus, 1000, 5], tmp_path)
    elif method == "data_saver":
        check_refused(data_saver, exc, trained, [corpus, b"out.bin"], tmp_path)
    else:
        check_refused(getattr(trained, method), exc, trained, [corpus], tmp_path)


@pytest.mark.parametrize("name, text, exc", BAD_TEXTS, ids=[c[0] for c in BAD_TEXTS])
@pytest.mark.parametrize("target", ["encode", "data_loader", "data_saver"])
def test_bad_text(target, name, text, exc, trained, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    if target == "encode":
        check_refused(trained.encode, exc, trained, [text], tmp_path)
    elif target == "data_loader":
        check_refused(data_loader, exc, trained, [text], tmp_path)
    else:
        check_refused(data_saver, exc, trained, [[1, 2], text], tmp_path)


@pytest.mark.parametrize("name, value, exc", BAD_INTS, ids=[c[0] for c in BAD_INTS])
@pytest.mark.parametrize("slot", [1, 2])
def test_bad_fit_integers(slot, name, value, exc, trained, tmp_path):
    args = [[1, 2, 1, 2], 1000, 5]
    args[slot] = value
    check_refused(trained.fit, exc, trained, args, tmp_path)


@pytest.mark.parametrize("method", ["fit", "encode", "encode_corpus", "decode"])
@pytest.mark.parametrize("intruder", [None, 1, "x", object(), PyBytePairTokenizer])
def test_foreign_self_is_refused(method, intruder):
    args = {"fit": ([1, 2], 300, 1), "encode": (b"a",)}.get(method, ([1],))
    with pytest.raises(TypeError):
        getattr(PyBytePairTokenizer, method)(intruder, *args)


def test_later_arguments_are_not_converted_after_a_failure(trained):
    seen = []
    hook = IntHook(5, action=lambda: seen.append("converted"))
    with pytest.raises(TypeError):
        trained.fit("not ints", hook, hook)
    with pytest.raises(OverflowError):
        trained.fit([1, 2], 2**31, hook)
    assert seen == []


def test_list_growing_during_conversion_is_followed(trained):
    corpus = [97]
    corpus.append(IntHook(98, action=lambda: corpus.append(99)))
    assert PyBytePairTokenizer().encode_corpus(corpus) == [97, 98, 99]
    assert len(corpus) == 3


def test_list_shrinking_during_conversion_stops_the_walk():
    corpus = [1, 2, 3, 4]
    corpus[1] = IntHook(2, action=corpus.clear)
    assert PyBytePairTokenizer().encode_corpus(corpus) == [1, 2]


def test_hook_calling_back_into_the_same_tokenizer():
    t = PyBytePairTokenizer()
    hook = IntHook(1, action=lambda: t.fit([1, 2, 1, 2], 1000, 1))
    # The outer call has not touched the tokenizer when the hook trains it.
    assert t.encode_corpus([hook, 2]) == [256]
    reset = IntHook(2, action=t.__init__)
    assert t.encode_corpus([1, reset]) == [1, 2]
    assert t.size == 256


def test_hook_resetting_the_tokenizer_during_fit_conversion():
    t = PyBytePairTokenizer()
    t.fit([5, 6, 5, 6], 1000, 1)
    t.fit([IntHook(1, action=t.__init__), 2, 1, 2], 1000, 1)
    assert _internal.get_merges(t) == [(1, 2, 256)]


def test_existing_file_survives_refused_saves(tmp_path):
    f = tmp_path / "keep.bin"
    f.write_bytes(b"precious")
    for corpus in ("ab", [2**31], raising_midway([1, 2, 3], 1), [IntHook(Boom("x"))]):
        with pytest.raises((TypeError, OverflowError, Boom)):
            data_saver(corpus, os.fsencode(f))
    with pytest.raises(TypeError):
        data_saver([1, 2], str(f))
    assert f.read_bytes() == b"precious"
