// Counting the distinct pieces of a corpus: documents are cut at special
// tokens, each stretch between them is split into pieces by a splitter, and
// every piece's bytes are counted. Documents are shared out among threads,
// each counting into a table of its own; the tables are added up at the end,
// so the counts never depend on the number of threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "encode/special_tokens.h"
#include "pieces/count_control.h"
#include "pieces/piece_table.h"
#include "text/splitter.h"

namespace brevix::bpe {

struct CountSettings {
    // Cuts each stretch of text into pieces; required.
    const text::Splitter* splitter = nullptr;
    // Occurrences of these tokens cut a document in two and are not counted
    // themselves; none when null.
    const SpecialMatcher* specials = nullptr;
    // Counting threads; 0 picks countingThreads(0).
    unsigned threads = 0;
    // Progress and interruption; optional.
    CountControl* control = nullptr;
};

// `requested` threads, or for 0 one per CPU this process may use, at most 8.
unsigned countingThreads(unsigned requested);

// The pieces of every document and their counts; nullopt when stopped
// through `settings.control` (nothing of a partial count is kept). Throws
// std::invalid_argument without a splitter, std::bad_alloc when memory runs
// out, and what the splitter throws.
std::optional<PieceTable> countPieces(const std::vector<std::string_view>& documents,
                                      const CountSettings& settings);

// How a file is cut into documents.
enum class FileDocuments {
    kWholeFile,  // the whole file is one document
    kLines,      // every line is a document, with its "\n" (the last line
                 // may lack one); "\r" is an ordinary byte. These are the
                 // lines Python's `for line in open(path, "rb")` gives.
};

// countPieces() over the documents of the files at `paths`, each file
// memory-mapped (never read onto the heap; pages are handed back as they are
// counted). A file is checked (opened, a regular file) before anything is
// counted: data::FileError names the first that fails.
std::optional<PieceTable> countFilePieces(const std::vector<std::string>& paths,
                                          FileDocuments documents, const CountSettings& settings);

// countFilePieces() of the lines (FileDocuments::kLines) of the file at
// `path` that start in [begin, end), an `end` past the file meaning its end:
// wherever a file is cut into such ranges, every line is counted in exactly
// one of them.
std::optional<PieceTable> countFileLinePieces(const std::string& path, std::uint64_t begin,
                                              std::uint64_t end, const CountSettings& settings);

}  // namespace brevix::bpe
