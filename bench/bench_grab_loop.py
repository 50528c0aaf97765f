"""Per-frame cost of the grab loop's own work, side by side with the same loop
written in plain Python.

A zero-cost camera stands in for the SDK: retrieval hands back a ready grab
result, conversion a ready array, so what is measured is the loop itself
(attribute traffic, flag publication, the clock, the rate-limited diagnostic).

Figures, each measured for both loops in one run:
  frames/s       a tight loop on the calling thread (nothing else running)
  GIL us/frame   how long the grab thread holds the GIL per frame while the
                 camera "waits" 200 us per frame with the GIL released, as the
                 SDK does: from the end of one retrieval to the start of the
                 next, as the stand-in's retrieval times it
  diagnostic     one loop pass that writes the diagnostic line for a
                 1200 x 1920 x 3 frame (the mean is the bulk of it)

Run from the repository: .venv/bin/python bench/bench_grab_loop.py
"""
import glob
import itertools
import os
import sys
import tempfile
import threading
import time
import types

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The build folder paired with this interpreter's environment, as for the
# tests: .venv -> build, .venv-3.7 -> build-3.7.
_venv = os.path.basename(sys.prefix)
BUILD = os.environ.get("ZUN_BUILD_DIR") or os.path.join(
    REPO, "build-" + _venv[len(".venv-"):] if _venv.startswith(".venv-") else "build")
ROOT = tempfile.mkdtemp(prefix="zun_bench_")
LIBS = os.path.join(ROOT, "libs")
os.makedirs(LIBS)
for path in glob.glob(os.path.join(BUILD, "zun_camera_basler*.so")) + [os.path.join(REPO, "libs", "zun_logger.py")]:
    os.symlink(path, os.path.join(LIBS, os.path.basename(path)))
sys.path[:0] = [LIBS, ROOT]
os.chdir(ROOT)
os.environ["PYLON_CAMEMU"] = "0"

import numpy as np  # noqa: E402
import zun_camera_basler as zun  # noqa: E402

FRAME = np.full((1200, 1920, 3), 87, np.uint8)
SMALL = np.zeros((4, 4, 3), np.uint8)


class Result:
    __slots__ = ("GrabSucceeded",)


class Camera:
    """A stand-in camera whose methods are C callables, so that the loop's
    own work is what is measured, not a fake's Python frames.  It delivers
    `frames` results, then stops grabbing; with `wait` each retrieval first
    sleeps that long with the GIL released, as the SDK does between frames."""

    def __init__(self, frames, wait=0.0, array=None):
        result, image = Result(), types.SimpleNamespace(GetArray=itertools.repeat(array).__next__)
        result.GrabSucceeded = True.__bool__
        self.IsGrabbing = iter(range(frames, -1, -1)).__next__  # frames, ..., 1, then 0: stop
        self.result, self.image, self.wait = result, image, wait
        self.back, self.held = None, 0.0
        if wait:
            self.RetrieveResult = self._waiting
        else:
            self.RetrieveResult = {5000: result}.get  # RetrieveResult(5000, handling) -> result
        self.StopGrabbing = self.Close = int

    def _waiting(self, timeout, handling):
        now = time.perf_counter()
        if self.back is not None:
            self.held += now - self.back  # the GIL was held since the last retrieval returned
        time.sleep(self.wait)
        self.back = time.perf_counter()
        return self.result


class Converter:
    def __init__(self, camera):
        self.Convert = {camera.result: camera.image}.get


class Sink:
    def info(self, text):
        pass


zun.l = Sink()  # the diagnostic's log line goes nowhere


def python_read(self):
    """The same loop in Python, as an application would write it."""
    try:
        while True:
            if not self.cam.IsGrabbing():
                break
            if self.stopCam:
                break
            grabResult = self.cam.RetrieveResult(5000, zun.pylon.TimeoutHandling_ThrowException)
            if not grabResult.GrabSucceeded():
                continue
            image = self.converter.Convert(grabResult)
            self.frame = image.GetArray()
            self.isInitializing = False
            self.isActive = True
            t = time.time()
            if t > self.lastTime + 1:
                zun.l.info("Grabbed frame shape : " + str(self.frame.shape) + ", mean of image: " + str(np.average(self.frame)))
                print("Grabbed frame shape : " + str(self.frame.shape) + ", mean of image: " + str(np.average(self.frame)))
                self.lastTime = time.time()
    except Exception as e:
        zun.l.info("Sync Camera thread. The program will restart now." + str(e))
        self.isActive = False
    try:
        self.cam.StopGrabbing()
        self.cam.Close()
    except BaseException:
        print("StopGrabbing did not work.")
    self.isActive = False


def make(frames, wait=0.0, array=SMALL):
    obj = zun.zun_camera.__new__(zun.zun_camera)
    obj.cam = Camera(frames, wait, array)
    obj.converter = Converter(obj.cam)
    obj.stopCam = False
    obj.isActive = False
    obj.isInitializing = True
    obj.frame = None
    obj.lastTime = time.time() + 3600  # no diagnostic line inside the timed loops
    return obj


LOOPS = {"module (C++)": lambda obj: obj.read(), "plain Python": python_read}


def tight(read, frames=200_000):
    obj = make(frames)
    start = time.perf_counter()
    read(obj)
    return frames / (time.perf_counter() - start)


def streaming(read, frames=3000, wait=200e-6):
    obj = make(frames, wait)
    thread = threading.Thread(target=read, args=(obj,))
    thread.start()
    thread.join()
    return obj.cam.held / (frames - 1) * 1e6


def main():
    print(f"zun_camera_basler {zun.version}, Python {sys.version.split()[0]}, switch interval {sys.getswitchinterval() * 1e3:.0f} ms")
    # Rounds alternate between the loops, so that a busy neighbour on the
    # machine slows both alike; each figure is the best of its rounds.
    rates, held = {name: [] for name in LOOPS}, {name: [] for name in LOOPS}
    for _ in range(5):
        for name, read in LOOPS.items():
            rates[name].append(tight(read))
            held[name].append(streaming(read))
    print(f"{'loop':<14} {'frames/s':>12} {'GIL us/frame':>13}")
    for name in LOOPS:
        print(f"{name:<14} {max(rates[name]):12,.0f} {min(held[name]):13.2f}")

    # One pass that writes the diagnostic line for a full-size frame: the
    # module sums the bytes once with the GIL released, the Python loop asks
    # numpy.average twice (once for the log, once for the print).
    repeats = 20
    timings = {}
    sink = open(os.devnull, "w")
    stdout, sys.stdout = sys.stdout, sink
    try:
        for name, read in LOOPS.items():
            obj = make(1, array=FRAME)
            start = time.perf_counter()
            for _ in range(repeats):
                obj.cam = Camera(1, 0.0, FRAME)
                obj.converter = Converter(obj.cam)
                obj.lastTime = 0.0
                read(obj)
            timings[name] = (time.perf_counter() - start) / repeats * 1e3
        start = time.perf_counter()
        for _ in range(repeats):
            np.average(FRAME)
        timings["numpy.average alone"] = (time.perf_counter() - start) / repeats * 1e3
    finally:
        sys.stdout = stdout
    print("pass with the diagnostic line, 1200 x 1920 x 3 frame: "
          + ", ".join(f"{name} {ms:.2f} ms" for name, ms in timings.items()))


if __name__ == "__main__":
    main()
