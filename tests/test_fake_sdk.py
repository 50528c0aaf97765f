"""Checks of the SDK test double in tests/fake_sdk.

Each check runs in a child interpreter with the fake first on the module search
path, so the fake never shadows the real pypylon inside the pytest process.
"""
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

FAKE_SDK = Path(__file__).resolve().parent / "fake_sdk"

PRELUDE = """
import json, threading, time
import numpy as np
from pypylon import pylon

def opened(index=0):
    factory = pylon.TlFactory.GetInstance()
    cam = pylon.InstantCamera(factory.CreateFirstDevice(factory.EnumerateDevices()[index]))
    cam.Open()
    return cam

def attempt(call):
    try:
        return ["ok", call()]
    except Exception as exc:
        return [type(exc).__name__, str(exc)]

def retrieve(cam, timeout_ms=5000):
    try:
        result = cam.RetrieveResult(timeout_ms, pylon.TimeoutHandling_ThrowException)
        if not result.GrabSucceeded():
            return ["failed"]
        return ["ok", pylon.ImageFormatConverter().Convert(result).GetArray()[0, 0].tolist()]
    except Exception as exc:
        return [type(exc).__name__, str(exc)]
"""


def run(body, cwd=None):
    env = dict(os.environ, PYTHONPATH=str(FAKE_SDK), PYTHONDONTWRITEBYTECODE="1")
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)], env=env, cwd=cwd,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


def test_enumeration_order_identity_and_errors():
    rows, getter_error, enumerate_error, same_factory, serial_calls = run("""
        pylon.scenario.add_camera(serial="40012345")
        gige = pylon.scenario.add_camera(serial="23456789", device_class="BaslerGigE", model="a2A1920-51gcBAS", ip="192.168.3.7")
        pylon.scenario.add_device("BaslerCamEmu", serial="0815-0000", model="Emulation", ip="N/A")
        factory = pylon.TlFactory.GetInstance()
        rows = [[e.GetDeviceClass(), e.GetModelName(), e.GetSerialNumber(), e.GetIpAddress()] for e in factory.EnumerateDevices()]
        gige.fail_on["GetSerialNumber"] = pylon.RuntimeException("entry went away")
        try:
            factory.EnumerateDevices()[1].GetSerialNumber(); getter_error = None
        except pylon.GenericException as exc:
            getter_error = str(exc)
        pylon.scenario.enumerate_error = pylon.RuntimeException("transport layer failure")
        try:
            factory.EnumerateDevices(); enumerate_error = None
        except pylon.GenericException as exc:
            enumerate_error = str(exc)
        print(json.dumps([rows, getter_error, enumerate_error, factory is pylon.TlFactory.GetInstance(),
                          pylon.calls_named("GetSerialNumber")]))
    """)
    assert rows == [["BaslerUsb", "a2A1920-160ucBAS", "40012345", ""],
                    ["BaslerGigE", "a2A1920-51gcBAS", "23456789", "192.168.3.7"],
                    ["BaslerCamEmu", "Emulation", "0815-0000", "N/A"]]
    assert "entry went away" in getter_error
    assert "transport layer failure" in enumerate_error
    assert same_factory
    assert serial_calls == [["GetSerialNumber", s] for s in ("40012345", "23456789", "0815-0000", "23456789")]


def test_frame_items_in_order_and_fresh_arrays():
    arrays, outcomes = run("""
        image = pylon.frame(4, 5, value="random", seed=3)
        pylon.scenario.add_camera(frames=[image, pylon.FAIL, pylon.Delay(0.01, pylon.frame(4, 5, value=9)),
                                          pylon.TIMEOUT, pylon.LogicalErrorException("link lost")])
        cam = opened()
        cam.StartGrabbing(pylon.GrabStrategy_OneByOne)
        converted = pylon.ImageFormatConverter().Convert(cam.RetrieveResult(5000, pylon.TimeoutHandling_ThrowException))
        first, second = converted.GetArray(), converted.GetArray()
        first[...] = 0
        arrays = [first is not second, bool((second == image).all()), list(second.shape), str(second.dtype),
                  bool(np.shares_memory(second, image))]
        print(json.dumps([arrays, [retrieve(cam) for _ in range(5)]]))
    """)
    assert arrays == [True, True, [4, 5, 3], "uint8", False]
    assert [o[0] for o in outcomes] == ["failed", "ok", "TimeoutException", "LogicalErrorException", "TimeoutException"]
    assert outcomes[1][1] == [9, 9, 9]
    assert "TimeoutException" in outcomes[2][1] and "TimeoutException" in outcomes[4][1]
    assert "link lost" in outcomes[3][1]


