// Frame acquisition: the converter, the grab thread and its loop.
//
// A pass holds the GIL for one thing only: publishing the frame and its
// flags (and, once a second, the diagnostic line).  Where the camera and the
// converter are the binding's own, the pass makes its calls into the SDK's
// libraries with the GIL let go of once (native_pass.cpp); elsewhere it makes
// the same calls through the binding, in the same order.  Where a frame's
// pixels come from is frame_pixels.cpp's business.
#include <chrono>
#include <cstdint>

#include "camera.hpp"
#include "frame_pixels.hpp"
#include "native_pass.hpp"
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

// Where the grab thread's time with the GIL goes: a profiler loaded ahead of
// the module (bench/bench_frames.py --profile) may define this function, and
// is told each time the loop starts one of the stretches below.  Unresolved,
// as it is in every ordinary process, a mark costs one test of a null pointer.
extern "C" void zun_grab_mark(int stretch) __attribute__((weak));

enum Stretch { lookups = 1, publishing = 4, clock_check = 5 };

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
// The sum is taken with the GIL let go of (see without_gil for `abandon`).
template <class Abandon>
py::str mean_text(py::handle frame, Abandon &&abandon) {
    Py_buffer view;
    if (PyObject_CheckBuffer(frame.ptr()) &&
        PyObject_GetBuffer(frame.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
        bool bytes = view.itemsize == 1 && view.format && std::string_view(view.format) == "B" && view.len > 0;
        double mean = 0;
        if (bytes) {
            auto *data = static_cast<const std::uint8_t *>(view.buf);
            std::size_t len = static_cast<std::size_t>(view.len);
            std::uint64_t sum = 0;
            without_gil_announced([&] { sum = byte_sum(data, len); }, abandon);
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

using Clock = std::chrono::steady_clock;
// As long as a retrieval waits: a camera that delivers nothing but failed
// grabs for that long is as dead as one that delivers nothing.
constexpr auto retrieval_timeout = std::chrono::milliseconds(5000);

// One run of the loop.  Its Python references are all members: should the
// interpreter end the thread while it takes the GIL back (it does so while
// it finalizes), abandon() forgets them rather than letting the unwinding
// drop them without the GIL.
class Loop {
public:
    explicit Loop(py::handle self)
        : self_(self),
          timeout_handling_(mod_attr("pylon").attr("TimeoutHandling_ThrowException")),
          clock_(mod_attr("time").attr("time")),
          timeout_ms_(py::int_(5000)),
          last_success_(Clock::now()) {}

    // Returns when the camera stops grabbing or a stop is requested, raises
    // whatever else ends the loop.
    void run() {
        const Names &n = names();
        while (true) {
            mark(lookups);
            py::object cam = get(self_, n.cam);
            bool asked = grabbing_ && cam.is(cam_);  // the last pass asked this very camera
            cam_ = std::move(cam);
            bool grabbing = asked ? *grabbing_ : truthy(call(cam_, n.IsGrabbing));
            grabbing_.reset();
            if (!grabbing) return;
            if (truthy(get(self_, n.stopCam))) return;
            NativeGrab::Outcome outcome = pass();
            grabbing_ = outcome.grabbing;
            if (outcome.succeeded) {
                last_success_ = Clock::now();
                if (!outcome.frame) continue;
                frame_ = std::move(outcome.frame);
                publish();
            } else if (Clock::now() - last_success_ >= retrieval_timeout) {
                PyErr_SetString(PyExc_RuntimeError,
                                "No grab has succeeded for 5000 ms: the camera delivers only failed grab results.");
                throw py::error_already_set();
            }
        }
    }

    // What the loop still holds of the SDK's: let go of before the camera is
    // stopped.
    void let_go() {
        native_.let_go([this] { abandon(); });
        held_ = py::object();
    }

private:
    // Retrieve the next result (the previous one is held until then), test
    // its success, convert it.
    NativeGrab::Outcome pass() {
        const Names &n = names();
        PyObject *converter = PyObject_GetAttr(self_.ptr(), n.converter);
        if (!converter) PyErr_Clear();  // raised where the binding's pass reads it
        converter_ = py::reinterpret_steal<py::object>(converter);
        NativeGrab::Route route = converter_ ? native_.route(cam_, converter_) : NativeGrab::Route::binding;
        if (route == NativeGrab::Route::native) {
            NativeGrab::Outcome outcome = native_.pass([this] { abandon(); });
            // A result held through the binding, until the next was in: the
            // binding lets go of the GIL to delete it.
            if (held_) announced([this] { held_ = py::object(); });
            return outcome;
        }
        py::object next = call(cam_, n.RetrieveResult, timeout_ms_, timeout_handling_);
        held_ = std::move(next);
        if (native_.holds_result()) native_.let_go([this] { abandon(); });
        if (route == NativeGrab::Route::check)
            if (auto outcome = native_.check(cam_, converter_, held_, [this] { abandon(); })) return *outcome;
        if (!grab_succeeded(held_)) return {};
        return {true, frame_of(call(get(self_, n.converter), n.Convert, held_)), std::nullopt};
    }

    void publish() {
        const Names &n = names();
        // Frame first, flag last: a reader that sees the flag sees a frame.
        // Once a stop has been asked for, the flag is not raised again: the
        // request and the flag are read and written here without letting go
        // of the GIL, so a `stop` that has returned is never undone.
        mark(publishing);
        set(self_, n.frame, frame_);
        set(self_, n.isInitializing, Py_False);
        if (!truthy(get(self_, n.stopCam))) set(self_, n.isActive, Py_True);

        mark(clock_check);
        if (later_than_a_second_after(call_clock(clock_), get(self_, n.lastTime))) {
            frame_ = get(self_, n.frame);
            py::str line = concat(concat(concat(py::str("Grabbed frame shape : "), py::str(get(frame_, n.shape))),
                                         py::str(", mean of image: ")),
                                  mean_text(frame_, [this] { abandon(); }));
            log_info(line);
            builtin_print(line);
            set(self_, n.lastTime, call_clock(clock_));
        }
        frame_ = py::object();
    }

    void abandon() {
        for (py::object *held : {&timeout_handling_, &clock_, &timeout_ms_, &cam_, &converter_, &held_, &frame_})
            held->release();
    }

    py::handle self_;
    py::object timeout_handling_, clock_, timeout_ms_;
    py::object cam_, converter_;  // this pass's
    py::object held_;             // the grab result retrieved through the binding, held until the next is in
    py::object frame_;            // the frame being published
    std::optional<bool> grabbing_;  // the camera cam_'s answer for the next pass, when this one asked it
    Clock::time_point last_success_;
    NativeGrab native_;
};

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
    if (py::object thread = live_grab_thread(self);
        thread && !thread.is(mod_attr("threading").attr("current_thread")())) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the grab thread of this camera is running; read() may only run on it or after it has ended");
        throw py::error_already_set();
    }
    // Whatever ends the loop, the camera is stopped and closed and the flag
    // ends false; an error that is not an ordinary one (an exit request, an
    // interrupt), or one raised by the handler's own logging, still ends the
    // thread afterwards.  What the loop holds of the SDK's is let go of first.
    std::optional<py::error_already_set> escaping;
    std::optional<Loop> loop;
    auto ended = capture([&] {
        loop.emplace(self);
        loop->run();
    });
    if (auto let_go = capture([&] { if (loop) loop->let_go(); }); !ended) ended = std::move(let_go);
    loop.reset();
    if (auto error = std::move(ended)) {
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
