#include "buffers.hpp"

#include "kestrix/base64.hpp"

namespace kx {

BufferView::BufferView(py::handle obj) {
  if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) {
    throw py::error_already_set();
  }
}

BufferView::~BufferView() { PyBuffer_Release(&view_); }

py::bytes new_bytes(std::size_t size) {
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (bytes == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::bytes>(bytes);
}

py::bytes base64_encode(py::handle buffer) {
  namespace b64 = kestrix::base64;
  BufferView src(buffer);
  py::bytes text = new_bytes(b64::encoded_size(src.size()));
  char* dst = PyBytes_AS_STRING(text.ptr());
  {
    py::gil_scoped_release nogil;
    b64::encode(src.data(), src.size(), dst);
  }
  return text;
}

}  // namespace kx
