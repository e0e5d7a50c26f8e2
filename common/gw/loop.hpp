#pragma once
// libubox's event loop and streams: sockets, timers and processes.
#ifdef APCTL_PURE
#error "pure code does not run the loop: include gw/blob.hpp"
#endif
#include "gw/blob.hpp"
extern "C" {
#include <libubox/uloop.h>
#include <libubox/ustream.h>
}
