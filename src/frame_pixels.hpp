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

}  // namespace zun