def test_exhaustion_modes():
    stop, repeated, woken = run("""
        pylon.scenario.add_camera(frames=(pylon.frame(2, 2, value=i) for i in (1, 2)), on_exhausted="stop")
        pylon.scenario.add_camera(frames=pylon.repeat(pylon.frame(2, 2, value=5), 3))
        pylon.scenario.add_camera(on_exhausted="block")
        cam = opened(0)
        cam.StartGrabbing(pylon.GrabStrategy_OneByOne)
        stop = []
        for _ in range(3):
            stop += [cam.IsGrabbing(), retrieve(cam)]
        cam = opened(1)
        cam.StartGrabbing(pylon.GrabStrategy_OneByOne)
        repeated = [retrieve(cam)[0] for _ in range(4)]
        repeated.append(attempt(lambda: cam.StartGrabbing(pylon.GrabStrategy_OneByOne))[0])  # already grabbing
        woken = []
        for how in ("StopGrabbing", "Close"):
            cam = opened(2)
            cam.StartGrabbing(pylon.GrabStrategy_LatestImageOnly)
            events = []
            def stopper():
                time.sleep(0.2)
                events.append(how)
                getattr(cam, how)()
            threading.Thread(target=stopper).start()
            events += [retrieve(cam)[0], cam.IsGrabbing()]
            woken.append(events)
        cam = opened(2)
        cam.StartGrabbing(pylon.GrabStrategy_LatestImageOnly)
        woken.append([retrieve(cam, timeout_ms=50)[0]])  # nobody stops it: the time-out ends the wait
        print(json.dumps([stop, repeated, woken]))
    """)
    assert stop[:5] == [True, ["ok", [1, 1, 1]], True, ["ok", [2, 2, 2]], False]
    assert stop[5][0] == "RuntimeException"  # empty result of a camera that no longer grabs
    assert repeated == ["ok", "ok", "ok", "TimeoutException", "RuntimeException"]
    assert woken == [["StopGrabbing", "TimeoutException", False], ["Close", "TimeoutException", False], ["TimeoutException"]]


def test_camera_parameters_and_injected_failures():
    out = run("""
        cfg = pylon.scenario.add_camera(missing_parameters={"AutoFunctionProfile"}, grabbing_at_start=False)
        cfg.temperature = iter(range(40, 50)).__next__
        cfg.fail_on["Open"] = pylon.fail_times(1, pylon.RuntimeException("device is in use by another process"))
        cfg.fail_on["SetValue:GainAuto"] = pylon.LogicalErrorException("read only")
        cam = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice(pylon.TlFactory.GetInstance().EnumerateDevices()[0]))
        opens = [attempt(cam.Open)[0], attempt(cam.Open)[0]]
        profile = cam.AutoFunctionProfile  # like the SDK: a placeholder, failing on use
        out = {
            "opens": opens,
            "missing": [attempt(lambda: profile.SetValue("MinimizeExposureTime")), attempt(profile.GetValue)],
            "set_get": [attempt(lambda: cam.AcquisitionFrameRate.SetValue(25))[0], attempt(cam.AcquisitionFrameRate.GetValue)],
            "gain": attempt(lambda: cam.GainAuto.SetValue("Off"))[0],
            "temperatures": [cam.DeviceTemperature.GetValue() for _ in range(3)],
            "grabbing": [attempt(lambda: cam.StartGrabbing(pylon.GrabStrategy_OneByOne))[0], cam.IsGrabbing()],
            "unknown": attempt(lambda: cam.Gain)[0],
        }
        print(json.dumps(out))
    """)
    assert out["opens"] == ["RuntimeException", "ok"]
    for kind, text in out["missing"]:
        assert kind == "LogicalErrorException" and "AutoFunctionProfile" in text and "not available" in text
    assert out["set_get"] == ["ok", ["ok", 25]]
    assert out["gain"] == "LogicalErrorException"
    assert out["temperatures"] == [40, 41, 42]
    assert out["grabbing"] == ["ok", False]
    assert out["unknown"] == "AttributeError"


def test_trace_keeps_values_and_types(tmp_path):
    types = run("""
        pylon.scenario.add_camera(serial="40012345")
        cam = opened()
        cam.MaxNumBuffer = 2
        for value in (25, 25.0, np.float64(0.35)):
            cam.AcquisitionFrameRate.SetValue(value)
        pylon.dump_calls("trace.jsonl")
        pylon.scenario.record = False
        cam.Close()
        print(json.dumps([type(c[3]).__name__ for c in pylon.calls_named("SetValue")] + [pylon.calls_named("Close")]))
    """, cwd=tmp_path)
    assert types == ["int", "float", "float64", []]
    lines = [json.loads(line) for line in (tmp_path / "trace.jsonl").read_text().splitlines()]
    assert lines[-5:-3] == [["Open", "40012345"], ["set MaxNumBuffer", "40012345", 2]]
    values = [entry[3] for entry in lines[-3:]]
    assert [type(v) for v in values] == [int, float, str] and values[:2] == [25, 25.0] and "0.35" in values[2]


def test_grab_thread_and_temperature_reads_run_together():
    frames, reads, errors, alive = run("""
        cfg = pylon.scenario.add_camera(frames=pylon.repeat(pylon.frame(48, 64)), on_exhausted="block")
        cfg.temperature = iter(range(1000)).__next__
        cam = opened()
        cam.StartGrabbing(pylon.GrabStrategy_LatestImageOnly)
        converter, counts, errors = pylon.ImageFormatConverter(), [0], []
        def grab():
            while cam.IsGrabbing():
                try:
                    result = cam.RetrieveResult(5000, pylon.TimeoutHandling_ThrowException)
                    if result.GrabSucceeded():
                        converter.Convert(result).GetArray()
                        counts[0] += 1
                except pylon.GenericException:
                    pass  # stopped between IsGrabbing and RetrieveResult
                except Exception as exc:
                    errors.append(repr(exc))
        thread = threading.Thread(target=grab)
        thread.start()
        reads = [cam.DeviceTemperature.GetValue() for _ in range(300)]
        cam.StopGrabbing()
        cam.Close()
        thread.join(10)
        print(json.dumps([counts[0], reads, errors, thread.is_alive()]))
    """)
    assert frames > 0 and errors == [] and not alive
    assert reads == list(range(300))
