// Parsing a split pattern (UTF-8) into a syntax tree, with the syntax and
// meaning of the `regex` module (default flags, str patterns): literals and
// escapes, `.`, classes with ranges and `\p{..}`, `\s \d \w` and their
// negations, anchors and word boundaries, groups, alternation, greedy, lazy
// and possessive quantifiers, atomic groups, lookahead, lookbehind, and the
// flags i, m and s (inline, scoped, or as `(?i)` to the end of the group).
#pragma once

#include <cstddef>
#include <string_view>

#include "text/regex_ast.h"

namespace brevix::text::regex {

// Groups may nest this deep; deeper patterns are refused rather than risking
// the native stack in the recursive parser and compiler.
inline constexpr int kMaxGroupNesting = 200;

// The tree of `pattern`. Throws PatternError at the byte offset of the
// problem for a malformed pattern (the offset the regex module reports, in
// bytes), and for anything outside the syntax above ("unsupported ...", at
// the start of the construct).
ParsedPattern parsePattern(std::string_view pattern);

}  // namespace brevix::text::regex
