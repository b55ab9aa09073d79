// The standard path's small parts: merging by rank against the definition,
// checked decoding into a fixed room, piece counts through their byte
// format and back, and strict UTF-8 decoding against a decoder written from
// the code point ranges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "encode/backtrack_encode.h"
#include "encode/batch_merge.h"
#include "encode/pair_ranks.h"
#include "encode/piece_cache.h"
#include "encode/rank_merge.h"
#include "encode/rank_reference.h"
#include "encode/token_decoder.h"
#include "encode/token_prefixes.h"
#include "encode/vocabulary.h"
#include "pieces/piece_counts_codec.h"
#include "pieces/piece_table.h"
#include "text/utf8.h"

namespace bpe = brevix::bpe;
namespace text = brevix::text;

namespace {

struct Vocab {
    bpe::ByteIds byteIds;
    std::vector<bpe::Merge> merges;
    std::vector<std::uint32_t> lengths;
};

// Byte tokens 0..255 by byte value, then `merges` merges over tokens made of
// the letters a..d, each pair once; with `distinctBytes`, each token's bytes
// once too, as a Vocabulary requires.
Vocab vocabulary(unsigned seed, int merges, bool distinctBytes = false) {
    std::mt19937 rng(seed);
    Vocab v;
    std::vector<std::string> bytesOf;
    for (int b = 0; b < 256; ++b) {
        v.byteIds[static_cast<std::size_t>(b)] = b;
        v.lengths.push_back(1);
        bytesOf.emplace_back(1, static_cast<char>(b));
    }
    std::vector<bpe::TokenId> known{'a', 'b', 'c', 'd'};
    std::set<std::pair<bpe::TokenId, bpe::TokenId>> seen;
    std::set<std::string> made(bytesOf.begin(), bytesOf.end());
    while (static_cast<int>(v.merges.size()) < merges) {
        const bpe::TokenId l = known[rng() % known.size()];
        const bpe::TokenId r = known[rng() % known.size()];
        std::string joined = bytesOf[static_cast<std::size_t>(l)] + bytesOf[static_cast<std::size_t>(r)];
        if (distinctBytes && made.count(joined) != 0) continue;
        if (!seen.insert({l, r}).second) continue;
        made.insert(joined);
        bytesOf.push_back(std::move(joined));
        const auto id = static_cast<bpe::TokenId>(v.lengths.size());
        v.merges.push_back({l, r, id});
        v.lengths.push_back(v.lengths[static_cast<std::size_t>(l)] + v.lengths[static_cast<std::size_t>(r)]);
        known.push_back(id);
    }
    return v;
}

std::string piece(std::mt19937& rng, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + rng() % (i % 50 < 25 ? 2 : 4)));
    return s;
}

using MergeFunction = std::size_t (*)(const bpe::PairRanks&, bpe::TokenId*, std::size_t);

}  // namespace

class RankMerge : public ::testing::TestWithParam<std::tuple<int, std::size_t>> {};

