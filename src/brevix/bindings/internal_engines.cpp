#include "internal.h"

PyMethodDef brevix_engine_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};
