// Picking the splitter for a pattern: a hand-written scanner for each of the
// well-known patterns, the general engine for any other.
#pragma once

#include <memory>
#include <string_view>

#include "text/splitter.h"

namespace brevix::text {

// The splitter for `pattern`: a hand-written scanner when `pattern` is one of
// the well-known patterns of splitter.h (byte for byte), the general engine
// otherwise. Throws PatternError for a pattern that does not compile.
std::unique_ptr<Splitter> makeSplitter(std::string_view pattern);

// The splitter that keeps each text whole (one piece; none for empty text).
std::unique_ptr<Splitter> makeWholeSplitter();

}  // namespace brevix::text
