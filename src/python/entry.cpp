// The extension module's one exported symbol.
#include "python/module.hpp"

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_rotalink(void) {
    return rotalink::py::init_module();
}