TEST_P(RankMerge, EveryPathMatchesTheDefinition) {
    const Vocab v = vocabulary(static_cast<unsigned>(std::get<0>(GetParam())), std::get<0>(GetParam()));
    const bpe::PairRanks ranks(v.merges, v.lengths);
    std::mt19937 rng(static_cast<unsigned>(std::get<1>(GetParam())));
    for (int round = 0; round < 20; ++round) {
        const std::string p = piece(rng, std::get<1>(GetParam()) + static_cast<std::size_t>(round));
        const std::vector<bpe::TokenId> want = bpe::encodeByRankReference(v.byteIds, v.merges, p);
        for (MergeFunction merge :
             {&bpe::mergeByRank, &bpe::mergeByRankKeyed, &bpe::mergeByRankShort, &bpe::mergeByRankLong,
              &bpe::mergeByRankBatched}) {
            if (merge == &bpe::mergeByRankKeyed && p.size() > bpe::kKeyedPieceTokens) continue;
            std::vector<bpe::TokenId> ids;
            for (char c : p) ids.push_back(v.byteIds[static_cast<unsigned char>(c)]);
            const std::size_t kept = merge(ranks, ids.data(), ids.size());
            ids.resize(kept);
            ASSERT_EQ(ids, want) << "piece " << p;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(MergesAndLengths, RankMerge,
                         ::testing::Combine(::testing::Values(0, 3, 40, 400),
                                            ::testing::Values(std::size_t{0}, std::size_t{5},
                                                              bpe::kShortPieceTokens - 10, std::size_t{700},
                                                              bpe::kKeyedPieceTokens - 10)));

// The pair check answers what encoding the two tokens' bytes by the
// definition answers, for every pair of tokens that encode to themselves
// (runs of one letter, whose ties the check must break as merging does,
// are common among them).
TEST(EncodesAsPair, AgreesWithEncodingThePair) {
    for (unsigned seed : {1u, 2u, 5u, 9u}) {
        const Vocab v = vocabulary(seed, 12 + static_cast<int>(seed) * 6, true);
        const bpe::Vocabulary vocab(v.byteIds, v.merges);
        std::vector<bpe::TokenId> whole;
        for (bpe::TokenId id = 'a'; static_cast<std::size_t>(id) < vocab.size(); ++id) {
            if ((id <= 'd' || id >= 256) && vocab.isWhole(id)) whole.push_back(id);
        }
        for (bpe::TokenId left : whole) {
            for (bpe::TokenId right : whole) {
                const std::string bytes = std::string(vocab.bytes(left)) + std::string(vocab.bytes(right));
                const bool want =
                    bpe::encodeByRankReference(v.byteIds, v.merges, bytes) == std::vector<bpe::TokenId>{left, right};
                ASSERT_EQ(bpe::encodesAsPair(vocab.pairRanks(), left, right), want)
                    << "seed " << seed << ", " << left << " then " << right;
            }
        }
    }
}

// The index's longest token at every position of random text, and each
// token's longest shorter one, against looking up every length.
TEST(TokenPrefixes, AgreesWithLookingUpEveryLength) {
    const Vocab v = vocabulary(4, 300, true);
    const bpe::Vocabulary vocab(v.byteIds, v.merges);
    const bpe::TokenPrefixes& prefixes = vocab.wholePrefixes();
    const auto longestByLookups = [&](std::string_view text) {
        for (std::size_t length = std::min(text.size(), vocab.maxTokenLength()); length > 1; --length) {
            if (auto id = vocab.wholeTokenId(text.substr(0, length))) return *id;
        }
        return vocab.byteIds()[static_cast<unsigned char>(text[0])];
    };
    std::mt19937 rng(3);
    const std::string text = piece(rng, 3000) + std::string("\xff\0" "abc", 5);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t at = 0; at < text.size(); ++at) {
        const bpe::TokenId found = prefixes.longest(vocab.arena(), bytes + at, text.size() - at);
        ASSERT_EQ(found, longestByLookups(std::string_view(text).substr(at))) << "at " << at;
    }
    for (bpe::TokenId id = 0; static_cast<std::size_t>(id) < vocab.size(); ++id) {
        if (!vocab.isWhole(id)) continue;
        const std::string_view tokenBytes = vocab.bytes(id);
        const bpe::TokenId want = tokenBytes.size() == 1 ? -1 : longestByLookups(tokenBytes.substr(0, tokenBytes.size() - 1));
        ASSERT_EQ(prefixes.shorter(id), want) << "token " << id;
    }
}

// Ids are kept in 16 bits: an index of more tokens is refused, not wrong.
TEST(TokenPrefixes, RefusesIdsPastItsWidth) {
    bpe::TokenArena arena;
    std::vector<bpe::TokenId> tokens;
    for (std::size_t id = 0; id <= bpe::TokenPrefixes::kMostIds; ++id) {
        arena.append(std::string(1 + id % 3, static_cast<char>('a' + id % 26)));
        tokens.push_back(static_cast<bpe::TokenId>(id));
    }
    EXPECT_THROW(bpe::TokenPrefixes(arena, tokens), std::length_error);
    tokens.pop_back();
    EXPECT_NO_THROW(bpe::TokenPrefixes(arena, tokens));
}

// The search over long pieces of few letters (so that it often steps back)
// against the definition, for vocabularies from none to many merges.
TEST(EncodeByBacktracking, MatchesTheDefinition) {
    for (int merges : {0, 3, 40, 400}) {
        const Vocab v = vocabulary(static_cast<unsigned>(merges) + 17, merges, true);
        const bpe::Vocabulary vocab(v.byteIds, v.merges);
        std::mt19937 rng(static_cast<unsigned>(merges));
        for (std::size_t length : {std::size_t{1}, std::size_t{2}, std::size_t{37}, std::size_t{2500}}) {
            const std::string p = piece(rng, length);
            std::vector<bpe::TokenId> ids{7};  // ids already there stay
            ASSERT_TRUE(bpe::encodeByBacktracking(vocab, p, ids)) << merges << " merges, piece " << p;
            std::vector<bpe::TokenId> want{7};
            const std::vector<bpe::TokenId> encoded = bpe::encodeByRankReference(v.byteIds, v.merges, p);
            want.insert(want.end(), encoded.begin(), encoded.end());
            ASSERT_EQ(ids, want) << merges << " merges, piece " << p;
        }
    }
}

// Parts of random lengths (runs of one letter among them) put at random
// places among tokens outside any part, several batches through one merger:
// each part merges as it would alone, never with its neighbours (the pair
// across two parts is often a merge here), and lands at its place.
TEST(BatchMerger, PartsMergeAloneAndLandAtTheirPlaces) {
    const Vocab v = vocabulary(7, 60);
    const bpe::PairRanks ranks(v.merges, v.lengths);
    bpe::BatchMerger batch(ranks);
    std::mt19937 rng(11);
    for (int round = 0; round < 30; ++round) {
        std::vector<bpe::TokenId> out, want;
        const int parts = static_cast<int>(rng() % 12);
        for (int k = 0; k < parts; ++k) {
            const std::size_t outside = rng() % 4;
            for (std::size_t i = 0; i < outside; ++i) {
                const auto id = static_cast<bpe::TokenId>('a' + rng() % 4);
                out.push_back(id);
                want.push_back(id);
            }
            std::string p = rng() % 4 == 0 ? std::string(rng() % 40 + 1, 'a') : piece(rng, rng() % 300);
            std::vector<bpe::TokenId> ids(p.begin(), p.end());
            batch.addPart(ids.data(), ids.size(), out.size());
            ids.resize(bpe::mergeByRankLong(ranks, ids.data(), ids.size()));
            want.insert(want.end(), ids.begin(), ids.end());
        }
        out.push_back('d');
        want.push_back('d');
        batch.mergeInto(out);
        ASSERT_EQ(out, want) << "round " << round;
        ASSERT_EQ(batch.size(), 0u);
    }
}

TEST(BatchMerger, RefusesPlacesOutOfOrderOrPastTheEnd) {
    const Vocab v = vocabulary(3, 10);
    const bpe::PairRanks ranks(v.merges, v.lengths);
    bpe::BatchMerger batch(ranks);
    const std::vector<bpe::TokenId> ids{'a', 'b', 'a'};
    batch.addPart(ids.data(), ids.size(), 2);
    EXPECT_THROW(batch.addPart(ids.data(), ids.size(), 1), std::invalid_argument);
    std::vector<bpe::TokenId> out{'c'};
    EXPECT_THROW(batch.mergeInto(out), std::invalid_argument);
    EXPECT_EQ(out, std::vector<bpe::TokenId>{'c'});
    EXPECT_EQ(batch.size(), 0u);  // emptied, and usable again
    batch.addPart(ids.data(), ids.size(), 1);
    batch.mergeInto(out);
    std::vector<bpe::TokenId> alone = ids;
    alone.resize(bpe::mergeByRankLong(ranks, alone.data(), alone.size()));
    alone.insert(alone.begin(), 'c');
    EXPECT_EQ(out, alone);
}

// Decoding into a room of exactly the measured size, or less, or more, with
// a guard after the room: never a byte written past it.
TEST(DecodeChecked, WritesOnlyInsideItsRoom) {
    const Vocab v = vocabulary(7, 300);
    const bpe::Vocabulary vocab(v.byteIds, v.merges);
    std::mt19937 rng(9);
    for (int round = 0; round < 200; ++round) {
        std::vector<bpe::TokenId> ids(rng() % 40);
        for (auto& id : ids) id = static_cast<bpe::TokenId>(rng() % vocab.size());
        const std::size_t length = bpe::decodedLength(vocab, ids.data(), ids.size());
        std::string want;
        for (bpe::TokenId id : ids) want += vocab.bytes(id);
        for (std::size_t room : {length, length + 1, length + 40, length > 0 ? length - 1 : 0}) {
            std::string buffer(room + 64, '#');
            const std::size_t wrote = bpe::decodeChecked(vocab, ids.data(), ids.size(), buffer.data(), room);
            ASSERT_EQ(buffer.substr(room), std::string(64, '#')) << "wrote past a room of " << room;
            if (room < length) {
                ASSERT_EQ(wrote, bpe::kDoesNotFit);
            } else {
                ASSERT_EQ(wrote, length);
                ASSERT_EQ(buffer.substr(0, length), want);
            }
        }
    }
}

TEST(DecodeChecked, RefusesUnknownIdsByPosition) {
    const Vocab v = vocabulary(7, 10);
    const bpe::Vocabulary vocab(v.byteIds, v.merges);
    char out[64];
    for (bpe::TokenId bad : {-1, static_cast<bpe::TokenId>(vocab.size()), std::numeric_limits<bpe::TokenId>::max()}) {
        const std::vector<bpe::TokenId> ids{'a', 'b', bad};
        try {
            bpe::decodeChecked(vocab, ids.data(), ids.size(), out, sizeof out);
            FAIL() << "id " << bad << " was decoded";
        } catch (const bpe::BadTokenId& e) {
            EXPECT_EQ(e.index(), 2u);
            EXPECT_EQ(e.id(), bad);
        }
    }
}

TEST(PieceCounts, RoundTripThroughTheByteFormat) {
    std::mt19937 rng(4);
    bpe::PieceTable table;
    std::map<std::string, std::uint64_t> model;
    for (int i = 0; i < 3000; ++i) {
        std::string p(1 + rng() % (i % 100 == 0 ? 400 : 6), '\0');
        for (char& c : p) c = static_cast<char>(rng() % 5 == 0 ? rng() % 256 : 'a' + rng() % 3);
        const std::uint64_t count = i % 500 == 0 ? std::numeric_limits<std::uint64_t>::max() / 4 : 1 + rng() % 3;
        table.add(p, count);
        model[p] += count;
    }
    const bpe::PieceTable back = bpe::decodePieceCounts(bpe::encodePieceCounts(table));
    EXPECT_EQ(back.size(), model.size());
    for (const auto& [p, count] : model) ASSERT_EQ(back.countOf(p), count);
    EXPECT_EQ(bpe::decodePieceCounts(bpe::encodePieceCounts(bpe::PieceTable())).size(), 0u);
}

TEST(PieceCounts, EncodedTwiceAddsUp) {
    bpe::PieceTable table;
    table.add("ab", 2);
    table.add("c", 5);
    const std::string one = bpe::encodePieceCounts(table);
    // Two encodings' pieces under one header: the header's piece count is
    // the byte after "BXPC" and the format byte (small numbers take one).
    std::string both = one;
    both[5] = static_cast<char>(4);
    both += one.substr(6);
    const bpe::PieceTable sum = bpe::decodePieceCounts(both);
    EXPECT_EQ(sum.countOf("ab"), 4u);
    EXPECT_EQ(sum.countOf("c"), 10u);
    EXPECT_EQ(sum.size(), 2u);
}

TEST(PieceCounts, MalformedDataIsRefusedAsSuch) {
    bpe::PieceTable table;
    table.add("hello", 300);
    table.add("x", 1);
    const std::string good = bpe::encodePieceCounts(table);
    for (std::size_t n = 0; n < good.size(); ++n) {
        EXPECT_THROW(bpe::decodePieceCounts(good.substr(0, n)), bpe::PieceCountsFormatError) << "prefix " << n;
    }
    std::vector<std::string> bad{good + "\x01", "BXPD" + good.substr(4), good.substr(0, 4) + "\x02" + good.substr(5)};
    // A zero-length piece, a zero count, a varint not in its shortest form.
    bad.push_back(std::string("BXPC\x01\x01\x00\x01", 8));
    bad.push_back(std::string("BXPC\x01\x01\x01z\x00", 9));
    bad.push_back(std::string("BXPC\x01\x81\x00\x01z\x01", 10));
    bad.push_back(std::string("BXPC\x01\x01\x01z\xff\xff\xff\xff\xff\xff\xff\xff\xff\x7f", 18));  // past 2^64 - 1
    for (const std::string& data : bad) {
        EXPECT_THROW(bpe::decodePieceCounts(data), bpe::PieceCountsFormatError) << testing::PrintToString(data);
    }
    // Each count fits, their sum does not.
    const std::string big = "\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01";
    const std::string twice = std::string("BXPC\x01\x02", 6) + "\x01z" + big + "\x01z" + big;
    EXPECT_THROW(bpe::decodePieceCounts(twice), std::overflow_error);
}

namespace {

std::string encodeUtf8(char32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        s.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        s.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    return s;
}

// The prefix that is the encoding of a scalar value, else U+FFFD
// for the first byte.
text::Utf8Unit referenceDecode(const std::string& bytes) {
    for (std::uint32_t length = 1; length <= 4 && length <= bytes.size(); ++length) {
        const auto b0 = static_cast<unsigned char>(bytes[0]);
        char32_t cp = length == 1 ? b0 : b0 & (0x7F >> length);
        for (std::uint32_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(bytes[k]) & 0x3F);
        const bool scalar = cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        if (scalar && encodeUtf8(cp) == bytes.substr(0, length)) return {cp, length};
    }
    return {text::kReplacementCharacter, 1};
}

void expectDecodes(const std::string& bytes) {
    const text::Utf8Unit want = referenceDecode(bytes);
    const text::Utf8Unit got = text::decodeUtf8(bytes, 0);
    ASSERT_EQ(got.cp, want.cp) << testing::PrintToString(bytes);
    ASSERT_EQ(got.length, want.length) << testing::PrintToString(bytes);
}

}  // namespace

TEST(Utf8, EveryScalarValueDecodesFromItsEncoding) {
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        const std::string s = encodeUtf8(cp) + "\x80";
        const text::Utf8Unit u = text::decodeUtf8(s, 0);
        ASSERT_EQ(u.cp, cp);
        ASSERT_EQ(u.length, s.size() - 1);
        // Cut short, it is a lone invalid byte.
        if (s.size() > 2) {
            ASSERT_EQ(text::decodeUtf8(s.substr(0, s.size() - 2), 0).length, 1u);
        }
    }
}

TEST(Utf8, EveryThreeByteInputDecodesAsTheReferenceDoes) {
    std::string bytes(3, '\0');
    for (int a = 0x80; a < 0x100; ++a) {
        for (int b = 0; b < 0x100; ++b) {
            for (int c = 0; c < 0x100; c += (a >= 0xF0 ? 1 : 5)) {
                bytes[0] = static_cast<char>(a);
                bytes[1] = static_cast<char>(b);
                bytes[2] = static_cast<char>(c);
                expectDecodes(bytes);
            }
        }
    }
}

TEST(Utf8, FourByteInputsDecodeAsTheReferenceDoes) {
    std::mt19937 rng(8);
    std::string bytes(4, '\0');
    for (int i = 0; i < 300000; ++i) {
        bytes[0] = static_cast<char>(0xE0 + rng() % 0x20);
        for (int k = 1; k < 4; ++k) bytes[static_cast<std::size_t>(k)] = static_cast<char>(rng() % 4 == 0 ? rng() % 256 : 0x80 + rng() % 0x40);
        expectDecodes(bytes);
    }
}

// The piece cache never answers with another piece's ids: far more pieces
// than its slots, each kept with ids that name it and read back from
// buffers with room to read past them and without. Many share their first
// eight bytes and their size, so that some meet in a slot; others differ
// only by trailing zero bytes.
TEST(PieceCache, AnswersOnlyWithThePiecesOwnIds) {
    std::mt19937 rng(11);
    const auto randomBytes = [&](std::size_t size) {
        std::string bytes(size, '\0');
        for (char& c : bytes) c = "\0ab"[rng() % 3];
        return bytes;
    };
    std::vector<std::string> pool;
    for (int base = 0; base < 500; ++base) {
        const std::string head = randomBytes(8);
        for (std::size_t size = 9; size <= bpe::PieceCache::kLongestPiece; ++size) {
            for (int tail = 0; tail < 8; ++tail) pool.push_back(head + randomBytes(size - 8));
        }
    }
    for (int base = 0; base < 1000; ++base) {
        const std::string head = randomBytes(1 + rng() % 8);
        for (std::size_t size = head.size(); size <= bpe::PieceCache::kLongestPiece; ++size) {
            pool.push_back(head + std::string(size - head.size(), '\0'));
        }
    }
    const auto idsOf = [](const std::string& p) {
        const std::size_t h = std::hash<std::string>()(p);
        std::vector<bpe::TokenId> ids(1 + h % bpe::PieceCache::kIds);
        for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<bpe::TokenId>((h >> (8 * i)) & 0x7FFFFFFF);
        return ids;
    };
    bpe::PieceCache cache(12);
    std::size_t hits = 0;
    for (int step = 0; step < 300000; ++step) {
        const std::string& p = pool[rng() % pool.size()];
        std::string buffer = p + std::string(rng() % 2 ? 16 : 0, 'z');
        const bpe::PieceCache::Key key =
            bpe::PieceCache::keyOf(std::string_view(buffer).substr(0, p.size()), buffer.size());
        std::vector<bpe::TokenId> got{-1};
        if (cache.append(key, got)) {
            ++hits;
            got.erase(got.begin());
            ASSERT_EQ(got, idsOf(p)) << "piece of " << p.size() << " bytes";
        } else {
            const std::vector<bpe::TokenId> ids = idsOf(p);
            cache.keep(key, ids.data(), ids.size());
        }
    }
    EXPECT_GT(hits, 1000u);
}
