// ubus_testsvc [-s <socket>] [-o <object name>]
// Publishes one object whose methods exercise every way of answering a call.
// Prints "ready" once registered; exits 0 when the bus connection ends.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "gw/ubus.hpp"

namespace {

struct blob_buf reply_buf;

enum { ECHO_A, ECHO_S, ECHO_T, ECHO_L, ECHO_B, ECHO_Q, __ECHO_MAX };
const struct blobmsg_policy echo_policy[__ECHO_MAX] = {
	{"a", BLOBMSG_TYPE_INT32}, {"s", BLOBMSG_TYPE_STRING}, {"t", BLOBMSG_TYPE_TABLE},
	{"l", BLOBMSG_TYPE_ARRAY}, {"b", BLOBMSG_TYPE_BOOL},   {"q", BLOBMSG_TYPE_INT64},
};

enum { LATER_MS, __LATER_MAX };
const struct blobmsg_policy later_policy[__LATER_MAX] = {{"ms", BLOBMSG_TYPE_INT32}};

enum { FAIL_STATUS, __FAIL_MAX };
const struct blobmsg_policy fail_policy[__FAIL_MAX] = {{"status", BLOBMSG_TYPE_INT32}};

// echo: the arguments come back as the reply
int svc_echo(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
	     struct blob_attr *msg)
{
	blob_buf_init(&reply_buf, 0);
	struct blob_attr *cur;
	size_t rem;
	blob_for_each_attr(cur, msg, rem)
		blobmsg_add_blob(&reply_buf, cur);
	ubus_send_reply(ctx, req, reply_buf.head);
	return UBUS_STATUS_OK;
}

struct Deferred {
	struct uloop_timeout timer;
	struct ubus_context *ctx;
	struct ubus_request_data req;
};

void svc_later_done(struct uloop_timeout *t)
{
	Deferred *d = container_of(t, Deferred, timer);
	blob_buf_init(&reply_buf, 0);
	blobmsg_add_u8(&reply_buf, "deferred", 1);
	ubus_send_reply(d->ctx, &d->req, reply_buf.head);
	ubus_complete_deferred_request(d->ctx, &d->req, UBUS_STATUS_OK);
	delete d;
}

// later {ms}: answers from a timer
int svc_later(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
	      struct blob_attr *msg)
{
	struct blob_attr *tb[__LATER_MAX];
	blobmsg_parse(later_policy, __LATER_MAX, tb, blob_data(msg), blob_len(msg));
	Deferred *d = new Deferred();
	d->ctx = ctx;
	d->timer.cb = svc_later_done;
	ubus_defer_request(ctx, req, &d->req);
	uloop_timeout_set(&d->timer, tb[LATER_MS] ? int(blobmsg_get_u32(tb[LATER_MS])) : 200);
	return UBUS_STATUS_OK;
}

// fail {status}: one reply, then a failing status (default 9)
int svc_fail(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
	     struct blob_attr *msg)
{
	struct blob_attr *tb[__FAIL_MAX];
	blobmsg_parse(fail_policy, __FAIL_MAX, tb, blob_data(msg), blob_len(msg));
	blob_buf_init(&reply_buf, 0);
	blobmsg_add_string(&reply_buf, "partial", "yes");
	ubus_send_reply(ctx, req, reply_buf.head);
	return tb[FAIL_STATUS] ? int(blobmsg_get_u32(tb[FAIL_STATUS])) : UBUS_STATUS_UNKNOWN_ERROR;
}

// silent: deferred and never answered; says on stdout that the call is here
int svc_silent(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
	       struct blob_attr *)
{
	struct ubus_request_data dropped;
	ubus_defer_request(ctx, req, &dropped);
	printf("silent\n");
	fflush(stdout);
	return UBUS_STATUS_OK;
}

// nothing: no reply at all, status 0
int svc_nothing(struct ubus_context *, struct ubus_object *, struct ubus_request_data *, const char *,
		struct blob_attr *)
{
	return UBUS_STATUS_OK;
}

// empty: an empty table
int svc_empty(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
	      struct blob_attr *)
{
	blob_buf_init(&reply_buf, 0);
	ubus_send_reply(ctx, req, reply_buf.head);
	return UBUS_STATUS_OK;
}

// twice: two replies to one call
int svc_twice(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
	      struct blob_attr *)
{
	for (int i = 1; i <= 2; i++) {
		blob_buf_init(&reply_buf, 0);
		blobmsg_add_u32(&reply_buf, "n", uint32_t(i));
		ubus_send_reply(ctx, req, reply_buf.head);
	}
	return UBUS_STATUS_OK;
}

// die: the process ends without answering
int svc_die(struct ubus_context *, struct ubus_object *, struct ubus_request_data *, const char *,
	    struct blob_attr *)
{
	_exit(3);
}

// notify: the arguments go to the object's subscribers as a "note"
int svc_notify(struct ubus_context *ctx, struct ubus_object *obj, struct ubus_request_data *, const char *,
	       struct blob_attr *msg)
{
	return ubus_notify(ctx, obj, "note", msg, 1000);
}

// says on stdout when the object gains its first subscriber or loses its last
void svc_subscribed(struct ubus_context *, struct ubus_object *obj)
{
	printf("subscribers %d\n", obj->has_subscribers ? 1 : 0);
	fflush(stdout);
}

const struct ubus_method svc_methods[] = {
	UBUS_METHOD("echo", svc_echo, echo_policy),
	UBUS_METHOD("later", svc_later, later_policy),
	UBUS_METHOD("fail", svc_fail, fail_policy),
	UBUS_METHOD_NOARG("silent", svc_silent),
	UBUS_METHOD_NOARG("nothing", svc_nothing),
	UBUS_METHOD_NOARG("empty", svc_empty),
	UBUS_METHOD_NOARG("twice", svc_twice),
	UBUS_METHOD_NOARG("die", svc_die),
	UBUS_METHOD_NOARG("notify", svc_notify),
};

struct ubus_object_type svc_type = UBUS_OBJECT_TYPE("test-svc", svc_methods);

} // namespace

int main(int argc, char **argv)
{
	const char *sock = nullptr;
	const char *name = "test.obj";
	int ch;
	while ((ch = getopt(argc, argv, "s:o:")) != -1) {
		switch (ch) {
		case 's':
			sock = optarg;
			break;
		case 'o':
			name = optarg;
			break;
		default:
			fprintf(stderr, "Usage: %s [-s <socket>] [-o <object>]\n", argv[0]);
			return 2;
		}
	}

	static struct ubus_object obj = {};
	obj.name = name;
	obj.type = &svc_type;
	obj.methods = svc_methods;
	obj.n_methods = ARRAY_SIZE(svc_methods);
	obj.subscribe_cb = svc_subscribed;

	uloop_init();
	struct ubus_context *ctx = ubus_connect(sock);
	if (!ctx) {
		fprintf(stderr, "Failed to connect to ubus\n");
		return 1;
	}
	ubus_add_uloop(ctx);
	int ret = ubus_add_object(ctx, &obj);
	if (ret) {
		fprintf(stderr, "add object failed: %s\n", ubus_strerror(ret));
		ubus_free(ctx);
		uloop_done();
		return 1;
	}
	printf("ready %08x\n", obj.id);
	fflush(stdout);
	uloop_run();
	printf("loop ended\n");
	ubus_free(ctx);
	uloop_done();
	blob_buf_free(&reply_buf);
	return 0;
}
