"""The field check, run from an application root against made-up sysfs and
devfs trees: healthy, it passes; each fault gives its FAIL line and its fix; a
missing recovery interface is a warning that names the recovery it disables."""
import os
import re
import shutil
import subprocess
import sys

import pytest

from conftest import BUILD, REPO, built_tool, cmake_cache, place_program

CHECK = REPO / "tools" / "zun_camera_check" / "zun_camera_check"
SERIAL = "40012345"
RUN_CHECK = """
    import runpy, sys
    from pypylon import pylon
    if hasattr(pylon, "scenario"):  # the test double: one USB camera unless told otherwise
        for serial in sys.argv[1:]:
            pylon.scenario.add_camera(serial=serial, device_class="BaslerUsb")
    sys.argv[1:] = []
    runpy.run_path("libs/zun_camera_check", run_name="__main__")
"""


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


@pytest.fixture
def board(app):
    """A healthy board: USB 3 camera with an openable node, ample usbfs
    memory, GPIO line 264 exported and high, usb-devices, the reset tool."""
    sysfs, devfs = app.path / "sys", app.path / "dev"
    write(sysfs / "module/usbcore/parameters/usbfs_memory_mb", "1000\n")
    write(sysfs / "class/gpio/export", "")
    write(sysfs / "class/gpio/gpio264/direction", "out\n")
    write(sysfs / "class/gpio/gpio264/value", "1\n")
    for attr, value in (("serial", SERIAL), ("speed", "5000"), ("busnum", "2"), ("devnum", "13")):
        write(sysfs / "bus/usb/devices/2-1" / attr, value + "\n")
    write(sysfs / "bus/usb/devices/2-1:1.0/bInterfaceClass", "ef\n")
    write(devfs / "002/013", "")
    shutil.copy2(CHECK, app.libs)
    place_program(built_tool("usbcam_reset"), app.libs / "usbcam_reset")
    app.add_program("bin/usb-devices", "#!/bin/sh\n")
    app.env = {"ZUN_CHECK_SYSFS": str(sysfs), "USBCAM_RESET_DEVFS": str(devfs),
               "ROOT_PATH": str(app.path), "PATH": str(app.bin)}
    return app


def names_of_checks(result):
    """The check names of the OK/SKIP/WARN/FAIL lines (their second column)."""
    return {line[6:20].strip() for line in result.stdout.splitlines()
            if re.match(r"(OK|WARN|FAIL|SKIP) ", line)}


@pytest.mark.parametrize("sdk", ["fake", "real"])
def test_healthy_board_passes_every_check(board, sdk):
    result = board.run(RUN_CHECK, sdk=sdk, env=board.env, args=[SERIAL])
    assert result.returncode == 0, result.stdout + result.stderr
    assert not re.search(r"^(WARN|FAIL)", result.stdout, re.M), result.stdout
    checks = {"python", "module", "frames", "pypylon", "numpy", "cv2", "cameras", "camera", "usb device",
              "usbfs memory", "gpio", "gpio 264", "usb-devices", "usbcam_reset", "log folder"}
    if sdk == "fake":
        checks |= {"usb speed", "device node"}
        assert f"device node    {board.path}/dev/002/013 read-write" in result.stdout
        assert "SKIP  frames         the SDK emulates no camera to grab from" in result.stdout
    else:
        assert result.stdout.count("(emulated)") == 2  # PYLON_CAMEMU=2, set before pypylon loaded
        assert "OK    frames         native route:" in result.stdout
    assert names_of_checks(result) == checks, result.stdout


def remove(relpath):
    return lambda root: os.unlink(root / relpath)


