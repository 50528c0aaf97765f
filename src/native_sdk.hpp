// Answers taken from the SDK's own C++ libraries, which the binding loaded,
// in place of calls into the binding.
//
// A call into the binding lets go of the GIL and must win it back, which can
// cost a whole switch interval while the application runs Python.  Some of
// its questions are answered by plain exported getters of the SDK's own
// libraries that take no lock; those are called here with the GIL held.
// Every such answer is taken only from the library the binding itself loaded
// (nothing is ever loaded here), only for the exact C++ class the getters
// belong to, and only once it has given the binding's own answer for one
// object in the process.  One switch in the environment turns them all off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "common.hpp"

namespace zun::native {

// Set to "0" in the environment, no answer is taken from the SDK's libraries.
inline constexpr const char *route_switch = "ZUN_NATIVE_FRAMES";

// Why answers are not taken from the SDK's libraries at all, or nothing.
std::string switched_off();

// One of the SDK's libraries as the binding loaded it from its own folder.
struct Library {
    void *handle = nullptr;
    std::string file;
    // The address of `name`, defined in this very file; else null.
    void *symbol(const char *name) const;

    struct Wanted {
        void *slot;  // where the address goes: a function pointer or a pointer
        const char *name;
    };
    // Fills every slot with its symbol's address; returns why one of them
    // is not exported, or nothing.
    std::string take(std::initializer_list<Wanted> wanted) const;
};

// True when `type` is the binding's own class pylon.`name` itself, told by
// its type alone, before anything is asked of an object of it: a stand-in
// for the SDK never gets further.
bool binding_class(PyTypeObject *type, const char *name);

// The library whose file name starts with `stem` ("libpylonbase.so"); returns
// why it cannot be had, or nothing.
std::string find_library(const char *stem, Library &out);

// The address of the C++ object behind one of the binding's handles (a
// SwigPyObject: the object's header, then that address).
inline void *object_of(py::handle handle) {
    struct Handle {
        PyObject_HEAD
        void *object;
    };
    return reinterpret_cast<Handle *>(handle.ptr())->object;
}

// Why `handle` (the `this` of `what`) is not the binding's handle on a C++
// object of type `cxx_type` ("Pylon::CPylonImage"), or nothing; it is when
// the address it gives as a number is the one object_of reads.
std::string check_handle(py::handle handle, const char *cxx_type, const char *what);

// True when the polymorphic object at `object` is of exactly the class whose
// run-time type information is `type_info` (not of a class derived from it).
bool exactly(const void *object, const void *type_info);

// Pylon::CPylonImage's getters, as libpylonutility exports them.  Each takes
// the object and returns a pointer, a size or an integer.
struct ImageGetters {
    void *(*buffer)(void *) = nullptr;
    std::size_t (*image_size)(const void *) = nullptr;
    std::uint32_t (*width)(const void *) = nullptr;
    std::uint32_t (*height)(const void *) = nullptr;
    std::int64_t (*pixel_type)(const void *) = nullptr;  // an enumeration held in a full register
    const void *type_info = nullptr;                     // the class's run-time type information
    std::int64_t bgr8 = 0;                               // the SDK's value of BGR 8-bit packed

    // Fills the table from the library; returns why it cannot, or nothing.
    std::string take(const Library &utility);
    // The pixels of the image at `image` when it holds one whole BGR 8-bit
    // packed frame; returns why it does not, or nothing.
    std::string bgr_frame(void *image, void *&pixels, Py_ssize_t &rows, Py_ssize_t &columns) const;
};

// A grab result's success, read from the SDK's own grab result data:
// CGrabResultPtr::GetPtr() const and CGrabResultData::GrabSucceeded() const,
// two getters that only read memory and take no lock.
struct SuccessTest {
    const void *(*data_of)(const void *) = nullptr;
    bool (*succeeded)(const void *) = nullptr;
    const void *data_type = nullptr;  // CGrabResultData's run-time type information

    std::string take(const Library &base);
    // For the CGrabResultPtr at `result`: 1 or 0, or -1 when it refers to no
    // data that is exactly a CGrabResultData.
    int answer(const void *result) const;
};

// Where the base class whose mangled name is `base` ("N5Pylon14IReusableImageE")
// lies within an object of the class whose run-time type information is
// `type_info`, read from that information; -1 unless it is a public,
// non-virtual base found there.
std::ptrdiff_t base_offset(const void *type_info, const char *base);

// Inside a handler of any C++ exception: its text, as the binding would give
// it (what() of a standard exception or of the SDK's GenericException, which
// `gcbase`, the SDK's GenICam base library, defines), else its type's name.
std::string current_error_text(const Library &gcbase);

// One kind of answer taken from the SDK's libraries in place of the
// binding's.  It is resolved and checked once per process, by the first
// caller that may use it; callers meanwhile, and for good once it is given
// up, get the binding's answer.  Its state is read and written with the GIL
// held, so two grab threads that start together resolve it once, and its one
// log line says which answer frames get and why.
class Seam {
public:
    // topic: "Frame pixels"; kind: what is not taken ("route"); trusted: the
    // log line's text for the native answer.
    Seam(const char *topic, const char *kind, const char *trusted) : topic_(topic), kind_(kind), trusted_(trusted) {}

    bool native() const { return state_ == State::native; }
    bool untried() const { return state_ == State::untried; }

    // When untried: runs `resolve` (it returns why the answer cannot be had,
    // or nothing).  On success the caller is the one to check the answer now
    // and returns true, and must end the check with trust, give_up or retry.
    // Otherwise gives up (logged, with `fallback`: what answers instead) and
    // returns false, as it does whenever the seam is not untried.
    template <class Resolve>
    bool start_check(Resolve &&resolve, const std::string &fallback) {
        if (state_ != State::untried) return false;
        std::string why = switched_off();
        if (why.empty()) {
            state_ = State::checking;  // no other caller starts meanwhile
            why = resolve();
        }
        if (!why.empty()) {
            give_up(fallback, why);
            return false;
        }
        return true;
    }
    void trust();
    void give_up(const std::string &fallback, const std::string &why);
    // The check could not be finished (an error, a grab without an image):
    // the next caller tries again.
    void retry() { state_ = State::untried; }

private:
    enum class State { untried, checking, native, binding };
    const char *topic_, *kind_, *trusted_;
    State state_ = State::untried;
};

}  // namespace zun::native

namespace zun {

// grab_result.GrabSucceeded(), from the SDK's own grab result data where the
// result is the binding's.
bool grab_succeeded(py::handle grab_result);

}  // namespace zun
