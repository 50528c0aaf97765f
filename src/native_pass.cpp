// The grab loop's pass through the SDK's own libraries.
//
// What it calls, as libpylonbase and libpylonutility export it:
// CInstantCamera::IsGrabbing and RetrieveResult, CGrabResultPtr (made,
// released, assigned, and read as the IImage it refers to),
// CImageFormatConverter::Convert into an IReusableImage, and CPylonImage
// (made, destroyed, and its getters).  Each is called on exactly the class it
// belongs to, told by run-time type information.  The two objects the pass
// makes itself, grab result pointers and images, live in storage of the
// module's whose size their classes do not export: it is found by the bytes
// their constructors write into storage filled with a pattern, and checked
// to stay within half of it through the whole check.
//
// The pass is resolved and checked once per process (native::Seam): on the
// first successful grab, retrieved through the binding, the native answers
// (success, the converted pixels byte for byte, whether the camera is still
// grabbing) must equal the binding's own.  Anything else leaves the loop on
// the binding's calls, as does a camera or converter that is not the
// binding's own (a stand-in, a subclass that overrides a call used here).
#include "native_pass.hpp"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <new>
#include <vector>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "frame_pixels.hpp"
#include "native_sdk.hpp"

namespace zun {
namespace native {

// Room for one grab result pointer or one image, at least twice what its
// constructor was seen to write.
constexpr std::size_t room = 256;
constexpr unsigned char pattern = 0xA5;

struct alignas(16) Storage {
    unsigned char bytes[room];
    Storage() { std::memset(bytes, pattern, room); }
    // How far into the storage the object reaches: its last byte that is
    // not the pattern.
    std::size_t reach() const {
        std::size_t n = room;
        while (n && bytes[n - 1] == pattern) --n;
        return n;
    }
    bool within_half() const { return reach() <= room / 2; }
};

struct PooledImage : Storage {};

}  // namespace native

struct NativeGrab::Slot : native::Storage {};

namespace {

using native::PooledImage;

struct Names {
    PyObject *IsGrabbing = intern("IsGrabbing"), *RetrieveResult = intern("RetrieveResult"),
             *Convert = intern("Convert"), *GetArray = intern("GetArray"), *GrabSucceeded = intern("GrabSucceeded"),
             *this_ = intern("this");
};

const Names &names() {
    static const Names n;
    return n;
}

// The SDK's calls, resolved once per process and unchanged afterwards.
struct Api {
    bool (*is_grabbing)(const void *camera);
    bool (*retrieve)(void *camera, unsigned timeout_ms, void *result, int timeout_handling);
    void (*result_made)(void *result);
    void (*result_destroyed)(void *result);
    void (*result_released)(void *result);
    void *(*result_assigned)(void *result, const void *from);
    const void *(*result_data)(const void *result);  // operator->(): raises for a result without data
    const void *(*result_image)(const void *result);  // operator IImage&()
    void (*convert)(void *converter, void *reusable_image, const void *image);
    void (*image_made)(void *image);
    void (*image_destroyed)(void *image);
    const void *camera_type, *converter_type;
    std::ptrdiff_t reusable = -1;  // where an image's IReusableImage lies in it
    native::ImageGetters images;
    native::SuccessTest success;
    native::Library gcbase;  // for the SDK's error texts
    int throw_on_timeout = 0;
};

// One per process, read and written with the GIL held (the grab threads read
// the resolved calls without it, once resolved).
struct Shared {
    native::Seam seam{"Grab pass", "pass",
                      "the SDK's own calls with the GIL let go of once per frame, into images of the module's "
                      "(checked against the binding)"};
    Api api{};
    PyTypeObject *handle_type = nullptr;  // the binding's handles on its C++ objects
};

Shared &shared() {
    static Shared *s = new Shared;  // used up to the interpreter's very end
    return *s;
}

const char *const fallback = "the binding's calls";
constexpr unsigned timeout_ms = 5000;

// ----------------------------------------------------------- the image pool

// Images whose frames have died, kept for the next conversions: same size,
// no new buffer.  A few are kept; the grab threads free the rest with the
// GIL let go of, and, once no grab thread runs, the pool frees them itself.
class Pool {
public:
    // An image for the next conversion: a spare one, or a new one.  No GIL.
    PooledImage *take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!spare_.empty()) {
                PooledImage *image = spare_.back();
                spare_.pop_back();
                return image;
            }
        }
        auto *image = new PooledImage;
        shared().api.image_made(image->bytes);
        return image;
    }
    // Frees the spares beyond the few kept.  No GIL.
    void trim() {
        std::vector<PooledImage *> extra;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            while (spare_.size() > kept) {
                extra.push_back(spare_.back());
                spare_.pop_back();
            }
        }
        for (PooledImage *image : extra) destroy(image);
    }
    void give_back(PooledImage *image) {
        bool trimmed_here;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            spare_.push_back(image);
            trimmed_here = loops_ == 0;
        }
        if (trimmed_here) trim();
    }
    // Grab threads that use the pool, and so trim it.
    void loop_started() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++loops_;
    }
    void loop_ended() {
        std::lock_guard<std::mutex> lock(mutex_);
        --loops_;
    }
    static void destroy(PooledImage *image) {
        shared().api.image_destroyed(image->bytes);
        delete image;
    }

