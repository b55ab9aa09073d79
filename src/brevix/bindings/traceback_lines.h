// The fixed traceback entries of brevix.tokenizer that belong to no row of
// its function table (function_table.cpp, whose rows carry their own lines):
// module initialisation, the class's slots and the boundary conversions. The
// lines are part of what callers see (tests and logs match on them), so they
// are named here, once, and nowhere else as bare numbers.
#pragma once

namespace brevix {

// The module's qualified name and its class, as entries and qualified names
// show them.
inline constexpr const char* kTokenizerModuleName = "brevix.tokenizer";
inline constexpr const char* kTokenizerClassName = "PyBytePairTokenizer";

// File names shown in traceback entries: the module's own functions, and the
// boundary conversions and pickling stubs.
inline constexpr const char* kModuleFile = "src/brevix/bindings/tokenizer";
inline constexpr const char* kConversionFile = "<stringsource>";

// One traceback entry: the function it names ("module.owner.function", the
// parts that are not null joined by dots), its line and its file.
struct TracebackSite {
    const char* module;
    const char* owner;
    const char* function;
    int line;
    const char* file;

    // The same function one line further on (building a result, say).
    constexpr TracebackSite below() const { return {module, owner, function, line + 1, file}; }
};

namespace site {

// An entry that names a boundary conversion by its full name.
constexpr TracebackSite conversion(const char* function, int line) {
    return {nullptr, nullptr, function, line, kConversionFile};
}

// Module initialisation: every step after the create step.
inline constexpr TracebackSite kInit{nullptr, nullptr, "init brevix.tokenizer", 2, kModuleFile};

// The slots of the class PyBytePairTokenizer.
inline constexpr TracebackSite kTokenizerInit{kTokenizerModuleName, kTokenizerClassName,
                                              "__init__", 11, kModuleFile};
inline constexpr TracebackSite kSizeGetter{kTokenizerModuleName, kTokenizerClassName,
                                           "size.__get__", 15, kModuleFile};

// The conversions: any iterable to a corpus (the object or its iterator
// failed; an item or the append failed), a corpus to a list (too long, the
// list, an item), text to a byte string (not bytes; building the string),
// and a byte string to bytes.
inline constexpr const char* kCorpusFromPyName = "vector.from_py.__pyx_convert_vector_from_py_int";
inline constexpr TracebackSite kCorpusIteration = conversion(kCorpusFromPyName, 47);
inline constexpr TracebackSite kCorpusItem = conversion(kCorpusFromPyName, 48);
inline constexpr const char* kCorpusToPyName = "vector.to_py.__pyx_convert_vector_to_py_int";
inline constexpr TracebackSite kCorpusTooLong = conversion(kCorpusToPyName, 68);
inline constexpr TracebackSite kCorpusList = conversion(kCorpusToPyName, 71);
inline constexpr TracebackSite kCorpusListItem = conversion(kCorpusToPyName, 77);
inline constexpr const char* kTextFromPyName =
    "string.from_py.__pyx_convert_string_from_py_6libcpp_6string_std__in_string";
inline constexpr TracebackSite kTextNotBytes = conversion(kTextFromPyName, 15);
inline constexpr TracebackSite kTextCopy = conversion(kTextFromPyName, 16);
inline constexpr TracebackSite kBytesToPy = conversion(
    "string.to_py.__pyx_convert_PyBytes_string_to_py_6libcpp_6string_std__in_string", 50);

}  // namespace site

}  // namespace brevix
