#include "internal.h"

PyMethodDef brevix_model_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};
