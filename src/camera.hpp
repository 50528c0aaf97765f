// The camera class: method bodies, shared by the units that implement them.
// Each takes the object as `self`; arguments are Python objects as given.
#pragma once

#include "common.hpp"

namespace zun {

// obj.name = value for a setting of the SDK's camera or converter, written
// the way the binding takes it without a deprecation (camera.cpp).
void set_setting(py::handle obj, const char *name, py::handle value);

// Frame acquisition (grab_loop.cpp).
py::object setconverter(py::handle self);
py::object read(py::handle self);
py::object run(py::handle self);
// This object's grab thread (`t1`) when it is alive, else no object.
py::object live_grab_thread(py::handle self);

// Device recovery (recovery.cpp).
py::object gpio_reset_off(py::handle self);
py::object gpio_reset_on(py::handle self);
py::object usbreset(py::handle self, py::handle serial);

}  // namespace zun
