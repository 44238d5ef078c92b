// kestrix_sdk.mqtt.courier (not built yet: placeholder so the package loads).
#include "binding.hpp"

PYBIND11_MODULE(courier, m) { m.doc() = "kestrix_sdk.mqtt.courier"; }
