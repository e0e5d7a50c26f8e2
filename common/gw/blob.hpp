#pragma once
// libubox's data parts: lists, trees, blobs and their JSON form. Pure code
// includes only this; the loop and streams are in gw/loop.hpp.
// libubox's headers carry no extern "C" guards.
extern "C" {
#include <libubox/list.h>
#include <libubox/blob.h>
#include <libubox/blobmsg.h>
#include <libubox/blobmsg_json.h>
#include <libubox/avl.h>
#include <libubox/avl-cmp.h>
#include <libubox/utils.h>
}
