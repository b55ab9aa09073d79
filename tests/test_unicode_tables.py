"""The splitters' Unicode tables against the regex module, code point by code
point: general categories, \\s \\w \\d \\p{L} \\p{N} \\p{M}, case-insensitive
matching, and strict UTF-8 decoding against Python's decoder."""
import array
import codecs
import collections
import itertools
import pathlib
import subprocess
import sys

import pytest

from brevix import _internal

regex = pytest.importorskip("regex")

MAX_CP = 0x110000
CATEGORIES = ("Cn Lu Ll Lt Lm Lo Mn Mc Me Nd Nl No Pc Pd Ps Pe Pi Pf Po "
              "Sm Sc Sk So Zs Zl Zp Cc Cf Cs Co").split()


@pytest.fixture(scope="module")
def every_code_point():
    return "".join(map(chr, range(MAX_CP)))


def regex_table(patterns_and_values, text):
    """bytes with, per code point, the value of the first pattern (a class
    followed by +) that matches it, 0 where none does."""
    table = bytearray(MAX_CP)
    for pattern, value in reversed(patterns_and_values):
        for m in regex.finditer(pattern, text):
            table[m.start():m.end()] = bytes([value]) * (m.end() - m.start())
    return bytes(table)


def first_difference(ours, theirs):
    cp = next(i for i, (a, b) in enumerate(zip(ours, theirs)) if a != b)
    return f"U+{cp:04X}: ours {ours[cp]}, regex {theirs[cp]}"


def test_tables_are_from_the_pinned_unicode_version():
    assert _internal.unicode_version() == "17.0.0"
    if regex.__version__ == "2026.5.9":
        # A character added in Unicode 17.0 is assigned in both.
        assert regex.fullmatch(r"\p{Cn}", "\U00011B60") is None
        assert _internal.unicode_category(0x11B60) != "Cn"


def test_categories_match_regex_for_every_code_point(every_code_point):
    expected = regex_table([(r"\p{%s}+" % name, index) for index, name in enumerate(CATEGORIES)],
                           every_code_point)
    ours = _internal.unicode_table("category")
    assert ours == expected, first_difference(ours, expected)


@pytest.mark.parametrize("name, pattern", [
    ("letter", r"\p{L}+"), ("number", r"\p{N}+"), ("mark", r"\p{M}+"),
    ("space", r"\s+"), ("word", r"\w+"), ("digit", r"\d+"),
])
def test_classes_match_regex_for_every_code_point(every_code_point, name, pattern):
    expected = regex_table([(pattern, 1)], every_code_point)
    ours = _internal.unicode_table(name)
    assert ours == expected, first_difference(ours, expected)


@pytest.mark.parametrize("cp, category", [
    (ord("A"), "Lu"), (ord("a"), "Ll"), (0x01C5, "Lt"), (0x02B0, "Lm"), (0x4E2D, "Lo"),
    (0x0301, "Mn"), (0x0663, "Nd"), (0x216B, "Nl"), (0x00BD, "No"), (0xFFFD, "So"),
    (0x00A0, "Zs"), (0x2028, "Zl"), (0x0085, "Cc"), (0xD800, "Cs"), (0xE000, "Co"),
    (0x0378, "Cn"), (0x10FFFF, "Cn"),
])
def test_category_of_known_code_points(cp, category):
    assert _internal.unicode_category(cp) == category


@pytest.mark.parametrize("bad", [-1, MAX_CP, 2**40])
def test_code_points_out_of_range_are_refused(bad):
    with pytest.raises((ValueError, OverflowError)):
        _internal.unicode_category(bad)
    with pytest.raises((ValueError, OverflowError)):
        _internal.case_variants(bad)


def test_unknown_table_is_refused():
    with pytest.raises(ValueError):
        _internal.unicode_table("colour")  # type: ignore[arg-type]


@pytest.fixture(scope="module")
def folds():
    return array.array("I", _internal.unicode_table("fold"))


@pytest.fixture(scope="module")
def cased(folds):
    """Code points that (?i) relates to another code point, by our tables or
    by the case lists regex compiles (?i) literals from."""
    from regex import _regex

    flags = regex.IGNORECASE | regex.UNICODE
    ours = {cp for cp in range(MAX_CP) if folds[cp] != cp or len(_internal.case_variants(cp)) > 1}
    theirs = {cp for cp in range(MAX_CP) if len(_regex.get_all_cases(flags, cp)) > 1}
    assert ours == theirs
    return sorted(ours)


