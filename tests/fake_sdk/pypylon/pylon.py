"""Fake ``pypylon.pylon`` for tests: scriptable cameras and a trace of every call.

The SDK surface is limited to what the camera module uses; anything else raises
AttributeError/TypeError so that a stray use shows up in a test instead of
silently working.  A test script configures ``scenario`` before importing the
module under test and reads ``calls`` afterwards (see README.md).
"""
import itertools
import json
import threading
import time

import numpy as np

# --------------------------------------------------------------------------
# Constants.  Distinct values, so a test can tell which one was passed.

GrabStrategy_OneByOne = 0
GrabStrategy_LatestImageOnly = 1
TimeoutHandling_ThrowException = 11
PixelType_BGR8packed = 35127317
OutputBitAlignment_MsbAligned = "MsbAligned"


# --------------------------------------------------------------------------
# Errors.  Like the binding, the text ends with " : <ClassName> thrown".

class GenericException(Exception):
    def __init__(self, message=""):
        self.message = message
        super().__init__("%s : %s thrown" % (message, type(self).__name__))


class TimeoutException(GenericException):
    pass


class LogicalErrorException(GenericException):
    pass


class RuntimeException(GenericException):
    pass


def _timeout(timeout_ms):
    return TimeoutException("Grab timed out after %s ms" % (timeout_ms,))


# --------------------------------------------------------------------------
# Call trace.

calls = []


def _record(entry):
    if scenario.record:
        calls.append(entry)  # list.append is atomic under the GIL


def calls_named(name):
    """The recorded calls whose first element is ``name``, in order."""
    return [c for c in list(calls) if c[0] == name]


def _plain(value):
    return value if type(value) in (str, int, float, bool, type(None)) else repr(value)


def dump_calls(path):
    """Writes the trace to ``path``, one JSON array per call."""
    with open(path, "w", encoding="utf-8") as out:
        for entry in list(calls):
            out.write(json.dumps([_plain(v) for v in entry]) + "\n")


# --------------------------------------------------------------------------
# Failure injection.  An action is an exception instance, an exception class,
# or a callable returning one of those (or None: no failure this time).

def _resolve(action):
    if callable(action) and not isinstance(action, type):
        action = action()
    if action is None:
        return None
    if isinstance(action, type) and issubclass(action, BaseException):
        return action()
    if isinstance(action, BaseException):
        return action
    raise TypeError("a failure action must be an exception or a callable returning one, not %r" % (action,))


def _raise_if_set(action):
    if action is not None:
        exc = _resolve(action)
        if exc is not None:
            raise exc.with_traceback(None)  # do not let tracebacks pile up on a reused instance


def _fail_point(device, op):
    if device.fail_on:
        _raise_if_set(device.fail_on.get(op))


def fail_times(count, error):
    """An action that raises ``error`` on its first ``count`` uses and then lets calls succeed."""
    left = [count]
    lock = threading.Lock()

    def action():
        with lock:
            if left[0] <= 0:
                return None
            left[0] -= 1
        return error
    return action


# --------------------------------------------------------------------------
# Frame items.

class _Marker:
    __slots__ = ("_name",)

    def __init__(self, name):
        self._name = name

    def __repr__(self):
        return "pylon." + self._name


FAIL = _Marker("FAIL")        # an unsuccessful grab: GrabSucceeded() is False
TIMEOUT = _Marker("TIMEOUT")  # RetrieveResult raises the time-out exception
_END = _Marker("<exhausted>")


def _is_exception(item):
    return isinstance(item, BaseException) or (isinstance(item, type) and issubclass(item, BaseException))


def _check_item(item):
    if not (isinstance(item, (np.ndarray, Delay)) or item is FAIL or item is TIMEOUT or _is_exception(item)):
        raise TypeError("not a frame item: %r" % (item,))


class Delay:
    """Sleeps ``seconds`` inside RetrieveResult, then delivers ``item``."""
    __slots__ = ("seconds", "item")

    def __init__(self, seconds, item):
        _check_item(item)
        self.seconds = float(seconds)
        self.item = item

    def __repr__(self):
        return "pylon.Delay(%r, %r)" % (self.seconds, self.item)


