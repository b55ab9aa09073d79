#include "exact/merger.h"

#include <algorithm>
#include <utility>

#include "common/core_helpers.h"
#include "exact/straightforward.h"

// Performance notes
// - The lookup dominates: std::unordered_map costs a hash, a modulo and a
//   pointer chase per position. The flat base-token table answers most
//   first-pass lookups with one load; the open-addressing map the rest.
// - Passes rewrite the corpus in place (the write index never overtakes the
//   read index), so no pass allocates.
// - After a pass, only adjacencies that contain an id the pass wrote can be
//   keys: every other one was tested and failed. A dense pass therefore only
//   scans from just before the first written id to just after the last (the
//   scan enters and leaves that window in step with a full pass), and once a
//   pass writes fewer than 1 id in 4, the rest switch to sparse passes over
//   a linked list that test only those adjacencies. On real text passes 3 to
//   8 merge little but each cost a full scan; sparse passes made merging
//   about 2x faster (switching at 1 in 4 beat 1 in 2, 8, 16 and 32).
// - The position lists are sized once per call (a pass writes at most one id
//   in two, a sparse pass at most one per position it tests): on a batch of
//   29-byte lines their growth was most of the 9% spent in malloc and free.
// - Tried: a per-id "starts a key / ends a key" byte filter in front of the
//   map probe. It was about 10% slower on real text; the probe into a
//   cache-resident open-addressing table is already cheap.

namespace bytepairtokenizer {

MergeLookup::MergeLookup(const DTYPE_BYTEPAIR_VOCAB& vocab)
    : direct_(256 * 256, -1), others_(vocab.size()) {
    for (const auto& entry : vocab) {
        const int left = entry.first[0];
        const int right = entry.first[1];
        const unsigned l = static_cast<unsigned>(left) + 128u;
        const unsigned r = static_cast<unsigned>(right) + 128u;
        if ((l | r) < 256u) {
            direct_[(l << 8) | r] = entry.second;
        } else {
            others_.insertNew(left, right, entry.second);
        }
    }
}

namespace {

// One greedy left-to-right pass over corpus[begin..end), then the untouched
// tail moved down behind it. Appends to `fresh` the output positions where
// merged ids were written.
template <typename Lookup>
void densePass(std::vector<int>& corpus, std::size_t begin, std::size_t end,
               const Lookup& lookup, std::vector<int>& fresh) {
    int* c = corpus.data();
    const std::size_t n = corpus.size();
    std::size_t w = begin;
    std::size_t i = begin;
    while (i + 1 < end) {
        const int id = lookup.find(c[i], c[i + 1]);
        if (id >= 0) {
            fresh.push_back(static_cast<int>(w));
            c[w++] = id;
            i += 2;
        } else {
            c[w++] = c[i++];
        }
    }
    if (fresh.empty()) return;
    if (w != i) std::copy(c + i, c + n, c + w);
    corpus.resize(w + (n - i));
}

// The corpus as a linked list over its cells for the sparse passes. A cell
// consumed by a merge keeps a link to the cell that absorbed it, so the live
// cell before any position is found by following those links.
class CellList {
public:
    explicit CellList(std::size_t n) : link_(n) {
        for (std::size_t i = 0; i < n; ++i) link_[i] = i + 1 < n ? static_cast<int>(i) + 1 : -1;
    }
    bool live(int i) const { return linkIsLive(link_[static_cast<std::size_t>(i)]); }
    int next(int i) const { return link_[static_cast<std::size_t>(i)]; }

    // Cell i absorbs the cell after it.
    void absorbNext(int i) {
        const int t = link_[static_cast<std::size_t>(i)];
        link_[static_cast<std::size_t>(i)] = link_[static_cast<std::size_t>(t)];
        link_[static_cast<std::size_t>(t)] = absorbedLink(i);
    }

    // The live cell before live cell i, or -1.
    int prevLive(int i) {
        return liveCellBefore(i, [this](int k) -> int& { return link_[static_cast<std::size_t>(k)]; });
    }

private:
    std::vector<int> link_;
};

// The remaining passes when few merges are left: only pairs that contain an
// id written by the previous pass can be keys, so only those are tested, in
// ascending order, skipping cells consumed earlier in the same pass.
template <typename Lookup>
void sparsePasses(std::vector<int>& corpus, std::vector<int> fresh, const Lookup& lookup) {
    CellList cells(corpus.size());
    int* c = corpus.data();
    std::vector<int> candidates;
    std::vector<int> written;
    candidates.reserve(2 * fresh.size());
    written.reserve(fresh.size());
    while (!fresh.empty()) {
        candidates.clear();
        for (int q : fresh) {
            const int p = cells.prevLive(q);
            if (p >= 0 && (candidates.empty() || candidates.back() != p)) candidates.push_back(p);
            candidates.push_back(q);
        }
        written.clear();
        for (int s : candidates) {
            if (!cells.live(s)) continue;  // consumed by a merge to its left
            const int t = cells.next(s);
            if (t < 0) continue;
            const int id = lookup.find(c[s], c[t]);
            if (id < 0) continue;
            c[s] = id;
            cells.absorbNext(s);
            written.push_back(s);
        }
        fresh.swap(written);
    }
    std::size_t w = 0;
    for (int i = 0; i >= 0; i = cells.next(i)) c[w++] = c[i];
    corpus.resize(w);
}

// Switch to sparse passes once a pass merges fewer than 1 in this many ids.
constexpr std::size_t kSparseRatio = 4;

// The passes of mergeCorpusFast over any lookup with find(left, right).
template <typename Lookup>
void mergeWith(std::vector<int>& corpus, const Lookup& lookup) {
    std::vector<int> fresh;
    fresh.reserve(corpus.size() / 2);  // a pass writes at most one id in two
    densePass(corpus, 0, corpus.size(), lookup, fresh);
    while (!fresh.empty()) {
        if (fresh.size() * kSparseRatio < corpus.size()) {
            sparsePasses(corpus, std::move(fresh), lookup);
            return;
        }
        const std::size_t begin = fresh.front() > 0 ? static_cast<std::size_t>(fresh.front()) - 1 : 0;
        const std::size_t end = std::min(corpus.size(), static_cast<std::size_t>(fresh.back()) + 2);
        fresh.clear();
        densePass(corpus, begin, end, lookup, fresh);
    }
}

}  // namespace

void mergeCorpusFast(std::vector<int>& corpus, const DTYPE_BYTEPAIR_VOCAB& vocab) {
    if (corpus.size() < 2 || vocab.empty()) return;
    mergeWith(corpus, MergeLookup(vocab));
}

void mergeCorpusFast(std::vector<int>& corpus, const MergeLookup& lookup) {
    if (corpus.size() < 2) return;
    mergeWith(corpus, lookup);
}

void mergeCorpusIndexed(std::vector<int>& corpus, const TableIndex& index) {
    if (corpus.size() < 2) return;
    mergeWith(corpus, index);
}

void applyMerges(const MergeTables& tables, std::vector<int>& corpus) {
    const TableIndex* index = mergeThroughIndex(corpus.size(), tables.vocab.size())
                                  ? tables.currentTableIndex()
                                  : nullptr;
    if (index != nullptr) {
        mergeCorpusIndexed(corpus, *index);
    } else {
        mergeCorpus(corpus, tables.vocab);
    }
}

}  // namespace bytepairtokenizer
