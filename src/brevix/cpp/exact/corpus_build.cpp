#include "exact/corpus_build.h"

#include <algorithm>

#include "common/stretch_threads.h"
#include "exact/occurrence_lists.h"

namespace bytepairtokenizer {

namespace {

// Shorter corpora skip the flat table: filling it would cost more than the scan.
constexpr int kDirectMinCorpus = 16384;

// The build polls for an interruption every this many positions.
constexpr int kPollEvery = 1 << 20;

}  // namespace

bool CorpusBuild::run(int firstFutureId, std::unordered_set<int>& futureIds,
                      const std::function<bool()>& interrupted) {
    TrainingCorpus& c = corpus_;
    const int n = static_cast<int>(bytes_ != nullptr ? bytesSize_ : source_.size());
    c.nodes.resizeUninitialised(static_cast<std::size_t>(n));
    c.spans.clear();
    c.spanBase = firstFutureId;
    c.records.clear();
    c.occ.clear();
    c.ties.reset(static_cast<std::size_t>(n));
    c.recordOf = PairMap(std::min(1024, n));
    futureIds.clear();
    c.liveLength = n;

    std::vector<PairCensus> census;
    const int stretches = shareCount(tuning_, static_cast<std::uint64_t>(n), tuning_.minStretch);
    census.reserve(static_cast<std::size_t>(stretches));
    for (int s = 0; s < stretches; ++s) census.emplace_back(n >= kDirectMinCorpus);
    if (!countStretches(census, firstFutureId, interrupted)) return false;
    // The nodes hold the corpus now: its source goes before the lists grow.
    bytes_ = nullptr;
    std::vector<int>().swap(source_);
    std::vector<std::vector<StretchList>> lists = numberPairs(census, futureIds);
    std::vector<PairCensus>().swap(census);
    c.occ.layOut(0, static_cast<int>(c.records.size()));
    if (!fillLists(lists, interrupted)) return false;
    c.occ.finishDirectFilling(0, static_cast<int>(c.records.size()), [&c](int r) {
        return static_cast<std::uint32_t>(c.records[static_cast<std::size_t>(r)].count);
    });
    return true;
}

int CorpusBuild::stretchBegin(int s, int stretches) const {
    return static_cast<int>(static_cast<long long>(corpus_.nodes.size()) * s / stretches);
}

// Stretch 0 runs on the calling thread and asks `interrupted`; the others
// stop when it or a failure raised `stop`.
bool CorpusBuild::stopRequested(int s, std::atomic<bool>& stop, const std::function<bool()>& interrupted) {
    if (stop.load(std::memory_order_relaxed)) return true;
    if (s == 0 && interrupted && interrupted()) {
        stop.store(true, std::memory_order_relaxed);
        return true;
    }
    return false;
}

// Writes the nodes and counts the pairs of each stretch, numbered within it.
bool CorpusBuild::countStretches(std::vector<PairCensus>& census, int firstFutureId,
                                 const std::function<bool()>& interrupted) {
    const int n = static_cast<int>(corpus_.nodes.size());
    const int stretches = static_cast<int>(census.size());
    std::atomic<bool> stop{false};
    runStretches(
        stretches,
        [&](int s) {
            census[static_cast<std::size_t>(s)].count(
                stretchBegin(s, stretches), stretchBegin(s + 1, stretches), n, firstFutureId, kPollEvery,
                [this](int i) { return sourceValue(i); },
                [this](int i, int value, int local) {
                    corpus_.nodes[static_cast<std::size_t>(i)] = TrainingNode{value, local};
                },
                [&]() { return stopRequested(s, stop, interrupted); });
        },
        [&](int) { stop.store(true, std::memory_order_relaxed); });
    return !stop.load();
}

// Numbers the stretches' pairs across the corpus in order of first
// appearance, making their records, and sizes their lists. Returns, for
// each stretch and pair number in it, where the stretch's entries go.
std::vector<std::vector<CorpusBuild::StretchList>> CorpusBuild::numberPairs(const std::vector<PairCensus>& census,
                                                                            std::unordered_set<int>& futureIds) {
    TrainingCorpus& c = corpus_;
    const bool useDirect = c.nodes.size() >= static_cast<std::size_t>(kDirectMinCorpus);
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
            if (s > 0) r = inDirect ? direct[directSlot(pair.left, pair.right)] : c.recordOf.find(pair.left, pair.right);
            if (r < 0) {
                r = c.createRecord(pair.left, pair.right, !inDirect);
                if (inDirect && !direct.empty()) direct[directSlot(pair.left, pair.right)] = r;
                c.records[static_cast<std::size_t>(r)].firstOcc = pair.first;
                bytes.push_back(0);
                last.push_back(-1);
            }
            const std::size_t k = static_cast<std::size_t>(r);
            lists[s].push_back(StretchList{r, last[k], bytes[k]});
            bytes[k] += OccurrenceLists::entryBytes(last[k], pair.first) + pair.bytes;
            last[k] = pair.last;
            c.records[k].count += pair.count;
        }
        futureIds.insert(census[s].futureIds().begin(), census[s].futureIds().end());
    }
    for (std::size_t r = 0; r < bytes.size(); ++r) c.occ.reserve(static_cast<int>(r), bytes[r]);
    return lists;
}

// Writes each stretch's entries into the lists laid out for them, and the
// nodes' pair numbers become record numbers.
bool CorpusBuild::fillLists(const std::vector<std::vector<StretchList>>& lists,
                            const std::function<bool()>& interrupted) {
    const int n = static_cast<int>(corpus_.nodes.size());
    const int stretches = static_cast<int>(lists.size());
    std::atomic<bool> stop{false};
    runStretches(
        stretches,
        [&](int s) {
            const std::vector<StretchList>& mine = lists[static_cast<std::size_t>(s)];
            std::vector<std::uint8_t*> at(mine.size());
            std::vector<int> prev(mine.size());
            for (std::size_t k = 0; k < mine.size(); ++k) {
                at[k] = corpus_.occ.listStart(mine[k].record) + mine[k].offset;
                prev[k] = mine[k].prev;
            }
            const int end = std::min(stretchBegin(s + 1, stretches), n - 1);
            for (int i = stretchBegin(s, stretches), untilPoll = 0; i < end; ++i, --untilPoll) {
                if (untilPoll == 0) {
                    if (stopRequested(s, stop, interrupted)) return;
                    untilPoll = kPollEvery;
                }
                TrainingNode& node = corpus_.nodes[static_cast<std::size_t>(i)];
                const std::size_t local = static_cast<std::size_t>(node.pairId);
                if (s > 0) node.pairId = mine[local].record;  // stretch 0 numbers its pairs as the records
                at[local] = OccurrenceLists::writeGap(at[local], static_cast<std::uint32_t>(i - prev[local]));
                prev[local] = i;
            }
        },
        [&](int) { stop.store(true, std::memory_order_relaxed); });
    return !stop.load();
}

}  // namespace bytepairtokenizer
