// Module ostrel.analyzer: streaming spectrum analyzer.
#define OX_MODULE_RELEASES_GIL 1
#define OX_MODULE_HAS_TELEMETRY 1
#include "frame.h"

namespace {
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "analyzer",
    "Streaming spectrum analyzer: a down-converter and a Welch PSD in one object.",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};
}  // namespace

PyMODINIT_FUNC PyInit_analyzer(void) { return ox::py::init_module(&module_def, {}); }
