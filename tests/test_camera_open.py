"""Opening a camera: the zun_camera constructor against the fake SDK, and the
queries of an opened camera.

Each scenario runs in its own interpreter.  The script writes what it saw
(the SDK trace, attributes, outcomes) to ROOT/result.json; the module's
stdout and log come from the Result.  Cameras get no frames and stop grabbing
when they run out, so the grab thread ends by itself.
"""
import json
import textwrap

import pytest

SERIAL = "40012345"
NOT_FOUND = "Sorry. Your serial was not found. No camera initialized."
OPEN_ERROR = "Error in ZUN_Camera, exception in trying to initialize it, "
STEPS = ("AcquisitionMode", "AcquisitionFrameRate", "ExposureAuto", "GainAuto", "AutoFunctionProfile",
         "MaxNumBuffer", "ExposureMode", "AutoExposureTimeLowerLimit", "AutoExposureTimeUpperLimit",
         "AutoTargetBrightness")

PRELUDE = """
import json, threading, time
from pypylon import pylon

class Serial(str):
    pass

def emit(**values):
    with open("result.json", "w") as out:
        json.dump(values, out, default=repr)

def outcome(call):
    try:
        return ["returned", call()]
    except BaseException as exc:
        return ["raised", type(exc).__name__, str(exc)]

def camera(serial=SERIAL, **options):
    options.setdefault("on_exhausted", "stop")
    return pylon.scenario.add_camera(serial=serial, **options)

def raiser(exc):
    def method(self, *args):
        raise exc
    return method

def names(*wanted):
    return [list(c) for c in pylon.calls if c[0] in wanted]
"""


def run(app, body, **options):
    result = app.run(f"SERIAL = {SERIAL!r}\n" + PRELUDE + textwrap.dedent(body), **options)
    path = app.path / "result.json"
    data = json.loads(path.read_text()) if path.exists() else None
    return result, data


def opening_log(result):
    """The log lines after the module's import line."""
    messages = result.log_messages()
    assert messages[0] == ("INFO", "ZUN CAMERA BASLER - Version: 1.0.2")
    return messages[1:]


def step_line(name, failed):
    if not failed:
        return name + " was set."
    return name + (" was not set" if name == "AutoTargetBrightness" else " was not set.")


def closing(serial, model):
    return f"Camera with serial {serial} was detected. Camera {model} is grabbing now."


def typed(value):
    """25 and 25.0 (or True and 1) differ once typed."""
    if isinstance(value, list):
        return [typed(v) for v in value]
    return (type(value).__name__, value)


@pytest.mark.parametrize("devices, serial", [
    ([], "'40012345'"),
    (["40010001", "40010002"], "'40019999'"),
    (["40010001", "40012345"], "40012345"),  # a number never equals the text
], ids=["no-devices", "other-serials", "serial-as-number"])
def test_no_matching_camera_requests_exit(app, devices, serial):
    result, data = run(app, f"""
        for s in {devices!r}:
            camera(s)
        import zun_camera_basler as z
        obj = z.zun_camera.__new__(z.zun_camera)
        try:
            obj.__init__({serial})
        except SystemExit as exc:
            emit(code=exc.code, attrs=list(obj.__dict__), serials=names("GetSerialNumber"),
                 calls=[c[0] for c in pylon.calls])
            raise  # uncaught, the exit request ends the program with status 0
        print("still running")
    """)
    assert (result.returncode, result.stderr) == (0, "")
    assert data["code"] is None
    assert data["attrs"] == ["lastTime"]
    assert data["serials"] == [["GetSerialNumber", s] for s in devices]
    assert data["calls"].count("EnumerateDevices") == 1
    assert "Open" not in data["calls"] and "CreateFirstDevice" not in data["calls"]
    assert result.stdout.splitlines() == [NOT_FOUND]
    assert opening_log(result) == [("ERROR", NOT_FOUND)]


VALUE_CASES = {
    "defaults": ("", [25, 27, 35000, 0.35], False),
    "keywords": (", fps=30.0, exposureMin=50.5, exposureMax=20000, lighttarget=1, GainAuto='Continuous', lastImage=1",
                 [30.0, 50.5, 20000, 1], True),
    "positional": (", 640, 480, 500, 'Continuous', 'RGB8', 12, 100, 9000, 0.6, False, 0, 'yes'",
                   [12, 100, 9000, 0.6], True),
    "lastImage-zero": (", lastImage=0", [25, 27, 35000, 0.35], False),
    "lastImage-empty": (", lastImage=''", [25, 27, 35000, 0.35], False),
}


