// Reading and restoring the merge table of a PyBytePairTokenizer, for
// brevix.model (saving and loading models).
//
//   get_merges(tok) -> list[tuple[int, int, int]]   (left, right, id), id order
//   set_merges(tok, merges) -> None                  replaces the core state
#include "binding_table.h"
#include "internal.h"
#include "merge_table.h"

namespace brevix {

namespace {

const FunctionRow kRows[] = {
    {"get_merges", {"tok"}, lowLevelMerges, "-> list of (left, right, id) in id order"},
    {"set_merges", {"tok", "merges"}, setLowLevelMerges,
     "Replace tok's merge table by exactly these merges\n"
     "(ids consecutive from 256); ValueError leaves tok unchanged."},
};

}  // namespace

PyMethodDef* modelMethods() { return methodTable<kRows>(TableKind::ModuleFunctions); }

}  // namespace brevix
