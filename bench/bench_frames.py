"""What frames cost the application, on the real SDK with its emulated camera,
side by side in one run: the module's grab thread, the same loop written in
plain Python over pypylon (each frame taken with GetArray, the yardstick), and
a plain loop that only grabs and converts (the floor: what any loop must pay).

Figures, each loop in a process of its own:
  stalls        an application thread runs a tight Python loop; every gap of
                more than 0.5 ms between two of its turns is a stall: the
                count per second and the median gap (1920 x 1200 at 50
                frames/s)
  CPU           the process's CPU time over wall time at the same size and
                rate, with the same application thread running; "frames"
                is that less the application thread's own CPU time, also
                given per frame delivered
  busy app      frames/s that reach an application thread busy in pure Python
                (640 x 480, 300 frames/s asked of the camera), at the
                interpreter's default switch interval and at 1 ms; beside
                them, what reaches a thread that polls and sleeps (the floor
                loop hands over images, not arrays: the most any loop can give)
  GIL           per pass of the grab thread: GIL releases (each is a
                hand-off: the thread must win the GIL back), the thread's CPU
                time while it held the GIL, and its holds of more than 0.5 ms
                (each stalls every other Python thread that wants the GIL);
                counted by interposing the interpreter's PyEval_SaveThread and
                PyEval_RestoreThread.  CPU time, unlike the stalls, does not
                count time the machine gives to other processes or, on a
                virtual machine, to other guests.  Needs a C compiler (cc, or the
                command line in $CC) and a shared libpython, else reported as not counted

Run from the repository: .venv/bin/python bench/bench_frames.py [--seconds S]
(ZUN_BUILD_DIR selects the build folder, as for the tests).
"""
import argparse
import glob
import json
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The build folder paired with this interpreter's environment, as for the
# tests: .venv -> build, .venv-3.7 -> build-3.7.
_venv = os.path.basename(sys.prefix)
BUILD = os.environ.get("ZUN_BUILD_DIR") or os.path.join(
    REPO, "build-" + _venv[len(".venv-"):] if _venv.startswith(".venv-") else "build")

COUNTER_C = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <time.h>
/* Per thread (up to 64 threads): releases of the GIL, and the thread's own
   CPU time while it held the GIL between taking it back and letting it go
   again (CPU time, so that time the machine took away from the process does
   not count): in all, and the holds of more than 0.5 ms. */
static struct { unsigned long thread, releases, long_holds; double held, since; } slots[64];
static double cpu_now(void) {
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}
static int slot_of(unsigned long self) {
    for (int i = 0; i < 64; ++i) {
        unsigned long owner = __atomic_load_n(&slots[i].thread, __ATOMIC_ACQUIRE), none = 0;
        if (owner == self || (owner == 0 && __atomic_compare_exchange_n(&slots[i].thread, &none, self, 0,
                                                                         __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)))
            return i;
    }
    return -1;
}
void *PyEval_SaveThread(void) {
    static void *(*real)(void);
    if (!real) real = (void *(*)(void))dlsym(RTLD_NEXT, "PyEval_SaveThread");
    int i = slot_of((unsigned long)pthread_self());
    if (i >= 0) {
        slots[i].releases++;
        if (slots[i].since > 0) {
            double held = cpu_now() - slots[i].since;
            slots[i].held += held;
            slots[i].long_holds += held > 0.0005;
            slots[i].since = 0;
        }
    }
    return real();
}
void PyEval_RestoreThread(void *state) {
    static void (*real)(void *);
    if (!real) real = (void (*)(void *))dlsym(RTLD_NEXT, "PyEval_RestoreThread");
    real(state);
    int i = slot_of((unsigned long)pthread_self());
    if (i >= 0) slots[i].since = cpu_now();
}
/* what: 0 releases, 1 holds over 0.5 ms, 2 CPU seconds held */
double gil_figure(unsigned long thread, int what) {
    for (int i = 0; i < 64; ++i)
        if (__atomic_load_n(&slots[i].thread, __ATOMIC_ACQUIRE) == thread)
            return what == 0 ? slots[i].releases : what == 1 ? slots[i].long_holds : slots[i].held;
    return 0;
}
"""

# One measurement, run in a fresh interpreter: argv[1] is a JSON object of
# settings; the last line printed is a JSON object of figures.
CHILD = r"""
import ctypes, io, json, os, statistics, sys, threading, time
cfg = json.loads(sys.argv[1])
os.environ["PYLON_CAMEMU"] = "1"
from pypylon import pylon
W, H, FPS = cfg["width"], cfg["height"], cfg["fps"]

class SizedCamera(pylon.InstantCamera):
    def Open(self):
        super().Open()
        self.Width.Value, self.Height.Value = W, H
        self.AcquisitionFrameRate.Value = FPS
        self.ExposureTimeAbs.Value = 100  # short enough for the rate asked

