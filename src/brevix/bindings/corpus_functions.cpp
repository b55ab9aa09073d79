#include "corpus_functions.h"

#include <string>
#include <vector>

#include "callframe.h"
#include "convert.h"
#include "core_errors.h"
#include "data.h"

namespace brevix {

namespace {

constexpr const char* kLoaderEntry = "brevix.tokenizer.data_loader";
constexpr const char* kSaverEntry = "brevix.tokenizer.data_saver";
constexpr int kLoaderLine = 30;
constexpr int kLoaderResultLine = 31;
constexpr int kSaverLine = 34;

PyObject* dataLoaderBody(PyObject*, PyObject* const* args) {
    std::string path;
    if (!byteStringFromPyShim(args[0], path)) return failAt(kLoaderEntry, kLoaderLine);
    std::vector<int> corpus;
    try {
        corpus = data::dataLoader(path);
    } catch (...) {
        // Missing locale, read errors (OSError with the path), NUL in the path.
        translateCoreException();
        return failAt(kLoaderEntry, kLoaderLine);
    }
    PyObject* result = corpusToListShim(corpus);
    return result ? result : failAt(kLoaderEntry, kLoaderResultLine);
}

PyObject* dataSaverBody(PyObject*, PyObject* const* args) {
    std::vector<int> corpus;
    if (!corpusFromPyShim(args[0], corpus)) return failAt(kSaverEntry, kSaverLine);
    std::string path;
    if (!byteStringFromPyShim(args[1], path)) return failAt(kSaverEntry, kSaverLine);
    try {
        data::dataSaver(corpus, path);
    } catch (...) {
        translateCoreException();
        return failAt(kSaverEntry, kSaverLine);
    }
    Py_RETURN_NONE;
}

const char* const kLoaderParameters[] = {"filepath"};
const char* const kSaverParameters[] = {"corpus", "filepath"};

}  // namespace

const FunctionTraits kDataLoaderTraits = {
    {"data_loader", kLoaderParameters, 1},
    "data_loader",
    "data_loader(string filepath)",
    kLoaderEntry,
    kModuleFile,
    kLoaderLine,
    false,
    nullptr,
    dataLoaderBody,
};

const FunctionTraits kDataSaverTraits = {
    {"data_saver", kSaverParameters, 2},
    "data_saver",
    "data_saver(vector[int] corpus, string filepath)",
    kSaverEntry,
    kModuleFile,
    kSaverLine,
    false,
    nullptr,
    dataSaverBody,
};

}  // namespace brevix
