// The daemon's bus connection and its objects (core/obj_*.cpp).
#pragma once

#include "bus/ac_bus.hpp"

// Connects and registers every object. 0 when all registrations succeeded,
// -1 when the bus cannot be reached, another non-zero value otherwise.
int ac_ubus_init();
void ac_ubus_free();
