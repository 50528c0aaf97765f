// Where a frame's pixels come from, and what keeps them alive.
//
// A frame is a new array over the converted image's own pixels wherever that
// can be had, so that no copy is made while the GIL is held.  The array's
// base is a small owner object that holds the image (or a buffer filled for
// this frame alone), so the pixels live exactly as long as the array or any
// view of it.
//
// The binding's converted image wraps the SDK's Pylon::CPylonImage.  Asking
// the binding for its pixels costs calls that each let go of the GIL and must
// win it back (and older bindings can only copy them).  The SDK's C++ library
// that the binding loaded answers the same questions (buffer, size, width,
// height, pixel type) through plain getters, which are called here with the
// GIL held and nothing released: the native route.  It is trusted only once
// it has given, for one frame, exactly the bytes of the binding's own copy of
// that image; anything it cannot vouch for sends the frames through the
// binding from then on, with one log line that says why.
#include "frame_pixels.hpp"

#include <pybind11/numpy.h>

#include "native_pass.hpp"
#include "native_sdk.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace zun {
namespace {

struct Names {
    PyObject *GetArray = intern("GetArray"), *GetMemoryView = intern("GetMemoryView"),
             *GetBuffer = intern("GetBuffer"), *GetWidth = intern("GetWidth"), *GetHeight = intern("GetHeight"),
             *this_ = intern("this");
};

const Names &names() {
    static const Names n;
    return n;
}

// The owner of one frame's pixels: it holds what keeps them alive, and is the
// base of the array made over them.  It tells the application nothing, so
// nothing reached through the array can free the pixels under it.
// It holds either a Python object that keeps the pixels alive, or one of the
// module's own images, which goes back to the pool when the owner dies.
struct FrameBuffer {
    PyObject_HEAD
    PyObject *keeper;
    native::PooledImage *image;
};

void frame_buffer_dealloc(PyObject *obj) {
    auto *owner = reinterpret_cast<FrameBuffer *>(obj);
    Py_XDECREF(owner->keeper);
    if (owner->image) native::give_back(owner->image);
    Py_TYPE(obj)->tp_free(obj);
}

PyTypeObject *frame_buffer_type() {
    static PyTypeObject *type = [] {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
        static PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
        t.tp_name = "zun_camera_basler.FrameBuffer";
        t.tp_basicsize = sizeof(FrameBuffer);
        t.tp_dealloc = frame_buffer_dealloc;
        t.tp_flags = Py_TPFLAGS_DEFAULT;
        if (PyType_Ready(&t) < 0) throw py::error_already_set();
        return &t;
    }();
    return type;
}

// A new rows x columns x 3 array of bytes over `pixels`, which stay valid
// while `keeper` (or `image`) lives.  Made through NumPy's C API: nothing is
// described to NumPy in Python objects for it to parse back, which is most of
// what an array made through an array interface costs.
py::object array_over(py::handle keeper, native::PooledImage *image, void *pixels, bool readonly, Py_ssize_t rows,
                      Py_ssize_t columns) {
    auto *owner = PyObject_New(FrameBuffer, frame_buffer_type());
    if (!owner) {
        if (image) native::give_back(image);
        throw py::error_already_set();
    }
    owner->keeper = py::reinterpret_borrow<py::object>(keeper).release().ptr();
    owner->image = image;
    py::object holder = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(owner));
    using api = py::detail::npy_api;
    const api &numpy = api::get();
    Py_intptr_t shape[] = {rows, columns, 3}, strides[] = {columns * 3, 3, 1};
    PyObject *bytes = numpy.PyArray_DescrFromType_(api::NPY_UBYTE_);  // taken by the array
    if (!bytes) throw py::error_already_set();
    int flags = readonly ? 0 : api::NPY_ARRAY_WRITEABLE_;
    PyObject *frame = numpy.PyArray_NewFromDescr_(numpy.PyArray_Type_, bytes, 3, shape, strides, pixels, flags, nullptr);
    if (!frame) throw py::error_already_set();
    py::object result = py::reinterpret_steal<py::object>(frame);
    if (numpy.PyArray_SetBaseObject_(frame, holder.release().ptr()) < 0) throw py::error_already_set();
    return result;
}

// ------------------------------------------------------- the binding's routes

Py_ssize_t size_of(const py::object &value) {
    Py_ssize_t n = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    return n;
}

