// Merge tables to and from Python: a list of
// (left, right, id) tuples in id order. A merge table is fully described by
// its merges in id order (encoding looks pairs up by key, training recounts
// its statistics from scratch), so restoring the merges in id order gives a
// tokenizer that behaves exactly like the one they were read from.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <vector>

#include "binding_table.h"
#include "encode/token_types.h"
#include "exact/tokenizer.h"

namespace brevix {

// One merge as (left, right, id).
using MergeTriple = std::array<int, 3>;

// New list of (left, right, id) tuples, or nullptr with an exception set.
PyObject* mergesToList(const std::vector<MergeTriple>& merges);
PyObject* mergesToList(const std::vector<bpe::Merge>& merges);

// Reads any sequence of (left, right, id) sequences of ints, in order:
// TypeError for anything that is not a sequence of ints, ValueError for a
// merge without exactly three fields or a field outside the signed 32-bit
// range. Checks nothing about the ids (see mergesFromPy below for a core
// tokenizer). Returns false with an exception set.
bool mergesFromPy(PyObject* merges, std::vector<MergeTriple>& out);

// New list of (left, right, id) in id order, or nullptr with an exception set
// (RuntimeError when the table has a gap, which means damaged state).
PyObject* mergesToList(const bytepairtokenizer::BytePairTokenizer& tokenizer);

// Reads any sequence of (left, right, id) sequences of ints into `fresh`,
// which must be untrained. The ids must run 256, 257, ... and no pair may
// repeat (ValueError, as for a field outside the signed 32-bit range);
// TypeError for anything that is not a sequence of ints. Returns false with
// an exception set; `fresh` is then in an unspecified state.
bool mergesFromPy(PyObject* merges, bytepairtokenizer::BytePairTokenizer& fresh);

// Gives `target` the merge table of `fresh` (whose table it takes in
// exchange). Cannot fail, so a tokenizer is either fully replaced or left
// exactly as it was.
void replaceMerges(bytepairtokenizer::BytePairTokenizer& target,
                   bytepairtokenizer::BytePairTokenizer& fresh) noexcept;

// Module functions of every module that reads or restores the table of a
// brevix.tokenizer.PyBytePairTokenizer (TypeError for anything else):
//   merges(tok) -> list of (left, right, id) in id order
//   set_merges(tok, merges) -> None; the table is replaced whole (its index
//   with it), or left as it was with ValueError/TypeError.
// Both are bodies of a binding table row (binding_table.h): (tok) and
// (tok, merges).
PyObject* lowLevelMerges(PyObject* module, const BoundArgs& args);
PyObject* setLowLevelMerges(PyObject* module, const BoundArgs& args);

}  // namespace brevix
