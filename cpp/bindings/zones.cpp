// kestrix_sdk.visualize.zones (not built yet: placeholder so the package loads).
#include "binding.hpp"

PYBIND11_MODULE(zones, m) { m.doc() = "kestrix_sdk.visualize.zones"; }
