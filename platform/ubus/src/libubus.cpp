// Host libubus: one connection to the bus daemon, published objects, calls.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <array>
#include <deque>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "client_msg.hpp"
#include "wire.hpp"

using ubus_client::Bytes;
using namespace ubus_wire;

// What the library keeps per connection beyond the public fields.
struct ubus_rx {
	std::vector<uint8_t> in; // bytes read and not handled yet, from `off`
	size_t off = 0;
	// calls that arrived while the client waited inside a synchronous request
	std::deque<Bytes> queued;
	bool dead = false;          // the daemon connection is gone
	bool lost_reported = false; // connection_lost has run
	bool lost_in_loop = false;  // the socket was watched by uloop when it went
};

namespace {

constexpr int kHelloWaitMs = 30000;

struct ubus_context *ubus_ctx_of_sock(struct uloop_fd *u)
{
	return container_of(u, struct ubus_context, sock);
}

struct ubus_context *ubus_ctx_of_timer(struct uloop_timeout *t)
{
	return container_of(t, struct ubus_context, pending_timer);
}

int64_t ubus_now_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int ubus_id_cmp(const void *k1, const void *k2, void *)
{
	uint32_t a = *static_cast<const uint32_t *>(k1);
	uint32_t b = *static_cast<const uint32_t *>(k2);
	return a < b ? -1 : a > b;
}

void ubus_mark_dead(struct ubus_context *ctx)
{
	if (ctx->rx->dead)
		return;
	ctx->rx->dead = true;
	// tell the daemon too when we are the ones giving up (bad framing)
	if (ctx->sock.fd >= 0)
		shutdown(ctx->sock.fd, SHUT_RDWR);
}

// Reads what the socket has. 1: bytes came, 0: nothing now, -1: connection gone.
int ubus_rx_read(struct ubus_context *ctx)
{
	struct ubus_rx *rx = ctx->rx;
	if (rx->dead)
		return -1;
	if (rx->off && rx->off == rx->in.size()) {
		rx->in.clear();
		rx->off = 0;
	} else if (rx->off > UBUS_MSG_CHUNK_SIZE) {
		rx->in.erase(rx->in.begin(), rx->in.begin() + rx->off);
		rx->off = 0;
	}
	size_t have = rx->in.size();
	rx->in.resize(have + UBUS_MSG_CHUNK_SIZE);
	union {
		struct cmsghdr align;
		char data[CMSG_SPACE(sizeof(int) * 8)];
	} ctl;
	struct iovec iov = {rx->in.data() + have, UBUS_MSG_CHUNK_SIZE};
	struct msghdr mh {};
	mh.msg_iov = &iov;
	mh.msg_iovlen = 1;
	mh.msg_control = ctl.data;
	mh.msg_controllen = sizeof ctl.data;
	ssize_t n = recvmsg(ctx->sock.fd, &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
	int err = errno;
	rx->in.resize(have + (n > 0 ? size_t(n) : 0));
	// descriptors riding along are not used by this library
	for (struct cmsghdr *cm = CMSG_FIRSTHDR(&mh); n >= 0 && cm; cm = CMSG_NXTHDR(&mh, cm)) {
		if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS)
			continue;
		size_t nfd = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
		for (size_t i = 0; i < nfd; i++) {
			int fd;
			memcpy(&fd, CMSG_DATA(cm) + i * sizeof(int), sizeof fd);
			close(fd);
		}
	}
	if (n > 0)
		return 1;
	if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR))
		return 0;
	ubus_mark_dead(ctx);
	return -1;
}

// Takes the next complete message out of the receive buffer.
bool ubus_rx_next(struct ubus_context *ctx, Bytes &msg)
{
	struct ubus_rx *rx = ctx->rx;
	size_t total = 0;
	const uint8_t *p = rx->in.data() + rx->off;
	switch (check_frame(p, rx->in.size() - rx->off, &total)) {
	case Frame::Incomplete:
		return false;
	case Frame::Invalid:
		rx->in.clear();
		rx->off = 0;
		ubus_mark_dead(ctx);
		return false;
	case Frame::Complete:
		break;
	}
	msg.assign(p, p + total);
	rx->off += total;
	return true;
}

bool ubus_rx_has_message(struct ubus_context *ctx)
{
	size_t total = 0;
	return check_frame(ctx->rx->in.data() + ctx->rx->off, ctx->rx->in.size() - ctx->rx->off,
			   &total) != Frame::Incomplete;
}

