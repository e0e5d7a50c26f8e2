// Reads the controller's identity from "br-lan".
#pragma once

#include "vex/codec/ac_device.hpp"

// Fills ac_device_info. 0 on success, -1 on failure.
int ac_device_info_init();
