// The camera class zun_camera: a plain Python class whose methods are C
// functions.  This unit builds the class, opens and configures the camera in
// the constructor, and answers the queries.
#include "camera.hpp"
#include "publishing.hpp"

#include <cstring>

namespace zun {

// Newer bindings deprecate writing a setting by assignment to the camera or
// the converter: the attribute reads as the setting's parameter object, whose
// Value takes it.  An enumeration given an integer takes it through
// SetIntValue, as the assignment of older bindings does: their constants are
// the SDK's integers, and an enumeration's Value takes only an entry's name.
// An attribute that reads as no such object (a plain number, or nothing at
// all, as on a stand-in for the SDK) is assigned.
void set_setting(py::handle obj, const char *name, py::handle value) {
    PyObject *read = PyObject_GetAttrString(obj.ptr(), name);
    if (!read && !PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    auto parameter = py::reinterpret_steal<py::object>(read);
    // Asked of its type, so that no parameter getter runs.
    py::handle type = read ? reinterpret_cast<PyObject *>(Py_TYPE(read)) : nullptr;
    if (!type || !py::hasattr(type, "Value"))
        obj.attr(name) = value;
    else if (PyLong_Check(value.ptr()) && py::hasattr(type, "SetIntValue"))
        parameter.attr("SetIntValue")(value);
    else
        parameter.attr("Value") = value;
}

namespace {

struct Arguments {
    py::handle serial;
    py::object width{py::int_(1920)}, height{py::int_(1200)}, exposureTime{py::int_(1000)};
    py::object GainAuto{py::str("Once")}, pixelFormat{py::str("BayerRG8")};
    py::object fps{py::int_(25)}, exposureMin{py::int_(27)}, exposureMax{py::int_(35000)};
    py::object lighttarget{py::float_(0.35)};
    py::object gpioreset{py::bool_(false)}, usbreset{py::bool_(false)}, lastImage{py::bool_(false)};
};

// One configuration step: the camera parameter and the value it gets.
struct Setting {
    const char *name;
    py::object value;
};

// Applies one setting under its own guard: whatever the step raises, the
// failure line is logged instead of the success line and the next step runs.
void apply(py::handle self, const Setting &s) {
    std::string name = s.name;
    auto failure = capture([&] {
        py::object cam = self.attr("cam");
        if (name == "MaxNumBuffer")
            set_setting(cam, "MaxNumBuffer", s.value);
        else
            cam.attr(s.name).attr("SetValue")(s.value);
        log_info(name + " was set.");
    });
    if (failure) log_info(name == "AutoTargetBrightness" ? name + " was not set" : name + " was not set.");
}

// Opens the matching camera `dev_info` and makes it grab; raises on failure.
void open_camera(py::handle self, py::handle dev_info, const Arguments &a) {
    log_info(std::string("Try to open ZUN-Camera"));
    self.attr("serial") = dev_info.attr("GetSerialNumber")();
    self.attr("modelname") = dev_info.attr("GetModelName")();
    self.attr("type") = dev_info.attr("GetDeviceClass")();
    self.attr("ip") = dev_info.attr("GetIpAddress")();

    // Recovery before opening, for USB cameras only: the GPIO cycle first.
    const py::str usb("BaslerUsb");
    if (equals(self.attr("type"), usb) && truthy(a.gpioreset)) {
        self.attr("gpio_reset_off")();
        self.attr("gpio_reset_on")();
    }
    if (equals(self.attr("type"), usb) && truthy(a.usbreset)) self.attr("usbreset")(a.serial);

    // The device comes from the entry enumerated before any reset.
    py::object pylon = mod_attr("pylon");
    py::object device = pylon.attr("TlFactory").attr("GetInstance")().attr("CreateFirstDevice")(dev_info);
    self.attr("cam") = pylon.attr("InstantCamera")(device);
    self.attr("cam").attr("Open")();

    // Continuous auto exposure is switched on before the exposure mode and
    // limits are written, the auto-function profile before the limits.
    const Setting settings[] = {
        {"AcquisitionMode", py::str("Continuous")},
        {"AcquisitionFrameRate", a.fps},
        {"ExposureAuto", py::str("Continuous")},
        {"GainAuto", py::str("Off")},
        {"AutoFunctionProfile", py::str("MinimizeExposureTime")},
        {"MaxNumBuffer", py::int_(2)},
        {"ExposureMode", py::str("Timed")},
        {"AutoExposureTimeLowerLimit", a.exposureMin},
        {"AutoExposureTimeUpperLimit", a.exposureMax},
        {"AutoTargetBrightness", a.lighttarget},
    };
    for (const Setting &s : settings) apply(self, s);

    auto refused = capture([&] {
        const char *strategy = truthy(a.lastImage) ? "GrabStrategy_LatestImageOnly" : "GrabStrategy_OneByOne";
        self.attr("cam").attr("StartGrabbing")(pylon.attr(strategy));
    });
    if (refused) log_info(std::string("GrabStrategy was not set."));

    self.attr("isActive") = py::bool_(false);
    self.attr("isInitializing") = py::bool_(true);
    self.attr("stopCam") = py::bool_(false);
    self.attr("frame") = py::none();
    self.attr("setconverter")();
    self.attr("fps") = a.fps;
}

// One object, one camera: while this object's grab thread runs, opening
// another camera would leave the first open and grabbing, out of stop()'s reach.
void refuse_while_grabbing(py::handle self) {
    if (live_grab_thread(self)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the grab thread of this camera is still running; stop() it and let it end before "
                        "opening a camera again");
        throw py::error_already_set();
    }
}

void construct(py::handle self, const Arguments &a) {
    refuse_while_grabbing(self);
    py::object tl_factory = mod_attr("pylon").attr("TlFactory").attr("GetInstance")();
    self.attr("lastTime") = mod_attr("time").attr("time")();
    bool control = false;
    py::object devices = tl_factory.attr("EnumerateDevices")();
    // Every entry is compared; the scan never stops early.
    for (py::handle dev_info : devices) {
        if (!equals(dev_info.attr("GetSerialNumber")(), a.serial)) continue;
        auto failure = capture([&] { open_camera(self, dev_info, a); });
        if (!failure) {
            control = true;
            continue;
        }
        if (!failure->matches(PyExc_Exception)) throw *failure;  // exit requests and interrupts pass
        py::str text = error_text(*failure);
        log_error(concat(py::str("Error in ZUN_Camera, exception in trying to initialize it, "), text));
        builtin_print(concat(py::str("Error: "), text));
    }
    if (!control) {
        py::str sorry("Sorry. Your serial was not found. No camera initialized.");
        builtin_print(sorry);
        log_error(sorry);
        exit_request();
    }
    // From `run` on a grab thread may be running (`run` can fail after it
    // started one).  The caller of a constructor that fails gets no object to
    // stop, and a non-daemon thread grabbing on would keep the interpreter
    // from exiting: whatever leaves the constructor from here asks a thread
    // that this construction created to stop, as stop() does.  The thread then
    // stops the grab and closes the camera.  No earlier thread is still alive
    // here: one would have been refused above.
    py::object previous = py::getattr(self, "t1", py::none());
    auto failure = capture([&] {
        self.attr("run")();
        py::str closing = concat(concat(concat(concat(py::str("Camera with serial "), py::str(a.serial)),
                                               py::str(" was detected. Camera ")),
                                        py::str(self.attr("modelname"))),
                                 py::str(" is grabbing now."));
        log_info(closing);
        builtin_print(closing);
    });
    if (!failure) return;
    capture([&] {  // should this fail too, the first failure is the one reported
        if (py::getattr(self, "t1", py::none()).is(previous)) return;
        self.attr("stopCam") = py::bool_(true);
        self.attr("isActive") = py::bool_(false);
    });
    throw *failure;
}

PyObject *init(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"serial",      "width",       "height",      "exposureTime", "GainAuto",
                                     "pixelFormat", "fps",         "exposureMin", "exposureMax",  "lighttarget",
                                     "gpioreset",   "usbreset",    "lastImage",   nullptr};
    // The defaults are Python objects made on each call, inside the boundary.
    return entry([&] {
        PyObject *given[12] = {};
        PyObject *serial = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOOOOOOO:__init__", const_cast<char **>(keywords),
                                         &serial, &given[0], &given[1], &given[2], &given[3], &given[4],
                                         &given[5], &given[6], &given[7], &given[8], &given[9], &given[10],
                                         &given[11]))
            throw py::error_already_set();
        Arguments a;
        a.serial = serial;
        py::object *slots[12] = {&a.width,       &a.height,      &a.exposureTime, &a.GainAuto,
                                 &a.pixelFormat, &a.fps,         &a.exposureMin,  &a.exposureMax,
                                 &a.lighttarget, &a.gpioreset,   &a.usbreset,     &a.lastImage};
        for (int i = 0; i < 12; ++i)
            if (given[i]) *slots[i] = py::reinterpret_borrow<py::object>(given[i]);
        construct(self, a);
        return py::none();
    });
}

