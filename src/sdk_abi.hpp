// The SDK's own C++ libraries below the binding, as the grab pass calls them:
// where the binding loaded them, the one table of the calls, and the one seam
// that decides, once per process, whether the pass makes those calls itself.
//
// Every call into the binding lets go of the GIL and must win it back, which
// can cost a whole switch interval while the application runs Python.  The
// binding's camera and converter are the SDK's CInstantCamera and
// CImageFormatConverter, whose libraries (loaded by the binding) export every
// call a pass makes.  Each call is taken only from the library the binding
// itself loaded (nothing is loaded here), declared from its exported name (no
// SDK header is used), made only on exactly the class it belongs to, told by
// run-time type information, and trusted only once the process's one check
// has seen it give the binding's own answers.  The two objects the module
// makes itself, grab result pointers and images, live in storage of the
// module's whose size their classes do not export: it is found by the bytes
// their constructors write into storage filled with a pattern, and checked to
// stay within half of it.  ZUN_NATIVE_FRAMES=0 in the environment turns all
// of it off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include "common.hpp"

namespace zun::sdk {

// Why the SDK's calls are not taken, as the seam's one log line says it.
struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Room for one grab result pointer or one image: at least twice what its
// constructor was seen to write.
struct alignas(16) Storage {
    static constexpr std::size_t room = 256;
    static constexpr unsigned char pattern = 0xA5;
    unsigned char bytes[room];
    Storage() { std::memset(bytes, pattern, room); }
    // How far into the storage the object reaches: its last byte that is not
    // the pattern.
    std::size_t reach() const {
        std::size_t n = room;
        while (n && bytes[n - 1] == pattern) --n;
        return n;
    }
    bool within_half() const { return reach() <= room / 2; }
};

// The calls of a grab pass, as the SDK's libraries export them.  Resolved
// once per process by the seam's first check, unchanged afterwards; the grab
// threads call them without the GIL.
struct Api {
    bool (*is_grabbing)(const void *camera);
    bool (*retrieve)(void *camera, unsigned timeout_ms, void *result, int timeout_handling);
    void (*result_made)(void *result);
    void (*result_destroyed)(void *result);
    void (*result_released)(void *result);
    void *(*result_assigned)(void *result, const void *from);
    const void *(*result_data)(const void *result);  // operator->(): raises for a result without data
    bool (*grab_succeeded)(const void *data);         // CGrabResultData::GrabSucceeded() const
    const void *(*result_image)(const void *result);  // operator IImage&()
    void (*convert)(void *converter, void *reusable_image, const void *image);
    void (*image_made)(void *image);
    void (*image_destroyed)(void *image);
    void *(*buffer)(void *image);
    std::size_t (*image_size)(const void *image);
    std::uint32_t (*width)(const void *image);
    std::uint32_t (*height)(const void *image);
    std::int64_t (*pixel_type)(const void *image);  // an enumeration, returned in a full register
    const void *camera_type, *converter_type, *image_type;  // run-time type information
    std::ptrdiff_t reusable;      // where a CPylonImage's IReusableImage lies in it
    std::int64_t bgr8;            // the SDK's value of BGR 8-bit packed
    int throw_on_timeout;         // the SDK's TimeoutHandling_ThrowException
    PyTypeObject *handle_type;    // the binding's handles on its C++ objects
};
const Api &api();

// True when `object` is of the binding's own class `name` ("InstantCamera"),
// or of a subclass of it that overrides none of `calls`.
bool binding_class(py::handle object, const char *name, std::initializer_list<const char *> calls);

// The C++ object behind `object`'s handle (`object.this`) when it is exactly
// of the class whose run-time type information is `type`; else null.
void *object_behind(py::handle object, const void *type);

// The Pylon::CGrabResultPtr behind one of the binding's grab results; null
// for a result of another class.
void *grab_result_behind(py::handle result);

// Inside a handler of any C++ exception: its text as the binding would give
// it (what() of a standard exception or of the SDK's GenericException), else
// its type's name.
std::string current_error_text();

// The process's one decision: the native pass, or the binding's calls.  Its
// state is read and written with the GIL held, so grab threads that start
// together check once, and its one log line says which way frames go and why.
class Seam {
public:
    bool native() const { return state_ == State::native; }
    bool untried() const { return state_ == State::untried; }
    // When untried: resolves the SDK's calls (once), `cam` showing the
    // binding's handles.  True when the caller is to check the native pass
    // now; it ends the check with trust, give_up or retry.  A refusal gives
    // up, with its line; any other exception leaves the seam untried.
    bool start_check(py::handle cam);
    void trust();
    void give_up(const std::string &why);
    // The check was not decided on this pass: a later one checks.
    void retry() { state_ = State::untried; }

private:
    enum class State { untried, checking, native, binding };
    State state_ = State::untried;
    bool resolved_ = false;
};
Seam &seam();

}  // namespace zun::sdk
