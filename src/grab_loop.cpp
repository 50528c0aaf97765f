// Frame acquisition: the converter, the grab thread and its loop.
//
// The loop holds the GIL only while it touches Python objects.  The SDK's
// binding releases it inside retrieval and conversion, and the diagnostic
// mean of an 8-bit frame is summed here with the GIL released.
//
// A frame is the converted image's own pixels: the published array is a view
// of the image's buffer, and the image is kept alive by the array's base for
// as long as the array or any view of it lives.  No copy is made, so the
// application is not held up for one while a frame is handed over.
#include <cstdint>

#include "camera.hpp"

namespace zun {
namespace {

// Interned attribute names, looked up on every frame.
struct Names {
    PyObject *IsGrabbing, *stopCam, *cam, *RetrieveResult, *GrabSucceeded, *converter, *Convert, *GetArray;
    PyObject *GetMemoryView, *GetBuffer, *GetWidth, *GetHeight;
    PyObject *frame, *isInitializing, *isActive, *lastTime, *shape;
    Names() {
        IsGrabbing = intern("IsGrabbing");
        stopCam = intern("stopCam");
        cam = intern("cam");
        RetrieveResult = intern("RetrieveResult");
        GrabSucceeded = intern("GrabSucceeded");
        converter = intern("converter");
        Convert = intern("Convert");
        GetArray = intern("GetArray");
        GetMemoryView = intern("GetMemoryView");
        GetBuffer = intern("GetBuffer");
        GetWidth = intern("GetWidth");
        GetHeight = intern("GetHeight");
        frame = intern("frame");
        isInitializing = intern("isInitializing");
        isActive = intern("isActive");
        lastTime = intern("lastTime");
        shape = intern("shape");
    }
    static PyObject *intern(const char *s) {
        PyObject *name = PyUnicode_InternFromString(s);
        if (!name) throw py::error_already_set();
        return name;  // kept for the life of the process
    }
};

const Names &names() {
    static const Names n;
    return n;
}

py::object get(py::handle obj, PyObject *name) {
    PyObject *r = PyObject_GetAttr(obj.ptr(), name);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

void set(py::handle obj, PyObject *name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

// obj.method(*args).  From Python 3.9 on, through the vectorcall protocol,
// which spares the variadic packing of the older call.
template <class... Args>
py::object call(py::handle obj, PyObject *method, Args... args) {
#if PY_VERSION_HEX >= 0x03090000
    // A spare first slot lets the callee prepend a bound self without copying.
    PyObject *stack[] = {nullptr, obj.ptr(), args.ptr()...};
    PyObject *r = PyObject_VectorcallMethod(method, stack + 1,
                                            (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
#else
    PyObject *r = PyObject_CallMethodObjArgs(obj.ptr(), method, args.ptr()..., nullptr);
#endif
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// The owner of one frame's pixels: it holds what keeps them alive (the
// converted image itself, or a buffer the binding filled for this frame) and
// describes them to NumPy as rows x columns x 3 bytes.  The array made from
// it has it as its base, so the pixels live exactly as long as the array or
// any view of it.  (An array made through the buffer protocol would hang on
// a memory view instead, which the application could release under it.)
struct FrameBuffer {
    PyObject_HEAD
    PyObject *keeper;
    void *pixels;
    int readonly;
    Py_ssize_t rows, columns;
};

// NumPy's array interface: shape, 8-bit samples, and the pixels' address.
PyObject *frame_buffer_interface(PyObject *obj, void *) {
    auto *self = reinterpret_cast<FrameBuffer *>(obj);
    PyObject *address = PyLong_FromVoidPtr(self->pixels);
    if (!address) return nullptr;
    return Py_BuildValue("{s:(nni),s:s,s:(NO),s:i}", "shape", self->rows, self->columns, 3, "typestr", "|u1", "data",
                         address, self->readonly ? Py_True : Py_False, "version", 3);
}

void frame_buffer_dealloc(PyObject *obj) {
    Py_XDECREF(reinterpret_cast<FrameBuffer *>(obj)->keeper);
    Py_TYPE(obj)->tp_free(obj);
}

PyGetSetDef frame_buffer_getset[] = {
    {const_cast<char *>("__array_interface__"), frame_buffer_interface, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject *frame_buffer_type() {
    static PyTypeObject *type = [] {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
        static PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
        t.tp_name = "zun_camera_basler.FrameBuffer";
        t.tp_basicsize = sizeof(FrameBuffer);
        t.tp_dealloc = frame_buffer_dealloc;
        t.tp_getset = frame_buffer_getset;
        t.tp_flags = Py_TPFLAGS_DEFAULT;
        if (PyType_Ready(&t) < 0) throw py::error_already_set();
        return &t;
    }();
    return type;
}

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

// The converted image's pixels as a new array over memory that nothing else
// writes, or no object when the image offers none that holds its pixels as
// rows x columns x 3 writable bytes (another output format, padded rows, a
// binding or a stand-in without such a buffer): the caller then asks the
// image for its array.
//
// The image's own buffer (GetMemoryView) costs no copy; the memory view does
// not keep the image alive, so the array's owner holds the image.  Bindings
// without it hand out a fresh copy of the pixels (GetBuffer) instead, which
// the array's owner holds: the one copy that the image's own array is made
// of too, for fewer calls into the binding, and writable exactly when that
// array would be.
py::object pixels_of(py::handle image, py::handle asarray) {
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
        return py::object();
    }
    Py_ssize_t rows = size_of(call(image, n.GetHeight)), columns = size_of(call(image, n.GetWidth));

    Py_buffer view;
    if (PyObject_GetBuffer(memory.ptr(), &view, flags) < 0) {
        PyErr_Clear();
        return py::object();
    }
    // The pointer stays valid while the keeper lives: the image's buffer is
    // its own, and a copied buffer is referenced by nothing but the keeper.
    void *pixels = view.buf;
    Py_ssize_t len = view.len;
    int readonly = view.readonly;
    PyBuffer_Release(&view);
    if (rows <= 0 || columns <= 0 || columns > PY_SSIZE_T_MAX / 3 / rows || len != rows * columns * 3)
        return py::object();

    auto *owner = PyObject_New(FrameBuffer, frame_buffer_type());
    if (!owner) throw py::error_already_set();
    owner->keeper = keeper.release().ptr();
    owner->pixels = pixels;
    owner->readonly = readonly;
    owner->rows = rows;
    owner->columns = columns;
    py::object holder = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(owner));
    return asarray(holder);
}

// The frame of a converted image: its pixels without a copy where the image
// offers them, else the image's own array.
py::object frame_of(py::handle image, py::handle asarray) {
    py::object pixels = pixels_of(image, asarray);
    return pixels ? pixels : call(image, names().GetArray);
}

// Exact sum of `n` bytes.  Blocks of 2^16 bytes cannot overflow 32 bits,
// which keeps the inner loop in narrow lanes that vectorise well.
std::uint64_t byte_sum(const std::uint8_t *p, std::size_t n) {
    std::uint64_t total = 0;
    while (n) {
        std::size_t block = n < 65536 ? n : 65536;
        std::uint32_t s = 0;
        for (std::size_t i = 0; i < block; ++i) s += p[i];
        total += s;
        p += block;
        n -= block;
    }
    return total;
}

// The frame's mean as NumPy's average would print it.  For a contiguous
// 8-bit frame the exact integer sum divided by the count is the value NumPy
// computes (its float64 partial sums of integers are exact), and it is
// written in Python's shortest round-trip form.  Anything else goes to NumPy.
py::str mean_text(py::handle frame) {
    Py_buffer view;
    if (PyObject_CheckBuffer(frame.ptr()) &&
        PyObject_GetBuffer(frame.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
        bool bytes = view.itemsize == 1 && view.format && std::string_view(view.format) == "B" && view.len > 0;
        double mean = 0;
        if (bytes) {
            auto *data = static_cast<const std::uint8_t *>(view.buf);
            std::size_t len = static_cast<std::size_t>(view.len);
            std::uint64_t sum;
            {
                py::gil_scoped_release unlocked;
                sum = byte_sum(data, len);
            }
            mean = static_cast<double>(sum) / static_cast<double>(len);
        }
        PyBuffer_Release(&view);
        if (bytes) {
            char *text = PyOS_double_to_string(mean, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (!text) throw py::error_already_set();
            py::str result(text);
            PyMem_Free(text);
            return result;
        }
    } else {
        PyErr_Clear();
    }
    return py::str(mod_attr("np").attr("average")(frame));
}

py::str diagnostic_line(py::handle frame) {
    py::str line = concat(py::str("Grabbed frame shape : "), py::str(get(frame, names().shape)));
    return concat(concat(line, py::str(", mean of image: ")), mean_text(frame));
}

// now > lastTime + 1, as Python compares them; plain floats without a detour.
bool later_than_a_second_after(py::handle now, py::handle last) {
    if (PyFloat_CheckExact(now.ptr()) && PyFloat_CheckExact(last.ptr()))
        return PyFloat_AS_DOUBLE(now.ptr()) > PyFloat_AS_DOUBLE(last.ptr()) + 1.0;
    py::object due = py::reinterpret_borrow<py::object>(last) + py::int_(1);
    int late = PyObject_RichCompareBool(now.ptr(), due.ptr(), Py_GT);
    if (late < 0) throw py::error_already_set();
    return late != 0;
}

py::object call_clock(py::handle clock) {
    PyObject *r = PyObject_CallObject(clock.ptr(), nullptr);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// The loop proper: returns when the camera stops grabbing or a stop is
// requested, raises whatever else ends it.
void grab(py::handle self) {
    const Names &n = names();
    py::object pylon = mod_attr("pylon");
    py::object timeout_handling = pylon.attr("TimeoutHandling_ThrowException");
    py::object clock = mod_attr("time").attr("time");
    py::object asarray = mod_attr("np").attr("asarray");
    py::int_ timeout_ms(5000);
    py::object grab_result;  // kept until the next retrieval has returned
    while (true) {
        py::object cam = get(self, n.cam);
        if (!truthy(call(cam, n.IsGrabbing))) return;
        if (truthy(get(self, n.stopCam))) return;
        grab_result = call(cam, n.RetrieveResult, timeout_ms, timeout_handling);
        if (!truthy(call(grab_result, n.GrabSucceeded))) continue;

        py::object frame = frame_of(call(get(self, n.converter), n.Convert, grab_result), asarray);
        // Frame first, flag last: a reader that sees the flag sees a frame.
        // Once a stop has been asked for, the flag is not raised again: the
        // request and the flag are read and written here without letting go
        // of the GIL, so a `stop` that has returned is never undone.
        set(self, n.frame, frame);
        set(self, n.isInitializing, Py_False);
        if (!truthy(get(self, n.stopCam))) set(self, n.isActive, Py_True);

        if (later_than_a_second_after(call_clock(clock), get(self, n.lastTime))) {
            py::str line = diagnostic_line(get(self, n.frame));
            log_info(line);
            print(line);
            set(self, n.lastTime, call_clock(clock));
        }
    }
}

// Stops and closes the camera; a failure of either is only reported.
// Returns what printing that report raised, if it did.
std::optional<py::error_already_set> shut_down(py::handle self) {
    auto failure = capture([&] {
        py::object cam = get(self, names().cam);
        cam.attr("StopGrabbing")();
        cam.attr("Close")();
    });
    if (!failure) return std::nullopt;
    return capture([] { print(std::string("StopGrabbing did not work.")); });
}

}  // namespace

py::object setconverter(py::handle self) {
    // The converter is complete before it is stored: a running grab thread
    // uses either the previous one or this one, never one half set up.
    py::object pylon = mod_attr("pylon");
    py::object converter = pylon.attr("ImageFormatConverter")();
    converter.attr("OutputPixelFormat") = pylon.attr("PixelType_BGR8packed");
    converter.attr("OutputBitAlignment") = pylon.attr("OutputBitAlignment_MsbAligned");
    self.attr("converter") = converter;
    return py::none();
}

py::object live_grab_thread(py::handle self) {
    py::object thread = py::getattr(self, "t1", py::none());
    if (thread.is_none() || !truthy(thread.attr("is_alive")())) return py::object();
    return thread;
}

py::object read(py::handle self) {
    // A second loop on the camera would compete with the grab thread for
    // its results and end both.
    py::object thread = live_grab_thread(self);
    if (thread && !thread.is(mod_attr("threading").attr("current_thread")())) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the grab thread of this camera is running; read() may only run on it or after it has ended");
        throw py::error_already_set();
    }
    // Whatever ends the loop, the camera is stopped and closed and the flag
    // ends false; an error that is not an ordinary one (an exit request, an
    // interrupt), or one raised by the handler's own logging, still ends the
    // thread afterwards.
    std::optional<py::error_already_set> escaping;
    if (auto error = capture([&] { grab(self); })) {
        if (error->matches(PyExc_Exception)) {
            escaping = capture([&] {
                py::str text = error_text(*error);
                if (PyUnicode_Contains(text.ptr(), py::str("TimeoutException").ptr()) == 1)
                    log_info(std::string("Sync Camera thread. The program will restart now. Code:637b21"));
                else
                    log_info(concat(py::str("Sync Camera thread. The program will restart now."), text));
            });
            set(self, names().isActive, Py_False);
        } else {
            escaping = std::move(error);
        }
    }
    auto report_failure = shut_down(self);
    set(self, names().isActive, Py_False);
    if (escaping) throw *escaping;
    if (report_failure) throw *report_failure;
    return py::none();
}

py::object run(py::handle self) {
    // One grab thread per camera: a second loop on the same camera would
    // race the first for its results.
    if (live_grab_thread(self)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the grab thread of this camera is still running; stop() it and let it end first");
        throw py::error_already_set();
    }
    py::object thread = mod_attr("threading").attr("Thread")(py::arg("target") = self.attr("read"),
                                                              py::arg("daemon") = false);
    self.attr("t1") = thread;
    thread.attr("start")();
    print(std::string("starting thread"));
    return py::none();
}

}  // namespace zun
