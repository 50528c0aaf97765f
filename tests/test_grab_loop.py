"""The background grab thread: its loop, how it ends, and the methods that talk to it.

Each scenario runs in a fresh interpreter against the fake SDK and writes what
it saw to ROOT/result.json; the tests read that, stdout and the module's log.
Scenarios that need the grab thread to wait at a known point feed it a
generator that blocks on an Event (never longer than 30 s).
"""
import json
import re
import textwrap

import pytest

SERIAL = "40012345"
GRABBED = "Grabbed frame shape : "
RESTART = "Sync Camera thread. The program will restart now."
TIMED_OUT = RESTART + " Code:637b21"

PRELUDE = f"""
import itertools, json, os, sys, threading, time
import numpy as np
from pypylon import pylon

SERIAL = {SERIAL!r}
dev = pylon.scenario.add_camera(serial=SERIAL, on_exhausted="stop")
A = pylon.frame(6, 8, value="random", seed=1)
B = pylon.frame(6, 8, value="random", seed=2)
GATE = threading.Event()
HOOKED = []
EVENTS = []  # (on the main thread?, "get"/"set", attribute, value)

def run_noting_escapes(self, run=threading.Thread.run):
    # Records what escapes a thread's target; threading then reports it as usual.
    try:
        run(self)
    except BaseException as error:
        HOOKED.append([type(error).__name__, str(error)])
        raise
threading.Thread.run = run_noting_escapes

def gated(before, after):
    yield from before
    GATE.wait(30)
    yield from after

def fail_from(n, error):
    count = itertools.count(1)
    return lambda: error if next(count) >= n else None

def wait_for(condition, limit=30):
    end = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < end, "gave up waiting"
        time.sleep(0.005)

def loop_calls():  # the trace from the loop's first question to the camera on
    names = [c[0] for c in pylon.calls]
    return [list(c) for c in pylon.calls[names.index("IsGrabbing"):]] if "IsGrabbing" in names else []

def watched(z):
    # Records attribute traffic; the grab thread's reads of stopCam go into the SDK trace.
    class Watched(z.zun_camera):
        def __setattr__(self, name, value):
            EVENTS.append((threading.current_thread() is threading.main_thread(), "set", name, value))
            super().__setattr__(name, value)

        def __getattribute__(self, name):
            main = threading.current_thread() is threading.main_thread()
            if name == "stopCam" and not main:
                pylon.calls.append(("stopCam",))
            if main and name in ("isActive", "frame"):
                EVENTS.append((True, "get", name, None))
            return super().__getattribute__(name)
    return Watched

def report(**values):  # to a file: the grab thread may be printing at the same time
    with open("result.json", "w") as out:
        json.dump(values, out)
"""


def scenario(app, *parts, timeout=120):
    result = app.run(PRELUDE + "".join(textwrap.dedent(p) + "\n" for p in parts), timeout=timeout).check()
    return result, json.loads((result.root / "result.json").read_text())


def loop_lines(result):
    """(level, message) of the log lines the grab loop writes."""
    return [(lvl, m) for lvl, m in result.log_messages() if m.startswith((GRABBED, RESTART))]


def grabbed_stdout(result):
    return [line for line in result.stdout.splitlines() if line.startswith(GRABBED)]


def passes(*kinds):
    """The SDK calls of the loop's passes: "fail" (unsuccessful grab) or "frame"."""
    out = []
    for kind in kinds:
        out += [["IsGrabbing", SERIAL], ["stopCam"], ["RetrieveResult", SERIAL, 5000, 11], ["GrabSucceeded", SERIAL]]
        if kind == "frame":
            out += [["Convert", SERIAL], ["GetArray"], ["stopCam"]]
    return out


SHUT_DOWN = [["StopGrabbing", SERIAL], ["Close", SERIAL]]


