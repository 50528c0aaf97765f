"""Grab from a camera for a few seconds, show the stream's health, save a snapshot.

Run it through `scripts/demo`, which builds and lays out the application tree
and sets ROOT_PATH; or by hand from an application root whose libs/ holds the
module:  ROOT_PATH=/path/to/root python examples/demo.py --seconds 5

With no camera attached it switches on the camera SDK's emulation, which must
happen before the SDK is loaded: that is why the module is imported late.
"""
import argparse
import os
import subprocess
import sys
import time

EMULATED = "2"  # number of emulated cameras when no real one is attached


def count_real_devices():
    """Devices the SDK sees without emulation, asked in a child process so
    that this process can still switch emulation on before loading the SDK."""
    probe = "from pypylon import pylon; print(len(pylon.TlFactory.GetInstance().EnumerateDevices()))"
    env = {k: v for k, v in os.environ.items() if k != "PYLON_CAMEMU"}
    try:
        out = subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True, text=True, timeout=60)
        return int(out.stdout.strip() or 0)
    except (subprocess.SubprocessError, ValueError):
        return 0


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serial", help="serial number of the camera (default: the first camera found)")
    parser.add_argument("--seconds", type=float, default=5.0, help="how long to stream (default: 5)")
    parser.add_argument("--out", default="snapshot.png", help="where to save the snapshot (default: snapshot.png)")
    parser.add_argument("--emulation", choices=("auto", "on", "off"), default="auto",
                        help="the SDK's camera emulation: on when no camera is attached (auto), always, or never")
    return parser.parse_args()


def main():
    args = parse_args()
    if "PYLON_CAMEMU" not in os.environ:
        if args.emulation == "on" or (args.emulation == "auto" and count_real_devices() == 0):
            os.environ["PYLON_CAMEMU"] = EMULATED
            print(f"No camera attached: using the SDK's camera emulation (PYLON_CAMEMU={EMULATED}).")

    root = os.environ.get("ROOT_PATH", ".")
    sys.path[:0] = [os.path.join(root, "libs"), root]
    import zun_camera_basler as zun

    print(f"zun_camera_basler {zun.version}, log file {zun.logfile}")
    cameras = zun.listCameras()
    for info in cameras:
        print(f"  {info['class']:<11} {info['modelname']:<24} serial {info['serial']}  ip {info['ip']}")
    serials = [info["serial"] for info in cameras]
    if not cameras:
        # Emulated cameras are of a class of their own, which the camera
        # list leaves out; the SDK's device list still has them.
        for device in zun.pylon.TlFactory.GetInstance().EnumerateDevices():
            serials.append(device.GetSerialNumber())
            print(f"  (emulated) {device.GetModelName():<13} serial {serials[-1]}")
    serial = args.serial if args.serial is not None else (serials[0] if serials else None)
    if serial is None:
        print("No camera to open.")
        return 1

    try:
        camera = zun.zun_camera(serial)
    except SystemExit:
        print(f"Could not open camera {serial}; the log has the details: {zun.logfile}")
        return 1

    try:
        stream(camera, args.seconds)
        saved = camera.saveFrame(args.out)
        print(f"Snapshot {'written to ' + os.path.abspath(args.out) if saved else 'NOT written'}")
        print(f"Camera: serial {camera.getSerial()}, model {camera.getModelName()}, ip {camera.getIp()}; "
              f"module version {camera.getVersion()}")
        try:
            print(f"Temperature: {camera.getTemperature()} °C")
        except Exception as error:  # the model may have no temperature sensor
            print(f"Temperature: not available ({error})")
    except KeyboardInterrupt:
        print("\nInterrupted.")
    finally:
        camera.stop()
        camera.t1.join()
        print("Stopped: grab thread ended, camera closed.")
    return 0


def stream(camera, seconds):
    """Polls the newest frame and prints a status line once a second."""
    start = time.monotonic()
    frames, seen, arrived = 0, None, start
    next_status = start + 1.0
    while True:
        now = time.monotonic()
        active, frame = camera.getFlagAndFrame()
        if frame is not None and frame is not seen:
            frames += 1
            seen, arrived = frame, now
        if now >= next_status or now - start >= seconds:
            elapsed = now - start
            if frame is None:
                print(f"[{elapsed:5.1f} s] waiting for the first frame (active={active})")
            else:
                print(f"[{elapsed:5.1f} s] active={active} frames={frames} fps={frames / elapsed:5.1f} "
                      f"mean={frame.mean():6.2f} age={(now - arrived) * 1000:4.0f} ms shape={frame.shape}")
            next_status += 1.0
            if now - start >= seconds:
                return
        if not camera.t1.is_alive():
            print("The grab thread has ended; see the log.")
            return
        time.sleep(0.002)


if __name__ == "__main__":
    sys.exit(main())
