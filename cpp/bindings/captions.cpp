// kestrix_sdk.visualize.captions (not built yet: placeholder so the package loads).
#include "binding.hpp"

PYBIND11_MODULE(captions, m) { m.doc() = "kestrix_sdk.visualize.captions"; }
