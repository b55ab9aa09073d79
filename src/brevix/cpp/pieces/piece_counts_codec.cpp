#include "pieces/piece_counts_codec.h"

#include <cstdint>

namespace brevix::bpe {

namespace {

constexpr std::string_view kMagic = "BXPC";
constexpr char kFormat = 1;
constexpr int kMostVarintBytes = 10;

// Appends `value` as an unsigned LEB128 varint.
void putVarint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7f) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

// Reads encoded data front to back; every read checks what is left.
class Reader {
public:
    explicit Reader(std::string_view data) : data_(data) {}

    // The next varint; throws for a truncated, overlong or too large one.
    std::uint64_t varint(const char* what) {
        std::uint64_t value = 0;
        for (int i = 0; i < kMostVarintBytes; ++i) {
            if (at_ >= data_.size()) fail(std::string("truncated ") + what);
            const auto byte = static_cast<std::uint8_t>(data_[at_++]);
            const std::uint64_t bits = byte & 0x7f;
            if (i == kMostVarintBytes - 1 && bits > 1) fail(std::string(what) + " past 2^64 - 1");
            value |= bits << (7 * i);
            if ((byte & 0x80) == 0) {
                if (byte == 0 && i > 0) fail(std::string("overlong varint for ") + what);
                return value;
            }
        }
        fail(std::string(what) + " past 2^64 - 1");
    }

    // The next `length` bytes; throws when fewer are left.
    std::string_view bytes(std::uint64_t length) {
        if (length > data_.size() - at_) fail("truncated piece");
        const std::string_view out = data_.substr(at_, static_cast<std::size_t>(length));
        at_ += static_cast<std::size_t>(length);
        return out;
    }

    std::size_t left() const { return data_.size() - at_; }

    [[noreturn]] static void fail(const std::string& why) {
        throw PieceCountsFormatError("bad piece counts: " + why);
    }

private:
    std::string_view data_;
    std::size_t at_ = 0;
};

}  // namespace

std::string encodePieceCounts(const PieceTable& table) {
    std::string out;
    // Each piece takes at most 20 bytes besides its own.
    out.reserve(kMagic.size() + 1 + kMostVarintBytes + table.pieceBytes() + 4 * table.size());
    out.append(kMagic);
    out.push_back(kFormat);
    putVarint(out, table.size());
    table.forEach([&out](std::string_view piece, std::uint64_t count) {
        putVarint(out, piece.size());
        out.append(piece);
        putVarint(out, count);
    });
    return out;
}

PieceTable decodePieceCounts(std::string_view data) {
    if (data.substr(0, kMagic.size()) != kMagic) Reader::fail("not brevix piece counts");
    if (data.size() == kMagic.size()) Reader::fail("truncated header");
    if (data[kMagic.size()] != kFormat) Reader::fail("unknown format version");
    Reader reader(data.substr(kMagic.size() + 1));
    const std::uint64_t pieces = reader.varint("piece number");
    // Every piece takes at least 3 bytes: a claimed number beyond that is
    // corrupt, and is refused before any memory is spent on it.
    if (pieces > reader.left() / 3) Reader::fail("more pieces claimed than the data holds");
    PieceTable table;
    for (std::uint64_t i = 0; i < pieces; ++i) {
        const std::uint64_t length = reader.varint("piece length");
        if (length == 0) Reader::fail("empty piece");
        const std::string_view piece = reader.bytes(length);
        const std::uint64_t count = reader.varint("count");
        if (count == 0) Reader::fail("zero count");
        table.add(piece, count);
    }
    if (reader.left() != 0) Reader::fail("bytes after the last piece");
    return table;
}

}  // namespace brevix::bpe