def test_skipped_grabs_change_nothing_and_a_frame_is_published_before_its_flag(app):
    result, out = scenario(app, """
        dev.frames = gated([pylon.FAIL, pylon.FAIL], [pylon.Delay(1.05, pylon.frame(4, 5, value=9))])
        import zun_camera_basler as z
        obj = watched(z)(SERIAL)
        wait_for(lambda: len(pylon.calls_named("IsGrabbing")) == 3)  # two skipped grabs, then waiting
        last_time = obj.lastTime
        before = [list(obj.getFlagAndFrame()), obj.isInitializing, obj.lastTime == last_time]
        GATE.set()
        obj.t1.join(30)
        sets = [[n, v if isinstance(v, bool) else type(v).__name__] for main, op, n, v in EVENTS if not main]
        report(before=before, sets=sets, loop=loop_calls(), later=obj.lastTime > last_time + 1,
               end=[obj.isActive, obj.frame.tolist() == pylon.frame(4, 5, value=9).tolist()])
    """)
    assert out["before"] == [[False, None], True, True]
    assert out["sets"] == [["frame", "ndarray"], ["isInitializing", False], ["isActive", True],
                           ["lastTime", "float"], ["isActive", False]]
    assert out["loop"] == passes("fail", "fail", "frame") + [["IsGrabbing", SERIAL]] + SHUT_DOWN
    assert out["later"] and out["end"] == [False, True]
    line = GRABBED + "(4, 5, 3), mean of image: 9.0"
    assert loop_lines(result) == [("INFO", line)]
    assert grabbed_stdout(result) == [line]


def test_diagnostic_line_at_most_once_a_second(app):
    # Frame i is filled with i and arrives 25 ms after its retrieval began,
    # so the line's mean names the frame it was written for.
    result, out = scenario(app, """
        import logging
        dev.frames = [pylon.Delay(0.025, pylon.frame(4, 6, value=i)) for i in range(140)]
        import zun_camera_basler as z
        stamps = []
        class Stamp(logging.Handler):
            def emit(self, record):
                stamps.append([record.created, record.getMessage()])
        z.l.addHandler(Stamp())
        t0 = time.time()
        obj = z.zun_camera(SERIAL)
        obj.t1.join(60)
        report(t0=t0, stamps=[s for s in stamps if s[1].startswith("Grabbed")], active=obj.isActive)
    """)
    lines = loop_lines(result)
    assert lines == [("INFO", m) for _, m in out["stamps"]]
    assert grabbed_stdout(result) == [m for _, m in out["stamps"]]
    indices = [int(re.fullmatch(r"Grabbed frame shape : \(4, 6, 3\), mean of image: (\d+)\.0", m)[1]) for _, m in lines]
    assert len(indices) >= 3, indices
    # Due once more than a second has passed since the last line (or since
    # construction): never earlier, and no later than the first frame after that.
    times = [t for t, _ in out["stamps"]]
    assert times[0] > out["t0"] + 1.0
    assert all(b - a > 1.0 for a, b in zip(times, times[1:])), times
    assert indices[0] <= 40 and all(0 < b - a <= 41 for a, b in zip(indices, indices[1:])), indices
    assert out["active"] is False


ERROR_ENDINGS = {
    "time-out": ("dev.frames = [A, B, pylon.TIMEOUT]", TIMED_OUT),
    "nothing left to retrieve": ("dev.frames = [A, B]; dev.on_exhausted = 'timeout'", TIMED_OUT),
    "text naming a time-out": ("dev.frames = [A, B, RuntimeError('upstream TimeoutException')]", TIMED_OUT),
    "SDK error": ("dev.frames = [A, B, pylon.RuntimeException('device removed')]",
                  RESTART + "device removed : RuntimeException thrown"),
    "conversion error": ("dev.frames = [A, B, A]; dev.fail_on['GetArray'] = fail_from(3, ValueError('bad stride'))",
                         RESTART + "bad stride"),
    "camera query error": ("dev.frames = [A, B, A]; dev.fail_on['IsGrabbing'] = fail_from(3, OSError('link lost'))",
                           RESTART + "link lost"),
}


