// The camera class: method bodies, shared by the units that implement them.
// Each takes the object as `self`; arguments are Python objects as given.
#pragma once

#include "common.hpp"

namespace zun {

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
