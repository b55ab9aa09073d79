#include "corpus/corpus_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <locale>
#include <memory>
#include <stdexcept>

namespace data {

FileError::FileError(int errnoValue, const std::string& path)
    : std::ios_base::failure(std::string(std::strerror(errnoValue)) + ": '" + path + "'",
                             std::error_code(errnoValue, std::generic_category())),
      errno_(errnoValue),
      path_(path) {}

namespace {

constexpr std::size_t kBlockSize = 1 << 20;

// Owns a file descriptor; close errors are the caller's to check via close().
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    // Closes now and reports the errno of a failed close (0 on success).
    int close() {
        int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0 ? 0 : errno;
    }

private:
    int fd_;
};

void refuseEmbeddedNul(const std::string& filepath) {
    if (filepath.find('\0') != std::string::npos) {
        throw std::invalid_argument("embedded null byte");
    }
}

// Every call needs the en_US.UTF-8 locale to exist (std::runtime_error
// otherwise) but leaves the process's locale alone: switching it would race
// with other threads formatting text while the interpreter lock is
// released. The reading and writing below depend on no locale.
void requireLocale() { const std::locale needed("en_US.UTF-8"); }

// Ids a corpus may hold: lengths in the core are signed 32-bit.
constexpr std::size_t kMaxCorpusIds = 2147483647;

// Reserved ahead of reading at most: a large file may be mostly newlines
// (which are dropped), so its size is no promise of a large corpus, and a
// reservation of its full size in ids would exhaust memory for nothing.
constexpr std::size_t kMaxReservation = std::size_t{1} << 24;

// The ids to reserve for a file of `bytes` bytes: computed in the widest
// type, so that a size beyond size_t (on 32-bit builds) cannot wrap.
std::size_t reservationFor(unsigned long long bytes) {
    return static_cast<std::size_t>(std::min<unsigned long long>(bytes, kMaxReservation));
}

std::overflow_error tooLong(std::size_t ids) {
    return std::overflow_error("corpus of " + std::to_string(ids) +
                               " ids or more is too long: a tokenizer takes at most " +
                               std::to_string(kMaxCorpusIds) + " ids");
}

void reportOpenFailure() { std::cout << "Error opening file" << std::endl; }

int openRetrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void writeAll(int fd, const char* data, std::size_t length, const std::string& path) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw FileError(errno, path);
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
}

}  // namespace

std::vector<int> dataLoader(std::string filepath) {
    refuseEmbeddedNul(filepath);
    requireLocale();
    FileDescriptor file(openRetrying(filepath.c_str(), O_RDONLY));
    if (!file.isOpen()) {
        reportOpenFailure();
        return {};
    }
    std::vector<int> corpus;
    struct stat info;
    if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        corpus.reserve(reservationFor(static_cast<unsigned long long>(info.st_size)));
    }
    std::unique_ptr<char[]> block(new char[kBlockSize]);
    for (;;) {
        ssize_t n = ::read(file.get(), block.get(), kBlockSize);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw FileError(errno, filepath);
        }
        if (n == 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = block[i];
            if (c != '\n') corpus.push_back(static_cast<int>(static_cast<signed char>(c)));
        }
        if (corpus.size() > kMaxCorpusIds) throw tooLong(corpus.size());
    }
    return corpus;
}

void dataSaver(std::vector<int>& corpus, std::string filepath) {
    refuseEmbeddedNul(filepath);
    requireLocale();
    FileDescriptor file(openRetrying(filepath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666));
    if (!file.isOpen()) {
        reportOpenFailure();
        return;
    }
    std::unique_ptr<char[]> buffer(new char[kBlockSize]);
    std::size_t used = 0;
    for (int id : corpus) {
        buffer[used++] = static_cast<char>(static_cast<unsigned int>(id) & 0xFFu);
        if (used == kBlockSize) {
            writeAll(file.get(), buffer.get(), used, filepath);
            used = 0;
        }
    }
    writeAll(file.get(), buffer.get(), used, filepath);
    if (int err = file.close()) throw FileError(err, filepath);
}

}  // namespace data