@pytest.mark.parametrize("setup, message", ERROR_ENDINGS.values(), ids=ERROR_ENDINGS.keys())
def test_error_ends_the_loop_with_one_log_line_and_a_closed_camera(app, setup, message):
    result, out = scenario(app, setup, """
        import zun_camera_basler as z
        obj = z.zun_camera(SERIAL)
        obj.t1.join(30)
        flag, frame = obj.getFlagAndFrame()
        report(flag=flag, last=frame is not None and np.array_equal(frame, B), tail=loop_calls()[-2:],
               alive=obj.t1.is_alive())
    """)
    assert loop_lines(result) == [("INFO", message)]
    assert RESTART not in result.stdout and "did not work" not in result.stdout
    assert out == {"flag": False, "last": True, "tail": SHUT_DOWN, "alive": False}


@pytest.mark.parametrize("failing", ["StopGrabbing", "Close"])
def test_failing_shut_down_is_reported_once_on_stdout(app, failing):
    result, out = scenario(app, f"""
        dev.frames = gated([A], [pylon.TIMEOUT])
        dev.fail_on[{failing!r}] = pylon.RuntimeException("camera gone")
        import zun_camera_basler as z
        obj = z.zun_camera(SERIAL)
        GATE.set()  # the thread's report cannot mix with the constructor's output
        obj.t1.join(30)
        report(flag=obj.isActive, tail=loop_calls()[-3:], hooked=HOOKED)
    """)
    assert result.stdout.count("StopGrabbing did not work.") == 1
    assert "StopGrabbing did not work." in result.stdout.splitlines()
    assert loop_lines(result) == [("INFO", TIMED_OUT)]  # the report is printed, not logged
    expected = SHUT_DOWN if failing == "Close" else [["RetrieveResult", SERIAL, 5000, 11], ["StopGrabbing", SERIAL]]
    assert out["tail"][-len(expected):] == expected
    assert out["flag"] is False and out["hooked"] == []


BASE_ENDINGS = {
    "exit request": ("dev.frames = [A, SystemExit(3)]", ["SystemExit", "3"]),
    "interrupt in conversion": ("dev.frames = [A, A]; dev.fail_on['Convert'] = fail_from(2, KeyboardInterrupt())",
                                ["KeyboardInterrupt", ""]),
    "logging fails in the handler": ("""
        class FailingLog:
            def __init__(self, inner):
                self.inner = inner
            def info(self, text):
                if text.startswith("Sync Camera"):
                    raise OSError("log volume full")
                self.inner.info(text)
            def error(self, text):
                self.inner.error(text)
        dev.frames = [A, pylon.TIMEOUT]
        import zun_camera_basler as z
        z.l = FailingLog(z.l)
    """, ["OSError", "log volume full"]),
}


@pytest.mark.parametrize("setup, escaped", BASE_ENDINGS.values(), ids=BASE_ENDINGS.keys())
def test_camera_is_closed_even_when_the_thread_dies(app, setup, escaped):
    result, out = scenario(app, setup, """
        import zun_camera_basler as z
        obj = z.zun_camera(SERIAL)
        obj.t1.join(30)
        report(flag=obj.isActive, tail=loop_calls()[-2:], hooked=HOOKED, alive=obj.t1.is_alive(),
               frames=len(pylon.calls_named("GetArray")))
    """)
    assert out == {"flag": False, "tail": SHUT_DOWN, "hooked": [escaped], "alive": False, "frames": 1}
    assert loop_lines(result) == []  # an exit request or interrupt is not logged as an error
    assert "StopGrabbing did not work." not in result.stdout
    if escaped[0] != "SystemExit":  # threading's own hook reports all but exit requests
        assert "Traceback" in result.stderr and escaped[0] in result.stderr


