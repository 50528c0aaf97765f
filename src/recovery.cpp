// Device recovery: the shell runner, the GPIO reset cycle of line 264 and
// the USB bus reset of a camera found by serial number.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "camera.hpp"
#include "usb_listing.hpp"

extern char **environ;

namespace zun {
namespace {

enum class Stderr { inherited, discarded };

[[noreturn]] void raise_os_error(int err, const char *filename) {
    errno = err;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, filename);
    throw py::error_already_set();
}

// The shortest and longest pause between two looks at a child or its output.
constexpr int kFirstPauseMs = 1, kLongestPauseMs = 100;

// The shell that the shell runner started, and the read end of its output
// pipe.  Should the wait for it be cut short, the shell is killed and waited
// for, as subprocess.run does on an interrupt, so it never outlives the call.
// Nothing here touches the interpreter: the interpreter may end the waiting
// thread (a daemon thread at exit), and then the destructor ends the shell
// while the unwinding passes, without the GIL.  A program that the shell
// started for the command is not tracked, as with subprocess.run.
class Child {
public:
    Child(pid_t pid, int output) : pid_(pid), output_(output) {}
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() {
        if (output_ >= 0) close(output_);
        end();
    }

    // Kills the shell and waits for it, unless that is done already.
    void end() {
        if (pid_ == 0) return;
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = 0;
    }

    // One short step of the wait, with the GIL released: reads what the
    // child has written within the longest pause, or, once its output has
    // ended, looks whether it has ended too.  True when it has, and has been
    // waited for.  A signal cuts the step short.
    bool step(std::string &text) {
        if (output_ >= 0) {
            pollfd ready = {output_, POLLIN, 0};
            if (poll(&ready, 1, kLongestPauseMs) <= 0) return false;
            char buffer[16384];
            ssize_t got = ::read(output_, buffer, sizeof buffer);
            if (got > 0) {
                text.append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(output_);
                output_ = -1;
            }
            return false;
        }
        pid_t r = waitpid(pid_, nullptr, WNOHANG);
        if (r == 0 || (r < 0 && errno == EINTR)) {
            poll(nullptr, 0, pause_);
            pause_ = std::min(2 * pause_, kLongestPauseMs);
            return false;
        }
        pid_ = 0;  // waited for (or, on ECHILD, not ours to wait for)
        return true;
    }

private:
    pid_t pid_;
    int output_;
    int pause_ = kFirstPauseMs;
};

// Runs `command` through /bin/sh -c, unchanged, and returns its standard
// output decoded as strict UTF-8 and stripped.  Standard input is inherited,
// standard error inherited or discarded; the exit status is not looked at.
// The child is started with posix_spawn (no bare fork of a threaded
// process), and read to the end and waited for with the GIL released.
py::str run_shell_command(const std::string &command, Stderr err) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) raise_os_error(errno, nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (err == Stderr::discarded)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // The child starts with the signal state of a fresh program: the
    // interpreter ignores SIGPIPE and SIGXFSZ for itself, and a shell
    // pipeline must not inherit that, nor the calling thread's signal mask.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, mask;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigemptyset(&mask);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &mask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    const char *argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};

    pid_t pid = 0;
    int spawn_error = 0;
    without_gil([&] { spawn_error = posix_spawn(&pid, "/bin/sh", &actions, &attributes, const_cast<char **>(argv), environ); },
                [] {});
    close(out[1]);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawn_error != 0) {
        close(out[0]);
        raise_os_error(spawn_error, "/bin/sh");
    }

    // Between the steps the interpreter runs its signal handlers, so that a
    // Ctrl-C, or a signal the application handles, acts within the longest
    // pause.  An exception that a handler raises ends the call: the shell is
    // killed and waited for with the GIL let go of, the exception set aside
    // meanwhile in plain references, which nothing drops should the
    // interpreter end this thread when it takes the GIL back.
    std::string output;
    Child child(pid, out[0]);
    bool ended = false, interrupted = false, no_memory = false;
    while (!ended && !interrupted && !no_memory) {
        without_gil([&] {
            try {
                ended = child.step(output);
            } catch (const std::bad_alloc &) {
                no_memory = true;
            }
        }, [] {});
        if (!ended && !no_memory) interrupted = PyErr_CheckSignals() < 0;
    }
    if (!ended) {
#if PY_VERSION_HEX >= 0x030C0000
        PyObject *raised = PyErr_GetRaisedException();
        without_gil([&] { child.end(); }, [] {});
        PyErr_SetRaisedException(raised);
#else
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        without_gil([&] { child.end(); }, [] {});
        PyErr_Restore(type, value, traceback);
#endif
        if (no_memory) throw std::bad_alloc();
        throw py::error_already_set();
    }

    PyObject *text = PyUnicode_DecodeUTF8(output.data(), static_cast<Py_ssize_t>(output.size()), "strict");
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text).attr("strip")();
}

