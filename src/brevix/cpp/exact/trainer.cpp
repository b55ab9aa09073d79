#include "exact/trainer.h"

#include <algorithm>
#include <ostream>

#include "common/core_helpers.h"
#include "common/stretch_threads.h"
#include "exact/merger.h"

// Performance notes
// - Occurrence lists are filled in a second pass over the corpus after the
//   counts are known, so they are allocated exactly once at their final size.
//   The lists of pairs a merge creates are filed the same way at its end,
//   from a buffer, keeping only entries still live: no regrowth, no slack.
// - A touched pair leaves its count list once per merge and re-enters it at
//   the end (settleTouched), instead of moving on every decrement.
// - Leftmost occurrences are recomputed only for pairs a merge touched.
// - Prefetching the nodes of the winner's occurrences 16 ahead cut the merge
//   loop by about a third: its cost is one cache miss per occurrence.
//   Prefetching the node before each occurrence and the one after its pair
//   as well, 24 ahead: 3-8% less at 10 MB / 10,000 merges (medians of five
//   runs). A prefetch helper must be inlined by force: GCC finds a function
//   of prefetches alone pure and drops the calls to it (that happened,
//   silently, to a first version). Prefetching the neighbours' pair
//   records 8 occurrences ahead (reading the prefetched nodes) gained
//   nothing measurable, twice.
// - An older pair gains no occurrence in an incremental merge, so its
//   leftmost occurrence is looked up again (list header, list bytes, node)
//   only when the merge killed it; the record keeps its stored-entry count
//   for the dead-entry check. refreshFirstOccurrence went from 7% to 2% of
//   the time at 100 MB / 10,000 merges; about 9% less at 10 MB / 30,000.
// - Prefetching, 8 occurrences ahead, the node livePrev() ends at when the
//   node before an occurrence was absorbed (read from that node, prefetched
//   24 ahead): 2-5% less at 10 and 100 MB / 10,000 merges.
// - Touched records stay in the count queue under their old count until
//   settleTouched(), which prefetches each record 16 ahead and its queue
//   neighbours 8 ahead; a record whose count came back to where it was is
//   not requeued. The merge loop no longer waits for the neighbours' misses:
//   about 5% less at 100 MB / 10,000 merges.
// - Tried: prefetching the list header and the arena byte of the entry 8 or
//   16 entries ahead when filling the lists (build and fileNewOccurrences):
//   no gain beyond the noise at 100 MB / 300 merges. Dropped.
// - A list holding more dead entries than live ones is no longer filtered
//   when settled but queued (filterPending_), and the queue is filtered
//   only when a merge's new lists do not fit in the arena: lists that die
//   or win a merge meanwhile cost nothing, and a list touched again is
//   filtered once. Node reads by filters at 10 MB / 10,000 merges: 13.6
//   million instead of 16.5 million; time 4-5% less at 10 and 100 MB (one
//   100 MB round of two showed 5% more). The arena ends at the same
//   capacity as before at 1 and 10 MB / 30,000 merges (room is made by
//   filtering before growing); peak RSS at 100 MB / 10,000 merges 11 MB
//   lower.
// - A pair the merge made takes its first list entry as its leftmost
//   occurrence without reading the node (every entry filed is live): no
//   change measured, kept for the read it saves and the simpler path.
// - Tried: prefetching, while the pending lists are filtered, the record
//   and list header of the list 8 ahead and its first bytes 4 ahead: 7%
//   slower at 100 MB / 10,000 merges (medians of three). Dropped.
// - Tried: pair records on 64-byte boundaries (realloc only promises 16, so
//   half the 32-byte records straddled two lines): no difference measured.
// - Tried: filtering a list only past 4 stored entries per live one instead
//   of 2: no clear gain, and 1.6 bytes per corpus token more at the peak at
//   10 MB / 30,000 merges. With the filters deferred (below), 3 or 4 per
//   live one were about 4% faster at 100 MB / 10,000 merges, but a drop
//   then frees less and the arena grows: peak RSS +9 MB (3) and +32 MB (4)
//   there, +3 MB at 10 MB / 30,000 merges (3). Kept at 2.
// - 12-byte nodes (no back link) instead of 16: about 3% faster and 4 bytes
//   per corpus token less.
// - Nothing here is sized by the merge table any more: the key-id set comes
//   from the tokenizer's TableIndex (it was rebuilt from every key per call:
//   6 ms at 250,000 merges), the flat pair table is filled only for corpora
//   of 16K ids and more (a fixed 590 KB fill per call), and the per-merge
//   cache of new pairs covers neighbours up to the corpus length (it was
//   sized by the newest id). A one-iteration fit on 1,000 ids went from 45x
//   the straightforward engine at 250,000 merges to about 1x.
// - Memory per corpus token at 100 MB / 10,000 merges, peak RSS: 21.2 bytes
//   plus the corpus copy (4) before; 13.6 after (from bytes; from a list of
//   ids, the id array is freed once built, and the peak is the same). Time:
//   3-12% more CPU at 100 MB (mean of four pairs 8%), 2-8% at 10 MB
//   (paired runs on a loaded machine). What went:
//   - 8-byte nodes {value, pairId}, and no corpus array beside them: the
//     build moves the corpus into the nodes and frees it (training from
//     bytes builds them from the bytes), and the final corpus is written
//     back after everything else is freed. The next live node is not
//     stored: it is i + the span of the value at i (ids merged since the
//     build keep their span in a small table).
//   - Tried: values in the corpus array itself and nodes of the pairId
//     alone (same memory, no copy at the build): two cache lines per node
//     visit instead of one, about 3 points slower at 100 MB. Dropped.
//   - Occurrence lists as gaps in one arena (occurrence_lists.h): 1.5 bytes
//     per entry at the build instead of 4, no per-list vector header or
//     allocation. Dead entries are dropped in place, with no copy.
//   - Pair records and list headers grow by an eighth through realloc
//     (record_array.h), so growing never holds two copies.
//   - Tried: a per-merge buffer of positions only (4 bytes per new
//     occurrence instead of 8), reading each one's pair from its node when
//     the lists are filed: those reads miss the cache, and filing took a
//     fifth of the time at 100 MB. Back to (pair, position) entries, and
//     no node read at all when filing (see fileNewOccurrences).
// - Tried: pair records in fixed 16K-element chunks (no copy on growth
//   either): about 14% slower at 10 MB, from the extra indirection on every
//   record access. Dropped for the realloc-grown array.
// - Not done: dropping pairId from the nodes (the tie-break reads it for
//   first occurrences), recycling dead pair records (the tie-break's bucket
//   chains link records by index), 16-bit token values for vocabularies
//   below 65,408 (2 bytes per position more).
// - Threads (2-core machine, wall time of a standalone build of the core,
//   100 MB of real text): the build counts the corpus in stretches, one per
//   hardware thread (pair_census.h), and numbers the pairs across them as
//   one count would: 1.85 s to 1.12 s; in one stretch it costs what the
//   single pass did (1.83 s). The dead-entry drops share their lists among
//   threads by stored entries: with both, 30,000 merges went from 13.7 s to
//   11.2 s (medians of three), 10 MB / 30,000 merges from 2.45 s to 2.26 s
//   (medians of five). The merges stay on one thread: everything else a
//   merge does depends on the merge before. Tried: filing a large merge's
//   new occurrences on two threads (the new records shared out by count):
//   no gain (3.46 s and 3.50 s at 100 MB / 300 merges, medians of four).
//   Tried: cutting a large merge in two at a gap in its occurrences, the
//   second part's node work on another thread logging its record changes
//   for the main thread to replay in order after the first part's: exact,
//   but no faster (4.03 s against 4.06 s at 100 MB / 300 merges, medians of
//   two, with the replay prefetching the nodes it writes; 4.79 s without).
//   The record changes, not the node misses, are most of a merge's cost.
// - fit() and training from bytes discard the final corpus, so they no
//   longer write it back from the nodes (FinalCorpus::Dropped): 0.27 s at
//   100 MB / 30,000 merges.
// - Tried: transparent huge pages for the large blocks (glibc's
//   glibc.malloc.hugetlb=1): 14% less user time at 100 MB / 30,000 merges
//   from fewer TLB misses, but on this virtual machine a fresh 2 MB page
//   costs about 2.2 s per GB at first touch (the host takes freed 2 MB
//   blocks back) against 0.38 s for 4 KB pages: slower in all. Not done.
// - Tried: dropping dead entries only past 8 stored entries per live one
//   instead of 2: no gain beyond the noise at 100 MB / 30,000 merges (the
//   merge of a list reads its dead entries anyway).

