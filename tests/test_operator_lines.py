"""Operator lines go through the interpreter's print as the application has it:
with standard output closed (sys.stdout None) they vanish without an error; a
replaced builtins.print receives them, a recovery step's message with its
error as a second argument."""
import json

import pytest

SCENARIO = """
import builtins, itertools, json, logging, sys, threading
from pypylon import pylon
pylon.scenario.add_camera(serial="40012345", frames=itertools.repeat(pylon.Delay(0.02, pylon.frame(4, 5, value=3))))
import zun_camera_basler as z
diagnosed = threading.Event()
# Notes the diagnostic line and lets every line through.
z.l.addFilter(lambda record: not record.getMessage().startswith("Grabbed") or not diagnosed.set())

class Clock:  # the recovery step fails at its first wait
    def sleep(self, seconds):
        raise ValueError("clock stopped")

lines = []
MODE
cameras = z.listCameras()
cam = z.zun_camera("40012345")
diagnosed.wait(30)
cam.stop()
cam.t1.join(30)  # the pass that logged the diagnostic line has printed it too
z.time = Clock()
try:
    cam.usbreset("40012345")
except SystemExit:
    lines.append("SystemExit")
sys.__stdout__.write(json.dumps([len(cameras), diagnosed.is_set(), cam.t1.is_alive(), lines]))
"""


@pytest.mark.parametrize("mode", ["sys.stdout = None",
                                  "builtins.print = lambda *args: lines.append([str(a) for a in args])"])
def test_operator_lines_go_through_the_interpreters_print(app, mode):
    app.add_program("bin/usb-devices", "#!/bin/sh\n")
    result = app.run(SCENARIO.replace("MODE", mode)).check()
    assert result.stderr == ""  # nothing escaped from the grab thread either
    count, diagnosed, alive, lines = json.loads(result.stdout)
    assert [count, diagnosed, alive] == [1, True, False]
    printed = [] if "None" in mode else [
        ["Number of detected Cameras: 1"], ["starting thread"],
        ["Camera with serial 40012345 was detected. Camera a2A1920-160ucBAS is grabbing now."],
        ["Grabbed frame shape : (4, 5, 3), mean of image: 3.0"],
        ["Error in ZUN_Camera. Cant reset USB, Please check if Camera is attached. Error:", "clock stopped"]]
    assert lines == printed + ["SystemExit"]
