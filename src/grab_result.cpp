// The grab result's success test, without a call into the binding.
//
// The binding's GrabResult wraps the SDK's Pylon::CGrabResultPtr.  Its
// GrabSucceeded() lets go of the GIL and wins it back; the SDK's base library
// answers the same from the result's data through two exported getters that
// only read memory and take no lock.  They are trusted once they have given
// the binding's own answer for one result in the process; a result they are
// not made for, or one that refers to no data, is asked of the binding, which
// raises as it always does.
#include "native_sdk.hpp"

namespace zun {
namespace {

struct Names {
    PyObject *GrabSucceeded = intern("GrabSucceeded"), *this_ = intern("this");
};

const Names &names() {
    static const Names n;
    return n;
}

// One per process, read and written with the GIL held.
struct GrabTest {
    native::Seam seam{"Grab results", "test", "the SDK's own success flag (checked against the binding's answer)"};
    native::SuccessTest test;
    PyTypeObject *result_class = nullptr;  // the binding's wrapper class of CGrabResultPtr
    PyTypeObject *handle_type = nullptr;   // the type of its handle on the C++ object
};

GrabTest &state() {
    static GrabTest *t = new GrabTest;  // used up to the interpreter's very end
    return *t;
}

const char *const fallback = "the binding's GrabSucceeded";

bool binding_answer(py::handle result) { return truthy(call(result, names().GrabSucceeded)); }

// The native answer for a result of the binding's: 1 or 0, or -1 when it has
// none (no handle of the expected type, no plain data).
int native_answer(py::handle result) {
    const GrabTest &t = state();
    PyObject *handle = PyObject_GetAttr(result.ptr(), names().this_);
    if (!handle) {
        PyErr_Clear();
        return -1;
    }
    const void *object = Py_TYPE(handle) == t.handle_type ? native::object_of(handle) : nullptr;
    Py_DECREF(handle);
    return object ? t.test.answer(object) : -1;
}

// Finds the getters in the library the binding loaded; returns why they
// cannot be used, or nothing.
std::string resolve(py::handle result) {
    GrabTest &t = state();
    py::object handle = py::getattr(result, names().this_, py::none());
    std::string why = native::check_handle(handle, "Pylon::CGrabResultPtr", "the grab result");
    if (!why.empty()) return why;
    native::Library library;
    if (!(why = native::find_library("libpylonbase.so", library)).empty()) return why;
    if (!(why = t.test.take(library)).empty()) return why;
    t.result_class = Py_TYPE(result.ptr());
    Py_INCREF(t.result_class);
    t.handle_type = Py_TYPE(handle.ptr());
    return "";
}

}  // namespace

bool grab_succeeded(py::handle result) {
    GrabTest &t = state();
    if (t.seam.native()) {
        int answer = Py_TYPE(result.ptr()) == t.result_class ? native_answer(result) : -1;
        return answer >= 0 ? answer != 0 : binding_answer(result);
    }
    if (!native::binding_class(Py_TYPE(result.ptr()), "GrabResult") ||
        !t.seam.start_check([&] { return resolve(result); }, fallback))
        return binding_answer(result);

    // The first result of the binding's: check the getters once against the
    // binding's own answer for the same result.
    int native = native_answer(result);
    bool answer = false;
    if (auto error = capture([&] { answer = binding_answer(result); })) {
        t.seam.retry();
        throw *error;
    }
    if (native < 0)
        t.seam.give_up(fallback, "the first grab result's data is not a plain Pylon::CGrabResultData");
    else if ((native != 0) != answer)
        t.seam.give_up(fallback, "the SDK's success flag differs from the binding's answer");
    else
        t.seam.trust();
    return answer;
}

}  // namespace zun