namespace bytepairtokenizer {

namespace {

// Shorter corpora skip the flat table: filling it would cost more than the scan.
constexpr int kDirectMinCorpus = 16384;

// How many occurrences ahead the merge loop prefetches their nodes.
constexpr int kPrefetchAhead = 24;
// How many occurrences ahead it prefetches the node livePrev() ends at, read
// from the node before the occurrence (prefetched earlier).
constexpr int kAbsorberAhead = 8;

// A list is rid of its dead entries once it stores more than this many
// times its live ones (plus kDeadSlack).
constexpr std::uint32_t kStoredPerLive = 2;
constexpr std::uint32_t kDeadSlack = 16;

// How many touched records ahead settleTouched() prefetches their records
// (and, half as far ahead, their neighbours in the count queue).
constexpr std::size_t kSettleAhead = 16;

// Entries of the per-merge buffer kept however small the merge.
constexpr std::size_t kKeptBuffer = std::size_t{1} << 16;

// The build polls for an interruption every this many positions.
constexpr int kPollEvery = 1 << 20;

// Threads at most for the build and the dead-entry drops, when the machine
// offers more.
constexpr int kMostThreads = 8;

}  // namespace

void fitIncremental(MergeTables& tok, std::vector<int>& corpus, int maxVocabSize, int nIter,
                    std::ostream& out, const std::function<bool()>& interrupted,
                    const TrainerTuning& tuning, FinalCorpus final) {
    if (nIter <= 0) return;
    IncrementalTrainer trainer(tok, corpus, tuning);
    trainer.fit(maxVocabSize, nIter, out, interrupted, final);
}

IncrementalTrainer::IncrementalTrainer(MergeTables& tok, std::vector<int>& corpus,
                                       const TrainerTuning& tuning,
                                       const std::function<bool()>& buildInterrupted,
                                       const unsigned char* bytes, std::size_t bytesSize)
    : tok_(tok), corpus_(corpus), bytes_(bytes), bytesSize_(bytesSize), tuning_(tuning),
      ties_(*this, tuning.ties) {
    tok_.refreshTableIndex();  // catches up with tables changed outside training
    stopped_ = !build(buildInterrupted);
}

int IncrementalTrainer::createRecord(int left, int right, bool indexed) {
    const int r = static_cast<int>(records_.size());
    records_.emplace_back();
    PairRecord& rec = records_.back();
    rec.left = left;
    rec.right = right;
    if (indexed) recordOf_.insertNew(left, right, r);
    occ_.addList();
    ties_.pairCreated(r, left, right);
    return r;
}

int IncrementalTrainer::recordFor(int left, int right) {
    const int r = recordOf_.find(left, right);
    return r >= 0 ? r : createRecord(left, right);
}

bool IncrementalTrainer::build(const std::function<bool()>& interrupted) {
    nodesCurrent_ = false;
    const int n = static_cast<int>(bytes_ != nullptr ? bytesSize_ : corpus_.size());
    nodes_.resizeUninitialised(static_cast<std::size_t>(n));
    spans_.clear();
    spanBase_ = tok_.nextVocabIndex;
    records_.clear();
    occ_.clear();
    ties_.reset(static_cast<std::size_t>(n));
    withNewOnLeft_.clear();
    filterPending_.clear();
    withNewOnRight_.clear();
    recordOf_ = PairMap(std::min(1024, n));
    futureIds_.clear();
    liveLength_ = n;

    std::vector<PairCensus> census;
    const int stretches = shareCount(static_cast<std::uint64_t>(n), tuning_.minStretch);
    census.reserve(static_cast<std::size_t>(stretches));
    for (int s = 0; s < stretches; ++s) census.emplace_back(n >= kDirectMinCorpus);
    if (!countStretches(census, interrupted)) return false;
    // The nodes hold the corpus now: its source goes before the lists grow.
    bytes_ = nullptr;
    std::vector<int>().swap(corpus_);
    std::vector<std::vector<StretchList>> lists = numberPairs(census);
    std::vector<PairCensus>().swap(census);
    occ_.layOut(0, static_cast<int>(records_.size()));
    if (!fillLists(lists, interrupted)) return false;
    occ_.finishDirectFilling(0, static_cast<int>(records_.size()), [this](int r) {
        return static_cast<std::uint32_t>(records_[static_cast<std::size_t>(r)].count);
    });

    int maxCount = 0;
    for (std::size_t r = 0; r < records_.size(); ++r) maxCount = std::max(maxCount, records_[r].count);
    queueHead_.assign(static_cast<std::size_t>(maxCount) + 1, -1);
    topCount_ = maxCount;
    corpusHasKeys_ = false;
    for (int r = 0; r < static_cast<int>(records_.size()); ++r) {
        PairRecord& rec = records_[static_cast<std::size_t>(r)];
        ties_.firstOccurrenceMoved(r, -1, rec.firstOcc);
        ties_.countSettled(r);
        rec.storedEntries = occ_[r].entries;
        queueInsert(r);
        if (!tok_.vocab.empty() && tok_.vocab.count(DTYPE_BYTEPAIR{rec.left, rec.right}) != 0) {
            corpusHasKeys_ = true;
        }
    }
    nodesCurrent_ = true;
    return true;
}

// How many threads share `work` units when each should have `minShare` at
// least.
int IncrementalTrainer::shareCount(std::uint64_t work, int minShare) const {
    const int most = tuning_.maxThreads > 0 ? tuning_.maxThreads : std::min(hardwareThreads(), kMostThreads);
    const std::uint64_t fit = work / static_cast<std::uint64_t>(std::max(1, minShare));
    return static_cast<int>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(static_cast<std::uint64_t>(most), fit)));
}