// Writes a whole message, waiting for room when the socket is full.
// 0, UBUS_STATUS_INVALID_ARGUMENT (too large) or UBUS_STATUS_CONNECTION_FAILED.
int ubus_send_bytes(struct ubus_context *ctx, const Bytes &b)
{
	if (b.size() - kHeaderLen > UBUS_MAX_MSGLEN)
		return UBUS_STATUS_INVALID_ARGUMENT;
	if (ctx->rx->dead || ctx->sock.fd < 0)
		return UBUS_STATUS_CONNECTION_FAILED;
	size_t off = 0;
	while (off < b.size()) {
		ssize_t n = send(ctx->sock.fd, b.data() + off, b.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
		if (n >= 0) {
			off += size_t(n);
			continue;
		}
		if (errno == EINTR)
			continue;
		if (errno == EAGAIN || errno == EWOULDBLOCK) {
			struct pollfd pfd = {ctx->sock.fd, POLLOUT, 0};
			poll(&pfd, 1, -1);
			continue;
		}
		ubus_mark_dead(ctx);
		return UBUS_STATUS_CONNECTION_FAILED;
	}
	return 0;
}

struct blob_attr *ubus_as_attr(const uint8_t *p)
{
	return reinterpret_cast<struct blob_attr *>(const_cast<uint8_t *>(p));
}

void ubus_finish_request(struct ubus_request *req, int status)
{
	list_del_init(&req->list);
	req->status_code = status;
	req->status_msg = true;
	if (req->complete_cb)
		req->complete_cb(req, status);
}

struct ubus_request *ubus_find_request(struct ubus_context *ctx, const Header &h)
{
	struct ubus_request *req;
	list_for_each_entry(req, &ctx->requests, list)
		if (req->seq == h.seq && req->peer == h.peer)
			return req;
	return nullptr;
}

void ubus_process_invoke(struct ubus_context *ctx, const Message &m)
{
	const uint8_t *oa = m.get(UBUS_ATTR_OBJID);
	if (!oa)
		return;
	struct ubus_request_data req;
	memset(&req, 0, sizeof req);
	req.object = attr_u32(oa);
	req.peer = m.hdr.peer;
	req.seq = m.hdr.seq;
	req.fd = -1;
	req.req_fd = -1;
	if (const uint8_t *u = m.get(UBUS_ATTR_USER))
		req.acl.user = attr_string(u);
	if (const uint8_t *g = m.get(UBUS_ATTR_GROUP))
		req.acl.group = attr_string(g);
	const uint8_t *nr = m.get(UBUS_ATTR_NO_REPLY);
	bool no_reply = nr && attr_u8(nr);

	int ret;
	uint32_t key = req.object;
	struct avl_node *node = avl_find(&ctx->objects, &key);
	struct ubus_object *obj = node ? container_of(node, struct ubus_object, avl) : nullptr;
	const uint8_t *ma = m.get(UBUS_ATTR_METHOD);
	const uint8_t *da = m.get(UBUS_ATTR_DATA);
	if (!obj) {
		ret = UBUS_STATUS_NOT_FOUND;
	} else if (!ma) {
		ret = UBUS_STATUS_INVALID_ARGUMENT;
	} else {
		req.acl.object = obj->name;
		const char *method = attr_string(ma);
		const struct ubus_method *found = nullptr;
		for (int i = 0; i < obj->n_methods; i++) {
			const struct ubus_method &me = obj->methods[i];
			// an entry without a name takes any method
			if (!me.name || !strcmp(me.name, method)) {
				found = &me;
				break;
			}
		}
		if (!found)
			ret = UBUS_STATUS_METHOD_NOT_FOUND;
		else if (!da)
			ret = UBUS_STATUS_INVALID_ARGUMENT;
		else if (!found->handler)
			ret = UBUS_STATUS_NOT_SUPPORTED;
		else
			ret = found->handler(ctx, obj, &req, method, ubus_as_attr(da));
	}
	if (req.deferred || no_reply)
		return;
	ubus_send_bytes(ctx, ubus_client::msg_status(req.seq, req.peer, req.object, ret));
}

struct ubus_object *ubus_local_object(struct ubus_context *ctx, const Message &m)
{
	const uint8_t *oa = m.get(UBUS_ATTR_OBJID);
	if (!oa)
		return nullptr;
	uint32_t key = attr_u32(oa);
	struct avl_node *node = avl_find(&ctx->objects, &key);
	return node ? container_of(node, struct ubus_object, avl) : nullptr;
}

int ubus_subscriber_dispatch(struct ubus_context *ctx, struct ubus_object *obj, struct ubus_request_data *req,
			     const char *method, struct blob_attr *msg)
{
	struct ubus_subscriber *s = container_of(obj, struct ubus_subscriber, obj);
	return s->cb ? s->cb(ctx, obj, req, method, msg) : UBUS_STATUS_OK;
}

int ubus_event_dispatch(struct ubus_context *ctx, struct ubus_object *obj, struct ubus_request_data *,
			const char *method, struct blob_attr *msg)
{
	struct ubus_event_handler *ev = container_of(obj, struct ubus_event_handler, obj);
	if (ev->cb)
		ev->cb(ctx, ev, method, msg);
	return UBUS_STATUS_OK;
}

// One method without a name: it takes every notification or event.
const struct ubus_method ubus_subscriber_method = {nullptr, ubus_subscriber_dispatch, 0, 0, nullptr, 0};
const struct ubus_method ubus_event_method = {nullptr, ubus_event_dispatch, 0, 0, nullptr, 0};

// The daemon tells an object whether it has subscribers now.
void ubus_process_notify(struct ubus_context *ctx, const Message &m)
{
	struct ubus_object *obj = ubus_local_object(ctx, m);
	const uint8_t *act = m.get(UBUS_ATTR_ACTIVE);
	if (!obj || !act)
		return;
	obj->has_subscribers = attr_u8(act) != 0;
	if (obj->subscribe_cb)
		obj->subscribe_cb(ctx, obj);
}

// The daemon ends a subscription because its target went away.
void ubus_process_unsubscribe(struct ubus_context *ctx, const Message &m)
{
	struct ubus_object *obj = ubus_local_object(ctx, m);
	const uint8_t *ta = m.get(UBUS_ATTR_TARGET);
	if (!obj || !ta || obj->methods != &ubus_subscriber_method)
		return;
	struct ubus_subscriber *s = container_of(obj, struct ubus_subscriber, obj);
	if (s->remove_cb)
		s->remove_cb(ctx, s, attr_u32(ta));
}

void ubus_dispatch(struct ubus_context *ctx, Bytes &bytes)
{
	Message m;
	if (!parse_message(bytes.data(), bytes.size(), m))
		return;
	switch (m.hdr.type) {
	case UBUS_MSG_STATUS: {
		struct ubus_request *req = ubus_find_request(ctx, m.hdr);
		if (!req)
			return;
		const uint8_t *sa = m.get(UBUS_ATTR_STATUS);
		ubus_finish_request(req, sa ? int(attr_u32(sa)) : UBUS_STATUS_UNKNOWN_ERROR);
		break;
	}
	case UBUS_MSG_DATA: {
		struct ubus_request *req = ubus_find_request(ctx, m.hdr);
		if (!req)
			return;
		if (req->raw_data_cb)
			req->raw_data_cb(req, UBUS_MSG_DATA, ubus_as_attr(m.blob));
		const uint8_t *da = m.get(UBUS_ATTR_DATA);
		if (req->data_cb && da)
			req->data_cb(req, UBUS_MSG_DATA, ubus_as_attr(da));
		break;
	}
	case UBUS_MSG_INVOKE:
		if (ctx->stack_depth > 0) {
			ctx->rx->queued.push_back(std::move(bytes));
			return;
		}
		ubus_process_invoke(ctx, m);
		break;
	case UBUS_MSG_NOTIFY:
		ubus_process_notify(ctx, m);
		break;
	case UBUS_MSG_UNSUBSCRIBE:
		ubus_process_unsubscribe(ctx, m);
		break;
	default:
		break;
	}
}

// The connection ended: unwatch the socket, fail what waits, tell the owner.
void ubus_lost(struct ubus_context *ctx)
{
	struct ubus_rx *rx = ctx->rx;
	ubus_mark_dead(ctx);
	if (rx->lost_reported)
		return;
	rx->lost_reported = true;
	// uloop drops a hung-up fd before the callback runs; `error` tells that case
	rx->lost_in_loop = ctx->sock.registered || ctx->sock.error;
	if (ctx->sock.registered)
		uloop_fd_delete(&ctx->sock);
	while (!list_empty(&ctx->requests)) {
		struct ubus_request *req = list_first_entry(&ctx->requests, struct ubus_request, list);
		ubus_finish_request(req, UBUS_STATUS_TIMEOUT);
	}
	if (ctx->connection_lost)
		ctx->connection_lost(ctx);
}

void ubus_default_connection_lost(struct ubus_context *ctx)
{
	if (ctx->sock.registered || (ctx->rx && ctx->rx->lost_in_loop))
		uloop_end();
}

// Handles complete messages already buffered (and calls queued meanwhile).
void ubus_drain(struct ubus_context *ctx)
{
	struct ubus_rx *rx = ctx->rx;
	while (ctx->stack_depth == 0 && !rx->queued.empty()) {
		Bytes b = std::move(rx->queued.front());
		rx->queued.pop_front();
		Message m;
		if (parse_message(b.data(), b.size(), m))
			ubus_process_invoke(ctx, m);
	}
	Bytes msg;
	while (ubus_rx_next(ctx, msg))
		ubus_dispatch(ctx, msg);
}

void ubus_sock_cb(struct uloop_fd *u, unsigned int)
{
	struct ubus_context *ctx = ubus_ctx_of_sock(u);
	int r = ubus_rx_read(ctx);
	ubus_drain(ctx);
	if (r < 0 || ctx->rx->dead)
		ubus_lost(ctx);
}

void ubus_pending_cb(struct uloop_timeout *t)
{
	struct ubus_context *ctx = ubus_ctx_of_timer(t);
	if (ctx->stack_depth)
		return;
	ubus_drain(ctx);
	if (ctx->rx->dead)
		ubus_lost(ctx);
}

// Sends a request and links it for its answers; 0 or a status.
int ubus_start_request(struct ubus_context *ctx, struct ubus_request *req, const Bytes &b, uint32_t peer)
{
	memset(req, 0, sizeof *req);
	INIT_LIST_HEAD(&req->list);
	req->ctx = ctx;
	req->peer = peer;
	req->seq = get_be16(b.data() + 2);
	int ret = ubus_send_bytes(ctx, b);
	if (ret)
		return ret;
	list_add_tail(&req->list, &ctx->requests);
	return 0;
}

// ---- answers to the library's own commands ----

struct AddCtx {
	struct ubus_object *obj;
	bool sent_signature;
};

void ubus_add_object_cb(struct ubus_request *req, int, struct blob_attr *msg)
{
	auto *ac = static_cast<AddCtx *>(req->priv);
	std::array<const uint8_t *, UBUS_ATTR_MAX> attr;
	parse_attrs(reinterpret_cast<const uint8_t *>(msg), attr);
	if (attr[UBUS_ATTR_OBJID])
		ac->obj->id = attr_u32(attr[UBUS_ATTR_OBJID]);
	// the type id only counts when this registration brought the signature
	if (attr[UBUS_ATTR_OBJTYPE] && ac->obj->type && ac->sent_signature)
		ac->obj->type->id = attr_u32(attr[UBUS_ATTR_OBJTYPE]);
}

void ubus_remove_object_cb(struct ubus_request *req, int, struct blob_attr *msg)
{
	auto *obj = static_cast<struct ubus_object *>(req->priv);
	std::array<const uint8_t *, UBUS_ATTR_MAX> attr;
	parse_attrs(reinterpret_cast<const uint8_t *>(msg), attr);
	if (attr[UBUS_ATTR_OBJTYPE] && obj->type && obj->type->id == attr_u32(attr[UBUS_ATTR_OBJTYPE]))
		obj->type->id = 0;
}

struct LookupCtx {
	ubus_lookup_handler_t cb;
	void *priv;
};

void ubus_lookup_cb(struct ubus_request *req, int, struct blob_attr *msg)
{
	auto *lc = static_cast<LookupCtx *>(req->priv);
	std::array<const uint8_t *, UBUS_ATTR_MAX> attr;
	parse_attrs(reinterpret_cast<const uint8_t *>(msg), attr);
	if (!attr[UBUS_ATTR_OBJID] || !attr[UBUS_ATTR_OBJPATH])
		return;
	struct ubus_object_data od;
	memset(&od, 0, sizeof od);
	od.id = attr_u32(attr[UBUS_ATTR_OBJID]);
	od.path = attr_string(attr[UBUS_ATTR_OBJPATH]);
	if (attr[UBUS_ATTR_OBJTYPE])
		od.type_id = attr_u32(attr[UBUS_ATTR_OBJTYPE]);
	if (attr[UBUS_ATTR_SIGNATURE])
		od.signature = ubus_as_attr(attr[UBUS_ATTR_SIGNATURE]);
	if (lc->cb)
		lc->cb(req->ctx, &od, lc->priv);
}

void ubus_lookup_id_cb(struct ubus_context *, struct ubus_object_data *obj, void *priv)
{
	*static_cast<uint32_t *>(priv) = obj->id;
}

bool ubus_read_hello(struct ubus_context *ctx)
{
	int64_t end = ubus_now_ms() + kHelloWaitMs;
	Bytes msg;
	while (!ubus_rx_next(ctx, msg)) {
		if (ctx->rx->dead)
			return false;
		int left = int(end - ubus_now_ms());
		if (left <= 0)
			return false;
		struct pollfd pfd = {ctx->sock.fd, POLLIN, 0};
		if (poll(&pfd, 1, left) < 0 && errno != EINTR)
			return false;
		if (ubus_rx_read(ctx) < 0)
			return false;
	}
	Header h = get_header(msg.data());
	if (h.type != UBUS_MSG_HELLO || h.peer <= 1)
		return false;
	// kept as the daemon sent it, without byte-order conversion
	memcpy(&ctx->local_id, msg.data() + 4, sizeof ctx->local_id);
	return true;
}

} // namespace

