// Where a frame's pixels come from, and what keeps them alive.
#pragma once

#include "common.hpp"

namespace zun {

// The frame of a converted image: a new rows x columns x 3 array of 8-bit
// samples that nothing else writes.  Taken, in this order of preference,
// from the SDK image's own buffer read through the SDK's C++ library (no
// copy, no call into the binding), from the binding's memory view of that
// buffer (no copy), from a copy the binding makes of it, or from the image's
// own array.  (The first of those routes is switched off with the others
// that go to the SDK's libraries: native_sdk.hpp.)
py::object frame_of(py::handle image);

// True when `bytes` is exactly rows x columns x 3, all of them positive.
inline bool whole_frame(Py_ssize_t rows, Py_ssize_t columns, Py_ssize_t bytes) {
    return rows > 0 && columns > 0 && columns <= PY_SSIZE_T_MAX / 3 / rows && bytes == rows * columns * 3;
}

// True when `copy` is a rows x columns x 3 array of exactly these pixels.
bool same_pixels(py::handle copy, const void *pixels, Py_ssize_t rows, Py_ssize_t columns);

namespace native {
struct PooledImage;
}
// A frame over the pixels of one of the module's own images, which goes back
// to the module's pool once the frame and every view of it are gone.
py::object frame_over(native::PooledImage *image, void *pixels, Py_ssize_t rows, Py_ssize_t columns);

}  // namespace zun
