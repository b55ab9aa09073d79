#include "pieces/piece_counter.h"

#include <sched.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include "pieces/counting_threads.h"
#include "pieces/mapped_file.h"

namespace brevix::bpe {

namespace {

constexpr unsigned kMostDefaultThreads = 8;
// Pieces asked of the splitter per call.
constexpr std::size_t kPiecesPerSplit = 512;
// Work is handed out in units of about this many bytes (fewer when the
// corpus is small, so that every thread gets some).
constexpr std::size_t kLargestUnit = std::size_t{1} << 20;
constexpr std::size_t kSmallestUnit = std::size_t{64} << 10;

unsigned usableCpus() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    const unsigned reported = std::thread::hardware_concurrency();
    return reported == 0 ? 1 : reported;
}

// Counted bytes are reported to the control (and the stop flag read) about
// every kReportBytes, not per document.
class ProgressMeter {
public:
    static constexpr std::uint64_t kReportBytes = std::uint64_t{64} << 10;

    explicit ProgressMeter(CountControl* control) : control_(control) {}
    ~ProgressMeter() { flush(); }

    // Adds `bytes`; returns false once counting should stop.
    bool advance(std::size_t bytes) {
        pending_ += bytes;
        if (pending_ < kReportBytes) return true;
        flush();
        return !stopRequested();
    }

    bool stopRequested() const {
        return control_ != nullptr && control_->stop.load(std::memory_order_relaxed);
    }

    void flush() {
        if (control_ != nullptr && pending_ > 0) {
            control_->bytesDone.fetch_add(pending_, std::memory_order_relaxed);
        }
        pending_ = 0;
    }

private:
    CountControl* control_;
    std::uint64_t pending_ = 0;
};

// Counts the pieces of documents into a table of its own: one per thread.
class DocumentCounter {
public:
    explicit DocumentCounter(const CountSettings& settings)
        : splitter_(*settings.splitter), specials_(settings.specials) {
        ends_.reserve(kPiecesPerSplit);
    }

    // Counts every piece of `document`, cut at special tokens, reporting its
    // bytes to `meter` as it goes; returns false when stopped.
    bool count(std::string_view document, ProgressMeter& meter) {
        if (specials_ == nullptr || specials_->empty()) return countStretch(document, meter);
        std::size_t from = 0;
        while (auto match = specials_->find(document, from)) {
            if (!countStretch(document.substr(from, match->start - from), meter) ||
                !meter.advance(match->length)) {
                return false;
            }
            from = match->start + match->length;
        }
        return countStretch(document.substr(from), meter);
    }

    PieceTable& table() { return table_; }

private:
    // Counts the pieces of a stretch of text free of special tokens.
    bool countStretch(std::string_view text, ProgressMeter& meter) {
        std::size_t from = 0;
        while (from < text.size()) {
            ends_.clear();
            const std::size_t stopped = splitter_.split(text, from, ends_, kPiecesPerSplit);
            if (ends_.empty()) break;  // the splitter has nothing more
            countPieces(text, from);
            if (!meter.advance(ends_.back() - from)) return false;
            from = std::max(ends_.back(), stopped);
        }
        return true;
    }

    // Counts the pieces of `text` from `from` to each of ends_ in turn.
    void countPieces(std::string_view text, std::size_t from) {
        for (const std::size_t end : ends_) {
            table_.add(text.substr(from, end - from));
            from = end;
        }
    }

