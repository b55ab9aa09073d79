"""decode through the method on every way ids can arrive (exact list and
tuple, integer arrays, other iterables), checked against the straightforward
core expansion: around the 16-byte cached expansions, across blocks of ids,
with items the quick list reading must leave to the full conversion."""

import array
import enum
import random

import pytest

from brevix import _internal as core
from brevix.tokenizer import PyBytePairTokenizer
from hostile import IntHook

LONGEST = 40
# The widest value an array("L") holds: 2**64 - 1 on x86-64 Linux, 2**32 - 1
# on i386; both lie beyond the 32-bit ids.
ULONG_MAX = 2 ** (array.array("L").itemsize * 8) - 1


def chain_merges(longest=LONGEST):
    """Merges after which token_of(k) expands to exactly k bytes, 2 <= k <= longest."""
    merges = [(97, 98, 256)]
    for k in range(3, longest + 1):
        merges.append((256 + k - 3, 97 + k % 26, 256 + k - 2))
    return merges


def token_of(length):
    return 97 if length == 1 else 256 + length - 2


MERGES = chain_merges()


def tokenizer(merges=MERGES):
    t = PyBytePairTokenizer()
    core.set_merges(t, merges)
    return t


def expected(ids, merges=MERGES):
    return core.decode(merges, [int(i) for i in ids], "straightforward")


def shapes(ids):
    """The same ids as each kind of input decode takes."""
    return {
        "list": list(ids),
        "tuple": tuple(ids),
        "array-i": array.array("i", ids),
        "array-q": array.array("q", ids),
        "iterator": iter(list(ids)),
    }


