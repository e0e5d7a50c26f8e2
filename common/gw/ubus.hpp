#pragma once
#include "gw/loop.hpp"
extern "C" {
#include <libubus.h>
}

// Older platform releases write UBUS_OBJECT_TYPE's designators out of declaration
// order, which C++ rejects; this is the same initializer, positional.
#define GW_UBUS_OBJECT_TYPE(_name, _methods) { _name, 0, _methods, ARRAY_SIZE(_methods) }
