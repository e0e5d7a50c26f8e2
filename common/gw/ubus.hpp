#pragma once
#include "gw/ubox.hpp"
extern "C" {
#include <libubus.h>
}