pylon.InstantCamera = SizedCamera
sys.setswitchinterval(cfg["switch"])

class Loop:  # the same loop in plain Python; with take_array False only grab and convert
    def __init__(self, take_array):
        self.take_array, self.frame, self.isActive, self.stopCam = take_array, None, False, False
        self.cam = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
        self.cam.Open()
        self.cam.MaxNumBuffer.Value = 2
        self.cam.StartGrabbing(pylon.GrabStrategy_OneByOne)
        self.converter = pylon.ImageFormatConverter()
        self.converter.OutputPixelFormat = pylon.PixelType_BGR8packed
        self.converter.OutputBitAlignment.Value = "MsbAligned"  # by name: old and new bindings alike take that
        self.t1 = threading.Thread(target=self.read)
        self.t1.start()
    def read(self):
        while self.cam.IsGrabbing() and not self.stopCam:
            result = self.cam.RetrieveResult(5000, pylon.TimeoutHandling_ThrowException)
            if result.GrabSucceeded():
                image = self.converter.Convert(result)
                self.frame = image.GetArray() if self.take_array else image
                self.isActive = True
        self.cam.StopGrabbing(); self.cam.Close()
    def stop(self):
        self.stopCam, self.isActive = True, False

counter = None
if cfg["count"]:
    figure = ctypes.PyDLL(None).gil_figure
    figure.restype, figure.argtypes = ctypes.c_double, [ctypes.c_ulong, ctypes.c_int]
    counter = lambda thread: [figure(thread, what) for what in range(3)]

out = sys.stdout
sys.stdout = io.StringIO()  # the module's diagnostic lines
if cfg["loop"] == "module":
    sys.path[:0] = [cfg["libs"], os.path.dirname(cfg["libs"])]
    os.chdir(os.path.dirname(cfg["libs"]))
    import zun_camera_basler as zun
    cam = zun.zun_camera(zun.pylon.TlFactory.GetInstance().EnumerateDevices()[0].GetSerialNumber(), fps=FPS)
else:
    # The libraries the module loads, loaded here too: the cyclic garbage
    # collector walks every object of the process while it holds the GIL, so
    # the loops are compared over heaps of the same size.
    import cv2, datetime, subprocess, logging.handlers
    cam = Loop(cfg["loop"] == "python")
while cam.frame is None:
    time.sleep(0.01)

figures = {}
if counter:  # the grab thread's own figures over 200 passes that publish a frame
    thread = cam.t1.ident
    seen, passes, start = cam.frame, 0, counter(thread)
    while passes < 200:
        time.sleep(0.001)
        frame = cam.frame
        if frame is not seen:
            passes, seen = passes + 1, frame
    end = counter(thread)
    figures["handoffs"], figures["long_holds"], figures["held_ms"] = (
        (e - s) / passes * scale for e, s, scale in zip(end, start, (1, 1, 1e3)))
    cam.stop(); cam.t1.join()
else:
    stalls, seen_frames, done = [], [0], threading.Event()
    cpu = {}
    def application():  # a tight loop that notes how long it was kept from running
        t0 = time.thread_time()
        prev = time.perf_counter()
        seen = cam.frame
        while not done.is_set():
            now = time.perf_counter()
            if now - prev > 0.0005:
                stalls.append(now - prev)
            prev = now
            frame = cam.frame
            if frame is not seen:
                seen_frames[0] += 1
                seen = frame
            if cfg["idle"]:
                time.sleep(0.0005)
        cpu["app"] = time.thread_time() - t0
    app = threading.Thread(target=application)
    t0, c0 = time.perf_counter(), os.times()
    app.start()
    time.sleep(cfg["seconds"])
    done.set(); app.join()
    wall, c1 = time.perf_counter() - t0, os.times()
    cam.stop(); cam.t1.join()
    process = (c1.user - c0.user + c1.system - c0.system) / wall
    figures = {"stalls_per_s": len(stalls) / wall, "median_stall_ms": 1e3 * statistics.median(stalls) if stalls else 0.0,
               "fps": seen_frames[0] / wall, "cpu": 100 * process, "cpu_frames": 100 * (process - cpu["app"] / wall)}
