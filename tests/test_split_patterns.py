"""The hand-written scanners of the well-known patterns against
regex.finditer on the decoded text: generated text from many scripts,
invalid UTF-8, long runs, real files, and resumption at every chunk size."""
import codecs
import difflib
import pathlib

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from brevix import _internal
from bpe_tables import CL100K_PATTERN, O200K_PATTERN

regex = pytest.importorskip("regex")

GPT2 = r"""'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"""
CL100K, O200K = CL100K_PATTERN, O200K_PATTERN
PATTERNS = {"gpt2": GPT2, "cl100k": CL100K, "o200k": O200K}
SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "src" / "brevix" / "data" / "sample.txt"


def decode_per_byte(data):
    """(text, byte offset of each character and of the end): every byte of an
    invalid sequence becomes its own U+FFFD."""
    errors = set()

    def one_byte(error):
        errors.add(error.start)
        return "\ufffd", error.start + 1

    codecs.register_error("brevix-test-split", one_byte)
    text = data.decode("utf-8", errors="brevix-test-split")
    offsets, pos = [], 0
    for ch in text:
        offsets.append(pos)
        pos += 1 if pos in errors else len(ch.encode("utf-8"))
    offsets.append(pos)
    return text, offsets


def reference_ends(pattern, data):
    """Piece end offsets in bytes by regex: every match, and every stretch
    between matches that no match covers; empty matches skipped."""
    text, offsets = decode_per_byte(data)
    ends, covered = [], 0
    for m in regex.finditer(pattern, text):
        if m.end() == m.start():
            continue
        if m.start() > covered:
            ends.append(offsets[m.start()])
        ends.append(offsets[m.end()])
        covered = m.end()
    if covered < len(text):
        ends.append(offsets[len(text)])
    return ends


def show(data, ends):
    """The pieces, for failure messages."""
    starts = [0] + ends[:-1]
    return [data[a:b] for a, b in zip(starts, ends)]


def assert_same_split(name, data):
    expected = reference_ends(PATTERNS[name], data)
    ours = _internal.split(PATTERNS[name], data)
    assert ours == expected, (name, data, show(data, ours), show(data, expected))


# Characters that decide between the patterns' alternatives, and some from
# every kind the classes tell apart.
INTERESTING = (
    list("aAzZsStTdDmMlLvVeErRkKiI'' \t\r\n\n\x0b\x0c./-!?,:;\"()019") +
    ["  ", " '", "'s", "'S", "'\u017f", "'ll", "'LL", "'Ve", "'rE", "\r\n", " \n", "\n "] +
    ["\u017f", "\u212a", "\u0130", "\u0131", "\u00e9", "\u00c9", "\u00df", "\u1e9e",  # Latin
     "\u01c5", "\u02b0", "\u3005", "\u4e2d", "\u3042", "\uac00", "\u05d0", "\u0627",  # Lt Lm Lo
     "\u0301", "\u0903", "\u20dd", "\u0e31",  # Mn Mc Me
     "\u0663", "\u216b", "\u00bd", "\U0001d7ce",  # Nd Nl No
     "\u00a0", "\u2003", "\u3000", "\u0085", "\u2028", "\u2029", "\u1680", "\x1c",  # spaces, not \s
     "\ufffd", "\ue000", "\U000f0000", "\u0378", "\U000e0001", "\u200d", "\U0001f600",
     "\u03a3", "\u03c3", "\u03c2", "\u0410", "\u0430", "\u10a0", "\u2d00", "\uab70", "\u13a0"])
CHARACTERS = st.one_of(
    st.sampled_from(INTERESTING),
    st.characters(exclude_categories=("Cs",)),
    st.characters(max_codepoint=0x7F),
)
TEXTS = st.lists(CHARACTERS, max_size=40).map("".join)
# Byte strings with invalid UTF-8 among valid text.
BAD_BYTES = st.sampled_from([
    b"\x80", b"\xbf", b"\xc0\xaf", b"\xc2", b"\xe0\x80\xaf", b"\xe2\x82", b"\xed\xa0\x80",
    b"\xf0\x9f\x98", b"\xf4\x90\x80\x80", b"\xf5", b"\xff", b"\xfe\xff",
])
MIXED_BYTES = st.lists(st.one_of(TEXTS.map(lambda t: t.encode("utf-8")), BAD_BYTES, st.binary(max_size=4)),
                       max_size=8).map(b"".join)


def test_the_patterns_are_the_well_known_ones():
    assert _internal.well_known_patterns() == PATTERNS


def test_the_patterns_are_tiktokens(monkeypatch):
    public = pytest.importorskip("tiktoken_ext.openai_public")
    # The constructors would download their ranks; only the patterns matter.
    monkeypatch.setattr(public, "load_tiktoken_bpe", lambda *args, **kwargs: {})
    assert public.cl100k_base()["pat_str"] == CL100K
    assert public.o200k_base()["pat_str"] == O200K


@pytest.mark.parametrize("name", PATTERNS)
@SETTINGS
@given(text=TEXTS)
def test_scanners_split_generated_text_as_regex(name, text):
    assert_same_split(name, text.encode("utf-8"))


@pytest.mark.parametrize("name", PATTERNS)
@SETTINGS
@given(data=MIXED_BYTES)
def test_scanners_split_invalid_utf8_as_regex_on_replacement_characters(name, data):
    assert_same_split(name, data)


