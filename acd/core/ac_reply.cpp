#include "core/ac_reply.hpp"

#include <cstdlib>
#include <cstring>

struct blob_buf ac_reply_buf;

namespace {
// A reply in parts, sent one per timer tick; owns its parts.
struct ac_paced_reply {
	struct ubus_context *ctx;
	struct ubus_request_data req;
	struct uloop_timeout timer;
	struct blob_attr **parts;
	size_t count;
	size_t next;
};

void ac_paced_free(ac_paced_reply *p)
{
	for (size_t i = 0; i < p->count; i++)
		free(p->parts[i]);
	free(p->parts);
	free(p);
}

void ac_paced_tick(struct uloop_timeout *t)
{
	ac_paced_reply *p = container_of(t, ac_paced_reply, timer);
	ubus_send_reply(p->ctx, &p->req, p->parts[p->next++]);
	if (p->next < p->count) {
		uloop_timeout_set(&p->timer, AC_REPLY_PART_GAP_MS);
		return;
	}
	ubus_complete_deferred_request(p->ctx, &p->req, UBUS_STATUS_OK);
	ac_paced_free(p);
}

void *ac_part_open(struct blob_buf *b, const char *name, int type)
{
	blob_buf_init(b, 0);
	return type == BLOBMSG_TYPE_ARRAY ? blobmsg_open_array(b, name) : blobmsg_open_table(b, name);
}

// Closes the part under construction and keeps a copy of it.
bool ac_part_close(struct blob_buf *b, void *cookie, struct blob_attr **parts, size_t *count,
		   size_t cap)
{
	blobmsg_close_table(b, cookie);
	if (*count == cap)
		return false;
	struct blob_attr *copy = blob_memdup(b->head);
	if (!copy)
		return false;
	parts[(*count)++] = copy;
	return true;
}

} // namespace

int ac_reply_split(struct blob_attr *root, size_t partSize, struct blob_attr ***partsOut,
		   size_t *countOut)
{
	auto *list = static_cast<struct blob_attr *>(blob_data(root));
	if (blob_len(root) < 4 || blob_len(root) != blob_pad_len(list))
		return -1; // not exactly one member
	int type = blobmsg_type(list);
	if (type != BLOBMSG_TYPE_ARRAY && type != BLOBMSG_TYPE_TABLE)
		return -1;

	// Two neighbouring parts hold more than partSize together.
	size_t cap = 2 * (blob_pad_len(list) / partSize) + 2;
	auto **parts = static_cast<struct blob_attr **>(calloc(cap, sizeof(struct blob_attr *)));
	if (!parts)
		return -1;
	size_t count = 0;

	static struct blob_buf part;
	void *cookie = ac_part_open(&part, blobmsg_name(list), type);
	size_t items = 0;
	bool ok = true;
	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, list, rem) {
		// part.head is the open list; the part adds its own 4-byte head around it.
		if (items &&
		    sizeof(struct blob_attr) + blob_pad_len(part.head) + blob_pad_len(cur) > partSize) {
			ok = ac_part_close(&part, cookie, parts, &count, cap);
			if (!ok)
				break;
			cookie = ac_part_open(&part, blobmsg_name(list), type);
			items = 0;
		}
		blobmsg_add_blob(&part, cur);
		items++;
	}
	if (ok)
		ok = ac_part_close(&part, cookie, parts, &count, cap);
	if (!ok) {
		for (size_t i = 0; i < count; i++)
			free(parts[i]);
		free(parts);
		return -1;
	}
	*partsOut = parts;
	*countOut = count;
	return 0;
}

int ac_reply_send(struct ubus_context *ctx, struct ubus_request_data *req)
{
	if (blob_pad_len(ac_reply_buf.head) <= AC_REPLY_MAX) {
		ubus_send_reply(ctx, req, ac_reply_buf.head);
		return UBUS_STATUS_OK;
	}
	auto *p = static_cast<ac_paced_reply *>(calloc(1, sizeof(ac_paced_reply)));
	if (!p)
		return UBUS_STATUS_UNKNOWN_ERROR;
	if (ac_reply_split(ac_reply_buf.head, AC_REPLY_PART, &p->parts, &p->count) != 0) {
		free(p);
		return UBUS_STATUS_UNKNOWN_ERROR;
	}
	p->ctx = ctx;
	ubus_send_reply(ctx, req, p->parts[p->next++]);
	if (p->next == p->count) {
		ac_paced_free(p);
		return UBUS_STATUS_OK;
	}
	ubus_defer_request(ctx, req, &p->req);
	p->timer.cb = ac_paced_tick;
	uloop_timeout_set(&p->timer, AC_REPLY_PART_GAP_MS);
	return UBUS_STATUS_OK;
}
