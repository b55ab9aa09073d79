// The trainer's build: a corpus laid out as nodes, pair records and
// occurrence lists, counted in stretches on several threads and numbered as
// one count over the whole corpus would number it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_set>
#include <vector>

#include "exact/pair_census.h"
#include "exact/trainer_tuning.h"
#include "exact/training_corpus.h"

namespace bytepairtokenizer {

// Contract of run(), over a corpus of n values read from `bytes` (as signed
// chars) when it is not null, else from `source`:
// - corpus.nodes hold the n values, each with the record of the pair
//   starting there (-1 for the last); corpus.spans is empty, spanBase is
//   firstFutureId and liveLength is n;
// - every distinct adjacent pair has a record, numbered in order of first
//   appearance, with its count and leftmost occurrence (storedEntries and
//   the queue links untouched); in a corpus of 16,384 ids or more, pairs
//   of two ids from -128 to 255 are left out of corpus.recordOf, every
//   other pair is in it;
// - each record's occurrence list holds its positions in ascending order
//   (overlapping ones included), allocated once at its final size;
// - `futureIds` holds exactly the ids at or above firstFutureId present.
// `source` is freed as soon as the nodes hold the corpus. The tie-break is
// reset for n positions and told of every record. Returns false when
// `interrupted` (polled every 2^20 positions on the calling thread) returned
// true; the corpus is then incomplete, and `source` may be freed already.
class CorpusBuild {
public:
    CorpusBuild(TrainingCorpus& corpus, const TrainerTuning& tuning, std::vector<int>& source,
                const unsigned char* bytes, std::size_t bytesSize)
        : corpus_(corpus), tuning_(tuning), source_(source), bytes_(bytes), bytesSize_(bytesSize) {}

    bool run(int firstFutureId, std::unordered_set<int>& futureIds, const std::function<bool()>& interrupted);

private:
    // Where one stretch's entries of a pair go: the pair's record, the byte
    // offset in its list, and the list entry before them.
    struct StretchList {
        int record;
        int prev;
        std::uint32_t offset;
    };

    // The value at position i of the corpus being built from.
    int sourceValue(int i) const {
        return bytes_ != nullptr ? static_cast<signed char>(bytes_[i]) : source_[static_cast<std::size_t>(i)];
    }
    int stretchBegin(int s, int stretches) const;
    static bool stopRequested(int s, std::atomic<bool>& stop, const std::function<bool()>& interrupted);
    bool countStretches(std::vector<PairCensus>& census, int firstFutureId,
                        const std::function<bool()>& interrupted);
    std::vector<std::vector<StretchList>> numberPairs(const std::vector<PairCensus>& census,
                                                      std::unordered_set<int>& futureIds);
    bool fillLists(const std::vector<std::vector<StretchList>>& lists, const std::function<bool()>& interrupted);

    TrainingCorpus& corpus_;
    const TrainerTuning& tuning_;
    std::vector<int>& source_;
    const unsigned char* bytes_;
    std::size_t bytesSize_;
};

}  // namespace bytepairtokenizer