private:
    static constexpr std::size_t kept = 3;
    std::mutex mutex_;
    std::vector<PooledImage *> spare_;
    int loops_ = 0;
};

Pool &pool() {
    static Pool *p = new Pool;  // frames may die up to the interpreter's very end
    return *p;
}

void *reusable(PooledImage *image) { return image->bytes + shared().api.reusable; }

// ------------------------------------------------------------- resolution

// The binding's own class pylon.`name`, or a subclass of it that overrides
// none of `calls`.
bool binding_class_with(py::handle object, const char *name, std::initializer_list<PyObject *> calls) {
    auto *type = reinterpret_cast<PyObject *>(Py_TYPE(object.ptr()));
    if (native::binding_class(Py_TYPE(object.ptr()), name)) return true;
    py::object base = py::getattr(mod_attr("pylon"), name, py::none());
    if (!PyType_Check(base.ptr()) || PyObject_IsSubclass(type, base.ptr()) != 1) {
        PyErr_Clear();
        return false;
    }
    for (PyObject *call : calls) {
        PyObject *own = PyObject_GetAttr(type, call), *binding = PyObject_GetAttr(base.ptr(), call);
        bool same = own && own == binding;
        Py_XDECREF(own);
        Py_XDECREF(binding);
        PyErr_Clear();
        if (!same) return false;
    }
    return true;
}

bool binding_objects(py::handle cam, py::handle converter) {
    const Names &n = names();
    return binding_class_with(cam, "InstantCamera", {n.IsGrabbing, n.RetrieveResult}) &&
           binding_class_with(converter, "ImageFormatConverter", {n.Convert});
}

// How far the constructor of the class at `made` writes into storage of ours;
// why that is not within half of it, or nothing.
std::string sized(void (*made)(void *), void (*destroyed)(void *), const char *what) {
    native::Storage storage;
    made(storage.bytes);
    std::size_t reach = storage.reach();
    destroyed(storage.bytes);
    if (reach >= sizeof(void *) && reach <= native::room / 2) return "";
    return std::string("the size of ") + what + " is not known: its constructor wrote " + std::to_string(reach) +
           " bytes of " + std::to_string(native::room);
}

