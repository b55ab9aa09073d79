// Performance notes (measurements in bench/NOTES.md): on long parts the
// keyed path rescans block minima for every merge, so its cost grows with
// the part; here a merge costs the same in any part. What a merge costs is
// its two pair lookups and the loads of positions spread over the batch,
// which is why batches are kept to what the core's cache holds.
#include "encode/batch_merge.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace brevix::bpe {

namespace {

constexpr TokenId kGone = -1;  // a position merged into the token before it

}  // namespace

BatchMerger::BatchMerger(const PairRanks& ranks)
    : ranks_(ranks), head_(ranks.idCount(), kNone), nonEmpty_(ranks.idCount() / 64 + 1, 0) {}

// Makes room for `count` more tokens and returns the position of the first,
// keeping one slot past the tokens for the end (see mergeAll). prev_ grows
// last, so that its size says the room all three have, also after a resize
// ran out of memory.
std::uint32_t BatchMerger::appendSlots(std::size_t count) {
    if (count > kMaxTokens - count_) throw std::length_error("a batch of parts holds at most 2^32 / 3 tokens");
    const std::size_t needed = count_ + count + 1;
    if (needed > prev_.size()) {
        const std::size_t grown = std::max(needed, std::min<std::size_t>(2 * token_.size(), kMaxTokens + 1));
        token_.resize(grown);
        next_.resize(grown);
        prev_.resize(grown);
    }
    const std::uint32_t first = count_;
    count_ += static_cast<std::uint32_t>(count);
    return first;
}

// Everything that can fail comes first, so that a part is added whole or
// not at all.
void BatchMerger::addPart(const TokenId* ids, std::size_t count, std::size_t place) {
    if (count == 0) return;
    if (!places_.empty() && place < places_.back()) throw std::invalid_argument("parts out of order");
    if (places_.size() == places_.capacity()) places_.reserve(2 * places_.size() + 16);
    reserveEntries(std::size_t{queued_} + count);
    const std::uint32_t first = appendSlots(count);
    places_.push_back(place);
    token_[first] = ids[0];
    next_[first] = first + 1;
    prev_[first] = kNone;
    for (std::uint32_t i = 1; i < count; ++i) {
        const std::uint32_t at = first + i;
        token_[at] = ids[i];
        next_[at] = at + 1;
        prev_[at] = at - 1;
        const std::uint32_t rank = ranks_.rank(ids[i - 1], ids[i]);
        if (rank != PairRanks::kNoRank) push(rank, at - 1);
    }
}

// The entries are room that only grows (`queued_` of them in use), so that
// batches after the first clear nothing.
void BatchMerger::reserveEntries(std::size_t count) {
    if (count > entries_.size()) entries_.resize(std::max(count, 2 * entries_.size()));
}

void BatchMerger::push(std::uint32_t rank, std::uint32_t left) {
    entries_[queued_] = Entry{left, head_[rank]};
    head_[rank] = queued_++;
    nonEmpty_[rank >> 6] |= std::uint64_t{1} << (rank & 63);
}

// One merging pass over a batch. Its arrays are reached through local
// pointers, so that the compiler knows a store to one leaves the others
// alone (through the batch's vectors every store reloaded them), and the
// entries have their final room, so that queuing a pair is three stores.
struct BatchMerger::Pass {
    const PairRanks& ranks;
    TokenId* token;
    std::uint32_t* next;
    std::uint32_t* prev;
    std::uint32_t* head;
    std::uint64_t* nonEmpty;
    Entry* entries;
    std::uint32_t used;

    void push(std::uint32_t rank, std::uint32_t left) {
        entries[used] = Entry{left, head[rank]};
        head[rank] = used++;
        nonEmpty[rank >> 6] |= std::uint64_t{1} << (rank & 63);
    }

    // Queues the pair starting at `left` when the token after it is of the
    // same part and the pair is a merge.
    void pushPairAt(std::uint32_t left) {
        const std::uint32_t right = next[left];
        if (prev[right] == kNone) return;  // another part's first token, or the end
        const std::uint32_t rank = ranks.rank(token[left], token[right]);
        if (rank != PairRanks::kNoRank) push(rank, left);
    }

    // The token at `at` absorbs the next one and becomes `merged`.
    void joinNext(std::uint32_t at, TokenId merged) {
        const std::uint32_t right = next[at];
        const std::uint32_t after = next[right];
        token[at] = merged;
        token[right] = kGone;
        next[at] = after;
        if (prev[after] != kNone) prev[after] = at;
    }

    // Merges every pair queued for `rank` that is still that pair. Entries
    // go stale when a neighbour merged first; a token's pair never becomes
    // the same pair again (ids only grow), so comparing the tokens is
    // enough. Pairs of one rank with different tokens cannot overlap, so
    // their order does not matter.
    void mergeRank(std::uint32_t rank) {
        std::uint32_t entry = head[rank];
        head[rank] = kNone;
        const TokenId left = ranks.leftOf(rank);
        const TokenId right = ranks.rightOf(rank);
        if (left == right) {
            mergeRunsOfOne(rank, entry);
            return;
        }
        const auto merged = static_cast<TokenId>(rank);
        for (; entry != kNone; entry = entries[entry].next) {
            const std::uint32_t at = entries[entry].position;
            if (token[at] != left || token[next[at]] != right) continue;
            joinNext(at, merged);
            if (prev[at] != kNone) pushPairAt(prev[at]);
            pushPairAt(at);
        }
    }

