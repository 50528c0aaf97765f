// The module frame: what importing zun_camera_basler does, once per process,
// and camera discovery (listCameras).
#include "common.hpp"

namespace zun {
namespace {

// Set by the import and, once that has succeeded, never released: the module
// lives as long as the process.  Every function and method of the module finds
// its libraries and logger through this one module object.
PyObject *g_module = nullptr;

// `from package import name`: the member, or the submodule of that name;
// ImportError when the package has neither.
py::object import_from(const char *package, const char *name) {
    py::tuple fromlist = py::make_tuple(name);
    PyObject *pkg = PyImport_ImportModuleLevel(package, nullptr, nullptr, fromlist.ptr(), 0);
    if (!pkg) throw py::error_already_set();
    py::object holder = py::reinterpret_steal<py::object>(pkg);
    PyObject *member = PyObject_GetAttrString(pkg, name);
    if (member) return py::reinterpret_steal<py::object>(member);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, package);
    throw py::error_already_set();
}

py::list list_cameras() {
    py::list cameras;
    py::object factory = mod_attr("pylon").attr("TlFactory").attr("GetInstance")();
    py::object devices = factory.attr("EnumerateDevices")();
    const py::str usb("BaslerUsb"), gige("BaslerGigE");
    for (py::handle entry : devices) {
        // Two independent tests; each asks the entry for its class anew.
        if (equals(entry.attr("GetDeviceClass")(), usb)) {
            py::dict record;
            record["class"] = usb;
            record["modelname"] = entry.attr("GetModelName")();
            record["serial"] = entry.attr("GetSerialNumber")();
            record["ip"] = py::none();
            cameras.append(record);
        }
        if (equals(entry.attr("GetDeviceClass")(), gige)) {
            py::dict record;
            record["class"] = gige;
            record["modelname"] = entry.attr("GetModelName")();
            record["serial"] = entry.attr("GetSerialNumber")();
            record["ip"] = entry.attr("GetIpAddress")();
            cameras.append(record);
        }
    }
    builtin_print(concat(py::str("Number of detected Cameras: "), py::str(py::int_(cameras.size()))));
    return cameras;
}

PyObject *listCameras(PyObject *, PyObject *) {
    return entry([] { return list_cameras(); });
}

PyMethodDef list_cameras_def = {"listCameras", listCameras, METH_NOARGS, "listCameras($module, /)\n--\n\n"};

void initialise(py::module_ &m) {
    set_module(m);

    // Libraries first: a missing one ends the import before anything is created.
    m.attr("pylon") = import_from("pypylon", "pylon");
    m.attr("threading") = py::module_::import("threading");
    m.attr("cv2") = py::module_::import("cv2");
    m.attr("sys") = py::module_::import("sys");
    m.attr("os") = py::module_::import("os");
    m.attr("time") = py::module_::import("time");
    m.attr("datetime") = py::module_::import("datetime");
    m.attr("subprocess") = py::module_::import("subprocess");
    m.attr("np") = py::module_::import("numpy");

    m.attr("day") = m.attr("datetime").attr("datetime").attr("now")().attr("strftime")("%d_%m_%Y");
    m.attr("log") = py::module_::import("libs.zun_logger");

    // The log directory: ROOT_PATH/logs when ROOT_PATH is set (even empty), else ./logs.
    py::object os = m.attr("os");
    py::object environ = os.attr("environ");
    py::object path_join = os.attr("path").attr("join");
    if (environ.contains("ROOT_PATH"))
        m.attr("logdir") = path_join(environ["ROOT_PATH"], "logs");
    else
        m.attr("logdir") = py::str("./logs");
    os.attr("makedirs")(m.attr("logdir"), py::arg("exist_ok") = true);
    m.attr("logfile") = path_join(m.attr("logdir"), concat(concat(py::str("zun_camera_basler_"), m.attr("day")), py::str(".log")));

    m.attr("l") = m.attr("log").attr("zun_logger")().attr("createlogger")("zun_camera_basler", m.attr("logfile"));
    m.attr("version") = py::str("1.0.2");
    log_info(concat(py::str("ZUN CAMERA BASLER - Version: "), py::str(m.attr("version"))));

    py::str module_name("zun_camera_basler");
    PyObject *fn = PyCFunction_NewEx(&list_cameras_def, nullptr, module_name.ptr());
    if (!fn) throw py::error_already_set();
    m.attr("listCameras") = py::reinterpret_steal<py::object>(fn);
    m.attr("zun_camera") = make_camera_class(m);
}

// One module object per process, the first that imported successfully.  The
// interpreter asks for another when the module was taken out of sys.modules
// and imported again (or imported under a second name).  That one would not
// be the module whose attributes the functions and methods use, so it is
// refused; importlib.reload keeps the first and is no such request.
py::object create_module(PyModuleDef &definition) {
    if (g_module) {
        PyErr_SetString(PyExc_ImportError,
                        "zun_camera_basler is already initialised in this process and cannot be imported again: "
                        "keep the module object of the first import");
        throw py::error_already_set();
    }
    py::detail::get_internals();
    PyObject *created = PyModule_Create(&definition);
    if (!created) throw py::error_already_set();
    auto m = py::reinterpret_steal<py::module_>(created);
    set_module(m);
    // A failed import leaves no module behind: the next attempt starts afresh.
    if (auto error = capture([&] { initialise(m); })) {
        Py_CLEAR(g_module);
        throw *error;
    }
    return std::move(m);
}

}  // namespace

py::module_ module() { return py::reinterpret_borrow<py::module_>(g_module); }

void set_module(py::module_ m) { g_module = m.release().ptr(); }

py::object builtin_print_function() {
    PyObject *builtins = PyEval_GetBuiltins();  // borrowed; the running frame's, else the interpreter's
    if (!builtins) throw py::error_already_set();
    static PyObject *const name = intern("print");
    PyObject *function = PyDict_GetItemWithError(builtins, name);
    if (!function) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'print' is not defined");
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(function);
}

void log_info(const py::object &text) { mod_attr("l").attr("info")(text); }
void log_error(const py::object &text) { mod_attr("l").attr("error")(text); }

py::str error_text(const py::error_already_set &e) { return py::str(e.value()); }

void exit_request() {
    mod_attr("sys").attr("exit")();
    // sys.exit always raises; should a replaced one return, ask the interpreter directly.
    PyErr_SetNone(PyExc_SystemExit);
    throw py::error_already_set();
}

}  // namespace zun

// The interpreter's initialisation entry.  A failing step of the import
// sequence ends the import with its own exception, unwrapped.  A state size
// of 0 (not -1) has the interpreter call this entry again for a second
// import, which can then be refused, rather than copy the first module's
// attributes into a new module object in silence.
static PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "zun_camera_basler", nullptr, 0, nullptr,
                                        nullptr, nullptr, nullptr, nullptr};

extern "C" PYBIND11_EXPORT PyObject *PyInit_zun_camera_basler() {
    return zun::entry([] { return zun::create_module(module_definition); });
}
