"""Fuzzes encoding by rank against its definition: random merge tables
(learned from random texts the way training learns, or joining random earlier
tokens, with byte ids permuted and sometimes above the merges), random
inputs with long runs; every path of the encoder must give the reference's
ids, decode must give the input back, and a table tiktoken's rule reads the
same must come back from its tokens by rank.

Each input seeds a random case. fuzz/run.sh runs it on the clang build
(BREVIX_FUZZ), whose native edges guide the fuzzer.

    python fuzz/fuzz_rank.py -max_total_time=60
"""

import random
import sys

import atheris

from brevix import _internal

PATHS = ("auto", "bytes", "long-piece", "search", "keyed", "short", "long", "batched")


def byte_ids_for(rng, used):
    """A permutation; bytes outside `used` may take ids above the merges."""
    used = list(used)
    rng.shuffle(used)
    order = used + [b for b in range(256) if b not in used]
    ids = {b: i for i, b in enumerate(order)}
    return [ids[b] for b in range(256)]


def random_table(rng):
    alphabet = rng.sample(range(256), rng.randint(1, 5))
    tokens = {b: bytes([b]) for b in alphabet}  # provisional ids: the byte values
    known = set(tokens.values())
    learned = []  # (left bytes, right bytes)
    texts = [[bytes([rng.choice(alphabet)]) for _ in range(rng.randint(2, 50))] for _ in range(3)]
    for _ in range(rng.randint(0, 50)):
        if rng.random() < 0.6:  # a pair of a text, as training picks
            text = rng.choice(texts)
            i = rng.randrange(len(text) - 1) if len(text) > 1 else None
            if i is None:
                continue
            left, right = text[i], text[i + 1]
        else:  # any two tokens
            left, right = rng.choice(list(known)), rng.choice(list(known))
        if left + right in known or len(left + right) > 16:
            continue
        known.add(left + right)
        learned.append((left, right))
        for text in texts:
            merged, j = [], 0
            while j < len(text):
                if j + 1 < len(text) and (text[j], text[j + 1]) == (left, right):
                    merged.append(left + right)
                    j += 2
                else:
                    merged.append(text[j])
                    j += 1
            text[:] = merged
    high_bytes = rng.random() < 0.5
    byte_ids = byte_ids_for(rng, alphabet) if high_bytes else rng.sample(range(256), 256)
    ids = {bytes([b]): byte_ids[b] for b in range(256)}
    next_id = len(alphabet) if high_bytes else 256
    merges = []
    for left, right in learned:
        ids[left + right] = next_id
        merges.append((ids[left], ids[right], next_id))
        next_id += 1
    if high_bytes:  # the unused bytes after the merges
        rest = [b for b in range(256) if b not in alphabet]
        for k, b in enumerate(rest):
            byte_ids[b] = next_id + k
    return byte_ids, merges, known


def random_input(rng, known):
    pieces = list(known)
    kind = rng.random()
    if kind < 0.25:
        return rng.choice(pieces)[:1] * rng.randint(0, 600)
    if kind < 0.6:
        return b"".join(rng.choice(pieces) for _ in range(rng.randint(0, 100)))
    alphabet = sorted({c for p in pieces for c in p})
    return bytes(rng.choice(alphabet) for _ in range(rng.randint(0, 300)))


def test_one_input(data):
    rng = random.Random(data)
    byte_ids, merges, known = random_table(rng)
    encoder = _internal.bpe_encoder(byte_ids, merges)
    for _ in range(3):
        text = random_input(rng, known)
        expected = _internal.rank_encode(byte_ids, merges, text, "reference")
        for path in PATHS:
            got = _internal.rank_encode(byte_ids, merges, text, path)
            assert got == expected, (path, byte_ids, merges, text, got, expected)
        assert _internal.bpe_encode(encoder, text) == expected, (merges, text)
        assert _internal.bpe_decode(encoder, expected) == text, (merges, text)

    if _internal.tiktoken_incompatible(byte_ids, merges) is None:
        by_id = {}
        for b in range(256):
            by_id[byte_ids[b]] = bytes([b])
        for left, right, new_id in merges:
            by_id[new_id] = by_id[left] + by_id[right]
        tokens = [by_id[i] for i in range(len(by_id))]
        assert _internal.merges_from_ranks(tokens) == (byte_ids, merges), (byte_ids, merges)


def main():
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