@pytest.mark.slow
def test_case_insensitive_literals_match_what_the_folds_say(every_code_point, cased, folds):
    # Each cased code point as a (?i) literal, searched in every code point:
    # it matches its whole fold class, and more only for the Turkish i's.
    classes = collections.defaultdict(set)
    for cp in cased:
        classes[folds[cp]].add(cp)
    for cp in cased:
        matched = {ord(m) for m in regex.findall("(?i)" + regex.escape(chr(cp)), every_code_point)}
        assert matched == set(_internal.case_variants(cp)), f"U+{cp:04X}"
        assert classes[folds[cp]] <= matched, f"U+{cp:04X}"
        assert all(_internal.matches_ignoring_case(cp, other) for other in matched)
        assert matched == classes[folds[cp]] or cp in (0x49, 0x69, 0x130, 0x131)


def test_uncased_code_points_match_no_cased_one(every_code_point, cased):
    cased_class = regex.compile("(?i)[" + "".join(regex.escape(chr(cp)) for cp in cased) + "]")
    assert [m.start() for m in cased_class.finditer(every_code_point)] == cased


@pytest.mark.parametrize("a, b, same", [
    ("s", "S", True), ("s", "\u017f", True), ("k", "\u212a", True), ("\u00df", "\u1e9e", True),
    ("\u03c3", "\u03c2", True), ("\uab70", "\u13a0", True), ("I", "\u0131", True),
    ("i", "\u0130", True), ("i", "\u0131", False), ("I", "\u0130", False), ("\u00df", "s", False),
    ("a", "b", False),
])
def test_matches_ignoring_case_agrees_with_regex(a, b, same):
    assert (regex.fullmatch("(?i)" + regex.escape(a), b) is not None) == same
    assert _internal.matches_ignoring_case(ord(a), ord(b)) == same
    assert _internal.matches_ignoring_case(ord(b), ord(a)) == same


def test_case_variants_list_the_code_point_first_then_ascending(cased):
    for cp in cased:
        variants = _internal.case_variants(cp)
        assert variants[0] == cp and variants[1:] == sorted(variants[1:])
        assert 2 <= len(variants) <= 4
    assert _internal.case_variants(ord("7")) == [ord("7")]


def per_byte_units(data):
    """(code point, byte length) of each unit of `data` as Python decodes it,
    each byte of an invalid sequence being U+FFFD on its own."""
    errors = set()

    def one_byte(error):
        errors.add(error.start)
        return "\ufffd", error.start + 1

    codecs.register_error("brevix-test-units", one_byte)
    text = data.decode("utf-8", errors="brevix-test-units")
    units, pos = [], 0
    for ch in text:
        length = 1 if pos in errors else len(ch.encode("utf-8"))
        units.append((ord(ch), length))
        pos += length
    assert pos == len(data)
    return units


def decode_all(data):
    units, pos = [], 0
    while pos < len(data):
        cp, length = _internal.utf8_decode(data, pos)
        units.append((cp, length))
        pos += length
    return units


def test_utf8_decoding_of_every_two_byte_start():
    # Every lead and second byte, followed by bytes that would complete
    # three- and four-byte sequences, so each prefix is judged in context.
    for b0, b1 in itertools.product(range(256), repeat=2):
        data = bytes([b0, b1, 0x80, 0xBF, 0x41])
        assert decode_all(data) == per_byte_units(data), data


@pytest.mark.parametrize("data", [
    b"", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xed\x9f\xbf", b"\xf4\x90\x80\x80",
    b"\xf4\x8f\xbf\xbf", b"\xe2\x82", b"\xe2\x82\xac", b"\xf0\x9f\x98", b"\xf0\x9f\x98\x80",
    b"\xff\xfe", b"\x80abc", b"\xef\xbf\xbd\xff",
])
def test_utf8_decoding_of_edge_sequences(data):
    assert decode_all(data) == per_byte_units(data)


def test_utf8_decode_refuses_positions_outside_the_data():
    with pytest.raises(IndexError):
        _internal.utf8_decode(b"ab", 2)
    with pytest.raises(IndexError):
        _internal.utf8_decode(b"", 0)


@pytest.mark.slow
def test_committed_tables_are_what_the_script_generates():
    if regex.__version__ != "2026.5.9":
        pytest.skip("the tables are generated from regex 2026.5.9")
    script = pathlib.Path(__file__).resolve().parent.parent / "scripts" / "gen-unicode-tables.py"
    result = subprocess.run([sys.executable, str(script), "--check"], capture_output=True, text=True,
                            timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
