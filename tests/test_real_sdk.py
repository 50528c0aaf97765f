"""The module against the real camera SDK, with its camera emulation.

Two emulated cameras (serials 0815-0000 and 0815-0001, class "BaslerCamEmu")
stand in for real ones: frames are grabbed, converted, saved and stopped for
real.  Emulated cameras lack several of the settings a real camera takes and
have no temperature sensor; the module must survive both.
"""
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from conftest import REPO, install_tree

WAIT_FOR_FRAMES = """
import time
def wait_active(cam, limit=20.0):
    end = time.time() + limit
    while not cam.getFlagAndFrame()[0]:
        assert time.time() < end, "no frame arrived"
        time.sleep(0.01)
"""

# A binding that has made its deprecated calls fail.  Not -W on the command
# line: some bindings warn while they are imported.
DEPRECATIONS_AS_ERRORS = """
from pypylon import pylon
import warnings
warnings.simplefilter("error", DeprecationWarning)
"""


def test_listCameras_matches_what_the_sdk_enumerates(app):
    result = app.run("""
        import json
        import zun_camera_basler as z
        cams = z.listCameras()
        devices = [(d.GetDeviceClass(), d.GetSerialNumber(), d.GetModelName(), d.GetIpAddress())
                   for d in z.pylon.TlFactory.GetInstance().EnumerateDevices()]
        print(json.dumps({"cams": cams, "devices": devices}))
    """, sdk="real").check()
    lines = result.stdout.splitlines()
    seen = json.loads(lines[-1])
    # Emulated cameras have a class of their own, which the list leaves out.
    assert [d[:3] for d in seen["devices"]] == [
        ["BaslerCamEmu", "0815-0000", "Emulation"], ["BaslerCamEmu", "0815-0001", "Emulation"]]
    expected = [d for d in seen["devices"] if d[0] in ("BaslerUsb", "BaslerGigE")]
    assert len(seen["cams"]) == len(expected)
    assert lines[0] == f"Number of detected Cameras: {len(expected)}"


def test_emulated_camera_streams_saves_and_stops_with_deprecations_as_errors(app, tmp_path):
    png = tmp_path / "frame.png"
    result = app.run(DEPRECATIONS_AS_ERRORS + WAIT_FOR_FRAMES + f"""
import json, cv2, numpy as np
import zun_camera_basler as z
cam = z.zun_camera("0815-0000")
wait_active(cam)
time.sleep(1.3)  # at least one diagnostic line
flag, frame = cam.getFlagAndFrame()
report = {{"flag": flag, "shape": frame.shape, "dtype": str(frame.dtype),
          "grey": bool((frame[..., 0] == frame[..., 1]).all() and (frame[..., 1] == frame[..., 2]).all()),
          "levels": int(len(np.unique(frame)))}}
try:
    report["temperature"] = float(cam.getTemperature())
except Exception as error:
    report["temperature_error"] = [type(error).__name__, str(error)]
report["identity"] = [cam.getSerial(), cam.getModelName(), cam.getIp(), cam.getVersion()]
report["settings"] = [cam.cam.MaxNumBuffer.Value, cam.converter.OutputBitAlignment.Value]
cam.stop()
cam.t1.join(10)
report["ended"] = not cam.t1.is_alive() and cam.isActive is False
# The SDK's own error for the missing sensor (its wording differs between versions).
cam.cam.Open()
try:
    cam.cam.DeviceTemperature.GetValue()
except Exception as error:
    report["sdk_temperature_error"] = [type(error).__name__, str(error)]
cam.cam.Close()
# After the thread has ended the last published frame is still there to save.
report["saved"] = bool(cam.saveFrame({str(png)!r}))
report["read_back_equal"] = bool(np.array_equal(cv2.imread({str(png)!r}), cam.frame))
# The camera was closed: a new object opens it again in the same process.
again = z.zun_camera("0815-0000")
wait_active(again)
again.stop(); again.t1.join(10)
report["reopened"] = True
print(json.dumps(report))
""", sdk="real").check()
    report = json.loads(result.stdout.splitlines()[-1])
    assert report["flag"] is True
    assert report["shape"][2] == 3 and report["dtype"] == "uint8"
    # The emulator's grey test pattern, as BGR: three equal channels, many levels.
    assert report["grey"] and report["levels"] > 100
    assert report["saved"] and report["read_back_equal"]
    assert report["identity"] == ["0815-0000", "Emulation", "N/A", "1.0.2"]
    assert report["settings"] == [2, "MsbAligned"]  # as the SDK reads them back (its defaults differ)
    # Emulated cameras have no temperature sensor; the SDK's error reaches the caller.
    assert "temperature_error" in report and report["temperature_error"] == report.get("sdk_temperature_error")
    assert report["ended"] and report["reopened"]

    messages = [m for _, m in result.log_messages()]
    h, w = report["shape"][:2]
    diagnostic = f"Grabbed frame shape : ({h}, {w}, 3), mean of image: "
    assert any(m.startswith(diagnostic) for m in messages)
    assert any(line.startswith(diagnostic) for line in result.stdout.splitlines())
    # The settings the emulator refuses are logged, and construction goes on.
    for name in ("AutoFunctionProfile", "AutoExposureTimeLowerLimit", "AutoExposureTimeUpperLimit"):
        assert f"{name} was not set." in messages
    assert "AutoTargetBrightness was not set" in messages
    for name in ("AcquisitionMode", "AcquisitionFrameRate", "ExposureAuto", "GainAuto", "MaxNumBuffer", "ExposureMode"):
        assert f"{name} was set." in messages
    assert messages.count("Camera with serial 0815-0000 was detected. Camera Emulation is grabbing now.") == 2