@pytest.mark.parametrize("args, values, latest", VALUE_CASES.values(), ids=VALUE_CASES.keys())
def test_open_sequence_and_values_reach_sdk_unconverted(app, args, values, latest):
    result, data = run(app, f"""
        camera("40010001", device_class="BaslerGigE")
        camera(SERIAL, model="a2A1920-160ucBAS")
        import zun_camera_basler as z
        cam = z.zun_camera(SERIAL{args})
        cam.t1.join(10)
        emit(calls=pylon.calls, fps=cam.fps, latest=pylon.GrabStrategy_LatestImageOnly,
             one=pylon.GrabStrategy_OneByOne, pixel=pylon.PixelType_BGR8packed,
             align=pylon.OutputBitAlignment_MsbAligned)
    """)
    result.check()
    fps, low, high, target = values
    s = SERIAL
    expected = [
        ["GetInstance"], ["EnumerateDevices"], ["GetSerialNumber", "40010001"], ["GetSerialNumber", s],
        ["GetSerialNumber", s], ["GetModelName", s], ["GetDeviceClass", s], ["GetIpAddress", s],
        ["GetInstance"], ["CreateFirstDevice", s], ["InstantCamera", s], ["Open", s],
        ["SetValue", s, "AcquisitionMode", "Continuous"], ["SetValue", s, "AcquisitionFrameRate", fps],
        ["SetValue", s, "ExposureAuto", "Continuous"], ["SetValue", s, "GainAuto", "Off"],
        ["SetValue", s, "AutoFunctionProfile", "MinimizeExposureTime"], ["set MaxNumBuffer", s, 2],
        ["SetValue", s, "ExposureMode", "Timed"], ["SetValue", s, "AutoExposureTimeLowerLimit", low],
        ["SetValue", s, "AutoExposureTimeUpperLimit", high], ["SetValue", s, "AutoTargetBrightness", target],
        ["StartGrabbing", s, data["latest"] if latest else data["one"]],
        ["ImageFormatConverter"], ["set OutputPixelFormat", data["pixel"]],
        ["set OutputBitAlignment", data["align"]],
    ]
    assert typed(data["calls"][:len(expected)]) == typed(expected)
    assert typed(data["fps"]) == typed(fps)
    # The grab thread starts after the converter exists.
    assert data["calls"][len(expected)] == ["IsGrabbing", s]
    assert result.stdout.splitlines() == ["starting thread", closing(SERIAL, "a2A1920-160ucBAS")]
    assert opening_log(result) == [("INFO", "Try to open ZUN-Camera"), *[("INFO", step_line(n, False)) for n in STEPS],
                                   ("INFO", closing(SERIAL, "a2A1920-160ucBAS"))]


RECOVERY_CASES = [
    ("BaslerGigE", "True", "True", []),
    ("BaslerCamEmu", "True", "True", []),
    ("BaslerUsb", "False", "False", []),
    ("BaslerUsb", "True", "True", ["gpio_reset_off", "gpio_reset_on", "usbreset"]),
    ("BaslerUsb", "1", "0", ["gpio_reset_off", "gpio_reset_on"]),
    ("BaslerUsb", "None", "'yes'", ["usbreset"]),
]


@pytest.mark.parametrize("device_class, gpioreset, usbreset, recovery", RECOVERY_CASES)
def test_recovery_before_opening_usb_cameras_only(app, device_class, gpioreset, usbreset, recovery):
    result, data = run(app, f"""
        camera("40010001")
        camera(SERIAL, device_class={device_class!r}, model="cam-model")
        import zun_camera_basler as z
        z.zun_camera.gpio_reset_off = lambda self: pylon.calls.append(("gpio_reset_off",))
        z.zun_camera.gpio_reset_on = lambda self: pylon.calls.append(("gpio_reset_on",))
        z.zun_camera.usbreset = lambda self, serial: pylon.calls.append(("usbreset", serial is ARG))

        # Which entry of which enumeration the device is created from.
        enumerations = []
        enumerate_devices, create = pylon.TlFactory.EnumerateDevices, pylon.TlFactory.CreateFirstDevice
        def recording_enumerate(self):
            enumerations.append(enumerate_devices(self))
            return enumerations[-1]
        def recording_create(self, info):
            pylon.calls.append(("entry", [[n, i] for n, found in enumerate(enumerations)
                                          for i, e in enumerate(found) if e is info]))
            return create(self, info)
        pylon.TlFactory.EnumerateDevices, pylon.TlFactory.CreateFirstDevice = recording_enumerate, recording_create

        ARG = Serial(SERIAL)
        cam = z.zun_camera(ARG, gpioreset={gpioreset}, usbreset={usbreset})
        cam.t1.join(10)
        emit(order=names("EnumerateDevices", "GetIpAddress", "gpio_reset_off", "gpio_reset_on", "usbreset",
                         "entry", "CreateFirstDevice", "Open"))
    """)
    result.check()
    expected = [["EnumerateDevices"], ["GetIpAddress", SERIAL]]
    expected += [[step, True] if step == "usbreset" else [step] for step in recovery]
    expected += [["entry", [[0, 1]]], ["CreateFirstDevice", SERIAL], ["Open", SERIAL]]
    assert data["order"] == expected
    assert result.stdout.splitlines() == ["starting thread", closing(SERIAL, "cam-model")]


