// The compiled form of a pattern: a small instruction program for the
// backtracking matcher (regex_matcher.h), made by the compiler
// (regex_compiler.h).
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "text/regex_ast.h"
#include "text/regex_charset.h"

namespace brevix::text::regex {

inline constexpr std::uint32_t kNoGuard = std::numeric_limits<std::uint32_t>::max();

enum class Op : std::uint8_t {
    One,            // one character `matcher` accepts
    Loop,           // `matcher` min..max times (mode): a run without a choice point per character
    Split,          // go to `next`, on failure to `alt`
    Jump,           // go to `next`
    Assert,         // `assertion` holds here
    AtomicBegin,    // choices made until AtomicEnd are dropped at AtomicEnd
    AtomicEnd,
    LookBegin,      // lookaround up to LookEnd (`behind`, `negated`; `min` characters behind);
                    // `alt` is the instruction after LookEnd
    LookEnd,
    SaveProgress,   // register `matcher` = position (restored on backtracking)
    CheckProgress,  // to `alt` when the position equals register `matcher` (an empty iteration)
    Match,
};

struct Inst {
    Op op = Op::Match;
    RepeatMode mode = RepeatMode::Greedy;
    AssertKind assertion = AssertKind::TextStart;
    bool behind = false;
    bool negated = false;
    std::uint32_t matcher = 0;  // One, Loop; the register of Save/CheckProgress
    std::uint32_t min = 0, max = 0;
    std::uint32_t next = 0, alt = 0;
    // Split: the byte at the position must be in guards[guardNext] for `next`
    // (in guards[guardAlt] for `alt`) to be worth trying; kNoGuard: always.
    std::uint32_t guardNext = kNoGuard, guardAlt = kNoGuard;
};

struct Program {
    std::vector<Inst> code;
    std::vector<CharMatcher> matchers;
    std::vector<ByteSet> guards;
    // The bytes a non-empty match can start with.
    ByteSet firstBytes{true};
    std::uint32_t registers = 0;
};

}  // namespace brevix::text::regex
