// The walk order of the statistics table, kept up to date across iterations,
// for ties too wide to evaluate one by one.
//
// Level e stands for the table at the end of rehash epoch e (walk_order.h):
// the keys present then, grouped by bucket (hash mod that epoch's bucket
// count). For every bucket of every level the structure stores its member
// list and its earliest member. With those, whether key a walks before key b
// at level e is decided in O(1) steps per level:
//   - same bucket: the later effective time walks first;
//   - different buckets: the bucket whose earliest member has the later
//     effective time walks first;
//   - effective times: a key inserted during the epoch is later than every
//     key present before it, two such keys are ordered by insertion (leftmost
//     occurrence), two older keys by their order one level down.
// The tied pairs of the tracked count sit in an ordered set under that
// comparison at the level of the whole table; the winner is its first key.
//
// A merge changes the leftmost occurrence of a few pairs. Each change moves
// at most one key across every epoch's first insert, and changes the
// membership or time of a few keys at a few levels. A bucket holding such a
// key goes stale: its earliest member may have changed, and with it the
// place of all its members, which are the times of those keys one level up,
// so the buckets holding them there go stale too. The climb ends at buckets
// already stale. Nothing is recomputed then: only the buckets of tracked
// keys at the top level are brought up to date, after the buckets below
// that order their members (freshen). Buckets no tied pair depends on stay
// stale for as long as that lasts, and late in training, when the tie is a
// small share of all pairs, that is most of the upper levels.
//
// The invariant: a bucket that is up to date depends only on buckets that
// are up to date. Tracked keys whose top bucket went stale are checked
// against their neighbours in the ordered set once it is brought up to date;
// the others keep their relative order.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "common/record_array.h"
#include "ties/first_occurrence.h"
#include "ties/tie_break_host.h"

namespace bytepairtokenizer {


class TieOrder {
public:
    // Reads the tie-break's mirrors (by record: hash, leftmost occurrence or
    // -1) and its first-occurrence set, all of which must outlive this
    // object, and counts from the host.
    TieOrder(TieBreakHost& host, const RecordArray<std::uint32_t>& hash, const RecordArray<int>& firstOcc,
             const FirstOccurrenceSet& firsts);

    // Record r's leftmost occurrence changed since the last update.
    void changed(int r);
    // Record r's count may have changed since the last update.
    void countChanged(int r);
    // Brings the levels and the ordered set up to date with the mirrors.
    void update();
    // True when the ordered set holds the records of `count` in the current
    // table's walk order.
    bool tracks(int count) const { return setValid_ && trackedCount_ == count && setLevel_ == top_; }
    // Starts tracking the records of `count`; `tied` are all of them.
    void track(int count, const std::vector<int>& tied);
    // The first tracked record in the walk; requires tracks().
    int first() const { return *set_.begin(); }

private:
    static constexpr int kNone = -1;
    static constexpr int kEndOfCorpus = 0x7fffffff;

    // x mod d without a division where the compiler has 128-bit products.
    struct FastMod {
        std::uint32_t d = 1;
        std::uint64_t m = 0;
        FastMod() = default;
        explicit FastMod(std::uint32_t divisor) : d(divisor), m(~std::uint64_t{0} / divisor + 1) {}
        std::uint32_t operator()(std::uint32_t x) const {
#ifdef __SIZEOF_INT128__
            __extension__ using Wide = unsigned __int128;
            return static_cast<std::uint32_t>((static_cast<Wide>(m * x) * d) >> 64);
#else
            return x % d;
#endif
        }
    };
    // A record as the levels see it: its hash and its leftmost occurrence.
    struct Key {
        std::uint32_t hash;
        int first;  // -1: dead
    };

