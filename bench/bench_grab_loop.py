"""Per-frame cost of the grab loop's own work, side by side with the same loop
written in plain Python.

A zero-cost camera stands in for the SDK: retrieval hands back a ready grab
result, conversion a ready array, so what is measured is the loop itself
(attribute traffic, flag publication, the clock, the rate-limited diagnostic).

Figures, each measured for both loops in one run:
  frames/s       a tight loop on the calling thread (nothing else running)
  GIL us/frame   CPU time the grab thread spends per frame while the camera
                 "waits" 200 us per frame with the GIL released, as the SDK does
  busy app       how fast an application thread counting in Python runs while
                 frames stream, relative to running alone
  mean           the diagnostic's mean of a 1200 x 1920 x 3 frame: the module's
                 exact byte sum against numpy.average

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
ROOT = tempfile.mkdtemp(prefix="zun_bench_")
LIBS = os.path.join(ROOT, "libs")
os.makedirs(LIBS)
for path in glob.glob(os.path.join(REPO, "build", "zun_camera_basler*.so")) + [os.path.join(REPO, "libs", "zun_logger.py")]:
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
        if wait:
            self.RetrieveResult = self._waiting
        else:
            self.RetrieveResult = {5000: result}.get  # RetrieveResult(5000, handling) -> result
        self.StopGrabbing = self.Close = int

    def _waiting(self, timeout, handling):
        time.sleep(self.wait)
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
    cpu = []

    def body():
        start = time.thread_time()
        read(obj)
        cpu.append(time.thread_time() - start)

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()
    return cpu[0] / frames * 1e6


def busy_app(read, seconds=1.0):
    def count(until):
        n = 0
        while time.perf_counter() < until:
            n += 1
        return n

    alone = count(time.perf_counter() + seconds)
    obj = make(10**9, 200e-6)
    thread = threading.Thread(target=read, args=(obj,))
    thread.start()
    shared = count(time.perf_counter() + seconds)
    left = obj.cam.IsGrabbing()  # takes one more count from the stand-in
    obj.stopCam = True
    thread.join()
    return shared / alone, (10**9 - left) / seconds


def main():
    print(f"zun_camera_basler {zun.version}, Python {sys.version.split()[0]}, switch interval {sys.getswitchinterval() * 1e3:.0f} ms")
    print(f"{'loop':<14} {'frames/s':>12} {'GIL us/frame':>13} {'busy app speed':>15} {'frames/s then':>14}")
    for name, read in LOOPS.items():
        rate = max(tight(read) for _ in range(3))
        gil = min(streaming(read) for _ in range(3))
        speed, delivered = busy_app(read)
        print(f"{name:<14} {rate:12,.0f} {gil:13.2f} {speed:14.0%} {delivered:14,.0f}")

    repeats = 20
    start = time.perf_counter()
    for _ in range(repeats):
        np.average(FRAME)
    numpy_ms = (time.perf_counter() - start) / repeats * 1e3
    obj = make(1, array=FRAME)
    obj.lastTime = 0.0
    sink = open(os.devnull, "w")
    stdout, sys.stdout = sys.stdout, sink
    start = time.perf_counter()
    for _ in range(repeats):
        obj.cam = Camera(1, 0.0, FRAME)
        obj.converter = Converter(obj.cam)
        obj.lastTime = 0.0
        obj.read()
    module_ms = (time.perf_counter() - start) / repeats * 1e3
    sys.stdout = stdout
    print(f"diagnostic of a 1200x1920x3 frame: one whole pass of the module's loop {module_ms:.2f} ms "
          f"(mean computed once, GIL released), numpy.average alone {numpy_ms:.2f} ms (the Python loop computes it twice)")


if __name__ == "__main__":
    main()
