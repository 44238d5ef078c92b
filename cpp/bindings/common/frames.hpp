// Shared helpers of the drawing modules: the frame check and the native blend of a Pillow RGBA
// overlay over a frame.
#pragma once

#include <pybind11/numpy.h>

#include "binding.hpp"

namespace kx {

// Frames of the drawing modules: NumPy arrays of 8-bit values, height x width x 3, in
// blue-green-red order, and the Pillow RGBA overlays drawn over them.

// Returns `img` as an array when it is a frame; otherwise raises TypeError (not a NumPy array,
// or values other than 8-bit) or ValueError (another shape, or no pixels), naming the parameter
// `name`. Any strides are accepted.
py::array frame_arg(py::handle img, const char* name);

// A new frame: `frame` (as returned by frame_arg) with `overlay`, a Pillow image of mode "RGBA"
// and the frame's size, blended over it by source-over compositing. The overlay's pixels are read
// in place through Pillow's Arrow C data export; an overlay Pillow keeps in several memory blocks
// (large frames) is read in bands of rows of its non-transparent bounds, each copied out once.
// The pixel work runs without the GIL; the frame is only read.
py::array blend_overlay(const py::array& frame, py::handle overlay);

}  // namespace kx
