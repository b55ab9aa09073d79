// The backtracking matcher: runs a compiled program at one position of a
// text, with its choice points on a heap stack (never the native stack), so
// any length of text is safe. Loops over one character class take one
// choice point per loop, not per character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "text/regex_program.h"

namespace brevix::text::regex {

// A choice point or a marker on the backtracking stack.
struct Frame {
    enum class Kind : std::uint8_t { Branch, GreedyLoop, LazyLoop, Atomic, Look, Register };
    std::size_t pos = 0;    // where to resume (Register: the value to restore)
    std::size_t extra = 0;  // GreedyLoop: the loop's shortest end; LazyLoop: its count
    std::uint32_t pc = 0;   // where to resume, or the instruction that pushed it
    Kind kind = Kind::Branch;
};

// The memory one thread reuses across matches: the backtracking stack (its
// size is its capacity; the matcher keeps its own top) and the loop registers.
struct MatchScratch {
    std::vector<Frame> stack;
    std::vector<std::size_t> registers;
};

inline constexpr std::size_t kNoMatch = static_cast<std::size_t>(-1);

// The end of the first match of `program` starting at byte `start` of `text`
// that is not empty, trying alternatives and repetitions in the pattern's
// order of preference (what regex.finditer finds there once it rules out an
// empty match); kNoMatch when there is none. `start` must be a character
// boundary. Lookbehind, anchors and \b see the whole of `text`.
std::size_t matchAt(const Program& program, std::string_view text, std::size_t start,
                    MatchScratch& scratch);

// The start of the character that ends at byte `pos` (0 < pos <= size, at a
// character boundary), reading `text` as matching reads it: an invalid byte
// is a character of its own.
std::size_t previousBoundary(std::string_view text, std::size_t pos);

}  // namespace brevix::text::regex
