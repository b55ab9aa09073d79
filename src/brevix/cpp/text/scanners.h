// Hand-written scanners for the well-known split patterns: each splits
// exactly as regex.finditer(pattern, text) does on the text decoded as UTF-8
// (invalid bytes read as U+FFFD, one per byte), without a regex engine.
#pragma once

#include <memory>

namespace brevix::text {

// Declared here rather than included: splitter.cpp includes this header, and
// the scanners' sources include splitter.h for the interface.
class Splitter;

// The scanner of kGpt2Pattern.
std::unique_ptr<Splitter> makeGpt2Scanner();
// The scanner of kCl100kPattern.
std::unique_ptr<Splitter> makeCl100kScanner();
// The scanner of kO200kPattern.
std::unique_ptr<Splitter> makeO200kScanner();

}  // namespace brevix::text