FAILING_STEPS = {
    "older-model": ("cam.missing_parameters = {'AutoFunctionProfile', 'AutoTargetBrightness'}",
                    {"AutoFunctionProfile", "AutoTargetBrightness"}, False),
    "assorted-errors": ("cam.fail_on.update({'MaxNumBuffer': pylon.RuntimeException('buffers in use'), "
                        "'SetValue:AcquisitionMode': ValueError('bad mode'), 'SetValue:GainAuto': KeyError('gain')})",
                        {"MaxNumBuffer", "AcquisitionMode", "GainAuto"}, False),
    "grabbing-refused": ("cam.fail_on['StartGrabbing'] = pylon.RuntimeException('no bandwidth')", set(), True),
    "nothing-works": ("cam.missing_parameters = set(pylon.PARAMETERS); "
                      "cam.fail_on.update(MaxNumBuffer=pylon.GenericException, StartGrabbing=pylon.RuntimeException)",
                      set(STEPS), True),
}


@pytest.mark.parametrize("setup, failing, refused", FAILING_STEPS.values(), ids=FAILING_STEPS.keys())
def test_failed_settings_are_logged_and_opening_goes_on(app, setup, failing, refused):
    result, data = run(app, f"""
        cam = camera(SERIAL, model="acA1300-30um")
        {setup}
        import zun_camera_basler as z
        obj = z.zun_camera(SERIAL)
        obj.t1.join(10)
        emit(attempted=[c[2] if c[0] == "SetValue" else "MaxNumBuffer" for c in pylon.calls
                        if c[0] in ("SetValue", "set MaxNumBuffer")],
             grabbing=names("StartGrabbing"), converter=type(obj.converter).__name__, attrs=list(obj.__dict__))
    """)
    result.check()
    assert data["attempted"] == list(STEPS)
    assert len(data["grabbing"]) == 1
    assert data["converter"] == "ImageFormatConverter" and data["attrs"][-1] == "t1"
    expected = [("INFO", "Try to open ZUN-Camera"), *[("INFO", step_line(n, n in failing)) for n in STEPS]]
    expected += [("INFO", "GrabStrategy was not set.")] if refused else []
    expected += [("INFO", closing(SERIAL, "acA1300-30um"))]
    assert opening_log(result) == expected
    assert result.stdout.splitlines() == ["starting thread", closing(SERIAL, "acA1300-30um")]


OPEN_FAILURES = {
    "open": ("cam.fail_on['Open'] = pylon.RuntimeException('device is in use')",
             "device is in use : RuntimeException thrown"),
    "create-device": ("cam.fail_on['CreateFirstDevice'] = pylon.GenericException('gone')", "gone : GenericException thrown"),
    "model-name": ("cam.fail_on['GetModelName'] = ValueError('no name')", "no name"),
    "gpio-recovery": ("z.zun_camera.gpio_reset_off = raiser(OSError('gpio busy'))",
                      "gpio busy"),
}


@pytest.mark.parametrize("setup, text", OPEN_FAILURES.values(), ids=OPEN_FAILURES.keys())
def test_camera_that_fails_to_open_is_reported_then_not_found(app, setup, text):
    result, data = run(app, f"""
        cam = camera(SERIAL)
        import zun_camera_basler as z
        z.zun_camera.gpio_reset_off = z.zun_camera.gpio_reset_on = lambda self: None
        {setup}
        try:
            z.zun_camera(SERIAL, gpioreset=True)
        except SystemExit as exc:
            emit(code=exc.code)
    """)
    result.check()
    assert data == {"code": None}
    assert result.stdout.splitlines() == ["Error: " + text, NOT_FOUND]
    assert opening_log(result) == [("INFO", "Try to open ZUN-Camera"), ("ERROR", OPEN_ERROR + text),
                                   ("ERROR", NOT_FOUND)]


