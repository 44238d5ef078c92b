// Byte buffers handed between Python and native code: a held view of any contiguous buffer, new
// bytes objects filled in place, and the base64 text of a buffer made without the GIL.
#pragma once

#include <cstddef>

#include "binding.hpp"

namespace kx {

// A contiguous buffer, held for as long as native code reads it.
class BufferView {
 public:
  explicit BufferView(py::handle obj);
  ~BufferView();
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  const unsigned char* data() const { return static_cast<const unsigned char*>(view_.buf); }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
};

// A new bytes object of `size` bytes, not yet filled.
py::bytes new_bytes(std::size_t size);

// base64.b64encode(buffer): the encoding runs with the GIL released, straight into the result.
py::bytes base64_encode(py::handle buffer);

}  // namespace kx