def frame(height, width, value=0, seed=None):
    """A height x width x 3 uint8 image.

    ``value``: an int fill, a (b, g, r) fill, "random" (uniform noise from
    ``seed``), or a callable(height, width) returning the image.
    """
    if callable(value):
        image = np.ascontiguousarray(value(height, width), dtype=np.uint8)
        if image.shape != (height, width, 3):
            raise ValueError("frame callable returned shape %r" % (image.shape,))
        return image
    if isinstance(value, str):
        if value != "random":
            raise ValueError("value must be a number, a (b, g, r) triple, 'random' or a callable")
        return np.random.default_rng(seed).integers(0, 256, size=(height, width, 3), dtype=np.uint8)
    image = np.empty((height, width, 3), dtype=np.uint8)
    image[...] = value
    return image


def repeat(array, count=None):
    """The same array ``count`` times (forever with None), at the lowest cost per grab."""
    return itertools.repeat(array) if count is None else itertools.repeat(array, count)


# --------------------------------------------------------------------------
# Scenario.

PARAMETERS = (
    "AcquisitionMode", "AcquisitionFrameRate", "ExposureAuto", "GainAuto", "AutoFunctionProfile",
    "ExposureMode", "AutoExposureTimeLowerLimit", "AutoExposureTimeUpperLimit", "AutoTargetBrightness",
    "DeviceTemperature",
)
_DEFAULT_VALUES = {
    "AcquisitionMode": "Continuous", "AcquisitionFrameRate": 30.0, "ExposureAuto": "Off", "GainAuto": "Off",
    "AutoFunctionProfile": "MinimizeGain", "ExposureMode": "Timed", "AutoExposureTimeLowerLimit": 100.0,
    "AutoExposureTimeUpperLimit": 35000.0, "AutoTargetBrightness": 0.5,
}
_DEFAULT_MODELS = {"BaslerUsb": "a2A1920-160ucBAS", "BaslerGigE": "a2A1920-51gcBAS"}
EXHAUSTED_MODES = ("timeout", "stop", "block")
BLOCK_LIMIT_S = 5.0


class ScenarioDevice:
    """One enumerated device: its identity, its behaviour and its frame source.

    The frame source belongs to the device, not to a camera object, so a
    re-created InstantCamera continues where the previous one stopped.
    """
    OPTIONS = ("frames", "on_exhausted", "fail_on", "missing_parameters", "temperature",
               "grabbing_at_start", "values")

    def __init__(self, device_class, serial, model, ip):
        self.device_class = device_class
        self.serial = serial
        self.model = model
        self.ip = ip
        self.fail_on = {}
        self.missing_parameters = set()
        self.values = {}             # parameter name -> current value (SetValue writes here)
        self.temperature = 41.5      # value, or callable giving the value for each read
        self.grabbing_at_start = True
        self._frames_lock = threading.Lock()
        self.frames = ()
        self.on_exhausted = "timeout"

    @property
    def frames(self):
        return self._frames

    @frames.setter
    def frames(self, items):
        if isinstance(items, (list, tuple)):
            for item in items:
                _check_item(item)
        with self._frames_lock:
            self._frames = items
            self._iter = iter(items)
            self._pending = _END

    @property
    def on_exhausted(self):
        return self._on_exhausted

    @on_exhausted.setter
    def on_exhausted(self, mode):
        if mode not in EXHAUSTED_MODES:
            raise ValueError("on_exhausted must be one of %s" % (EXHAUSTED_MODES,))
        self._on_exhausted = mode

    def _take(self):
        with self._frames_lock:
            item = self._pending
            if item is _END:
                return next(self._iter, _END)
            self._pending = _END
            return item

    def _peek_exhausted(self):
        with self._frames_lock:
            if self._pending is _END:
                self._pending = next(self._iter, _END)
            return self._pending is _END

    def __repr__(self):
        return "<ScenarioDevice %s %s %s>" % (self.device_class, self.model, self.serial)


