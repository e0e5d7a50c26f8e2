#include "bus/ac_reply.hpp"

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <malloc.h>

struct blob_buf ac_reply_buf;

namespace {
constexpr size_t AC_REPLY_KEEP = 64 * 1024;

// A reply in parts. Owns the whole body (taken from ac_reply_buf) and builds
// each part when it is due.
struct ac_paced_reply {
	struct ubus_context *ctx;
	struct ubus_request_data req;
	struct uloop_timeout timer;
	void *body;
	ac_reply_cursor cur;
	size_t queued;   // what the caller's queue may still hold of our parts
	int64_t sent_ms; // when queued was last brought up to date
};

struct blob_buf ac_part_buf;

// glibc keeps freed multi-megabyte reply buffers in its heap for good (its
// mmap threshold follows the largest block freed); hand them back once the
// reply is out.
void ac_reply_trim()
{
#ifdef __GLIBC__
	malloc_trim(0);
#endif
}

void ac_paced_free(ac_paced_reply *p)
{
	free(p->body);
	free(p);
	// The part buffer is as large as a part: give it back between replies.
	blob_buf_free(&ac_part_buf);
	ac_reply_trim();
}

// Bytes we wrote to the bus that the daemon has not read yet.
int ac_bus_unread(struct ubus_context *ctx)
{
	int n = 0;
	if (ioctl(ctx->sock.fd, SIOCOUTQ, &n) < 0)
		return 0;
	return n;
}

int64_t ac_now_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// What the caller's queue may hold now, counting it drained since the last look.
size_t ac_paced_queued(ac_paced_reply *p)
{
	int64_t now = ac_now_ms();
	const size_t rate = AC_REPLY_DRAIN_KB_MS * 1024; // bytes per ms
	int64_t elapsed = now - p->sent_ms;
	if (elapsed > int64_t(p->queued / rate))
		p->queued = 0;
	else
		p->queued -= size_t(elapsed) * rate;
	p->sent_ms = now;
	return p->queued;
}

// Sends the next part; true while more remain.
bool ac_paced_send_next(ac_paced_reply *p)
{
	while (ac_reply_next_part(&p->cur, &ac_part_buf, AC_REPLY_PART)) {
		if (blob_pad_len(ac_part_buf.head) <= AC_REPLY_MAX) {
			ubus_send_reply(p->ctx, &p->req, ac_part_buf.head);
			ac_paced_queued(p);
			p->queued += blob_pad_len(ac_part_buf.head);
			return p->cur.rem > 0;
		}
		// One element alone over the bus limit: it cannot be sent.
		fprintf(stderr, "Reply element of %u bytes left out\n",
			unsigned(blob_pad_len(ac_part_buf.head)));
	}
	return false;
}

// About what the next part will take in the caller's queue: its elements and
// the list's head; a short last part need not wait for a whole part's room.
size_t ac_paced_next_len(const ac_reply_cursor *c)
{
	// The same walk as ac_reply_next_part's.
	size_t used = sizeof(struct blob_attr);
	if (c->list)
		used += blob_pad_len(c->list) - blobmsg_data_len(c->list);
	struct blob_attr *next = c->next;
	size_t rem = c->rem;
	bool any = false;
	while (rem >= sizeof(struct blob_attr)) {
		size_t len = blob_pad_len(next);
		if (len > rem || (any && used + len > AC_REPLY_PART))
			break;
		used += len;
		any = true;
		rem -= len;
		next = blob_next(next);
	}
	return used + 64; // the envelope
}

void ac_paced_tick(struct uloop_timeout *t)
{
	ac_paced_reply *p = container_of(t, ac_paced_reply, timer);
	if (ac_bus_unread(p->ctx) > 0 ||
	    ac_paced_queued(p) + ac_paced_next_len(&p->cur) > AC_UBUS_MSG_MAX) {
		uloop_timeout_set(&p->timer, AC_REPLY_PART_CHECK_MS);
		return;
	}
	if (ac_paced_send_next(p)) {
		uloop_timeout_set(&p->timer, AC_REPLY_PART_CHECK_MS);
		return;
	}
	ubus_complete_deferred_request(p->ctx, &p->req, UBUS_STATUS_OK);
	ac_paced_free(p);
}

bool ac_is_list(const struct blob_attr *attr)
{
	int type = blobmsg_type(attr);
	return type == BLOBMSG_TYPE_ARRAY || type == BLOBMSG_TYPE_TABLE;
}
} // namespace

