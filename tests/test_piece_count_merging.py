"""Piece counts that travel between processes: PieceCounter.to_bytes read
back by a plain decoder of the layout, from_bytes/merge equal to counting
everything in one counter, malformed data refused whole, pruning to the most
frequent pieces, and the lines of byte ranges of a file adding up to the
file."""

import pytest
from hypothesis import given, settings, strategies as st

from brevix import _core, _internal

PATTERNS = _internal.well_known_patterns()
PATTERN = PATTERNS["cl100k"]
MAX = 2**64 - 1


def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def encode(pairs):
    """The layout written by hand: pairs of (piece, count), in order."""
    body = b"".join(varint(len(p)) + p + varint(c) for p, c in pairs)
    return b"BXPC\x01" + varint(len(pairs)) + body


def decode(data):
    """A plain reader of the layout, for what to_bytes writes."""
    assert data[:5] == b"BXPC\x01"
    at = 5

    def read_varint():
        nonlocal at
        value, shift = 0, 0
        while True:
            byte = data[at]
            at += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                return value

    counts = {}
    for _ in range(read_varint()):
        length = read_varint()
        piece = data[at : at + length]
        at += length
        assert piece not in counts
        counts[piece] = read_varint()
    assert at == len(data)
    return counts


def counter(documents, specials=()):
    c = _core.PieceCounter(PATTERN, list(specials), 1)
    c.add_documents(documents, None)
    return c


documents = st.lists(
    st.text(alphabet="ab Z9 \n\r\t'.,é中😀", max_size=30).map(str.encode), max_size=8
)


@settings(max_examples=150, deadline=None)
@given(st.sampled_from(sorted(PATTERNS)), documents, documents)
def test_merged_counts_equal_counting_everything(name, first, second):
    pattern = PATTERNS[name]
    a = _core.PieceCounter(pattern, [b"<s>"], 1)
    a.add_documents(first, None)
    b = _core.PieceCounter(pattern, [b"<s>"], 2)
    b.add_documents(second, None)
    expected_a = _internal.count_pieces(pattern, first, [b"<s>"])
    assert decode(a.to_bytes()) == expected_a

    merged = _core.PieceCounter.from_bytes(pattern, [b"<s>"], a.to_bytes())
    assert decode(merged.to_bytes()) == expected_a
    merged.merge(b.to_bytes())
    assert decode(merged.to_bytes()) == _internal.count_pieces(pattern, first + second, [b"<s>"])
    assert merged.distinct() == len(decode(merged.to_bytes()))

    # A counter merges as its bytes do, and merging one into itself doubles it.
    a.merge(b)
    assert decode(a.to_bytes()) == decode(merged.to_bytes())
    a.merge(a)
    assert decode(a.to_bytes()) == {p: 2 * n for p, n in decode(merged.to_bytes()).items()}


def test_hand_written_layout_loads_and_repeated_pieces_add_up():
    data = encode([(b"ab", 3), (b"\x00\xff", MAX - 5), (b"ab", 4), (b"x" * 200, 2**35)])
    c = _core.PieceCounter.from_bytes(None, [], bytearray(data))
    assert decode(c.to_bytes()) == {b"ab": 7, b"\x00\xff": MAX - 5, b"x" * 200: 2**35}
    assert decode(_core.PieceCounter.from_bytes(None, [], encode([])).to_bytes()) == {}


