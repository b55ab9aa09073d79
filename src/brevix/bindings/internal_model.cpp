// Reading and restoring the merge table of a PyBytePairTokenizer, for
// brevix.model (saving and loading models).
//
//   get_merges(tok) -> list[tuple[int, int, int]]   (left, right, id), id order
//   set_merges(tok, merges) -> None                  replaces the core state
#include "internal.h"
#include "merge_table.h"
#include "method_table.h"

PyMethodDef brevix_model_methods[] = {
    {"get_merges", brevix::lowLevelMerges, METH_O, "get_merges(tok) -> list of (left, right, id) in id order"},
    {"set_merges", brevix::fastcall(brevix::setLowLevelMerges), METH_FASTCALL,
     "set_merges(tok, merges): replace tok's merge table by exactly these merges\n"
     "(ids consecutive from 256); ValueError leaves tok unchanged"},
    {nullptr, nullptr, 0, nullptr},
};