int IncrementalTrainer::stretchBegin(int s, int stretches) const {
    return static_cast<int>(static_cast<long long>(nodes_.size()) * s / stretches);
}

// Stretch 0 runs on the calling thread and asks `interrupted`; the others
// stop when it or a failure raised `stop`.
bool IncrementalTrainer::stopRequested(int s, std::atomic<bool>& stop, const std::function<bool()>& interrupted) {
    if (stop.load(std::memory_order_relaxed)) return true;
    if (s == 0 && interrupted && interrupted()) {
        stop.store(true, std::memory_order_relaxed);
        return true;
    }
    return false;
}

// Writes the nodes and counts the pairs of each stretch, numbered within it.
bool IncrementalTrainer::countStretches(std::vector<PairCensus>& census, const std::function<bool()>& interrupted) {
    const int n = static_cast<int>(nodes_.size());
    const int stretches = static_cast<int>(census.size());
    const int firstFutureId = tok_.nextVocabIndex;
    std::atomic<bool> stop{false};
    runStretches(
        stretches,
        [&](int s) {
            census[static_cast<std::size_t>(s)].count(
                stretchBegin(s, stretches), stretchBegin(s + 1, stretches), n, firstFutureId, kPollEvery,
                [this](int i) { return sourceValue(i); },
                [this](int i, int value, int local) {
                    nodes_[static_cast<std::size_t>(i)] = Node{value, local};
                },
                [&]() { return stopRequested(s, stop, interrupted); });
        },
        [&](int) { stop.store(true, std::memory_order_relaxed); });
    return !stop.load();
}

