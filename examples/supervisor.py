"""Keep one camera streaming for months: construct it again whenever its grab thread ends.

The grab thread ends on a retrieval time-out, after 5 s of nothing but failed
grabs, when the camera drops off the bus, or on any other error; `isActive`
is then false and `t1` has ended.  The supervisor notices that and constructs
a new object on the same serial: plainly first, and with the reset switches
(`usbreset=True`, `gpioreset=True`) once plain restarts have failed, pausing
longer after each try that brought no frame.  A camera that is not there yet
(the constructor's `SystemExit`) is tried again the same way.  Each restart is
logged with its cause; Ctrl-C stops the camera and ends.

Run it from an application root whose libs/ holds the module (the SDK's
emulated camera: PYLON_CAMEMU=1 in the environment, serial 0815-0000):

    ROOT_PATH=/opt/app python3 supervisor.py SERIAL [--reset usb|gpio|both|none] [--seconds S]

or copy the Supervisor class into the application: it uses the module's
public API only.
"""
import argparse
import logging
import os
import sys
import threading
import time

log = logging.getLogger("supervisor")


class _LastEnd(logging.Handler):
    """Keeps the module's log line for the end of a grab thread."""

    def __init__(self):
        super().__init__()
        self.line = None

    def emit(self, record):
        message = record.getMessage()
        if message.startswith("Sync Camera thread."):
            self.line = message


class Supervisor:
    """Keeps camera `serial` streaming until stop(); every new frame goes to on_frame(frame)."""

    def __init__(self, zun, serial, on_frame=lambda frame: None, *, resets=("usbreset",), plain_tries=1,
                 first_pause=1.0, longest_pause=60.0, poll=0.005):
        self.zun, self.serial, self.on_frame = zun, serial, on_frame
        self.resets, self.plain_tries = resets, plain_tries
        self.first_pause, self.longest_pause, self.poll = first_pause, longest_pause, poll
        self.camera = None  # the object constructed last
        self.restarts = []  # (switches, cause) of each restart, in order
        self._stopping = threading.Event()
        self._last_end = _LastEnd()
        if isinstance(zun.l, logging.Logger):  # the application's logging component is Python's logging
            zun.l.addHandler(self._last_end)

    def stop(self):
        """Asks run() to stop the camera and return; callable from any thread."""
        self._stopping.set()

    def run(self):
        failures, pause, cause = 0, self.first_pause, None
        try:
            while not self._stopping.is_set():
                switches = {name: True for name in self.resets} if failures >= self.plain_tries else {}
                if cause:
                    self.restarts.append((sorted(switches), cause))
                    log.warning("camera %s: restart %d (%s): %s", self.serial, len(self.restarts),
                                " and ".join(sorted(switches)) or "plain", cause)
                frames, cause = self._stream(switches)
                if frames:
                    failures, pause = 0, self.first_pause
                    continue
                failures += 1
                self._stopping.wait(pause)
                pause = min(2 * pause, self.longest_pause)
        finally:
            self._close()

    def _stream(self, switches):
        """Constructs the camera and hands on its frames until its grab thread
        ends; returns how many frames it gave and why it ended."""
        self._last_end.line = None
        try:
            cam = self.camera = self.zun.zun_camera(self.serial, **switches)
        except SystemExit:  # not found (or a reset failed): the constructor asked to exit
            return 0, "camera not found"
        seen, frames = None, 0
        while not self._stopping.is_set():
            active, frame = cam.getFlagAndFrame()
            if frame is not seen:
                seen, frames = frame, frames + 1
                self.on_frame(frame)
            if not active and not cam.t1.is_alive():
                return frames, self._last_end.line or "the grab thread ended"
            time.sleep(self.poll)
        return frames, None

    def _close(self):
        if self.camera is not None:
            self.camera.stop()
            self.camera.t1.join()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("serial", nargs="?", help="the camera's serial number (default: the first device)")
    parser.add_argument("--reset", choices=("usb", "gpio", "both", "none"), default="usb",
                        help="what a restart after a failed one adds (default: usb)")
    parser.add_argument("--seconds", type=float, help="stop after this long (default: run until Ctrl-C)")
    args = parser.parse_args()
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    root = os.environ.get("ROOT_PATH", ".")
    sys.path[:0] = [os.path.join(root, "libs"), root]
    import zun_camera_basler as zun

    serial = args.serial or zun.pylon.TlFactory.GetInstance().EnumerateDevices()[0].GetSerialNumber()
    resets = {"usb": ("usbreset",), "gpio": ("gpioreset",), "both": ("gpioreset", "usbreset"), "none": ()}
    counted = [0, time.monotonic()]

    def on_frame(frame):  # the application's work; here a line every 10 s
        counted[0] += 1
        if time.monotonic() - counted[1] >= 10:
            log.info("camera %s: %.1f frames/s", serial, counted[0] / (time.monotonic() - counted[1]))
            counted[:] = [0, time.monotonic()]

    supervisor = Supervisor(zun, serial, on_frame, resets=resets[args.reset])
    if args.seconds:
        timer = threading.Timer(args.seconds, supervisor.stop)
        timer.daemon = True
        timer.start()
    try:
        supervisor.run()
    except KeyboardInterrupt:
        log.info("camera %s: stopped by Ctrl-C", serial)


if __name__ == "__main__":
    main()
