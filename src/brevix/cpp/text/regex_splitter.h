// The general splitter: any pattern of the supported syntax (see
// regex_parser.h), matched by the backtracking engine as regex.finditer
// matches it.
#pragma once

#include <memory>
#include <string_view>

#include "text/splitter.h"

namespace brevix::text {

// The splitter for `pattern`, compiled once. Throws PatternError (with the
// byte offset in `pattern`) for a malformed or unsupported pattern.
std::unique_ptr<Splitter> makeRegexSplitter(std::string_view pattern);

}  // namespace brevix::text
