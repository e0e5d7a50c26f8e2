/*
 * Bus client library (host libubus): connect to the bus daemon, publish
 * objects with methods, answer calls, look objects up and call them.
 *
 * The libubox headers below carry no extern "C" guards of their own; C++
 * users include them (and this header) through a gateway that wraps them.
 */
#ifndef UBUS_HOST_LIBUBUS_H
#define UBUS_HOST_LIBUBUS_H

#include <libubox/avl.h>
#include <libubox/list.h>
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <stdbool.h>
#include <stdint.h>
#include <string.h>

#include "ubusmsg.h"
#include "ubus_common.h"

#ifdef __cplusplus
extern "C" {
#endif

struct ubus_context;
struct ubus_object;
struct ubus_object_type;
struct ubus_method;
struct ubus_request;
struct ubus_request_data;
struct ubus_object_data;
struct ubus_rx;
struct ubus_event_handler;
struct ubus_subscriber;
struct ubus_notify_request;

typedef void (*ubus_lookup_handler_t)(struct ubus_context *ctx, struct ubus_object_data *obj,
				      void *priv);
typedef int (*ubus_handler_t)(struct ubus_context *ctx, struct ubus_object *obj,
			      struct ubus_request_data *req, const char *method,
			      struct blob_attr *msg);
typedef void (*ubus_state_handler_t)(struct ubus_context *ctx, struct ubus_object *obj);
typedef void (*ubus_data_handler_t)(struct ubus_request *req, int type, struct blob_attr *msg);
typedef void (*ubus_complete_handler_t)(struct ubus_request *req, int ret);
typedef void (*ubus_connect_handler_t)(struct ubus_context *ctx);
typedef void (*ubus_event_handler_t)(struct ubus_context *ctx, struct ubus_event_handler *ev,
				     const char *type, struct blob_attr *msg);
typedef void (*ubus_remove_handler_t)(struct ubus_context *ctx, struct ubus_subscriber *obj,
				      uint32_t id);
typedef bool (*ubus_new_object_handler_t)(struct ubus_context *ctx, struct ubus_subscriber *sub,
					  const char *path);
typedef void (*ubus_notify_complete_handler_t)(struct ubus_notify_request *req, int idx, int ret);
typedef void (*ubus_notify_data_handler_t)(struct ubus_notify_request *req, int type,
					   struct blob_attr *msg);

/* most subscribers one notification waits for */
#define UBUS_MAX_NOTIFY_PEERS	16

/* method tag bits */
#define UBUS_TAG_STATUS		(1ul << 0)
#define UBUS_TAG_ADMIN		(1ul << 1)
#define UBUS_TAG_PRIVATE	(1ul << 2)

/*
 * Declaration helpers. Designators follow the declaration order so the
 * same tables compile as C and as GNU C++.
 */
#define UBUS_OBJECT_TYPE(_name, _methods)			\
	{							\
		.name = _name,					\
		.id = 0,					\
		.methods = _methods,				\
		.n_methods = ARRAY_SIZE(_methods)		\
	}

#define __UBUS_METHOD_BASE(_name, _handler, _mask, _tags, _policy, _n)	\
	.name = _name,							\
	.handler = _handler,						\
	.mask = _mask,							\
	.tags = _tags,							\
	.policy = _policy,						\
	.n_policy = _n

#define UBUS_METHOD_TAG_MASK(_name, _handler, _policy, _mask, _tags)	\
	{ __UBUS_METHOD_BASE(_name, _handler, _mask, _tags, _policy, ARRAY_SIZE(_policy)) }

#define UBUS_METHOD_MASK(_name, _handler, _policy, _mask)		\
	UBUS_METHOD_TAG_MASK(_name, _handler, _policy, _mask, 0)

#define UBUS_METHOD_TAG(_name, _handler, _policy, _tags)		\
	UBUS_METHOD_TAG_MASK(_name, _handler, _policy, 0, _tags)

#define UBUS_METHOD(_name, _handler, _policy)				\
	UBUS_METHOD_TAG_MASK(_name, _handler, _policy, 0, 0)

#define UBUS_METHOD_TAG_NOARG(_name, _handler, _tags)			\
	{ __UBUS_METHOD_BASE(_name, _handler, 0, _tags, NULL, 0) }

#define UBUS_METHOD_NOARG(_name, _handler)				\
	UBUS_METHOD_TAG_NOARG(_name, _handler, 0)

struct ubus_method {
	const char *name;
	ubus_handler_t handler;

	/* non-zero: only policy entries whose bit is set are advertised */
	unsigned long mask;
	unsigned long tags;
	const struct blobmsg_policy *policy;
	int n_policy;
};

struct ubus_object_type {
	const char *name;
	uint32_t id;

	const struct ubus_method *methods;
	int n_methods;
};

struct ubus_object {
	struct avl_node avl;

	const char *name;
	uint32_t id;

	const char *path;
	struct ubus_object_type *type;

	ubus_state_handler_t subscribe_cb;
	bool has_subscribers;

	const struct ubus_method *methods;
	int n_methods;
};

/* an anonymous object that receives the events matching its patterns */
struct ubus_event_handler {
	struct ubus_object obj;

	ubus_event_handler_t cb;
};

/* an anonymous object that receives the notifications of the objects it watches */
struct ubus_subscriber {
	struct list_head list;
	struct ubus_object obj;

	ubus_handler_t cb;
	ubus_remove_handler_t remove_cb;
	ubus_new_object_handler_t new_obj_cb;
};

struct ubus_object_data {
	uint32_t id;
	uint32_t type_id;
	const char *path;
	struct blob_attr *signature;
};

struct ubus_acl_key {
	const char *user;
	const char *group;
	const char *object;
};

struct ubus_request_data {
	uint32_t object;
	uint32_t peer;
	uint16_t seq;

	struct ubus_acl_key acl;

	/* set by ubus_defer_request: no automatic status after the handler */
	bool deferred;
	int fd;
	int req_fd;
};

struct ubus_request {
	struct list_head list;

	int status_code;
	bool status_msg;
	bool blocked;
	bool cancelled;

	uint32_t peer;
	uint16_t seq;

	/* whole message blob of every DATA answer (library use) */
	ubus_data_handler_t raw_data_cb;
	/* the DATA attribute of every DATA answer */
	ubus_data_handler_t data_cb;
	ubus_complete_handler_t complete_cb;

	struct ubus_context *ctx;
	void *priv;
};

struct ubus_notify_request {
	struct ubus_request req;

	ubus_notify_complete_handler_t status_cb;
	ubus_notify_complete_handler_t complete_cb;
	ubus_notify_data_handler_t data_cb;

	uint32_t pending;
	uint32_t id[UBUS_MAX_NOTIFY_PEERS + 1];
};

struct ubus_context {
	struct list_head requests;
	struct avl_tree objects;
	struct list_head pending;

	struct uloop_fd sock;
	struct uloop_timeout pending_timer;

	/* as the daemon sent it: big-endian bytes, not converted */
	uint32_t local_id;
	uint16_t request_seq;
	int stack_depth;

	void (*connection_lost)(struct ubus_context *ctx);

	/* receive state, owned by the library */
	struct ubus_rx *rx;
};

struct ubus_context *ubus_connect(const char *path);
int ubus_connect_ctx(struct ubus_context *ctx, const char *path);
void ubus_free(struct ubus_context *ctx);
void ubus_shutdown(struct ubus_context *ctx);

const char *ubus_strerror(int error);

static inline void ubus_add_uloop(struct ubus_context *ctx)
{
	uloop_fd_add(&ctx->sock, ULOOP_BLOCKING | ULOOP_READ);
}

/* for users without uloop: read and handle what the socket has */
static inline void ubus_handle_event(struct ubus_context *ctx)
{
	ctx->sock.cb(&ctx->sock, ULOOP_READ);
}

/* objects */
int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj);
int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj);

