"""What importing zun_camera_basler does (libraries, log directory, logger,
banner, module and class layout) and camera discovery with listCameras.

Every scenario runs in a fresh interpreter; a scenario that reports back
prints one JSON document as its last line of standard output.
"""
import json
import os
import re

import pytest

BANNER = "ZUN CAMERA BASLER - Version: 1.0.2"
LIBRARIES = ["pylon", "threading", "cv2", "sys", "os", "time", "datetime", "subprocess", "np"]
MODULE_NAMES = LIBRARIES + ["day", "log", "logdir", "logfile", "l", "version", "listCameras", "zun_camera"]
OPERATIONS = ["__init__", "getSerial", "getModelName", "getIp", "setconverter", "read", "run",
              "getFlagAndFrame", "saveFrame", "stop", "getVersion", "getTemperature",
              "gpio_reset_off", "gpio_reset_on", "usbreset"]

# Stands in for libs/zun_logger.py: notes each use in ROOT/logger_calls.txt and,
# with LOGGER_FAIL set, fails at that point.
RECORDING_LOGGER = '''
import os
_MARK = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "logger_calls.txt")
_FAIL = os.environ.get("LOGGER_FAIL", "")

def _note(text):
    with open(_MARK, "a") as out:
        out.write(text + "\\n")

_note("import")
if _FAIL == "import":
    raise RuntimeError("logger component is broken")

class _Logger:
    def info(self, text):
        _note("info " + text)
        if _FAIL == "info":
            raise OSError(28, "No space left on device")

class zun_logger:
    def __init__(self):
        _note("zun_logger")
        if _FAIL == "zun_logger":
            raise LookupError("no logging configuration")

    def createlogger(self, name, logfile):
        _note("createlogger " + name + " " + logfile)
        if _FAIL == "createlogger":
            raise PermissionError(13, "Permission denied", logfile)
        return _Logger()
'''

IMPORT_OUTCOME = """
import json, sys
try:
    import zun_camera_basler
    outcome = "ok"
except BaseException as exc:
    outcome = [type(exc).__name__, str(exc), repr(exc.__cause__)]
print(json.dumps([outcome, "zun_camera_basler" in sys.modules]))
"""


def report(result):
    result.check()
    return json.loads(result.stdout.splitlines()[-1])


def logger_calls(app):
    marks = app.path / "logger_calls.txt"
    return marks.read_text().splitlines() if marks.exists() else []


def use_recording_logger(app):
    (app.libs / "zun_logger.py").write_text(RECORDING_LOGGER)


# ---------------------------------------------------------------- log directory

@pytest.mark.parametrize("case", ["absent", "set", "trailing slash", "empty", "already there"])
def test_log_directory_and_file(app, tmp_path, case):
    cwd = app.path / "work"
    cwd.mkdir()
    root = tmp_path / "not yet" / "made" / "root"
    env, expected_dir, location = None, "./logs", cwd / "logs"
    if case in ("set", "already there"):
        env, expected_dir, location = {"ROOT_PATH": str(root)}, str(root / "logs"), root / "logs"
    elif case == "trailing slash":
        env, expected_dir, location = {"ROOT_PATH": str(root) + "/"}, str(root / "logs"), root / "logs"
    elif case == "empty":
        env, expected_dir = {"ROOT_PATH": ""}, "logs"
    if case == "already there":
        location.mkdir(parents=True)
        (location / "other.log").write_text("kept\n")

    got = report(app.run("""
        import datetime, json, os
        before = datetime.datetime.now().strftime("%d_%m_%Y")
        import zun_camera_basler as m
        after = datetime.datetime.now().strftime("%d_%m_%Y")
        print(json.dumps({"before": before, "after": after, "day": m.day,
                          "logdir": m.logdir, "logfile": m.logfile}))
    """, env=env, cwd=cwd))

    day = got["day"]
    assert day in (got["before"], got["after"])
    assert got["logdir"] == expected_dir
    assert got["logfile"] == os.path.join(expected_dir, f"zun_camera_basler_{day}.log")
    assert [p.name for p in sorted(location.iterdir())] == sorted(
        [f"zun_camera_basler_{day}.log"] + (["other.log"] if case == "already there" else []))
    assert BANNER in (location / f"zun_camera_basler_{day}.log").read_text()
    if case == "already there":
        assert (location / "other.log").read_text() == "kept\n"
    if location != cwd / "logs":
        assert not (cwd / "logs").exists()


@pytest.mark.parametrize("root_path, error", [
    (None, "FileExistsError"),            # ./logs is a file
    ("plain-file", "NotADirectoryError"),  # ROOT_PATH itself is a file
])
def test_regular_file_in_place_of_log_directory_fails_before_the_logger(app, root_path, error):
    use_recording_logger(app)
    (app.path / "logs").write_text("not a directory\n")
    (app.path / "plain-file").write_text("not a directory\n")
    env = {"ROOT_PATH": str(app.path / root_path)} if root_path else None
    outcome, loaded = report(app.run(IMPORT_OUTCOME, env=env))
    assert outcome[0] == error
    assert not loaded
    assert logger_calls(app) == ["import"]


