"""The USB reset tool, run as a program against a fake sysfs and devfs tree.

A real reset needs a real USB device, so the device nodes here are regular
files or absent: the tests see the tool find the right devices, name the right
nodes, refuse bad command lines and report every failure with its cause.
"""
import errno
import os
import re
import subprocess

import pytest

from conftest import BUILD, program_command

TOOL = BUILD / "tools/usbcam_reset/usbcam_reset"

ENOENT = os.strerror(errno.ENOENT)  # "No such file or directory"
ENOTTY = os.strerror(errno.ENOTTY)  # "Inappropriate ioctl for device"

# The camera the tests look for: bus 2, device 13 (the node path is zero-padded).
CAMERA = ("2676", "ba02")
CAMERA_NODE = "002/013"


@pytest.fixture(scope="module")
def tool():
    if not TOOL.is_file():
        pytest.fail(f"{TOOL} is not built: run scripts/setup")
    return TOOL


def add_device(sysfs, name, vendor, product, busnum, devnum):
    entry = sysfs / name
    entry.mkdir(parents=True)
    for attr, value in (("idVendor", vendor), ("idProduct", product),
                        ("busnum", busnum), ("devnum", devnum)):
        (entry / attr).write_text(f"{value}\n")


@pytest.fixture
def tree(tmp_path):
    """A fake USB tree: a hub, another camera model of the same vendor, a
    device with the camera's product id under another vendor, the camera, and
    the camera's interface directory (no id files).  Every device has a node
    that is a regular file, so opening works and the reset ioctl fails."""
    sysfs = tmp_path / "sys"
    devfs = tmp_path / "dev"
    add_device(sysfs, "usb1", "1d6b", "0002", 1, 1)
    add_device(sysfs, "1-1", "05e3", "0610", 1, 2)
    add_device(sysfs, "1-2", "2676", "ba03", 1, 3)
    add_device(sysfs, "1-3", "1234", "ba02", 1, 4)
    add_device(sysfs, "2-1", *CAMERA, 2, 13)
    interface = sysfs / "2-1:1.0"
    interface.mkdir()
    (interface / "bInterfaceClass").write_text("ff\n")
    for bus, dev in ((1, 1), (1, 2), (1, 3), (1, 4), (2, 13)):
        node = devfs / f"{bus:03d}" / f"{dev:03d}"
        node.parent.mkdir(parents=True, exist_ok=True)
        node.write_bytes(b"")
    return sysfs, devfs


def run(tool, args, sysfs, devfs, timeout=30):
    env = dict(os.environ, USBCAM_RESET_SYSFS=str(sysfs), USBCAM_RESET_DEVFS=str(devfs))
    return subprocess.run(program_command(tool, *args), env=env, capture_output=True, text=True, timeout=timeout)


def camera_args(*extra, vendor="0x2676", product="0xba02"):
    return ["-v", vendor, "-p", product, *extra]


@pytest.mark.parametrize("args, names", [
    ([], "vendor"),
    (["--reset-usb", "--verbose"], "vendor"),
    (["-v", "0x2676", "--reset-usb"], "product"),
    (["-v", "zz", "-p", "ba02", "--reset-usb"], "'zz'"),
    (["-v", "0x2676", "-p", "0x", "--reset-usb"], "'0x'"),
    (["-v", "0x10000", "-p", "ba02", "--reset-usb"], "'0x10000'"),
    (["-v", "-2676", "-p", "ba02", "--reset-usb"], "'-2676'"),
    (["-v", "0x2676", "-p"], "-p"),
    (["-v", "0x2676", "-p", "0xba02", "--reset", "--verbose"], "'--reset'"),
    (["-v", "0x2676", "-p", "0xba02", "--reset-usb", "now"], "'now'"),
])
def test_bad_command_line_is_a_usage_error(tool, tree, args, names):
    result = run(tool, args, *tree)
    assert result.returncode == 2, result
    assert result.stderr.startswith("usbcam_reset: "), result.stderr
    assert names in result.stderr
    assert "--help" in result.stderr
    assert result.stdout == ""  # nothing was looked for, nothing listed


@pytest.mark.parametrize("flag", ["--help", "-h"])
def test_help_documents_options_and_exit_codes(tool, tree, flag):
    result = run(tool, [flag], *tree)
    assert result.returncode == 0
    assert result.stderr == ""
    for option in ("--vendor", "--product", "--reset-usb", "--verbose", "--help",
                   "USBCAM_RESET_SYSFS", "USBCAM_RESET_DEVFS"):
        assert option in result.stdout
    for code in (0, 2, 3, 4):
        assert re.search(rf"^\s+{code}\s+\S", result.stdout, re.M), f"exit code {code} undocumented"


