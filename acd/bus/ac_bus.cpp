#include "bus/ac_bus.hpp"

struct ubus_context *ac_ubus_ctx;