/* lookups: path NULL = every object, trailing '*' = prefix, else exact */
int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb, void *priv);
int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id);

/* calls */
int ubus_invoke(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
		ubus_data_handler_t cb, void *priv, int timeout);
int ubus_invoke_async(struct ubus_context *ctx, uint32_t obj, const char *method,
		      struct blob_attr *msg, struct ubus_request *req);
/* wait for a request sent before; timeout in ms, 0 = no limit */
int ubus_complete_request(struct ubus_context *ctx, struct ubus_request *req, int timeout);
/* let the loop finish the request: complete_cb runs with the status */
void ubus_complete_request_async(struct ubus_context *ctx, struct ubus_request *req);
void ubus_abort_request(struct ubus_context *ctx, struct ubus_request *req);

/* answering calls */
int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg);

static inline void ubus_defer_request(struct ubus_context *ctx, struct ubus_request_data *req,
				      struct ubus_request_data *new_req)
{
	(void)ctx;
	memcpy(new_req, req, sizeof(*req));
	req->deferred = true;
}

void ubus_complete_deferred_request(struct ubus_context *ctx, struct ubus_request_data *req,
				    int ret);

/* events: sent through the daemon's event object to every matching listener */
int ubus_send_event(struct ubus_context *ctx, const char *id, struct blob_attr *data);
/* pattern: an event id, or a prefix ending in '*'; "" and "*" match every event */
int ubus_register_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev,
				const char *pattern);

static inline int ubus_unregister_event_handler(struct ubus_context *ctx,
						struct ubus_event_handler *ev)
{
	return ubus_remove_object(ctx, &ev->obj);
}

/* subscriptions: an object's notifications go to its subscribers */
int ubus_register_subscriber(struct ubus_context *ctx, struct ubus_subscriber *obj);

static inline int ubus_unregister_subscriber(struct ubus_context *ctx, struct ubus_subscriber *obj)
{
	return ubus_remove_object(ctx, &obj->obj);
}

int ubus_subscribe(struct ubus_context *ctx, struct ubus_subscriber *obj, uint32_t id);
int ubus_unsubscribe(struct ubus_context *ctx, struct ubus_subscriber *obj, uint32_t id);
/* timeout in ms; below 0: no answer is expected */
int ubus_notify(struct ubus_context *ctx, struct ubus_object *obj, const char *type,
		struct blob_attr *msg, int timeout);

#ifdef __cplusplus
}
#endif

#endif
