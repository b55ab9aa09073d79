#include "text/regex_splitter.h"

#include <utility>

#include "text/regex_compiler.h"
#include "text/regex_matcher.h"
#include "text/regex_parser.h"
#include "text/utf8.h"

namespace brevix::text {

namespace {

using regex::MatchScratch;
using regex::Program;

class RegexSplitter final : public Splitter {
public:
    explicit RegexSplitter(Program program) : program_(std::move(program)) {}

    std::size_t split(std::string_view text, std::size_t from, std::vector<std::size_t>& ends,
                      std::size_t limit) const override;

private:
    std::size_t nextMatch(std::string_view text, std::size_t from, std::size_t& end,
                          MatchScratch& scratch) const;

    Program program_;
};

// The start of the first non-empty match at or after `from` (the text's size
// when there is none), its end in `end`. Positions whose byte no match can
// start with are passed over without running the matcher.
std::size_t RegexSplitter::nextMatch(std::string_view text, std::size_t from, std::size_t& end,
                                     MatchScratch& scratch) const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t start = from; start < text.size();) {
        if (program_.firstBytes.contains(bytes[start])) {
            end = regex::matchAt(program_, text, start, scratch);
            if (end != regex::kNoMatch) return start;
        }
        start += bytes[start] < 0x80 ? 1 : decodeUtf8(text, start).length;
    }
    return text.size();
}

// Pieces are the matches finditer finds, empty ones left out, and the
// stretches between them. The first non-empty match at or after a position
// depends on nothing found before it, so resuming at any piece boundary
// finds the same pieces.
std::size_t RegexSplitter::split(std::string_view text, std::size_t from,
                                 std::vector<std::size_t>& ends, std::size_t limit) const {
    MatchScratch scratch;
    std::size_t pos = from;
    while (pos < text.size() && ends.size() < limit) {
        std::size_t end = 0;
        const std::size_t start = nextMatch(text, pos, end, scratch);
        if (start > pos) {
            ends.push_back(start);
            pos = start;
            if (pos == text.size() || ends.size() >= limit) break;
        }
        ends.push_back(end);
        pos = end;
    }
    return pos;
}

}  // namespace

std::unique_ptr<Splitter> makeRegexSplitter(std::string_view pattern) {
    return std::make_unique<RegexSplitter>(regex::compileProgram(regex::parsePattern(pattern)));
}

}  // namespace brevix::text
