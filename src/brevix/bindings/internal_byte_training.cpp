// brevix._internal hook for training straight from bytes:
//
//   train_bytes(tok, source, max_vocab_size, n_iter, interrupt_after=-1) -> bytes
//
// `source` is a bytes-like object or a file path (str or os.PathLike); a file
// is memory-mapped, so no copy of it exists in the process. Trains `tok` in
// place and returns the training output. Pending signals stop the training
// (their exception is raised, the merges learned so far stay), as does the
// (interrupt_after + 1)-th poll when interrupt_after >= 0.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <sstream>
#include <string>

#include "exact/byte_training.h"
#include "core_errors.h"
#include "binding_table.h"
#include "internal.h"
#include "pyref.h"
#include "pytokenizer.h"

namespace brevix {

namespace {

using brevix::PyRef;

// A read-only private mapping of a whole file; empty files map to nothing.
class MappedFile {
public:
    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() {
        if (data_ != nullptr) munmap(data_, size_);
    }

    // False with errno set when the file cannot be opened or mapped.
    bool open(const char* path) {
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        struct stat st;
        bool ok = fstat(fd, &st) == 0;
        if (ok && st.st_size > 0) {
            size_ = static_cast<std::size_t>(st.st_size);
            void* p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
            ok = p != MAP_FAILED;
            if (ok) {
                data_ = p;
                madvise(data_, size_, MADV_SEQUENTIAL);
            }
        }
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return ok;
    }
    const unsigned char* data() const { return static_cast<const unsigned char*>(data_); }
    std::size_t size() const { return data_ != nullptr ? size_ : 0; }

private:
    void* data_ = nullptr;
    std::size_t size_ = 0;
};

// Polls pending signals, or stops at the (polls + 1)-th poll when polls >= 0.
std::function<bool()> interruptPoll(int polls) {
    if (polls < 0) return [] { return PyErr_CheckSignals() != 0; };
    return [seen = 0, polls]() mutable { return seen++ >= polls; };
}

PyObject* trainOn(PyBytePairTokenizerObject* tok, const unsigned char* data, std::size_t size,
                  int maxVocabSize, int nIter, int interruptAfter) {
    std::ostringstream out;
    brevix::FittingMark fitting(tok);
    try {
        bytepairtokenizer::fitOnBytes(tok->c_bpt, data, size, maxVocabSize, nIter, out,
                                      interruptPoll(interruptAfter));
    } catch (...) {
        brevix::translateCoreException();
        return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;  // a signal handler's exception
    const std::string text = out.str();
    return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* trainBytes(PyObject*, const BoundArgs& args) {
    const int maxVocabSize = args.int32(2);
    const int nIter = args.int32(3);
    const int interruptAfter = args.int32Or(4, -1);
    PyBytePairTokenizerObject* tok = brevix::asLowLevelTokenizer(args[0]);
    if (tok == nullptr) return nullptr;
    PyObject* source = args[1];
    if (PyObject_CheckBuffer(source)) {
        Py_buffer view;
        if (PyObject_GetBuffer(source, &view, PyBUF_SIMPLE) != 0) return nullptr;
        PyObject* result = trainOn(tok, static_cast<const unsigned char*>(view.buf),
                                   static_cast<std::size_t>(view.len), maxVocabSize, nIter,
                                   interruptAfter);
        PyBuffer_Release(&view);
        return result;
    }
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(source, &encoded)) return nullptr;
    PyRef path(encoded);
    MappedFile file;
    if (!file.open(PyBytes_AS_STRING(path.get()))) {
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, source);
    }
    return trainOn(tok, file.data(), file.size(), maxVocabSize, nIter, interruptAfter);
}

}  // namespace

namespace {

const FunctionRow kRows[] = {
    {"train_bytes", {"tok", "source", "max_vocab_size", "n_iter", optional("interrupt_after", "-1")}, trainBytes,
     "-> output\nTrains tok on the bytes of a bytes-like object or of a file (memory-mapped)."},
};

}  // namespace

PyMethodDef* byteTrainingMethods() {
    return methodTable<kRows>(TableKind::ModuleFunctions);
}

}  // namespace brevix
