"""The values crossing the boundary: Python ints to 32-bit ids, iterables to
corpora, bytes to byte strings, and the results coming back."""
import array
import enum
import sys
import warnings

import pytest

import brevix._internal as internal
from brevix.tokenizer import PyBytePairTokenizer

from helpers import (CONVERSION_FILE, CORPUS_FROM_PY, MODULE_FILE, TEXT_FROM_PY, innermost,
                      module_entries)

OVERFLOW = "Python int too large to convert to C long"
# C long is 64 bits on x86-64 Linux and 32 bits on i386, where an array("l")
# cannot hold an id out of the 32-bit range at all.
LONG_BITS = array.array("l").itemsize * 8
ENCODE_CORPUS_ENTRY = ("brevix.tokenizer.PyBytePairTokenizer.encode_corpus", MODULE_FILE, 23)


def roundtrip(obj):
    """An untrained tokenizer's encode_corpus returns the converted corpus unchanged."""
    return PyBytePairTokenizer().encode_corpus(obj)


class Color(enum.IntEnum):
    RED = 7


class IntWithOverrides(int):
    def __int__(self):
        return 1000

    def __index__(self):
        return 1000


class HasInt:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class OnlyIndex:
    def __index__(self):
        return 5


class RaisingInt:
    def __int__(self):
        raise LookupError("no int here")


