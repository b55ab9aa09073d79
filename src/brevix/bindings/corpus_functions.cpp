// data_loader and data_saver: the corpus-file functions of brevix.tokenizer.
#include <string>
#include <vector>

#include "callframe.h"
#include "convert.h"
#include "corpus/corpus_files.h"
#include "function_bodies.h"

namespace brevix {

PyObject* dataLoaderBody(PyObject*, PyObject* const* args) {
    std::string path;
    if (!byteStringFromPyShim(args[0], path)) return failAt(site::kDataLoader);
    std::vector<int> corpus;
    // Missing locale, read errors (OSError with the path), NUL in the path.
    if (!callCore(site::kDataLoader, [&] { corpus = data::dataLoader(path); })) return nullptr;
    PyObject* result = corpusToListShim(corpus);
    return result ? result : failAt(site::kDataLoader.below());
}

PyObject* dataSaverBody(PyObject*, PyObject* const* args) {
    std::vector<int> corpus;
    if (!corpusFromPyShim(args[0], corpus)) return failAt(site::kDataSaver);
    std::string path;
    if (!byteStringFromPyShim(args[1], path)) return failAt(site::kDataSaver);
    if (!callCore(site::kDataSaver, [&] { data::dataSaver(corpus, path); })) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace brevix