    // A bucket of a level: its member list and its earliest member, or
    // kStale when that is not kept up to date (nothing up to date reads
    // it; every bucket one level up holding a member is stale too).
    static constexpr int kStale = -2;
    struct Bucket {
        int head;      // first member node, kNone when empty
        int earliest;  // member with the earliest time, kNone when empty, or kStale
    };
    struct Level {
        FastMod bucketOf;
        std::uint32_t buckets = 0;
        std::vector<Bucket> bucket;
    };
    struct MemberNode {
        int record;
        int next;
    };
    struct WalkBefore {
        const TieOrder* order;
        bool operator()(int a, int b) const { return order->walksBefore(order->setLevel_, a, b); }
    };

    std::uint32_t bucketOf(int r, int e) const {
        return levels_[static_cast<std::size_t>(e)].bucketOf(keys_[static_cast<std::size_t>(r)].hash);
    }
    int first(int r) const { return keys_[static_cast<std::size_t>(r)].first; }
    bool presentAt(int firstPos, int e) const {
        return firstPos >= 0 && firstPos < bound_[static_cast<std::size_t>(e) + 1];
    }
    // Key a is met before key b by a walk at the end of epoch e (a != b,
    // both present there).
    bool walksBefore(int e, int a, int b) const;
    int earliestMember(int e, std::uint32_t b) const;

    static Level emptyLevel(int e);
    // Queues record r for the next update (the scratch arrays cover it).
    void enqueue(int r);
    void rebuild();
    void addTopLevel();
    void dropTopLevel();
    // Empties the ordered set; the next tie starts tracking anew.
    void untrackAll();
    void linkMember(int e, int r);
    void dropDeparted(int e, std::uint32_t b);
    void computeBounds(std::vector<int>& out) const;
    // Unchanged records whose leftmost occurrence lies between two bounds.
    void recordsBetween(int lo, int hi, std::vector<int>& out) const;
    void changeLevel(int e, const std::vector<int>& moved, const std::vector<int>& oldBounds,
                     const std::vector<std::vector<int>>& crossed);
    void keyChangedAt(int e, int r, bool present);
    bool newAndLaterThan(int e, int r, int other) const;
    // Bucket b of level e and everything above that depends on it go stale.
    void markStale(int e, std::uint32_t b);
    // Brings bucket b of level e up to date, after what it depends on.
    void freshen(int e, std::uint32_t b);
    void reseatTracked();
    // The ordered set's members, with the earliest member of their bucket
    // at the top level brought up to date first.
    void enterSet(int r);
    void leaveSet(int r);
    void growScratch();

    TieBreakHost& host_;
    const RecordArray<std::uint32_t>& hash_;
    const RecordArray<int>& firstOcc_;
    const FirstOccurrenceSet& firsts_;

    int top_ = -1;                 // epoch of the whole table at the last update; -1: not built
    std::vector<Level> levels_;    // 0..top_
    std::vector<int> bound_;       // by epoch e: leftmost occurrence of its first insert, kEndOfCorpus past the table
    std::vector<MemberNode> nodes_;
    int freeNode_ = kNone;

    // Per-record arrays grow with the records one at a time: an eighth at a
    // time through realloc (record_array.h), not by doubling.
    RecordArray<Key> keys_;        // by record, as of the last update
    RecordArray<int> seenFirst_;   // by record: the leftmost occurrence before the update in progress
    std::vector<int> pending_;     // records changed since the last update
    RecordArray<unsigned char> isPending_;
    std::vector<int> scratchMoved_;
    std::vector<int> scratchChecked_;
    std::vector<int> scratchMisplaced_;

    // By bucket of the top level: tracked records in it. Buckets are
    // brought up to date only for tracked records (and what orders them);
    // staleTracked_ collects the top-level buckets holding tracked records
    // that went stale in the update in progress.
    std::vector<int> trackedInBucket_;
    std::vector<std::uint32_t> staleTracked_;

    std::set<int, WalkBefore> set_;
    RecordArray<std::set<int, WalkBefore>::iterator> where_;  // by record
    RecordArray<unsigned char> inSet_;  // 0: not in the set; 1: in it; 2: in it, being checked
    int trackedCount_ = 0;
    int setLevel_ = -1;
    bool setValid_ = false;
};

}  // namespace bytepairtokenizer
