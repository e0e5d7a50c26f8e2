// The daemon's bus connection and its seven objects.
#pragma once

#include "gw/ubus.hpp"

#define AC_UBUS_SOCKET "/var/run/ubus.sock"

extern struct ubus_context *ac_ubus_ctx;

// Connects and registers every object. 0 when all registrations succeeded,
// -1 when the bus cannot be reached, another non-zero value otherwise.
int ac_ubus_init();
void ac_ubus_free();