class Scenario:
    def __init__(self):
        self.devices = []            # enumeration order; may be edited while running
        self.enumerate_error = None  # failure action for EnumerateDevices
        self.record = True           # False: calls are not traced
        self._numbers = itertools.count(1)

    def add_camera(self, serial=None, model=None, device_class="BaslerUsb", ip="", **options):
        unknown = set(options) - set(ScenarioDevice.OPTIONS)
        if unknown:
            raise TypeError("unknown camera options: %s" % ", ".join(sorted(unknown)))
        if serial is None:
            serial = "4001%04d" % next(self._numbers)
        if model is None:
            model = _DEFAULT_MODELS.get(device_class, "Emulation")
        device = ScenarioDevice(device_class, serial, model, ip)
        for name, value in options.items():
            setattr(device, name, value)
        self.devices.append(device)
        return device

    def add_device(self, device_class, **kwargs):
        """A device of any class, e.g. "BaslerCamEmu" or some other transport's."""
        return self.add_camera(device_class=device_class, **kwargs)


scenario = Scenario()


# --------------------------------------------------------------------------
# SDK objects.

class _DeviceInfo:
    __slots__ = ("_device",)

    def __init__(self, device):
        self._device = device

    def _identity(self, op, value):
        _record((op, self._device.serial))
        _fail_point(self._device, op)
        return value

    def GetDeviceClass(self):
        return self._identity("GetDeviceClass", self._device.device_class)

    def GetModelName(self):
        return self._identity("GetModelName", self._device.model)

    def GetSerialNumber(self):
        return self._identity("GetSerialNumber", self._device.serial)

    def GetIpAddress(self):
        return self._identity("GetIpAddress", self._device.ip)


class _Device:
    __slots__ = ("_device",)

    def __init__(self, device):
        self._device = device


class TlFactory:
    _instance = None
    _lock = threading.Lock()

    @staticmethod
    def GetInstance():
        _record(("GetInstance",))
        with TlFactory._lock:
            if TlFactory._instance is None:
                TlFactory._instance = TlFactory()
            return TlFactory._instance

    def EnumerateDevices(self):
        _record(("EnumerateDevices",))
        _raise_if_set(scenario.enumerate_error)
        return tuple(_DeviceInfo(d) for d in list(scenario.devices))

    def CreateFirstDevice(self, device_info):
        if not isinstance(device_info, _DeviceInfo):
            raise TypeError("CreateFirstDevice takes an entry of EnumerateDevices(), not %r" % (device_info,))
        device = device_info._device
        _record(("CreateFirstDevice", device.serial))
        _fail_point(device, "CreateFirstDevice")
        return _Device(device)


class _Parameter:
    __slots__ = ("_device", "_name")

    def __init__(self, device, name):
        self._device = device
        self._name = name

    def _check_available(self, verb):
        if self._name in self._device.missing_parameters:
            raise LogicalErrorException(
                "PlaceholderParameter: Cannot %s value of 'Camera/%s'. The parameter is not available."
                % (verb, self._name))

    def SetValue(self, value):
        device = self._device
        _record(("SetValue", device.serial, self._name, value))
        _fail_point(device, "SetValue:" + self._name)
        self._check_available("set")
        device.values[self._name] = value

    def GetValue(self):
        device = self._device
        _record(("GetValue", device.serial, self._name))
        _fail_point(device, "GetValue:" + self._name)
        self._check_available("get")
        if self._name == "DeviceTemperature":
            source = device.temperature
            return source() if callable(source) else source
        return device.values.get(self._name, _DEFAULT_VALUES.get(self._name))


class _GrabResult:
    __slots__ = ("_device", "_array", "_valid")

    def __init__(self, device, array, valid=True):
        self._device = device
        self._array = array
        self._valid = valid

    def GrabSucceeded(self):
        device = self._device
        _record(("GrabSucceeded", device.serial))
        _fail_point(device, "GrabSucceeded")
        if not self._valid:
            # What the binding does for the empty result of a camera that is not grabbing.
            raise RuntimeException("No grab result data is referenced. Cannot access NULL pointer.")
        return self._array is not None


