// data_loader and data_saver: the corpus-file functions of brevix.tokenizer.
#pragma once

#include "function.h"

namespace brevix {

extern const FunctionTraits kDataLoaderTraits;
extern const FunctionTraits kDataSaverTraits;

}  // namespace brevix
