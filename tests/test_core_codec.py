"""Encoding and decoding worked examples, through both engines."""
import random

import pytest

from brevix import _internal as core

ENGINES = ["fast", "straightforward"]


def echo_of(ids):
    return "".join(f"{i} " for i in ids).encode() + b"\n"


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("merges, data, ids", [
    ([], b"", []),
    ([], b"a \xc3\xa9", [97, 32, -61, -87]),
    ([], b"x\x00y", [120, 0, 121]),
    ([(97, 32, 256)], b"a \xc3\xa9", [256, -61, -87]),  # merges across a space
    ([(97, 98, 256)], b"abcab", [256, 99, 256]),
    # A pair over 128..255 never applies: the encoder yields -128..-1.
    ([(195, 169, 256)], b"\xc3\xa9", [-61, -87]),
    ([(-61, -87, 256), (256, 256, 257)], b"\xc3\xa9\xc3\xa9\xc3\xa9", [257, 256]),
])
def test_encode_examples(engine, merges, data, ids):
    assert core.encode(merges, data, engine) == (echo_of(ids), ids)


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("merges, ids, data", [
    ([], [], b""),
    ([], [72, 105], b"Hi"),
    ([], [-1, 255, -1000, 200, -128], b"\xff\xff\x18\xc8\x80"),
    ([], [256, 1000], b"\x00" * 4),  # ids nobody assigned expand to (0, 0)
    ([(97, 98, 256), (256, 99, 257)], [257], b"abc"),
    ([(97, 98, 256), (256, 99, 257)], [257, 32, 256], b"abc ab"),
    ([(-61, -87, 256)], [256, 300, -1000], b"\xc3\xa9\x00\x00\x18"),
    # Children outside the table: ids below -128 and unassigned ids.
    ([(-1000, 2**31 - 1, 256), (256, 256, 257)], [257], b"\x18\x00\x00\x18\x00\x00"),
])
def test_decode_examples(engine, merges, ids, data):
    assert core.decode(merges, ids, engine) == data


@pytest.mark.parametrize("seed", range(8))
def test_round_trip_arbitrary_bytes(seed):
    rng = random.Random(seed)
    training = bytes(rng.choice(b"ab \xc3\xa9\x00\xff") for _ in range(3000))
    signed = [b - 256 if b >= 128 else b for b in training]
    _, merges, _, _ = core.train(signed, 100_000, 200)
    for _ in range(5):
        text = bytes(rng.randrange(256) if rng.random() < 0.2 else rng.choice(b"ab \xc3\xa9")
                     for _ in range(rng.randrange(0, 500)))
        echo, ids = core.encode(merges, text, "fast")
        assert core.decode(merges, ids, "fast") == text


@pytest.mark.parametrize("engine", ENGINES)
def test_long_expansions_beyond_the_short_cache(engine):
    # Doubling chains give expansions of 2**k bytes, past any fixed block.
    merges = [(120, 121, 256)] + [(256 + k, 256 + k, 257 + k) for k in range(12)]
    out = core.decode(merges, [268, 7, 256, 262], engine)
    assert out == b"xy" * 2**12 + b"\x07" + b"xy" + b"xy" * 2**6


def test_hooks_do_not_leak():
    import gc
    import sys

    def exercise():
        core.train([1, 2, 3, 1, 2] * 20, 1000, 10, "fast", merges=[(9, 9, 256)])
        core.train_sequence([([1, 2, 1, 2], 1000, 10)] * 2, "targeted")
        _, ids = core.encode([(97, 98, 256)], b"abcab" * 50)
        core.decode([(97, 98, 256)], ids)
        core.pair_stats([1, 2, 3, 1, 2])
        for bad in (lambda: core.decode([(256, 256, 256)], [256]),
                    lambda: core.train([1, 2**40], 10, 1),
                    lambda: core.train([1, 2], 10, 1, "nope")):
            try:
                bad()
            except (ValueError, OverflowError):
                pass

    for _ in range(20):
        exercise()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(200):
        exercise()
    gc.collect()
    assert sys.getallocatedblocks() - before < 50
