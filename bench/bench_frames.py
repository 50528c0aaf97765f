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
                given per frame delivered; and the process's page faults
                per frame delivered (a pixel buffer allocated afresh for
                each frame faults in each of its pages)
  busy app      frames/s that reach an application thread busy in pure Python
                (640 x 480, 300 frames/s asked of the camera), at the
                interpreter's default switch interval and at 1 ms; beside
                them, what reaches a thread that polls and sleeps (the floor
                loop hands over images, not arrays: the most any loop can give)
  pollers       frames/s that reach an application of eight threads, each
                calling getFlagAndFrame in a tight loop: frames any of them
                saw, and frames each of them saw (each sees only what was
                published while it held the GIL: a share of the
                interpreter's turns that no grab loop changes), same size
                and rate
  asks          what an ask costs the application: a thread asks
                getFlagAndFrame for the newest frame and sleeps 1 ms, beside
                N = 0, 1, 2, 4 threads busy in pure Python; the ask's median,
                99th percentile and longest wall time, and beside them two
                plain reads of the attributes (isActive, frame) in the same
                loop, asks per second and distinct frames seen per second
                (640 x 480, 100 frames/s asked)
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
#include <stdlib.h>
#include <time.h>
/* Per thread (up to 64 threads): releases of the GIL, and the thread's own
   CPU time while it held the GIL between taking it back and letting it go
   again (CPU time, so that time the machine took away from the process does
   not count): in all, and the holds of more than 0.5 ms.  With
   ZUN_GIL_PROFILE set, each hold is also split into stretches: a hold begins
   with the return from the call that let go of the GIL (named by the address
   that call released it from) and is cut wherever the module's grab loop
   marks the start of a stretch of its own (zun_grab_mark). */
#define STRETCHES 48
struct stretch { const void *site; int mark; unsigned long count; double held; };
static struct {
    unsigned long thread, releases, long_holds;
    double held, since, cut;
    const void *site, *last_release;
    int mark, stretches;
    struct stretch table[STRETCHES];
} slots[64];
static int profiling = -1;
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
static void cut(int i, double now, int next_mark) {  /* ends the current stretch */
    int k = 0, n = slots[i].stretches;
    while (k < n && (slots[i].table[k].site != slots[i].site || slots[i].table[k].mark != slots[i].mark)) ++k;
    if (k == n && n < STRETCHES) {
        slots[i].table[k].site = slots[i].site;
        slots[i].table[k].mark = slots[i].mark;
        slots[i].stretches = ++n;
    }
    if (k < n) {
        slots[i].table[k].count++;
        slots[i].table[k].held += now - slots[i].cut;
    }
    slots[i].cut = now;
    slots[i].mark = next_mark;
}
void *PyEval_SaveThread(void) {
    static void *(*real)(void);
    if (!real) real = (void *(*)(void))dlsym(RTLD_NEXT, "PyEval_SaveThread");
    if (profiling < 0) profiling = getenv("ZUN_GIL_PROFILE") != NULL;
    int i = slot_of((unsigned long)pthread_self());
    if (i >= 0) {
        slots[i].releases++;
        if (slots[i].since > 0) {
            double now = cpu_now(), held = now - slots[i].since;
            slots[i].held += held;
            slots[i].long_holds += held > 0.0005;
            slots[i].since = 0;
            if (profiling) cut(i, now, 0);
        }
        slots[i].last_release = __builtin_return_address(0);
    }
    return real();
}
void PyEval_RestoreThread(void *state) {
    static void (*real)(void *);
    if (!real) real = (void (*)(void *))dlsym(RTLD_NEXT, "PyEval_RestoreThread");
    real(state);
    int i = slot_of((unsigned long)pthread_self());
    if (i >= 0) {
        slots[i].since = slots[i].cut = cpu_now();
        slots[i].site = slots[i].last_release;
        slots[i].mark = 0;
    }
}
void zun_grab_mark(int mark) {
    if (profiling <= 0) return;
    int i = slot_of((unsigned long)pthread_self());
    if (i >= 0 && slots[i].since > 0) cut(i, cpu_now(), mark);
}
/* what: 0 releases, 1 holds over 0.5 ms, 2 CPU seconds held */
double gil_figure(unsigned long thread, int what) {
    for (int i = 0; i < 64; ++i)
        if (__atomic_load_n(&slots[i].thread, __ATOMIC_ACQUIRE) == thread)
            return what == 0 ? slots[i].releases : what == 1 ? slots[i].long_holds : slots[i].held;
    return 0;
}
/* Where the thread last let go of the GIL from. */
const void *gil_last_release(unsigned long thread) {
    for (int i = 0; i < 64; ++i)
        if (__atomic_load_n(&slots[i].thread, __ATOMIC_ACQUIRE) == thread) return slots[i].last_release;
    return 0;
}
/* The thread's stretches, up to max of them: returns how many. */
int gil_stretches(unsigned long thread, const void **site, int *mark, unsigned long *count, double *held, int max) {
    for (int i = 0; i < 64; ++i)
        if (__atomic_load_n(&slots[i].thread, __ATOMIC_ACQUIRE) == thread) {
            int n = slots[i].stretches < max ? slots[i].stretches : max;
            for (int k = 0; k < n; ++k) {
                site[k] = slots[i].table[k].site;
                mark[k] = slots[i].table[k].mark;
                count[k] = slots[i].table[k].count;
                held[k] = slots[i].table[k].held;
            }
            return n;
        }
    return 0;
}
"""

# One measurement, run in a fresh interpreter: argv[1] is a JSON object of
# settings; the last line printed is a JSON object of figures.
CHILD = r"""
import ctypes, io, json, os, resource, statistics, sys, threading, time
cfg = json.loads(sys.argv[1])
os.environ["PYLON_CAMEMU"] = "2" if cfg["profile"] else "1"  # the second names the binding's calls
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
    def getFlagAndFrame(self):
        return self.isActive, self.frame

counter = None
if cfg["count"]:
    counting = ctypes.PyDLL(None)
    figure = counting.gil_figure
    figure.restype, figure.argtypes = ctypes.c_double, [ctypes.c_ulong, ctypes.c_int]
    counter = lambda thread: [figure(thread, what) for what in range(3)]

def binding_sites():
    # Where each of the binding's calls in a grab loop lets go of the GIL, found
    # by making each call once on this thread, on the second emulated camera.
    last = counting.gil_last_release
    last.restype, last.argtypes = ctypes.c_void_p, [ctypes.c_ulong]
    me, sites = threading.get_ident(), {}
    def note(name):
        site = last(me)
        if site and site not in sites:
            sites[site] = name
    tl = pylon.TlFactory.GetInstance()
    probe = pylon.InstantCamera(tl.CreateDevice(tl.EnumerateDevices()[1]))
    probe.Open()
    probe.StartGrabbing(pylon.GrabStrategy_OneByOne)
    converter = pylon.ImageFormatConverter()
    converter.OutputPixelFormat = pylon.PixelType_BGR8packed
    probe.IsGrabbing(); note("IsGrabbing")
    result = probe.RetrieveResult(5000, pylon.TimeoutHandling_ThrowException); note("RetrieveResult")
    result.GrabSucceeded(); note("GrabSucceeded")
    image = converter.Convert(result); note("Convert")
    del result; note("the grab result's release")
    del image; note("the image's release")
    probe.StopGrabbing(); probe.Close()
    return sites

def stretches(thread):  # {(site, mark): [count, seconds held]} so far
    n = 48
    site, mark = (ctypes.c_void_p * n)(), (ctypes.c_int * n)()
    count, held = (ctypes.c_ulong * n)(), (ctypes.c_double * n)()
    got = counting.gil_stretches(ctypes.c_ulong(thread), site, mark, count, held, n)
    return {(site[k] or 0, mark[k]): [count[k], held[k]] for k in range(got)}

class DlInfo(ctypes.Structure):
    _fields_ = [("fname", ctypes.c_char_p), ("fbase", ctypes.c_void_p), ("sname", ctypes.c_char_p),
                ("saddr", ctypes.c_void_p)]

def site_name(site, known):
    if site in known:
        return known[site]
    info = DlInfo()
    if not site or not ctypes.CDLL(None).dladdr(ctypes.c_void_p(site), ctypes.byref(info)):
        return "the thread's start" if not site else hex(site)
    where = os.path.basename(info.fname.decode()) if info.fname else "?"
    if where.startswith("zun_camera_basler"):
        where = "the module"
    return f"{where} {info.sname.decode() if info.sname else '+' + hex(site - (info.fbase or 0))}"

sites = binding_sites() if cfg["profile"] else {}

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
    seen, passes, start, before = cam.frame, 0, counter(thread), stretches(thread)
    while passes < 200:
        time.sleep(0.001)
        frame = cam.frame
        if frame is not seen:
            passes, seen = passes + 1, frame
    end, after = counter(thread), stretches(thread)
    figures["handoffs"], figures["long_holds"], figures["held_ms"] = (
        (e - s) / passes * scale for e, s, scale in zip(end, start, (1, 1, 1e3)))
    if cfg["profile"]:
        figures["stretches"] = [
            [site_name(site, sites), mark, (c - before.get((site, mark), [0, 0])[0]) / passes,
             1e6 * (h - before.get((site, mark), [0, 0])[1]) / passes]
            for (site, mark), (c, h) in after.items()]
    cam.stop(); cam.t1.join()
elif cfg["pollers"]:  # threads that call getFlagAndFrame in a tight loop; frames any of them saw
    import weakref
    # Each frame counted once, while it lives: a poller may still hold an older one.
    done, seen, each = threading.Event(), [weakref.WeakValueDictionary(), 0], []
    def poller():
        mine, count = None, 0
        while not done.is_set():
            frame = cam.getFlagAndFrame()[1]
            if seen[0].get(id(frame)) is not frame:
                seen[0][id(frame)] = frame
                seen[1] += 1
            if frame is not mine:
                mine, count = frame, count + 1
        each.append(count)
    threads = [threading.Thread(target=poller) for _ in range(cfg["pollers"])]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    time.sleep(cfg["seconds"])
    done.set()
    for t in threads:
        t.join()
    wall = time.perf_counter() - t0
    cam.stop(); cam.t1.join()
    figures = {"fps": seen[1] / wall, "each": statistics.mean(each) / wall}
elif cfg["busy"] is not None:  # a thread that asks and sleeps 1 ms, beside threads busy in Python
    done = threading.Event()
    def busy():
        while not done.is_set():
            pass
    workers = [threading.Thread(target=busy) for _ in range(cfg["busy"])]
    for w in workers:
        w.start()
    clock, asks, reads, seen, frames = time.perf_counter, [], [], None, 0
    t0 = clock()
    end = t0 + cfg["seconds"]
    while True:
        a = clock()
        frame = cam.getFlagAndFrame()[1]
        b = clock()
        cam.isActive, cam.frame
        c = clock()
        if c > end:
            break
        asks.append(b - a)
        reads.append(c - b)
        if frame is not seen:
            seen, frames = frame, frames + 1
        time.sleep(0.001)
    wall = clock() - t0
    done.set()
    for w in workers:
        w.join()
    cam.stop(); cam.t1.join()
    spread = lambda times: [1e3 * t for t in (statistics.median(times), sorted(times)[int(0.99 * len(times))],
                                               max(times))]
    figures = {"ask": spread(asks), "reads": spread(reads), "polls": len(asks) / wall, "fps": frames / wall}
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
    t0, c0, faults = time.perf_counter(), os.times(), resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    app.start()
    time.sleep(cfg["seconds"])
    done.set(); app.join()
    wall, c1 = time.perf_counter() - t0, os.times()
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
    cam.stop(); cam.t1.join()
    process = (c1.user - c0.user + c1.system - c0.system) / wall
    figures = {"stalls_per_s": len(stalls) / wall, "median_stall_ms": 1e3 * statistics.median(stalls) if stalls else 0.0,
               "fps": seen_frames[0] / wall, "cpu": 100 * process, "cpu_frames": 100 * (process - cpu["app"] / wall),
               "faults_per_frame": faults / max(seen_frames[0], 1)}
sys.stdout = out
print(json.dumps(figures))
"""

def app_root(build=BUILD):
    """A new application root with the module of `build` in its libs folder;
    returns the root and that folder."""
    root = tempfile.mkdtemp(prefix="zun_bench_")
    libs = os.path.join(root, "libs")
    os.makedirs(libs)
    found = glob.glob(os.path.join(build, "zun_camera_basler*.so"))
    if not found:
        sys.exit(f"the module is not built in {build}: run scripts/setup")
    for path in found + [os.path.join(REPO, "libs", "zun_logger.py")]:
        shutil.copy2(path, libs)
    return root, libs


def loop_libs(libs, earlier):
    """Which loop each measurement runs, and with which libs folder: the
    module, the two plain loops, and the module of an earlier build when
    --also names one (a loop of the module's, run from that build's libs)."""
    runs = {"module": ("module", libs), "python": ("python", libs), "floor": ("floor", libs)}
    if earlier:
        runs = {"earlier": ("module", earlier), **runs}
    return runs


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


def measure(libs, loop, counter=None, idle=False, profile=False, pollers=0, busy=None, **cfg):
    cfg = dict(cfg, loop=loop, libs=libs, count=bool(counter), idle=idle, profile=profile, pollers=pollers,
               busy=busy)
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    env.pop("ZUN_GIL_PROFILE", None)
    if counter:
        env["LD_PRELOAD"] = counter
    if profile:
        env["ZUN_GIL_PROFILE"] = "1"
    proc = subprocess.run([sys.executable, "-c", CHILD, json.dumps(cfg)], capture_output=True, text=True,
                          env=env, timeout=cfg.get("seconds", 10) * 4 + 120)
    if proc.returncode != 0:
        sys.exit(f"{loop} failed:\n{proc.stderr[-3000:]}")
    return json.loads(proc.stdout.splitlines()[-1])


CALLS = ["IsGrabbing", "RetrieveResult", "the grab result's release", "GrabSucceeded", "Convert"]
MARKS = {0: "the return from {}", 1: "camera and flag look-ups",
         3: "making the frame", 4: "publishing it", 5: "the clock and diagnostic check"}


def profile(runs, counter, rounds):
    """The grab thread's CPU time with the GIL held, per pass with a frame,
    split at each hand-off and, in the module's loop, at each of its marks."""
    print("\nThe grab thread's CPU time holding the GIL, per pass with a frame, stretch by stretch"
          " (1920 x 1200, 50 frames/s, nothing else running; microseconds; a stretch runs from the"
          " return of a call that let go of the GIL to the next such call):")
    if not counter:
        print("  not counted: needs a C compiler and an interpreter with a shared libpython")
        return
    loops = [loop for loop in runs if loop != "python"]
    table = {loop: {} for loop in loops}  # (stretch, mark) -> [µs per pass over the rounds]
    totals = {loop: [] for loop in loops}
    unmarked = {loop: [] for loop in loops}
    for _ in range(rounds):
        for loop in loops:
            kind, libs = runs[loop]
            r = measure(libs, kind, counter, profile=True, width=1920, height=1200, fps=50, switch=0.005, seconds=0)
            totals[loop].append(1e3 * r["held_ms"])
            plain = measure(libs, kind, counter, width=1920, height=1200, fps=50, switch=0.005, seconds=0)
            unmarked[loop].append([1e3 * plain["held_ms"], plain["handoffs"]])
            for site, mark, _count, held in r["stretches"]:
                table[loop].setdefault((site, mark), []).append(held)
    mean = lambda values: sum(values) / rounds
    stretch_held = {}
    for loop in loops:
        for (site, mark), held in table[loop].items():
            stretch_held.setdefault(site, {}).setdefault(loop, 0.0)
            stretch_held[site][loop] += mean(held)
    order = [c for c in CALLS if c in stretch_held]
    order += sorted((s for s in stretch_held if s not in CALLS), key=lambda s: -max(stretch_held[s].values()))
    row = lambda label, values, form=".1f": print(f"  {label:58.58s}" + "".join(
        f" {v:8{form}}" if v is not None else " " * 9 for v in values))
    print(f"  {'':58s}" + "".join(f" {loop:>8s}" for loop in loops))
    for site in order:
        held = stretch_held[site]
        if max(held.values()) < 0.05:
            continue
        row("after " + site, [held.get(loop, 0) for loop in loops])
        marks = sorted(mark for (s, mark) in table["module"] if s == site)
        for mark in marks if len(marks) > 1 or marks != [0] else []:
            row("  " + MARKS.get(mark, f"mark {mark}").format(site),
                [mean(table["module"][(site, mark)]) if loop == "module" else None for loop in loops])
    row("in all (the counter and its marks included)", [mean(totals[loop]) for loop in loops])
    held = {loop: mean([u[0] for u in unmarked[loop]]) for loop in loops}
    row("in all, measured again without splitting", [held[loop] for loop in loops])
    print(f"  {'module / floor':58s} {held['module'] / held['floor']:8.2f}")
    row("hand-offs per pass", [mean([u[1] for u in unmarked[loop]]) for loop in loops], ".2f")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=8.0, help="length of each measurement")
    parser.add_argument("--rounds", type=int, default=2, help="rounds of alternating measurements")
    parser.add_argument("--profile", action="store_true",
                        help="only the grab thread's time holding the GIL, stretch by stretch, module and floor")
    parser.add_argument("--asks", action="store_true", help="only what an ask costs beside threads busy in Python")
    parser.add_argument("--also", metavar="BUILD", help="also measure the module built in this folder (an earlier "
                        "build: its loop is named 'earlier'), side by side in the same run")
    args = parser.parse_args()
    root, libs = app_root()
    earlier_root, earlier = app_root(args.also) if args.also else (None, None)
    runs = loop_libs(libs, earlier)
    try:
        if args.profile:
            profile(runs, counter_library(root), args.rounds)
        elif args.asks:
            asks(list(runs), NAMES, lambda loop, **cfg: measure(runs[loop][1], runs[loop][0], **cfg), args)
        else:
            bench(runs, root, args)
    finally:
        for folder in (root, earlier_root):
            if folder:
                shutil.rmtree(folder, ignore_errors=True)


