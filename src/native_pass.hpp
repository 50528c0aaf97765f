// The grab loop's pass through the SDK's own libraries (sdk_abi.hpp), with
// the GIL let go of: retrieve the next result (the previous one is let go of
// only once it is in), test its success, convert it into one of the module's
// images, and ask whether the camera still grabs, for the next pass.  What
// needs the GIL (the frame, its publication) is the loop's, done by whoever
// holds the GIL (publishing.hpp).
#pragma once

#include <exception>

#include "frames.hpp"

namespace zun {

class NativePass {
public:
    NativePass() { images::loop_started(); }
    NativePass(const NativePass &) = delete;
    NativePass &operator=(const NativePass &) = delete;

    // With the GIL: takes `cam` and `converter` for the passes.  False when
    // they are not the binding's own C++ objects (the binding then makes the
    // calls).  The loop lets go of the results of a camera taken before
    // (let_go) before it takes another.
    bool adopt(py::handle cam, py::handle converter);
    // True when `cam` and `converter` are of the binding's own classes, or of
    // subclasses that leave the pass's calls to them.
    static bool binding_objects(py::handle cam, py::handle converter) {
        return sdk::binding_class(cam, "InstantCamera", {"IsGrabbing", "RetrieveResult"}) &&
               sdk::binding_class(converter, "ImageFormatConverter", {"Convert"});
    }
    // Forgets the Python references held here (the thread is being ended).
    void abandon() {
        taken_camera_.release();
        taken_converter_.release();
    }
    // The results held are of the camera taken last.
    bool holds_result() const { return current_ >= 0; }

    struct Outcome {
        bool succeeded = false, grabbing = false;
        bool other_format = false;  // a successful grab converted into no BGR 8-bit frame
        Image *image = nullptr;     // the frame's image, until frame() takes it
        std::exception_ptr error;   // the SDK's error
    };
    // One pass, without the GIL.
    void pass();
    const Outcome &outcome() const { return outcome_; }
    // With the GIL: the frame of the last pass.
    py::object frame();
    // With the GIL: the SDK's error of the last pass, if it had one, raised
    // as a RuntimeError with the SDK's own text.
    void raise_error();

    // With the GIL, on the result of the process's check pass, retrieved
    // through the binding from `cam`: the binding's answers for it, and the
    // same result through the SDK's libraries, which must give the same
    // success, the same pixels byte for byte and the same IsGrabbing.  Ends
    // the seam's check: trusted, given up, or left to a later pass (an
    // undecided pass, or the binding raising).  What the pass found.
    struct Checked {
        bool succeeded = false, grabbing = false, other_format = false;
        py::object frame;
    };
    template <class Abandon>
    Checked check(py::handle cam, py::handle converter, py::handle result, Abandon &&abandon) {
        Checked out;
        void *behind = nullptr;
        auto failure = capture([&] {
            out = binding_answers(cam, converter, result);
            behind = sdk::grab_result_behind(result);
        });
        if (failure || !behind) {  // the binding raised, or its result is of another class
            sdk::seam().retry();
            if (failure) throw *failure;
            return out;
        }
        without_gil([&] { check_natively(behind); }, [&] {
            out.frame.release();
            abandon();
        });
        decide(out);
        return out;
    }

    // Without the GIL: lets go of the results held, the storage for them,
    // and the spare images beyond the few kept: when the loop ends, and when
    // another camera is taken.
    void let_go();
    ~NativePass() { images::loop_ended(); }

private:
    struct Slot;
    void convert(void *result);
    Checked binding_answers(py::handle cam, py::handle converter, py::handle result);
    void check_natively(void *result);
    void decide(Checked &binding);

    void *camera_ = nullptr, *converter_ = nullptr;  // the C++ objects of the ones taken
    py::object taken_camera_, taken_converter_;      // the ones taken
    Slot *slots_[2] = {nullptr, nullptr};  // the previous and the current grab result
    int current_ = -1;                     // the slot holding a result, or -1
    Outcome outcome_;
    bool guarded_ = true;  // the check's: nothing written beyond the room measured
};

}  // namespace zun
