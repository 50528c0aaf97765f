// The grab loop's pass through the SDK's own libraries.
#include "native_pass.hpp"

namespace zun {

struct NativePass::Slot : sdk::Storage {};

namespace {
constexpr unsigned timeout_ms = 5000;

std::string text_of(const std::exception_ptr &error) {
    try {
        std::rethrow_exception(error);
    } catch (...) {
        return sdk::current_error_text();
    }
}
}  // namespace

bool NativePass::adopt(py::handle cam, py::handle converter) {
    if (cam.is(taken_camera_) && converter.is(taken_converter_)) return true;
    const sdk::Api &a = sdk::api();
    taken_camera_ = taken_converter_ = py::object();
    // The binding's classes, and exactly the SDK's classes below them: the
    // calls are theirs.
    if (!binding_objects(cam, converter)) return false;
    void *camera = sdk::object_behind(cam, a.camera_type), *object = sdk::object_behind(converter, a.converter_type);
    if (!camera || !object) return false;
    camera_ = camera;
    converter_ = object;
    taken_camera_ = py::reinterpret_borrow<py::object>(cam);
    taken_converter_ = py::reinterpret_borrow<py::object>(converter);
    return true;
}

void NativePass::pass() {
    const sdk::Api &a = sdk::api();
    outcome_ = Outcome();
    try {
        for (Slot *&slot : slots_)
            if (!slot) {
                slot = new Slot;
                a.result_made(slot->bytes);
            }
        // The previous result is let go of only once the next one is in.
        int next = current_ == 0 ? 1 : 0;
        a.retrieve(camera_, timeout_ms, slots_[next]->bytes, a.throw_on_timeout);
        if (current_ >= 0) a.result_released(slots_[current_]->bytes);
        current_ = next;
        convert(slots_[current_]->bytes);
    } catch (...) {
        outcome_.error = std::current_exception();
    }
}

// The success test, the conversion and the camera's answer for the next pass,
// on the grab result at `result`.  A result without data raises the SDK's
// own error, as the binding's success test does.
void NativePass::convert(void *result) {
    const sdk::Api &a = sdk::api();
    if ((outcome_.succeeded = a.grab_succeeded(a.result_data(result)))) {
        outcome_.image = images::take();
        a.convert(converter_, outcome_.image->bytes + a.reusable, a.result_image(result));
        if (!bgr_frame(*outcome_.image)) {
            images::give_back(outcome_.image);
            outcome_.image = nullptr;
            outcome_.other_format = true;
        }
    }
    outcome_.grabbing = a.is_grabbing(camera_);
    images::trim();
}

py::object NativePass::frame() {
    py::object frame = frame_over(outcome_.image);
    outcome_.image = nullptr;
    return frame;
}

void NativePass::raise_error() {
    if (!outcome_.error) return;
    std::exception_ptr error = outcome_.error;
    outcome_.error = nullptr;
    if (outcome_.image) images::give_back(outcome_.image);
    outcome_.image = nullptr;
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc &) {
        throw;
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, sdk::current_error_text().c_str());
    }
    throw py::error_already_set();
}

NativePass::Checked NativePass::binding_answers(py::handle cam, py::handle converter, py::handle result) {
    static PyObject *const GrabSucceeded = intern("GrabSucceeded"), *const Convert = intern("Convert"),
                           *const GetArray = intern("GetArray"), *const IsGrabbing = intern("IsGrabbing");
    Checked out;
    out.succeeded = truthy(call(result, GrabSucceeded));
    if (out.succeeded) out.frame = call(call(converter, Convert, result), GetArray);
    out.grabbing = truthy(call(cam, IsGrabbing));
    return out;
}

void NativePass::check_natively(void *result) {
    const sdk::Api &a = sdk::api();
    outcome_ = Outcome();
    Slot slot;  // the binding's result, held by a pointer of the module's
    a.result_made(slot.bytes);
    a.result_assigned(slot.bytes, result);
    try {
        convert(slot.bytes);
    } catch (...) {
        outcome_.error = std::current_exception();
    }
    guarded_ = slot.within_half() && (!outcome_.image || outcome_.image->within_half());
    a.result_released(slot.bytes);
    a.result_destroyed(slot.bytes);
}

void NativePass::decide(Checked &out) {
    sdk::Seam &seam = sdk::seam();
    std::string why;
    auto comparing = capture([&] {
        if (outcome_.error)
            why = "the SDK raised: " + text_of(outcome_.error);
        else if (outcome_.succeeded != out.succeeded)
            why = "the SDK's success flag differs from the binding's answer";
        else if (outcome_.grabbing != out.grabbing)
            why = "the SDK's answer to IsGrabbing differs from the binding's";
        else if (!guarded_)
            why = "the grab result pointer or the image wrote beyond the room measured for it";
        else if (outcome_.image && !same_pixels(out.frame, *outcome_.image))
            why = "the converted pixels differ from the binding's conversion of the same grab result";
    });
    outcome_.error = nullptr;
    bool trusted = !comparing && why.empty() && outcome_.image;
    if (!trusted && outcome_.image) {
        images::give_back(outcome_.image);
        outcome_.image = nullptr;
    }
    if (comparing) {
        seam.retry();
        throw *comparing;
    }
    out.other_format = outcome_.other_format;
    if (!why.empty())
        seam.give_up(why);
    else if (!trusted)  // checked on a successful grab with a BGR frame only
        seam.retry();
    else {
        seam.trust();
        out.frame = frame();
    }
}

void NativePass::let_go() {
    const sdk::Api &a = sdk::api();
    if (current_ >= 0)
        for (Slot *slot : slots_) a.result_released(slot->bytes);
    current_ = -1;
    for (Slot *&slot : slots_)
        if (slot) {
            a.result_destroyed(slot->bytes);
            delete slot;
            slot = nullptr;
        }
    if (outcome_.image) images::give_back(outcome_.image);
    outcome_.image = nullptr;
    images::trim();
}

}  // namespace zun
