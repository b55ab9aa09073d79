"""Counting the distinct pieces of documents: against a Python count over
`regex` matches (gaps kept as pieces), documents cut at special tokens, files
by line or whole against the same documents in memory, any number of
threads, interruption and refused inputs."""

import _thread
import collections
import os
import random
import sys
import threading
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from brevix import _internal

SAMPLE = Path(__file__).resolve().parent.parent / "src" / "brevix" / "data" / "sample.txt"
PATTERNS = _internal.well_known_patterns()


def cut_at_specials(document, specials):
    """The stretches between occurrences (leftmost, then longest) of specials."""
    stretches, start, at = [], 0, 0
    while at < len(document):
        found = [s for s in specials if s and document.startswith(s, at)]
        if found:
            stretches.append(document[start:at])
            at = start = at + max(map(len, found))
        else:
            at += 1
    stretches.append(document[start:])
    return stretches


def regex_pieces(pattern, text):
    """Every match of pattern in text, and every gap between matches."""
    regex = pytest.importorskip("regex")
    pieces, end = [], 0
    for match in regex.finditer(pattern, text):
        if match.start() == match.end():
            continue
        if match.start() > end:
            pieces.append(text[end:match.start()])
        pieces.append(match.group())
        end = match.end()
    if end < len(text):
        pieces.append(text[end:])
    return pieces


def reference_counts(pattern, documents, specials=()):
    counts = collections.Counter()
    for document in documents:
        for stretch in cut_at_specials(document, specials):
            if pattern is None:
                counts.update([stretch] if stretch else [])
            else:
                counts.update(p.encode() for p in regex_pieces(pattern, stretch.decode()))
    return dict(counts)


def sample_lines():
    return SAMPLE.read_bytes().splitlines(keepends=True)


text_documents = st.lists(
    st.text(alphabet="ab Z9 \n\r\t'.,é中😀\u00a0", max_size=40).map(str.encode), max_size=12
)
specials_lists = st.lists(st.sampled_from([b"<s>", b"<|e|>", b"a", b"\n", b"b<s>"]), max_size=3)


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(sorted(PATTERNS)), text_documents, specials_lists)
def test_counts_equal_regex_pieces(name, documents, specials):
    pattern = PATTERNS[name]
    expected = reference_counts(pattern, documents, specials)
    assert _internal.count_pieces(pattern, documents, specials) == expected


@settings(max_examples=300, deadline=None)
@given(st.lists(st.binary(max_size=30), max_size=12), st.lists(st.binary(min_size=1, max_size=3),
                                                             max_size=3))
def test_whole_documents_any_bytes(documents, specials):
    expected = reference_counts(None, documents, specials)
    assert _internal.count_pieces(None, documents, specials) == expected


@settings(max_examples=100, deadline=None)
@given(st.lists(st.binary(max_size=30), max_size=8))
def test_invalid_utf8_counts_the_splitters_pieces(documents):
    pattern = PATTERNS["cl100k"]
    expected = collections.Counter()
    for document in documents:
        start = 0
        for end in _internal.split(pattern, document):
            expected[document[start:end]] += 1
            start = end
    assert _internal.count_pieces(pattern, documents) == dict(expected)


@pytest.mark.parametrize("pattern", [r"[a-z]+", r"\d{2}|\s(?=x)", r"(?i:ab)+"])
def test_gaps_between_matches_are_pieces(pattern):
    documents = [b"ab, cd!", b"  x1234", b"ABab\xc3\xa9", b"", b"9"]
    counts = _internal.count_pieces(pattern, documents)
    assert counts == reference_counts(pattern, documents)


def test_real_text_equals_regex_pieces():
    lines = sample_lines()
    for name, pattern in sorted(PATTERNS.items()):
        assert _internal.count_pieces(pattern, lines) == reference_counts(pattern, lines), name