// Numbers the stretches' pairs across the corpus in order of first
// appearance, making their records, and sizes their lists. Returns, for
// each stretch and pair number in it, where the stretch's entries go.
std::vector<std::vector<IncrementalTrainer::StretchList>> IncrementalTrainer::numberPairs(
    const std::vector<PairCensus>& census) {
    const bool useDirect = nodes_.size() >= static_cast<std::size_t>(kDirectMinCorpus);
    // Records of direct-range pairs, for stretches after the first.
    std::vector<int> direct(useDirect && census.size() > 1 ? static_cast<std::size_t>(kDirectSpan) * kDirectSpan : 0,
                            -1);
    std::vector<std::uint32_t> bytes;  // by record: list bytes so far
    std::vector<int> last;             // by record: last entry so far
    std::vector<std::vector<StretchList>> lists(census.size());
    for (std::size_t s = 0; s < census.size(); ++s) {
        lists[s].reserve(census[s].pairs().size());
        for (const PairCensus::Pair& pair : census[s].pairs()) {
            const bool inDirect = useDirect && inDirectRange(pair.left) && inDirectRange(pair.right);
            int r = -1;
            if (s > 0) r = inDirect ? direct[directSlot(pair.left, pair.right)] : recordOf_.find(pair.left, pair.right);
            if (r < 0) {
                r = createRecord(pair.left, pair.right, !inDirect);
                if (inDirect && !direct.empty()) direct[directSlot(pair.left, pair.right)] = r;
                records_[static_cast<std::size_t>(r)].firstOcc = pair.first;
                bytes.push_back(0);
                last.push_back(-1);
            }
            const std::size_t k = static_cast<std::size_t>(r);
            lists[s].push_back(StretchList{r, last[k], bytes[k]});
            bytes[k] += OccurrenceLists::entryBytes(last[k], pair.first) + pair.bytes;
            last[k] = pair.last;
            records_[k].count += pair.count;
        }
        futureIds_.insert(census[s].futureIds().begin(), census[s].futureIds().end());
    }
    for (std::size_t r = 0; r < bytes.size(); ++r) occ_.reserve(static_cast<int>(r), bytes[r]);
    return lists;
}