// the library's interface; everything else stays hidden
#pragma GCC visibility push(default)
extern "C" {

int ubus_connect_ctx(struct ubus_context *ctx, const char *path)
{
	memset(ctx, 0, sizeof *ctx);
	INIT_LIST_HEAD(&ctx->requests);
	INIT_LIST_HEAD(&ctx->pending);
	avl_init(&ctx->objects, ubus_id_cmp, false, nullptr);
	ctx->sock.fd = -1;
	ctx->sock.cb = ubus_sock_cb;
	ctx->pending_timer.cb = ubus_pending_cb;
	ctx->connection_lost = ubus_default_connection_lost;
	ctx->rx = new ubus_rx;

	if (!path)
		path = UBUS_UNIX_SOCKET;
	struct sockaddr_un sun;
	memset(&sun, 0, sizeof sun);
	sun.sun_family = AF_UNIX;
	if (strlen(path) >= sizeof sun.sun_path)
		goto fail;
	strcpy(sun.sun_path, path);
	ctx->sock.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (ctx->sock.fd < 0)
		goto fail;
	if (connect(ctx->sock.fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun) < 0)
		goto fail;
	if (!ubus_read_hello(ctx))
		goto fail;
	fcntl(ctx->sock.fd, F_SETFL, fcntl(ctx->sock.fd, F_GETFL) | O_NONBLOCK);
	uloop_init();
	return 0;

fail:
	if (ctx->sock.fd >= 0)
		close(ctx->sock.fd);
	ctx->sock.fd = -1;
	delete ctx->rx;
	ctx->rx = nullptr;
	return -1;
}

struct ubus_context *ubus_connect(const char *path)
{
	auto *ctx = static_cast<struct ubus_context *>(calloc(1, sizeof(struct ubus_context)));
	if (!ctx)
		return nullptr;
	if (ubus_connect_ctx(ctx, path) < 0) {
		free(ctx);
		return nullptr;
	}
	return ctx;
}

void ubus_shutdown(struct ubus_context *ctx)
{
	if (!ctx)
		return;
	uloop_fd_delete(&ctx->sock);
	uloop_timeout_cancel(&ctx->pending_timer);
	if (ctx->sock.fd >= 0)
		close(ctx->sock.fd);
	ctx->sock.fd = -1;
	delete ctx->rx;
	ctx->rx = nullptr;
}

void ubus_free(struct ubus_context *ctx)
{
	if (!ctx)
		return;
	ubus_shutdown(ctx);
	free(ctx);
}

const char *ubus_strerror(int error)
{
	static const char *const texts[__UBUS_STATUS_LAST] = {
		"Success",
		"Invalid command",
		"Invalid argument",
		"Method not found",
		"Not found",
		"No response",
		"Permission denied",
		"Request timed out",
		"Operation not supported",
		"Unknown error",
		"Connection failed",
		"Out of memory",
		"Parsing message data failed",
		"System error",
	};
	static char unknown[32];
	if (error >= 0 && error < __UBUS_STATUS_LAST)
		return texts[error];
	snprintf(unknown, sizeof unknown, "Unknown error: %d", error);
	return unknown;
}

int ubus_complete_request(struct ubus_context *ctx, struct ubus_request *req, int timeout)
{
	int64_t end = timeout > 0 ? ubus_now_ms() + timeout : 0;
	bool timed_out = false;
	Bytes msg;

	ctx->stack_depth++;
	req->blocked = true;
	while (!req->status_msg && !req->cancelled) {
		if (ubus_rx_next(ctx, msg)) {
			ubus_dispatch(ctx, msg);
			continue;
		}
		if (ctx->rx->dead)
			break;
		int wait = -1;
		if (timeout > 0) {
			int64_t left = end - ubus_now_ms();
			if (left <= 0) {
				timed_out = true;
				break;
			}
			wait = int(left);
		}
		struct pollfd pfd = {ctx->sock.fd, POLLIN, 0};
		int n = poll(&pfd, 1, wait);
		if (n < 0 && errno != EINTR)
			break;
		if (n > 0)
			ubus_rx_read(ctx);
	}
	req->blocked = false;
	ctx->stack_depth--;

	int ret;
	if (req->status_msg) {
		ret = req->status_code;
	} else {
		list_del_init(&req->list);
		if (timed_out)
			ret = UBUS_STATUS_TIMEOUT;
		else if (ctx->rx->dead)
			ret = UBUS_STATUS_CONNECTION_FAILED;
		else
			ret = UBUS_STATUS_UNKNOWN_ERROR; // aborted, or poll failed
	}
	// whatever was read past our answer is handled from the loop
	if (ctx->stack_depth == 0 && (!ctx->rx->queued.empty() || ubus_rx_has_message(ctx) ||
				      ctx->rx->dead))
		uloop_timeout_set(&ctx->pending_timer, 1);
	return ret;
}

void ubus_complete_request_async(struct ubus_context *ctx, struct ubus_request *req)
{
	(void)ctx;
	// answered already while the caller did something else
	if (req->status_msg && req->complete_cb)
		req->complete_cb(req, req->status_code);
}

void ubus_abort_request(struct ubus_context *ctx, struct ubus_request *req)
{
	(void)ctx;
	list_del_init(&req->list);
	req->cancelled = true;
}

int ubus_invoke_async(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
		      struct ubus_request *req)
{
	Bytes b = ubus_client::msg_invoke(++ctx->request_seq, obj, method, msg);
	return ubus_start_request(ctx, req, b, obj);
}

int ubus_invoke(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
		ubus_data_handler_t cb, void *priv, int timeout)
{
	struct ubus_request req;
	int ret = ubus_invoke_async(ctx, obj, method, msg, &req);
	if (ret)
		return ret;
	req.data_cb = cb;
	req.priv = priv;
	return ubus_complete_request(ctx, &req, timeout);
}

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj)
{
	if (obj->id && avl_find(&ctx->objects, &obj->id) == &obj->avl)
		return UBUS_STATUS_INVALID_ARGUMENT;
	bool sent_signature = false;
	Bytes b = ubus_client::msg_add_object(++ctx->request_seq, obj, &sent_signature);
	struct ubus_request req;
	int ret = ubus_start_request(ctx, &req, b, 0);
	if (ret)
		return ret;
	obj->id = 0;
	AddCtx ac = {obj, sent_signature};
	req.raw_data_cb = ubus_add_object_cb;
	req.priv = &ac;
	ret = ubus_complete_request(ctx, &req, 0);
	if (ret)
		return ret;
	if (!obj->id)
		return UBUS_STATUS_NO_DATA;
	obj->avl.key = &obj->id;
	avl_insert(&ctx->objects, &obj->avl);
	return 0;
}

