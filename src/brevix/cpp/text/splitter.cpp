#include "text/splitter.h"

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
    // Placeholder until the scanners and the general engine land.
    throw PatternError(0, "patterns are not supported yet: " + std::string(pattern));
}

}  // namespace brevix::text