def test_two_emulated_cameras_stream_at_once(app):
    result = app.run(WAIT_FOR_FRAMES + """
import zun_camera_basler as z
a = z.zun_camera("0815-0000")
b = z.zun_camera("0815-0001")
wait_active(a); wait_active(b)
fa, fb = a.getFlagAndFrame()[1], b.getFlagAndFrame()[1]
time.sleep(0.5)
moved = a.getFlagAndFrame()[1] is not fa and b.getFlagAndFrame()[1] is not fb
a.stop(); b.stop(); a.t1.join(10); b.t1.join(10)
print("both streaming" if moved else "stalled", a.t1.is_alive(), b.t1.is_alive())
""", sdk="real").check()
    assert result.stdout.splitlines()[-1] == "both streaming False False"
    # The grab threads start together; the native pass is resolved and checked once.
    assert len([m for _, m in result.log_messages() if m.startswith("Grab pass: ")]) == 1


def test_unknown_serial_ends_with_the_exit_request(app):
    result = app.run("""
import zun_camera_basler as z
try:
    z.zun_camera("0815-9999")
except SystemExit as e:
    print("exit code", e.code)
""", sdk="real").check()
    assert result.stdout.splitlines()[-2:] == [
        "Sorry. Your serial was not found. No camera initialized.", "exit code None"]


def test_import_in_an_application_root_writes_the_banner_first(app):
    app.run("import zun_camera_basler", sdk="real").check()
    (log,) = (app.path / "logs").glob("zun_camera_basler_*.log")
    assert log.read_text().splitlines()[0].endswith("ZUN CAMERA BASLER - Version: 1.0.2")


@pytest.fixture(scope="module")
def deployed(tmp_path_factory):
    """An application tree laid out by the build's install step; the folder
    name has a blank in it, as real install paths sometimes do."""
    root = tmp_path_factory.mktemp("deploy") / "my app"
    done = install_tree(root)
    assert done.returncode == 0, done.stdout + done.stderr
    return root


def run_in(root, args, cwd, **popen):
    env = dict(os.environ, ROOT_PATH=str(root), PYLON_CAMEMU="2")
    env.pop("PYTHONPATH", None)
    return subprocess.Popen([sys.executable, *args], cwd=cwd, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **popen)


