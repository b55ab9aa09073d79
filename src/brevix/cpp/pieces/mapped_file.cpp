#include "pieces/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "corpus/corpus_files.h"

namespace brevix::bpe {

namespace {

// Owns a descriptor opened for reading.
class ReadDescriptor {
public:
    explicit ReadDescriptor(const std::string& path) : path_(path) {
        if (path.find('\0') != std::string::npos) {
            throw std::invalid_argument("embedded null byte in a file path");
        }
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) throw data::FileError(errno, path);
    }
    ReadDescriptor(const ReadDescriptor&) = delete;
    ReadDescriptor& operator=(const ReadDescriptor&) = delete;
    ~ReadDescriptor() { ::close(fd_); }

    int get() const { return fd_; }

    // Its size; a directory or other non-regular file is refused (EISDIR for
    // a directory, EINVAL otherwise).
    std::size_t regularFileSize() const {
        struct stat st;
        if (fstat(fd_, &st) != 0) throw data::FileError(errno, path_);
        if (S_ISDIR(st.st_mode)) throw data::FileError(EISDIR, path_);
        if (!S_ISREG(st.st_mode)) throw data::FileError(EINVAL, path_);
        return static_cast<std::size_t>(st.st_size);
    }

private:
    std::string path_;
    int fd_ = -1;
};

std::size_t pageSize() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

}  // namespace

std::size_t fileSize(const std::string& path) { return ReadDescriptor(path).regularFileSize(); }

MappedFile::MappedFile(const std::string& path) {
    const ReadDescriptor file(path);
    const std::size_t size = file.regularFileSize();
    if (size == 0) return;
    void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.get(), 0);
    if (p == MAP_FAILED) throw data::FileError(errno, path);
    madvise(p, size, MADV_SEQUENTIAL);
    data_ = static_cast<const char*>(p);
    size_ = size;
}

MappedFile::~MappedFile() {
    if (data_ != nullptr) munmap(const_cast<char*>(data_), size_);
}

void MappedFile::release(std::size_t begin, std::size_t end) const {
    const std::size_t page = pageSize();
    const std::size_t first = (begin + page - 1) / page * page;
    const std::size_t last = end >= size_ ? size_ : end / page * page;
    if (data_ == nullptr || first >= last) return;
    madvise(const_cast<char*>(data_) + first, last - first, MADV_DONTNEED);
}

}  // namespace brevix::bpe