SHAPES = ["list", "tuple", "array-i", "array-q", "iterator"]


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("length", [1, 2, 7, 8, 9, 15, 16, 17, 18, 31, 32, 33, LONGEST])
@pytest.mark.parametrize("count", [1, 3, 4095, 4097, 9000])
def test_expansions_around_the_cached_length_and_block_size(shape, length, count):
    # Long expansions of many ids also outgrow the first guess at the size.
    ids = [token_of(length)] * count
    ids[count // 2] = 32
    result = tokenizer().decode(shapes(ids)[shape])
    assert result == expected(ids)
    assert len(result) == length * (count - 1) + 1


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("seed", range(4))
def test_mixed_lengths_match_the_straightforward_expansion(shape, seed):
    rng = random.Random(seed)
    pool = [token_of(k) for k in range(1, LONGEST + 1)] + [0, -1, -128, 255, 200]
    ids = [rng.choice(pool) for _ in range(rng.randrange(5000, 20000))]
    assert tokenizer().decode(shapes(ids)[shape]) == expected(ids)


@pytest.mark.parametrize("shape", SHAPES)
def test_ids_outside_the_table_in_a_long_input(shape):
    # Below -128: one byte; 256 and up without a merge: two NULs.
    ids = [-1000, 2**31 - 1, -(2**31), 70000, -129, 256 + LONGEST, 65] * 2000
    assert tokenizer().decode(shapes(ids)[shape]) == expected(ids)


class Sub(int):
    def __int__(self):
        return 99  # never used: an int subclass is read by value


class Colour(enum.IntEnum):
    RED = 257
    BLUE = -3


@pytest.mark.parametrize("container", [list, tuple])
@pytest.mark.parametrize(
    "items, values",
    [
        ([0, 1, -1, 65], [0, 1, -1, 65]),
        ([2**30 - 1, -(2**30 - 1), 2**30, -(2**30)], [2**30 - 1, -(2**30 - 1), 2**30, -(2**30)]),
        ([2**31 - 1, -(2**31), 97], [2**31 - 1, -(2**31), 97]),
        ([True, 256, False, True], [1, 256, 0, 1]),
        ([Sub(300), 97, Sub(-5), Sub(0)], [300, 97, -5, 0]),
        ([Colour.RED, 32, Colour.BLUE], [257, 32, -3]),
        ([IntHook(258), 97, IntHook(-2)], [258, 97, -2]),
    ],
)
@pytest.mark.parametrize("repeat", [1, 3000])
def test_list_items_the_quick_reading_leaves_to_the_conversion(container, items, values, repeat):
    ids = container([token_of(5)] * repeat + items + [token_of(20)] * repeat)
    want = expected([token_of(5)] * repeat + values + [token_of(20)] * repeat)
    assert tokenizer().decode(ids) == want


@pytest.mark.parametrize("container", [list, tuple])
@pytest.mark.parametrize("bad", [2**31, -(2**31) - 1, 2**40, -(2**64), Sub(2**31)])
@pytest.mark.parametrize("before", [0, 1, 9000])
def test_out_of_range_items_raise_after_any_number_of_good_ones(container, bad, before):
    ids = container([token_of(3)] * before + [bad] + [97])
    with pytest.raises(OverflowError, match="Python int too large to convert to C long"):
        tokenizer().decode(ids)


@pytest.mark.parametrize(
    "typecode, bad",
    [("q", 2**31), ("q", -(2**31) - 1), ("Q", 2**31), ("I", 2**32 - 1), ("L", ULONG_MAX)],
)
@pytest.mark.parametrize("before", [0, 9000])
def test_out_of_range_array_items_raise(typecode, bad, before):
    ids = array.array(typecode, [97] * before + [bad, 98])
    with pytest.raises(OverflowError, match="Python int too large to convert to C long"):
        tokenizer().decode(ids)


@pytest.mark.parametrize("typecode", ["b", "B", "h", "H", "i", "I", "l", "L", "q", "Q"])
def test_every_integer_array_type(typecode):
    ids = [token_of(k % LONGEST + 1) for k in range(9000)] + [0, 1, 127]
    if typecode in "bB":
        ids = [i % 128 for i in ids]
    assert tokenizer().decode(array.array(typecode, ids)) == expected(ids)


def _walk(seq):
    """The ids the conversion reads: by index, the length read before each item."""
    out, i = [], 0
    while i < len(seq):
        out.append(int(seq[i]))
        i += 1
    return out


@pytest.mark.parametrize("where", [0, 5000, 9999])
@pytest.mark.parametrize(
    "change",
    [
        lambda seq: seq.pop(),
        lambda seq: seq.extend([token_of(9)] * 5000),
        lambda seq: seq.clear(),
        lambda seq: seq.__setitem__(slice(None), [65, 66]),
    ],
    ids=["pop", "extend", "clear", "replace"],
)
def test_a_list_changed_by_an_items_int_hook(where, change):
    def fresh():
        seq = [token_of(k % 30 + 1) for k in range(10000)]
        seq.insert(where, IntHook(token_of(12), lambda: change(seq)))
        return seq

    want = expected(_walk(fresh()))
    assert tokenizer().decode(fresh()) == want


def test_a_tokenizer_retrained_by_an_items_int_hook_decodes_with_the_new_table():
    t = tokenizer()

    def retrain():
        core.set_merges(t, [(120, 121, 256)])

    ids = [256] * 9000 + [IntHook(256, retrain)] + [256] * 9000
    assert t.decode(ids) == b"xy" * 18001


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("count", [1, 9000])
def test_a_cyclic_id_in_a_long_input_is_named(shape, count):
    t = PyBytePairTokenizer()
    t.fit([256, 256], 1000, 5)  # learns (256, 256) as 256
    ids = [65] * count + [256]
    with pytest.raises(ValueError, match="cannot decode token id 256"):
        t.decode(shapes(ids)[shape])
    assert t.decode(shapes([65] * count)[shape]) == b"A" * count


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("trained", [False, True])
def test_empty_input(shape, trained):
    t = tokenizer() if trained else PyBytePairTokenizer()
    result = t.decode(shapes([])[shape])
    assert type(result) is bytes and result == b""


def test_numpy_arrays():
    np = pytest.importorskip("numpy")
    ids = [token_of(k % LONGEST + 1) for k in range(9000)]
    t = tokenizer()
    for dtype in (np.int32, np.int64, np.uint16):
        assert t.decode(np.array(ids, dtype=dtype)) == expected(ids)
    assert t.decode(np.array(ids + ids, dtype=np.int64)[::2]) == expected((ids + ids)[::2])
    with pytest.raises(OverflowError):
        t.decode(np.array(ids + [2**31], dtype=np.int64))
