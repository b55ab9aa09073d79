#include "byte_training.h"

#include <climits>
#include <stdexcept>
#include <vector>

#include "trainer.h"

// Performance notes
// - The engine's value array is filled from the bytes directly; it is the
//   only per-token array besides the nodes, so the bytes cost the engine
//   4 bytes per token and no list of ids ever exists.

namespace bytepairtokenizer {

namespace {

// Bytes converted between two polls for an interruption.
constexpr std::size_t kPollBlock = std::size_t{1} << 22;

}  // namespace

void fitOnBytes(BytePairTokenizer& tok, const unsigned char* data, std::size_t size,
                int maxVocabSize, int nIter, std::ostream& out,
                const std::function<bool()>& interrupted) {
    if (nIter <= 0) return;
    if (size > static_cast<std::size_t>(INT_MAX)) {
        throw std::overflow_error("a training corpus holds at most 2147483647 bytes");
    }
    std::vector<int> values(size);
    for (std::size_t at = 0; at < size; at += kPollBlock) {
        if (interrupted && interrupted()) return;
        const std::size_t end = size - at < kPollBlock ? size : at + kPollBlock;
        for (std::size_t i = at; i < end; ++i) values[i] = static_cast<signed char>(data[i]);
    }
    IncrementalTrainer trainer(tok, values, TieBreakTuning{}, interrupted);
    trainer.fit(maxVocabSize, nIter, out, interrupted);
}

}  // namespace bytepairtokenizer
