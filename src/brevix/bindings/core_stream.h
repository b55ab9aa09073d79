// brevix._core.StreamDecoder (core_stream.cpp): text from ids that arrive one
// or a few at a time, as a model generates them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace brevix {

// Adds the StreamDecoder type to the module; false with an exception set.
bool addStreamDecoderType(PyObject* module);

}  // namespace brevix
