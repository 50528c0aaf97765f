// Frame acquisition: the converter, the grab thread and its loop.
//
// The loop is the camera's: ask whether the camera grabs, read the stop
// request, retrieve the next result, skip a failed grab, convert a successful
// one and publish it (the frame, then isInitializing and isActive), and once
// a second write the diagnostic line.  Each pass takes one of two routes,
// chosen in one place (choose_route): the native pass (native_pass.hpp),
// whose calls into the SDK's libraries run with the GIL let go of once and
// whose GIL work is done by whoever holds the GIL (publishing.hpp), or the
// binding's plain calls, in the same order.
#include <chrono>
#include <cstdint>
#include <optional>

#include "camera.hpp"
#include "frames.hpp"
#include "native_pass.hpp"
#include "publishing.hpp"

namespace zun {
namespace {

// Interned attribute names, looked up on every frame.
struct Names {
    PyObject *IsGrabbing = intern("IsGrabbing"), *stopCam = intern("stopCam"), *cam = intern("cam"),
             *RetrieveResult = intern("RetrieveResult"), *GrabSucceeded = intern("GrabSucceeded"),
             *converter = intern("converter"), *Convert = intern("Convert"), *frame = intern("frame"),
             *isInitializing = intern("isInitializing"), *isActive = intern("isActive"),
             *lastTime = intern("lastTime"), *shape = intern("shape"), *OutputPixelFormat = intern("OutputPixelFormat");
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

enum Stretch { lookups = 1, making = 3, publishing = 4, clock_check = 5 };

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
            without_gil([&] { sum = byte_sum(data, len); }, abandon);
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

[[noreturn]] void failed_grabs() {
    PyErr_SetString(PyExc_RuntimeError,
                    "No grab has succeeded for 5000 ms: the camera delivers only failed grab results.");
    throw py::error_already_set();
}

bool is_bool(py::handle value) { return value.ptr() == Py_True || value.ptr() == Py_False; }

// True when reading and writing the loop's attributes of `self` runs none of
// the application's code: a plain instance whose class defines none of them.
bool plain_instance(py::handle self) {
    const Names &n = names();
    PyTypeObject *type = Py_TYPE(self.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) return false;
    for (PyObject *name : {n.frame, n.isActive, n.isInitializing, n.stopCam, n.cam, n.converter, n.lastTime})
        if (_PyType_Lookup(type, name)) return false;
    return true;
}

// One run of the loop.  Its Python references are all members: should the
// interpreter end the thread while it takes the GIL back (it does so while
// it finalizes), abandon() forgets them rather than letting the unwinding
// drop them without the GIL.
class Loop final : public Helped {
public:
    explicit Loop(py::handle self)
        : self_(self),
          timeout_handling_(mod_attr("pylon").attr("TimeoutHandling_ThrowException")),
          clock_(mod_attr("time").attr("time")),
          timeout_ms_(py::int_(5000)),
          last_success_(Clock::now()) {
        offers_ = Offers::open(self_, *this);
    }
    ~Loop() {
        if (offers_) offers_->close();
    }

    // Returns when the camera stops grabbing or a stop is requested, raises
    // whatever else ends the loop.
    void run() {
        while (true) {
            work();
            if (step_ == Step::end) return;
            if (route_ == Route::native)
                native_passes();
            else if (route_ == Route::check)
                check_pass();
            else
                binding_pass();
        }
    }

    // Asking threads find the loop no more, and what it holds of the SDK's
    // is let go of, before the camera is stopped.
    void end() {
        if (offers_) offers_->close();
        offers_ = nullptr;
        without_gil([this] { native_.let_go(); }, [this] { abandon(); });
        held_ = py::object();
    }

private:
    // Where a pass's GIL work stands.
    enum class Step {
        frame,     // the native pass's frame is to be made
        publish,   // the frame is to be stored, then its flags
        clock,     // the clock is to be read for the diagnostic line
        line,      // the diagnostic line is due
        next,      // the next pass's look-ups: is the camera grabbing, the stop request, its route
        retrieve,  // all done: the next pass retrieves
        end,       // the loop ends
    };
    enum class Route { native, check, binding };