std::string resolve(py::handle cam, py::handle converter) {
    Shared &s = shared();
    Api &a = s.api;
    py::object camera_handle = py::getattr(cam, names().this_, py::none());
    std::string why = native::check_handle(camera_handle, "Pylon::CInstantCamera", "the camera");
    if (why.empty())
        why = native::check_handle(py::getattr(converter, names().this_, py::none()), "Pylon::CImageFormatConverter",
                                   "the converter");
    native::Library base, utility;
    if (why.empty()) why = native::find_library("libpylonbase.so", base);
    if (why.empty()) why = native::find_library("libpylonutility.so", utility);
    if (why.empty()) why = native::find_library("libGCBase_", a.gcbase);
    if (why.empty())
        why = base.take({
            {&a.is_grabbing, "_ZNK5Pylon14CInstantCamera10IsGrabbingEv"},
            {&a.retrieve, "_ZN5Pylon14CInstantCamera14RetrieveResultEjRNS_14CGrabResultPtrENS_16ETimeoutHandlingE"},
            {&a.result_made, "_ZN5Pylon14CGrabResultPtrC1Ev"},
            {&a.result_destroyed, "_ZN5Pylon14CGrabResultPtrD1Ev"},
            {&a.result_released, "_ZN5Pylon14CGrabResultPtr7ReleaseEv"},
            {&a.result_assigned, "_ZN5Pylon14CGrabResultPtraSERKS0_"},
            {&a.result_data, "_ZNK5Pylon14CGrabResultPtrptEv"},
            {&a.result_image, "_ZNK5Pylon14CGrabResultPtrcvRNS_6IImageEEv"},
            {&a.camera_type, "_ZTIN5Pylon14CInstantCameraE"},
        });
    if (why.empty()) why = a.success.take(base);
    if (why.empty())
        why = utility.take({
            {&a.convert, "_ZN5Pylon21CImageFormatConverter7ConvertERNS_14IReusableImageERKNS_6IImageE"},
            {&a.image_made, "_ZN5Pylon11CPylonImageC1Ev"},
            {&a.image_destroyed, "_ZN5Pylon11CPylonImageD1Ev"},
            {&a.converter_type, "_ZTIN5Pylon21CImageFormatConverterE"},
        });
    if (why.empty()) why = a.images.take(utility);
    if (!why.empty()) return why;
    if ((a.reusable = native::base_offset(a.images.type_info, "N5Pylon14IReusableImageE")) < 0)
        return "Pylon::CPylonImage has no public Pylon::IReusableImage base in its type information";
    if (!(why = sized(a.result_made, a.result_destroyed, "Pylon::CGrabResultPtr")).empty()) return why;
    if (!(why = sized(a.image_made, a.image_destroyed, "Pylon::CPylonImage")).empty()) return why;
    a.throw_on_timeout = mod_attr("pylon").attr("TimeoutHandling_ThrowException").cast<int>();
    s.handle_type = Py_TYPE(camera_handle.ptr());
    return "";
}

// The C++ object behind `object`'s handle when it is exactly of the class
// `type`; why not, or nothing.
std::string object_behind(py::handle object, const void *type, const char *what, void *&out) {
    PyObject *handle = PyObject_GetAttr(object.ptr(), names().this_);
    if (!handle) {
        PyErr_Clear();
        return std::string(what) + " has no handle";
    }
    out = Py_TYPE(handle) == shared().handle_type ? native::object_of(handle) : nullptr;
    Py_DECREF(handle);
    if (!out) return std::string(what) + "'s handle holds no C++ object";
    if (!native::exactly(out, type)) return std::string(what) + " is not exactly of its binding's C++ class";
    return "";
}

}  // namespace

void native::give_back(PooledImage *image) { pool().give_back(image); }

NativeGrab::NativeGrab() { pool().loop_started(); }

void NativeGrab::retry_check() { shared().seam.retry(); }

NativeGrab::~NativeGrab() {
    release_results();  // normally done already, without the GIL (let_go)
    for (Slot *slot : slots_)
        if (slot) {
            shared().api.result_destroyed(slot->bytes);
            delete slot;
        }
    pool().loop_ended();
}

void NativeGrab::release_results() {
    if (current_ >= 0)
        for (Slot *slot : slots_) shared().api.result_released(slot->bytes);
    current_ = -1;
}

void NativeGrab::let_go_unlocked() {
    release_results();
    pool().trim();
}

void NativeGrab::abandon() {
    cam_.release();
    converter_.release();
}