def test_deployed_tree_runs_an_application(deployed, tmp_path):
    assert {p.name for p in (deployed / "libs").iterdir()} >= {
        "zun_logger.py", "usbcam_reset", "zun_camera_basler.pyi"}
    app = tmp_path / "app.py"
    app.write_text(WAIT_FOR_FRAMES + """
import os, sys
root = os.environ["ROOT_PATH"]
sys.path[:0] = [os.path.join(root, "libs"), root]
import zun_camera_basler as z
cam = z.zun_camera("0815-0001")
wait_active(cam)
cam.stop(); cam.t1.join(10)
print("frames flowed", cam.frame.shape)
""")
    out, err = run_in(deployed, [str(app)], tmp_path).communicate(timeout=120)
    assert "frames flowed" in out, err
    (log,) = (deployed / "logs").glob("zun_camera_basler_*.log")
    assert "Camera with serial 0815-0001 was detected." in log.read_text()
    assert not (tmp_path / "logs").exists()


def test_demo_streams_saves_and_exits_cleanly(deployed, tmp_path):
    png = tmp_path / "snap.png"
    proc = run_in(deployed, [str(REPO / "examples" / "demo.py"), "--seconds", "2", "--out", str(png)], tmp_path)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, err
    assert "Camera with serial 0815-0000 was detected." in out
    assert any(line.startswith("[") and "active=True" in line and "fps=" in line for line in out.splitlines())
    assert "module version 1.0.2" in out
    import cv2
    assert cv2.imread(str(png)).shape[2] == 3
    assert out.rstrip().endswith("Stopped: grab thread ended, camera closed.")


def interruptible():
    # A suite run as a background job of a shell inherits SIGINT ignored, and
    # so would the interpreter under test: give it a terminal's default.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def test_demo_stops_cleanly_on_ctrl_c(deployed, tmp_path):
    proc = run_in(deployed, [str(REPO / "examples" / "demo.py"), "--seconds", "60", "--out", str(tmp_path / "s.png")],
                  tmp_path, preexec_fn=interruptible)
    # Interrupt once the stream is running: its first status line is out.
    lines = []
    for line in proc.stdout:
        lines.append(line)
        if line.startswith("["):
            break
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    assert "Interrupted." in out and out.rstrip().endswith("Stopped: grab thread ended, camera closed.")


RECORDER = """
class Recorder:  # a converter that remembers the image it converted last
    def __init__(self, inner):
        self.inner, self.count, self.last = inner, 0, None
    def Convert(self, result):
        self.last = self.inner.Convert(result)
        self.count += 1
        return self.last
"""


SDK_BUFFER = """
import ctypes, glob
def sdk_buffer(image):  # the address of the image's pixels, asked of the SDK's own library
    (path,) = glob.glob(os.path.join(os.path.dirname(z.pylon.__file__), "libpylonutility.so.*"))
    get = ctypes.CDLL(path, mode=os.RTLD_NOLOAD | os.RTLD_NOW)._ZN5Pylon11CPylonImage9GetBufferEv
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.c_void_p]
    return get(int(image.this))
"""
GRAB_PASS = "Grab pass: "
NATIVE_PASS = GRAB_PASS + "native, "
NATIVE_LINE = (NATIVE_PASS + "the SDK's own calls with the GIL let go of once per frame, into images of the module's "
               "(checked against the binding).")
RESTART = "Sync Camera thread. The program will restart now."


PATTERN = """
import numpy as np
def pattern(frame):  # the emulated camera's test image: grey, each sample x + y + k (mod 256)
    y, x = np.indices(frame.shape[:2])
    grey = (frame[..., 0] == frame[..., 1]).all() and (frame[..., 1] == frame[..., 2]).all()
    return bool(grey and ((frame[..., 0].astype(int) - x - y - int(frame[0, 0, 0])) % 256 == 0).all())
"""


