// Corpus files: any bytes; reading drops newline bytes and makes every other
// byte its signed base token, writing makes each id one byte (its low 8 bits).
#pragma once

#include <ios>
#include <string>
#include <system_error>
#include <vector>

namespace data {

// A read, write or close that failed after the file was opened. Carries the
// errno and the path so callers can report both.
class FileError : public std::ios_base::failure {
public:
    FileError(int errnoValue, const std::string& path);
    int errnoValue() const noexcept { return errno_; }
    const std::string& path() const noexcept { return path_; }

private:
    int errno_;
    std::string path_;
};

// Checks that the "en_US.UTF-8" locale exists (std::runtime_error when the
// platform lacks it; the process's locale is not changed), then reads the
// file. A file that cannot be opened
// prints "Error opening file" and gives an empty corpus. A path with a NUL
// byte is refused with std::invalid_argument before anything happens.
std::vector<int> dataLoader(std::string filepath);

// Checks the locale like dataLoader, then creates or empties the file and
// writes one byte per id. Unopenable file: the message, nothing written.
// Write or close failures throw FileError.
void dataSaver(std::vector<int>& corpus, std::string filepath);

}  // namespace data
