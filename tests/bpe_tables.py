"""Merge tables for the standard byte-pair encoding tests (imported as
``from bpe_tables import ...``): random tables made the way training makes
them, the tables of OpenAI's tiktoken files, and the rank-order definition."""

import base64
import gzip
import os
import random

import pytest

# tiktoken's own split pattern for cl100k_base.
CL100K_PATTERN = (
    r"""'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+| ?[^\s\p{L}\p{N}]++[\r\n]*+"""
    r"""|\s++$|\s*[\r\n]|\s+(?!\S)|\s"""
)
O200K_PATTERN = "|".join(
    [
        r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+(?i:'s|'t|'re|'ve|'m|'ll|'d)?""",
        r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*(?i:'s|'t|'re|'ve|'m|'ll|'d)?""",
        r"""\p{N}{1,3}""",
        r""" ?[^\s\p{L}\p{N}]+[\r\n/]*""",
        r"""\s*[\r\n]+""",
        r"""\s+(?!\S)""",
        r"""\s+""",
    ]
)
PATTERNS = {"cl100k_base": CL100K_PATTERN, "o200k_base": O200K_PATTERN}
# A pattern under which tiktoken keeps every text whole.
WHOLE_PATTERN = r"[\s\S]+"


def identity_byte_ids():
    return list(range(256))


def random_table(rng, alphabet=None, merges=None, interleave=None):
    """(byte_ids, merges) learned the way training learns them: random texts
    over a few bytes, each merge a random adjacent pair of the texts as they
    stand, applied to every text left to right. Byte ids are a random
    permutation; bytes the texts never use may take ids above the merges."""
    alphabet = alphabet or bytes(rng.sample(range(256), rng.randint(1, 6)))
    texts = [[bytes([rng.choice(alphabet)]) for _ in range(rng.randint(2, 60))] for _ in range(rng.randint(1, 4))]
    if rng.random() < 0.3:  # runs of one byte, as in 'a' * n
        texts.append([alphabet[:1]] * rng.randint(2, 80))
    wanted = rng.randint(0, 60) if merges is None else merges
    learned = []  # (left bytes, right bytes)
    seen = set()
    for _ in range(wanted * 4):
        if len(learned) == wanted:
            break
        text = rng.choice(texts)
        if len(text) < 2:
            continue
        i = rng.randrange(len(text) - 1)
        pair = (text[i], text[i + 1])
        if pair in seen or pair[0] + pair[1] in {a + b for a, b in learned}:
            continue
        seen.add(pair)
        learned.append(pair)
        for t in texts:
            apply_merge(t, pair)
    used = sorted(set(alphabet))
    unused = [b for b in range(256) if b not in set(used)]
    rng.shuffle(used)
    rng.shuffle(unused)
    if interleave is None:
        interleave = rng.random() < 0.5
    order = used + unused if not interleave else used
    ids = {bytes([b]): i for i, b in enumerate(order)}
    merge_list = []
    for left, right in learned:
        new_id = len(ids)
        ids[left + right] = new_id
        merge_list.append((ids[left], ids[right], new_id))
    for b in ([] if not interleave else unused):
        ids[bytes([b])] = len(ids)
    byte_ids = [ids[bytes([b])] for b in range(256)]
    return byte_ids, merge_list


def arbitrary_table(rng, alphabet_size=None, merges=None):
    """(byte_ids, merges) whose merges join random earlier tokens, as no
    training would: tokens whose bytes encode otherwise are common, and so
    are tables tiktoken's rule reads differently."""
    alphabet = rng.sample(range(256), alphabet_size or rng.randint(1, 4))
    byte_ids = list(range(256))
    rng.shuffle(byte_ids)
    tokens = {byte_ids[b]: bytes([b]) for b in alphabet}
    known = set(tokens.values())
    merge_list = []
    for _ in range(rng.randint(0, 40) if merges is None else merges):
        left, right = rng.choice(list(tokens)), rng.choice(list(tokens))
        joined = tokens[left] + tokens[right]
        if joined in known or len(joined) > 12:
            continue
        new_id = 256 + len(merge_list)
        tokens[new_id] = joined
        known.add(joined)
        merge_list.append((left, right, new_id))
    return byte_ids, merge_list


def apply_merge(tokens, pair):
    """Merges every occurrence of `pair` in the list `tokens`, left to right."""
    out, i = [], 0
    while i < len(tokens):
        if i + 1 < len(tokens) and (tokens[i], tokens[i + 1]) == pair:
            out.append(tokens[i] + tokens[i + 1])
            i += 2
        else:
            out.append(tokens[i])
            i += 1
    tokens[:] = out


def token_bytes(byte_ids, merges):
    """{id: bytes} of every token of a table."""
    found = {i: bytes([b]) for b, i in enumerate(byte_ids)}
    for left, right, new_id in sorted(merges, key=lambda m: m[2]):
        found[new_id] = found[left] + found[right]
    return found


def random_input(rng, byte_ids, merges):
    """A text mostly of the table's own bytes, sometimes with long runs."""
    tokens = token_bytes(byte_ids, merges)
    pieces = [t for i, t in tokens.items() if len(t) > 1] or [bytes([rng.randrange(256)])]
    alphabet = bytes(sorted({c for t in pieces for c in t}))
    kind = rng.random()
    if kind < 0.2:
        return bytes([rng.choice(alphabet)]) * rng.randint(0, 700)
    if kind < 0.5:
        return b"".join(rng.choice(pieces) for _ in range(rng.randint(0, 120)))
    return bytes(rng.choice(alphabet) for _ in range(rng.choice([rng.randint(0, 40), rng.randint(40, 400)])))


def tiktoken_file(name):
    """The tokens of one of bpe_openai's tiktoken files, by rank."""
    bpe_openai = pytest.importorskip("bpe_openai")
    path = os.path.join(os.path.dirname(bpe_openai.__file__), "data", name + ".tiktoken.gz")
    if not os.path.exists(path):
        pytest.skip(f"{path} is not installed")
    ranks = {}
    with gzip.open(path, "rb") as f:
        for line in f:
            if line.strip():
                token, rank = line.split()
                ranks[int(rank)] = base64.b64decode(token)
    return [ranks[i] for i in range(len(ranks))]


def tiktoken_encoding(name, tokens, pattern, special_tokens=None):
    tiktoken = pytest.importorskip("tiktoken")
    return tiktoken.Encoding(
        name,
        pat_str=pattern,
        mergeable_ranks={t: i for i, t in enumerate(tokens)},
        special_tokens=special_tokens or {},
    )


def real_texts(limit=40, max_bytes=30000):
    """Text files of this machine: documentation and the standard library's
    Python sources, taken in a fixed order."""
    roots = ["/usr/share/doc", os.path.dirname(os.__file__)]
    found = []
    for root in roots:
        for directory, _, files in sorted(os.walk(root)):
            for name in sorted(files):
                if name.endswith((".py", ".txt", ".md", "copyright", "README")):
                    found.append(os.path.join(directory, name))
    rng = random.Random(7)
    rng.shuffle(found)
    texts = []
    for path in found:
        try:
            with open(path, "rb") as f:
                data = f.read(max_bytes)
        except OSError:
            continue
        if data:
            texts.append(data)
        if len(texts) == limit:
            break
    return texts
