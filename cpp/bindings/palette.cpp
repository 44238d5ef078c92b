// kestrix_sdk.visualize.palette (not built yet: placeholder so the package loads).
#include "binding.hpp"

PYBIND11_MODULE(palette, m) { m.doc() = "kestrix_sdk.visualize.palette"; }
