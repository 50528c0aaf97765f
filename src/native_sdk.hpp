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

}  // namespace zun::native

namespace zun {

// grab_result.GrabSucceeded(), from the SDK's own grab result data where the
// result is the binding's.
bool grab_succeeded(py::handle grab_result);

}  // namespace zun
