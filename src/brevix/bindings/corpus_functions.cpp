// data_loader and data_saver: the corpus-file functions of brevix.tokenizer.
#include <string>
#include <vector>

#include "callframe.h"
#include "convert.h"
#include "corpus/corpus_files.h"
#include "function_bodies.h"

namespace brevix {

PyObject* dataLoaderBody(PyObject*, const BoundArgs& args) {
    const TracebackSite at = args.site();
    std::string path;
    if (!byteStringFromPy(args[0], path)) return failAt(at);
    std::vector<int> corpus;
    // Missing locale, read errors (OSError with the path), NUL in the path.
    if (!callCore(at, [&] { corpus = data::dataLoader(path); })) return nullptr;
    PyObject* result = corpusToList(corpus);
    return result ? result : failAt(at.below());
}

PyObject* dataSaverBody(PyObject*, const BoundArgs& args) {
    const TracebackSite at = args.site();
    std::vector<int> corpus;
    if (!corpusFromPy(args[0], corpus)) return failAt(at);
    std::string path;
    if (!byteStringFromPy(args[1], path)) return failAt(at);
    if (!callCore(at, [&] { data::dataSaver(corpus, path); })) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace brevix
