// Piece counts as a compact, self-checking byte string, so that counts
// gathered in different processes can travel and be added up exactly.
//
// Layout: the magic "BXPC", a format byte (1), a varint number of pieces,
// then per piece a varint length (at least 1), its bytes and a varint count
// (at least 1). Varints are unsigned LEB128 of at most 10 bytes holding at
// most 2^64 - 1, in their shortest form. Nothing may follow the last piece.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "pieces/piece_table.h"

namespace brevix::bpe {

// Malformed encoded piece counts (truncated, corrupt, not piece counts).
class PieceCountsFormatError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Every piece of `table` with its count, in the layout above (pieces in the
// table's order). Throws std::bad_alloc when memory runs out.
std::string encodePieceCounts(const PieceTable& table);

// The counts `data` encodes, in a table of their own (a piece encoded twice
// has the sum of its counts). Throws PieceCountsFormatError for malformed
// data, std::overflow_error when a piece's counts add past 2^64 - 1 and
// std::bad_alloc when memory runs out.
PieceTable decodePieceCounts(std::string_view data);

}  // namespace brevix::bpe