// Writes each stretch's entries into the lists laid out for them, and the
// nodes' pair numbers become record numbers.
bool IncrementalTrainer::fillLists(const std::vector<std::vector<StretchList>>& lists,
                                   const std::function<bool()>& interrupted) {
    const int n = static_cast<int>(nodes_.size());
    const int stretches = static_cast<int>(lists.size());
    std::atomic<bool> stop{false};
    runStretches(
        stretches,
        [&](int s) {
            const std::vector<StretchList>& mine = lists[static_cast<std::size_t>(s)];
            std::vector<std::uint8_t*> at(mine.size());
            std::vector<int> prev(mine.size());
            for (std::size_t k = 0; k < mine.size(); ++k) {
                at[k] = occ_.listStart(mine[k].record) + mine[k].offset;
                prev[k] = mine[k].prev;
            }
            const int end = std::min(stretchBegin(s + 1, stretches), n - 1);
            for (int i = stretchBegin(s, stretches), untilPoll = 0; i < end; ++i, --untilPoll) {
                if (untilPoll == 0) {
                    if (stopRequested(s, stop, interrupted)) return;
                    untilPoll = kPollEvery;
                }
                Node& node = nodes_[static_cast<std::size_t>(i)];
                const std::size_t local = static_cast<std::size_t>(node.pairId);
                if (s > 0) node.pairId = mine[local].record;  // stretch 0 numbers its pairs as the records
                at[local] = OccurrenceLists::writeGap(at[local], static_cast<std::uint32_t>(i - prev[local]));
                prev[local] = i;
            }
        },
        [&](int) { stop.store(true, std::memory_order_relaxed); });
    return !stop.load();
}

// Leaves the corpus in corpus_; the nodes stay usable.
void IncrementalTrainer::writeBack() {
    if (!nodesCurrent_) return;
    corpus_.resize(static_cast<std::size_t>(liveLength_));
    std::size_t k = 0;
    for (int i = nodes_.empty() ? -1 : 0; i >= 0; i = liveNext(i)) {
        corpus_[k++] = nodes_[static_cast<std::size_t>(i)].value;
    }
}

// Frees what only training needs before the corpus is written back, so
// that the copy does not add to the peak.
void IncrementalTrainer::finishCorpus(FinalCorpus final) {
    if (!nodesCurrent_) return;
    occ_.freeAll();
    records_.freeAll();
    ties_.freeAll();
    recordOf_ = PairMap();
    std::vector<int>().swap(queueHead_);
    if (final == FinalCorpus::Kept) writeBack();
    nodes_.freeAll();
    nodesCurrent_ = false;
}

void IncrementalTrainer::queueInsert(int r) {
    PairRecord& rec = records_[r];
    if (rec.count >= static_cast<int>(queueHead_.size())) {
        queueHead_.resize(static_cast<std::size_t>(rec.count) + 1, -1);
    }
    rec.queuePrev = -1;
    rec.queueNext = queueHead_[rec.count];
    if (rec.queueNext >= 0) records_[rec.queueNext].queuePrev = r;
    queueHead_[rec.count] = r;
    topCount_ = std::max(topCount_, rec.count);
}

void IncrementalTrainer::queueRemove(int r, int count) {
    PairRecord& rec = records_[r];
    if (rec.queuePrev >= 0) {
        records_[rec.queuePrev].queueNext = rec.queueNext;
    } else {
        queueHead_[static_cast<std::size_t>(count)] = rec.queueNext;
    }
    if (rec.queueNext >= 0) records_[rec.queueNext].queuePrev = rec.queuePrev;
    rec.queuePrev = rec.queueNext = -1;
}

MostFreqPair IncrementalTrainer::choose(int& winner) {
    while (topCount_ > 0 && queueHead_[topCount_] < 0) --topCount_;
    winner = -1;
    if (topCount_ == 0) return MostFreqPair{DTYPE_BYTEPAIR{-1, -1}, 0};
    const int first = queueHead_[topCount_];
    winner = records_[first].queueNext < 0 ? first : ties_.breakTie(topCount_);
    return MostFreqPair{DTYPE_BYTEPAIR{records_[winner].left, records_[winner].right}, topCount_};
}

bool IncrementalTrainer::needsWholeMerge(bool recordedNew, int newId) const {
    if (corpusHasKeys_ || !recordedNew || futureIds_.count(newId) != 0) return true;
    const TableIndex* index = tok_.currentTableIndex();
    return index == nullptr || index->idInKeys(newId);  // no index: assume the worst
}

void IncrementalTrainer::mergeWhole() {
    finishCorpus();  // from here until build() ends, corpus_ is the corpus
    applyMerges(tok_, corpus_);
    build();
}