def test_native_frames_are_whole_new_arrays_over_the_modules_images_and_outlive_everything(app):
    result = app.run(WAIT_FOR_FRAMES + PATTERN + """
import gc, json
import zun_camera_basler as z
cam = z.zun_camera("0815-0000", fps=100)
wait_active(cam)
frames = [cam.getFlagAndFrame()[1]]
while len(frames) < 30:
    frame = cam.getFlagAndFrame()[1]
    if frame is not frames[-1]:
        frames.append(frame)
cam.stop(); cam.t1.join(10)
early, early_copy = frames[0], frames[0].copy()
report = {"whole": all(pattern(f) for f in frames), "shapes": sorted({f.shape for f in frames}),
          "kinds": sorted({(str(f.dtype), f.flags.c_contiguous, f.flags.writeable, type(f.base).__name__)
                           for f in frames}), "buffers": len({f.ctypes.data for f in frames})}
del cam, frames, frame
gc.collect()
churn = [np.full(early.shape, 255, np.uint8) for _ in range(20)]  # reuse of freed memory would show
report["early_intact"] = bool(np.array_equal(early, early_copy))
print(json.dumps(report))
""", sdk="real").check()
    report = json.loads(result.stdout.splitlines()[-1])
    assert report == {"whole": True, "shapes": [[1040, 1024, 3]], "kinds": [["uint8", True, True, "FrameBuffer"]],
                      "buffers": 30, "early_intact": True}
    assert [m for _, m in result.log_messages() if m.startswith(GRAB_PASS)] == [NATIVE_LINE]


@pytest.mark.parametrize("case", ["switched off", "RGB converter"])
def test_frames_through_the_binding_are_its_images_own_pixels_where_it_lends_them(app, case):
    result = app.run(WAIT_FOR_FRAMES + RECORDER + f"""
import json, os
import zun_camera_basler as z
""" + SDK_BUFFER + f"""
cam = z.zun_camera("0815-0000", fps=100)
converter = cam.converter
if {case!r} == "RGB converter":
    converter = z.pylon.ImageFormatConverter()
    converter.OutputPixelFormat = z.pylon.PixelType_RGB8packed
recorder = cam.converter = Recorder(converter)
mark = recorder.count
while recorder.count < mark + 20:
    time.sleep(0.02)
cam.stop(); cam.t1.join(10)
image, frame = recorder.last, cam.frame
print(json.dumps({{"flag_seen": cam.isInitializing is False, "shape": frame.shape,
                  "same_bytes": frame.tobytes() == image.GetArray().tobytes(),
                  "no_copy": frame.ctypes.data == sdk_buffer(image),
                  "memory_view": hasattr(image, "GetMemoryView")}}))
""", sdk="real", env={"ZUN_NATIVE_FRAMES": "0"} if case == "switched off" else None).check()
    report = json.loads(result.stdout.splitlines()[-1])
    assert report["flag_seen"] and report["shape"] == [1040, 1024, 3] and report["same_bytes"]
    # Through the binding the pixels are copied unless it lends its memory view.
    assert report["no_copy"] == report["memory_view"]


def test_failed_grabs_are_never_converted_through_the_binding(app):
    result = app.run(WAIT_FOR_FRAMES + """
import json
import zun_camera_basler as z
class Checker:  # a converter that counts the results it is given that the binding calls failed
    def __init__(self, inner):
        self.inner, self.count, self.failed = inner, 0, 0
    def Convert(self, result):
        self.failed += not result.GrabSucceeded()
        self.count += 1
        return self.inner.Convert(result)
cam = z.zun_camera("0815-0000", fps=100)
checker = cam.converter = Checker(cam.converter)
wait_active(cam)
cam.cam.ForceFailedBufferCount.Value = 5
cam.cam.ForceFailedBuffer.Execute()
end = time.time() + 20
while cam.cam.ForcedFailedBuffersRemaining.Value and time.time() < end:
    time.sleep(0.02)
mark = checker.count
while checker.count < mark + 5 and time.time() < end:
    time.sleep(0.02)
report = {"left": cam.cam.ForcedFailedBuffersRemaining.Value, "streams": checker.count >= mark + 5,
          "failed": checker.failed, "active": cam.isActive}
cam.stop(); cam.t1.join(10)
print(json.dumps(report))
""", sdk="real").check()
    assert json.loads(result.stdout.splitlines()[-1]) == {"left": 0, "streams": True, "failed": 0, "active": True}