@pytest.mark.parametrize("method, raised", [
    ("usbreset", "SystemExit(3)"), ("gpio_reset_on", "KeyboardInterrupt()"), ("gpio_reset_off", "SystemExit('quit')"),
])
def test_exit_request_from_recovery_passes_through_at_once(app, method, raised):
    result, data = run(app, f"""
        camera(SERIAL)
        camera(SERIAL)
        camera("40010002")
        import zun_camera_basler as z
        z.zun_camera.gpio_reset_off = z.zun_camera.gpio_reset_on = z.zun_camera.usbreset = lambda self, *args: None
        z.zun_camera.{method} = raiser({raised})
        emit(outcome=outcome(lambda: z.zun_camera(SERIAL, gpioreset=True, usbreset=True)),
             calls=[c[0] for c in pylon.calls], serials=names("GetSerialNumber"))
    """)
    result.check()
    exc = eval(raised)
    assert data["outcome"] == ["raised", type(exc).__name__, str(exc)]
    assert "CreateFirstDevice" not in data["calls"]
    assert ["GetSerialNumber", "40010002"] not in data["serials"]
    assert opening_log(result) == [("INFO", "Try to open ZUN-Camera")]
    assert result.stdout == ""


def test_scan_continues_to_a_second_entry_after_a_failed_open(app):
    result, data = run(app, """
        camera(SERIAL, model="first-model", temperature=30.0).fail_on["Open"] = pylon.RuntimeException("busy")
        camera(SERIAL, model="second-model", temperature=50.0)
        camera("40010003")
        import zun_camera_basler as z
        obj = z.zun_camera(SERIAL)
        obj.t1.join(10)
        emit(model=obj.getModelName(), temperature=obj.getTemperature(), opens=len(names("Open")),
             serials=names("GetSerialNumber"))
    """)
    result.check()
    assert data["model"] == "second-model" and data["temperature"] == 50.0 and data["opens"] == 2
    assert data["serials"][-1] == ["GetSerialNumber", "40010003"]
    assert result.stdout.splitlines() == ["Error: busy : RuntimeException thrown", "starting thread",
                                          closing(SERIAL, "second-model")]
    assert [m for m in opening_log(result) if m[0] == "ERROR"] == [("ERROR", OPEN_ERROR + "busy : RuntimeException thrown")]


@pytest.mark.parametrize("call", [
    "z.zun_camera()",
    "z.zun_camera(SERIAL, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13)",
    "z.zun_camera(SERIAL, colour='red')",
    "z.zun_camera(SERIAL, serial=SERIAL)",
    "z.zun_camera(SERIAL, 1920, fps=25, width=640)",
    "z.zun_camera(width=640)",
])
def test_argument_errors_before_any_sdk_call(app, call):
    result, data = run(app, f"""
        camera(SERIAL)
        import zun_camera_basler as z
        emit(outcome=outcome(lambda: {call}), calls=[c[0] for c in pylon.calls])
    """)
    result.check()
    assert data["outcome"][:2] == ["raised", "TypeError"] and "__init__" in data["outcome"][2]
    assert "EnumerateDevices" not in data["calls"]


def test_opened_camera_attributes_and_queries(app):
    result, data = run(app, """
        import fractions, cv2
        cam = camera(SERIAL, device_class="BaslerGigE", model="a2A1920-51gcBAS", ip="192.168.3.4",
                     temperature=iter([40.5, 41.0, 43.25]).__next__)
        import zun_camera_basler as z
        FPS = fractions.Fraction(51, 2)
        before = time.time()
        obj = z.zun_camera(Serial(SERIAL), fps=FPS)
        after = time.time()
        obj.t1.join(10)
        rates = [c[3] for c in pylon.calls if c[0] == "SetValue" and c[2] == "AcquisitionFrameRate"]
        report = dict(
            attrs=list(obj.__dict__), in_time=before <= obj.lastTime <= after,
            state=[obj.isActive, obj.isInitializing, obj.stopCam, obj.frame],
            fps_kept=obj.fps is FPS and rates[0] is FPS, thread=[type(obj.t1).__name__, obj.t1.daemon],
            serial=[type(obj.getSerial()).__name__, obj.getSerial()],
            queries=[obj.getModelName(), obj.getIp(), obj.getVersion()],
            temperatures=[obj.getTemperature() for _ in range(3)],
            temperature_reads=len([c for c in pylon.calls if c[0] == "GetValue"]))
        error = pylon.RuntimeException("sensor unavailable")
        cam.fail_on["GetValue:DeviceTemperature"] = error
        try:
            obj.getTemperature()
        except Exception as exc:
            report["error_kept"] = exc is error
        report["no_frame"] = [outcome(lambda: obj.saveFrame("none.png")), outcome(lambda: cv2.imwrite("none.png", None))]
        report["bad_calls"] = [outcome(lambda: obj.saveFrame())[:2], outcome(lambda: obj.saveFrame("a.png", "b.png"))[:2]]
        emit(**report)
    """)
    result.check()
    assert data["attrs"] == ["lastTime", "serial", "modelname", "type", "ip", "cam", "isActive", "isInitializing",
                             "stopCam", "frame", "converter", "fps", "t1"]
    assert data["in_time"] and data["fps_kept"]
    assert data["state"] == [False, True, False, None]
    assert data["thread"] == ["Thread", False]
    assert data["serial"] == ["str", SERIAL]  # the entry's own serial, not the caller's object
    assert data["queries"] == ["a2A1920-51gcBAS", "192.168.3.4", "1.0.2"]
    assert data["temperatures"] == [40.5, 41.0, 43.25] and data["temperature_reads"] == 3
    assert data["error_kept"] is True
    assert data["no_frame"][0] == data["no_frame"][1]
    assert data["bad_calls"] == [["raised", "TypeError"]] * 2


