// The one process-wide reply buffer of the ubus methods and how it is sent.
#pragma once

#include <cstddef>

#include "gw/ubus.hpp"

extern struct blob_buf ac_reply_buf;

// The bus's largest message: the platform builds ubusd and libubus with a
// 1 MiB limit but does not declare it in its public headers.
constexpr size_t AC_UBUS_MSG_MAX = 1024 * 1024;
// The largest reply body sent as one message: the bus refuses messages over
// AC_UBUS_MSG_MAX, and the envelope needs a little room.
constexpr size_t AC_REPLY_MAX = AC_UBUS_MSG_MAX - 4096;
// A reply too large for one message goes out in parts of about this size...
constexpr size_t AC_REPLY_PART = 128 * 1024;
// ...one every so many ms: the bus daemon drops messages for a client that has
// more than AC_UBUS_MSG_MAX bytes waiting, so the parts must not arrive at once.
constexpr int AC_REPLY_PART_GAP_MS = 40;

// Sends ac_reply_buf as the reply to req. A reply that fits one message is sent
// as it is. A larger one whose body is a single list ({"name": [...]} or
// {"name": {...}}) is split into several replies of the same shape, each
// holding the next elements of the list, and the request completes when the
// last has gone out (it is deferred meanwhile). Returns a ubus status.
int ac_reply_send(struct ubus_context *ctx, struct ubus_request_data *req);

// The splitting: root (a buffer's head) holding one array or table member is
// cut into parts of the same shape, each at most partSize bytes (or one
// element). The parts are malloc'd copies, as is the array of them.
// 0 on success, -1 when root is not one list or memory ran out.
int ac_reply_split(struct blob_attr *root, size_t partSize, struct blob_attr ***parts,
		   size_t *count);
