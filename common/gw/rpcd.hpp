#pragma once
// rpcd's plug-in header has no extern "C" guards (like libubox's); the bus and
// JSON headers it pulls in come through their own gateways first.
#include "gw/jsonc.hpp"
#include "gw/ubus.hpp"
extern "C" {
#include <rpcd/plugin.h>
}
