// The grab result's success test, without a call into the binding.
//
// The binding's GrabResult wraps the SDK's Pylon::CGrabResultPtr.  Its
// GrabSucceeded() lets go of the GIL and wins it back; the SDK's base library
// answers the same from the result's data through two exported getters that
// only read memory and take no lock: CGrabResultPtr::GetPtr() (the data, or
// null when the result refers to none) and CGrabResultData::GrabSucceeded().
// They are trusted once they have given the binding's own answer for one
// result in the process; a result they are not made for, or one that refers
// to no data, is asked of the binding, which raises as it always does.
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

enum class Route { untried, native, binding };

// One per process, read and written with the GIL held.
struct GrabTest {
    Route route = Route::untried;
    const void *(*data_of)(const void *) = nullptr;  // CGrabResultPtr::GetPtr() const
    bool (*succeeded)(const void *) = nullptr;       // CGrabResultData::GrabSucceeded() const
    const void *data_type = nullptr;                 // CGrabResultData's run-time type information
    PyTypeObject *result_class = nullptr;            // the binding's wrapper class of CGrabResultPtr
    PyTypeObject *handle_type = nullptr;             // the type of its handle on the C++ object
};

GrabTest &test() {
    static GrabTest t;
    return t;
}

bool binding_answer(py::handle result) { return truthy(call(result, names().GrabSucceeded)); }

// The SDK's data of a result of the binding's, or null.
const void *data_of(py::handle result) {
    const GrabTest &t = test();
    PyObject *handle = PyObject_GetAttr(result.ptr(), names().this_);
    if (!handle) {
        PyErr_Clear();
        return nullptr;
    }
    const void *data = nullptr;
    if (Py_TYPE(handle) == t.handle_type)
        if (const void *object = native::object_of(handle)) data = t.data_of(object);
    Py_DECREF(handle);
    return data && native::exactly(data, t.data_type) ? data : nullptr;
}

// Finds the getters in the library the binding loaded; returns why they
// cannot be used, or nothing.
std::string resolve(py::handle result) {
    GrabTest &t = test();
    std::string why = native::switched_off();
    if (!why.empty()) return why;
    py::object handle = py::getattr(result, names().this_, py::none());
    if (!(why = native::check_handle(handle, "Pylon::CGrabResultPtr", "the grab result")).empty()) return why;
    native::Library library;
    if (!(why = native::find_library("libpylonbase.so", library)).empty()) return why;
    why = library.take({
        {&t.data_of, "_ZNK5Pylon14CGrabResultPtr6GetPtrEv"},
        {&t.succeeded, "_ZNK5Pylon15CGrabResultData13GrabSucceededEv"},
        {&t.data_type, "_ZTIN5Pylon15CGrabResultDataE"},
    });
    if (!why.empty()) return why;
    t.result_class = Py_TYPE(result.ptr());
    Py_INCREF(t.result_class);
    t.handle_type = Py_TYPE(handle.ptr());
    return "";
}

void give_up(const std::string &why) {
    test().route = Route::binding;
    log_info("Grab results: the binding's GrabSucceeded, as the native test is not taken: " + why + ".");
}

}  // namespace

bool grab_succeeded(py::handle result) {
    GrabTest &t = test();
    if (t.route == Route::native) {
        const void *data = Py_TYPE(result.ptr()) == t.result_class ? data_of(result) : nullptr;
        return data ? t.succeeded(data) : binding_answer(result);
    }
    if (t.route == Route::binding || !native::binding_class(Py_TYPE(result.ptr()), "GrabResult")) return binding_answer(result);

    // The first result of the binding's: find the getters, then check them
    // once against the binding's own answer for the same result.
    std::string why = resolve(result);
    if (!why.empty()) {
        give_up(why);
        return binding_answer(result);
    }
    const void *data = data_of(result);
    bool answer = binding_answer(result);
    if (!data) {
        give_up("the first grab result's data is not a plain Pylon::CGrabResultData");
    } else if (t.succeeded(data) != answer) {
        give_up("the SDK's success flag differs from the binding's answer");
    } else {
        t.route = Route::native;
        log_info(std::string("Grab results: native, the SDK's own success flag (checked against the binding's answer)."));
    }
    return answer;
}

}  // namespace zun