def test_frames_stay_whole_while_the_converter_is_replaced_and_the_flag_stays_down_after_stop(app):
    result = app.run(WAIT_FOR_FRAMES + """
import json, threading
import zun_camera_basler as z
shapes, late_flags = set(), 0
for cycle in range(5):
    cam = z.zun_camera("0815-0000", fps=100)
    wait_active(cam)
    done = threading.Event()
    def replace():
        while not done.is_set():
            cam.setconverter()
    other = threading.Thread(target=replace)
    other.start()
    seen = None
    end = time.time() + 1.0
    while time.time() < end:
        frame = cam.getFlagAndFrame()[1]
        if frame is not seen:
            shapes.add(frame.shape)
            seen = frame
        time.sleep(0.002)
    done.set(); other.join()
    cam.stop()
    while cam.t1.is_alive():  # a stop that has returned is never undone
        late_flags += cam.getFlagAndFrame()[0] is True
    cam.t1.join(10)
print(json.dumps({"shapes": sorted(shapes), "late_flags": late_flags}))
""", sdk="real", timeout=180).check()
    report = json.loads(result.stdout.splitlines()[-1])
    assert report == {"shapes": [[1040, 1024, 3]], "late_flags": 0}




def test_native_pass_outlives_its_camera_reuses_its_images_and_ends_on_a_time_out(app):
    result = app.run(WAIT_FOR_FRAMES + """
import json, numpy as np
import zun_camera_basler as z
cam = z.zun_camera("0815-0000", fps=100)
wait_active(cam)
kept = [cam.getFlagAndFrame()[1]]
while len(kept) < 3:  # three frames kept, the rest dropped at once
    frame = cam.getFlagAndFrame()[1]
    if frame is not kept[-1]:
        kept.append(frame)
copies = [frame.copy() for frame in kept]
cam.stop(); cam.t1.join(10)
del cam

class Triggered(z.pylon.InstantCamera):  # waits for a trigger that never comes
    def Open(self):
        super().Open()
        self.TriggerSelector.Value = "FrameStart"
        self.TriggerMode.Value = "On"
        self.TriggerSource.Value = "Software"

cam = z.zun_camera("0815-0001", fps=100)
wait_active(cam)
addresses, seen = set(), None
for _ in range(60):  # frames dropped as they come: their images go back to the pool
    while cam.getFlagAndFrame()[1] is seen:
        time.sleep(0.001)
    seen = cam.getFlagAndFrame()[1]
    addresses.add(seen.ctypes.data)
cam.stop(); cam.t1.join(10)
seen = None
z.pylon.InstantCamera = Triggered
cam = z.zun_camera("0815-0000")
cam.t1.join(20)
print(json.dumps({"intact": all(np.array_equal(k, c) for k, c in zip(kept, copies)),
                  "addresses": len(addresses), "ended": [cam.t1.is_alive(), cam.isActive, cam.cam.IsOpen()]}))
""", sdk="real", timeout=180).check()
    report = json.loads(result.stdout.splitlines()[-1])
    assert report == {"intact": True, "addresses": report["addresses"], "ended": [False, False, False]}
    assert report["addresses"] <= 5, "each frame had a new buffer"
    messages = [m for _, m in result.log_messages()]
    assert [m for m in messages if m.startswith(GRAB_PASS)][0].startswith(NATIVE_PASS)
    assert [m for m in messages if m.startswith(RESTART)] == [RESTART + " Code:637b21"]


def test_asks_never_let_go_of_the_gil_yet_frames_keep_coming(app):
    # With no forced switch of the GIL for 100 s, a loop that asks and never
    # lets go of the GIL sees new frames (it publishes them itself), and a
    # thread that is ready to run meanwhile does not run.
    result = app.run(WAIT_FOR_FRAMES + """
import json, sys, threading
import zun_camera_basler as z
cam = z.zun_camera("0815-0000", fps=100)
wait_active(cam)
cam.lastTime = time.time() + 3600  # no diagnostic line, which is the grab thread's to write
def new_frames(n):
    seen, count = cam.getFlagAndFrame()[1], 0
    while count < n:
        frame = cam.getFlagAndFrame()[1]
        count, seen = count + (frame is not seen), frame
new_frames(5)  # past the first passes, which the grab thread publishes itself
gate, ran = threading.Lock(), []
gate.acquire()
ready = threading.Thread(target=lambda: (gate.acquire(), ran.append(True)))
ready.start()
sys.setswitchinterval(100)
gate.release()  # from here on it waits for nothing but the GIL
new_frames(20)
during = list(ran)
sys.setswitchinterval(0.005)
ready.join(); cam.stop(); cam.t1.join(10)
print(json.dumps({"during": during, "after": ran}))
""", sdk="real", timeout=300).check()
    assert json.loads(result.stdout.splitlines()[-1]) == {"during": [], "after": [True]}


