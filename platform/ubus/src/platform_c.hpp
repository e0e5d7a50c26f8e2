#pragma once
// The C headers this library is built on; libubox's carry no extern "C" guards.
extern "C" {
#include <libubox/list.h>
#include <libubox/avl.h>
#include <libubox/blob.h>
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <libubus.h>
}