void IncrementalTrainer::touch(int r) {
    PairRecord& rec = records_[r];
    if (rec.touched) return;
    rec.touched = true;
    touched_.push_back(Touched{r, rec.count});
}

void IncrementalTrainer::addOccurrence(int pos, int r) {
    touch(r);
    ++records_[r].count;
    nodes_[pos].pairId = r;
    // Positions arrive in ascending order, and a position given a new pair
    // twice (in a run) gets them in a row: the later replaces the earlier.
    if (!newOccurrences_.empty() && newOccurrences_.back().second == pos) {
        newOccurrences_.back().first = r;
    } else {
        newOccurrences_.emplace_back(r, pos);
    }
}

// Gives the pairs a merge created their occurrence lists, exactly sized.
// Every buffered entry is still live: a position's pair changes later in the
// same merge only by a second new pair, which replaced its entry (and a
// dead entry would only cost space: reads check liveness).
void IncrementalTrainer::fileNewOccurrences() {
    std::size_t bytes = 0;
    for (const auto& entry : newOccurrences_) bytes += occ_.countEntry(entry.first, entry.second);
    if (!occ_.fits(bytes)) dropPendingDeadEntries();
    occ_.layOut(firstRecordOfMerge_, static_cast<int>(records_.size()));
    for (const auto& entry : newOccurrences_) occ_.append(entry.first, entry.second);
    occ_.finishFilling(firstRecordOfMerge_, static_cast<int>(records_.size()));
    // The first merges are the largest by far; their buffer is not kept for
    // the rest of the run.
    if (newOccurrences_.capacity() > kKeptBuffer && newOccurrences_.size() < newOccurrences_.capacity() / 8) {
        std::vector<std::pair<int, int>>().swap(newOccurrences_);
    }
    newOccurrences_.clear();
}

// One greedy left-to-right pass for the newest merge only. Before it no
// adjacent pair is a merge-table key, so this equals the first whole pass;
// needsWholeMerge() rules out a second pass having anything to do.
void IncrementalTrainer::mergeIncremental(int winner, int newId) {
    firstRecordOfMerge_ = static_cast<int>(records_.size());
    // Neighbours up to the corpus length above the base tokens are cached:
    // sized by the table instead, the cache would cost every call O(table).
    const std::size_t span = std::min(static_cast<std::size_t>(newId) + 128,
                                      nodes_.size() + static_cast<std::size_t>(kDirectSpan));
    if (withNewOnLeft_.size() < span) {
        withNewOnLeft_.resize(span, -1);
        withNewOnRight_.resize(span, -1);
    }
    const int left = records_[static_cast<std::size_t>(winner)].left;
    const int right = records_[static_cast<std::size_t>(winner)].right;
    spans_.resize(static_cast<std::size_t>(newId - spanBase_) + 1, 1);
    spans_.back() = spanOf(left) + spanOf(right);
    const int n = static_cast<int>(nodes_.size());
    // The occurrences are known in advance; fetching their nodes early
    // hides most of the cache misses that dominate this loop.
    const int spanLeft = spanOf(left);
    const int spanPair = spanLeft + spanOf(right);
    OccurrenceLists::Cursor ahead = occ_.cursor(winner);
    OccurrenceLists::Cursor near = ahead;
    for (int k = 0; k < kPrefetchAhead && !ahead.done(); ++k) prefetchAround(ahead.next(), spanPair);
    for (int k = 0; k < kAbsorberAhead && !near.done(); ++k) prefetchAbsorber(near.next());
    for (OccurrenceLists::Cursor at = occ_.cursor(winner); !at.done();) {
        if (!ahead.done()) prefetchAround(ahead.next(), spanPair);
        if (!near.done()) prefetchAbsorber(near.next());
        const int i = at.next();
        if (nodes_[static_cast<std::size_t>(i)].pairId != winner) continue;  // consumed earlier
        const int j = i + spanLeft;
        const int x = livePrev(i);
        const int y = i + spanPair < n ? i + spanPair : -1;
        if (x >= 0) dropOccurrence(nodes_[static_cast<std::size_t>(x)].pairId, x);
        dropOccurrence(winner, i);
        if (y >= 0) dropOccurrence(nodes_[static_cast<std::size_t>(j)].pairId, j);

        nodes_[static_cast<std::size_t>(j)].pairId = absorbedLink(i);
        nodes_[static_cast<std::size_t>(i)].value = newId;
        nodes_[static_cast<std::size_t>(i)].pairId = -1;
        --liveLength_;

        if (x >= 0) {
            addOccurrence(x, recordWithNewId(nodes_[static_cast<std::size_t>(x)].value, newId, false));
        }
        if (y >= 0) {
            addOccurrence(i, recordWithNewId(nodes_[static_cast<std::size_t>(y)].value, newId, true));
        }
    }
    fileNewOccurrences();
    settleTouched();
}