// obj.name as a bound method, or no object when obj has no such attribute.
py::object method_of(py::handle obj, PyObject *name) {
    PyObject *method = PyObject_GetAttr(obj.ptr(), name);
    if (method) return py::reinterpret_steal<py::object>(method);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

// The frame through the binding.  The image's own buffer (GetMemoryView)
// costs no copy; the memory view does not keep the image alive, so the
// array's owner holds the image.  Bindings without it hand out a fresh copy
// of the pixels (GetBuffer) instead, which the array's owner holds: the one
// copy that the image's own array is made of too, for fewer calls into the
// binding, and writable exactly when that array would be.  An image without
// such a buffer, or whose buffer is not rows x columns x 3 bytes (another
// output format, padded rows), gives its own array.
py::object binding_frame(py::handle image) {
    const Names &n = names();
    py::object memory, keeper;
    int flags = PyBUF_C_CONTIGUOUS;
    if (py::object view = method_of(image, n.GetMemoryView)) {
        memory = view();
        keeper = py::reinterpret_borrow<py::object>(image);
        flags |= PyBUF_WRITABLE;
    } else if (py::object copy = method_of(image, n.GetBuffer)) {
        memory = copy();
        keeper = memory;
    } else {
        return call(image, n.GetArray);
    }
    Py_ssize_t rows = size_of(call(image, n.GetHeight)), columns = size_of(call(image, n.GetWidth));

    Py_buffer view;
    if (PyObject_GetBuffer(memory.ptr(), &view, flags) < 0) {
        PyErr_Clear();
        return call(image, n.GetArray);
    }
    // The pointer stays valid while the keeper lives: the image's buffer is
    // its own, and a copied buffer is referenced by nothing but the keeper.
    void *pixels = view.buf;
    Py_ssize_t len = view.len;
    int readonly = view.readonly;
    PyBuffer_Release(&view);
    if (!whole_frame(rows, columns, len)) return call(image, n.GetArray);
    return array_over(keeper, nullptr, pixels, readonly, rows, columns);
}

// What the binding does with an image like this one, as the log names it.
std::string binding_route_of(py::handle image) {
    if (py::object view = method_of(image, names().GetMemoryView)) return "the binding's memory view of the image";
    if (py::object copy = method_of(image, names().GetBuffer)) return "a copy made by the binding";
    return "the image's own array";
}

// ------------------------------------------------------------ the native route

// One per process, read and written with the GIL held.
struct NativeRoute {
    native::Seam seam{"Frame pixels", "route", "the SDK image's own buffer (checked against the binding's copy)"};
    native::ImageGetters get;
    PyTypeObject *image_class = nullptr;  // the binding's wrapper class of CPylonImage
    PyTypeObject *handle_type = nullptr;  // the type of its handle on the C++ object
};

NativeRoute &state() {
    static NativeRoute *r = new NativeRoute;  // used up to the interpreter's very end
    return *r;
}

// Finds the getters in the library the binding loaded (never loading one);
// returns why the route cannot be taken, or nothing.
std::string resolve(py::handle image, py::handle handle) {
    NativeRoute &r = state();
    std::string why = native::check_handle(handle, "Pylon::CPylonImage", "the converted image");
    if (!why.empty()) return why;
    native::Library library;
    if (!(why = native::find_library("libpylonutility.so", library)).empty()) return why;
    if (!(why = r.get.take(library)).empty()) return why;
    r.image_class = Py_TYPE(image.ptr());
    Py_INCREF(r.image_class);
    r.handle_type = Py_TYPE(handle.ptr());
    return "";
}

struct Pixels {
    py::object keeper;
    void *data = nullptr;
    Py_ssize_t rows = 0, columns = 0;
};

// The image's pixels as the SDK's library gives them; returns why they
// cannot be taken from there, or nothing.
std::string native_pixels(py::handle image, py::handle handle, Pixels &out) {
    const NativeRoute &r = state();
    if (Py_TYPE(handle.ptr()) != r.handle_type) return "the converted image's handle is of another type";
    void *object = native::object_of(handle);
    if (!object) return "the converted image has no C++ object";  // the binding's own handle: checked once
    // The exact class: the getters are those of CPylonImage itself, not of a
    // class derived from it.
    if (!native::exactly(object, r.get.type_info)) return "the converted image is not a plain Pylon::CPylonImage";
    out.keeper = py::reinterpret_borrow<py::object>(image);
    return r.get.bgr_frame(object, out.data, out.rows, out.columns);
}

py::object frame(const Pixels &p) { return array_over(p.keeper, nullptr, p.data, false, p.rows, p.columns); }

}  // namespace

py::object frame_of(py::handle image) {
    NativeRoute &r = state();
    Pixels pixels;
    if (r.seam.native() && Py_TYPE(image.ptr()) == r.image_class) {
        std::string why = native_pixels(image, get(image, names().this_), pixels);
        if (why.empty()) return frame(pixels);
        r.seam.give_up(binding_route_of(image), why);
        return binding_frame(image);
    }
    // The first image of the binding's: find the getters, then check them
    // once against the binding's own copy of the same image.
    if (!native::binding_class(Py_TYPE(image.ptr()), "PylonImage")) return binding_frame(image);
    py::object handle = py::getattr(image, names().this_, py::none());
    auto resolved = [&] {
        std::string why = resolve(image, handle);
        return why.empty() ? native_pixels(image, handle, pixels) : why;
    };
    if (!r.seam.start_check(resolved, binding_route_of(image))) return binding_frame(image);
    py::object copy;
    if (auto error = capture([&] { copy = call(image, names().GetArray); })) {
        r.seam.retry();  // should the check itself fail, the next image tries again
        throw *error;
    }
    if (!same_pixels(copy, pixels.data, pixels.rows, pixels.columns)) {
        r.seam.give_up(binding_route_of(image), "the SDK's buffer differs from the binding's copy of the same image");
        return copy;
    }
    r.seam.trust();
    return frame(pixels);
}

bool same_pixels(py::handle copy, const void *pixels, Py_ssize_t rows, Py_ssize_t columns) {
    Py_buffer view;
    if (PyObject_GetBuffer(copy.ptr(), &view, PyBUF_C_CONTIGUOUS) < 0) {
        PyErr_Clear();
        return false;
    }
    bool same = view.ndim == 3 && view.shape[0] == rows && view.shape[1] == columns && view.shape[2] == 3 &&
                view.len == rows * columns * 3 && std::memcmp(view.buf, pixels, view.len) == 0;
    PyBuffer_Release(&view);
    return same;
}

py::object frame_over(native::PooledImage *image, void *pixels, Py_ssize_t rows, Py_ssize_t columns) {
    return array_over(py::handle(), image, pixels, false, rows, columns);
}

}  // namespace zun
