// Training on raw bytes: the engine is built straight from the bytes, with
// no intermediate copy of the corpus as ids.
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>

#include "exact/tokenizer.h"

namespace bytepairtokenizer {

// Same merges, output and stopping rules as fit() on the ids of `data` read
// as signed chars (base ids -128..127). `interrupted` (may be empty) is
// polled at every iteration boundary and every few MB while the engine is
// built; when it returns true the call stops, keeping the merges learned.
// Throws std::bad_alloc when the engine does not fit in memory (the merges
// learned so far stay) and std::overflow_error for more than INT_MAX bytes.
void fitOnBytes(BytePairTokenizer& tok, const unsigned char* data, std::size_t size,
                int maxVocabSize, int nIter, std::ostream& out,
                const std::function<bool()>& interrupted);

}  // namespace bytepairtokenizer