def test_save_frame_writes_the_last_frame_after_the_thread_ended(app):
    result, data = run(app, """
        import cv2, glob, pathlib
        import numpy as np
        image = pylon.frame(48, 64, value="random", seed=5)
        camera(SERIAL, frames=[image])
        import zun_camera_basler as z
        obj = z.zun_camera(SERIAL)
        obj.t1.join(10)
        saved = [obj.saveFrame("shot.png"), obj.saveFrame(savename="again.png"),
                 obj.saveFrame(b"bytes.png"), obj.saveFrame(pathlib.Path("path.png"))]
        # Names OpenCV would crash on, or cut short and write as "cut.png".
        refused = [outcome(lambda: obj.saveFrame(name)) for name in
                   ("\\udc80.png", pathlib.Path("\\udc80.png"), "cut.png\\0.txt", b"cut.png\\0.txt")]
        files = sorted(glob.glob("*.png"))
        emit(saved=saved, alive=obj.t1.is_alive(), files=files, refused=refused,
             same=[np.array_equal(cv2.imread(p), image) for p in files])
    """)
    result.check()
    assert [[r[1], "surrogate" in r[2], "NUL" in r[2]] for r in data.pop("refused")] == \
        [["ValueError", True, False]] * 2 + [["ValueError", False, True]] * 2
    assert data == {"saved": [True] * 4, "alive": False, "files": ["again.png", "bytes.png", "path.png", "shot.png"],
                    "same": [True] * 4}


STREAMING = "camera(SERIAL, frames=itertools.repeat(pylon.Delay(0.02, pylon.frame(8, 8))))"


@pytest.mark.parametrize("line", ["starting thread", "is grabbing now."])
def test_interrupt_after_the_thread_started_stops_it_and_the_program_exits(app, line):
    result, data = run(app, f"""
        import itertools, sys
        {STREAMING}
        import zun_camera_basler as z

        class Interrupted:  # Ctrl-C while the line is printed
            def write(self, text):
                if {line!r} in text:
                    raise KeyboardInterrupt
            def flush(self):
                pass
        obj = z.zun_camera.__new__(z.zun_camera)
        sys.stdout = Interrupted()
        failed = outcome(lambda: obj.__init__(SERIAL))
        sys.stdout = sys.__stdout__
        obj.t1.join(10)
        emit(failed=failed, alive=obj.t1.is_alive(), ends=names("StopGrabbing", "Close"))
    """, timeout=40)  # an orphan grab thread would keep the interpreter from exiting
    result.check()
    assert data == {"failed": ["raised", "KeyboardInterrupt", ""], "alive": False,
                    "ends": [["StopGrabbing", SERIAL], ["Close", SERIAL]]}


def test_second_init_is_refused_while_the_grab_thread_runs(app):
    result, data = run(app, f"""
        import itertools
        {STREAMING}
        import zun_camera_basler as z
        obj = z.zun_camera(SERIAL)
        opened = len(names("GetInstance", "Open"))
        again = outcome(lambda: obj.__init__(SERIAL))[:2]
        emit(again=again, extra=len(names("GetInstance", "Open")) - opened, alive=obj.t1.is_alive())
        obj.stop()
    """)
    result.check()
    assert data == {"again": ["raised", "RuntimeError"], "extra": 0, "alive": True}