@pytest.mark.parametrize("switch", [None, "0"])
def test_a_camera_that_delivers_only_failed_grabs_ends_the_thread_after_five_seconds(app, switch):
    result = app.run(WAIT_FOR_FRAMES + """
import json
import zun_camera_basler as z
cam = z.zun_camera("0815-0000", fps=100)
wait_active(cam)
cam.cam.ForceFailedBufferCount.Value = 20  # a short burst: skipped, the stream goes on
cam.cam.ForceFailedBuffer.Execute()
while cam.cam.ForcedFailedBuffersRemaining.Value:
    time.sleep(0.01)
frame = cam.frame
wait_for_new = time.time() + 10
while cam.frame is frame and time.time() < wait_for_new:
    time.sleep(0.01)
after_burst = [cam.frame is not frame, cam.isActive]
cam.cam.ForceFailedBufferCount.Value = 1024  # about ten seconds of failed grabs
cam.cam.ForceFailedBuffer.Execute()
start = time.time()
cam.t1.join(20)
print(json.dumps({"seconds": time.time() - start, "ended": [cam.t1.is_alive(), cam.isActive, cam.cam.IsOpen()],
                  "left": cam.cam.ForcedFailedBuffersRemaining.Value > 0, "after_burst": after_burst}))
cam.stop()
""", sdk="real", env={"ZUN_NATIVE_FRAMES": switch}).check()
    report = json.loads(result.stdout.splitlines()[-1])
    assert report["after_burst"] == [True, True]
    # Ended by the failed grabs themselves, while they still came, once they had come for 5 s.
    assert report["ended"] == [False, False, False] and report["left"] and report["seconds"] > 4.9
    restarts = [m for _, m in result.log_messages() if m.startswith(RESTART)]
    assert restarts == [RESTART + "No grab has succeeded for 5000 ms: the camera delivers only failed grab results."]
    passes = [m for _, m in result.log_messages() if m.startswith(GRAB_PASS)]
    assert passes[0].startswith(NATIVE_PASS if switch is None else GRAB_PASS + "the binding's calls, as the native "
                                "pass is not taken: it is switched off (ZUN_NATIVE_FRAMES=0)")


def test_ctrl_c_twice_while_the_interpreter_waits_for_the_grab_thread_ends_without_an_abort(app):
    script = app.path / "waits.py"
    script.write_text(WAIT_FOR_FRAMES + """
import zun_camera_basler as z
cam = z.zun_camera("0815-0000", fps=100)
wait_active(cam)
print("streaming", flush=True)  # and the interpreter waits for the grab thread at exit
""")
    env = dict(os.environ, PYLON_CAMEMU="1", PYTHONPATH=os.pathsep.join([str(app.libs), str(app.path)]))
    proc = subprocess.Popen([sys.executable, str(script)], cwd=app.path, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, preexec_fn=interruptible)
    assert proc.stdout.readline().startswith("starting thread")
    while not proc.stdout.readline().startswith("streaming"):
        pass
    for _ in range(2):
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    # Ended by the interrupts (or by the second one's default action), not aborted.
    assert proc.returncode != -signal.SIGABRT and "FATAL" not in err, err