def test_stop_returns_at_once_and_the_loop_ends_after_the_current_pass(app):
    result, out = scenario(app, """
        dev.frames, dev.on_exhausted = gated([A], [B, A, A]), "timeout"
        import zun_camera_basler as z
        obj = watched(z)(SERIAL)
        wait_for(lambda: len(pylon.calls_named("RetrieveResult")) == 2)  # A is out, B is being waited for
        EVENTS.clear()
        first = obj.getFlagAndFrame()
        reads = [n for main, op, n, v in EVENTS if main and op == "get"]
        EVENTS.clear()
        obj.stop()
        sets = [[n, v] for main, op, n, v in EVENTS if main and op == "set"]
        right_after = [obj.stopCam, obj.isActive, obj.t1.is_alive()]
        mark = len(pylon.calls)
        GATE.set()
        obj.t1.join(30)
        flag, frame = obj.getFlagAndFrame()
        thread_sets = [[n, v] for main, op, n, v in EVENTS if not main and op == "set" and n == "isActive"]
        report(first=[first[0], np.array_equal(first[1], A)], reads=reads, sets=sets, right_after=right_after,
               after=[list(c) for c in pylon.calls[mark:]], end=[flag, np.array_equal(frame, B)],
               thread_sets=thread_sets)
    """)
    assert out["first"] == [True, True]
    assert out["reads"] == ["isActive", "frame"]
    assert out["sets"] == [["stopCam", True], ["isActive", False]]
    assert out["right_after"] == [True, False, True]
    # the pass under way publishes B but, the stop being asked for, never raises
    # the flag again; the next pass sees the request
    assert out["after"] == [["GrabSucceeded", SERIAL], ["Convert", SERIAL], ["GetArray"], ["stopCam"],
                            ["IsGrabbing", SERIAL], ["stopCam"]] + SHUT_DOWN
    assert out["end"] == [False, True]
    assert out["thread_sets"] == [["isActive", False]]
    assert loop_lines(result) == []


def test_run_refuses_a_second_thread_and_restarts_after_the_end(app):
    result, out = scenario(app, """
        dev.frames, dev.on_exhausted = gated([A], [B]), "timeout"
        import zun_camera_basler as z
        obj = z.zun_camera(SERIAL)
        wait_for(lambda: len(pylon.calls_named("RetrieveResult")) == 2)
        first = obj.t1
        refused = []
        for method in (obj.run, obj.read):  # neither puts a second loop on the camera
            try:
                method()
                refused.append(None)
            except RuntimeError:
                refused.append("RuntimeError")
        time.sleep(0.2)  # room for a second loop to show itself
        while_running = [refused, obj.t1 is first, threading.active_count(),
                         len(pylon.calls_named("IsGrabbing")), len(pylon.calls_named("RetrieveResult"))]
        obj.stop()
        GATE.set()
        first.join(30)
        mark = len(pylon.calls)
        obj.run()
        obj.t1.join(30)
        report(while_running=while_running, new=obj.t1 is not first, again=[list(c) for c in pylon.calls[mark:]],
               flag=obj.isActive)
    """)
    assert out["while_running"] == [["RuntimeError", "RuntimeError"], True, 2, 2, 2]
    assert out["new"] is True
    assert out["again"] == [["IsGrabbing", SERIAL]] + SHUT_DOWN
    assert out["flag"] is False
    assert result.stdout.splitlines().count("starting thread") == 2


def test_camera_not_grabbing_is_closed_at_once(app):
    result, out = scenario(app, """
        dev.grabbing_at_start = False
        dev.frames = [A]
        import zun_camera_basler as z
        obj = watched(z)(SERIAL)
        obj.t1.join(30)
        report(loop=loop_calls(), state=[list(obj.getFlagAndFrame()), obj.isInitializing],
               sets=[[n, v] for main, op, n, v in EVENTS if not main and op == "set"])
    """)
    assert out == {"loop": [["IsGrabbing", SERIAL]] + SHUT_DOWN, "state": [[False, None], True],
                   "sets": [["isActive", False]]}
    assert loop_lines(result) == [] and grabbed_stdout(result) == []