// Takes `cam` and `converter` for the passes; why they cannot be, or nothing.
std::string NativeGrab::adopt(py::handle cam, py::handle converter) {
    if (cam.is(cam_) && converter.is(converter_)) return "";
    const Api &a = shared().api;
    void *camera = nullptr, *converter_object = nullptr;
    std::string why = object_behind(cam, a.camera_type, "the camera", camera);
    if (why.empty()) why = object_behind(converter, a.converter_type, "the converter", converter_object);
    if (!why.empty()) return why;
    for (Slot *&slot : slots_)
        if (!slot) {
            slot = new Slot;
            a.result_made(slot->bytes);
        }
    // A result of another camera is not held past that camera's last
    // reference: let go of it now (a camera replaced under a running loop).
    if (!cam.is(cam_)) release_results();
    cam_ = py::reinterpret_borrow<py::object>(cam);
    converter_ = py::reinterpret_borrow<py::object>(converter);
    camera_ = camera;
    converter_object_ = converter_object;
    return "";
}

NativeGrab::Route NativeGrab::route(py::handle cam, py::handle converter) {
    Shared &s = shared();
    if (s.seam.native()) {
        if (cam.is(cam_) && converter.is(converter_)) return Route::native;
        if (!binding_objects(cam, converter)) return Route::binding;
        std::string why = adopt(cam, converter);
        if (why.empty()) return Route::native;
        s.seam.give_up(fallback, why);
        return Route::binding;
    }
    return s.seam.untried() && binding_objects(cam, converter) ? Route::check : Route::binding;
}

bool NativeGrab::start_check(py::handle cam, py::handle converter) {
    auto resolved = [&] {
        std::string why = resolve(cam, converter);
        return why.empty() ? adopt(cam, converter) : why;
    };
    return shared().seam.start_check(resolved, fallback);
}