PyObject *getSerial(PyObject *self, PyObject *) {
    return entry([&] { return py::handle(self).attr("serial"); });
}
PyObject *getModelName(PyObject *self, PyObject *) {
    return entry([&] { return py::handle(self).attr("modelname"); });
}
PyObject *getIp(PyObject *self, PyObject *) {
    return entry([&] { return py::handle(self).attr("ip"); });
}
PyObject *getVersion(PyObject *, PyObject *) {
    return entry([&] { return mod_attr("version"); });
}
PyObject *getTemperature(PyObject *self, PyObject *) {
    return entry([&] { return py::handle(self).attr("cam").attr("DeviceTemperature").attr("GetValue")(); });
}

// OpenCV takes a file name as UTF-8 text that ends at its first NUL: a name
// with no UTF-8 form (a lone surrogate, as os.fsdecode makes of undecodable
// bytes) crashes it, and one holding a NUL is cut there.  Such names, given as
// text, bytes or a path object, are refused before OpenCV sees them; every
// other argument goes to imwrite unchanged, which answers it as it does.
void check_savename(py::handle savename) {
    PyObject *path = PyOS_FSPath(savename.ptr());
    if (!path) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();  // not a path: imwrite's own error
        return;
    }
    py::object name = py::reinterpret_steal<py::object>(path);
    const char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyUnicode_Check(path)) {
        data = PyUnicode_AsUTF8AndSize(path, &size);
        if (!data) {
            py::raise_from(PyExc_ValueError,
                           "saveFrame: the file name holds a lone surrogate and has no UTF-8 form, which "
                           "OpenCV needs");
            throw py::error_already_set();
        }
    } else {
        data = PyBytes_AS_STRING(path);
        size = PyBytes_GET_SIZE(path);
    }
    if (std::memchr(data, 0, static_cast<size_t>(size))) {
        PyErr_SetString(PyExc_ValueError,
                        "saveFrame: the file name holds a NUL character, at which OpenCV would cut it");
        throw py::error_already_set();
    }
}

