// Where decoded bytes go and where ids come from, for decoders that write
// straight into storage their caller owns (a Python bytes object, a
// string) without the core knowing what it is.
#pragma once

#include <cstddef>

namespace bytepairtokenizer {

// Storage a decoder writes decoded bytes into. The decoder asks for room
// before writing and never writes past it; an implementation may move its
// storage to grow. Bytes past what the decoder reports written are slack
// the owner trims.
class ByteSink {
public:
    // Room for at least `capacity` bytes, keeping the first `used` bytes
    // already written. Returns the (possibly moved) start. May throw.
    virtual char* reserve(std::size_t used, std::size_t capacity) = 0;

protected:
    ~ByteSink() = default;
};

// Ids handed over a block at a time, for decoding while they are read.
class IdSource {
public:
    // Fills up to `capacity` ids into `block` and returns how many: 0 at the
    // end, or kGaveUp when the source cannot go on (the caller then decodes
    // by other means, so nothing it has done may be observable).
    virtual std::size_t next(int* block, std::size_t capacity) = 0;
    static constexpr std::size_t kGaveUp = static_cast<std::size_t>(-1);

protected:
    ~IdSource() = default;
};

}  // namespace bytepairtokenizer
