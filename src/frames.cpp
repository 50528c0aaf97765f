// Frames and the module's images.
//
// A frame is a new array over pixels nothing else writes: a converted
// image's own pixels wherever they can be had, so that no copy is made while
// the GIL is held.  The array's base is a small owner object that holds what
// keeps the pixels alive (one of the module's images, or the binding's
// image), so they live exactly as long as the array or any view of it.
#include "frames.hpp"

#include <pybind11/numpy.h>

#include <mutex>
#include <vector>

namespace zun {
namespace {

// ------------------------------------------------------------- the image pool

class Pool {
public:
    Image *take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!spare_.empty()) {
                Image *image = spare_.back();
                spare_.pop_back();
                return image;
            }
        }
        auto *image = new Image;
        sdk::api().image_made(image->bytes);
        return image;
    }
    void give_back(Image *image) {
        bool ask;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            spare_.push_back(image);
            ask = loops_ == 0 && spare_.size() > kept && !trim_asked_;
            trim_asked_ = trim_asked_ || ask;
        }
        // While no grab thread runs, the interpreter frees the extra images
        // between two of its steps, with the GIL let go of.
        if (ask && Py_AddPendingCall(trim_pending, nullptr) != 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            trim_asked_ = false;  // its queue is full: the next image asks again
        }
    }
    void trim() {
        std::vector<Image *> extra;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            trim_asked_ = false;
            while (spare_.size() > kept) {
                extra.push_back(spare_.back());
                spare_.pop_back();
            }
        }
        for (Image *image : extra) {
            sdk::api().image_destroyed(image->bytes);
            delete image;
        }
    }
    void loops(int change) {
        std::lock_guard<std::mutex> lock(mutex_);
        loops_ += change;
    }

private:
    static int trim_pending(void *);
    static constexpr std::size_t kept = 3;
    std::mutex mutex_;
    std::vector<Image *> spare_;
    int loops_ = 0;
    bool trim_asked_ = false;
};

Pool &pool() {
    static Pool *p = new Pool;  // frames may die up to the interpreter's very end
    return *p;
}

int Pool::trim_pending(void *) {
    PyThreadState *state = PyEval_SaveThread();
    pool().trim();
    PyEval_RestoreThread(state);
    return 0;
}

// ------------------------------------------------------------------ frames

// The owner of one frame's pixels, the base of the array made over them.  It
// tells the application nothing, so nothing reached through the array can
// free the pixels under it.
struct FrameBuffer {
    PyObject_HEAD
    PyObject *keeper;  // the binding's image, or null
    Image *image;      // one of the module's images, or null
};

void frame_buffer_dealloc(PyObject *obj) {
    auto *owner = reinterpret_cast<FrameBuffer *>(obj);
    Py_XDECREF(owner->keeper);
    if (owner->image) images::give_back(owner->image);
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

using npy = py::detail::npy_api;

// A new rows x columns x 3 array of bytes over `pixels`, which stay valid
// while `keeper` (or `image`) lives.  Made through NumPy's C API: nothing is
// described to NumPy in Python objects for it to parse back.
// The pixels' keeper (or image) belongs to the frame only once it is made:
// should that fail, the caller still has it.
py::object array_over(py::handle keeper, Image *image, void *pixels, Py_ssize_t rows, Py_ssize_t columns) {
    auto *owner = PyObject_New(FrameBuffer, frame_buffer_type());
    if (!owner) throw py::error_already_set();
    owner->keeper = nullptr;
    owner->image = nullptr;
    py::object holder = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(owner));
    const npy &numpy = npy::get();
    Py_intptr_t shape[] = {rows, columns, 3}, strides[] = {columns * 3, 3, 1};
    PyObject *bytes = numpy.PyArray_DescrFromType_(npy::NPY_UBYTE_);  // taken by the array
    if (!bytes) throw py::error_already_set();
    PyObject *frame = numpy.PyArray_NewFromDescr_(numpy.PyArray_Type_, bytes, 3, shape, strides, pixels,
                                                  npy::NPY_ARRAY_WRITEABLE_, nullptr);
    if (!frame) throw py::error_already_set();
    py::object result = py::reinterpret_steal<py::object>(frame);
    if (numpy.PyArray_SetBaseObject_(frame, holder.release().ptr()) < 0) throw py::error_already_set();
    owner->keeper = py::reinterpret_borrow<py::object>(keeper).release().ptr();
    owner->image = image;
    return result;
}

bool whole_frame(Py_ssize_t rows, Py_ssize_t columns, Py_ssize_t bytes) {
    return rows > 0 && columns > 0 && columns <= PY_SSIZE_T_MAX / 3 / rows && bytes == rows * columns * 3;
}

}  // namespace

Image *images::take() { return pool().take(); }
void images::give_back(Image *image) { pool().give_back(image); }
void images::trim() { pool().trim(); }
void images::loop_started() { pool().loops(1); }
void images::loop_ended() { pool().loops(-1); }

bool bgr_frame(Image &image) {
    const sdk::Api &a = sdk::api();
    if (a.pixel_type(image.bytes) != a.bgr8) return false;
    std::size_t size = a.image_size(image.bytes);
    Py_ssize_t rows = a.height(image.bytes), columns = a.width(image.bytes);
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX) || !whole_frame(rows, columns, static_cast<Py_ssize_t>(size)) ||
        !(image.pixels = a.buffer(image.bytes)))
        return false;
    image.rows = rows;
    image.columns = columns;
    return true;
}

py::object frame_over(Image *image) {
    return array_over(py::handle(), image, image->pixels, image->rows, image->columns);
}

py::object binding_frame(py::handle image) {
    PyObject *lends = PyObject_GetAttrString(image.ptr(), "GetMemoryView");
    if (!lends) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return image.attr("GetArray")();
    }
    py::object memory = py::reinterpret_steal<py::object>(lends)();
    Py_ssize_t rows = image.attr("GetHeight")().cast<Py_ssize_t>(), columns = image.attr("GetWidth")().cast<Py_ssize_t>();
    const Py_buffer *view = PyMemoryView_Check(memory.ptr()) ? PyMemoryView_GET_BUFFER(memory.ptr()) : nullptr;
    if (!view || view->readonly || !PyBuffer_IsContiguous(view, 'C') || !whole_frame(rows, columns, view->len))
        return image.attr("GetArray")();  // another output format, padded rows
    // The memory view does not keep the image alive: the array's owner does.
    return array_over(image, nullptr, view->buf, rows, columns);
}

bool pooled_frame(py::handle frame) {
    const npy &numpy = npy::get();
    if (Py_TYPE(frame.ptr()) != numpy.PyArray_Type_) return false;
    PyObject *base = py::detail::array_proxy(frame.ptr())->base;
    return base && Py_TYPE(base) == frame_buffer_type() && reinterpret_cast<FrameBuffer *>(base)->image;
}

bool same_pixels(py::handle copy, const Image &image) {
    Py_buffer view;
    if (PyObject_GetBuffer(copy.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_ND) < 0) throw py::error_already_set();
    bool same = view.ndim == 3 && view.shape[0] == image.rows && view.shape[1] == image.columns &&
                view.shape[2] == 3 && view.len == image.rows * image.columns * 3 &&
                std::memcmp(view.buf, image.pixels, static_cast<std::size_t>(view.len)) == 0;
    PyBuffer_Release(&view);
    return same;
}

}  // namespace zun