// time.sleep(seconds) through the module's `time`.  The interpreter may end
// this thread in the sleep (a daemon thread at exit) by unwinding it: the
// references are plain ones, which the unwinding does not drop without the GIL.
void sleep_seconds(double seconds) {
    PyObject *time = PyObject_GetAttrString(module().ptr(), "time");
    if (!time) throw py::error_already_set();
    PyObject *slept = PyObject_CallMethod(time, "sleep", "d", seconds);
    Py_DECREF(time);
    if (!slept) throw py::error_already_set();
    Py_DECREF(slept);
}

// Runs `body`; an ordinary error is printed after `message` and turns into
// the exit request, anything else (an exit request, an interrupt) passes.
template <class F>
void or_exit(const char *message, F &&body) {
    auto failure = capture(body);
    if (!failure) return;
    if (!failure->matches(PyExc_Exception)) throw *failure;
    py::object error = failure->value();
    failure.reset();
    builtin_print(message, error);
    exit_request();
}

constexpr const char *kGpioFailure =
    "Error in ZUN_Camera. Cant start camera, Please check if Main application is running. Error:";
constexpr const char *kUsbFailure =
    "Error in ZUN_Camera. Cant reset USB, Please check if Camera is attached. Error:";

// The reset tool beside the module in the application's libs directory.
py::object reset_tool_path() {
    py::object os = mod_attr("os");
    py::object environ_map = os.attr("environ");
    if (!environ_map.contains("ROOT_PATH")) return py::str("./libs/usbcam_reset");
    return os.attr("path").attr("join")(environ_map["ROOT_PATH"], "libs", "usbcam_reset");
}

std::string file_system_bytes(py::handle text) {
    PyObject *encoded = PyUnicode_EncodeFSDefault(text.ptr());
    if (!encoded) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(encoded);
}

// The text `serial` as UTF-8, or nothing when it is not text (then it
// equals no serial number of the listing).
std::optional<std::string> serial_text(py::handle serial) {
    if (!PyUnicode_Check(serial.ptr())) return std::nullopt;
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(serial.ptr(), &size);
    if (!data) {
        PyErr_Clear();  // lone surrogates: no decoded listing line can equal it
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

py::object gpio_reset_off(py::handle) {
    or_exit(kGpioFailure, [] {
        run_shell_command("echo 264 > /sys/class/gpio/export", Stderr::inherited);
        sleep_seconds(1);
        run_shell_command("echo out > /sys/class/gpio/gpio264/direction", Stderr::inherited);
        sleep_seconds(1);
        run_shell_command("echo 0 > /sys/class/gpio/gpio264/value", Stderr::inherited);
        sleep_seconds(1);
    });
    return py::none();
}

py::object gpio_reset_on(py::handle) {
    or_exit(kGpioFailure, [] {
        run_shell_command("echo 1 > /sys/class/gpio/gpio264/value", Stderr::discarded);
        sleep_seconds(2);
    });
    return py::none();
}

py::object usbreset(py::handle, py::handle serial) {
    or_exit(kUsbFailure, [&] {
        std::string listing = py::str(run_shell_command("usb-devices", Stderr::inherited));
        sleep_seconds(0.5);
        std::optional<std::string> sought = serial_text(serial);
        if (!sought) return;
        for (const usb::ResetTarget &target : usb::find_reset_targets(listing, *sought)) {
            if (!target.ids) {
                builtin_print("USB reset of camera " + *sought +
                              " skipped: the USB listing shows no vendor and product id for it");
                continue;
            }
            std::string command = usb::reset_command(file_system_bytes(reset_tool_path()), *target.ids);
            run_shell_command(command, Stderr::inherited);
            sleep_seconds(0.5);
            builtin_print("USB INIT DONE");
        }
    });
    return py::none();
}

}  // namespace zun
