"""The commands that come with the zun_camera_basler wheel.

zun_camera_deploy ROOT lays out an application tree from the installed wheel
(ROOT/libs/ with the module, its stub, the logging component, the USB reset
tool and the field check); zun_camera_check is the field check.  The package
also carries the files the tree gets that are not modules of their own: the
logging component (libs/zun_logger.py) and the field check
(zun_camera_check.py).
"""
