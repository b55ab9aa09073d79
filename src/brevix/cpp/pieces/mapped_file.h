// A whole file mapped read-only into memory, so that reading it never copies
// it onto the heap and the pages already read can be handed back.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brevix::bpe {

// The size in bytes of the file at `path`. Throws data::FileError (errno and
// path) when it cannot be opened or is not a regular file, and
// std::invalid_argument for a path with a NUL byte.
std::size_t fileSize(const std::string& path);

class MappedFile {
public:
    // Maps the file at `path` whole (an empty file maps to nothing). Throws
    // like fileSize(). A file truncated by someone else while mapped makes
    // reading its lost pages fault (SIGBUS), as with any mapping.
    explicit MappedFile(const std::string& path);
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    std::string_view bytes() const { return {data_, size_}; }

    // Gives back the resident pages lying wholly inside [begin, end): the
    // process stops counting them, and reading them again reloads them from
    // the file. Only an advice: nothing is reported when it fails.
    void release(std::size_t begin, std::size_t end) const;

private:
    const char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace brevix::bpe
