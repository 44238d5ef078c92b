// kestrix_sdk.redis.vault (not built yet: placeholder so the package loads).
#include "binding.hpp"

PYBIND11_MODULE(vault, m) { m.doc() = "kestrix_sdk.redis.vault"; }
