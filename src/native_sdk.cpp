// Finding the SDK's libraries where the binding loaded them, and the C++
// objects behind the binding's handles.
#include "native_sdk.hpp"

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
#include <cstring>

namespace zun::native {
namespace {

std::string realpath_of(const std::string &path) {
    char *real = realpath(path.c_str(), nullptr);
    std::string result = real ? real : "";
    std::free(real);
    return result;
}

struct LibrarySearch {
    const char *stem;
    std::string folder, found;
};

// The library named stem... among those loaded from the binding's folder.
int find_loaded(dl_phdr_info *info, std::size_t, void *data) {
    auto *search = static_cast<LibrarySearch *>(data);
    const char *name = info->dlpi_name;
    const char *slash = name ? std::strrchr(name, '/') : nullptr;
    if (!slash || std::strncmp(slash + 1, search->stem, std::strlen(search->stem)) != 0) return 0;
    if (realpath_of(std::string(name, slash)) != search->folder) return 0;
    search->found = name;
    return 1;
}

}  // namespace

std::string switched_off() {
    const char *off = std::getenv(route_switch);
    if (off && std::string(off) == "0") return std::string("it is switched off (") + route_switch + "=0)";
    return "";
}

void *Library::symbol(const char *name) const {
    void *address = dlsym(handle, name);
    Dl_info info;
    if (!address || !dladdr(address, &info) || !info.dli_fname || file != info.dli_fname) return nullptr;
    return address;
}

std::string Library::take(std::initializer_list<Wanted> wanted) const {
    for (const Wanted &w : wanted) {
        void *address = symbol(w.name);
        if (!address) return file + " does not export " + w.name;
        std::memcpy(w.slot, &address, sizeof address);
    }
    return "";
}

bool binding_class(PyTypeObject *type, const char *name) {
    return std::strcmp(type->tp_name, name) == 0 &&
           py::getattr(mod_attr("pylon"), name, py::none()).ptr() == reinterpret_cast<PyObject *>(type);
}

std::string find_library(const char *stem, Library &out) {
    py::object file = py::getattr(mod_attr("pylon"), "__file__", py::none());
    if (!py::isinstance<py::str>(file)) return "the binding's folder is unknown";
    std::string path = file.cast<std::string>();
    LibrarySearch search{stem, realpath_of(path.substr(0, path.rfind('/'))), ""};
    if (search.folder.empty() || !dl_iterate_phdr(find_loaded, &search))
        return std::string("the binding has not loaded ") + stem + " from " +
               (search.folder.empty() ? path : search.folder);
    // The loaded copy itself (RTLD_NOLOAD loads nothing); the handle is kept,
    // as the binding keeps the library loaded for the life of the process.
    void *handle = dlopen(search.found.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return search.found + " cannot be opened where it is loaded";
    out = Library{handle, search.found};
    return "";
}

std::string check_handle(py::handle handle, const char *cxx_type, const char *what) {
    std::string text = py::str(py::repr(handle));
    if (std::string(Py_TYPE(handle.ptr())->tp_name) != "SwigPyObject" ||
        text.find(std::string("'") + cxx_type + " *'") == std::string::npos)
        return std::string(what) + " is not a wrapped " + cxx_type + " (" + text + ")";
    // The address the handle gives as a number is the one its object holds.
    PyObject *number = PyNumber_Long(handle.ptr());
    void *address = number ? PyLong_AsVoidPtr(number) : nullptr;
    Py_XDECREF(number);
    PyErr_Clear();
    if (!address || address != object_of(handle)) return std::string(what) + "'s handle holds no C++ object";
    return "";
}

bool exactly(const void *object, const void *type_info) {
    // The virtual table points just past the offset to the top of the
    // object and its run-time type information.
    auto *const *vtable = *static_cast<void *const *const *>(object);
    return vtable && vtable[-1] == type_info && vtable[-2] == nullptr;
}

}  // namespace zun::native
