// Method tables of brevix._internal, one per source file, each ended by a
// {nullptr} entry.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Core engines side by side: straightforward and fast training, merging,
// pair statistics (internal_engines.cpp).
extern PyMethodDef brevix_engine_methods[];
// Reading and restoring the merge table of a tokenizer (internal_model.cpp).
extern PyMethodDef brevix_model_methods[];
// Boundary helpers of brevix.tokenizer (internal_binding.cpp).
extern PyMethodDef brevix_binding_methods[];
// One engine called on an existing tokenizer; core assignment (internal_calls.cpp).
extern PyMethodDef brevix_call_methods[];
// Training straight from bytes or a file (internal_byte_training.cpp).
extern PyMethodDef brevix_byte_training_methods[];
// Standard byte-pair encoding: special tokens, rank encoding, tiktoken ranks
// (internal_bpe.cpp).
extern PyMethodDef brevix_bpe_methods[];
// Counting pieces and training from piece counts (internal_pieces.cpp).
extern PyMethodDef brevix_pieces_methods[];
// Text splitting and its Unicode tables (internal_text.cpp).
extern PyMethodDef brevix_text_methods[];
// The general pattern engine's splitting (internal_regex.cpp).
extern PyMethodDef brevix_regex_methods[];
