// Frame acquisition: the converter, the grab thread and its loop.
//
// The loop holds the GIL only while it touches Python objects.  The SDK's
// binding releases it inside retrieval and conversion, and the diagnostic
// mean of an 8-bit frame is summed here with the GIL released.  Where a
// frame's pixels come from is frame_pixels.cpp's business.
#include <cstdint>

#include "camera.hpp"
#include "frame_pixels.hpp"
#include "native_sdk.hpp"

namespace zun {
namespace {

// Interned attribute names, looked up on every frame.
struct Names {
    PyObject *IsGrabbing = intern("IsGrabbing"), *stopCam = intern("stopCam"), *cam = intern("cam"),
             *RetrieveResult = intern("RetrieveResult"),
             *converter = intern("converter"), *Convert = intern("Convert"), *frame = intern("frame"),
             *isInitializing = intern("isInitializing"), *isActive = intern("isActive"),
             *lastTime = intern("lastTime"), *shape = intern("shape");
};

const Names &names() {
    static const Names n;
    return n;
}

// Where the grab thread's time with the GIL goes, stretch by stretch: a
// profiler loaded ahead of the module (bench/bench_frames.py --profile) may
// define this function, and is told each time the loop starts one of the
// stretches below.  Unresolved, as it is in every ordinary process, a mark
// costs one test of a null pointer.
extern "C" void zun_grab_mark(int stretch) __attribute__((weak));

enum Stretch { lookups = 1, release = 2, making_the_frame = 3, publishing = 4, clock_check = 5 };

inline void mark(Stretch s) {
    if (zun_grab_mark) zun_grab_mark(s);
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
#ifdef PY_NO_SHORT_FLOAT_REPR
            // An interpreter without the shortest round-trip form would write
            // 17 digits; NumPy's own float writes what its average prints.
            return py::str(mod_attr("np").attr("float64")(mean));
#endif
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
    py::int_ timeout_ms(5000);
    py::object grab_result;  // kept until the next retrieval has returned
    while (true) {
        mark(lookups);
        py::object cam = get(self, n.cam);
        py::object grabbing = call(cam, n.IsGrabbing);
        mark(lookups);
        if (!truthy(grabbing)) return;
        if (truthy(get(self, n.stopCam))) return;
        py::object next = call(cam, n.RetrieveResult, timeout_ms, timeout_handling);
        mark(release);
        grab_result = std::move(next);
        mark(lookups);
        bool succeeded = grab_succeeded(grab_result);
        mark(lookups);
        if (!succeeded) continue;

        py::object image = call(get(self, n.converter), n.Convert, grab_result);
        mark(making_the_frame);
        py::object frame = frame_of(image);
        image = py::object();
        // Frame first, flag last: a reader that sees the flag sees a frame.
        // Once a stop has been asked for, the flag is not raised again: the
        // request and the flag are read and written here without letting go
        // of the GIL, so a `stop` that has returned is never undone.
        mark(publishing);
        set(self, n.frame, frame);
        set(self, n.isInitializing, Py_False);
        if (!truthy(get(self, n.stopCam))) set(self, n.isActive, Py_True);

        mark(clock_check);
        if (later_than_a_second_after(call_clock(clock), get(self, n.lastTime))) {
            py::str line = diagnostic_line(get(self, n.frame));
            log_info(line);
            builtin_print(line);
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
    return capture([] { builtin_print(std::string("StopGrabbing did not work.")); });
}

}  // namespace

py::object setconverter(py::handle self) {
    // The converter is complete before it is stored: a running grab thread
    // uses either the previous one or this one, never one half set up.
    py::object pylon = mod_attr("pylon");
    py::object converter = pylon.attr("ImageFormatConverter")();
    set_setting(converter, "OutputPixelFormat", pylon.attr("PixelType_BGR8packed"));
    set_setting(converter, "OutputBitAlignment", pylon.attr("OutputBitAlignment_MsbAligned"));
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
    builtin_print(std::string("starting thread"));
    return py::none();
}

}  // namespace zun
