from typing import Any, Dict, List, Optional, Tuple

import numpy as np

version: str
day: str
logdir: str
logfile: str
l: Any
pylon: Any

def listCameras() -> List[Dict[str, Optional[str]]]: ...

class zun_camera:
    lastTime: float
    serial: str
    modelname: str
    type: str
    ip: str
    cam: Any
    isActive: bool
    isInitializing: bool
    stopCam: bool
    frame: Optional[np.ndarray]
    converter: Any
    fps: Any
    t1: Any
    def __init__(
        self,
        serial: str,
        width: Any = 1920,
        height: Any = 1200,
        exposureTime: Any = 1000,
        GainAuto: Any = "Once",
        pixelFormat: Any = "BayerRG8",
        fps: Any = 25,
        exposureMin: Any = 27,
        exposureMax: Any = 35000,
        lighttarget: Any = 0.35,
        gpioreset: Any = False,
        usbreset: Any = False,
        lastImage: Any = False,
    ) -> None: ...
    def getSerial(self) -> str: ...
    def getModelName(self) -> str: ...
    def getIp(self) -> str: ...
    def setconverter(self) -> None: ...
    def read(self) -> None: ...
    def run(self) -> None: ...
    def getFlagAndFrame(self) -> Tuple[bool, Optional[np.ndarray]]: ...
    def saveFrame(self, savename: str) -> bool: ...
    def stop(self) -> None: ...
    def getVersion(self) -> str: ...
    def getTemperature(self) -> Any: ...
    def gpio_reset_off(self) -> None: ...
    def gpio_reset_on(self) -> None: ...
    def usbreset(self, serial: str) -> None: ...
