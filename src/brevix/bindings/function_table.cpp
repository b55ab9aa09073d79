// The Python-visible functions of brevix.tokenizer, in one table: name,
// parameters with their C types, body, and the site that places each in
// tracebacks and gives its qualified name. Every row binds with the
// module's own argument errors (bindAllRequired).
#include "function.h"
#include "function_bodies.h"

namespace brevix {

namespace {

// The sites of the class's methods, the corpus functions and the pickling
// stubs (whose entries show the conversion file), at their first lines.
constexpr RowSite methodAt(int line) {
    return {kTokenizerModuleName, kTokenizerClassName, line, kModuleFile};
}
constexpr RowSite functionAt(int line) { return {kTokenizerModuleName, nullptr, line, kModuleFile}; }
constexpr RowSite picklingStubAt(int line) {
    return {kTokenizerModuleName, kTokenizerClassName, line, kConversionFile};
}

}  // namespace

const FunctionRow kClassMethodRows[4] = {
    {"fit",
     {typed("vector[int]", "corpus"), typed("int", "max_vocab_size"), typed("int", "n_iter")},
     fitBody, nullptr, false, bindAllRequired, methodAt(17)},
    {"encode", {typed("string", "input_string")}, encodeBody, nullptr, false, bindAllRequired,
     methodAt(20)},
    {"encode_corpus", {typed("vector[int]", "input_corpus")}, encodeCorpusBody, nullptr, false,
     bindAllRequired, methodAt(23)},
    {"decode", {typed("vector[int]", "encoded")}, decodeBody, nullptr, false, bindAllRequired,
     methodAt(26)},
};

// The refusal itself is reported one line below each stub's first line.
const FunctionRow kPicklingRows[2] = {
    {"__reduce_cython__", {}, refusePicklingBody, nullptr, false, bindAllRequired,
     picklingStubAt(1)},
    {"__setstate_cython__", {"__pyx_state"}, refusePicklingBody, nullptr, false, bindAllRequired,
     picklingStubAt(3)},
};

const FunctionRow kCorpusFunctionRows[2] = {
    {"data_loader", {typed("string", "filepath")}, dataLoaderBody, nullptr, false,
     bindAllRequired, functionAt(30)},
    {"data_saver", {typed("vector[int]", "corpus"), typed("string", "filepath")}, dataSaverBody,
     nullptr, false, bindAllRequired, functionAt(34)},
};

}  // namespace brevix
