"""A Python model of the GNU unordered_map walk order and of the pair hash.

Written from the table discipline (one singly linked list; a new entry goes in
front of its bucket's first entry, or at the list head when the bucket is
empty; a rehash re-inserts the old list in order), so the tests can predict
tie-breaks without trusting the C++ code under test.
"""

MASK = 0xFFFFFFFF

# (insert number, bucket count) pairs of the prime rehash policy.
REHASH_SCHEDULE = [
    (1, 13), (14, 29), (30, 59), (60, 127), (128, 257), (258, 541), (542, 1109),
    (1110, 2357), (2358, 5087), (5088, 10273), (10274, 20753), (20754, 42043),
]


def pair_hash(a, b):
    h = 0
    for x in (a, b):
        h ^= ((x & MASK) + 0x9E3779B9 + ((h << 6) & MASK) + (h >> 2)) & MASK
    return h


class GnuTable:
    """Keys only; tracks list order the way the library links its nodes."""

    def __init__(self, hash_fn):
        self.hash_fn = hash_fn
        self.buckets = 1
        self.head = None
        self.next = {}
        self.prev = {}
        self.first_of_bucket = {}
        self.count = 0

    def _link(self, key):
        b = self.hash_fn(key) % self.buckets
        first = self.first_of_bucket.get(b)
        if first is not None:
            before = self.prev[first]
            self.prev[key], self.next[key] = before, first
            self.prev[first] = key
            if before is None:
                self.head = key
            else:
                self.next[before] = key
        else:
            self.prev[key], self.next[key] = None, self.head
            if self.head is not None:
                self.prev[self.head] = key
            self.head = key
        self.first_of_bucket[b] = key

    def walk(self):
        key = self.head
        while key is not None:
            yield key
            key = self.next[key]

    def insert(self, key):
        if key in self.next:
            return
        for start, buckets in REHASH_SCHEDULE:
            if start == self.count + 1:
                old = list(self.walk())
                self.buckets = buckets
                self.head = None
                self.next, self.prev, self.first_of_bucket = {}, {}, {}
                for k in old:
                    self._link(k)
        self._link(key)
        self.count += 1


def stats_walk_order(corpus):
    """Distinct adjacent pairs of `corpus` in the statistics table's walk order."""
    table = GnuTable(lambda p: pair_hash(*p))
    for a, b in zip(corpus, corpus[1:]):
        table.insert((a, b))
    return list(table.walk())


def pair_counts(corpus):
    counts = {}
    for p in zip(corpus, corpus[1:]):
        counts[p] = counts.get(p, 0) + 1
    return counts
