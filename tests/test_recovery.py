"""Device recovery: the USB bus reset of a camera found by its serial number,
and the reset cycle of GPIO line 264.

usbreset reads a fake `usb-devices` in ROOT/bin and starts a reset tool that
appends its argv (its own path first) to $RESET_RECORD.  The module's `time`
is replaced by a clock that prints each wait instead of waiting, together with
what had happened by then, so stdout is a transcript of the call.  The GPIO
cycle writes into a tmpfs mounted over /sys/class in a private mount namespace.
"""
import json
import os
import shlex
import shutil
import subprocess
import sys
import textwrap

import pytest

from conftest import BUILD, REPO, cmake_cache, install_tree, place_program, program_command

CHECK = REPO / "tools" / "zun_camera_check" / "zun_camera_check"

USB_FAILURE = "Error in ZUN_Camera. Cant reset USB, Please check if Camera is attached. Error:"
GPIO_FAILURE = "Error in ZUN_Camera. Cant start camera, Please check if Main application is running. Error:"
SKIP = "skip"

RESET_TOOL = f"""\
#!{sys.executable}
import json, os, sys
with open(os.environ["RESET_RECORD"], "a") as record:
    record.write(json.dumps(sys.argv) + "\\n")
print("reset tool output")
print("reset tool complaint", file=sys.stderr)
sys.exit(int(os.environ.get("RESET_EXIT", "0")))
"""

USB_SCENARIO = """
import os, time
import zun_camera_basler

class Clock:
    def sleep(self, seconds):
        path = os.environ["RESET_RECORD"]
        runs = len(open(path).readlines()) if os.path.exists(path) else 0
        print(f"sleep {seconds:g} runs={runs}")
    def time(self):
        return time.time()

zun_camera_basler.time = Clock()
cam = zun_camera_basler.zun_camera.__new__(zun_camera_basler.zun_camera)
try:
    result = cam.usbreset(SERIAL)
except SystemExit as exit:
    print(f"SystemExit code={exit.code!r}")
    raise
print(f"returned {result!r}")
"""


def device(vendor, product, serial=None, product_line=None):
    lines = ["T:  Bus=02 Lev=01 Prnt=01 Port=00 Cnt=01 Dev#=  2 Spd=5000 MxCh= 0",
             "D:  Ver= 3.20 Cls=ef(misc ) Sub=02 Prot=01 MxPS= 9 #Cfgs=  1",
             product_line or f"P:  Vendor={vendor} ProdID={product} Rev=01.00",
             "S:  Manufacturer=Basler"]
    if serial is not None:
        lines.append(f"S:  SerialNumber={serial}")
    lines.append("C:  #Ifs= 3 Cfg#= 1 Atr=80 MxPwr=896mA")
    return "\n".join(lines) + "\n\n"


ROOT_HUB = device("1d6b", "0003", "0000:00:14.0")
HUB = device("05e3", "0620")
TWO_CAMERAS = ROOT_HUB + device("2676", "ba01", "40011111") + device("2676", "ba02", "40012345")


def reset_argv(tool, vendor, product):
    return [tool, "-v", f"0x{vendor}", "-p", f"0x{product}", "--reset-usb", "--verbose"]


def transcript(serial, outcomes):
    lines, runs = ["sleep 0.5 runs=0"], 0
    for outcome in outcomes:
        if outcome == SKIP:
            lines.append(f"USB reset of camera {serial} skipped: the USB listing shows no vendor and product id for it")
        else:
            runs += 1
            lines += [f"sleep 0.5 runs={runs}", "USB INIT DONE"]
    return lines + ["returned None"]


def run_usbreset(app, listing, serial, *, tool="libs/usbcam_reset", env=None):
    if listing is not None:
        listing_file = app.path / "listing"
        listing_file.write_bytes(listing.encode() if isinstance(listing, str) else listing)
        app.add_program("bin/usb-devices", f"#!/bin/sh\ncat {shlex.quote(str(listing_file))}\n")
    if tool is not None:
        app.add_program(tool, RESET_TOOL)
    record = app.path / "resets.jsonl"
    result = app.run(USB_SCENARIO.replace("SERIAL", repr(serial)), sdk="real",
                     env={"RESET_RECORD": str(record), **(env or {})})
    runs = [json.loads(line) for line in record.read_text().splitlines()] if record.exists() else []
    return result, runs