    const text::Splitter& splitter_;
    const SpecialMatcher* specials_;
    std::vector<std::size_t> ends_;
    PieceTable table_;
};

// The unit size for `total` bytes on `threads` threads.
std::size_t unitBytes(std::uint64_t total, unsigned threads) {
    const std::uint64_t share = total / (std::uint64_t{threads} * 8);
    return static_cast<std::size_t>(
        std::clamp<std::uint64_t>(share, kSmallestUnit, kLargestUnit));
}

// Documents [first, last) of an in-memory batch.
struct DocumentRange {
    std::size_t first;
    std::size_t last;
};

std::vector<DocumentRange> planDocuments(const std::vector<std::string_view>& documents,
                                         unsigned threads) {
    std::uint64_t total = 0;
    for (const std::string_view document : documents) total += document.size();
    const std::size_t unit = unitBytes(total, threads);
    std::vector<DocumentRange> ranges;
    std::size_t first = 0, bytes = 0;
    for (std::size_t i = 0; i < documents.size(); ++i) {
        bytes += documents[i].size();
        if (bytes >= unit) {
            ranges.push_back({first, i + 1});
            first = i + 1;
            bytes = 0;
        }
    }
    if (first < documents.size()) ranges.push_back({first, documents.size()});
    return ranges;
}

// Part of a file: with lines, the lines that start in [begin, end); whole,
// the file.
struct FileRange {
    std::size_t file;
    std::size_t begin;
    std::size_t end;
};

std::vector<FileRange> planFiles(const std::vector<std::string>& paths, FileDocuments documents,
                                 unsigned threads) {
    std::vector<std::size_t> sizes;
    sizes.reserve(paths.size());
    std::uint64_t total = 0;
    for (const std::string& path : paths) {
        sizes.push_back(fileSize(path));
        total += sizes.back();
    }
    const std::size_t unit = unitBytes(total, threads);
    std::vector<FileRange> ranges;
    for (std::size_t file = 0; file < paths.size(); ++file) {
        const std::size_t size = sizes[file];
        if (size == 0) continue;
        const std::size_t step = documents == FileDocuments::kLines ? unit : size;
        for (std::size_t begin = 0; begin < size; begin += std::min(step, size - begin)) {
            ranges.push_back({file, begin, begin + std::min(step, size - begin)});
        }
    }
    return ranges;
}

// The start of the first line that starts in [from, end), or `end` when
// none does. The search stops at `end`: a long line is looked for only by
// the unit it starts in, not by every unit it spans.
std::size_t firstLineStartIn(std::string_view text, std::size_t from, std::size_t end) {
    if (from == 0) return 0;
    const void* newline = std::memchr(text.data() + from - 1, '\n', end - (from - 1));
    return newline == nullptr ? end
                              : static_cast<std::size_t>(static_cast<const char*>(newline) -
                                                         text.data()) + 1;
}

// Counts the lines of `text` that start in [begin, end); returns false when
// stopped.
bool countLines(std::string_view text, std::size_t begin, std::size_t end,
                DocumentCounter& counter, ProgressMeter& meter) {
    end = std::min(end, text.size());  // the file may have shrunk since it was planned
    if (begin >= end) return true;
    std::size_t start = firstLineStartIn(text, begin, end);
    while (start < end) {
        const void* newline = std::memchr(text.data() + start, '\n', text.size() - start);
        const std::size_t stop =
            newline == nullptr
                ? text.size()
                : static_cast<std::size_t>(static_cast<const char*>(newline) - text.data()) + 1;
        if (!counter.count(text.substr(start, stop - start), meter)) return false;
        start = stop;
    }
    return true;
}

void requireSplitter(const CountSettings& settings) {
    if (settings.splitter == nullptr) throw std::invalid_argument("counting needs a splitter");
}

// Runs `countUnit(counter, meter, unit)` over units on the settings'
// threads and adds the counters' tables up; nullopt when stopped.
template <typename Unit, typename CountUnit>
std::optional<PieceTable> countUnits(const std::vector<Unit>& units, unsigned threads,
                                     const CountSettings& settings, CountUnit&& countUnit) {
    // No more threads than units: each would need a table of its own.
    threads = static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(threads, units.size())));
    std::vector<std::unique_ptr<DocumentCounter>> counters;
    for (unsigned t = 0; t < threads; ++t) counters.push_back(std::make_unique<DocumentCounter>(settings));
    const bool finished = runUnits(
        units.size(), threads, settings.control,
        [&](unsigned worker, std::size_t unit) {
            ProgressMeter meter(settings.control);
            return countUnit(*counters[worker], meter, units[unit]);
        });
    if (!finished) return std::nullopt;
    std::size_t largest = 0;
    for (std::size_t t = 1; t < counters.size(); ++t) {
        if (counters[t]->table().size() > counters[largest]->table().size()) largest = t;
    }
    PieceTable total = counters[largest]->table().take();
    for (std::size_t t = 0; t < counters.size(); ++t) {
        if (t != largest) total.addAll(counters[t]->table());
        counters[t].reset();  // its memory goes before the next is added
    }
    return total;
}

// The units of the lines starting in [begin, end) of one file (file 0).
std::vector<FileRange> planLineRange(std::size_t begin, std::size_t end, unsigned threads) {
    std::vector<FileRange> ranges;
    if (begin >= end) return ranges;
    const std::size_t unit = unitBytes(end - begin, threads);
    for (std::size_t from = begin; from < end; from += std::min(unit, end - from)) {
        ranges.push_back({0, from, from + std::min(unit, end - from)});
    }
    return ranges;
}

}  // namespace

unsigned countingThreads(unsigned requested) {
    if (requested > 0) return requested;
    return std::min(usableCpus(), kMostDefaultThreads);
}

std::optional<PieceTable> countPieces(const std::vector<std::string_view>& documents,
                                      const CountSettings& settings) {
    requireSplitter(settings);
    const unsigned threads = countingThreads(settings.threads);
    const std::vector<DocumentRange> ranges = planDocuments(documents, threads);
    return countUnits(ranges, threads, settings,
                      [&](DocumentCounter& counter, ProgressMeter& meter,
                          const DocumentRange& range) {
                          for (std::size_t i = range.first; i < range.last; ++i) {
                              if (!counter.count(documents[i], meter)) return false;
                          }
                          return true;
                      });
}

std::optional<PieceTable> countFilePieces(const std::vector<std::string>& paths,
                                          FileDocuments documents,
                                          const CountSettings& settings) {
    requireSplitter(settings);
    const unsigned threads = countingThreads(settings.threads);
    const std::vector<FileRange> ranges = planFiles(paths, documents, threads);
    return countUnits(ranges, threads, settings,
                      [&](DocumentCounter& counter, ProgressMeter& meter,
                          const FileRange& range) {
                          const MappedFile file(paths[range.file]);
                          const std::string_view text = file.bytes();
                          if (documents == FileDocuments::kWholeFile) {
                              return counter.count(text, meter);
                          }
                          return countLines(text, range.begin, range.end, counter, meter);
                      });
}

std::optional<PieceTable> countFileLinePieces(const std::string& path, std::uint64_t begin,
                                              std::uint64_t end, const CountSettings& settings) {
    requireSplitter(settings);
    const unsigned threads = countingThreads(settings.threads);
    const std::size_t size = fileSize(path);
    const std::size_t last = static_cast<std::size_t>(std::min<std::uint64_t>(end, size));
    const std::size_t first = static_cast<std::size_t>(std::min<std::uint64_t>(begin, last));
    const std::vector<FileRange> ranges = planLineRange(first, last, threads);
    if (ranges.empty()) return PieceTable();
    return countUnits(ranges, threads, settings,
                      [&](DocumentCounter& counter, ProgressMeter& meter,
                          const FileRange& range) {
                          const MappedFile file(path);
                          return countLines(file.bytes(), range.begin, range.end, counter, meter);
                      });
}

}  // namespace brevix::bpe
