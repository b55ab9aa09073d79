// Turning a parsed pattern into a program for the backtracking matcher.
#pragma once

#include <cstddef>

#include "text/regex_ast.h"
#include "text/regex_program.h"

namespace brevix::text::regex {

// Programs may hold this many instructions; counted repetitions of groups
// are written out copy by copy, and a pattern that grows past this is
// refused.
inline constexpr std::size_t kMaxProgramSize = std::size_t{1} << 18;

// The program of `parsed`. Repetitions of one character become loops with
// counters; other counted repetitions are copied out; each alternative and
// optional part gets a guard of the bytes it can start with. Throws
// PatternError for a lookbehind whose length is not fixed (each alternative
// at its top may have its own fixed length) and for a program past
// kMaxProgramSize.
Program compileProgram(ParsedPattern parsed);

}  // namespace brevix::text::regex
