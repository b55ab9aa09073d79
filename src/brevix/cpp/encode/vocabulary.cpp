#include "encode/vocabulary.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "encode/describe_bytes.h"
#include "encode/rank_merge.h"

namespace brevix::bpe {

namespace {

// Token bytes stay addressable by 32-bit offsets, with the arena's padding.
constexpr std::uint64_t kMaxTotalBytes = UINT32_MAX - TokenArena::kPadding;

std::string hexByte(std::size_t byte) {
    static const char hex[] = "0123456789abcdef";
    return std::string("0x") + hex[byte >> 4] + hex[byte & 15];
}

std::string describeByte(std::size_t byte) { return "byte " + hexByte(byte); }

std::string describeMerge(const Merge& m) {
    return "merge (" + std::to_string(m.left) + ", " + std::to_string(m.right) + " -> " +
           std::to_string(m.id) + ")";
}

std::string describeSpecial(std::size_t index, const SpecialToken& token) {
    return "special token " + std::to_string(index) + " (" + describeBytes(token.bytes) + ", id " +
           std::to_string(token.id) + ")";
}

[[noreturn]] void refuse(const std::string& entry, const std::string& problem) {
    throw std::invalid_argument(entry + ": " + problem);
}

}  // namespace

Vocabulary::Vocabulary(const ByteIds& byteIds, std::vector<Merge> merges, SpecialTokens specials)
    : byteIds_(byteIds), merges_(std::move(merges)), specials_(std::move(specials)) {
    checkIds(merges_);
    std::stable_sort(merges_.begin(), merges_.end(),
                     [](const Merge& a, const Merge& b) { return a.id < b.id; });
    for (std::size_t i = 0; i < merges_.size(); ++i) {
        entry_[static_cast<std::size_t>(merges_[i].id)] = static_cast<std::uint32_t>(i);
    }
    buildTokens();
    indexNormalTokens();
    std::vector<std::uint32_t> lengths(size());
    for (TokenId id = 0; static_cast<std::size_t>(id) < size(); ++id) {
        lengths[static_cast<std::size_t>(id)] = static_cast<std::uint32_t>(arena_.length(id));
    }
    pairRanks_ = PairRanks(merges_, std::move(lengths));
    markWholeTokens();
    markJoinableBytes();
}

// Every id in range and used once, checked entry by entry in the order given.
void Vocabulary::checkIds(const std::vector<Merge>& merges) {
    const std::uint64_t regular = 256ull + merges.size();
    std::uint64_t n = regular;
    for (const SpecialToken& special : specials_.tokens()) {
        if (special.id >= 0) n = std::max<std::uint64_t>(n, static_cast<std::uint64_t>(special.id) + 1);
    }
    if (n >= static_cast<std::uint64_t>(INT32_MAX)) {
        throw std::invalid_argument("a vocabulary has fewer than 2^31 - 1 ids; this one has " +
                                    std::to_string(n));
    }
    kind_.assign(n, Kind::Unused);
    entry_.assign(n, 0);
    std::vector<std::string> owner(n);  // who took each id, for the message
    const std::string range = "outside 0.." + std::to_string(regular - 1) + " (256 bytes and " +
                              std::to_string(merges.size()) + " merges)";
    auto take = [&](TokenId id, Kind kind, std::uint32_t entry, const std::string& who) {
        const std::uint64_t limit = kind == Kind::Special ? n : regular;
        if (id < 0 || static_cast<std::uint64_t>(id) >= limit) {
            refuse(who, "id " + std::to_string(id) + " is " + (kind == Kind::Special ? "negative" : range));
        }
        std::string& taken = owner[static_cast<std::size_t>(id)];
        if (!taken.empty()) refuse(who, "id " + std::to_string(id) + " is already the id of " + taken);
        taken = who;
        kind_[static_cast<std::size_t>(id)] = kind;
        entry_[static_cast<std::size_t>(id)] = entry;
    };
    for (std::size_t b = 0; b < 256; ++b) {
        take(byteIds_[b], Kind::Byte, static_cast<std::uint32_t>(b), describeByte(b));
    }
    for (const Merge& m : merges) take(m.id, Kind::Merge, 0, describeMerge(m));
    for (std::size_t i = 0; i < specials_.size(); ++i) {
        take(specials_[i].id, Kind::Special, static_cast<std::uint32_t>(i),
             describeSpecial(i, specials_[i]));
    }
}

// A merge's parts are normal tokens below it and its pair is new.
void Vocabulary::checkMerge(const Merge& m, PairRankMap& seen) const {
    for (TokenId part : {m.left, m.right}) {
        if (part < 0 || part >= m.id) {
            refuse(describeMerge(m), "part " + std::to_string(part) + " is not below the merge's id");
        }
        if (kind(part) == Kind::Special) {
            refuse(describeMerge(m), "part " + std::to_string(part) + " is a special token");
        }
    }
    const auto left = static_cast<std::uint32_t>(m.left);
    const auto right = static_cast<std::uint32_t>(m.right);
    const std::uint32_t earlier = seen.find(left, right);
    if (earlier != PairRankMap::kNone) {
        refuse(describeMerge(m), "the pair is already merged by id " + std::to_string(earlier));
    }
    seen.insertNew(left, right, static_cast<std::uint32_t>(m.id));
}

// The length of every token, in id order (a merge's parts come before it),
// checking the merges; refuses tables whose tokens pass the arena's bound
// before anything of that size is allocated.
std::vector<std::uint64_t> Vocabulary::tokenLengths() const {
    PairRankMap seen(merges_.size());
    std::vector<std::uint64_t> length(size());
    std::uint64_t total = 0;
    for (TokenId id = 0; static_cast<std::size_t>(id) < size(); ++id) {
        const std::uint32_t entry = entry_[static_cast<std::size_t>(id)];
        std::uint64_t& n = length[static_cast<std::size_t>(id)];
        switch (kind(id)) {
            case Kind::Byte:
                n = 1;
                break;
            case Kind::Merge: {
                const Merge& m = merges_[entry];
                checkMerge(m, seen);
                n = length[static_cast<std::size_t>(m.left)] + length[static_cast<std::size_t>(m.right)];
                if (total + n > kMaxTotalBytes) refuse(describeMerge(m), "the tokens' bytes pass 4 GiB in all");
                break;
            }
            case Kind::Special:
                n = specials_[entry].bytes.size();
                if (total + n > kMaxTotalBytes) {
                    refuse(describeSpecial(entry, specials_[entry]), "the tokens' bytes pass 4 GiB in all");
                }
                break;
            case Kind::Unused:
                n = 0;
                break;
        }
        total += n;
    }
    return length;
}

// The bytes of every id, in id order.
void Vocabulary::buildTokens() {
    std::uint64_t total = 0;
    for (std::uint64_t n : tokenLengths()) total += n;
    arena_.reserve(size(), static_cast<std::size_t>(total));
    for (TokenId id = 0; static_cast<std::size_t>(id) < size(); ++id) {
        const std::uint32_t entry = entry_[static_cast<std::size_t>(id)];
        switch (kind(id)) {
            case Kind::Byte: {
                const char byte = static_cast<char>(entry);
                arena_.append(std::string_view(&byte, 1));
                break;
            }
            case Kind::Merge:
                arena_.appendJoined(merges_[entry].left, merges_[entry].right);
                break;
            case Kind::Special:
                arena_.append(specials_[entry].bytes);
                break;
            case Kind::Unused:
                arena_.append(std::string_view());
                break;
        }
    }
}

// Normal tokens by bytes; byte tokens are whole from the start.
void Vocabulary::indexNormalTokens() {
    index_ = BytesIndex(256 + merges_.size());
    for (TokenId id = 0; static_cast<std::size_t>(id) < size(); ++id) {
        if (kind(id) == Kind::Special || kind(id) == Kind::Unused) continue;
        const TokenId other = index_.insert(arena_, id, kind(id) == Kind::Byte);
        if (other >= 0) {
            refuse(describeMerge(merges_[entry_[static_cast<std::size_t>(id)]]),
                   "its bytes " + describeBytes(bytes(id)) + " are those of token " + std::to_string(other));
        }
        maxTokenLength_ = std::max(maxTokenLength_, bytes(id).size());
    }
}

// A merge is whole when rank-order encoding of its bytes gives it back.
void Vocabulary::markWholeTokens() {
    std::vector<TokenId> ids;
    for (const Merge& m : merges_) {
        const std::string_view tokenBytes = bytes(m.id);
        ids.resize(tokenBytes.size());
        for (std::size_t i = 0; i < tokenBytes.size(); ++i) {
            ids[i] = byteIds_[static_cast<unsigned char>(tokenBytes[i])];
        }
        const std::size_t count = mergeByRank(pairRanks_, ids.data(), ids.size());
        if (count == 1 && ids[0] == m.id) index_.setFlag(arena_, m.id, true);
    }
}

// Every two adjacent bytes of a token meet where some merge of its making
// joins its parts: the last byte of the left part and the first of the right.
void Vocabulary::markJoinableBytes() {
    for (const Merge& m : merges_) {
        const auto a = static_cast<unsigned char>(bytes(m.left).back());
        const auto b = static_cast<unsigned char>(bytes(m.right).front());
        const std::size_t bit = static_cast<std::size_t>(a) << 8 | b;
        joinable_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    }
}

std::optional<TokenId> Vocabulary::tokenId(std::string_view tokenBytes) const {
    bool whole = false;
    const TokenId id = index_.find(arena_, tokenBytes, whole);
    if (id >= 0) return id;
    if (auto special = specials_.indexOf(tokenBytes)) return specials_[*special].id;
    return std::nullopt;
}

bool Vocabulary::isWhole(TokenId id) const {
    if (kind(id) == Kind::Special || kind(id) == Kind::Unused) return false;
    bool whole = false;
    return index_.find(arena_, bytes(id), whole) == id && whole;
}

const TokenPrefixes& Vocabulary::wholePrefixes() const {
    if (const TokenPrefixes* built = builtPrefixes_.load(std::memory_order_acquire)) return *built;
    const std::lock_guard<std::mutex> lock(prefixesLock_);
    if (!prefixes_) {
        std::vector<TokenId> whole;
        for (TokenId id = 0; static_cast<std::size_t>(id) < size(); ++id) {
            if (isWhole(id)) whole.push_back(id);
        }
        prefixes_ = std::make_unique<const TokenPrefixes>(arena_, whole);
        builtPrefixes_.store(prefixes_.get(), std::memory_order_release);
    }
    return *prefixes_;
}

}  // namespace brevix::bpe