@pytest.mark.parametrize("listing, serial, outcomes", [
    pytest.param(TWO_CAMERAS, "40012345", [("2676", "ba02")], id="second-of-two-cameras"),
    pytest.param(TWO_CAMERAS, "40011111", [("2676", "ba01")], id="first-of-two-cameras"),
    pytest.param(HUB + device("2676", "ba02", "40012345"), "40012345", [("2676", "ba02")], id="behind-hub-without-serial"),
    pytest.param(device("2676", "ba02", " \t40012345  ") + HUB, "40012345", [("2676", "ba02")], id="blanks-in-listing"),
    pytest.param(TWO_CAMERAS, " 40012345", [], id="blank-before-argument"),
    pytest.param(TWO_CAMERAS, "40012345 ", [], id="blank-after-argument"),
    pytest.param(TWO_CAMERAS, 40012345, [], id="serial-as-number"),
    pytest.param(TWO_CAMERAS, "4001234", [], id="part-of-serial"),
    pytest.param(TWO_CAMERAS, "40099999", [], id="unknown-serial"),
    pytest.param(device("2676", "ba02", "40012345") + device("2676", "ba03", "40012345"), "40012345",
                 [("2676", "ba02"), ("2676", "ba03")], id="two-lines-with-the-serial"),
    pytest.param(device("", "", "40011111", product_line="P:  Vendor=abcd") + device("2676", "ba02", "40012345"),
                 "40012345", [("2676", "ba02")], id="malformed-product-line-of-other-device"),
    pytest.param(ROOT_HUB + device("", "", "40012345", product_line="P:  Vendor=2676 ProdID ba02")
                 + device("2676", "ba03", "40012345"), "40012345", [SKIP, ("2676", "ba03")],
                 id="malformed-product-line-of-camera"),
    pytest.param("S:  SerialNumber=40012345\n\n" + device("2676", "ba02", "40012345"), "40012345",
                 [SKIP, ("2676", "ba02")], id="serial-before-any-product-line"),
])
def test_usbreset_resets_each_device_listed_with_the_serial(app, listing, serial, outcomes):
    result, runs = run_usbreset(app, listing, serial)
    result.check()
    assert result.stdout.splitlines() == transcript(serial, outcomes)
    assert runs == [reset_argv("./libs/usbcam_reset", *ids) for ids in outcomes if ids != SKIP]
    assert ("reset tool complaint" in result.stderr) == bool(runs)


@pytest.mark.parametrize("root_path", [None, "", "opt/app", "opt/app/", "zun app", "x;touch pwned;", "it's $HOME"])
def test_usbreset_starts_the_tool_under_root_path(app, tmp_path, root_path):
    if not root_path:  # absent or empty: the tool beside the working directory's libs
        tool, env = "libs/usbcam_reset", {"ROOT_PATH": root_path}
        expected = "./libs/usbcam_reset" if root_path is None else "libs/usbcam_reset"
    else:
        env = {"ROOT_PATH": f"{tmp_path}/{root_path}"}
        expected = tool = f"{tmp_path}/{root_path.rstrip('/')}/libs/usbcam_reset"
    result, runs = run_usbreset(app, TWO_CAMERAS, "40012345", tool=tool, env=env)
    result.check()
    assert result.stdout.splitlines() == transcript("40012345", [("2676", "ba02")])
    assert runs == [reset_argv(expected, "2676", "ba02")]
    assert not (app.path / "pwned").exists()


def test_commands_start_with_default_signal_handling(app):
    # The interpreter ignores SIGPIPE and SIGXFSZ; a command run for the
    # module must not inherit that, or a pipeline in it misbehaves.
    status = app.path / "status"
    app.add_program("bin/usb-devices", f"#!/bin/sh\nexec grep -E '^Sig(Ign|Blk)' /proc/self/status > {shlex.quote(str(status))}\n")
    result, runs = run_usbreset(app, None, "40012345")
    result.check()
    masks = dict(line.split(":") for line in status.read_text().splitlines())
    ignored, blocked = int(masks["SigIgn"], 16), int(masks["SigBlk"], 16)
    for signal_number in (13, 25):  # SIGPIPE, SIGXFSZ
        assert not ignored & (1 << (signal_number - 1))
    assert blocked == 0