NAMES = {"earlier": "module, earlier build", "module": "module", "python": "Python + GetArray",
         "floor": "grab + convert only"}


def asks(loops, names, measure_loop, args):
    """What an ask costs, beside N threads busy in Python, and what it sees."""
    print("\n640 x 480, 100 frames/s asked: a thread asks getFlagAndFrame and sleeps 1 ms, beside N threads busy"
          " in Python;\nthe ask's wall time (median / 99th percentile / longest, ms) and two plain attribute reads in"
          " the same loop,\nasks per second and distinct frames seen per second:")
    print(f"  {'loop':22s} {'N':>2s} {'getFlagAndFrame ms':>22s} {'two plain reads ms':>22s} {'asks/s':>7s}"
          f" {'frames/s':>9s} {'seen / min(asks, N=0)':>22s}")
    form = lambda t: "/".join(f"{v:.3f}" if v < 1 else f"{v:.1f}" for v in t)
    for loop in (loop for loop in loops if loop != "python"):  # the module beside the floor
        seen_alone = None
        for n in (0, 1, 2, 4):
            results = [measure_loop(loop, width=640, height=480, fps=100, switch=0.005, busy=n,
                                    seconds=args.seconds / 2) for _ in range(args.rounds)]
            mean = lambda key: [statistics.mean(r[key][i] for r in results) for i in range(3)]
            polls, fps = (statistics.mean(r[k] for r in results) for k in ("polls", "fps"))
            seen_alone = fps if n == 0 else seen_alone
            print(f"  {names[loop]:22s} {n:2d} {form(mean('ask')):>22s} {form(mean('reads')):>22s} {polls:7.1f}"
                  f" {fps:9.1f} {fps / min(polls, seen_alone):22.2f}")


