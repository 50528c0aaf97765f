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
struct FrameBuffer {
    PyObject_HEAD
    PyObject *keeper;
};

void frame_buffer_dealloc(PyObject *obj) {
    Py_XDECREF(reinterpret_cast<FrameBuffer *>(obj)->keeper);
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

bool whole_frame(Py_ssize_t rows, Py_ssize_t columns, Py_ssize_t bytes) {
    return rows > 0 && columns > 0 && columns <= PY_SSIZE_T_MAX / 3 / rows && bytes == rows * columns * 3;
}

// A new rows x columns x 3 array of bytes over `pixels`, which stay valid
// while `keeper` lives.  Made through NumPy's C API: nothing is described to
// NumPy in Python objects for it to parse back, which is most of what an
// array made through an array interface costs.
py::object array_over(py::handle keeper, void *pixels, bool readonly, Py_ssize_t rows, Py_ssize_t columns) {
    auto *owner = PyObject_New(FrameBuffer, frame_buffer_type());
    if (!owner) throw py::error_already_set();
    owner->keeper = py::reinterpret_borrow<py::object>(keeper).release().ptr();
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
    return array_over(keeper, pixels, readonly, rows, columns);
}

// What the binding does with an image like this one, as the log names it.
std::string binding_route_of(py::handle image) {
    if (py::object view = method_of(image, names().GetMemoryView)) return "the binding's memory view of the image";
    if (py::object copy = method_of(image, names().GetBuffer)) return "a copy made by the binding";
    return "the image's own array";
}

// ------------------------------------------------------------ the native route

// Pylon::CPylonImage's getters, as the SDK's library exports them.  Each
// takes the object and returns a pointer, a size or an integer.
struct ImageGetters {
    void *(*buffer)(void *);
    std::size_t (*image_size)(const void *);
    std::uint32_t (*width)(const void *);
    std::uint32_t (*height)(const void *);
    std::int64_t (*pixel_type)(const void *);  // an enumeration held in a full register
    const void *type_info;                     // the class's run-time type information
};

enum class Route { untried, checking, native, binding };

// One per process, read and written with the GIL held.
struct NativeRoute {
    Route route = Route::untried;
    ImageGetters get{};
    PyTypeObject *image_class = nullptr;  // the binding's wrapper class of CPylonImage
    PyTypeObject *handle_type = nullptr;  // the type of its handle on the C++ object
    std::int64_t bgr8 = 0;             // the SDK's value of BGR 8-bit packed
};

NativeRoute &state() {
    static NativeRoute r;
    return r;
}

// Finds the getters in the library the binding loaded (never loading one);
// returns why the route cannot be taken, or nothing.
std::string resolve(py::handle image, py::handle handle) {
    NativeRoute &r = state();
    std::string why = native::switched_off();
    if (why.empty()) why = native::check_handle(handle, "Pylon::CPylonImage", "the converted image");
    if (!why.empty()) return why;
    native::Library library;
    if (!(why = native::find_library("libpylonutility.so", library)).empty()) return why;

    why = library.take({
        {&r.get.buffer, "_ZN5Pylon11CPylonImage9GetBufferEv"},
        {&r.get.image_size, "_ZNK5Pylon11CPylonImage12GetImageSizeEv"},
        {&r.get.width, "_ZNK5Pylon11CPylonImage8GetWidthEv"},
        {&r.get.height, "_ZNK5Pylon11CPylonImage9GetHeightEv"},
        {&r.get.pixel_type, "_ZNK5Pylon11CPylonImage12GetPixelTypeEv"},
        {&r.get.type_info, "_ZTIN5Pylon11CPylonImageE"},
    });
    if (!why.empty()) return why;
    r.bgr8 = mod_attr("pylon").attr("PixelType_BGR8packed").cast<std::int64_t>();
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
    std::int64_t type = r.get.pixel_type(object);
    if (type != r.bgr8) {
        char text[96];
        std::snprintf(text, sizeof text, "its pixel type 0x%llx is not BGR 8-bit packed (0x%llx)",
                      static_cast<unsigned long long>(type), static_cast<unsigned long long>(r.bgr8));
        return text;
    }
    std::size_t size = r.get.image_size(object);
    std::uint32_t rows = r.get.height(object), columns = r.get.width(object);
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX) || !whole_frame(rows, columns, static_cast<Py_ssize_t>(size)))
        return "its size, " + std::to_string(size) + " bytes, is not rows x columns x 3 (" + std::to_string(rows) +
               " x " + std::to_string(columns) + " x 3)";
    void *data = r.get.buffer(object);
    if (!data) return "it has no buffer";
    out = Pixels{py::reinterpret_borrow<py::object>(image), data, rows, columns};
    return "";
}

// True when `copy` is an array of exactly the pixels in `p`.
bool same_pixels(const py::object &copy, const Pixels &p) {
    Py_buffer view;
    if (PyObject_GetBuffer(copy.ptr(), &view, PyBUF_C_CONTIGUOUS) < 0) {
        PyErr_Clear();
        return false;
    }
    bool same = view.ndim == 3 && view.shape[0] == p.rows && view.shape[1] == p.columns && view.shape[2] == 3 &&
                view.len == p.rows * p.columns * 3 && std::memcmp(view.buf, p.data, view.len) == 0;
    PyBuffer_Release(&view);
    return same;
}

void give_up(py::handle image, const std::string &why) {
    state().route = Route::binding;
    log_info("Frame pixels: " + binding_route_of(image) + ", as the native route is not taken: " + why + ".");
}

py::object frame(const Pixels &p) { return array_over(p.keeper, p.data, false, p.rows, p.columns); }

// An image the native route may be tried on: the binding's own image class.
bool binding_image(py::handle image) {
    const NativeRoute &r = state();
    PyTypeObject *type = Py_TYPE(image.ptr());
    switch (r.route) {
        case Route::native:
            return type == r.image_class;
        case Route::untried:
            return native::binding_class(type, "PylonImage");
        default:
            return false;
    }
}

}  // namespace

py::object frame_of(py::handle image) {
    if (!binding_image(image)) return binding_frame(image);
    NativeRoute &r = state();
    py::object handle = get(image, names().this_);
    Pixels pixels;
    if (r.route == Route::native) {
        std::string why = native_pixels(image, handle, pixels);
        if (why.empty()) return frame(pixels);
        give_up(image, why);
        return binding_frame(image);
    }

    // The first image of the binding's: find the getters, then check them
    // once against the binding's own copy of the same image.
    std::string why = resolve(image, handle);
    if (why.empty()) why = native_pixels(image, handle, pixels);
    if (!why.empty()) {
        give_up(image, why);
        return binding_frame(image);
    }
    // Other grab threads take the binding's route meanwhile; should the check
    // itself fail, the next image tries again.
    r.route = Route::checking;
    py::object copy;
    if (auto error = capture([&] { copy = call(image, names().GetArray); })) {
        r.route = Route::untried;
        throw *error;
    }
    if (!same_pixels(copy, pixels)) {
        give_up(image, "the SDK's buffer differs from the binding's copy of the same image");
        return copy;
    }
    r.route = Route::native;
    log_info(std::string("Frame pixels: native, the SDK image's own buffer (checked against the binding's copy)."));
    return frame(pixels);
}

}  // namespace zun
