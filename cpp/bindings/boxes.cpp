// kestrix_sdk.visualize.boxes (not built yet: placeholder so the package loads).
#include "binding.hpp"

PYBIND11_MODULE(boxes, m) { m.doc() = "kestrix_sdk.visualize.boxes"; }