@pytest.mark.parametrize("fault, check, found, fix", [
    (lambda r: write(r / "sys/bus/usb/devices/2-1/speed", "480\n"),
     "usb speed", "480 Mbit/s", "USB 3 port"),
    (lambda r: write(r / "sys/bus/usb/devices/2-1/serial", "40099999\n"),
     "usb device", f"serial {SERIAL} not found", "replug"),
    (remove("dev/002/013"), "device node", "002/013 missing", "replug"),
    (lambda r: write(r / "sys/module/usbcore/parameters/usbfs_memory_mb", "8\n"),
     "usbfs memory", "8 MB, less than the 14 MB", "usbcore.usbfs_memory_mb=1000"),
    (remove("sys/class/gpio/export"), "gpio", "export missing", "run as root"),
    (lambda r: os.chmod(r / "libs/usbcam_reset", 0o644), "usbcam_reset", "not executable", "chmod +x"),
    (lambda r: write(r / "logs", ""), "log folder", "is not a folder", "mv "),
    (lambda r: [os.unlink(p) for p in (r / "libs").glob("zun_camera_basler*.so")],
     "module", "not found", "scripts/deploy"),
    ("no camera", "cameras", "none seen by the SDK", "connect the camera"),
], ids=["usb2", "serial", "node", "usbfs", "export", "reset-tool", "logs", "module", "no-camera"])
def test_each_fault_fails_with_its_fix(board, fault, check, found, fix):
    if callable(fault):
        fault(board.path)
    result = board.run(RUN_CHECK, env=board.env, args=[] if fault == "no camera" else [SERIAL])
    assert result.returncode == 1, result.stdout + result.stderr
    failed = re.findall(r"^FAIL +(.*)\n +fix: (.*)", result.stdout, re.M)
    assert len(failed) == 1, result.stdout  # this fault, and nothing else
    line, fix_line = failed[0]
    assert line.startswith(check + "  ") and found in line, line
    assert fix in fix_line


def test_frames_off_the_native_route_are_a_warning_with_the_reason(board):
    result = board.run(RUN_CHECK, sdk="real", env=dict(board.env, ZUN_NATIVE_FRAMES="0"))
    assert result.returncode == 0, result.stdout + result.stderr
    warned = re.findall(r"^WARN +frames +(.*)\n +fix: (.*)", result.stdout, re.M)
    assert len(warned) == 1 and "switched off (ZUN_NATIVE_FRAMES=0)" in warned[0][0], result.stdout
    assert warned[0][1] == "unset ZUN_NATIVE_FRAMES"


@pytest.mark.parametrize("fault, check, found, fix", [
    (lambda r: shutil.rmtree(r / "sys/class/gpio"), "gpio", "gpio missing: gpioreset=True does nothing",
     "CONFIG_GPIO_SYSFS"),
    (remove("bin/usb-devices"), "usb-devices", "not on PATH: usbreset=True finds no camera", "apt-get install usbutils"),
], ids=["no-gpio", "usb-devices"])
def test_a_missing_recovery_interface_warns_and_passes(board, fault, check, found, fix):
    fault(board.path)
    result = board.run(RUN_CHECK, env=board.env, args=[SERIAL])
    assert result.returncode == 0, result.stdout + result.stderr
    assert not re.search(r"^FAIL", result.stdout, re.M), result.stdout
    warned = re.findall(r"^WARN +(.*)\n +fix: (.*)", result.stdout, re.M)
    assert len(warned) == 1, result.stdout
    line, fix_line = warned[0]
    assert line.startswith(check + "  ") and found in line, line
    assert fix in fix_line


def test_development_tree_check_runs_with_the_interpreter_of_its_build(tmp_path):
    """Started by another interpreter (the one this environment was made from,
    without its packages), the source tree's check runs again with the one
    the build was configured with."""
    if sys.prefix == sys.base_prefix:
        pytest.skip("the tests do not run in a virtual environment")
    built_for = cmake_cache("Python_EXECUTABLE")
    base = os.path.join(sys.base_prefix, "bin", "python3")
    if os.path.realpath(os.path.dirname(os.path.dirname(built_for))) == os.path.realpath(sys.base_prefix):
        pytest.skip("the build is configured with the interpreter this environment was made from,"
                    " so there is no other one for the check to start again with")
    env = dict(os.environ, ZUN_BUILD_DIR=str(BUILD), ROOT_PATH=str(tmp_path), PYLON_CAMEMU="1")
    env.pop("PYTHONPATH", None)
    done = subprocess.run([base, str(CHECK)], env=env, capture_output=True, text=True, timeout=120)
    lines = {line[6:20].strip(): line for line in done.stdout.splitlines() if re.match(r"(OK|WARN|FAIL|SKIP) ", line)}
    assert lines["python"].startswith("OK") and lines["python"].endswith(", " + built_for), done.stdout + done.stderr
    assert lines["module"].startswith("OK") and lines["pypylon"].startswith("OK"), done.stdout