int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj)
{
	if (!obj->id || avl_find(&ctx->objects, &obj->id) != &obj->avl)
		return UBUS_STATUS_INVALID_ARGUMENT;
	Bytes b = ubus_client::msg_remove_object(++ctx->request_seq, obj->id);
	struct ubus_request req;
	int ret = ubus_start_request(ctx, &req, b, 0);
	if (ret)
		return ret;
	req.raw_data_cb = ubus_remove_object_cb;
	req.priv = obj;
	ret = ubus_complete_request(ctx, &req, 0);
	if (ret)
		return ret;
	avl_delete(&ctx->objects, &obj->avl);
	obj->id = 0;
	return 0;
}

int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb, void *priv)
{
	Bytes b = ubus_client::msg_lookup(++ctx->request_seq, path);
	struct ubus_request req;
	int ret = ubus_start_request(ctx, &req, b, 0);
	if (ret)
		return ret;
	LookupCtx lc = {cb, priv};
	req.raw_data_cb = ubus_lookup_cb;
	req.priv = &lc;
	return ubus_complete_request(ctx, &req, 0);
}

int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id)
{
	if (!path)
		return UBUS_STATUS_INVALID_ARGUMENT;
	*id = 0;
	int ret = ubus_lookup(ctx, path, ubus_lookup_id_cb, id);
	if (!ret && !*id)
		ret = UBUS_STATUS_NOT_FOUND;
	return ret;
}