    // The GIL work of the pass just made, from step_ on, on the grab thread:
    // the frame published (the frame first, the flag last: a reader that sees
    // the flag sees a frame), the diagnostic line when it is due, and what the
    // next pass starts with.
    void work() {
        const Names &n = names();
        if (step_ == Step::frame) {
            mark(making);
            frame_ = native_.frame();
            step_ = Step::publish;
        }
        if (step_ == Step::publish) {
            // Once a stop has been asked for, the flag is not raised again: the
            // request and the flag are read and written here without letting
            // go of the GIL, so a `stop` that has returned is never undone.
            mark(publishing);
            store_frame(truthy(get(self_, n.stopCam)));
        }
        if (step_ == Step::clock) {
            mark(clock_check);
            step_ = later_than_a_second_after(call_clock(clock_), get(self_, n.lastTime)) ? Step::line : Step::next;
        }
        if (step_ == Step::line) {
            frame_ = get(self_, n.frame);
            py::str line = concat(concat(concat(py::str("Grabbed frame shape : "), py::str(get(frame_, n.shape))),
                                         py::str(", mean of image: ")),
                                  mean_text(frame_, [this] { abandon(); }));
            frame_ = py::object();
            log_info(line);
            builtin_print(line);
            set(self_, n.lastTime, call_clock(clock_));
            step_ = Step::next;
        }
        if (step_ == Step::next) next_pass();
    }

    // The frame first, its flags last: a reader that sees the flag sees a
    // frame; the flag is not raised once a stop has been asked for.
    void store_frame(bool stop_asked) {
        const Names &n = names();
        set(self_, n.frame, frame_);
        set(self_, n.isInitializing, Py_False);
        if (!stop_asked) set(self_, n.isActive, Py_True);
        frame_ = py::object();
        step_ = Step::clock;
    }

    // What the next pass starts with: whether the camera grabs (asked at the
    // end of the last native pass, when it was this camera's), then the stop
    // request: the camera is asked first and the stop request second, on
    // every pass.
    void next_pass() {
        const Names &n = names();
        mark(lookups);
        py::object cam = get(self_, n.cam);
        bool asked = grabbing_ && cam.is(cam_);
        if (!cam.is(cam_)) {
            // A result of another camera is not held past that camera's last
            // reference (a camera replaced under the running loop).
            old_cam_ = std::move(cam_);
            cam_ = std::move(cam);
            if (native_.holds_result()) without_gil([this] { native_.let_go(); }, [this] { abandon(); });
            old_cam_ = py::object();
        }
        bool grabbing = asked ? *grabbing_ : truthy(call(cam_, n.IsGrabbing));
        grabbing_.reset();
        step_ = grabbing && !truthy(get(self_, n.stopCam)) ? Step::retrieve : Step::end;
        if (step_ == Step::retrieve) route_ = choose_route();
    }

    // The one place where a pass's route is chosen.  The native pass, once
    // the process's check has trusted it, for a camera and a converter of the
    // binding's own whose conversions give BGR 8-bit frames; the check, on
    // the first pass of the process that could go natively; else the
    // binding's plain calls: for another binding's classes or a stand-in,
    // with the native pass switched off or given up, or while this converter
    // gives another output format.  A condition of one camera or converter
    // never changes another's route.
    Route choose_route() {
        converter_ = py::getattr(self_, names().converter, py::none());
        if (!converter_.is(other_format_)) other_format_ = py::object();
        if (converter_.is_none() || other_format_) return Route::binding;  // the binding's pass raises, or converts
        sdk::Seam &seam = sdk::seam();
        if (seam.native()) return native_.adopt(cam_, converter_) ? Route::native : Route::binding;
        if (!seam.untried() || !NativePass::binding_objects(cam_, converter_) || !seam.start_check(cam_))
            return Route::binding;
        if (native_.adopt(cam_, converter_)) return Route::check;
        seam.retry();  // not this camera: another may be
        return Route::binding;
    }

    // Native passes, the GIL let go of.  Each pass's GIL work is offered to
    // the threads that ask for the frame; while one of them does all of it,
    // the next pass follows at once.  Returns with the GIL, step_ where this
    // thread takes the work up.
    void native_passes() {
        bool offering = !held_;  // a result held through the binding is dropped by this thread
        without_gil([this, offering] {
            do
                native_.pass();
            while (passed() && offering && offers_->offer());
        }, [this] { abandon(); });
        offers_->withdraw([this] { abandon(); });
        held_ = py::object();
        native_.raise_error();
        if (other_format_seen_) other_format_ = converter_;  // the binding converts, from the next pass on
        if (no_success_) failed_grabs();
    }

    // After a native pass, without the GIL: what the loop learns of it, and
    // where its GIL work starts.  True when that work can be offered.
    bool passed() {
        const NativePass::Outcome &out = native_.outcome();
        if (out.error) return false;
        grabbing_ = out.grabbing;
        step_ = out.image ? Step::frame : Step::next;
        no_success_ = timed_out(out.succeeded);
        other_format_seen_ = out.other_format;
        return !no_success_ && !other_format_seen_;
    }

