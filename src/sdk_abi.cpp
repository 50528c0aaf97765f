// The SDK's libraries where the binding loaded them, their symbols, the
// run-time type information of their classes, and the one seam.
#include "sdk_abi.hpp"

#include <cxxabi.h>
#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <typeinfo>

namespace zun::sdk {
namespace {

const char *const switch_name = "ZUN_NATIVE_FRAMES";

// One of the SDK's libraries as the binding loaded it from its own folder.
struct Library {
    void *handle = nullptr;
    std::string file;

    // The address of `name`, defined in this very file; else null.
    void *symbol(const char *name) const {
        void *address = handle ? dlsym(handle, name) : nullptr;
        Dl_info info;
        if (!address || !dladdr(address, &info) || !info.dli_fname || file != info.dli_fname) return nullptr;
        return address;
    }

    struct Wanted {
        void *slot;  // where the address goes: a function pointer or a pointer
        const char *name;
    };
    void take(std::initializer_list<Wanted> wanted) const {
        for (const Wanted &w : wanted) {
            void *address = symbol(w.name);
            if (!address) throw Refusal(file + " does not export " + w.name);
            std::memcpy(w.slot, &address, sizeof address);
        }
    }
};

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

// The library whose file name starts with `stem` ("libpylonbase.so").
Library loaded_library(const char *stem) {
    py::object file = py::getattr(mod_attr("pylon"), "__file__", py::none());
    if (!py::isinstance<py::str>(file)) throw Refusal("the binding's folder is unknown");
    std::string path = file.cast<std::string>();
    LibrarySearch search{stem, realpath_of(path.substr(0, path.rfind('/'))), ""};
    if (search.folder.empty() || dl_iterate_phdr(find_loaded, &search) != 1)
        throw Refusal(std::string("the binding has not loaded ") + stem + " from " +
                      (search.folder.empty() ? path : search.folder));
    // The loaded copy itself (RTLD_NOLOAD loads nothing); the handle is kept,
    // as the binding keeps the library loaded for the life of the process.
    void *handle = dlopen(search.found.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) throw Refusal(search.found + " cannot be opened where it is loaded");
    return Library{handle, search.found};
}

// The address of the C++ object behind one of the binding's handles (a
// SwigPyObject: the object's header, then that address).
void *object_of(PyObject *handle) {
    struct Handle {
        PyObject_HEAD
        void *object;
    };
    return reinterpret_cast<Handle *>(handle)->object;
}

// `handle` (the `this` of `what`) must be the binding's handle on a C++
// object of type `cxx_type` ("Pylon::CInstantCamera"): it is when the address
// it gives as a number is the one object_of reads.
void check_handle(py::handle handle, const char *cxx_type, const char *what) {
    std::string text = py::str(py::repr(handle));
    if (std::string(Py_TYPE(handle.ptr())->tp_name) != "SwigPyObject" ||
        text.find(std::string("'") + cxx_type + " *'") == std::string::npos)
        throw Refusal(std::string(what) + " is not a wrapped " + cxx_type + " (" + text + ")");
    py::object number = py::reinterpret_steal<py::object>(PyNumber_Long(handle.ptr()));
    if (!number) throw py::error_already_set();
    void *address = PyLong_AsVoidPtr(number.ptr());
    if (!address && PyErr_Occurred()) throw py::error_already_set();
    if (!address || address != object_of(handle.ptr())) throw Refusal(std::string(what) + "'s handle holds no C++ object");
}

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

// How far the constructor of the class at `made` writes into storage of ours:
// within half of it, or the class's size is not known.
void sized(void (*made)(void *), void (*destroyed)(void *), const char *what) {
    Storage storage;
    made(storage.bytes);
    std::size_t reach = storage.reach();
    destroyed(storage.bytes);
    if (reach < sizeof(void *) || reach > Storage::room / 2)
        throw Refusal(std::string("the size of ") + what + " is not known: its constructor wrote " +
                      std::to_string(reach) + " bytes of " + std::to_string(Storage::room));
}

struct Resolved {
    Api api{};
    Library gcbase;  // for the SDK's error texts
};

Resolved &resolved() {
    static Resolved *r = new Resolved;  // used up to the interpreter's very end
    return *r;
}

// Finds every call of the pass; refuses with the reason when one is missing.
void resolve(py::handle cam) {
    if (const char *off = std::getenv(switch_name); off && std::string(off) == "0")
        throw Refusal(std::string("it is switched off (") + switch_name + "=0)");
    Resolved &r = resolved();
    Api &a = r.api;
    py::object handle = py::getattr(cam, "this", py::none());
    check_handle(handle, "Pylon::CInstantCamera", "the camera");
    Library base = loaded_library("libpylonbase.so"), utility = loaded_library("libpylonutility.so");
    r.gcbase = loaded_library("libGCBase_");
    base.take({
        {&a.is_grabbing, "_ZNK5Pylon14CInstantCamera10IsGrabbingEv"},
        {&a.retrieve, "_ZN5Pylon14CInstantCamera14RetrieveResultEjRNS_14CGrabResultPtrENS_16ETimeoutHandlingE"},
        {&a.result_made, "_ZN5Pylon14CGrabResultPtrC1Ev"},
        {&a.result_destroyed, "_ZN5Pylon14CGrabResultPtrD1Ev"},
        {&a.result_released, "_ZN5Pylon14CGrabResultPtr7ReleaseEv"},
        {&a.result_assigned, "_ZN5Pylon14CGrabResultPtraSERKS0_"},
        {&a.result_data, "_ZNK5Pylon14CGrabResultPtrptEv"},
        {&a.grab_succeeded, "_ZNK5Pylon15CGrabResultData13GrabSucceededEv"},
        {&a.result_image, "_ZNK5Pylon14CGrabResultPtrcvRNS_6IImageEEv"},
        {&a.camera_type, "_ZTIN5Pylon14CInstantCameraE"},
    });
    utility.take({
        {&a.convert, "_ZN5Pylon21CImageFormatConverter7ConvertERNS_14IReusableImageERKNS_6IImageE"},
        {&a.image_made, "_ZN5Pylon11CPylonImageC1Ev"},
        {&a.image_destroyed, "_ZN5Pylon11CPylonImageD1Ev"},
        {&a.buffer, "_ZN5Pylon11CPylonImage9GetBufferEv"},
        {&a.image_size, "_ZNK5Pylon11CPylonImage12GetImageSizeEv"},
        {&a.width, "_ZNK5Pylon11CPylonImage8GetWidthEv"},
        {&a.height, "_ZNK5Pylon11CPylonImage9GetHeightEv"},
        {&a.pixel_type, "_ZNK5Pylon11CPylonImage12GetPixelTypeEv"},
        {&a.converter_type, "_ZTIN5Pylon21CImageFormatConverterE"},
        {&a.image_type, "_ZTIN5Pylon11CPylonImageE"},
    });
    auto reusable = [](const char *name) { return std::strcmp(name, "N5Pylon14IReusableImageE") == 0; };
    a.reusable = -1;
    if (!find_base(static_cast<const std::type_info *>(a.image_type), reusable, 0, a.reusable))
        throw Refusal("Pylon::CPylonImage has no public Pylon::IReusableImage base in its type information");
    sized(a.result_made, a.result_destroyed, "Pylon::CGrabResultPtr");
    sized(a.image_made, a.image_destroyed, "Pylon::CPylonImage");
    py::object pylon = mod_attr("pylon");
    a.throw_on_timeout = pylon.attr("TimeoutHandling_ThrowException").cast<int>();
    a.bgr8 = pylon.attr("PixelType_BGR8packed").cast<std::int64_t>();
    a.handle_type = Py_TYPE(handle.ptr());
}

bool exactly(const void *object, const void *type) {
    // The virtual table points just past the offset to the top of the
    // object and its run-time type information.
    auto *const *vtable = *static_cast<void *const *const *>(object);
    return vtable && vtable[-1] == type && vtable[-2] == nullptr;
}

}  // namespace

const Api &api() { return resolved().api; }

bool binding_class(py::handle object, const char *name, std::initializer_list<const char *> calls) {
    // The binding's class among the object's bases: the class of that name
    // that the binding's own module defines, whatever pylon.`name` is now.
    PyTypeObject *type = Py_TYPE(object.ptr());
    py::object binding = mod_attr("pylon").attr("__name__");
    py::handle own;
    for (py::handle base : py::reinterpret_borrow<py::tuple>(type->tp_mro))
        if (std::strcmp(reinterpret_cast<PyTypeObject *>(base.ptr())->tp_name, name) == 0 &&
            equals(py::getattr(base, "__module__", py::none()), binding)) {
            own = base;
            break;
        }
    if (!own) return false;
    for (const char *call : calls) {
        py::str key(call);
        if (_PyType_Lookup(type, key.ptr()) != _PyType_Lookup(reinterpret_cast<PyTypeObject *>(own.ptr()), key.ptr()))
            return false;
    }
    return true;
}

void *object_behind(py::handle object, const void *type) {
    py::object handle = py::getattr(object, "this", py::none());
    if (Py_TYPE(handle.ptr()) != api().handle_type) return nullptr;
    void *behind = object_of(handle.ptr());
    return behind && exactly(behind, type) ? behind : nullptr;
}

void *grab_result_behind(py::handle result) {
    if (!binding_class(result, "GrabResult", {})) return nullptr;
    py::object handle = py::getattr(result, "this", py::none());
    if (Py_TYPE(handle.ptr()) != api().handle_type) return nullptr;
    std::string text = py::str(py::repr(handle));
    return text.find("'Pylon::CGrabResultPtr *'") == std::string::npos ? nullptr : object_of(handle.ptr());
}

std::string current_error_text() {
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
    auto generic_exception = [](const char *mangled) {
        std::size_t n = std::strlen(mangled), m = std::strlen("16GenericExceptionE");
        return n >= m && std::strcmp(mangled + n - m, "16GenericExceptionE") == 0;
    };
    const std::type_info *generic = find_base(type, generic_exception, 0, offset);
    if (!generic) return name;
    std::string mangled = generic->name();
    std::string symbol = "_ZNK" + mangled.substr(1, mangled.size() - 2) + "4whatEv";
    auto what = reinterpret_cast<const char *(*)(const void *)>(resolved().gcbase.symbol(symbol.c_str()));
    // The object being handled: an exception_ptr of the GNU runtime holds
    // its address and nothing else.
    std::exception_ptr current = std::current_exception();
    static_assert(sizeof current == sizeof(void *), "an exception_ptr holds the thrown object's address");
    void *object = *reinterpret_cast<void *const *>(&current);
    const char *text = what && object ? what(static_cast<char *>(object) + offset) : nullptr;
    return text ? text : name;
}

bool Seam::start_check(py::handle cam) {
    if (state_ != State::untried) return false;
    try {
        if (!resolved_) resolve(cam);
    } catch (const Refusal &refusal) {
        give_up(refusal.what());
        return false;
    }
    resolved_ = true;
    state_ = State::checking;  // no other grab thread starts a check meanwhile
    return true;
}

void Seam::trust() {
    state_ = State::native;
    log_info(std::string("Grab pass: native, the SDK's own calls with the GIL let go of once per frame, into images "
                         "of the module's (checked against the binding)."));
}

void Seam::give_up(const std::string &why) {
    state_ = State::binding;
    log_info("Grab pass: the binding's calls, as the native pass is not taken: " + why + ".");
}

Seam &seam() {
    static Seam *s = new Seam;  // used up to the interpreter's very end
    return *s;
}

}  // namespace zun::sdk
