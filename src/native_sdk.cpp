// Finding the SDK's libraries where the binding loaded them, and the C++
// objects behind the binding's handles.
#include "native_sdk.hpp"

#include "frame_pixels.hpp"

#include <cxxabi.h>
#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <typeinfo>

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
// Called by the C library with the loader's lock held: nothing may unwind
// through it, so a failed allocation only ends the search.
int find_loaded(dl_phdr_info *info, std::size_t, void *data) noexcept {
    auto *search = static_cast<LibrarySearch *>(data);
    const char *name = info->dlpi_name;
    const char *slash = name ? std::strrchr(name, '/') : nullptr;
    if (!slash || std::strncmp(slash + 1, search->stem, std::strlen(search->stem)) != 0) return 0;
    try {
        if (realpath_of(std::string(name, slash)) != search->folder) return 0;
        search->found = name;
    } catch (const std::bad_alloc &) {
        return -1;
    }
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
    if (search.folder.empty() || dl_iterate_phdr(find_loaded, &search) != 1)
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

namespace {

// The public, non-virtual base of `type` (or `type` itself) that `match`
// picks, with its offset in an object of `type`.
template <class Match>
const std::type_info *find_base(const std::type_info *type, const Match &match, std::ptrdiff_t at,
                                std::ptrdiff_t &offset) {
    if (match(type->name())) {
        offset = at;
        return type;
    }
    if (auto *single = dynamic_cast<const abi::__si_class_type_info *>(type))
        return find_base(single->__base_type, match, at, offset);
    if (auto *multiple = dynamic_cast<const abi::__vmi_class_type_info *>(type))
        for (unsigned i = 0; i < multiple->__base_count; ++i) {
            const abi::__base_class_type_info &base = multiple->__base_info[i];
            if (base.__is_virtual_p() || !base.__is_public_p()) continue;
            if (auto *found = find_base(base.__base_type, match, at + base.__offset(), offset)) return found;
        }
    return nullptr;
}

}  // namespace

std::ptrdiff_t base_offset(const void *type_info, const char *base) {
    std::ptrdiff_t offset = -1;
    auto named = [base](const char *name) { return std::strcmp(name, base) == 0; };
    return find_base(static_cast<const std::type_info *>(type_info), named, 0, offset) ? offset : -1;
}

std::string current_error_text(const Library &gcbase) {
    try {
        throw;
    } catch (const std::exception &e) {
        return e.what();
    } catch (...) {
    }
    const std::type_info *type = abi::__cxa_current_exception_type();
    if (!type) return "an unknown error";
    int status = 0;
    char *readable = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
    std::string name = status == 0 && readable ? readable : type->name();
    std::free(readable);
    // GenericException's what() is exported under its own versioned
    // namespace, the one its type information names: N<n><namespace>16GenericExceptionE.
    std::ptrdiff_t offset = 0;
    auto generic_exception = [](const char *name) {
        std::size_t n = std::strlen(name), m = std::strlen("16GenericExceptionE");
        return n >= m && std::strcmp(name + n - m, "16GenericExceptionE") == 0;
    };
    const std::type_info *generic = find_base(type, generic_exception, 0, offset);
    if (!generic || !gcbase.handle) return name;
    std::string mangled = generic->name();
    std::string symbol = "_ZNK" + mangled.substr(1, mangled.size() - 2) + "4whatEv";
    auto what = reinterpret_cast<const char *(*)(const void *)>(gcbase.symbol(symbol.c_str()));
    // The object being handled: an exception_ptr of the GNU runtime holds
    // its address and nothing else.
    std::exception_ptr current = std::current_exception();
    static_assert(sizeof current == sizeof(void *), "an exception_ptr holds the thrown object's address");
    void *object = *reinterpret_cast<void *const *>(&current);
    const char *text = what && object ? what(static_cast<char *>(object) + offset) : nullptr;
    return text ? text : name;
}

std::string ImageGetters::take(const Library &utility) {
    std::string why = utility.take({
        {&buffer, "_ZN5Pylon11CPylonImage9GetBufferEv"},
        {&image_size, "_ZNK5Pylon11CPylonImage12GetImageSizeEv"},
        {&width, "_ZNK5Pylon11CPylonImage8GetWidthEv"},
        {&height, "_ZNK5Pylon11CPylonImage9GetHeightEv"},
        {&pixel_type, "_ZNK5Pylon11CPylonImage12GetPixelTypeEv"},
        {&type_info, "_ZTIN5Pylon11CPylonImageE"},
    });
    if (why.empty()) bgr8 = mod_attr("pylon").attr("PixelType_BGR8packed").cast<std::int64_t>();
    return why;
}

std::string ImageGetters::bgr_frame(void *image, void *&pixels, Py_ssize_t &rows, Py_ssize_t &columns) const {
    std::int64_t type = pixel_type(image);
    if (type != bgr8) {
        char text[96];
        std::snprintf(text, sizeof text, "its pixel type 0x%llx is not BGR 8-bit packed (0x%llx)",
                      static_cast<unsigned long long>(type), static_cast<unsigned long long>(bgr8));
        return text;
    }
    std::size_t size = image_size(image);
    std::uint32_t h = height(image), w = width(image);
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX) || !whole_frame(h, w, static_cast<Py_ssize_t>(size)))
        return "its size, " + std::to_string(size) + " bytes, is not rows x columns x 3 (" + std::to_string(h) +
               " x " + std::to_string(w) + " x 3)";
    if (!(pixels = buffer(image))) return "it has no buffer";
    rows = h;
    columns = w;
    return "";
}

std::string SuccessTest::take(const Library &base) {
    return base.take({
        {&data_of, "_ZNK5Pylon14CGrabResultPtr6GetPtrEv"},
        {&succeeded, "_ZNK5Pylon15CGrabResultData13GrabSucceededEv"},
        {&data_type, "_ZTIN5Pylon15CGrabResultDataE"},
    });
}

int SuccessTest::answer(const void *result) const {
    const void *data = data_of(result);
    if (!data || !exactly(data, data_type)) return -1;
    return succeeded(data) ? 1 : 0;
}

void Seam::trust() {
    state_ = State::native;
    log_info(std::string(topic_) + ": native, " + trusted_ + ".");
}

void Seam::give_up(const std::string &fallback, const std::string &why) {
    state_ = State::binding;
    log_info(std::string(topic_) + ": " + fallback + ", as the native " + kind_ + " is not taken: " + why + ".");
}

bool exactly(const void *object, const void *type_info) {
    // The virtual table points just past the offset to the top of the
    // object and its run-time type information.
    auto *const *vtable = *static_cast<void *const *const *>(object);
    return vtable && vtable[-1] == type_info && vtable[-2] == nullptr;
}

}  // namespace zun::native