    // A pass's success, as the failed-grab time-out counts it: true once
    // nothing but failed grabs has come for as long as a retrieval waits.
    bool timed_out(bool succeeded) {
        if (succeeded) last_success_ = Clock::now();
        return !succeeded && Clock::now() - last_success_ >= retrieval_timeout;
    }

    // The process's one check of the native pass, on a result retrieved
    // through the binding.
    void check_pass() {
        held_ = call(cam_, names().RetrieveResult, timeout_ms_, timeout_handling_);
        NativePass::Checked checked = native_.check(cam_, converter_, held_, [this] { abandon(); });
        grabbing_ = checked.grabbing;
        if (checked.other_format) other_format_ = converter_;
        if (timed_out(checked.succeeded)) failed_grabs();
        frame_ = std::move(checked.frame);
        step_ = frame_ ? Step::publish : Step::next;
    }

    // One pass through the binding's calls: retrieve (the previous result is
    // dropped only once the next one is in), test its success, convert it.
    void binding_pass() {
        const Names &n = names();
        held_ = call(cam_, n.RetrieveResult, timeout_ms_, timeout_handling_);
        if (native_.holds_result()) without_gil([this] { native_.let_go(); }, [this] { abandon(); });
        bool succeeded = truthy(call(held_, n.GrabSucceeded));
        if (timed_out(succeeded)) failed_grabs();
        step_ = Step::next;
        if (!succeeded) return;
        frame_ = binding_frame(call(get(self_, n.converter), n.Convert, held_));
        // The native pass comes back once this converter gives BGR 8-bit again.
        if (other_format_ && get(other_format_, n.OutputPixelFormat).cast<std::int64_t>() == sdk::api().bgr8)
            other_format_ = py::object();
        step_ = Step::publish;
    }

    // An asking thread's part of the GIL work, on the loop's behalf: the
    // native pass's frame published and the next pass's look-ups, as far as
    // they run none of the application's code, cannot let go of the GIL and
    // raise nothing: a plain object, flags that are plain truth values, a
    // plain clock and time, the frame it replaces one of the module's own,
    // the same camera and converter.  Everything it reads is read first, so
    // that it stops before it has changed anything, or after a whole step.
    bool help() noexcept override {
        try {
            return helped();
        } catch (...) {
            PyErr_Clear();  // the grab thread meets it, if it is still there
            return false;
        }
    }

    bool helped() {
        const Names &n = names();
        if (!plain_instance(self_)) return false;
        py::object stop = get(self_, n.stopCam), cam = get(self_, n.cam), converter = get(self_, n.converter);
        if (!is_bool(stop)) return false;
        if (step_ == Step::frame) {
            py::object frame = get(self_, n.frame), active = get(self_, n.isActive),
                       initializing = get(self_, n.isInitializing), last = get(self_, n.lastTime);
            if (!(frame.is_none() || pooled_frame(frame)) || !is_bool(active) || !is_bool(initializing) ||
                !PyCFunction_Check(clock_.ptr()) || !PyFloat_CheckExact(last.ptr()))
                return false;
            frame_ = native_.frame();
            step_ = Step::publish;
            store_frame(stop.ptr() == Py_True);
            step_ = later_than_a_second_after(call_clock(clock_), last) ? Step::line : Step::next;
        }
        if (step_ != Step::next || stop.ptr() != Py_False || !grabbing_ || !*grabbing_ || !cam.is(cam_) ||
            !converter.is(converter_))
            return false;
        grabbing_.reset();
        step_ = Step::retrieve;
        return true;
    }

    void abandon() {
        if (offers_) offers_->abandon();  // first: no asking thread is in the loop from here on
        offers_ = nullptr;
        for (py::object *held : {&timeout_handling_, &clock_, &timeout_ms_, &cam_, &old_cam_, &converter_,
                                 &other_format_, &held_, &frame_})
            held->release();
        native_.abandon();
    }

    py::handle self_;
    py::object timeout_handling_, clock_, timeout_ms_;
    py::object cam_, old_cam_, converter_;  // this pass's; a camera replaced under the loop
    py::object other_format_;  // a converter whose conversions give another output format
    py::object held_;          // the grab result retrieved through the binding, held until the next is in
    py::object frame_;         // the frame being published
    std::optional<bool> grabbing_;  // the camera cam_'s answer for the next pass, when this one asked it
    Clock::time_point last_success_;
    Step step_ = Step::next;
    Route route_ = Route::binding;
    bool no_success_ = false, other_format_seen_ = false;  // the last native pass's, noted without the GIL
    NativePass native_;
    Offers *offers_ = nullptr;
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
    if (auto let_go = capture([&] { if (loop) loop->end(); }); !ended) ended = std::move(let_go);
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
