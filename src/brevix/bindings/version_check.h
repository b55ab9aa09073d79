// The import-time check that the running interpreter is the 3.11 the module
// was built for. Header-only so brevix._internal can exercise the warning.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace brevix {

// Warns (RuntimeWarning) when `major`.`minor` differs from the build's
// version; the micro version and release level are not compared. Returns
// false only if the warning machinery turned the warning into an error.
inline bool warnOnVersionMismatch(int major, int minor) {
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, "brevix.tokenizer",
                            "does not match", major, minor) == 0;
}

// The running interpreter's version, from Py_Version (3.11+: hex-encoded).
inline bool warnIfRuntimeVersionDiffers() {
    return warnOnVersionMismatch(static_cast<int>((Py_Version >> 24) & 0xFF),
                                 static_cast<int>((Py_Version >> 16) & 0xFF));
}

}  // namespace brevix
