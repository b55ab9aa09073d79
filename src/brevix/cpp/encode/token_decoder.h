// Decoding: token ids back to the bytes they stand for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "common/byte_sink.h"
#include "encode/token_types.h"
#include "encode/vocabulary.h"

namespace brevix::bpe {

// An id outside the vocabulary, at `index()` of the ids given.
class BadTokenId : public std::invalid_argument {
public:
    BadTokenId(std::size_t index, long long id, std::size_t vocabSize);
    std::size_t index() const { return index_; }
    long long id() const { return id_; }

private:
    std::size_t index_;
    long long id_;
};

// The number of bytes ids[0..count) decode to. Throws BadTokenId for the
// first id outside 0..vocab.size()-1 (special tokens are inside).
std::size_t decodedLength(const Vocabulary& vocab, const TokenId* ids, std::size_t count);

// How far decodeWhileRoom got: ids written, and the bytes they took.
struct DecodedPart {
    std::size_t ids = 0;
    std::size_t bytes = 0;
};

// Writes the bytes of ids[0..count) to `out`, which has room for `room`
// bytes, until the next id's bytes do not fit; checks each id as it goes
// (throws BadTokenId as decodedLength does). Nothing is written past the
// room, and every byte of the room may be written.
DecodedPart decodeWhileRoom(const Vocabulary& vocab, const TokenId* ids, std::size_t count, char* out,
                            std::size_t room);

// Room to ask for the bytes of `ids` ids before any is seen: 4 bytes an id
// (English takes about 3 with the large vocabularies) up to 1 GiB, never
// less than a byte an id, plus TokenArena::kPadding; at most PTRDIFF_MAX.
std::size_t guessedRoom(std::size_t ids);

// What decodeChecked returns when the bytes do not fit.
inline constexpr std::size_t kDoesNotFit = SIZE_MAX;

// Writes the bytes of ids[0..count) to `out`, which has room for `room`
// bytes (decodedLength's measure, for a result object of exactly that
// size), checking each id as it goes, so that ids that changed since they
// were measured are caught. Returns the number of bytes written, or
// kDoesNotFit (having written only inside the room) when they need more;
// throws BadTokenId as decodedLength does. Nothing is written past the room.
std::size_t decodeChecked(const Vocabulary& vocab, const TokenId* ids, std::size_t count, char* out,
                          std::size_t room);

// Writes the bytes of ids[0..count) into `sink` from its start and returns
// how many were written. Checks every id first: throws BadTokenId before
// asking the sink for room. May write up to TokenArena::kPadding bytes of
// slack past the end, inside the room it asked for.
std::size_t decodeTokens(const Vocabulary& vocab, const TokenId* ids, std::size_t count,
                         bytepairtokenizer::ByteSink& sink);

// decodeTokens() over ids read from `source` a block at a time, so that they
// are never held all at once; `expectedIds` (a hint) sizes the first room
// asked for. Returns false when the source gave up (what was written is then
// meaningless), else true with the byte count in `written`. Throws
// BadTokenId (index counted across blocks) for an id outside the vocabulary;
// what was written is then meaningless too.
bool decodeFrom(const Vocabulary& vocab, bytepairtokenizer::IdSource& source, std::size_t expectedIds,
                bytepairtokenizer::ByteSink& sink, std::size_t& written);

}  // namespace brevix::bpe
