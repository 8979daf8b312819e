// Module ostrel.spectral: FFTs, Welch PSD, windows and spectral helpers, correlators.
#define OX_MODULE_RELEASES_GIL 0
#include "frame.h"

namespace {
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "spectral",
    "FFTs (1-D and 2-D), Welch PSD with calibrated measurements, windows and spectral helpers, "
    "FFT correlators and correlation detectors.",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};
}  // namespace

PyMODINIT_FUNC PyInit_spectral(void) { return ox::py::init_module(&module_def, {}); }
