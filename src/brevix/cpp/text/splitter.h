// Splitting text into pieces by a pattern, before byte-pair encoding: the
// interface every splitter meets and the well-known patterns (make_splitter.h
// picks the splitter for a pattern).
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace brevix::text {

// The well-known patterns, spelled exactly as their authors publish them.
// GPT-2's (also HF tokenizers' ByteLevel pre-tokenizer).
inline constexpr std::string_view kGpt2Pattern =
    R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)";
// cl100k_base, as tiktoken spells it.
inline constexpr std::string_view kCl100kPattern =
    R"('(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+| ?[^\s\p{L}\p{N}]++[\r\n]*+|\s++$|\s*[\r\n]|\s+(?!\S)|\s)";
// o200k_base, as tiktoken spells it (its seven alternatives joined by "|").
inline constexpr std::string_view kO200kPattern =
    R"([^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+(?i:'s|'t|'re|'ve|'m|'ll|'d)?|)"
    R"([^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*(?i:'s|'t|'re|'ve|'m|'ll|'d)?|)"
    R"(\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n/]*|\s*[\r\n]+|\s+(?!\S)|\s+)";

// A pattern that cannot be compiled. `position()` is the offset, in bytes of
// the pattern's UTF-8, where the problem was found.
class PatternError : public std::invalid_argument {
public:
    PatternError(std::size_t position, const std::string& message)
        : std::invalid_argument(message), position_(position) {}
    std::size_t position() const { return position_; }

private:
    std::size_t position_;
};

// Splits texts into pieces. The pieces of a text cover it without gaps or
// overlaps, in order: every match of the pattern is a piece, and so is every
// stretch of text between matches that no match covers (nothing is dropped).
// Empty matches are skipped. Matching reads the text as UTF-8; each byte
// that is not part of a valid UTF-8 sequence is matched as if it were
// U+FFFD (a symbol, category So) and stays in its piece as the byte it is.
// Implementations are immutable after construction and may be used by
// several threads at once.
class Splitter {
public:
    virtual ~Splitter() = default;

    // Appends to `ends` the end offset of each piece of `text` that starts at
    // or after `from` (which must be 0 or the end of an earlier piece), until
    // `ends.size()` reaches `limit` or the text is done, and returns the
    // offset where it stopped (text.size() once done). Pieces are the same
    // whether a text is split in one call or resumed over many.
    virtual std::size_t split(std::string_view text, std::size_t from,
                              std::vector<std::size_t>& ends, std::size_t limit) const = 0;
};

}  // namespace brevix::text
