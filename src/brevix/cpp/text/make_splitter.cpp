#include "text/make_splitter.h"

#include "text/regex_splitter.h"
#include "text/scanners.h"

namespace brevix::text {

namespace {

class WholeSplitter final : public Splitter {
public:
    std::size_t split(std::string_view text, std::size_t from, std::vector<std::size_t>& ends,
                      std::size_t limit) const override {
        if (from < text.size() && ends.size() < limit) {
            ends.push_back(text.size());
            return text.size();
        }
        return from;
    }
};

}  // namespace

std::unique_ptr<Splitter> makeWholeSplitter() { return std::make_unique<WholeSplitter>(); }

std::unique_ptr<Splitter> makeSplitter(std::string_view pattern) {
    if (pattern == kGpt2Pattern) return makeGpt2Scanner();
    if (pattern == kCl100kPattern) return makeCl100kScanner();
    if (pattern == kO200kPattern) return makeO200kScanner();
    return makeRegexSplitter(pattern);
}

}  // namespace brevix::text