@pytest.mark.parametrize("vendor, product", [
    ("0x2676", "0xba02"),
    ("2676", "ba02"),
    ("0X2676", "0XBA02"),
    ("0x2676", "0xBa02"),
    ("0x02676", "00ba02"),
])
def test_without_reset_usb_matching_device_is_listed_not_reset(tool, tree, vendor, product):
    sysfs, devfs = tree
    result = run(tool, camera_args(vendor=vendor, product=product), sysfs, devfs)
    # The node is a regular file: a reset attempt would fail with exit 4.
    assert result.returncode == 0, result
    assert result.stderr == ""
    assert str(sysfs / "2-1") in result.stdout
    assert str(devfs / CAMERA_NODE) in result.stdout
    for other in ("usb1", "1-1", "1-2", "1-3", "001/"):
        assert other not in result.stdout


@pytest.mark.parametrize("args", [
    camera_args("--reset-usb", "--verbose", product="0xffff"),
    camera_args("--reset-usb", vendor="0x2677"),
    camera_args(vendor="1d6b", product="0003"),
])
def test_no_matching_device_exits_3(tool, tree, args):
    sysfs, devfs = tree
    result = run(tool, args, sysfs, devfs)
    assert result.returncode == 3, result
    assert result.stderr.startswith("usbcam_reset: ")
    assert "no USB device" in result.stderr
    assert str(devfs) not in result.stdout + result.stderr  # no node was touched


def test_unreadable_device_list_exits_3_with_reason(tool, tmp_path):
    missing = tmp_path / "no-sysfs"
    result = run(tool, camera_args("--reset-usb", "--verbose"), missing, tmp_path / "dev")
    assert result.returncode == 3, result
    assert result.stderr.startswith("usbcam_reset: ")
    assert str(missing) in result.stderr
    assert ENOENT in result.stderr


@pytest.mark.parametrize("verbose", [False, True])
def test_failed_reset_names_node_and_reason(tool, tree, verbose):
    sysfs, devfs = tree
    args = camera_args("--reset-usb", *(["--verbose"] if verbose else []))
    result = run(tool, args, sysfs, devfs)
    assert result.returncode == 4, result
    error_lines = result.stderr.splitlines()
    assert len(error_lines) == 1, result.stderr  # only the camera was tried
    assert error_lines[0].startswith("usbcam_reset: ")
    assert str(devfs / CAMERA_NODE) in error_lines[0]
    assert ENOTTY in error_lines[0]
    if verbose:
        assert str(sysfs / "2-1") in result.stdout
        assert str(devfs / CAMERA_NODE) in result.stdout
    else:
        assert result.stdout == ""


def test_missing_node_exits_4_with_reason(tool, tree):
    sysfs, devfs = tree
    (devfs / CAMERA_NODE).unlink()
    result = run(tool, camera_args("--reset-usb", "--verbose"), sysfs, devfs)
    assert result.returncode == 4, result
    assert str(devfs / CAMERA_NODE) in result.stderr
    assert ENOENT in result.stderr


def test_every_matching_device_is_tried(tool, tree):
    # A second camera of the same model on bus 3; its node is missing, the
    # first camera's node is a regular file: both failures must be reported.
    sysfs, devfs = tree
    add_device(sysfs, "3-4", *CAMERA, 3, 7)
    result = run(tool, camera_args("--reset-usb"), sysfs, devfs)
    assert result.returncode == 4, result
    first = [line for line in result.stderr.splitlines() if str(devfs / CAMERA_NODE) in line]
    second = [line for line in result.stderr.splitlines() if str(devfs / "003/007") in line]
    assert len(first) == 1 and ENOTTY in first[0], result.stderr
    assert len(second) == 1 and ENOENT in second[0], result.stderr

    listed = run(tool, camera_args(), sysfs, devfs)
    assert listed.returncode == 0, listed
    assert str(sysfs / "2-1") in listed.stdout
    assert str(sysfs / "3-4") in listed.stdout


def test_hostile_tree_entries_are_skipped_and_names_escaped(tool, tree):
    # An id that is a FIFO (an open would block) and one that is endless
    # (/dev/zero), sorted before the camera; a matching device whose name
    # holds control characters.  The short time-out turns a hang into a failure.
    sysfs, devfs = tree
    add_device(sysfs, "0-fifo", *CAMERA, 4, 1)
    (sysfs / "0-fifo/idVendor").unlink()
    os.mkfifo(sysfs / "0-fifo/idVendor")
    add_device(sysfs, "0-zero", *CAMERA, 4, 2)
    (sysfs / "0-zero/idVendor").unlink()
    (sysfs / "0-zero/idVendor").symlink_to("/dev/zero")
    add_device(sysfs, "2-2\n\x1b[2J", *CAMERA, 2, 14)
    result = run(tool, camera_args("--verbose"), sysfs, devfs, timeout=10)
    assert result.returncode == 0, result
    lines = result.stdout.splitlines()
    assert [line for line in lines if line.startswith("would reset")] == [
        f"would reset 2676:ba02 at {sysfs}/2-1, node {devfs}/{CAMERA_NODE}",
        f"would reset 2676:ba02 at {sysfs}/2-2\\x0a\\x1b[2J, node {devfs}/002/014",
    ]
    assert "\x1b" not in result.stdout + result.stderr
