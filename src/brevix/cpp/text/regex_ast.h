// The syntax tree of a parsed pattern: what the parser builds and the
// compiler turns into a program. Captures play no part in splitting, so
// every group is a plain group.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "text/regex_charset.h"

namespace brevix::text::regex {

inline constexpr std::uint32_t kUnbounded = std::numeric_limits<std::uint32_t>::max();

enum class NodeKind : std::uint8_t {
    Empty,        // matches the empty string
    OneChar,      // one character that `matcher` accepts
    Sequence,     // children in order
    Alternation,  // the first child that leads to a match, in order
    Repeat,       // children[0], min to max times
    Atomic,       // (?> ): children[0], its choices dropped once it matches
    Look,         // (?= ) (?! ) (?<= ) (?<! ) around children[0]
    Assertion,    // ^ $ \A \z \Z \b \B
};

enum class RepeatMode : std::uint8_t { Greedy, Lazy, Possessive };

enum class AssertKind : std::uint8_t {
    TextStart,         // \A, and ^ without (?m)
    LineStart,         // ^ under (?m): at the start or after '\n'
    TextEnd,           // \z \Z
    EndOrFinalNewline, // $ without (?m): at the end or before a final '\n'
    LineEnd,           // $ under (?m): at the end or before any '\n'
    WordBoundary,      // \b
    NotWordBoundary,   // \B
};

struct Node {
    NodeKind kind = NodeKind::Empty;
    std::size_t position = 0;  // byte offset in the pattern where it starts
    std::uint32_t matcher = 0; // OneChar: index into ParsedPattern::matchers
    std::uint32_t min = 1, max = 1;  // Repeat
    RepeatMode mode = RepeatMode::Greedy;
    bool behind = false;   // Look
    bool negated = false;  // Look
    AssertKind assertion = AssertKind::TextStart;
    std::vector<Node> children;
};

struct ParsedPattern {
    Node root;
    std::vector<CharMatcher> matchers;
};

}  // namespace brevix::text::regex
