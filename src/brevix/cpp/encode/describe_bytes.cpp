#include "encode/describe_bytes.h"

namespace brevix::bpe {

namespace {

void appendEscaped(std::string& out, unsigned char c) {
    static const char hex[] = "0123456789abcdef";
    switch (c) {
        case '\\': out += "\\\\"; return;
        case '\'': out += "\\'"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        default: break;
    }
    if (c >= 0x20 && c < 0x7f) {
        out += static_cast<char>(c);
    } else {
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 15];
    }
}

}  // namespace

std::string describeBytes(std::string_view bytes, std::size_t maxBytes) {
    std::string out = "b'";
    const std::size_t shown = bytes.size() < maxBytes ? bytes.size() : maxBytes;
    for (std::size_t i = 0; i < shown; ++i) appendEscaped(out, static_cast<unsigned char>(bytes[i]));
    out += '\'';
    if (shown < bytes.size()) out += "...";
    return out;
}

}  // namespace brevix::bpe