int IncrementalTrainer::livePrev(int i) {
    return liveCellBefore(i, [this](int k) -> int& { return nodes_[static_cast<std::size_t>(k)].pairId; });
}

// The record of (neighbour, newId) or (newId, neighbour). Every such pair is
// new in this merge (needsWholeMerge() guarantees newId was absent), so
// neighbours below newId are served from a flat per-merge cache; the map
// covers the rest.
int IncrementalTrainer::recordWithNewId(int neighbour, int newId, bool newIdOnLeft) {
    const int left = newIdOnLeft ? newId : neighbour;
    const int right = newIdOnLeft ? neighbour : newId;
    if (neighbour < -128 || neighbour >= newId ||
        static_cast<std::size_t>(neighbour + 128) >= withNewOnLeft_.size()) {
        return recordFor(left, right);
    }
    int& cached = (newIdOnLeft ? withNewOnLeft_ : withNewOnRight_)[static_cast<std::size_t>(neighbour + 128)];
    if (cached < firstRecordOfMerge_) cached = createRecord(left, right, false);
    return cached;
}

bool IncrementalTrainer::hasManyDeadEntries(const PairRecord& rec) {
    return rec.storedEntries > kStoredPerLive * static_cast<std::uint32_t>(rec.count) + kDeadSlack;
}

void IncrementalTrainer::refreshFirstOccurrence(PairRecord& rec, int r) {
    OccurrenceLists::Cursor at = occ_.cursor(r);
    std::uint32_t dead = 0;
    for (OccurrenceLists::Cursor before = at;; before = at, ++dead) {
        const int pos = at.next();
        if (nodes_[static_cast<std::size_t>(pos)].pairId != r) continue;
        if (dead > 0) {
            occ_.consumeBefore(r, before, dead);
            rec.storedEntries -= dead;
        }
        if (pos == rec.firstOcc) return;
        ties_.firstOccurrenceMoved(r, rec.firstOcc, pos);
        rec.firstOcc = pos;
        return;
    }
}

void IncrementalTrainer::settleTouched() {
    const std::size_t touchedCount = touched_.size();
    for (std::size_t k = 0; k < touchedCount; ++k) {
        if (k + kSettleAhead < touchedCount) prefetchRecord(touched_[k + kSettleAhead].record);
        if (k + kSettleAhead / 2 < touchedCount) prefetchQueueNeighbours(touched_[k + kSettleAhead / 2]);
        const int r = touched_[k].record;
        const int countBefore = touched_[k].countBefore;
        PairRecord& rec = records_[r];
        rec.touched = false;
        ties_.countSettled(r);
        if (rec.count != countBefore && countBefore > 0) queueRemove(r, countBefore);
        if (rec.count > 0) {
            // A pair this merge made has only live entries (see
            // fileNewOccurrences), so its leftmost occurrence is its first
            // entry, with no node to check. An older pair gains no
            // occurrence in an incremental merge, so its leftmost one moves
            // only when it died.
            if (r >= firstRecordOfMerge_) {
                rec.storedEntries = occ_[r].entries;
                rec.firstOcc = occ_.cursor(r).next();
                ties_.firstOccurrenceMoved(r, -1, rec.firstOcc);
            } else if (rec.firstDied) {
                refreshFirstOccurrence(rec, r);
            }
            rec.firstDied = false;
            if (!rec.filterPending && hasManyDeadEntries(rec)) {
                rec.filterPending = true;
                filterPending_.push_back(r);
            }
            if (rec.count != countBefore) queueInsert(r);
        } else {
            if (rec.firstOcc >= 0) ties_.firstOccurrenceMoved(r, rec.firstOcc, -1);
            rec.firstOcc = -1;
            rec.firstDied = false;
            rec.storedEntries = 0;
            occ_.release(r);
        }
    }
    touched_.clear();
}