def test_interrupt_during_a_command_arrives_at_once_and_the_child_is_ended(app):
    # The module's child is the shell; it may run the sleeping command as its own child.
    pids = app.path / "pids"
    app.add_program("bin/usb-devices", f"#!/bin/sh\necho $$ $PPID > {shlex.quote(str(pids))}\nexec sleep 10\n")
    result = app.run(f"""
        import json, os, signal, threading, time
        import zun_camera_basler
        signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started with SIGINT ignored
        def interrupt():
            while not (os.path.exists({str(pids)!r}) and open({str(pids)!r}).read().strip()):
                time.sleep(0.01)
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)
        sent = []
        threading.Thread(target=interrupt).start()
        try:
            zun_camera_basler.zun_camera.__new__(zun_camera_basler.zun_camera).usbreset("40012345")
        except KeyboardInterrupt:
            took = time.monotonic() - sent[0]
        command, parent = map(int, open({str(pids)!r}).read().split())
        child = command if parent == os.getpid() else parent
        left = os.path.exists(f"/proc/{{child}}")  # running, or ended and not waited for
        if command != child and os.path.exists(f"/proc/{{command}}"):
            os.kill(command, signal.SIGKILL)
        print(json.dumps([took, left]))
    """, timeout=60).check()
    took, left = json.loads(result.stdout)
    assert took < 1.0 and not left, (took, left)


@pytest.mark.parametrize("call", ["usbreset", "gpio_reset_on"])
def test_a_daemon_thread_in_a_recovery_step_lets_the_interpreter_exit_cleanly(app, call):
    # The interpreter ends a daemon thread that comes back to the GIL while it
    # finalizes: here from the wait for a shell command (usbreset) or from a
    # sleep (the GPIO cycle), while an object's __del__ makes the end last.
    pids = app.path / "pids"
    app.add_program("bin/usb-devices", f"#!/bin/sh\necho $$ $PPID > {shlex.quote(str(pids))}\nexec sleep 10\n")
    result = app.run(f"""
        import os, threading, time
        import zun_camera_basler
        class SlowEnd:
            def __del__(self, sleep=time.sleep):
                sleep(0.3 if {call!r} == "usbreset" else 2.5)
        slow_end = SlowEnd()
        cam = zun_camera_basler.zun_camera.__new__(zun_camera_basler.zun_camera)
        args = ("40012345",) if {call!r} == "usbreset" else ()
        threading.Thread(target=getattr(cam, {call!r}), args=args, daemon=True).start()
        while args and not (os.path.exists({str(pids)!r}) and open({str(pids)!r}).read().strip()):
            time.sleep(0.01)
        print(os.getpid())  # and the interpreter exits while the step waits
    """, timeout=60)
    assert result.returncode == 0 and "terminate" not in result.stderr, result
    if call == "usbreset":  # the shell the step started is killed and waited for
        command, parent = map(int, pids.read_text().split())
        child = command if parent == int(result.stdout) else parent
        assert not os.path.exists(f"/proc/{child}")
        if command != child and os.path.exists(f"/proc/{command}"):
            os.kill(command, 9)


@pytest.mark.parametrize("case, complaint", [("no-usb-devices", "usb-devices"), ("tool-missing", "usbcam_reset"),
                                             ("tool-fails", "reset tool complaint")])
def test_usbreset_tolerates_missing_and_failing_programs(app, case, complaint):
    listing = None if case == "no-usb-devices" else TWO_CAMERAS
    env = {"PATH": str(app.bin)} if case == "no-usb-devices" else {"RESET_EXIT": "4"}
    tool = None if case == "tool-missing" else "libs/usbcam_reset"
    result, runs = run_usbreset(app, listing, "40012345", tool=tool, env=env)
    result.check()
    if case == "no-usb-devices":
        expected = transcript("40012345", [])
    else:  # "USB INIT DONE" whatever became of the reset
        expected = ["sleep 0.5 runs=0", f"sleep 0.5 runs={len(runs)}", "USB INIT DONE", "returned None"]
    assert result.stdout.splitlines() == expected
    assert len(runs) == (case == "tool-fails")
    assert complaint in result.stderr


