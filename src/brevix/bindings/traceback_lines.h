// Every fixed traceback entry brevix.tokenizer adds: the function name shown,
// the line and the file. The lines are part of what callers see (tests and
// logs match on them), so they are named here, once, and nowhere else as
// bare numbers.
#pragma once

namespace brevix {

// File names shown in traceback entries: the module's own functions, and the
// boundary conversions and pickling stubs.
inline constexpr const char* kModuleFile = "src/brevix/bindings/tokenizer";
inline constexpr const char* kConversionFile = "<stringsource>";

// One traceback entry: function name, line and file, as the entry shows them.
struct TracebackSite {
    const char* function;
    int line;
    const char* file;

    // The same function one line further on (building a result, say).
    constexpr TracebackSite below() const { return {function, line + 1, file}; }
};

namespace site {

// Module initialisation: every step after the create step.
inline constexpr TracebackSite kInit{"init brevix.tokenizer", 2, kModuleFile};

// The class PyBytePairTokenizer.
inline constexpr TracebackSite kTokenizerInit{"brevix.tokenizer.PyBytePairTokenizer.__init__", 11,
                                              kModuleFile};
inline constexpr TracebackSite kSizeGetter{"brevix.tokenizer.PyBytePairTokenizer.size.__get__", 15,
                                           kModuleFile};

// The working methods: binding, argument conversion and the core call are
// reported at the method's first line, building the result one below.
inline constexpr TracebackSite kFit{"brevix.tokenizer.PyBytePairTokenizer.fit", 17, kModuleFile};
inline constexpr TracebackSite kEncode{"brevix.tokenizer.PyBytePairTokenizer.encode", 20,
                                       kModuleFile};
inline constexpr TracebackSite kEncodeCorpus{"brevix.tokenizer.PyBytePairTokenizer.encode_corpus",
                                             23, kModuleFile};
inline constexpr TracebackSite kDecode{"brevix.tokenizer.PyBytePairTokenizer.decode", 26,
                                       kModuleFile};

// The corpus-file functions.
inline constexpr TracebackSite kDataLoader{"brevix.tokenizer.data_loader", 30, kModuleFile};
inline constexpr TracebackSite kDataSaver{"brevix.tokenizer.data_saver", 34, kModuleFile};

// The pickling stubs: the code object's first line, binding the state
// argument, and the refusal itself.
inline constexpr const char* kReduceName =
    "brevix.tokenizer.PyBytePairTokenizer.__reduce_cython__";
inline constexpr const char* kSetstateName =
    "brevix.tokenizer.PyBytePairTokenizer.__setstate_cython__";
inline constexpr TracebackSite kReduceFirst{kReduceName, 1, kConversionFile};
inline constexpr TracebackSite kReduceRefusal{kReduceName, 2, kConversionFile};
inline constexpr TracebackSite kSetstateBinding{kSetstateName, 3, kConversionFile};
inline constexpr TracebackSite kSetstateRefusal{kSetstateName, 4, kConversionFile};

// The conversions: any iterable to a corpus (the object or its iterator
// failed; an item or the append failed), a corpus to a list (too long, the
// list, an item), text to a byte string (not bytes; building the string),
// and a byte string to bytes.
inline constexpr const char* kCorpusFromPyName = "vector.from_py.__pyx_convert_vector_from_py_int";
inline constexpr TracebackSite kCorpusIteration{kCorpusFromPyName, 47, kConversionFile};
inline constexpr TracebackSite kCorpusItem{kCorpusFromPyName, 48, kConversionFile};
inline constexpr const char* kCorpusToPyName = "vector.to_py.__pyx_convert_vector_to_py_int";
inline constexpr TracebackSite kCorpusTooLong{kCorpusToPyName, 68, kConversionFile};
inline constexpr TracebackSite kCorpusList{kCorpusToPyName, 71, kConversionFile};
inline constexpr TracebackSite kCorpusListItem{kCorpusToPyName, 77, kConversionFile};
inline constexpr const char* kTextFromPyName =
    "string.from_py.__pyx_convert_string_from_py_6libcpp_6string_std__in_string";
inline constexpr TracebackSite kTextNotBytes{kTextFromPyName, 15, kConversionFile};
inline constexpr TracebackSite kTextCopy{kTextFromPyName, 16, kConversionFile};
inline constexpr TracebackSite kBytesToPy{
    "string.to_py.__pyx_convert_PyBytes_string_to_py_6libcpp_6string_std__in_string", 50,
    kConversionFile};

}  // namespace site

}  // namespace brevix