def test_mean_in_the_diagnostic_line_is_numpys_average(app):
    # One camera per frame, each frame arriving a little over a second after
    # its construction, staggered so that the threads do not print together.
    result, out = scenario(app, """
        R = lambda h, w, seed: pylon.frame(h, w, value="random", seed=seed)
        SOURCES = [R(1, 1, 1), R(480, 640, 2), R(7, 13, 3), pylon.frame(4, 5, value=0), R(1200, 1600, 5),
                   pylon.frame(2000, 3000, value=(255, 255, 254)),  # byte sum beyond 32 bits
                   R(10, 11, 7) / 7.0, R(9, 9, 8).astype(np.uint16) * 257, R(480, 642, 9), R(17, 5, 10)]
        VIEWS = {"40000008": lambda a: a[::2, 1::3], "40000009": lambda a: a.transpose(1, 0, 2)}
        for i, source in enumerate(SOURCES):
            pylon.scenario.add_camera(serial="4000%04d" % i, frames=[pylon.Delay(1.1 + 0.2 * i, source)],
                                      on_exhausted="stop")
        import zun_camera_basler as z

        class Viewed:  # hands out a view of the converted image
            def __init__(self, view):
                self.inner, self.view = pylon.ImageFormatConverter(), view
            def Convert(self, result):
                image, view = self.inner.Convert(result), self.view
                return type("Image", (), {"GetArray": lambda _: view(image.GetArray())})()

        plain = z.zun_camera.setconverter
        def setconverter(self):
            if self.serial in VIEWS:
                self.converter = Viewed(VIEWS[self.serial])
            else:
                plain(self)
        z.zun_camera.setconverter = setconverter
        cams = [z.zun_camera("4000%04d" % i) for i in range(len(SOURCES))]
        for cam in cams:
            cam.t1.join(60)
        report(expected=["Grabbed frame shape : " + str(c.frame.shape) + ", mean of image: " + str(np.average(c.frame))
                         for c in cams], contiguous=[c.frame.flags.c_contiguous for c in cams])
    """)
    expected = out["expected"]
    assert out["contiguous"] == [True] * 8 + [False, False]
    assert expected[3].endswith(": 0.0") and expected[5].endswith(": 254.66666666666666")
    assert sorted(loop_lines(result)) == sorted(("INFO", line) for line in expected)
    # cut at each line's start: prints of two threads may still meet
    printed = [GRABBED + text.strip() for text in result.stdout.split(GRABBED)[1:]]
    assert sorted(printed) == sorted(expected)


