// Function tables of brevix._internal, one per source file, each made of the
// rows of a binding table (binding_table.h) and ended by a null entry. Each
// is built on its first call, which may throw bad_alloc.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace brevix {

// Core engines side by side: straightforward and fast training, merging,
// pair statistics (internal_engines.cpp).
PyMethodDef* engineMethods();
// Reading and restoring the merge table of a tokenizer (internal_model.cpp).
PyMethodDef* modelMethods();
// Boundary helpers of brevix.tokenizer (internal_binding.cpp).
PyMethodDef* bindingMethods();
// One engine called on an existing tokenizer; core assignment (internal_calls.cpp).
PyMethodDef* callMethods();
// Training straight from bytes or a file (internal_byte_training.cpp).
PyMethodDef* byteTrainingMethods();
// Standard byte-pair encoding: special tokens, rank encoding, tiktoken ranks
// (internal_bpe.cpp).
PyMethodDef* bpeMethods();
// Counting pieces and training from piece counts (internal_pieces.cpp).
PyMethodDef* piecesMethods();
// Text splitting and its Unicode tables (internal_text.cpp).
PyMethodDef* textMethods();
// The general pattern engine's splitting (internal_regex.cpp).
PyMethodDef* regexMethods();

}  // namespace brevix
