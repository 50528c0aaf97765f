"""Test harness.

Every scenario is a short Python script run in a fresh interpreter against the
built module, inside a temporary application root:

    ROOT/libs/zun_camera_basler*.so   the module under test
    ROOT/libs/zun_logger.py           the application's logging component
    ROOT/scenario.py                  the scenario, run with ROOT as working directory

With sdk="fake" the scriptable SDK test double in tests/fake_sdk comes first on
the module search path; with sdk="real" the installed pypylon is used, with
camera emulation switched on before it loads.

The suite also runs on another processor's build under user-mode emulation
(scripts/cross-aarch64 --board): sys.executable is then an emulated
interpreter, and ZUN_EMULATOR holds the command line that runs one of the
build's own programs (as CMake's CROSSCOMPILING_EMULATOR does), for example
"qemu-aarch64-static -L SYSROOT".  The suite starts those programs with
`program_command`, and `place_program` lays one out for others to start by its
path.
"""
import dataclasses
import glob
import os
import re
import shlex
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent


def build_dir_of(prefix):
    """The build folder scripts/setup pairs with a virtual environment:
    .venv -> build, .venv-3.7 -> build-3.7 (ZUN_BUILD_DIR overrides it)."""
    venv = Path(prefix)
    if venv.parent == REPO and venv.name.startswith(".venv-"):
        return REPO / ("build-" + venv.name[len(".venv-"):])
    return REPO / "build"


BUILD = Path(os.environ.get("ZUN_BUILD_DIR") or build_dir_of(sys.prefix))
FAKE_SDK = REPO / "tests" / "fake_sdk"


def emulator_of(environ):
    """ZUN_EMULATOR as an argument list, its program found on PATH."""
    words = shlex.split(environ.get("ZUN_EMULATOR", ""))
    if words:
        found = shutil.which(words[0])
        if not found:
            raise RuntimeError(f"ZUN_EMULATOR: {words[0]} not found on PATH")
        words[0] = found
    return words


EMULATOR = emulator_of(os.environ)


def program_command(program, *args):
    """The command line that starts one of the build's programs."""
    return [*EMULATOR, str(program), *map(str, args)]


def place_program(program, target):
    """Puts the built program at target for others to start by its path (the
    module, the field check): a copy, or under an emulator a script that runs
    the program through it, as the kernel would with binfmt_misc.  program may
    be target itself (a program laid out by the install step)."""
    program, target = Path(program), Path(target)
    if not EMULATOR:
        if program != target:
            shutil.copy2(program, target)
        return target
    if program == target:
        program = target.with_name(target.name + ".target")
        target.replace(program)
    words = " ".join(shlex.quote(word) for word in [*EMULATOR, str(program.resolve())])
    target.write_text(f'#!/bin/sh\nexec {words} "$@"\n')
    target.chmod(0o755)
    return target


def built_module():
    found = sorted(glob.glob(str(BUILD / "zun_camera_basler*.so")))
    if not found:
        pytest.exit(f"the module is not built in {BUILD}: run scripts/setup", returncode=2)
    return Path(found[0])


def built_tool(name):
    path = BUILD / "tools" / "usbcam_reset" / name if name == "usbcam_reset" else BUILD / name
    if not path.exists():
        pytest.exit(f"{path} is not built: run scripts/setup", returncode=2)
    return path


def cmake_cache(name):
    """A value from the CMake cache of the build under test."""
    found = re.search(rf"^{name}:\w+=(.*)$", (BUILD / "CMakeCache.txt").read_text(), re.M)
    return found.group(1) if found else None


def install_tree(prefix):
    """`cmake --install` of the build under test into prefix, with the cmake
    that configured that build (each environment has its own)."""
    return subprocess.run([cmake_cache("CMAKE_COMMAND"), "--install", str(BUILD), "--prefix", str(prefix)],
                          capture_output=True, text=True, timeout=120)


@dataclasses.dataclass
class Result:
    returncode: int
    stdout: str
    stderr: str
    root: Path

    def log_lines(self):
        """The lines of every log file under ROOT/logs, in file order."""
        lines = []
        for path in sorted((self.root / "logs").glob("*.log")):
            lines += path.read_text(encoding="utf-8").splitlines()
        return lines

    def log_messages(self):
        """(level, message) of each log line written by the module's logger."""
        out = []
        for line in self.log_lines():
            head, sep, message = line.partition(" zun_camera_basler: ")
            if sep:
                out.append((head.split()[-1], message))
        return out

    def check(self):
        assert self.returncode == 0, f"exit {self.returncode}\n--- stdout\n{self.stdout}\n--- stderr\n{self.stderr}"
        return self


class AppRoot:
    """A temporary application root holding the built module in libs/."""

    def __init__(self, path):
        self.path = path
        self.libs = path / "libs"
        self.libs.mkdir(parents=True)
        shutil.copy2(built_module(), self.libs)
        shutil.copy2(REPO / "libs" / "zun_logger.py", self.libs)
        self.bin = path / "bin"
        self.bin.mkdir()

    def add_program(self, relpath, source):
        """Writes an executable script at ROOT/relpath (e.g. bin/usb-devices)."""
        target = self.path / relpath
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(textwrap.dedent(source).lstrip())
        target.chmod(0o755)
        return target

    def run(self, script, *, sdk="fake", env=None, cwd=None, timeout=120, camemu="2", args=()):
        script_path = self.path / "scenario.py"
        script_path.write_text(textwrap.dedent(script))
        full_env = {k: v for k, v in os.environ.items() if k not in ("ROOT_PATH", "PYLON_CAMEMU")}
        paths = [str(self.libs), str(self.path)]
        if sdk == "fake":
            paths.insert(0, str(FAKE_SDK))
        else:
            full_env["PYLON_CAMEMU"] = camemu
        full_env["PYTHONPATH"] = os.pathsep.join(paths)
        full_env["PATH"] = os.pathsep.join([str(self.bin), full_env.get("PATH", "")])
        full_env["PYTHONUNBUFFERED"] = "1"
        full_env["PYTHONDONTWRITEBYTECODE"] = "1"
        full_env.update(env or {})
        full_env = {k: v for k, v in full_env.items() if v is not None}
        proc = subprocess.run(
            [sys.executable, str(script_path), *args],
            cwd=cwd or self.path, env=full_env, capture_output=True, text=True, timeout=timeout,
        )
        return Result(proc.returncode, proc.stdout, proc.stderr, self.path)


@pytest.fixture
def app(tmp_path):
    return AppRoot(tmp_path / "app")