@pytest.mark.parametrize("pattern", [None, PATTERNS["cl100k"]])
def test_thread_counts_give_identical_counts(pattern):
    # Enough text for several work units per thread.
    lines = sample_lines() * 3
    random.Random(5).shuffle(lines)
    results = [_internal.count_pieces(pattern, lines, threads=n) for n in (1, 2, 3, 0)]
    assert all(r == results[0] for r in results)


def test_special_tokens_are_never_counted():
    counts = _internal.count_pieces(
        PATTERNS["cl100k"], [b"hello<|endoftext|>world<|endoftext|>"], [b"<|endoftext|>"]
    )
    assert counts == {b"hello": 1, b"world": 1}
    # A special token ends a document's text: "  " before it is not followed
    # by the text after it.
    cut = _internal.count_pieces(PATTERNS["cl100k"], [b"a  <s>b"], [b"<s>"])
    assert cut == reference_counts(PATTERNS["cl100k"], [b"a  ", b"b"])


def write_lines_file(path, lines):
    path.write_bytes(b"".join(lines))
    return path


FILE_CASES = {
    "ordinary": [b"one line\n", b"two  words\n", b"\n", b"tail without newline"],
    "crlf": [b"windows\r\n", b"\r\n", b"lone \r inside\n"],
    "newlines only": [b"\n"] * 5,
    "empty": [],
    "invalid utf-8": [b"\xff\xfe\n", b"caf\xc3\n", b"\x00\x00\n"],
}


@pytest.mark.parametrize("pattern", [None, PATTERNS["cl100k"]])
@pytest.mark.parametrize("case", sorted(FILE_CASES))
def test_file_lines_and_whole_equal_in_memory(tmp_path, pattern, case):
    path = write_lines_file(tmp_path / "f.txt", FILE_CASES[case])
    data = path.read_bytes()
    # A line keeps its "\n": the documents of `for line in open(path, "rb")`.
    with open(path, "rb") as f:
        lines = list(f)
    assert _internal.count_file_pieces(pattern, path, True) == _internal.count_pieces(
        pattern, lines
    )
    whole = _internal.count_pieces(pattern, [data])
    assert _internal.count_file_pieces(pattern, str(path), False) == whole


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_large_file_lines_across_work_units(tmp_path, threads):
    rnd = random.Random(threads)
    words = [b"alpha", b"beta", b"\xce\xb3", b"  ", b"42", b"\r", b"!?"]
    lines = [b" ".join(rnd.choices(words, k=rnd.randrange(0, 40))) + b"\n" for _ in range(30000)]
    lines.append(b"no newline at the end")
    path = write_lines_file(tmp_path / "big.txt", lines)
    pattern = PATTERNS["cl100k"]
    expected = _internal.count_pieces(pattern, lines, threads=1)
    assert _internal.count_file_pieces(pattern, path, True, threads=threads) == expected
    report = _internal.train_file_pieces(pattern, path, True, 10, threads=threads)
    assert report["bytes_counted"] == path.stat().st_size
    assert report["distinct_pieces"] == len(expected)


@pytest.mark.parametrize("threads", [1, 3])
def test_a_line_longer_than_many_work_units(tmp_path, threads):
    # Work units are 64 KB here: the long line starts in one and spans many.
    long_line = b"x y " * 200_000 + b"\n"
    lines = [b"short\n"] * 1000 + [long_line] + [b"after\n"] * 1000 + [long_line[:-1]]
    path = write_lines_file(tmp_path / "long.txt", lines)
    expected = _internal.count_pieces(PATTERNS["cl100k"], lines, threads=1)
    assert _internal.count_file_pieces(PATTERNS["cl100k"], path, True, threads=threads) == expected
    assert _internal.count_file_pieces(None, path, True, threads=threads) == {
        b"short\n": 1000, long_line: 1, b"after\n": 1000, long_line[:-1]: 1
    }