# ------------------------------------------------------ failing steps of the import

def test_sdk_package_without_pylon_is_an_import_error(app):
    (app.path / "pypylon").mkdir()
    (app.path / "pypylon" / "__init__.py").write_text("VERSION = '0'\n")
    outcome, loaded = report(app.run(IMPORT_OUTCOME, sdk="real"))
    assert outcome[0] == "ImportError" and "pylon" in outcome[1]
    assert not loaded
    assert not (app.path / "logs").exists()


@pytest.mark.parametrize("broken, error, creates_logs, calls", [
    ("cv2", "RuntimeError", False, []),
    ("import", "RuntimeError", False, ["import"]),
    ("zun_logger", "LookupError", True, ["import", "zun_logger"]),
    ("createlogger", "PermissionError", True, ["import", "zun_logger", "createlogger"]),
    ("info", "OSError", True, ["import", "zun_logger", "createlogger", "info"]),
])
def test_failing_step_ends_the_import_with_its_exception(app, broken, error, creates_logs, calls):
    use_recording_logger(app)
    env = None
    if broken == "cv2":
        (app.path / "cv2.py").write_text("raise RuntimeError('cannot open display')\n")
    else:
        env = {"LOGGER_FAIL": broken}
    outcome, loaded = report(app.run(IMPORT_OUTCOME, env=env))
    assert outcome[0] == error
    assert not loaded
    assert (app.path / "logs").is_dir() == creates_logs
    assert [line.split()[0] for line in logger_calls(app)] == calls


# ------------------------------------------------------------- logger and banner

def test_logger_is_made_once_and_the_banner_is_its_first_message(app):
    use_recording_logger(app)
    day = report(app.run("""
        import importlib, json
        import zun_camera_basler
        import zun_camera_basler
        importlib.import_module("zun_camera_basler")
        print(json.dumps(zun_camera_basler.day))
    """))
    assert logger_calls(app) == [
        "import", "zun_logger",
        f"createlogger zun_camera_basler ./logs/zun_camera_basler_{day}.log",
        "info " + BANNER,
    ]


def test_banner_once_per_process_with_time_stamp_and_level(app):
    script = """
        import importlib
        import zun_camera_basler as m
        importlib.import_module("zun_camera_basler")
        m.log.zun_logger().createlogger("zun_camera_basler", m.logfile).info("RUN %s")
    """
    app.run(script % "one").check()
    result = app.run(script % "two").check()
    assert result.log_messages() == [("INFO", BANNER), ("INFO", "RUN one"),
                                     ("INFO", BANNER), ("INFO", "RUN two")]
    stamp = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO zun_camera_basler: "
    assert all(re.fullmatch(stamp + r"\S.*", line) for line in result.log_lines())
    assert result.stdout == ""


# ------------------------------------------------------------ module and class

def test_module_attributes_in_order(app):
    got = report(app.run("""
        import datetime, json, logging, os, subprocess, sys, threading, time
        import cv2, numpy
        from pypylon import pylon
        import zun_camera_basler as m
        names = [n for n in vars(m) if not (n.startswith("__") and n.endswith("__"))]
        same = {"pylon": pylon, "threading": threading, "cv2": cv2, "sys": sys, "os": os,
                "time": time, "datetime": datetime, "subprocess": subprocess, "np": numpy,
                "log": sys.modules.get("libs.zun_logger"),
                "l": logging.getLogger("zun_camera_basler")}
        print(json.dumps({"names": names, "doc": m.__doc__, "version": m.version,
                          "same": [n for n, obj in same.items() if getattr(m, n) is obj]}))
    """))
    assert got["names"] == MODULE_NAMES
    assert got["doc"] is None
    assert got["version"] == "1.0.2"
    assert got["same"] == LIBRARIES + ["log", "l"]


def test_camera_class_layout(app):
    got = report(app.run("""
        import json, threading
        import zun_camera_basler as m
        cls = m.zun_camera
        obj = cls.__new__(cls)
        obj.note = "mine"
        worker = threading.Thread(target=obj.read)
        try:
            m.listCameras("extra")
            extra = None
        except TypeError:
            extra = "TypeError"
        print(json.dumps({
            "bases": [b.__name__ for b in cls.__bases__],
            "keys": list(vars(cls)),
            "docs": [cls.__doc__] + [getattr(cls, n).__doc__ for n in vars(cls)
                                     if n not in ("__module__", "__dict__", "__weakref__", "__doc__")],
            "note": obj.note, "bound": obj.read.__self__ is obj and worker._target == obj.read,
            "extra": extra}))
    """))
    assert got["bases"] == ["object"]
    assert got["keys"] == ["__module__", "__dict__", "__weakref__", "__doc__"] + OPERATIONS
    assert got["docs"] == [None] * (1 + len(OPERATIONS))
    assert got["note"] == "mine" and got["bound"]
    assert got["extra"] == "TypeError"


