#include "byte_training.h"

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
    std::vector<int> corpus(size);
    for (std::size_t i = 0; i < size; ++i) {
        corpus[i] = static_cast<int>(static_cast<signed char>(data[i]));
    }
    tok.fitWith(corpus, maxVocabSize, nIter, out, interrupted);
}

}  // namespace bytepairtokenizer