def test_usbreset_listing_not_utf8_requests_exit(app):
    listing = TWO_CAMERAS.replace("Manufacturer=Basler", "Manufacturer=Basler\xff").encode("latin-1")
    with pytest.raises(UnicodeDecodeError) as decoding:
        listing.decode()
    result, runs = run_usbreset(app, listing, "40012345")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"{USB_FAILURE} {decoding.value}", "SystemExit code=None"]
    assert runs == []


# --- GPIO line 264, in a private mount namespace --------------------------------

GPIO_FILES = ("mkdir -p /sys/class/gpio/gpio264 && touch /sys/class/gpio/export"
              " /sys/class/gpio/gpio264/direction /sys/class/gpio/gpio264/value")

GPIO_SCENARIO = """
import os, sys, time
import zun_camera_basler

def seen(name):
    path = "/sys/class/gpio/" + name
    return open(path).read().strip() if os.path.exists(path) else "absent"

class Clock:
    def sleep(self, seconds):
        FAULT
        print(f"sleep {seconds:g}: export={seen('export')} direction={seen('gpio264/direction')}"
              f" value={seen('gpio264/value')}")
    def time(self):
        return time.time()

CLOCK
cam = zun_camera_basler.zun_camera.__new__(zun_camera_basler.zun_camera)
for call, args in CALLS:
    print(f"--- {call}", file=sys.stderr)
    started = time.monotonic()
    try:
        print(f"{call} returned {getattr(cam, call)(*args)!r}")
    except SystemExit as exit:
        print(f"SystemExit code={exit.code!r}")
    except KeyboardInterrupt:
        print("KeyboardInterrupt")
    print(f"{call} took {time.monotonic() - started}", file=sys.stderr)
"""


def gpio_scenario(calls, clock=True, fault="pass"):
    calls = [(call, ("40012345",) if call == "usbreset" else ()) for call in calls]
    return (GPIO_SCENARIO.replace("FAULT", fault).replace("CALLS", repr(calls))
            .replace("CLOCK", "zun_camera_basler.time = Clock()" if clock else ""))


@pytest.fixture(scope="module")
def private_sys_class():
    if shutil.which("unshare") is None:
        pytest.skip("unshare is not installed")
    probe = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", "mount -t tmpfs none /sys/class"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs over /sys/class in a private mount namespace: {probe.stderr.strip()}")


def run_isolated(app, script, setup="true"):
    """app.run(sdk="real") with the interpreter started in a private mount
    namespace where an empty tmpfs covers /sys/class and `setup` has run."""
    (app.path / "scenario.py").write_text(textwrap.dedent(script))
    env = {k: v for k, v in os.environ.items() if k not in ("ROOT_PATH", "PYLON_CAMEMU")}
    env.update(PYLON_CAMEMU="2", PYTHONPATH=os.pathsep.join([str(app.libs), str(app.path)]),
               PATH=os.pathsep.join([str(app.bin), env.get("PATH", "")]),
               PYTHONUNBUFFERED="1", PYTHONDONTWRITEBYTECODE="1")
    inner = f"mount -t tmpfs none /sys/class && {setup} && exec {shlex.quote(sys.executable)} scenario.py"
    return subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", inner],
                          cwd=app.path, env=env, capture_output=True, text=True, timeout=120)


def stderr_of(proc, call):
    return proc.stderr.split(f"--- {call}\n", 1)[1].split(f"{call} took", 1)[0]


OFF, ON = "gpio_reset_off", "gpio_reset_on"