def bench(runs, root, args):
    loops = list(runs)
    names = NAMES
    measure_loop = lambda loop, *counter, **cfg: measure(runs[loop][1], runs[loop][0], *counter, **cfg)

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
            full[loop].append(measure_loop(loop, width=1920, height=1200, fps=50, switch=0.005,
                                      seconds=args.seconds))
    print(f"  {'loop':22s} {'stalls/s':>9s} {'median ms':>10s} {'frames/s':>9s} {'CPU %':>7s} {'frames CPU %':>13s}"
          f" {'CPU ms/frame':>13s} {'page faults/frame':>18s}")
    for loop in loops:
        mean = {k: statistics.mean(r[k] for r in full[loop]) for k in full[loop][0]}
        print(f"  {names[loop]:22s} {mean['stalls_per_s']:9.1f} {mean['median_stall_ms']:10.2f} {mean['fps']:9.1f} "
              f"{mean['cpu']:7.1f} {mean['cpu_frames']:13.1f} {10 * mean['cpu_frames'] / mean['fps']:13.2f}"
              f" {mean['faults_per_frame']:18.1f}")

    print("\n640 x 480, 300 frames/s asked: frames/s that reach an application thread busy in pure Python")
    print("(and, for scale, one that polls every 0.5 ms and sleeps between):")
    print(f"  {'loop':22s} {'busy, 5 ms':>11s} {'busy, 1 ms':>11s} {'polling':>9s}")
    for loop in loops:
        cells = []
        for switch, idle in ((0.005, False), (0.001, False), (0.005, True)):
            results = [measure_loop(loop, width=640, height=480, fps=300, switch=switch, idle=idle,
                                  seconds=args.seconds / 2) for _ in range(args.rounds)]
            cells.append(statistics.mean(r["fps"] for r in results))
        print(f"  {names[loop]:22s} {cells[0]:11.1f} {cells[1]:11.1f} {cells[2]:9.1f}")

    asks(loops, names, measure_loop, args)

    print("\n640 x 480, 300 frames/s asked: frames/s that reach an application of eight threads polling"
          " getFlagAndFrame in a tight loop\n(any of them saw, and each of them saw on average):")
    print(f"  {'loop':22s} {'any':>11s} {'each':>11s}")
    for loop in loops:
        results = [measure_loop(loop, width=640, height=480, fps=300, switch=0.005, pollers=8,
                                seconds=args.seconds / 2) for _ in range(args.rounds)]
        print(f"  {names[loop]:22s} {statistics.mean(r['fps'] for r in results):11.1f}"
              f" {statistics.mean(r['each'] for r in results):11.1f}")

    counter = counter_library(root)
    print("\nThe grab thread and the GIL, per pass with a frame (1920 x 1200, 50 frames/s, nothing else running):")
    print("hand-offs, the thread's CPU time while holding the GIL, and holds of more than 0.5 ms of it")
    if not counter:
        print("  not counted: needs a C compiler and an interpreter with a shared libpython")
    else:
        print(f"  {'loop':22s} {'hand-offs':>9s} {'held ms':>8s} {'holds > 0.5 ms':>15s}")
        for loop in loops:
            r = measure_loop(loop, counter, width=1920, height=1200, fps=50, switch=0.005, seconds=0)
            print(f"  {names[loop]:22s} {r['handoffs']:9.2f} {r['held_ms']:8.3f} {r['long_holds']:15.2f}")


if __name__ == "__main__":
    main()
