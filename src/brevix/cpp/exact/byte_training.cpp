#include "exact/byte_training.h"

#include <climits>
#include <stdexcept>
#include <vector>

#include "exact/trainer.h"

// Performance notes
// - The engine's nodes are built from the bytes directly: no array of ids
//   ever exists besides them.

namespace bytepairtokenizer {

void fitOnBytes(BytePairTokenizer& tok, const unsigned char* data, std::size_t size,
                int maxVocabSize, int nIter, std::ostream& out,
                const std::function<bool()>& interrupted) {
    if (nIter <= 0) return;
    if (size > static_cast<std::size_t>(INT_MAX)) {
        throw std::overflow_error("a training corpus holds at most 2147483647 bytes");
    }
    std::vector<int> corpus;  // the engine's scratch for whole-pass merges
    IncrementalTrainer trainer(tok, corpus, TrainerTuning{}, interrupted, data, size);
    trainer.fit(maxVocabSize, nIter, out, interrupted, FinalCorpus::Dropped);
}

}  // namespace bytepairtokenizer