class InstantCamera:
    """Open/grab state lives here; parameters and frames live on the ScenarioDevice."""

    def __init__(self, device):
        if not isinstance(device, _Device):
            raise TypeError("InstantCamera takes the result of CreateFirstDevice(), not %r" % (device,))
        d = device._device
        _record(("InstantCamera", d.serial))
        _fail_point(d, "InstantCamera")
        object.__setattr__(self, "_device", d)
        object.__setattr__(self, "_state", threading.Condition())
        object.__setattr__(self, "_open", False)
        object.__setattr__(self, "_grabbing", False)

    def __getattr__(self, name):
        if name in PARAMETERS:
            return _Parameter(self._device, name)
        raise AttributeError("the fake camera has no attribute %r" % (name,))

    def __setattr__(self, name, value):
        if name != "MaxNumBuffer":
            raise AttributeError("the fake camera only accepts assignment to MaxNumBuffer, not %r" % (name,))
        d = self._device
        _record(("set MaxNumBuffer", d.serial, value))
        _fail_point(d, "MaxNumBuffer")
        object.__setattr__(self, "_max_num_buffer", value)

    def _set_state(self, **state):
        with self._state:
            for name, value in state.items():
                object.__setattr__(self, "_" + name, value)
            self._state.notify_all()

    def _call(self, name, *args):
        """Records the call, fires its failure point, and gives the device."""
        d = self._device
        _record((name, d.serial) + args)
        _fail_point(d, name)
        return d

    def Open(self):
        self._call("Open")
        self._set_state(open=True)

    def Close(self):
        self._call("Close")
        self._set_state(open=False, grabbing=False)

    def StartGrabbing(self, strategy):
        d = self._call("StartGrabbing", strategy)
        with self._state:
            if self._grabbing:
                raise RuntimeException("Grabbing has already been started.")
            # Like the SDK, starting to grab opens the camera if needed.
            object.__setattr__(self, "_open", True)
            object.__setattr__(self, "_grabbing", bool(d.grabbing_at_start))

    def StopGrabbing(self):
        self._call("StopGrabbing")
        self._set_state(grabbing=False)

    def IsGrabbing(self):
        d = self._call("IsGrabbing")
        if self._grabbing and d.on_exhausted == "stop" and d._peek_exhausted():
            self._set_state(grabbing=False)
        return self._grabbing

    def RetrieveResult(self, timeout_ms, timeout_handling):
        d = self._call("RetrieveResult", timeout_ms, timeout_handling)
        if not self._grabbing:
            return _GrabResult(d, None, valid=False)
        item = d._take()
        if type(item) is np.ndarray:
            return _GrabResult(d, item)
        if item is _END:
            return self._exhausted(timeout_ms)
        while type(item) is Delay:
            time.sleep(item.seconds)  # releases the GIL, as the real binding does while waiting
            item = item.item
        if isinstance(item, np.ndarray):
            return _GrabResult(d, item)
        if item is FAIL:
            return _GrabResult(d, None)
        if item is TIMEOUT:
            raise _timeout(timeout_ms)
        if _is_exception(item):
            _raise_if_set(item)
        raise TypeError("not a frame item: %r" % (item,))

    def _exhausted(self, timeout_ms):
        d = self._device
        if d.on_exhausted == "stop":
            self._set_state(grabbing=False)
            return _GrabResult(d, None, valid=False)
        if d.on_exhausted == "block":
            # Waits for StopGrabbing/Close from another thread, never longer
            # than the caller's time-out or BLOCK_LIMIT_S.
            limit = min(max(float(timeout_ms), 0.0) / 1000.0, BLOCK_LIMIT_S)
            with self._state:
                self._state.wait_for(lambda: not self._grabbing, limit)
        raise _timeout(timeout_ms)


class _ConvertedImage:
    __slots__ = ("_device", "_array")

    def __init__(self, device, array):
        self._device = device
        self._array = array

    def GetArray(self):
        _record(("GetArray",))
        _fail_point(self._device, "GetArray")
        return self._array.copy()


class ImageFormatConverter:
    _SETTINGS = ("OutputPixelFormat", "OutputBitAlignment")

    def __init__(self):
        _record(("ImageFormatConverter",))
        object.__setattr__(self, "_settings", {})

    def __setattr__(self, name, value):
        if name not in self._SETTINGS:
            raise AttributeError("the fake converter only accepts %s, not %r" % (self._SETTINGS, name))
        _record(("set " + name, value))
        self._settings[name] = value

    def Convert(self, grab_result):
        if not isinstance(grab_result, _GrabResult):
            raise TypeError("Convert takes a grab result, not %r" % (grab_result,))
        d = grab_result._device
        _record(("Convert", d.serial))
        _fail_point(d, "Convert")
        if not grab_result._valid:
            raise ValueError("Invalid CGrabResultPtr")
        if grab_result._array is None:
            raise RuntimeException("The grab failed; there is no image to convert.")
        return _ConvertedImage(d, grab_result._array)
