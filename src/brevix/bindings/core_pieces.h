// brevix._core.PieceCounter (core_pieces.cpp): piece counts gathered for
// GPT-style training, read by CoreTokenizer.train_pieces.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "pieces/piece_table.h"

namespace brevix {

// Adds the PieceCounter type to the module; false with an exception set.
bool addPieceCounterType(PyObject* module);

// The counts of a PieceCounter; null with TypeError set for anything else.
// Valid while the counter lives and is not counting.
const bpe::PieceTable* pieceTableOf(PyObject* obj);

}  // namespace brevix