int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg)
{
	if (ubus_send_bytes(ctx, ubus_client::msg_reply(req, msg)))
		return UBUS_STATUS_NO_DATA;
	return 0;
}

void ubus_complete_deferred_request(struct ubus_context *ctx, struct ubus_request_data *req, int ret)
{
	ubus_send_bytes(ctx, ubus_client::msg_status(req->seq, req->peer, req->object, ret));
}

int ubus_send_event(struct ubus_context *ctx, const char *id, struct blob_attr *data)
{
	Bytes b = ubus_client::msg_send_event(++ctx->request_seq, id, data);
	struct ubus_request req;
	int ret = ubus_start_request(ctx, &req, b, UBUS_SYSTEM_OBJECT_EVENT);
	if (ret)
		return ret;
	return ubus_complete_request(ctx, &req, 0);
}

int ubus_register_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev, const char *pattern)
{
	struct ubus_object *obj = &ev->obj;
	if (!obj->id) {
		obj->methods = &ubus_event_method;
		obj->n_methods = 1;
		int ret = ubus_add_object(ctx, obj);
		if (ret)
			return ret;
	}
	Bytes b = ubus_client::msg_register_event(++ctx->request_seq, obj->id, pattern);
	struct ubus_request req;
	int ret = ubus_start_request(ctx, &req, b, UBUS_SYSTEM_OBJECT_EVENT);
	if (ret)
		return ret;
	return ubus_complete_request(ctx, &req, 0);
}

