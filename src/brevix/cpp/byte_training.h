// Training straight from raw bytes, for callers that hold a corpus as bytes
// (a file, a buffer) rather than as a list of ids.
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>

#include "tokenizer.h"

namespace bytepairtokenizer {

// fit() on the ids of `data` read as signed chars (base ids -128..127): the
// same merges, output and stopping rules. `interrupted` (may be empty) is
// polled at every iteration boundary, and may be polled more often; when it
// returns true the call stops, keeping the merges already learned.
void fitOnBytes(BytePairTokenizer& tok, const unsigned char* data, std::size_t size,
                int maxVocabSize, int nIter, std::ostream& out,
                const std::function<bool()>& interrupted);

}  // namespace bytepairtokenizer
