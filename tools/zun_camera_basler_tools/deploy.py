"""zun_camera_deploy ROOT: lays out an application tree from the installed wheel.

ROOT/libs/ gets the module, its type stub, the logging component
(zun_logger.py), the USB reset tool (usbcam_reset) and the field check
(zun_camera_check), as scripts/deploy does from the source tree.  The field
check starts with the interpreter running this command, the one the wheel is
installed for.  The application then runs with ROOT and ROOT/libs on its
module path and ROOT_PATH=ROOT.
"""
import argparse
import csv
import os
import sys
import sysconfig
import tempfile

HERE = os.path.dirname(os.path.realpath(__file__))
SITE = os.path.dirname(HERE)  # where the wheel put the module and this package
MODULE = "zun_camera_basler"


def reset_tool():
    """The usbcam_reset the wheel installed: the one its RECORD names (the
    environment's bin/, or wherever this installation put its programs),
    else the one in this interpreter's programs folder."""
    for name in sorted(os.listdir(SITE)):
        if not (name.startswith(MODULE + "-") and name.endswith(".dist-info")):
            continue
        try:
            with open(os.path.join(SITE, name, "RECORD"), newline="") as record:
                for row in csv.reader(record):
                    if row and os.path.basename(row[0]) == "usbcam_reset":
                        return os.path.normpath(os.path.join(SITE, row[0]))
        except OSError:
            pass
    return os.path.join(sysconfig.get_path("scripts"), "usbcam_reset")


def sources():
    """(file name in libs/, source path, executable) of each file of the tree."""
    module = MODULE + (sysconfig.get_config_var("EXT_SUFFIX") or ".so")
    return [
        (module, os.path.join(SITE, module), False),
        (MODULE + ".pyi", os.path.join(SITE, MODULE + ".pyi"), False),
        ("zun_logger.py", os.path.join(HERE, "libs", "zun_logger.py"), False),
        ("usbcam_reset", reset_tool(), True),
        ("zun_camera_check", os.path.join(HERE, "zun_camera_check.py"), True),
    ]


def place(data, target, executable):
    """Writes target through a temporary file beside it and a rename, so that
    a running application's module is replaced, never overwritten in place."""
    fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(target) + ".", dir=os.path.dirname(target))
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        os.chmod(tmp, 0o755 if executable else 0o644)
        os.replace(tmp, target)
    except BaseException:
        os.unlink(tmp)
        raise


def main(argv=None):
    parser = argparse.ArgumentParser(prog="zun_camera_deploy", description=__doc__.split("\n\n")[0],
                                     epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("root", metavar="ROOT", help="the application root; ROOT/libs/ is made when missing")
    root = os.path.abspath(parser.parse_args(argv).root)
    files = sources()
    missing = [path for _, path, _ in files if not os.path.isfile(path)]
    if missing:
        print("zun_camera_deploy: the installed wheel lacks %s (is it the wheel for this interpreter, %s?)"
              % (", ".join(missing), sys.executable), file=sys.stderr)
        return 1
    libs = os.path.join(root, "libs")
    os.makedirs(libs, exist_ok=True)
    for name, path, executable in files:
        with open(path, "rb") as source:
            data = source.read()
        if name == "zun_camera_check":  # its first line names the interpreter it starts with
            body = data.split(b"\n", 1)[1] if data.startswith(b"#!") else data
            data = b"#!" + os.fsencode(sys.executable) + b"\n" + body
        place(data, os.path.join(libs, name), executable)
    print("deployed to %s:" % libs)
    for name in sorted(os.listdir(libs)):
        print(name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
