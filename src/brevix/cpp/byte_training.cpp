#include "byte_training.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "trainer.h"

namespace bytepairtokenizer {

void fitOnBytes(BytePairTokenizer& tok, const unsigned char* data, std::size_t size,
                int maxVocabSize, int nIter, std::ostream& out,
                const std::function<bool()>& interrupted) {
    if (size > static_cast<std::size_t>(INT32_MAX)) {
        throw std::overflow_error("corpus too long: a tokenizer takes at most 2147483647 bytes");
    }
    // First version: the id sequence in full, then the incremental engine.
    // Converted a slice at a time with a poll in between, so that an
    // interrupt during a long conversion is not kept waiting.
    constexpr std::size_t kSlice = std::size_t{1} << 24;
    std::vector<int> corpus(size);
    for (std::size_t start = 0; start < size; start += kSlice) {
        if (start != 0 && interrupted && interrupted()) return;
        const std::size_t end = std::min(size, start + kSlice);
        for (std::size_t i = start; i < end; ++i) {
            corpus[i] = static_cast<int>(static_cast<signed char>(data[i]));
        }
    }
    tok.fitWith(corpus, maxVocabSize, nIter, out, interrupted);
}

}  // namespace bytepairtokenizer
