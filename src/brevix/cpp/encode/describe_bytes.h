// Byte strings written into error messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brevix::bpe {

// `bytes` as a Python bytes literal (b'a\n\xff'), cut after `maxBytes` bytes
// with "..." so that a message stays readable.
std::string describeBytes(std::string_view bytes, std::size_t maxBytes = 80);

}  // namespace brevix::bpe