def test_frames_cost_what_the_application_keeps_and_another_output_format_streams(app):
    result = app.run(WAIT_FOR_FRAMES + """
import json, os
import zun_camera_basler as z
import ctypes
trim = getattr(ctypes.CDLL(None), "malloc_trim", lambda pad: 0)  # the C library hands freed memory back
def resident_mb():
    trim(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
def keep(n):
    kept = [cam.getFlagAndFrame()[1]]
    while len(kept) < n:
        frame = cam.getFlagAndFrame()[1]
        if frame is not kept[-1]:
            kept.append(frame)
    return kept
def settled():  # resident memory once the grab thread has had its passes
    time.sleep(0.5)
    return resident_mb()
cam = z.zun_camera("0815-0000", fps=100)
wait_active(cam)
base = settled()
kept = keep(30)  # 3 MB each
held = settled() - base
del kept
freed_while_grabbing = held - (settled() - base)
kept = keep(30)
cam.stop(); cam.t1.join(10)
del kept
freed_after_stop = held - (settled() - base)
cam = z.zun_camera("0815-0000", fps=100)
wait_active(cam)
cam.converter.OutputPixelFormat = z.pylon.PixelType_RGB8packed
frame = cam.frame
while cam.frame is frame:
    time.sleep(0.01)
rgb = cam.frame
cam.stop(); cam.t1.join(10)
print(json.dumps({"held": held, "freed": [freed_while_grabbing, freed_after_stop], "rgb": rgb.shape,
                  "grey": bool((rgb[..., 0] == rgb[..., 2]).all())}))
""", sdk="real", timeout=180).check()
    report = json.loads(result.stdout.splitlines()[-1])
    # Thirty frames held ~90 MB; once dropped, all but a few spare images are freed, grabbing or not.
    assert report["held"] > 60 and min(report["freed"]) > report["held"] - 20, report
    assert report["rgb"] == [1040, 1024, 3] and report["grey"]
    # Another output format is this converter's condition, not the process's.
    assert [m for _, m in result.log_messages() if m.startswith(GRAB_PASS)] == [NATIVE_LINE]


def test_the_supervisor_example_brings_frames_back_after_a_time_out_and_after_failed_grabs(app):
    result = app.run(f"""
import json, sys, threading, time
sys.path.insert(0, {str(REPO / "examples")!r})
import zun_camera_basler as z
from supervisor import Supervisor
count = [0]
supervisor = Supervisor(z, "0815-0000", lambda frame: count.__setitem__(0, count[0] + 1), first_pause=0.1)
runner = threading.Thread(target=supervisor.run)
runner.start()
def frames_again(restarts):  # the restart, then new frames
    while len(supervisor.restarts) < restarts:
        time.sleep(0.05)
    seen = count[0]
    while count[0] < seen + 5:
        time.sleep(0.05)
frames_again(0)
cam = supervisor.camera.cam  # waits for a trigger that never comes
cam.TriggerSelector.Value, cam.TriggerSource.Value, cam.TriggerMode.Value = "FrameStart", "Software", "On"
frames_again(1)
supervisor.camera.cam.ForceFailedBufferCount.Value = 1024  # nothing but failed grabs, 40 s of them
supervisor.camera.cam.ForceFailedBuffer.Execute()
frames_again(2)
supervisor.stop(); runner.join()
print(json.dumps({{"restarts": supervisor.restarts, "closed": not supervisor.camera.cam.IsOpen()}}))
""", sdk="real", timeout=180).check()
    report = json.loads(result.stdout.splitlines()[-1])
    assert report == {"restarts": [[[], RESTART + " Code:637b21"], [[], RESTART + "No grab has succeeded for "
                      "5000 ms: the camera delivers only failed grab results."]], "closed": True}


COUNTED_CONVERTS = """
import zun_camera_basler as z
converts, binding_convert = {}, z.pylon.ImageFormatConverter.Convert
def counted(self, *args):  # the binding's own Convert, counted per converter
    converts[id(self)] = converts.get(id(self), 0) + 1
    return binding_convert(self, *args)
z.pylon.ImageFormatConverter.Convert = counted
"""


