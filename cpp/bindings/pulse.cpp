// kestrix_sdk.status.pulse (not built yet: placeholder so the package loads).
#include "binding.hpp"

PYBIND11_MODULE(pulse, m) { m.doc() = "kestrix_sdk.status.pulse"; }