sys.stdout = out
print(json.dumps(figures))
"""

def app_root():
    root = tempfile.mkdtemp(prefix="zun_bench_")
    libs = os.path.join(root, "libs")
    os.makedirs(libs)
    found = glob.glob(os.path.join(BUILD, "zun_camera_basler*.so"))
    if not found:
        sys.exit(f"the module is not built in {BUILD}: run scripts/setup")
    for path in found + [os.path.join(REPO, "libs", "zun_logger.py")]:
        shutil.copy2(path, libs)
    return root, libs


def counter_library(root):
    """The interposing counter, or None where it cannot work here.  $CC (a
    command line, e.g. a cross compiler with its --sysroot) builds it when
    set: under emulation the counter must be built for the emulated processor."""
    cc = shlex.split(os.environ.get("CC", "")) or [shutil.which("cc") or shutil.which("gcc")]
    if not cc[0] or not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        return None
    path = os.path.join(root, "gilcount.so")
    source = os.path.join(root, "gilcount.c")
    with open(source, "w") as f:
        f.write(COUNTER_C)
    build = subprocess.run([*cc, "-O2", "-shared", "-fPIC", "-o", path, source, "-ldl", "-lpthread"],
                           capture_output=True)
    return path if build.returncode == 0 else None


def measure(libs, loop, counter=None, idle=False, **cfg):
    cfg = dict(cfg, loop=loop, libs=libs, count=bool(counter), idle=idle)
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    if counter:
        env["LD_PRELOAD"] = counter
    proc = subprocess.run([sys.executable, "-c", CHILD, json.dumps(cfg)], capture_output=True, text=True,
                          env=env, timeout=cfg.get("seconds", 10) * 4 + 120)
    if proc.returncode != 0:
        sys.exit(f"{loop} failed:\n{proc.stderr[-3000:]}")
    return json.loads(proc.stdout.splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=8.0, help="length of each measurement")
    parser.add_argument("--rounds", type=int, default=2, help="rounds of alternating measurements")
    args = parser.parse_args()
    root, libs = app_root()
    loops = ["module", "python", "floor"]
    names = {"module": "module", "python": "Python + GetArray", "floor": "grab + convert only"}

    try:
        from importlib.metadata import version
        binding = version("pypylon")
    except ImportError:  # Python 3.7
        from pypylon import pylon
        binding = pylon.__version__
    print(f"Python {sys.version.split()[0]}, pypylon {binding}, camera emulation")
    print(f"\n1920 x 1200 at 50 frames/s, application thread in a tight loop, {args.seconds:g} s x {args.rounds}:")
    full = {loop: [] for loop in loops}
    for _ in range(args.rounds):  # alternate, so that drift of the machine hits every loop alike
        for loop in loops:
            full[loop].append(measure(libs, loop, width=1920, height=1200, fps=50, switch=0.005,
                                      seconds=args.seconds))
    print(f"  {'loop':22s} {'stalls/s':>9s} {'median ms':>10s} {'frames/s':>9s} {'CPU %':>7s} {'frames CPU %':>13s}"
          f" {'CPU ms/frame':>13s}")
    for loop in loops:
        runs = full[loop]
        mean = {k: statistics.mean(r[k] for r in runs) for k in runs[0]}
        print(f"  {names[loop]:22s} {mean['stalls_per_s']:9.1f} {mean['median_stall_ms']:10.2f} {mean['fps']:9.1f} "
              f"{mean['cpu']:7.1f} {mean['cpu_frames']:13.1f} {10 * mean['cpu_frames'] / mean['fps']:13.2f}")

    print("\n640 x 480, 300 frames/s asked: frames/s that reach an application thread busy in pure Python")
    print("(and, for scale, one that polls every 0.5 ms and sleeps between):")
    print(f"  {'loop':22s} {'busy, 5 ms':>11s} {'busy, 1 ms':>11s} {'polling':>9s}")
    for loop in loops:
        cells = []
        for switch, idle in ((0.005, False), (0.001, False), (0.005, True)):
            runs = [measure(libs, loop, width=640, height=480, fps=300, switch=switch, idle=idle,
                            seconds=args.seconds / 2) for _ in range(args.rounds)]
            cells.append(statistics.mean(r["fps"] for r in runs))
        print(f"  {names[loop]:22s} {cells[0]:11.1f} {cells[1]:11.1f} {cells[2]:9.1f}")

    counter = counter_library(root)
    print("\nThe grab thread and the GIL, per pass with a frame (1920 x 1200, 50 frames/s, nothing else running):")
    print("hand-offs, the thread's CPU time while holding the GIL, and holds of more than 0.5 ms of it")
    if not counter:
        print("  not counted: needs a C compiler and an interpreter with a shared libpython")
    else:
        print(f"  {'loop':22s} {'hand-offs':>9s} {'held ms':>8s} {'holds > 0.5 ms':>15s}")
        for loop in loops:
            r = measure(libs, loop, counter, width=1920, height=1200, fps=50, switch=0.005, seconds=0)
            print(f"  {names[loop]:22s} {r['handoffs']:9.2f} {r['held_ms']:8.3f} {r['long_holds']:15.2f}")
    shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
