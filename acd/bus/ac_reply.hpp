// The one process-wide reply buffer of the ubus methods and how it is sent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gw/ubus.hpp"

extern struct blob_buf ac_reply_buf;

// The bus's largest message: the platform builds ubusd and libubus with a
// 1 MiB limit but does not declare it in its public headers.
constexpr size_t AC_UBUS_MSG_MAX = 1024 * 1024;
// The largest reply body sent as one message: the bus refuses messages over
// AC_UBUS_MSG_MAX, and the envelope needs a little room.
constexpr size_t AC_REPLY_MAX = AC_UBUS_MSG_MAX - 4096;
// The bus daemon drops messages for a client that has more than
// AC_UBUS_MSG_MAX bytes waiting in its queue, and it reads our socket however
// slowly the caller reads its own. A reply in parts therefore hands the daemon
// one part at a time, the next only once the daemon has read the last from our
// socket and the caller's queue, counted as drained at AC_REPLY_DRAIN_KB_MS,
// has room for it. Two parts fit the queue at once; a short one goes as soon
// as its own size fits.
constexpr size_t AC_REPLY_PART = AC_UBUS_MSG_MAX / 2 - 4096;
// The slowest reading we allow a caller (kB per ms: 8 MB/s; our ubus command
// line, formatting what it reads, keeps up with that on a busy host, not with
// twice as much).
constexpr size_t AC_REPLY_DRAIN_KB_MS = 8;
// How often a reply in parts looks whether the next part may go.
constexpr int AC_REPLY_PART_CHECK_MS = 1;

// Sends ac_reply_buf as the reply to req. A reply that fits one message is sent
// as it is. A larger one goes out as several replies of the same shape, each
// holding the next elements of its list (a body {"name": [...]} or
// {"name": {...}}) or else the next members of the body itself; the request is
// deferred and completes after the last part. Returns a ubus status.
int ac_reply_send(struct ubus_context *ctx, struct ubus_request_data *req);
// Replies {"status": status}.
int ac_reply_status(struct ubus_context *ctx, struct ubus_request_data *req, int32_t status);

// Walks a reply body (a buffer's head) part by part.
struct ac_reply_cursor {
	struct blob_attr *list; // the one list member whose elements are cut, or null
	struct blob_attr *next; // the next element (or member) to place
	size_t rem;             // bytes from next to the end of the list (or body)
};

// Starts the walk over root; false for an empty body.
bool ac_reply_cursor_init(ac_reply_cursor *c, struct blob_attr *root);
// Restarts part and fills it with the next elements in the body's shape, at
// most partSize bytes in all (one element at least). False when none are left.
bool ac_reply_next_part(ac_reply_cursor *c, struct blob_buf *part, size_t partSize);