@pytest.mark.parametrize("name", PATTERNS)
@settings(max_examples=100, deadline=None)
@given(data=MIXED_BYTES, chunk=st.integers(1, 4))
def test_resumed_splits_equal_one_call(name, data, chunk):
    assert _internal.split(PATTERNS[name], data, chunk) == _internal.split(PATTERNS[name], data)


@pytest.mark.parametrize("name", PATTERNS)
def test_resumption_at_every_chunk_size(name):
    data = ("Don't stop: 12345 r\u00e9sum\u00e9s\u0301, \u00c9T\u00c9 'LL \t\n\n  x\r\n"
            "\u4e2d\u6587  \u0663\u0664\u0665\u0666 \U0001f600\U0001f600 / -- end  ").encode() + b"\xff\xe2\x82"
    whole = _internal.split(PATTERNS[name], data)
    assert whole[-1] == len(data)
    for chunk in range(1, len(whole) + 2):
        assert _internal.split(PATTERNS[name], data, chunk) == whole, chunk


@pytest.mark.parametrize("name", PATTERNS)
@pytest.mark.parametrize("text", [
    "", " ", "\n", "  ", "a", "'", "'s", "'S", "'\u017f", "'\u017fx", "x'\u017f", "x'\u017fx", "'ll", "'lL", "'l", "'re ", "x'", "x's",
    "don't", "DON'T", "I'M", "We'Ve", "it\u2019s",
    "hello world", "  hello", "\thello", "\n\nhello", " \n hello", "x  \t", "x \n ", "a\r\n\r\nb",
    " 1", " -x", " --x", "--x", "-\u0301x", " \u0301", "\u0301\u0301", "a\u0301b", "\u0301 ",
    "1234567", " 12345", "\u0663\u0664\u0665\u0666\u0667", "12a34",
    "HELLOworld", "helloWORLD", "ABCdef'S", "\u01c5a", "\u02b0\u02b0A", "A\u02b0a", "AB\u4e2dC",
    "x/y//z\n/", "!!\r\n\n", " !!\n", "a\u00a0b", "a\u00a0\u00a0b", "a\u3000 b", "end \u2028",
    "\x1c\x1d text", "\ufffd\ufffd", "\ue000x", "\u0378\u0378 y",
])
def test_scanners_split_edge_cases_as_regex(name, text):
    assert_same_split(name, text.encode("utf-8"))


@pytest.mark.parametrize("name", PATTERNS)
@pytest.mark.parametrize("text", [
    " " * 5000 + "x", " " * 5000, "\n" * 3000 + " " * 3000 + "y", "a" * 20000, "A" * 20000 + ".",
    "A\u0301" * 3000 + "b", "\u0301" * 5000, "1" * 10001, "-" * 10000 + "\n" * 10,
    ("AB" * 2000 + "\u02b0") * 2, "\u4e2d" * 10000, "\U0001f600" * 5000, "\u00a0" * 4000 + "z",
])
def test_scanners_split_long_runs_as_regex(name, text):
    assert_same_split(name, text.encode("utf-8"))


@pytest.mark.parametrize("name", PATTERNS)
def test_scanners_split_long_invalid_runs_as_regex(name):
    assert_same_split(name, b"\xff" * 3000 + b" x" + b"\xe2\x82" * 2000 + b"\xc3\xa9" * 1000)


def real_texts():
    return [
        pytest.param(SAMPLE.read_bytes(), id="sample.txt"),
        pytest.param(pathlib.Path(difflib.__file__).read_bytes(), id="difflib.py"),
        pytest.param(pathlib.Path(codecs.__file__).read_bytes(), id="codecs.py"),
        pytest.param(pathlib.Path(_internal.__file__).read_bytes()[:200000], id="_internal-binary"),
    ]


@pytest.mark.parametrize("name", PATTERNS)
@pytest.mark.parametrize("data", real_texts())
def test_scanners_split_real_files_as_regex(name, data):
    expected = reference_ends(PATTERNS[name], data)
    ours = _internal.split(PATTERNS[name], data)
    if ours != expected:
        first = next(i for i, (a, b) in enumerate(zip(ours, expected)) if a != b)
        start = ours[first - 1] if first else 0
        pytest.fail(f"first difference after byte {start}: ours {show(data, ours)[first:first + 3]}, "
                    f"regex {show(data, expected)[first:first + 3]}")
    assert ours == expected


@pytest.mark.parametrize("pattern", [
    "", r"\w+", GPT2 + " ", GPT2.replace("'s|", "'S|"), CL100K + "|x",
    O200K.replace(r"\p{N}{1,3}", r"\p{N}{1,2}"),
])
def test_near_misses_of_the_well_known_patterns_split_by_their_own_meaning(pattern):
    # Only a byte-for-byte equal pattern gets a scanner; any other one is
    # compiled, and splits as regex does.
    data = "It's 42  Ok'S\n\n x\t".encode()
    assert _internal.split(pattern, data) == reference_ends(pattern, data)


def test_a_pattern_that_does_not_compile_is_refused():
    with pytest.raises(ValueError):
        _internal.split(CL100K[:-1], b"text")


def test_split_takes_any_bytes_like_object():
    data = bytearray(b"it's 42 ok")
    assert _internal.split(GPT2, data) == _internal.split(GPT2, bytes(data)) == \
        _internal.split(GPT2, memoryview(data)) == [2, 4, 7, 10]
    with pytest.raises(ValueError):
        _internal.split(GPT2, data, -1)
    with pytest.raises(TypeError):
        _internal.split(GPT2, "text")  # type: ignore[arg-type]