def test_another_output_format_takes_the_binding_for_that_camera_only_and_the_native_pass_comes_back(app):
    result = app.run(WAIT_FOR_FRAMES + COUNTED_CONVERTS + """
import json
a, b = z.zun_camera("0815-0000", fps=100), z.zun_camera("0815-0001", fps=100)
wait_active(a); wait_active(b)
def frames(cam, n):
    seen, got = cam.getFlagAndFrame()[1], []
    while len(got) < n:
        frame = cam.getFlagAndFrame()[1]
        if frame is not seen:
            seen = frame
            got.append(frame.shape)
        time.sleep(0.002)
    return got
through_binding = lambda cam, n: (lambda before: (frames(cam, n), converts.get(id(cam.converter), 0) - before)[1])(
    converts.get(id(cam.converter), 0))
frames(a, 3); frames(b, 3)  # past the process's check
counts = [through_binding(a, 10)]
a.converter.OutputPixelFormat = z.pylon.PixelType_RGB8packed
counts.append(through_binding(a, 10))
a.converter.OutputPixelFormat = z.pylon.PixelType_BGR8packed
frames(a, 3)
counts += [through_binding(a, 10), through_binding(b, 10), a.isActive]
a.stop(); b.stop(); a.t1.join(10); b.t1.join(10)
print(json.dumps(counts))
""", sdk="real").check()
    native, other, back, other_camera, active = json.loads(result.stdout.splitlines()[-1])
    assert (native, back, other_camera, active) == (0, 0, 0, True) and other >= 9


def test_each_frame_is_published_once_while_several_threads_ask(app):
    result = app.run(WAIT_FOR_FRAMES + PATTERN + """
import json, threading
import zun_camera_basler as z
cam = z.zun_camera("0815-0000", fps=100)
wait_active(cam)
seen, done = {}, threading.Event()  # every frame any of them saw, kept alive
def ask():
    while not done.is_set():
        frame = cam.getFlagAndFrame()[1]
        seen.setdefault(id(frame), frame)
        if len(seen) >= 40:
            done.set()
askers = [threading.Thread(target=ask) for _ in range(4)]
for t in askers: t.start()
for t in askers: t.join()
cam.stop(); cam.t1.join(10)
frames = list(seen.values())
print(json.dumps([len(frames), len({f.ctypes.data for f in frames}), all(pattern(f) for f in frames)]))
""", sdk="real").check()
    frames, buffers, whole = json.loads(result.stdout.splitlines()[-1])
    assert buffers == frames >= 40 and whole  # never two arrays over one image


def test_an_error_while_an_asking_thread_publishes_reaches_the_grab_threads_handler(app):
    result = app.run(WAIT_FOR_FRAMES + """
import json, threading
import zun_camera_basler as z
cam = z.zun_camera("0815-0000", fps=100)
wait_active(cam)
raised = []
def ask():
    while cam.t1.is_alive():
        try:
            cam.getFlagAndFrame()
        except Exception as error:
            raised.append(repr(error))
asker = threading.Thread(target=ask)
asker.start()
cam.lastTime = "soon"  # the clock check of the next frame raises
cam.t1.join(20); asker.join()
print(json.dumps([raised, cam.isActive, cam.cam.IsOpen()]))
""", sdk="real").check()
    assert json.loads(result.stdout.splitlines()[-1]) == [[], False, False]
    (restart,) = [m for _, m in result.log_messages() if m.startswith(RESTART)]
    assert "str" in restart and "Code:637b21" not in restart


def test_an_exception_in_the_check_leaves_the_native_pass_to_be_checked_again(app):
    result = app.run(WAIT_FOR_FRAMES + COUNTED_CONVERTS + """
def once(self, *args):  # the first conversion, the check's, raises
    z.pylon.ImageFormatConverter.Convert = counted
    raise RuntimeError("conversion refused")
z.pylon.ImageFormatConverter.Convert = once
cam = z.zun_camera("0815-0000", fps=100)
cam.t1.join(20)
again = z.zun_camera("0815-0000", fps=100)
wait_active(again)
again.stop(); again.t1.join(10)
""", sdk="real").check()
    messages = [m for _, m in result.log_messages()]
    assert [m for m in messages if m.startswith(RESTART)] == [RESTART + "conversion refused"]
    assert [m for m in messages if m.startswith(GRAB_PASS)] == [NATIVE_LINE]
