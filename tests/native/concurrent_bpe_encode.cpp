// Several threads encode, count and decode through one brevix::bpe
// TextEncoder at once: built by scripts/tsan.sh under ThreadSanitizer, which
// reports any data race in the encoder, its vocabulary or the merge paths.
// Each thread's results must equal those computed before the threads start,
// through another vocabulary of the same merges: the threads' own one builds
// its index for long pieces while they all wait for it.
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "encode/text_encoder.h"
#include "encode/token_decoder.h"
#include "encode/vocabulary.h"
#include "text/make_splitter.h"

using namespace brevix::bpe;

namespace {

struct VocabularyParts {
    ByteIds byteIds;
    std::vector<Merge> merges;
    SpecialTokens specials;
};

std::shared_ptr<const Vocabulary> vocabularyOf(const VocabularyParts& parts) {
    return std::make_shared<const Vocabulary>(parts.byteIds, parts.merges, parts.specials);
}

// Merges of random adjacent tokens of a random text over a few bytes.
VocabularyParts randomVocabulary(std::mt19937& rng) {
    ByteIds byteIds;
    for (int b = 0; b < 256; ++b) byteIds[b] = b;
    std::vector<std::string> text(4000);
    for (auto& t : text) t = std::string(1, static_cast<char>('a' + rng() % 5));
    std::vector<std::string> bytes(256);
    for (int b = 0; b < 256; ++b) bytes[b] = std::string(1, static_cast<char>(b));
    std::vector<Merge> merges;
    std::vector<TokenId> ids(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) ids[i] = static_cast<unsigned char>(text[i][0]);
    for (int m = 0; m < 300 && ids.size() > 1; ++m) {
        const std::size_t at = rng() % (ids.size() - 1);
        const TokenId left = ids[at], right = ids[at + 1];
        const std::string joined = bytes[left] + bytes[right];
        bool known = false;
        for (const auto& b : bytes) known = known || b == joined;
        if (known) continue;
        const auto id = static_cast<TokenId>(bytes.size());
        bytes.push_back(joined);
        merges.push_back(Merge{left, right, id});
        std::vector<TokenId> next;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (i + 1 < ids.size() && ids[i] == left && ids[i + 1] == right) {
                next.push_back(id);
                ++i;
            } else {
                next.push_back(ids[i]);
            }
        }
        ids.swap(next);
    }
    const auto special = static_cast<TokenId>(bytes.size());
    return VocabularyParts{byteIds, merges, SpecialTokens({SpecialToken{"<|s|>", special}})};
}

struct StringSink final : bytepairtokenizer::ByteSink {
    std::string bytes;
    char* reserve(std::size_t, std::size_t capacity) override {
        bytes.resize(capacity);
        return &bytes[0];
    }
};

}  // namespace

int main() {
    std::mt19937 rng(1);
    const VocabularyParts parts = randomVocabulary(rng);
    auto vocab = vocabularyOf(parts);
    const TextEncoder encoder(vocab, brevix::text::makeWholeSplitter());
    const TextEncoder before(vocabularyOf(parts), brevix::text::makeWholeSplitter());
    std::vector<std::string> inputs;
    for (int n : {1, 10, 100, 1000, 20000, 70000}) {
        std::string s;
        for (int i = 0; i < n; ++i) s += static_cast<char>('a' + rng() % 5);
        inputs.push_back(s + "<|s|>" + s.substr(0, n / 2));
    }
    std::vector<std::vector<TokenId>> expected(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) before.encode(inputs[i], before.allSpecials(), expected[i]);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int rep = 0; rep < 10; ++rep) {
                for (std::size_t i = 0; i < inputs.size(); ++i) {
                    std::vector<TokenId> ids;
                    encoder.encode(inputs[i], encoder.allSpecials(), ids);
                    StringSink sink;
                    const std::size_t n = decodeTokens(*vocab, ids.data(), ids.size(), sink);
                    if (ids != expected[i] || sink.bytes.substr(0, n) != inputs[i] ||
                        encoder.count(inputs[i], encoder.allSpecials()) != ids.size()) {
                        std::abort();
                    }
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    std::cout << "ok " << vocab->size() << "\n";
}
