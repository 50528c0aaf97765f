"""Operator lines go through the interpreter's print as the application has it
at that moment: with standard output closed (sys.stdout is None) they vanish
without an error, and a replaced builtins.print receives them.

One scenario walks the module's printing paths: the count of listCameras, the
constructor's lines, the grab thread's diagnostic line, and a recovery step's
failure message with its error as a second argument.
"""
import json

import pytest

SERIAL = "40012345"
USB_FAILURE = "Error in ZUN_Camera. Cant reset USB, Please check if Camera is attached. Error:"

SCENARIO = f"""
import builtins, itertools, json, logging, sys, threading
from pypylon import pylon
pylon.scenario.add_camera(serial={SERIAL!r}, frames=itertools.repeat(pylon.Delay(0.02, pylon.frame(4, 5, value=3))))
import zun_camera_basler as z

diagnostic = threading.Event()
class Grabbed(logging.Handler):
    def emit(self, record):
        if record.getMessage().startswith("Grabbed"):
            diagnostic.set()
z.l.addHandler(Grabbed())

class Clock:  # the recovery step fails at its first wait
    def sleep(self, seconds):
        raise ValueError("clock stopped")

lines = []
MODE
cameras = z.listCameras()
cam = z.zun_camera({SERIAL!r})
diagnostic.wait(30)
cam.stop()
cam.t1.join(30)  # the pass that logged the line has printed it too
z.time = Clock()
try:
    cam.usbreset({SERIAL!r})
except SystemExit:
    lines.append("SystemExit")
sys.__stdout__.write(json.dumps([len(cameras), diagnostic.is_set(), cam.t1.is_alive(), lines]) + "\\n")
"""

MODES = {
    "stdout-closed": "sys.stdout = None",
    "print-replaced": "builtins.print = lambda *args, **kwargs: lines.append([str(a) for a in args])",
}


@pytest.mark.parametrize("mode", MODES)
def test_operator_lines_go_through_the_interpreters_print(app, mode):
    app.add_program("bin/usb-devices", "#!/bin/sh\n")
    result = app.run(SCENARIO.replace("MODE", MODES[mode])).check()
    assert result.stderr == ""  # nothing escaped from the grab thread either
    count, diagnosed, alive, lines = json.loads(result.stdout)
    assert [count, diagnosed, alive] == [1, True, False]
    if mode == "stdout-closed":
        assert result.stdout.count("\n") == 1 and lines == ["SystemExit"]
    else:
        assert lines == [["Number of detected Cameras: 1"], ["starting thread"],
                         [f"Camera with serial {SERIAL} was detected. Camera a2A1920-160ucBAS is grabbing now."],
                         ["Grabbed frame shape : (4, 5, 3), mean of image: 3.0"],
                         [USB_FAILURE, "clock stopped"], "SystemExit"]
