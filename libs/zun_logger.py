"""The application's logging component.

`zun_logger().createlogger(name, logfile)` returns a standard `logging.Logger`
that writes time-stamped lines with their level into `logfile`.  Asking twice
for the same name and file gives the same logger with one handler, so no line
is ever written twice; the logger is safe to use from several threads.
"""
import logging
import os
import threading

_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"
_lock = threading.Lock()


class zun_logger:
    def createlogger(self, name, logfile):
        logger = logging.getLogger(name)
        path = os.path.abspath(logfile)
        with _lock:
            logger.setLevel(logging.INFO)
            # The application's own root handlers must not repeat these lines.
            logger.propagate = False
            for handler in logger.handlers:
                if isinstance(handler, logging.FileHandler) and handler.baseFilename == path:
                    return logger
            handler = logging.FileHandler(path, encoding="utf-8")
            handler.setFormatter(logging.Formatter(_FORMAT))
            logger.addHandler(handler)
        return logger
