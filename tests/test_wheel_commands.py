"""The wheel's two commands on a made-up installation laid out as the wheel
installs itself (site-packages with the module and the package, the reset tool
in bin/, named by the RECORD): zun_camera_deploy lays out an application tree
from it, and the field check runs both as the installed command and from the
tree it laid out."""
import os
import re
import shutil
import subprocess
import sys

from conftest import REPO, built_module, built_tool, place_program

PACKAGE = REPO / "tools" / "zun_camera_basler_tools"


def run(args, env):
    env = dict(os.environ, PYLON_CAMEMU="1", **env)
    return subprocess.run([sys.executable, *args], env=env, capture_output=True, text=True, timeout=120)


def check_lines(result):
    return {line[6:20].strip(): line for line in result.stdout.splitlines()
            if re.match(r"(OK|WARN|FAIL|SKIP) ", line)}


def test_deploy_lays_out_the_tree_and_the_check_runs_installed_and_deployed(tmp_path):
    site, root = tmp_path / "env" / "lib" / "site", tmp_path / "my app"
    (site / "zun_camera_basler_tools" / "libs").mkdir(parents=True)
    (tmp_path / "env" / "bin").mkdir()
    shutil.copy2(built_module(), site)
    shutil.copy2(REPO / "src" / "zun_camera_basler.pyi", site)
    for name in ("__init__.py", "deploy.py"):
        shutil.copy2(PACKAGE / name, site / "zun_camera_basler_tools")
    shutil.copy2(REPO / "tools/zun_camera_check/zun_camera_check", site / "zun_camera_basler_tools/zun_camera_check.py")
    shutil.copy2(REPO / "libs" / "zun_logger.py", site / "zun_camera_basler_tools" / "libs")
    place_program(built_tool("usbcam_reset"), tmp_path / "env" / "bin" / "usbcam_reset")
    (site / "zun_camera_basler-1.0.2.dist-info").mkdir()
    (site / "zun_camera_basler-1.0.2.dist-info" / "RECORD").write_text("../../bin/usbcam_reset,,\n")
    env = {"PYTHONPATH": str(site), "ROOT_PATH": str(root)}

    # Before the tree exists: the installed module imports with the package's
    # logging component; the reset tool is missing, and the fix names the command.
    installed = run(["-c", "import sys, zun_camera_basler_tools.zun_camera_check as c; sys.exit(c.main())"], env)
    lines = check_lines(installed)
    assert lines["module"].startswith(f"OK    module         1.0.2, {site}/"), installed.stdout + installed.stderr
    assert lines["usbcam_reset"].startswith("FAIL") and "fix: lay out the application tree: zun_camera_deploy ROOT" \
        in installed.stdout, installed.stdout

    done = run(["-m", "zun_camera_basler_tools.deploy", str(root)], env)
    assert done.returncode == 0, done.stdout + done.stderr
    libs = root / "libs"
    names = {built_module().name, "zun_camera_basler.pyi", "zun_logger.py", "usbcam_reset", "zun_camera_check"}
    assert {p.name for p in libs.iterdir()} == names
    assert {p.name for p in libs.iterdir() if os.access(p, os.X_OK)} == {"usbcam_reset", "zun_camera_check"}
    assert (libs / "zun_camera_check").read_text().splitlines()[0] == "#!" + sys.executable

    deployed = run([str(libs / "zun_camera_check")], {"ROOT_PATH": str(root)})
    lines = check_lines(deployed)
    assert lines["module"].startswith(f"OK    module         1.0.2, {libs}/"), deployed.stdout + deployed.stderr
    assert lines["usbcam_reset"] == f"OK    usbcam_reset   {libs}/usbcam_reset runs", deployed.stdout