def test_import_after_removal_from_sys_modules_is_refused(app):
    again = "import importlib, sys\nimport zun_camera_basler as first\nassert importlib.reload(first) is first\n" \
            "del sys.modules['zun_camera_basler']\n"
    outcome, loaded = report(app.run(again + IMPORT_OUTCOME))
    assert outcome[:2] == ["ImportError", "zun_camera_basler is already initialised in this process and cannot be "
                                          "imported again: keep the module object of the first import"]
    assert not loaded


# ------------------------------------------------------------------ listCameras

USB = {"class": "BaslerUsb", "serial": "40010001", "model": "a2A1920-160ucBAS", "ip": ""}
GIGE = {"class": "BaslerGigE", "serial": "23456789", "model": "a2A1920-51gcBAS", "ip": "192.168.3.7"}
EMU = {"class": "BaslerCamEmu", "serial": "0815-0000", "model": "Emulation", "ip": "N/A"}

DISCOVERY = """
import json, sys
from pypylon import pylon
devices = {}
for d in DEVICES:
    devices[d["serial"]] = pylon.scenario.add_device(d["class"], serial=d["serial"], model=d["model"], ip=d["ip"])
PREPARE
import zun_camera_basler
del pylon.calls[:]
first = zun_camera_basler.listCameras()
trace = list(pylon.calls)
records = [list(r.items()) for r in first]
first.append("mine")
second = zun_camera_basler.listCameras()
print(json.dumps({"records": records, "again": [list(r.items()) for r in second], "trace": trace,
                  "fresh": second is not first and "mine" not in second}))
"""


def record(device):
    ip = device["ip"] if device["class"] == "BaslerGigE" else None
    return [["class", device["class"]], ["modelname", device["model"]], ["serial", device["serial"]], ["ip", ip]]


def expected_trace(devices):
    trace = [["GetInstance"], ["EnumerateDevices"]]
    for d in devices:
        s = d["serial"]
        trace.append(["GetDeviceClass", s])
        if d["class"] == "BaslerUsb":
            trace += [["GetModelName", s], ["GetSerialNumber", s]]
        trace.append(["GetDeviceClass", s])
        if d["class"] == "BaslerGigE":
            trace += [["GetModelName", s], ["GetSerialNumber", s], ["GetIpAddress", s]]
    return trace


@pytest.mark.parametrize("devices", [[], [USB], [GIGE], [GIGE, EMU, USB], [EMU]],
                         ids=["none", "usb", "gige", "gige-emu-usb", "emu only"])
def test_list_cameras_records_output_and_trace(app, devices):
    result = app.run(DISCOVERY.replace("DEVICES", json.dumps(devices)).replace("PREPARE", ""))
    got = report(result)
    counted = [d for d in devices if d["class"] in ("BaslerUsb", "BaslerGigE")]
    assert got["records"] == got["again"] == [record(d) for d in counted]
    assert got["trace"] == expected_trace(devices)
    assert got["fresh"]
    assert result.stdout.splitlines()[:-1] == [f"Number of detected Cameras: {len(counted)}"] * 2


def test_device_changing_class_between_the_two_tests_gives_two_records(app):
    prepare = """
def turn():
    devices["40010001"].device_class = "BaslerGigE"
devices["40010001"].fail_on["GetDeviceClass"] = turn
"""
    device = dict(USB, ip="10.0.0.9")
    script = DISCOVERY.replace("DEVICES", json.dumps([device])).replace("PREPARE", prepare)
    result = app.run(script)
    got = report(result)
    assert got["records"] == [record(device), record(dict(device, **{"class": "BaslerGigE"}))]
    assert result.stdout.splitlines()[0] == "Number of detected Cameras: 2"


@pytest.mark.parametrize("failing", ["EnumerateDevices", "GetDeviceClass", "GetModelName",
                                     "GetSerialNumber", "GetIpAddress"])
def test_sdk_error_during_discovery_reaches_the_caller(app, failing):
    result = app.run(f"""
        import json
        from pypylon import pylon
        pylon.scenario.add_camera(serial="40010001")
        gige = pylon.scenario.add_camera(serial="23456789", device_class="BaslerGigE", ip="192.168.3.7")
        error = pylon.RuntimeException("device went away")
        if "{failing}" == "EnumerateDevices":
            pylon.scenario.enumerate_error = error
        else:
            gige.fail_on["{failing}"] = error
        import zun_camera_basler
        try:
            zun_camera_basler.listCameras()
            outcome = None
        except Exception as exc:
            outcome = [type(exc).__name__, str(exc), exc is error]
        print(json.dumps(outcome))
    """)
    outcome = report(result)
    assert outcome[0] == "RuntimeException" and outcome[2]
    assert "device went away" in outcome[1]
    assert result.stdout.splitlines()[:-1] == []
