// The grab loop's pass through the SDK's own libraries, below the binding.
//
// Every call of a pass into the binding lets go of the GIL and must win it
// back, which can cost a whole switch interval while the application runs
// Python.  The binding's camera and converter are the SDK's CInstantCamera
// and CImageFormatConverter, whose libraries (loaded by the binding) export
// every call a pass makes: the pass makes them itself with the GIL released
// (is the camera grabbing, retrieve the next result, its success, convert it
// into an image of the module's, let go of the previous result) and takes
// the GIL once, for the loop to publish the frame.
#pragma once

#include <functional>
#include <optional>

#include "common.hpp"

namespace zun {

namespace native {
// One of the module's own images: a Pylon::CPylonImage in storage of the
// module's, lent to one frame at a time and then kept for the next.
struct PooledImage;
// Takes back an image whose frame has died (GIL held).
void give_back(PooledImage *image);
}  // namespace native

// A grab thread that has let go of the GIL must win it back, which while the
// application runs Python can take a whole switch interval.  A thread of the
// application that asks for the newest frame meanwhile lets it in first, and
// gets the frame it brings: it lets go of the GIL until a grab thread coming
// back has won it, for at most a millisecond.  Called with the GIL held.
void let_grab_threads_in();
// A grab thread is on its way back to the GIL from the announcement to
// back(); either is called with the GIL held or let go of.
void coming_back();
void back();

// `work` done without the GIL, announced as done when it is: for a grab
// thread's work whose end is worth waiting for.
template <class Work, class Abandon>
void without_gil_announced(Work &&work, Abandon &&abandon) {
    bool on_the_way = false;
    auto arrived = [&] {
        if (on_the_way) back();
        on_the_way = false;
    };
    without_gil([&] {
        work();
        coming_back();
        on_the_way = true;
    }, [&] {
        arrived();
        abandon();
    });
    arrived();
}

// `work` done with the GIL held, where a call of the binding's inside lets
// go of it and takes it back at once.
template <class Work>
void announced(Work &&work) {
    coming_back();
    try {
        work();
    } catch (...) {
        back();
        throw;
    }
    back();
}

// One grab loop's hold on the SDK below the binding: the camera and converter
// it works on and the grab results it holds.  Used with the GIL held except
// where said.
class NativeGrab {
public:
    NativeGrab();
    ~NativeGrab();
    NativeGrab(const NativeGrab &) = delete;
    NativeGrab &operator=(const NativeGrab &) = delete;

    enum class Route {
        binding,  // the binding's calls
        check,    // the binding's calls, and check() after the retrieval: the process's one check
        native,   // pass()
    };
    // The way of the next pass for this camera and converter.
    Route route(py::handle cam, py::handle converter);

    struct Outcome {
        bool succeeded = false;
        py::object frame;               // the frame of a successful grab (none: it made no frame)
        std::optional<bool> grabbing;   // the camera's answer for the next pass, asked at the end of this one
    };
    // One pass, the GIL let go of once.  An error of the SDK's is raised as a
    // RuntimeError with the SDK's own text.  `abandon` is called should the
    // interpreter end the thread while it takes the GIL back.
    template <class Abandon>
    Outcome pass(Abandon &&abandon);
    // After the binding retrieved `result` from the camera of a pass routed
    // to the check: the process's one check of the native pass against the
    // binding, unless another grab thread has started it meanwhile (then no
    // outcome: the binding's calls go on with the result).  The outcome of a
    // failed check is the binding's.
    template <class Abandon>
    std::optional<Outcome> check(py::handle cam, py::handle converter, py::handle result, Abandon &&abandon);

    bool holds_result() const { return current_ >= 0; }
    // Lets go of the grab results this loop holds and of the pool's spare
    // images beyond the few it keeps, the GIL released.
    template <class Abandon>
    void let_go(Abandon &&abandon) {
        without_gil([&] { let_go_unlocked(); }, [&] {
            this->abandon();
            abandon();
        });
    }
    // Forgets the Python references held here (the thread is being ended).
    void abandon();

private:
    struct Stretch;
    // The pass's work without the GIL: retrieve the next result (or, for
    // the check, take the one at `checked`), test its success, convert it,
    // ask the camera; the SDK's errors end up in `s`.
    void stretch(Stretch &s, void *checked = nullptr);
    Outcome finish(Stretch &s);        // the pass's end, with the GIL
    bool start_check(py::handle cam, py::handle converter);
    Outcome compare(py::handle result, py::object &binding_copy, bool &decided, const std::function<void()> &abandon);
    static void retry_check();
    void release_results();
    void let_go_unlocked();
    std::string adopt(py::handle cam, py::handle converter);

    py::object cam_, converter_;       // what the C++ objects below belong to
    void *camera_ = nullptr, *converter_object_ = nullptr;
    struct Slot;
    Slot *slots_[2] = {nullptr, nullptr};  // the previous and the current grab result
    int current_ = -1;                     // the slot holding a result, or -1
};

struct NativeGrab::Stretch {
    bool succeeded = false, grabbing = false, no_memory = false;
    native::PooledImage *image = nullptr;
    void *pixels = nullptr;
    Py_ssize_t rows = 0, columns = 0;
    std::string error, unusable;  // the SDK's error; why the converted image makes no frame
};

template <class Abandon>
NativeGrab::Outcome NativeGrab::pass(Abandon &&abandon) {
    Stretch s;
    without_gil_announced([&] { stretch(s); }, [&] {
        this->abandon();
        abandon();
    });
    return finish(s);
}

template <class Abandon>
std::optional<NativeGrab::Outcome> NativeGrab::check(py::handle cam, py::handle converter, py::handle result,
                                                     Abandon &&abandon) {
    if (!start_check(cam, converter)) return std::nullopt;
    py::object binding_copy;
    bool decided = false;
    Outcome out;
    auto error = capture([&] {
        out = compare(result, binding_copy, decided, [&] {
            binding_copy.release();
            this->abandon();
            abandon();
        });
    });
    if (!error) return out;
    if (!decided) retry_check();  // the binding's own calls raised: the next pass checks again
    throw *error;
}

}  // namespace zun