int ubus_register_subscriber(struct ubus_context *ctx, struct ubus_subscriber *s)
{
	s->obj.methods = &ubus_subscriber_method;
	s->obj.n_methods = 1;
	return ubus_add_object(ctx, &s->obj);
}

static int ubus_subscription(struct ubus_context *ctx, uint8_t type, struct ubus_subscriber *s, uint32_t id)
{
	Bytes b = ubus_client::msg_subscribe(type, ++ctx->request_seq, s->obj.id, id);
	struct ubus_request req;
	int ret = ubus_start_request(ctx, &req, b, 0);
	if (ret)
		return ret;
	return ubus_complete_request(ctx, &req, 0);
}

int ubus_subscribe(struct ubus_context *ctx, struct ubus_subscriber *s, uint32_t id)
{
	return ubus_subscription(ctx, UBUS_MSG_SUBSCRIBE, s, id);
}

int ubus_unsubscribe(struct ubus_context *ctx, struct ubus_subscriber *s, uint32_t id)
{
	return ubus_subscription(ctx, UBUS_MSG_UNSUBSCRIBE, s, id);
}

int ubus_notify(struct ubus_context *ctx, struct ubus_object *obj, const char *type, struct blob_attr *msg,
		int timeout)
{
	bool no_reply = timeout < 0;
	Bytes b = ubus_client::msg_notify(++ctx->request_seq, obj->id, type, msg, no_reply);
	if (no_reply)
		return ubus_send_bytes(ctx, b);
	struct ubus_request req;
	int ret = ubus_start_request(ctx, &req, b, obj->id);
	if (ret)
		return ret;
	// The daemon's status closes the request; the subscribers' own answers,
	// which come later with the same sequence number, are not waited for.
	return ubus_complete_request(ctx, &req, timeout);
}

} // extern "C"
#pragma GCC visibility pop