PyObject *saveFrame(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"savename", nullptr};
    PyObject *savename = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:saveFrame", const_cast<char **>(keywords), &savename))
        return nullptr;
    return entry([&] {
        check_savename(savename);
        help_grab_loop(self);
        // One read of the frame reference: the array written is one whole frame.
        py::object frame = py::handle(self).attr("frame");
        return mod_attr("cv2").attr("imwrite")(py::handle(savename), frame);
    });
}

PyObject *getFlagAndFrame(PyObject *self, PyObject *) {
    return entry([&] {
        help_grab_loop(self);  // a frame the grab thread has ready is published first
        // The flag first: a true flag is only ever published after its frame.
        py::object flag = py::handle(self).attr("isActive");
        py::object frame = py::handle(self).attr("frame");
        return py::object(py::make_tuple(flag, frame));
    });
}

PyObject *stop(PyObject *self, PyObject *) {
    return entry([&] {
        py::handle(self).attr("stopCam") = py::bool_(true);
        py::handle(self).attr("isActive") = py::bool_(false);
        help_grab_loop(self);  // a grab thread waiting for that work sees the stop at once
        return py::none();
    });
}

PyObject *setconverter_entry(PyObject *self, PyObject *) {
    return entry([&] { return setconverter(self); });
}
PyObject *read_entry(PyObject *self, PyObject *) {
    return entry([&] { return read(self); });
}
PyObject *run_entry(PyObject *self, PyObject *) {
    return entry([&] { return run(self); });
}
PyObject *gpio_reset_off_entry(PyObject *self, PyObject *) {
    return entry([&] { return gpio_reset_off(self); });
}
PyObject *gpio_reset_on_entry(PyObject *self, PyObject *) {
    return entry([&] { return gpio_reset_on(self); });
}
PyObject *usbreset_entry(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"serial", nullptr};
    PyObject *serial = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:usbreset", const_cast<char **>(keywords), &serial))
        return nullptr;
    return entry([&] { return usbreset(self, serial); });
}

#define NOARGS(name, fn) {name, fn, METH_NOARGS, name "($self, /)\n--\n\n"}
#define KEYWORDS(name, fn, signature) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS | METH_KEYWORDS, signature}

// The operations in the order the class defines them.  The documentation
// fields carry only signatures, so the methods have no docstrings.
PyMethodDef methods[] = {
    KEYWORDS("__init__", init,
             "__init__($self, /, serial, width=1920, height=1200, exposureTime=1000, GainAuto='Once', "
             "pixelFormat='BayerRG8', fps=25, exposureMin=27, exposureMax=35000, lighttarget=0.35, "
             "gpioreset=False, usbreset=False, lastImage=False)\n--\n\n"),
    NOARGS("getSerial", getSerial),
    NOARGS("getModelName", getModelName),
    NOARGS("getIp", getIp),
    NOARGS("setconverter", setconverter_entry),
    NOARGS("read", read_entry),
    NOARGS("run", run_entry),
    NOARGS("getFlagAndFrame", getFlagAndFrame),
    KEYWORDS("saveFrame", saveFrame, "saveFrame($self, /, savename)\n--\n\n"),
    NOARGS("stop", stop),
    NOARGS("getVersion", getVersion),
    NOARGS("getTemperature", getTemperature),
    NOARGS("gpio_reset_off", gpio_reset_off_entry),
    NOARGS("gpio_reset_on", gpio_reset_on_entry),
    KEYWORDS("usbreset", usbreset_entry, "usbreset($self, /, serial)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

py::object make_camera_class(py::module_ &m) {
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = py::str("zun_camera");
    py::object cls = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type))(
        "zun_camera", py::make_tuple(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyBaseObject_Type))), ns);
    for (PyMethodDef *def = methods; def->ml_name; ++def) {
        PyObject *descr = PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(cls.ptr()), def);
        if (!descr) throw py::error_already_set();
        cls.attr(def->ml_name) = py::reinterpret_steal<py::object>(descr);
    }
    return cls;
}

}  // namespace zun