def test_every_truncation_is_refused():
    data = counter([b"hello world, hello there\n\n", "中文 😀".encode()]).to_bytes()
    for end in range(len(data)):
        with pytest.raises(ValueError, match="piece counts"):
            _core.PieceCounter.from_bytes(PATTERN, [], data[:end])


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"BXPC",
        b"BXPD\x01\x00",
        b"BXPC\x02\x00",
        encode([(b"a", 1)]) + b"\x00",  # bytes after the last piece
        b"BXPC\x01\x01\x00\x01",  # an empty piece
        encode([(b"a", 0)]),
        b"BXPC\x01\x01\x01a\x81\x00",  # an overlong varint
        b"BXPC\x01\x01\x01a" + b"\xff" * 9 + b"\x02",  # 2^64
        b"BXPC\x01\x01\x01a" + b"\xff" * 10 + b"\x01",  # eleven bytes
        b"BXPC\x01" + varint(2**62) + b"\x01a\x01",  # more pieces than bytes
        b"BXPC\x01\x01" + varint(2**40) + b"a\x01",  # a piece longer than the data
    ],
)
def test_malformed_data_is_refused_and_changes_nothing(data):
    c = counter([b"keep these counts"])
    before = c.to_bytes()
    with pytest.raises(ValueError, match="piece counts"):
        c.merge(data)
    assert c.to_bytes() == before
    with pytest.raises(ValueError):
        _core.PieceCounter.from_bytes(PATTERN, [], data)


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=60), st.integers(0, 59), st.integers(0, 255))
def test_corrupted_data_never_crashes(tail, where, byte):
    data = bytearray(counter([b"some text, 12 pieces\n"]).to_bytes() + tail)
    data[where % len(data)] = byte
    try:
        c = _core.PieceCounter.from_bytes(PATTERN, [], bytes(data))
    except ValueError:
        return
    assert c.distinct() == len(decode(c.to_bytes()))


def test_overflow_is_refused_whole():
    c = _core.PieceCounter.from_bytes(None, [], encode([(b"a", 5), (b"b", MAX - 1)]))
    before = decode(c.to_bytes())
    with pytest.raises(OverflowError):
        c.merge(encode([(b"a", 1), (b"b", 2)]))
    assert decode(c.to_bytes()) == before
    with pytest.raises(OverflowError):
        _core.PieceCounter.from_bytes(None, [], encode([(b"b", MAX), (b"b", 1)]))
    c.merge(encode([(b"b", 1)]))
    assert decode(c.to_bytes())[b"b"] == MAX


def test_wrong_kinds_are_type_errors():
    c = counter([b"x"])
    for bad in ("BXPC\x01\x00", 3, None, [b"BXPC"]):
        with pytest.raises(TypeError):
            c.merge(bad)


@settings(max_examples=150, deadline=None)
@given(
    st.dictionaries(st.binary(min_size=1, max_size=4), st.integers(1, 6), max_size=40),
    st.integers(0, 45),
)
def test_prune_keeps_the_most_frequent_then_smallest_bytes(counts, keep):
    c = _core.PieceCounter.from_bytes(None, [], encode(list(counts.items())))
    dropped, least_kept = c.prune(keep)
    ranked = sorted(counts.items(), key=lambda item: (-item[1], item[0]))
    kept = dict(ranked[:keep])
    assert decode(c.to_bytes()) == kept
    assert dropped == len(counts) - len(kept)
    assert least_kept == min(kept.values(), default=0)


def test_prune_refuses_a_negative_size():
    with pytest.raises(OverflowError):
        counter([b"x"]).prune(-1)


@settings(max_examples=60, deadline=None)
@given(
    st.lists(st.sampled_from([b"ab", b" ", b"\n", b"\n\n", b"x" * 70, "é".encode(), b"<s>"]), max_size=40),
    st.lists(st.integers(0, 400), max_size=5),
)
def test_line_ranges_add_up_to_the_file(tmp_path_factory, parts, cuts):
    path = tmp_path_factory.mktemp("lines") / "f.txt"
    data = b"".join(parts)
    path.write_bytes(data)
    edges = sorted({0, *(min(c, len(data)) for c in cuts)}) + [len(data) + 10]
    whole = _core.PieceCounter(PATTERN, [b"<s>"], 1)
    whole.add_file(bytes(path), True, None)
    ranged = _core.PieceCounter(PATTERN, [b"<s>"], 2)
    for start, end in zip(edges, edges[1:]):
        ranged.add_file_lines(bytes(path), start, end, None)
    assert decode(ranged.to_bytes()) == decode(whole.to_bytes())
    lines = data.splitlines(keepends=True)  # no "\r" in the parts
    assert decode(whole.to_bytes()) == _internal.count_pieces(PATTERN, lines, [b"<s>"])


def test_line_range_of_a_missing_file_is_os_error(tmp_path):
    with pytest.raises(OSError):
        counter([]).add_file_lines(bytes(tmp_path / "missing"), 0, 10, None)
