// The daemon's one bus connection (made by the roof at start-up).
#pragma once

#include "gw/ubus.hpp"

#define AC_UBUS_SOCKET "/var/run/ubus.sock"

// Null until connected: nothing is sent on the bus before.
extern struct ubus_context *ac_ubus_ctx;