    // A merge of a token with itself: its pairs overlap in runs (x x x),
    // where the leftmost pair goes first. So the whole run an entry falls in
    // merges at once, in pairs from its start, and the other entries of the
    // run go stale.
    void mergeRunsOfOne(std::uint32_t rank, std::uint32_t entry) {
        const TokenId one = ranks.leftOf(rank);
        const auto merged = static_cast<TokenId>(rank);
        auto joinsNext = [&](std::uint32_t at) {
            const std::uint32_t after = next[at];
            return prev[after] != kNone && token[after] == one;
        };
        for (; entry != kNone; entry = entries[entry].next) {
            std::uint32_t at = entries[entry].position;
            if (token[at] != one || !joinsNext(at)) continue;
            while (prev[at] != kNone && token[prev[at]] == one) at = prev[at];
            const std::uint32_t first = at;
            std::uint32_t joined = 0;
            for (;;) {
                joinNext(at, merged);
                ++joined;
                at = next[at];
                if (prev[at] == kNone || token[at] != one || !joinsNext(at)) break;
            }
            if (prev[first] != kNone) pushPairAt(prev[first]);
            at = first;
            for (std::uint32_t k = 0; k < joined; ++k, at = next[at]) pushPairAt(at);
        }
    }
};

// Buckets are taken in increasing rank; a merge pushes only higher ranks,
// which the scan reaches later (within this word too, as the word is reread).
void BatchMerger::mergeAll() {
    // The end: no token, and like the first token of a part, so that no
    // pair reaches past the last token.
    token_[count_] = kGone;
    next_[count_] = count_;
    prev_[count_] = kNone;
    // A merge queues at most two pairs, and a batch of n tokens merges at
    // most n - 1 times.
    reserveEntries(std::size_t{queued_} + 2 * std::size_t{count_});
    Pass pass{ranks_, token_.data(), next_.data(), prev_.data(),
              head_.data(), nonEmpty_.data(), entries_.data(), queued_};
    for (std::size_t word = 0; word < nonEmpty_.size(); ++word) {
        while (nonEmpty_[word] != 0) {
            const auto rank = static_cast<std::uint32_t>(word * 64 + __builtin_ctzll(nonEmpty_[word]));
            nonEmpty_[word] &= nonEmpty_[word] - 1;
            pass.mergeRank(rank);
        }
    }
}

// Inserts the merged parts into `out` from the back, so that every token of
// `out` moves once: the tokens after the last place move up by all parts'
// tokens, those before it by the tokens of the parts before, and so on.
void BatchMerger::insertParts(std::vector<TokenId>& out) const {
    std::vector<TokenId> merged;  // the parts' tokens in order
    std::vector<std::size_t> ends;  // by part: its end in `merged`
    merged.reserve(count_);
    ends.reserve(places_.size());
    for (std::uint32_t at = 0; at < count_; at = next_[at]) {
        if (prev_[at] == kNone && at > 0) ends.push_back(merged.size());
        merged.push_back(token_[at]);
    }
    ends.push_back(merged.size());
    std::size_t from = out.size();  // out[places_[part] .. from) moves next
    out.resize(out.size() + merged.size());
    TokenId* const o = out.data();
    std::size_t to = out.size();  // ... to end here
    for (std::size_t part = places_.size(); part-- > 0;) {
        const std::size_t place = places_[part];
        to -= from - place;
        std::memmove(o + to, o + place, (from - place) * sizeof(TokenId));
        from = place;
        const std::size_t begin = part > 0 ? ends[part - 1] : 0;
        to -= ends[part] - begin;
        std::copy(merged.data() + begin, merged.data() + ends[part], o + to);
    }
}

void BatchMerger::mergeInto(std::vector<TokenId>& out) {
    if (count_ == 0) return;
    // The batch empties even when this throws; its buckets are then reset
    // as well.
    struct ClearOnExit {
        BatchMerger& batch;
        bool bucketsEmpty = false;
        ~ClearOnExit() { batch.clear(bucketsEmpty); }
    } clearOnExit{*this};
    if (places_.back() > out.size()) throw std::invalid_argument("a part's place is past the end of the output");
    mergeAll();
    clearOnExit.bucketsEmpty = true;
    insertParts(out);
}

void BatchMerger::clear(bool bucketsEmpty) {
    count_ = 0;
    queued_ = 0;
    places_.clear();
    if (bucketsEmpty) return;
    std::fill(nonEmpty_.begin(), nonEmpty_.end(), 0);
    std::fill(head_.begin(), head_.end(), kNone);
}

std::size_t mergeByRankBatched(const PairRanks& ranks, TokenId* ids, std::size_t count) {
    BatchMerger batch(ranks);
    batch.addPart(ids, count, 0);
    std::vector<TokenId> out;
    batch.mergeInto(out);
    std::copy(out.begin(), out.end(), ids);
    return out.size();
}

}  // namespace brevix::bpe