class TestIntToInt32:
    @pytest.mark.parametrize("item,expected", [
        (0, 0), (-1, -1), (2147483647, 2147483647), (-2147483648, -2147483648),
        (True, 1), (False, 0), (3.9, 3), (-3.9, -3), (Color.RED, 7),
        (IntWithOverrides(5), 5), (HasInt(42), 42),
    ])
    def test_accepted(self, item, expected):
        result = roundtrip([item])
        assert result == [expected] and type(result[0]) is int

    @pytest.mark.parametrize("dtype,value", [("int64", -5), ("uint8", 200)])
    def test_accepted_numpy_scalars(self, dtype, value):
        np = pytest.importorskip("numpy")
        result = roundtrip([np.dtype(dtype).type(value)])
        assert result == [value] and type(result[0]) is int

    @pytest.mark.parametrize("item,exc,message", [
        ("7", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (OnlyIndex(), TypeError, "an integer is required"),
        (HasInt(1.5), TypeError, "__int__ returned non-int (type float)"),
        (HasInt("1"), TypeError, "__int__ returned non-int (type str)"),
        (RaisingInt(), LookupError, "no int here"),
        (float("nan"), ValueError, "cannot convert float NaN to integer"),
        (float("inf"), OverflowError, "cannot convert float infinity to integer"),
        (2147483648, OverflowError, OVERFLOW),
        (-2147483649, OverflowError, OVERFLOW),
        (2 ** 63, OverflowError, OVERFLOW),
        (-(2 ** 100), OverflowError, OVERFLOW),
        (HasInt(2 ** 40), OverflowError, OVERFLOW),
    ])
    def test_refused_with_item_entry(self, item, exc, message):
        with pytest.raises(exc) as excinfo:
            roundtrip([1, item])
        assert str(excinfo.value).strip("'") == message
        assert module_entries(excinfo) == [ENCODE_CORPUS_ENTRY,
                                           (CORPUS_FROM_PY, CONVERSION_FILE, 48)]

    def test_int_subclass_from_int_warns(self):
        with pytest.warns(DeprecationWarning) as record:
            assert roundtrip([HasInt(True)]) == [1]
        assert str(record[0].message) == (
            "__int__ returned non-int (type bool).  The ability to return an instance of a "
            "strict subclass of int is deprecated, and may be removed in a future version of "
            "Python.")

    def test_int_subclass_from_int_fails_when_warnings_are_errors(self):
        with warnings.catch_warnings():
            warnings.simplefilter("error", DeprecationWarning)
            with pytest.raises(DeprecationWarning):
                roundtrip([HasInt(True)])

    @pytest.mark.parametrize("position", [1, 2])
    @pytest.mark.parametrize("value", [2 ** 31, -(2 ** 31) - 1, "3", None])
    def test_fit_counts_refused(self, position, value):
        args = [[1, 2], 300, 1]
        args[position] = value
        with pytest.raises((OverflowError, TypeError)) as excinfo:
            PyBytePairTokenizer().fit(*args)
        # Integer conversions add no entry of their own.
        assert innermost(excinfo, 1)[1] == [
            ("brevix.tokenizer.PyBytePairTokenizer.fit", MODULE_FILE, 17)]


def gen(values):
    yield from values


class StopSubclass(StopIteration):
    pass


class EndsWithStopSubclass:
    def __init__(self):
        self.left = [4, 5]

    def __iter__(self):
        return self

    def __next__(self):
        if not self.left:
            raise StopSubclass
        return self.left.pop(0)


class TestSequenceToCorpus:
    @pytest.mark.parametrize("obj,expected", [
        ([], []), ((), []), (b"", []), (bytearray(), []), (gen([]), []), ("", []),
        ([1, 2, 3], [1, 2, 3]), ((4, -5), [4, -5]), (range(3), [0, 1, 2]),
        (b"ab", [97, 98]), (b"\x00\xff", [0, 255]), (bytearray(b"\x80z"), [128, 122]),
        ({9: "a", 8: "b"}, [9, 8]), (gen([1, 2]), [1, 2]), (iter([3]), [3]),
        (EndsWithStopSubclass(), [4, 5]),
        ([2147483647, -2147483648, -1], [2147483647, -2147483648, -1]),
    ])
    def test_accepted(self, obj, expected):
        assert roundtrip(obj) == expected

    def test_subclasses_use_their_own_iterator(self):
        class ReversedList(list):
            def __iter__(self):
                return iter(reversed(list(super().__iter__())))

        class DoubledTuple(tuple):
            def __iter__(self):
                for x in tuple.__iter__(self):
                    yield x
                    yield x

        assert roundtrip(ReversedList([1, 2, 3])) == [3, 2, 1]
        assert roundtrip(DoubledTuple((1, 2))) == [1, 1, 2, 2]

    def test_bytes_subclass_is_iterated(self):
        class B(bytes):
            pass

        assert roundtrip(B(b"\x01\xfe")) == [1, 254]

    def test_list_changed_while_walked_is_followed(self):
        items = []

        class Shrinks:
            def __int__(self):
                del items[1:]
                return 10

        class Grows:
            def __int__(self):
                items.append(30)
                return 20

        items[:] = [Shrinks(), 1, 2]
        assert roundtrip(items) == [10]
        items[:] = [Grows(), 5]
        assert roundtrip(items) == [20, 5, 30]

    def test_iterator_failure_midway(self):
        def failing():
            yield 1
            raise ValueError("midway")

        with pytest.raises(ValueError, match="midway") as excinfo:
            roundtrip(failing())
        assert innermost(excinfo, 3)[1][:2] == [ENCODE_CORPUS_ENTRY,
                                                (CORPUS_FROM_PY, CONVERSION_FILE, 47)]

    @pytest.mark.parametrize("obj", [5, None, 1.5, object()])
    def test_not_iterable(self, obj):
        with pytest.raises(TypeError, match="not iterable") as excinfo:
            roundtrip(obj)
        assert innermost(excinfo, 2)[1] == [ENCODE_CORPUS_ENTRY,
                                            (CORPUS_FROM_PY, CONVERSION_FILE, 47)]

    @pytest.mark.parametrize("obj", ["ab", ["a"], gen(["x"]), (1, "2")])
    def test_text_items_refused(self, obj):
        with pytest.raises(TypeError, match="^an integer is required$"):
            roundtrip(obj)

    def test_caller_objects_untouched(self):
        corpus = [97, 97, 98, 97, 97, 98]
        t = PyBytePairTokenizer()
        t.fit(corpus, 300, 2)
        assert corpus == [97, 97, 98, 97, 97, 98]
        t.encode_corpus(corpus)
        assert corpus == [97, 97, 98, 97, 97, 98]

    @pytest.mark.parametrize("length,accepted", [
        (0, True), (2 ** 31 - 1, True), (2 ** 31, False), (2 ** 32, False), (2 ** 40, False),
        (2 ** 64 - 1, False)])
    def test_corpus_length_limit(self, length, accepted):
        if accepted:
            assert internal._check_corpus_length(length) is None
        else:
            with pytest.raises(OverflowError, match="too long"):
                internal._check_corpus_length(length)


# Integer arrays take a buffer fast path; it must agree with iterating them.
ARRAYS = [
    array.array("b", [-128, 0, 127]), array.array("B", [0, 255]), array.array("h", [-300, 300]),
    array.array("i", [2 ** 31 - 1, -(2 ** 31)]), array.array("I", [2 ** 31 - 1]),
    array.array("l", [-5, 5]), array.array("q", [7]), array.array("Q", [0]),
    array.array("d", [1.5, -2.5]), array.array("i"),
]

# NumPy arrays, built only where numpy is installed.
NUMPY_ARRAYS = {
    "int64": lambda np: np.array([1, -2, 3], dtype=np.int64),
    "uint8": lambda np: np.array([200, 0], dtype=np.uint8),
    "int8": lambda np: np.array([-1], dtype=np.int8),
    "uint32": lambda np: np.array([2 ** 31 - 1], dtype=np.uint32),
    "int32-strided": lambda np: np.arange(10, dtype=np.int32)[::3],
    "int16-reversed": lambda np: np.arange(5, dtype=np.int16)[::-1],
    "big-endian": lambda np: np.array([1, 2], dtype=">i4"),
    "bool": lambda np: np.array([True, False]),
    "float": lambda np: np.array([1.9, -1.9]),
    "2d": lambda np: np.array([[1], [2]], dtype=np.int64),
    "empty": lambda np: np.array([], dtype=np.int64),
    "uint64": lambda np: np.array([5, 6], dtype=np.uint64),
}


def outcome(obj):
    try:
        return roundtrip(obj)
    except Exception as e:
        return type(e), str(e)


@pytest.mark.parametrize("arr", ARRAYS, ids=lambda a: f"array-{a.typecode}")
def test_array_fast_path_matches_iteration(arr):
    assert outcome(arr) == outcome(gen(arr))


@pytest.mark.parametrize("make", NUMPY_ARRAYS.values(), ids=NUMPY_ARRAYS.keys())
def test_numpy_fast_path_matches_iteration(make):
    arr = make(pytest.importorskip("numpy"))
    assert outcome(arr) == outcome(gen(arr))


@pytest.mark.parametrize("arr", [
    array.array("q", [1, 2 ** 31]), array.array("Q", [2 ** 63]),
    *([array.array("l", [-(2 ** 31) - 1])] if LONG_BITS > 32 else []),
    array.array("L", [2 ** LONG_BITS - 1]),
    pytest.param(("int64", 2 ** 31), id="numpy-int64-high"),
    pytest.param(("uint64", 2 ** 32), id="numpy-uint64"),
    pytest.param(("int64", -(2 ** 40)), id="numpy-int64-low"),
])
def test_array_out_of_range_refused_like_ints(arr):
    if isinstance(arr, tuple):
        np = pytest.importorskip("numpy")
        dtype, value = arr
        arr = np.array([value], dtype=dtype)
    for obj in (arr, gen(arr)):
        with pytest.raises(OverflowError, match=f"^{OVERFLOW}$") as excinfo:
            roundtrip(obj)
        assert innermost(excinfo, 2)[1] == [ENCODE_CORPUS_ENTRY,
                                            (CORPUS_FROM_PY, CONVERSION_FILE, 48)]


def test_unicode_array_refused():
    with warnings.catch_warnings():
        # The 'u' type code is deprecated from 3.13 on; its items being
        # refused is what this tests.
        warnings.simplefilter("ignore", DeprecationWarning)
        unicode_array = array.array("u", "ab")
    with pytest.raises(TypeError, match="an integer is required"):
        roundtrip(unicode_array)


class TestByteStrings:
    @pytest.mark.parametrize("text,expected", [
        (b"", []), (bytearray(), []), (b"ab", [97, 98]), (bytearray(b"a\x00b"), [97, 0, 98]),
        (b"\xff\x80", [-1, -128]),
    ])
    def test_encode_takes_bytes_and_bytearray(self, text, expected, capfd):
        assert PyBytePairTokenizer().encode(text) == expected

    def test_subclasses_accepted(self, capfd):
        class B(bytes):
            pass

        class BA(bytearray):
            pass

        t = PyBytePairTokenizer()
        assert t.encode(B(b"\x00z")) == [0, 122]
        assert t.encode(BA(b"q\x00")) == [113, 0]

    @pytest.mark.parametrize("obj", ["text", "", memoryview(b"ab"), 5, None, [97],
                                     array.array("b", [1])])
    def test_non_bytes_refused(self, obj):
        with pytest.raises(TypeError) as excinfo:
            PyBytePairTokenizer().encode(obj)
        assert innermost(excinfo, 2)[1] == [
            ("brevix.tokenizer.PyBytePairTokenizer.encode", MODULE_FILE, 20),
            (TEXT_FROM_PY, CONVERSION_FILE, 15)]

    @pytest.mark.parametrize("ids,expected", [
        ([], b""), ([104, 105], b"hi"), ([0, -1, 255, -128], b"\x00\xff\xff\x80"),
        ([0xC3, 0x28], b"\xc3\x28"),
    ])
    def test_decode_returns_bytes_unchanged(self, ids, expected):
        result = PyBytePairTokenizer().decode(ids)
        assert type(result) is bytes and result == expected


class TestResults:
    def test_every_small_id_comes_back(self):
        ids = list(range(-140, 270))
        assert roundtrip(ids) == ids

    def test_each_call_returns_a_new_list(self):
        t = PyBytePairTokenizer()
        source = [1, 2]
        first, second = t.encode_corpus(source), t.encode_corpus(source)
        assert first == second and first is not second and first is not source


class TestReferenceCounts:
    @pytest.mark.parametrize("make_corpus", [lambda item: [1, item], lambda item: (item, 1)])
    @pytest.mark.parametrize("item", [2 ** 31, "x", HasInt(1.5), HasInt(3), 12345678])
    def test_arguments_keep_their_refcounts(self, make_corpus, item):
        t = PyBytePairTokenizer()
        corpus = make_corpus(item)
        before = (sys.getrefcount(item), sys.getrefcount(corpus))
        for _ in range(20):
            try:
                t.encode_corpus(corpus)
            except (OverflowError, TypeError):
                pass
            try:
                t.fit(corpus, item, item)
            except (OverflowError, TypeError):
                pass
        assert (sys.getrefcount(item), sys.getrefcount(corpus)) == before

    def test_text_and_path_refcounts(self, tmp_path, capfd):
        from brevix.tokenizer import data_loader, data_saver
        text, path, bad = b"some text", bytes(tmp_path / "x.bin"), "str path"
        before = [sys.getrefcount(o) for o in (text, path, bad)]
        t = PyBytePairTokenizer()
        for _ in range(20):
            t.encode(text)
            data_saver(text, path)
            data_loader(path)
            for call in (lambda: data_loader(bad), lambda: data_saver([1], bad),
                         lambda: t.encode(bad)):
                with pytest.raises(TypeError):
                    call()
        assert [sys.getrefcount(o) for o in (text, path, bad)] == before

    def test_no_block_growth_over_failing_calls(self):
        t = PyBytePairTokenizer()
        bad = [1, 2, 2 ** 40]

        def churn():
            for _ in range(500):
                try:
                    t.decode(bad)
                except OverflowError:
                    pass
                t.decode([104, 105])

        churn()
        start = sys.getallocatedblocks()
        churn()
        assert sys.getallocatedblocks() - start < 50