// Drops the dead entries of the lists that still hold more of them than
// live ones, to bound memory. The lists are shared out among threads by
// their stored entries, one node read each.
void IncrementalTrainer::dropPendingDeadEntries() {
    std::vector<int>& due = filterPending_;
    std::size_t kept = 0;
    std::uint64_t entries = 0;
    for (int r : due) {
        PairRecord& rec = records_[static_cast<std::size_t>(r)];
        rec.filterPending = false;
        if (rec.count == 0 || !hasManyDeadEntries(rec)) continue;  // released, or consumed since
        due[kept++] = r;
        entries += rec.storedEntries;
    }
    due.resize(kept);
    const int shares = shareCount(entries, tuning_.minFilterShare);
    // Share s filters due[cut[s], cut[s + 1]).
    std::vector<std::size_t> cut(static_cast<std::size_t>(shares) + 1, due.size());
    cut[0] = 0;
    std::uint64_t sum = 0;
    for (std::size_t k = 0, s = 1; k < due.size() && s < static_cast<std::size_t>(shares); ++k) {
        sum += records_[static_cast<std::size_t>(due[k])].storedEntries;
        if (sum * static_cast<std::uint64_t>(shares) >= entries * s) cut[s++] = k + 1;
    }
    std::vector<std::size_t> freed(static_cast<std::size_t>(shares), 0);
    runStretches(
        shares,
        [&](int s) {
            for (std::size_t k = cut[static_cast<std::size_t>(s)]; k < cut[static_cast<std::size_t>(s) + 1]; ++k) {
                const int r = due[k];
                freed[static_cast<std::size_t>(s)] +=
                    occ_.filter(r, [&](int pos) { return nodes_[static_cast<std::size_t>(pos)].pairId == r; },
                                [&](int pos) { __builtin_prefetch(&nodes_[static_cast<std::size_t>(pos)]); });
                records_[static_cast<std::size_t>(r)].storedEntries = occ_[r].entries;
            }
        },
        [](int) {});
    for (std::size_t bytes : freed) occ_.addGarbage(bytes);
    due.clear();
}

void IncrementalTrainer::pairsOfCount(int count, std::vector<int>& out) const {
    for (int r = queueHead_[count]; r >= 0; r = records_[r].queueNext) out.push_back(r);
}

// Past the rehash schedule the walk order is not modelled: count the
// corpus with the statistics table itself.
int IncrementalTrainer::winnerByRecount(const std::vector<int>& tied) {
    writeBack();
    const MostFreqPair best = getMaxFreqPair(bytePairStats(corpus_));
    for (int r : tied) {
        if (records_[r].left == best.pair[0] && records_[r].right == best.pair[1]) return r;
    }
    return tied.front();  // unreachable: the table's winner is among the tied pairs
}

void IncrementalTrainer::fit(int maxVocabSize, int nIter, std::ostream& out,
                             const std::function<bool()>& interrupted, FinalCorpus final) {
    if (stopped_) return;
    try {
        runIterations(maxVocabSize, nIter, out, interrupted);
    } catch (...) {
        // Between merges the list is the corpus after the last completed
        // merge, as the straightforward engine would leave it. A failure
        // inside an incremental merge leaves it with the merge applied up to
        // some occurrence; inside a whole-pass rebuild, corpus_ may be lost.
        finishCorpus(final);
        throw;
    }
    finishCorpus(final);
}

void IncrementalTrainer::runIterations(int maxVocabSize, int nIter, std::ostream& out,
                                       const std::function<bool()>& interrupted) {
    const int originalSize = static_cast<int>(nodes_.size());
    for (int i = 0; i < nIter; ++i) {
        if (interrupted && interrupted()) break;
        out << "Iteration " << i + 1 << std::endl;
        int winner = -1;
        const MostFreqPair best = choose(winner);
        out << "[" << best.pair[0] << " .. " << best.pair[1] << "] -> " << best.freq << std::endl;
        if (best.freq == 0) {
            out << "Nothing to Merge";  // no line end, no flush
            break;
        }
        const bool recordedNew = tok_.vocab.count(best.pair) == 0;
        updateVocab(tok_.vocab, tok_.revVocab, best.pair, tok_.nextVocabIndex, tok_.vocabSize);
        const int newId = tok_.vocab.at(best.pair);
        out << tok_.size() << std::endl;
        tok_.refreshTableIndex();  // the new merge's ids are now in a key
        // The merge just recorded stays in the tables but is not applied.
        if (tok_.size() >= maxVocabSize) {
            corpusHasKeys_ = true;
            break;
        }
        if (needsWholeMerge(recordedNew, newId)) {
            mergeWhole();
        } else {
            mergeIncremental(winner, newId);
        }
        out << liveLength_ << " " << originalSize << " "
            << reductionPercent(originalSize, liveLength_) << "%" << std::endl;
    }
}

}  // namespace bytepairtokenizer
