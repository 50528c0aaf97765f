// Frames: the arrays the grab loop publishes, what keeps their pixels alive,
// and the module's own images that the native pass converts into.
#pragma once

#include "sdk_abi.hpp"

namespace zun {

// One of the module's own images: a Pylon::CPylonImage in storage of the
// module's, and where its BGR frame lies once a conversion has made one.
struct Image : sdk::Storage {
    void *pixels = nullptr;
    Py_ssize_t rows = 0, columns = 0;
};

// The images whose frames have died, kept for the next conversions: same
// size, no new buffer.  A few are kept; the rest are freed with the GIL let
// go of, by the grab threads or, while none runs, by the interpreter's
// pending call for it.
namespace images {
Image *take();               // a spare image, or a new one; no GIL
void give_back(Image *image);  // its frame has died; no call into the SDK
void trim();                 // frees the spares beyond the few kept; no GIL
void loop_started();
void loop_ended();
}  // namespace images

// True when the converted image holds one whole BGR 8-bit packed frame, whose
// place it then notes.  No GIL.
bool bgr_frame(Image &image);

// A new frame over one of the module's images, which it owns from then on
// (should making it fail, the caller keeps the image).
py::object frame_over(Image *image);

// The frame of one of the binding's converted images: an array over the
// image's own buffer where the binding lends it (GetMemoryView) and it holds
// one whole BGR frame, else the image's own array (GetArray).
py::object binding_frame(py::handle image);

// True when `frame` is an array over one of the module's images: its death
// runs none of the application's code and lets go of no GIL.
bool pooled_frame(py::handle frame);

// True when `copy` is a rows x columns x 3 array of exactly the image's pixels.
bool same_pixels(py::handle copy, const Image &image);

}  // namespace zun
