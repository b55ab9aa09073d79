// The Python-visible functions of brevix.tokenizer, in one table: name and
// parameters, qualified name, docstring, traceback site, whether it is a
// method, the type `self` must have, and the body.
#include "function.h"
#include "function_bodies.h"
#include "tokenizer_class.h"

namespace brevix {

namespace {

const char* const kFitParameters[] = {"corpus", "max_vocab_size", "n_iter"};
const char* const kEncodeParameters[] = {"input_string"};
const char* const kEncodeCorpusParameters[] = {"input_corpus"};
const char* const kDecodeParameters[] = {"encoded"};
const char* const kLoaderParameters[] = {"filepath"};
const char* const kSaverParameters[] = {"corpus", "filepath"};

const FunctionTraits kClassMethodTraits[] = {
    {{"fit", kFitParameters, 3},
     "PyBytePairTokenizer.fit",
     "PyBytePairTokenizer.fit(self, vector[int] corpus, int max_vocab_size, int n_iter)",
     site::kFit,
     true,
     &PyBytePairTokenizerType,
     fitBody},
    {{"encode", kEncodeParameters, 1},
     "PyBytePairTokenizer.encode",
     "PyBytePairTokenizer.encode(self, string input_string)",
     site::kEncode,
     true,
     &PyBytePairTokenizerType,
     encodeBody},
    {{"encode_corpus", kEncodeCorpusParameters, 1},
     "PyBytePairTokenizer.encode_corpus",
     "PyBytePairTokenizer.encode_corpus(self, vector[int] input_corpus)",
     site::kEncodeCorpus,
     true,
     &PyBytePairTokenizerType,
     encodeCorpusBody},
    {{"decode", kDecodeParameters, 1},
     "PyBytePairTokenizer.decode",
     "PyBytePairTokenizer.decode(self, vector[int] encoded)",
     site::kDecode,
     true,
     &PyBytePairTokenizerType,
     decodeBody},
};

// The pickling stubs also live at module level, under their class-qualified
// names, and accept any `self`.
const FunctionTraits kModuleFunctionTraits[] = {
    {{"__reduce_cython__", nullptr, 0},
     "PyBytePairTokenizer.__reduce_cython__",
     "PyBytePairTokenizer.__reduce_cython__(self)",
     site::kReduceFirst,
     true,
     nullptr,
     reduceStubBody},
    {kSetstateParameterList,
     "PyBytePairTokenizer.__setstate_cython__",
     "PyBytePairTokenizer.__setstate_cython__(self, __pyx_state)",
     site::kSetstateBinding,
     true,
     nullptr,
     setstateStubBody},
    {{"data_loader", kLoaderParameters, 1},
     "data_loader",
     "data_loader(string filepath)",
     site::kDataLoader,
     false,
     nullptr,
     dataLoaderBody},
    {{"data_saver", kSaverParameters, 2},
     "data_saver",
     "data_saver(vector[int] corpus, string filepath)",
     site::kDataSaver,
     false,
     nullptr,
     dataSaverBody},
};

template <typename T, std::size_t N>
constexpr FunctionTable tableOf(const T (&traits)[N]) {
    return {traits, traits + N};
}

}  // namespace

const FunctionTable kClassMethods = tableOf(kClassMethodTraits);
const FunctionTable kModuleFunctions = tableOf(kModuleFunctionTraits);

}  // namespace brevix