void NativeGrab::stretch(Stretch &s, void *checked) {
    const Api &a = shared().api;
    try {
        void *result = checked;
        if (!result) {
            // The previous result is let go of only once the next one is in.
            int next = current_ == 0 ? 1 : 0;
            a.retrieve(camera_, timeout_ms, slots_[next]->bytes, a.throw_on_timeout);
            if (current_ >= 0) a.result_released(slots_[current_]->bytes);
            current_ = next;
            result = slots_[current_]->bytes;
        }
        int success = a.success.answer(result);
        if (success < 0) {
            a.result_data(result);  // the SDK's own error for a result without data, as the binding raises it
            throw std::runtime_error("the grab result's data is not a plain Pylon::CGrabResultData");
        }
        if ((s.succeeded = success != 0)) {
            s.image = pool().take();
            a.convert(converter_object_, reusable(s.image), a.result_image(result));
            s.unusable = a.images.bgr_frame(s.image->bytes, s.pixels, s.rows, s.columns);
        }
        s.grabbing = a.is_grabbing(camera_);
        pool().trim();
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (const std::bad_alloc &) {
        s.no_memory = true;
    } catch (...) {
        s.error = native::current_error_text(a.gcbase);
    }
}

NativeGrab::Outcome NativeGrab::finish(Stretch &s) {
    if (s.no_memory || !s.error.empty() || !s.unusable.empty()) {
        if (s.image) native::give_back(s.image);
        if (s.no_memory) throw std::bad_alloc();
    }
    if (!s.error.empty()) {
        PyErr_SetString(PyExc_RuntimeError, s.error.c_str());
        throw py::error_already_set();
    }
    if (!s.unusable.empty()) {
        // An application's converter set to another format: from the next
        // pass on, the binding converts, and makes frames of any format.
        shared().seam.give_up(fallback, "the converted image makes no frame: " + s.unusable);
        return {true, py::object(), s.grabbing};
    }
    if (!s.succeeded) return {false, py::object(), s.grabbing};
    return {true, frame_over(s.image, s.pixels, s.rows, s.columns), s.grabbing};
}

NativeGrab::Outcome NativeGrab::compare(py::handle result, py::object &binding_copy, bool &decided,
                                        const std::function<void()> &abandon) {
    Shared &sh = shared();
    const Api &a = sh.api;
    const Names &n = names();
    // The binding's own answers first.
    bool binding_success = truthy(call(result, n.GrabSucceeded));
    if (binding_success) binding_copy = call(call(converter_, n.Convert, result), n.GetArray);
    bool binding_grabbing = truthy(call(cam_, n.IsGrabbing));
    decided = true;

    // The same result through the SDK's libraries, held by a pointer of ours.
    py::object handle = py::getattr(result, n.this_, py::none());
    std::string why = native::binding_class(Py_TYPE(result.ptr()), "GrabResult")
                          ? native::check_handle(handle, "Pylon::CGrabResultPtr", "the grab result")
                          : "the grab result is not the binding's GrabResult";
    Stretch s;
    bool guarded = true;
    if (why.empty()) {
        Slot slot;
        a.result_made(slot.bytes);
        a.result_assigned(slot.bytes, native::object_of(handle));
        without_gil([&] { stretch(s, slot.bytes); }, abandon);
        guarded = slot.within_half() && (!s.image || s.image->within_half());
        a.result_released(slot.bytes);
        a.result_destroyed(slot.bytes);
    }
    if (!why.empty())
        ;
    else if (s.no_memory)
        why = "memory ran out";
    else if (!s.error.empty())
        why = "the SDK raised: " + s.error;
    else if (s.succeeded != binding_success)
        why = "the SDK's success flag differs from the binding's answer";
    else if (s.grabbing != binding_grabbing)
        why = "the SDK's answer to IsGrabbing differs from the binding's";
    else if (!guarded)
        why = "the grab result pointer or the image wrote beyond the room measured for it";
    else if (s.succeeded && !s.unusable.empty())
        why = "the converted image makes no frame: " + s.unusable;
    else if (s.succeeded && !same_pixels(binding_copy, s.pixels, s.rows, s.columns))
        why = "the converted pixels differ from the binding's conversion of the same grab result";
    if (!why.empty()) {
        if (s.image) native::give_back(s.image);
        sh.seam.give_up(fallback, why);
        return {binding_success, binding_copy, binding_grabbing};
    }
    if (!s.succeeded) {
        sh.seam.retry();  // checked on a successful grab only
        return {false, py::object(), binding_grabbing};
    }
    sh.seam.trust();
    return {true, frame_over(s.image, s.pixels, s.rows, s.columns), binding_grabbing};
}

namespace {
// Grab threads on their way back to the GIL from a stretch, how many times
// one has won it back since the process began, and the application threads
// waiting for the next time.  The waits are on the count's own word (a
// futex): no lock, and time-outs on the monotonic clock.
std::atomic<int> coming{0};
std::atomic<unsigned> arrivals{0};
std::atomic<int> sleepers{0};
static_assert(sizeof(arrivals) == sizeof(int) && std::atomic<unsigned>::is_always_lock_free, "a futex word");

void wait_for_arrival(unsigned seen, std::chrono::microseconds most) {
    auto until = std::chrono::steady_clock::now() + most;
    sleepers.fetch_add(1);
    while (arrivals.load() == seen) {
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        timespec wait{0, static_cast<long>(left.count())};
        // Returns at once when the count is no longer `seen`.
        syscall(SYS_futex, reinterpret_cast<unsigned *>(&arrivals), FUTEX_WAIT_PRIVATE, seen, &wait, nullptr, 0);
    }
    sleepers.fetch_sub(1);
}
}  // namespace

void coming_back() { coming.fetch_add(1); }

void back() {
    coming.fetch_sub(1);
    arrivals.fetch_add(1);
    // A waiter counted after this look sees the new count before it sleeps.
    if (sleepers.load() > 0)
        syscall(SYS_futex, reinterpret_cast<unsigned *>(&arrivals), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void let_grab_threads_in() {
    // A grab thread counts itself back once it has won the GIL, which this
    // thread holds: no arrival falls between this read and the wait.
    if (coming.load() <= 0) return;
    unsigned seen = arrivals.load();
    without_gil([&] { wait_for_arrival(seen, std::chrono::milliseconds(1)); }, [] {});
}

}  // namespace zun