def test_several_files_add_up(tmp_path):
    a = write_lines_file(tmp_path / "a", [b"same line\n", b"other\n"])
    b = write_lines_file(tmp_path / "b", [b"same line\n"])
    empty = write_lines_file(tmp_path / "empty", [])
    counts = _internal.count_file_pieces(None, [a, b, empty], True)
    assert counts == {b"same line\n": 2, b"other\n": 1}
    assert _internal.count_file_pieces(None, [a, os.fsencode(b)], False) == {
        b"same line\nother\n": 1, b"same line\n": 1
    }


def test_specials_in_files_cut_documents(tmp_path):
    path = write_lines_file(tmp_path / "s", [b"x<s>y\n", b"<s>\n", b"<s\n", b">z"])
    with open(path, "rb") as f:
        lines = list(f)
    counts = _internal.count_file_pieces(None, path, True, [b"<s>"])
    assert counts == reference_counts(None, lines, [b"<s>"])
    # Whole, a special token may span a line end.
    whole = _internal.count_file_pieces(None, path, False, [b"<s\n>"])
    assert whole == {b"x<s>y\n<s>\n": 1, b"z": 1}


def test_missing_file_and_directory_are_refused_before_counting(tmp_path):
    good = write_lines_file(tmp_path / "good", [b"x\n"])
    with pytest.raises(FileNotFoundError) as missing:
        _internal.count_file_pieces(None, [good, tmp_path / "nope"], True)
    assert "nope" in str(missing.value)
    with pytest.raises(IsADirectoryError):
        _internal.count_file_pieces(None, tmp_path, False)
    with pytest.raises(ValueError):
        _internal.count_file_pieces(None, "bad\0path", True)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: _internal.count_pieces(None, ["text"]), TypeError),
        (lambda: _internal.count_pieces(None, [1]), TypeError),
        (lambda: _internal.count_pieces(None, b"not a list of documents"), TypeError),
        (lambda: _internal.count_pieces(None, [b"x"], [b""]), ValueError),
        (lambda: _internal.count_pieces(None, [b"x"], threads=-1), ValueError),
        (lambda: _internal.count_pieces("(", [b"x"]), ValueError),
        (lambda: _internal.count_pieces(b"\\s+", [b"x"]), TypeError),
    ],
)
def test_bad_arguments(call, error):
    with pytest.raises(error):
        call()


def test_buffers_of_any_kind():
    documents = [bytearray(b"ab"), memoryview(b"xab")[1:], b"ab"]
    assert _internal.count_pieces(None, documents) == {b"ab": 3}


def big_documents():
    return [b"some words, and 123 numbers\n" * 40] * 20000  # about 22 MB


@pytest.mark.parametrize("threads", [1, 2])
def test_interrupt_stops_and_keeps_nothing(threads):
    with pytest.raises(KeyboardInterrupt):
        _internal.count_pieces(PATTERNS["cl100k"], big_documents(), threads=threads,
                               interrupt_after_bytes=1 << 20)
    # One document of 22 MB stops as well: the stop is checked within it.
    with pytest.raises(KeyboardInterrupt):
        _internal.count_pieces(PATTERNS["cl100k"], [b"".join(big_documents())],
                               interrupt_after_bytes=1 << 20)
    assert _internal.count_pieces(None, [b"x"], threads=threads) == {b"x": 1}


def test_ctrl_c_reaches_the_interpreter_while_counting():
    # A gigabyte of documents by reference: counting it whole takes seconds.
    documents = [b"some words, and 123 numbers\n" * 40] * 1_000_000
    events = []

    def profile(frame, event, arg):
        if event.startswith("c_") and getattr(arg, "__name__", "") == "count_pieces":
            events.append(event)

    trigger = threading.Timer(0.05, _thread.interrupt_main)
    sys.setprofile(profile)
    try:
        with pytest.raises(KeyboardInterrupt):
            trigger.start()
            _internal.count_pieces(PATTERNS["cl100k"], documents, threads=1)
    finally:
        sys.setprofile(None)
        trigger.join()
    # The call itself raised, rather than returning and leaving the signal
    # to the interpreter.
    assert events == ["c_call", "c_exception"]
