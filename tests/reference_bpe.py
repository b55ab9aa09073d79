"""Straightforward standard BPE in Python, the definition the API tests
compare brevix.Tokenizer with: rank-order encoding, splitting with the
`regex` module, and piece-count training with the smallest-pair tie rule."""

import collections
import codecs

import regex


def per_byte_replace(error):
    """Decoding error handler: one U+FFFD per invalid byte (brevix's rule for
    matching bytes that are not UTF-8)."""
    return "\ufffd", error.start + 1


codecs.register_error("brevix-test-per-byte", per_byte_replace)


def split(pattern, data):
    """The pieces of `data` (bytes): matches of `pattern` on its per-byte
    decoded text, with unmatched stretches as pieces of their own."""
    if pattern is None:
        return [data] if data else []
    text = data.decode("utf-8", "brevix-test-per-byte")
    offsets = [0]
    for ch, raw in _char_lengths(data):
        offsets.append(offsets[-1] + raw)
    pieces, at = [], 0
    for m in regex.finditer(pattern, text):
        if m.end() == m.start():
            continue
        if m.start() > at:
            pieces.append(data[offsets[at]:offsets[m.start()]])
        pieces.append(data[offsets[m.start()]:offsets[m.end()]])
        at = m.end()
    if at < len(text):
        pieces.append(data[offsets[at]:])
    return pieces


def _char_lengths(data):
    """(char, byte length) for each character of the per-byte decoding."""
    i = 0
    while i < len(data):
        for n in (4, 3, 2, 1):
            chunk = data[i:i + n]
            if len(chunk) == n:
                try:
                    ch = chunk.decode("utf-8")
                except UnicodeDecodeError:
                    continue
                if len(ch) == 1:
                    yield ch, n
                    i += n
                    break
        else:
            yield "\ufffd", 1
            i += 1


def encode_piece(piece, byte_ids, ranks):
    """Rank order: merge the lowest-ranked adjacent pair, leftmost first."""
    ids = [byte_ids[b] for b in piece]
    while len(ids) > 1:
        best = min(
            ((ranks[(a, b)], i) for i, (a, b) in enumerate(zip(ids, ids[1:])) if (a, b) in ranks),
            default=None,
        )
        if best is None:
            break
        rank, i = best
        ids[i:i + 2] = [rank]
    return ids


def encode(data, merges, pattern=None, byte_ids=range(256)):
    ranks = {(left, right): merged for left, right, merged in merges}
    byte_ids = list(byte_ids)
    out = []
    for piece in split(pattern, data):
        out.extend(encode_piece(piece, byte_ids, ranks))
    return out


def train_counts(counts, num_merges, first_id=256):
    """Merges learned from {piece bytes: count}: the most frequent pair,
    ties to the smallest (left, right), recounting every time."""
    words = {tuple(piece): c for piece, c in counts.items() if piece}
    merges = []
    for new_id in range(first_id, first_id + num_merges):
        pairs = collections.Counter()
        for word, c in words.items():
            for pair in zip(word, word[1:]):
                pairs[pair] += c
        if not pairs:
            break
        best = min(pairs, key=lambda p: (-pairs[p], p))
        merges.append((best[0], best[1], new_id))
        words = {_merge(w, best, new_id): c for w, c in words.items()}
    return merges


def _merge(word, pair, new_id):
    out, i = [], 0
    while i < len(word):
        if i + 1 < len(word) and (word[i], word[i + 1]) == pair:
            out.append(new_id)
            i += 2
        else:
            out.append(word[i])
            i += 1
    return tuple(out)


def piece_counts(pattern, documents):
    counts = collections.Counter()
    for doc in documents:
        counts.update(split(pattern, doc))
    return counts
