#pragma once
// rpcd's plug-in header has no extern "C" guards (like libubox's); the bus and
// JSON headers it pulls in come through their own gateways first.
#include "gw/jsonc.hpp"
#include "gw/ubus.hpp"
// plugin.h defines _GNU_SOURCE itself, which g++ predefines: keep ours around it.
#pragma push_macro("_GNU_SOURCE")
#undef _GNU_SOURCE
extern "C" {
#include <rpcd/plugin.h>
}
#pragma pop_macro("_GNU_SOURCE")
