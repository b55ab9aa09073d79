#include "merger.h"

#include <algorithm>

// Performance notes
// - The lookup dominates: std::unordered_map costs a hash, a modulo and a
//   pointer chase per position. The flat base-token table answers most
//   first-pass lookups with one load; the open-addressing map the rest.
// - Passes rewrite the corpus in place (the write index never overtakes the
//   read index), so no pass allocates.
// - A pass after the first only scans from just before the first id the
//   previous pass wrote to just after the last one: every other adjacency was
//   already tested and is not a key, and the scan enters and leaves that
//   window in step with a full pass. The rest is moved as a block.
// - Tried: a per-id "starts a key / ends a key" byte filter in front of the
//   map probe. It was about 10% slower on real text; the probe into a
//   cache-resident open-addressing table is already cheap.

namespace bytepairtokenizer {

MergeLookup::MergeLookup(const DTYPE_BYTEPAIR_VOCAB& vocab)
    : direct_(256 * 256, -1), others_(vocab.size()) {
    for (const auto& entry : vocab) {
        const int left = entry.first[0];
        const int right = entry.first[1];
        const unsigned l = static_cast<unsigned>(left + 128);
        const unsigned r = static_cast<unsigned>(right + 128);
        if ((l | r) < 256u) {
            direct_[(l << 8) | r] = entry.second;
        } else {
            others_.insertNew(left, right, entry.second);
        }
    }
}

namespace {

// Window of a pass's output that holds ids written by a merge.
struct Written {
    std::size_t first;
    std::size_t last;
    bool any;
};

// One greedy left-to-right pass over corpus[begin..end), then the
// untouched tail moved down behind it. Returns where merges were written.
Written mergePass(std::vector<int>& corpus, std::size_t begin, std::size_t end,
                  const MergeLookup& lookup) {
    int* c = corpus.data();
    const std::size_t n = corpus.size();
    Written written{0, 0, false};
    std::size_t w = begin;
    std::size_t i = begin;
    while (i + 1 < end) {
        const int id = lookup.find(c[i], c[i + 1]);
        if (id >= 0) {
            if (!written.any) written.first = w;
            written.last = w;
            written.any = true;
            c[w++] = id;
            i += 2;
        } else {
            c[w++] = c[i++];
        }
    }
    if (!written.any) return written;
    if (w != i) std::copy(c + i, c + n, c + w);
    corpus.resize(w + (n - i));
    return written;
}

}  // namespace

void mergeCorpusFast(std::vector<int>& corpus, const DTYPE_BYTEPAIR_VOCAB& vocab) {
    if (corpus.size() < 2 || vocab.empty()) return;
    const MergeLookup lookup(vocab);
    Written w = mergePass(corpus, 0, corpus.size(), lookup);
    while (w.any) {
        const std::size_t begin = w.first > 0 ? w.first - 1 : 0;
        const std::size_t end = std::min(corpus.size(), w.last + 2);
        w = mergePass(corpus, begin, end, lookup);
    }
}

}  // namespace bytepairtokenizer
