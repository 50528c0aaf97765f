// Shared plumbing of the extension module: the module object, its
// attributes, the two output channels (module log and standard output), and
// the error boundary of the entry points that the interpreter calls.
#pragma once

#include <pybind11/pybind11.h>

#include <cxxabi.h>

#include <new>
#include <optional>
#include <string>
#include <utility>

namespace py = pybind11;

namespace zun {

// The module object, set once during import and kept for the process's life.
// Libraries are looked up through it on every use, so an application that
// replaces `zun_camera_basler.cv2` (or a test that does) is obeyed.
py::module_ module();
void set_module(py::module_ m);

inline py::object mod_attr(const char *name) { return module().attr(name); }

// The interpreter's print as a bare `print` in a Python module finds it: looked
// up in the builtins at each call, so an application that replaces
// builtins.print gets the module's operator lines, and with sys.stdout set to
// None they go nowhere without an error.
py::object builtin_print_function();

// Operator lines: print(*args) through the interpreter's print.
template <class... Args>
void builtin_print(Args &&...args) {
    builtin_print_function()(std::forward<Args>(args)...);
}

// No bare print(...) in this namespace: argument-dependent lookup would take
// it to pybind11::print for any pybind11 argument, and that one writes to
// sys.stdout itself on some pybind11 versions.  Such a call does not compile
// (it is deleted, or ambiguous with pybind11's).
template <class... Args>
void print(Args &&...) = delete;

// The module logger `l`.
void log_info(const py::object &text);
void log_error(const py::object &text);
inline void log_info(const std::string &text) { log_info(py::str(text)); }
inline void log_error(const std::string &text) { log_error(py::str(text)); }

// The text of the Python exception held by `e`: str(exception).
py::str error_text(const py::error_already_set &e);

// Python's concatenation of two texts.
inline py::str concat(const py::handle &a, const py::handle &b) {
    PyObject *r = PyUnicode_Concat(a.ptr(), b.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r);
}

// Interpreter's truth test; raises what __bool__ raises.
inline bool truthy(const py::handle &obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// Interpreter's ==; raises what __eq__ raises.
inline bool equals(const py::handle &a, const py::handle &b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// A name interned once and kept for the life of the process.
inline PyObject *intern(const char *s) {
    PyObject *name = PyUnicode_InternFromString(s);
    if (!name) throw py::error_already_set();
    return name;
}

// obj.name, and obj.name = value, by interned name.
inline py::object get(py::handle obj, PyObject *name) {
    PyObject *r = PyObject_GetAttr(obj.ptr(), name);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

inline void set(py::handle obj, PyObject *name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

#if PY_VERSION_HEX < 0x03090000
// The interpreter's own method look-up (what its LOAD_METHOD does), exported
// by CPython 3.7 and 3.8 without a declaration: the function found on the
// type, when it is one, with true; else the bound attribute, with false.
extern "C" int _PyObject_GetMethod(PyObject *obj, PyObject *name, PyObject **method);
#endif

// obj.method(*args), as the interpreter's own method call makes it: no
// bound method and no argument tuple (through the vectorcall protocol from
// Python 3.9 on).
template <class... Args>
py::object call(py::handle obj, PyObject *method, Args... args) {
#if PY_VERSION_HEX >= 0x03090000
    // A spare first slot lets the callee prepend a bound self without copying.
    PyObject *stack[] = {nullptr, obj.ptr(), args.ptr()...};
    PyObject *r = PyObject_VectorcallMethod(method, stack + 1,
                                            (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
#else
    PyObject *function = nullptr;
    bool unbound = _PyObject_GetMethod(obj.ptr(), method, &function) != 0;
    if (!function) throw py::error_already_set();
    PyObject *stack[] = {obj.ptr(), args.ptr()...};
    PyObject *r = unbound ? _PyObject_FastCallDict(function, stack, 1 + sizeof...(Args), nullptr)
                          : _PyObject_FastCallDict(function, stack + 1, sizeof...(Args), nullptr);
    Py_DECREF(function);
#endif
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// Lets go of the GIL for `work`, which touches no Python object, and takes it
// back by a plain call, never from a destructor.  While the interpreter
// finalizes, CPython ends a thread that asks for the GIL by unwinding its
// stack (pthread_exit); `abandon` then forgets the Python references that
// the unwinding would otherwise drop without the GIL, and the unwinding goes on.
template <class Work, class Abandon>
void without_gil(Work &&work, Abandon &&abandon) {
    PyThreadState *state = PyEval_SaveThread();
    auto take_back = [&] {
        // Nothing but that unwinding leaves the call; the guard's destructor
        // runs only then, and touches no Python object.
        struct Forget {
            Abandon &abandon;
            bool unwinding = true;
            ~Forget() {
                if (unwinding) abandon();
            }
        } forget{abandon};
        PyEval_RestoreThread(state);
        forget.unwinding = false;
    };
    try {
        work();
    } catch (...) {
        take_back();
        throw;
    }
    take_back();
}

// sys.exit() through the module's `sys`: raises SystemExit without a code.
[[noreturn]] void exit_request();

// Registers the class and its methods on the module (camera.cpp).
py::object make_camera_class(py::module_ &m);

// The error boundary.  Inside, the module raises C++ exceptions, mostly
// pybind11's; every entry point that the interpreter calls converts whatever
// arrives there into the Python error it stands for, so that none passes into
// C.  The rule, in one place:
//   a Python error (error_already_set)            that error
//   pybind11's own (cast_error, index_error, ...)  the Python type it names
//   a failed allocation (std::bad_alloc)          MemoryError
//   any other std::exception                      RuntimeError with its text
//   anything else                                 SystemError
// The forced unwinding that ends a thread (pthread_exit, cancellation) is
// no error and goes on unwinding.  It carries no C++ object: its handler
// binds a reference to nothing, as the C library's own idiom has it, which
// the sanitizer's null check is told to let be.  To be called inside a catch
// block only.
__attribute__((no_sanitize("null"))) inline void set_error_from_current_exception() {
    try {
        throw;
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in zun_camera_basler");
    }
}

// Runs `body` and hands back, as a Python error, whatever it raised; nothing
// when it completed.
template <class F>
std::optional<py::error_already_set> capture(F &&body) {
    try {
        body();
        return std::nullopt;
    } catch (py::error_already_set &e) {
        return std::move(e);
    } catch (...) {
        set_error_from_current_exception();
    }
    return py::error_already_set();
}

// The C entry of a method, or of the module: runs `body`, returns its result
// as a new reference, or sets the Python error and returns nullptr.
template <class F>
PyObject *entry(F &&body) {
    try {
        py::object result = body();
        return result.release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace zun