@pytest.mark.parametrize("setup, states", [
    pytest.param(GPIO_FILES, [("264", "", ""), ("264", "out", ""), ("264", "out", "0"), ("264", "out", "1")],
                 id="gpio-files"),
    pytest.param("true", [("absent",) * 3] * 4, id="no-gpio"),
])
def test_gpio_cycle_writes_line_264(app, private_sys_class, setup, states):
    proc = run_isolated(app, gpio_scenario([OFF, ON]), setup)
    assert proc.returncode == 0, proc.stderr
    waits = [f"sleep {s}: export={e} direction={d} value={v}" for s, (e, d, v) in zip((1, 1, 1, 2), states)]
    assert proc.stdout.splitlines() == waits[:3] + [f"{OFF} returned None", waits[3], f"{ON} returned None"]
    if setup == "true":
        for path in ("/sys/class/gpio/export", "/sys/class/gpio/gpio264/direction", "/sys/class/gpio/gpio264/value"):
            assert path in stderr_of(proc, OFF)
    else:
        assert stderr_of(proc, OFF) == ""
    assert stderr_of(proc, ON) == ""


def test_gpio_cycle_really_waits(app, private_sys_class):
    proc = run_isolated(app, gpio_scenario([OFF, ON], clock=False), GPIO_FILES)
    assert proc.returncode == 0, proc.stderr
    took = {call: float(proc.stderr.split(f"{call} took ", 1)[1].split()[0]) for call in (OFF, ON)}
    assert took[OFF] >= 3 and took[ON] >= 2, took


@pytest.mark.parametrize("call, message", [(OFF, GPIO_FAILURE), (ON, GPIO_FAILURE),
                                           ("usbreset", USB_FAILURE)])
@pytest.mark.parametrize("fault", ["ValueError('clock stopped')", "KeyboardInterrupt"])
def test_recovery_error_requests_exit_only_for_ordinary_errors(app, private_sys_class, call, message, fault):
    proc = run_isolated(app, gpio_scenario([call], fault=f"raise {fault}"), GPIO_FILES)
    assert proc.returncode == 0, proc.stderr
    if fault == "KeyboardInterrupt":
        assert proc.stdout.splitlines() == ["KeyboardInterrupt"]
    else:
        assert proc.stdout.splitlines() == [f"{message} clock stopped", "SystemExit code=None"]


# --- C++ listing parser and the deployed tool ------------------------------------

def test_cpp_listing_parser():
    proc = subprocess.run(program_command(BUILD / "test_usb_listing"), capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and " 0 failed" in proc.stdout, proc.stdout + proc.stderr


def test_install_lays_out_application_tree(app, tmp_path):
    prefix = tmp_path / "site"
    done = install_tree(prefix)
    assert done.returncode == 0, done.stdout + done.stderr
    names = {path.name for path in (prefix / "libs").iterdir()}
    assert {"usbcam_reset", "zun_logger.py", "zun_camera_basler.pyi"} <= names
    assert any(name.startswith("zun_camera_basler") and name.endswith(".so") for name in names), names
    tool = prefix / "libs" / "usbcam_reset"
    assert subprocess.run(program_command(tool, "--help"), capture_output=True, timeout=30).returncode == 0
    place_program(tool, tool)  # for the module to start
    # The field check starts with the interpreter the module was built for;
    # built for another machine, with the python3 it finds on PATH there.
    check, source = (prefix / "libs" / "zun_camera_check").read_text().splitlines(), CHECK.read_text().splitlines()
    cross = cmake_cache("CMAKE_TOOLCHAIN_FILE") is not None
    assert check[0] == (source[0] if cross else "#!" + cmake_cache("Python_EXECUTABLE")) and check[1:] == source[1:]
    # The deployed tool accepts the module's command line: it looks for the
    # camera's ids in an empty device tree, finds nothing and says so.
    (tmp_path / "no-devices").mkdir()
    result, _ = run_usbreset(app, TWO_CAMERAS, "40012345", tool=None,
                             env={"ROOT_PATH": str(prefix), "USBCAM_RESET_SYSFS": str(tmp_path / "no-devices")})
    result.check()
    assert result.stdout.splitlines() == ["sleep 0.5 runs=0", "sleep 0.5 runs=0", "USB INIT DONE", "returned None"]
    assert "no USB device 2676:ba02 found" in result.stderr