def test_stress_readers_see_whole_frames_while_frames_stream(app):
    # Each frame is filled with one odd value: a torn frame would show two.
    result, out = scenario(app, """
        import cv2
        VALUES = list(range(1, 256, 2))
        ARRAYS = [pylon.frame(60, 80, value=v) for v in VALUES]
        END = time.monotonic() + 60
        def stream():
            for i in itertools.count():
                if time.monotonic() > END:
                    return
                yield ARRAYS[i % len(ARRAYS)] if i % 4 else pylon.Delay(0.0002, ARRAYS[i % len(ARRAYS)])
        dev.frames = stream()
        dev.fail_on["Close"] = lambda: print("camera closed")  # marks the end of the grab thread
        pylon.scenario.record = False
        import zun_camera_basler as z
        obj = z.zun_camera(SERIAL)
        os.makedirs("shots")
        shot = os.path.join("shots", "frame.png")
        bad, seen, kept, saved, temps = [], set(), [], set(), set()
        i, start = 0, time.monotonic()
        while i < 4000 or time.monotonic() < start + 3:
            i += 1
            flag, frame = obj.getFlagAndFrame()
            if flag:
                if not (isinstance(frame, np.ndarray) and frame.shape == (60, 80, 3) and frame.dtype == np.uint8
                        and frame.min() == frame.max() and int(frame.flat[0]) in VALUES):
                    bad.append(repr(frame)[:200])
                else:
                    seen.add(int(frame.flat[0]))
                    if i % 97 == 0:
                        kept.append((frame, int(frame.flat[0])))
            if frame is not None and i % 4 == 0:
                saved.add(bool(obj.saveFrame(shot)))
            if i % 4 == 1:
                obj.setconverter()
            if i % 2 == 0:
                temps.add(obj.getTemperature())
            if i % 50 == 0:
                obj.lastTime = 0.0  # the next frame gets its diagnostic line
        obj.stop()
        back = cv2.imread(shot)
        report(bad=bad, seen=len(seen), kept=len(kept), intact=all((f == v).all() for f, v in kept), saved=sorted(saved),
               temps=sorted(temps), back=[list(back.shape), int(back.min()) == int(back.max()), int(back.flat[0]) in VALUES])
    """, timeout=300)
    assert out["bad"] == []
    assert out["seen"] > 1 and out["kept"] > 0 and out["intact"]  # frames changed; handed-out ones never did
    assert out["saved"] == [True] and out["temps"] == [41.5]
    assert out["back"] == [[60, 80, 3], True, True]
    lines = grabbed_stdout(result)
    assert lines and all(re.fullmatch(r"Grabbed frame shape : \(60, 80, 3\), mean of image: (\d+)\.0", s)
                         and int(s.split(": ")[-1][:-2]) % 2 == 1 for s in lines), lines[:5]
    assert result.stdout.splitlines().count("camera closed") == 1  # and the process ended by itself
    assert not [m for _, m in loop_lines(result) if m.startswith(RESTART)]


def test_repeated_cameras_leak_no_objects_descriptors_or_memory(app):
    result, out = scenario(app, """
        import gc
        pylon.scenario.record = False
        import zun_camera_basler as z

        class Clock:  # each reading two seconds after the last: every frame gets its diagnostic line
            def __init__(self):
                self.offset = 0.0
            def time(self):
                self.offset += 2.0
                return time.time() + self.offset
        z.time = Clock()
        F = [pylon.frame(240, 320, value="random", seed=s) for s in range(3)]
        ENDINGS = [[pylon.TIMEOUT], [pylon.RuntimeException("cable unplugged")], [pylon.Delay(0.02, F[1])] * 100]

        def measure():
            gc.collect()
            rss = int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
            return [len(gc.get_objects()), len(os.listdir("/proc/self/fd")), rss, sys.getrefcount(None)]

        marks, threads = {}, set()
        for cycle in range(1, 201):
            dev.frames = [F[0], pylon.FAIL, F[2]] + ENDINGS[cycle % 3]
            obj = z.zun_camera(SERIAL)
            if cycle % 3 == 2:
                wait_for(lambda: obj.getFlagAndFrame()[0])
            else:
                obj.t1.join(30)  # the error ends it
            obj.stop()
            obj.t1.join(30)
            threads.add(threading.active_count())
            del obj
            if cycle in (20, 200):
                marks[cycle] = measure()
        # What as many threads cost this process without the module: under a
        # user-mode emulator each ended thread leaves some of its memory behind.
        for _ in range(180):
            plain = threading.Thread(target=time.sleep, args=(0.001,))
            plain.start()
            plain.join()
        report(first=marks[20], last=marks[200], plain=measure(), threads=sorted(threads))
    """, timeout=300)
    objects, fds, rss, nones = (b - a for a, b in zip(out["first"], out["last"]))
    rss -= max(0, out["plain"][2] - out["last"][2])
    assert out["threads"] == [1]
    assert objects < 200, (out["first"], out["last"])
    assert fds <= 2, (out["first"], out["last"])
    assert rss < 32 * 2**20, (out["first"], out["last"])
    assert nones < 200, (out["first"], out["last"])
    assert sum(m.startswith(RESTART) for _, m in loop_lines(result)) == sum(c % 3 != 2 for c in range(1, 201))