bool ac_reply_cursor_init(ac_reply_cursor *c, struct blob_attr *root)
{
	auto *first = static_cast<struct blob_attr *>(blob_data(root));
	c->list = nullptr;
	c->next = first;
	c->rem = blob_len(root);
	if (c->rem < sizeof(struct blob_attr))
		return false;
	// {"name": [...]}: the list's elements are cut, each part keeps the name.
	if (c->rem == blob_pad_len(first) && ac_is_list(first) && blobmsg_data_len(first)) {
		c->list = first;
		c->next = static_cast<struct blob_attr *>(blobmsg_data(first));
		c->rem = blobmsg_data_len(first);
	}
	return true;
}

bool ac_reply_next_part(ac_reply_cursor *c, struct blob_buf *part, size_t partSize)
{
	if (c->rem < sizeof(struct blob_attr))
		return false;
	blob_buf_init(part, 0);
	void *cookie = nullptr;
	size_t used = sizeof(struct blob_attr);
	if (c->list) {
		cookie = blobmsg_type(c->list) == BLOBMSG_TYPE_ARRAY
				 ? blobmsg_open_array(part, blobmsg_name(c->list))
				 : blobmsg_open_table(part, blobmsg_name(c->list));
		used = sizeof(struct blob_attr) + blob_pad_len(part->head);
	}
	bool any = false;
	while (c->rem >= sizeof(struct blob_attr)) {
		size_t len = blob_pad_len(c->next);
		if (len > c->rem)
			break; // damaged: the rest is not a whole element
		if (any && used + len > partSize)
			break;
		blobmsg_add_blob(part, c->next);
		used += len;
		any = true;
		c->rem -= len;
		c->next = blob_next(c->next);
	}
	if (cookie)
		blobmsg_close_table(part, cookie);
	if (!any)
		c->rem = 0;
	return any;
}

int ac_reply_send(struct ubus_context *ctx, struct ubus_request_data *req)
{
	if (blob_pad_len(ac_reply_buf.head) <= AC_REPLY_MAX) {
		ubus_send_reply(ctx, req, ac_reply_buf.head);
		// A large body's buffer is not kept for the small replies that follow.
		if (size_t(ac_reply_buf.buflen) > AC_REPLY_KEEP) {
			blob_buf_free(&ac_reply_buf);
			ac_reply_trim();
		}
		return UBUS_STATUS_OK;
	}
	auto *p = static_cast<ac_paced_reply *>(calloc(1, sizeof(ac_paced_reply)));
	if (!p)
		return UBUS_STATUS_UNKNOWN_ERROR;
	// The reply takes the buffer with the body; the next handler starts a new one.
	p->body = ac_reply_buf.buf;
	ac_reply_cursor_init(&p->cur, ac_reply_buf.head);
	ac_reply_buf.buf = nullptr;
	ac_reply_buf.head = nullptr;
	ac_reply_buf.buflen = 0;
	p->ctx = ctx;
	p->sent_ms = ac_now_ms();
	// Every part goes out from the timer, after the request is deferred.
	ubus_defer_request(ctx, req, &p->req);
	p->timer.cb = ac_paced_tick;
	uloop_timeout_set(&p->timer, 0);
	return UBUS_STATUS_OK;
}

int ac_reply_status(struct ubus_context *ctx, struct ubus_request_data *req, int32_t status)
{
	blob_buf_init(&ac_reply_buf, 0);
	blobmsg_add_u32(&ac_reply_buf, "status", uint32_t(status));
	return ac_reply_send(ctx, req);
}
