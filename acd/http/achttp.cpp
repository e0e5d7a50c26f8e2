// The client's loop side: a non-blocking socket watched by uloop, a fixed
// receive buffer, and one 0 ms timeout from which every callback runs. The fd
// handler only moves bytes; parsing and the callbacks happen in the timeout, so
// a callback may disconnect or free the client and nothing touches it after.
#include "achttp.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "gw/loop.hpp"
#include "http_request.hpp"
#include "http_response.hpp"
#include "http_url.hpp"

namespace {

using achttp::bytes;
using achttp::response;
using achttp::step;

// A whole header block fits; body bytes wait here until the caller reads them,
// and the socket is not read while it is full.
constexpr size_t conn_rx_size = achttp::response_header_max;
constexpr size_t conn_headers_max = 8192;

enum class notice : uint8_t { none, error };

struct conn {
	achttp_client uc; // first: callers hold a pointer to it
	uloop_fd fd;
	uloop_timeout notify;
	uloop_timeout limit;
	int timeout_ms;
	unsigned gen;      // bumped whenever the connection is dropped or replaced
	int depth;         // callbacks running
	bool free_pending; // freed inside a callback

	bool connect_called;
	bool connecting;
	bool connected;
	bool request_done;
	bool sent_notice;
	bool peer_closed;
	bool parse_done; // the answer's end was seen
	bool ended;      // eof or error delivered or due, or disconnected
	notice due;

	char method[8];
	bytes headers;
	bool headers_have_length;
	bytes body; // kept for a redirect
	bytes out;
	size_t out_off;

	response resp;
	bool headers_reported;
	bool new_body; // body bytes or the body's end arrived since the last data_read

	size_t body_off, body_len; // decoded body bytes not read yet
	size_t raw_off, raw_len;   // received bytes not parsed yet
	char rx[conn_rx_size];
};

const achttp_cb conn_no_callbacks = {};

conn *conn_of(achttp_client *cl)
{
	return reinterpret_cast<conn *>(cl);
}

void conn_destroy(conn *c);

// Runs one of the caller's callbacks; false when the client was freed or its
// connection dropped or replaced meanwhile, so the caller's frame must stop.
template <typename F> bool conn_run(conn *c, F f)
{
	unsigned gen = c->gen;
	c->depth++;
	f();
	c->depth--;
	if (c->free_pending) {
		if (!c->depth)
			conn_destroy(c);
		return false;
	}
	return c->gen == gen;
}

void conn_arm(conn *c)
{
	uloop_timeout_set(&c->notify, 0);
}

void conn_close_socket(conn *c)
{
	if (c->fd.fd >= 0) {
		uloop_fd_delete(&c->fd);
		close(c->fd.fd);
		c->fd.fd = -1;
	}
	c->connecting = false;
	c->connected = false;
	c->gen++;
}

size_t conn_rx_free(const conn *c)
{
	return conn_rx_size - c->body_len - c->raw_len;
}

void conn_update_events(conn *c)
{
	if (c->fd.fd < 0)
		return;
	unsigned flags = 0;
	if (c->connecting || (c->connected && c->out_off < c->out.len))
		flags |= ULOOP_WRITE;
	if (c->connected && !c->peer_closed && !c->parse_done && !c->ended && conn_rx_free(c))
		flags |= ULOOP_READ;
	if (flags) {
		if (!c->fd.registered || (c->fd.flags & ULOOP_EVENT_MASK) != flags)
			uloop_fd_add(&c->fd, flags);
	} else if (c->fd.registered) {
		uloop_fd_delete(&c->fd);
	}
}

void conn_fail(conn *c, int code)
{
	if (c->ended)
		return;
	c->ended = true;
	c->due = notice::error;
	c->uc.error_code = code;
	conn_close_socket(c);
	uloop_timeout_cancel(&c->limit);
	conn_arm(c);
}

void conn_reset_exchange(conn *c)
{
	uloop_timeout_cancel(&c->notify);
	uloop_timeout_cancel(&c->limit);
	achttp::response_init(&c->resp, strcmp(c->method, "HEAD") == 0);
	c->headers_reported = false;
	c->new_body = false;
	c->body_off = c->body_len = c->raw_off = c->raw_len = 0;
	c->peer_closed = false;
	c->parse_done = false;
	c->ended = false;
	c->due = notice::none;
	c->sent_notice = false;
	c->out.len = 0;
	c->out_off = 0;
	c->uc.eof = false;
	c->uc.data_eof = false;
	c->uc.error_code = 0;
	c->uc.status_code = 0;
}

void conn_connected(conn *c)
{
	c->connecting = false;
	c->connected = true;
	socklen_t len = sizeof(c->uc.local_addr);
	if (getsockname(c->fd.fd, &c->uc.local_addr.sa, &len) < 0)
		memset(&c->uc.local_addr, 0, sizeof(c->uc.local_addr));
	len = sizeof(c->uc.remote_addr);
	union achttp_addr peer;
	if (getpeername(c->fd.fd, &peer.sa, &len) == 0)
		c->uc.remote_addr = peer;
}

void conn_fd_cb(uloop_fd *u, unsigned int events);
void conn_notify_cb(uloop_timeout *t);
void conn_limit_cb(uloop_timeout *t);

void conn_start_connect(conn *c)
{
	c->connect_called = true;
	memset(&c->uc.local_addr, 0, sizeof(c->uc.local_addr));
	memset(&c->uc.remote_addr, 0, sizeof(c->uc.remote_addr));
	if (c->timeout_ms > 0)
		uloop_timeout_set(&c->limit, c->timeout_ms);

	// Literal addresses only: the resolver would block the whole loop for as
	// long as a name server takes not to answer.
	addrinfo hints = {};
	hints.ai_socktype = SOCK_STREAM;
	hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
	addrinfo *res = nullptr;
	const char *port = c->uc.url->port ? c->uc.url->port : "80";
	if (getaddrinfo(c->uc.url->host, port, &hints, &res) != 0)
		res = nullptr;
	if (!res || res->ai_addrlen > sizeof(c->uc.remote_addr)) {
		if (res)
			freeaddrinfo(res);
		conn_fail(c, ACHTTP_ERROR_CONNECT);
		return;
	}
	memcpy(&c->uc.remote_addr, res->ai_addr, res->ai_addrlen);
	int s = socket(res->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	int rc = s < 0 ? -1 : connect(s, res->ai_addr, res->ai_addrlen);
	int err = errno;
	freeaddrinfo(res);
	if (s < 0) {
		conn_fail(c, ACHTTP_ERROR_CONNECT);
		return;
	}
	c->fd.fd = s;
	if (rc == 0) {
		conn_connected(c);
	} else if (err == EINPROGRESS) {
		c->connecting = true;
	} else {
		conn_fail(c, ACHTTP_ERROR_CONNECT);
		return;
	}
	conn_update_events(c);
}

void conn_queue_request(conn *c)
{
	c->out.len = 0;
	c->out_off = 0;
	if (!achttp::request_compose(&c->out, c->method, c->uc.url, &c->headers, c->headers_have_length,
				     &c->body))
		conn_fail(c, ACHTTP_ERROR_NO_MEMORY);
}

bool conn_flush(conn *c)
{
	while (c->out_off < c->out.len) {
		ssize_t n = send(c->fd.fd, c->out.data + c->out_off, c->out.len - c->out_off, MSG_NOSIGNAL);
		if (n > 0) {
			c->out_off += n;
		} else if (n < 0 && errno == EINTR) {
			continue;
		} else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
			return true;
		} else {
			conn_fail(c, ACHTTP_ERROR_CONNECT);
			return false;
		}
	}
	achttp::bytes_free(&c->out);
	c->out_off = 0;
	c->sent_notice = true;
	conn_arm(c);
	return true;
}

void conn_compact(conn *c)
{
	if (c->body_off)
		memmove(c->rx, c->rx + c->body_off, c->body_len);
	c->body_off = 0;
	if (c->raw_off != c->body_len)
		memmove(c->rx + c->body_len, c->rx + c->raw_off, c->raw_len);
	c->raw_off = c->body_len;
}

void conn_receive(conn *c)
{
	bool got = false;
	while (!c->peer_closed && !c->parse_done && conn_rx_free(c)) {
		if (c->raw_off + c->raw_len == conn_rx_size)
			conn_compact(c);
		size_t at = c->raw_off + c->raw_len;
		ssize_t n = recv(c->fd.fd, c->rx + at, conn_rx_size - at, 0);
		if (n > 0) {
			c->raw_len += n;
			got = true;
		} else if (n < 0 && errno == EINTR) {
			continue;
		} else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
			break;
		} else {
			// orderly close or reset: whatever arrived is still handled
			c->peer_closed = true;
		}
	}
	if (got || c->peer_closed)
		conn_arm(c);
}

void conn_fd_cb(uloop_fd *u, unsigned int events)
{
	conn *c = container_of(u, conn, fd);
	if (c->connecting) {
		int err = 0;
		socklen_t len = sizeof(err);
		if (getsockopt(u->fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
			err = errno;
		if (err || (u->error && !(events & ULOOP_WRITE))) {
			conn_fail(c, ACHTTP_ERROR_CONNECT);
			return;
		}
		if (!(events & ULOOP_WRITE)) {
			conn_update_events(c);
			return;
		}
		conn_connected(c);
	}
	if (c->connected && c->out_off < c->out.len && !conn_flush(c))
		return;
	if (c->connected && ((events & ULOOP_READ) || u->eof || u->error))
		conn_receive(c);
	conn_update_events(c);
}

void conn_deliver_eof(conn *c)
{
	c->ended = true;
	c->uc.eof = true;
	uloop_timeout_cancel(&c->limit);
	conn_update_events(c);
	const achttp_cb *cb = c->uc.cb;
	if (cb->data_eof)
		conn_run(c, [&] { cb->data_eof(&c->uc); });
}

// Parses what arrived and runs the callbacks that are due, in order.
void conn_pump(conn *c)
{
	const achttp_cb *cb = c->uc.cb;
	achttp_client *cl = &c->uc;
	if (c->due == notice::error) {
		c->due = notice::none;
		c->uc.eof = true;
		if (cb->error)
			conn_run(c, [&] { cb->error(cl, cl->error_code); });
		return;
	}
	if (c->ended)
		return;
	if (c->sent_notice) {
		c->sent_notice = false;
		if (cb->data_sent && !conn_run(c, [&] { cb->data_sent(cl); }))
			return;
	}

	while (!c->parse_done) {
		size_t used, blen;
		const char *b;
		step s = achttp::response_step(&c->resp, c->rx + c->raw_off, c->raw_len, &used, &b, &blen);
		if (s == step::body) {
			// decoding never outruns the input, so this only moves bytes down
			memmove(c->rx + c->body_off + c->body_len, b, blen);
			c->body_len += blen;
			c->new_body = true;
		}
		c->raw_off += used;
		c->raw_len -= used;
		if (s == step::more)
			break;
		if (s == step::error) {
			conn_fail(c, ACHTTP_ERROR_BAD_RESPONSE);
			return;
		}
		if (s == step::headers) {
			c->headers_reported = true;
			cl->status_code = c->resp.status;
			if (c->resp.kind == achttp::body_kind::none)
				cl->data_eof = true;
			if (cb->header_done && !conn_run(c, [&] { cb->header_done(cl); }))
				return;
			continue;
		}
		if (s == step::end) {
			// Bytes past the announced end (a line break some servers add)
			// belong to no answer: dropped, as they are when they come later.
			c->raw_len = 0;
			c->parse_done = true;
			if (c->resp.kind != achttp::body_kind::none)
				c->new_body = true; // a read now sees the end
		}
	}

	if (c->peer_closed && !c->parse_done) {
		if (!achttp::response_headers_done(&c->resp)) {
			conn_fail(c, c->resp.started ? ACHTTP_ERROR_BAD_RESPONSE : ACHTTP_ERROR_CONNECT);
			return;
		}
		if (achttp::response_body_done(&c->resp)) {
			// cut off among the trailer lines: the body itself is whole
			c->parse_done = true;
			c->new_body = true;
		}
	}

	if (c->new_body && c->headers_reported && c->resp.kind != achttp::body_kind::none) {
		c->new_body = false;
		if (cb->data_read && !conn_run(c, [&] { cb->data_read(cl); }))
			return;
	}
	if (c->ended)
		return;

	if (c->parse_done && !c->body_len) {
		cl->data_eof = true;
		conn_deliver_eof(c);
	} else if (c->peer_closed) {
		conn_deliver_eof(c);
	} else {
		conn_update_events(c);
	}
}

void conn_notify_cb(uloop_timeout *t)
{
	conn_pump(container_of(t, conn, notify));
}

void conn_limit_cb(uloop_timeout *t)
{
	conn_fail(container_of(t, conn, limit), ACHTTP_ERROR_TIMEDOUT);
}

void conn_destroy(conn *c)
{
	conn_close_socket(c);
	uloop_timeout_cancel(&c->notify);
	uloop_timeout_cancel(&c->limit);
	achttp::url_free(c->uc.url);
	achttp::bytes_free(&c->headers);
	achttp::bytes_free(&c->body);
	achttp::bytes_free(&c->out);
	free(c);
}

bool conn_host_is_address(const char *host)
{
	unsigned char a[sizeof(struct in6_addr)];
	return inet_pton(AF_INET, host, a) == 1 || inet_pton(AF_INET6, host, a) == 1;
}

bool conn_is_redirect(int status)
{
	return status == 301 || status == 302 || status == 307 || status == 308;
}

} // namespace

achttp_client *achttp_new(const char *url, const achttp_cb *cb)
{
	achttp_url *u = achttp::url_parse(url);
	if (!u)
		return nullptr;
	auto *c = static_cast<conn *>(calloc(1, sizeof(conn)));
	if (!c) {
		achttp::url_free(u);
		return nullptr;
	}
	c->uc.cb = cb ? cb : &conn_no_callbacks;
	c->uc.url = u;
	c->fd.fd = -1;
	c->fd.cb = conn_fd_cb;
	c->notify.cb = conn_notify_cb;
	c->limit.cb = conn_limit_cb;
	strcpy(c->method, "GET");
	achttp::response_init(&c->resp, false);
	return &c->uc;
}

int achttp_connect(achttp_client *cl)
{
	if (!cl)
		return -1;
	conn *c = conn_of(cl);
	conn_close_socket(c);
	conn_reset_exchange(c);
	c->request_done = false;
	achttp::bytes_free(&c->body);
	conn_start_connect(c);
	return 0;
}

int achttp_set_request_type(achttp_client *cl, const char *type)
{
	if (!cl || !type)
		return -1;
	conn *c = conn_of(cl);
	if (c->request_done || !achttp::method_known(type))
		return -1;
	strcpy(c->method, type);
	c->resp.head_request = strcmp(type, "HEAD") == 0;
	return 0;
}

int achttp_set_header(achttp_client *cl, const char *name, const char *value)
{
	if (!cl || !name || !value)
		return -1;
	conn *c = conn_of(cl);
	if (c->request_done || !achttp::header_name_ok(name) || !achttp::header_value_ok(value))
		return -1;
	size_t nlen = strlen(name), vlen = strlen(value);
	if (c->headers.len + nlen + vlen + 4 > conn_headers_max)
		return -1;
	size_t mark = c->headers.len;
	if (!achttp::bytes_append(&c->headers, name, nlen) || !achttp::bytes_append(&c->headers, ": ", 2) ||
	    !achttp::bytes_append(&c->headers, value, vlen) || !achttp::bytes_append(&c->headers, "\r\n", 2)) {
		c->headers.len = mark;
		return -1;
	}
	if (strcasecmp(name, "Content-Length") == 0)
		c->headers_have_length = true;
	return 0;
}

int achttp_write(achttp_client *cl, const char *buf, int len)
{
	if (!cl || len < 0 || (!buf && len))
		return -1;
	conn *c = conn_of(cl);
	if (c->request_done || !achttp::bytes_append(&c->body, buf, len))
		return -1;
	return len;
}

int achttp_request(achttp_client *cl)
{
	if (!cl)
		return -1;
	conn *c = conn_of(cl);
	if (c->request_done || !c->connect_called)
		return -1;
	c->request_done = true;
	if (!c->ended) {
		conn_queue_request(c);
		conn_update_events(c);
	}
	return 0;
}

int achttp_read(achttp_client *cl, char *buf, int len)
{
	if (!cl || !buf || len <= 0)
		return 0;
	conn *c = conn_of(cl);
	size_t n = c->body_len < static_cast<size_t>(len) ? c->body_len : static_cast<size_t>(len);
	memcpy(buf, c->rx + c->body_off, n);
	c->body_off += n;
	c->body_len -= n;
	if (c->parse_done && !c->body_len && !cl->data_eof && !c->ended) {
		cl->data_eof = true;
		conn_arm(c);
	}
	if (n)
		conn_update_events(c); // room again: resume reading
	return static_cast<int>(n);
}

int achttp_redirect(achttp_client *cl)
{
	if (!cl)
		return 0;
	conn *c = conn_of(cl);
	if (c->ended || !c->headers_reported || !conn_is_redirect(cl->status_code) || !c->resp.has_location)
		return 0;
	achttp_url *url = achttp::url_resolve(cl->url, c->resp.location);
	if (!url)
		return 0;
	if (!conn_host_is_address(url->host)) {
		achttp::url_free(url);
		return -1;
	}
	achttp::url_free(cl->url);
	cl->url = url;
	conn_close_socket(c);
	conn_reset_exchange(c);
	conn_start_connect(c);
	if (c->request_done && !c->ended) {
		conn_queue_request(c);
		conn_update_events(c);
	}
	return 1;
}

void achttp_disconnect(achttp_client *cl)
{
	if (!cl)
		return;
	conn *c = conn_of(cl);
	conn_close_socket(c);
	uloop_timeout_cancel(&c->notify);
	uloop_timeout_cancel(&c->limit);
	c->ended = true;
	c->due = notice::none;
}

void achttp_free(achttp_client *cl)
{
	if (!cl)
		return;
	conn *c = conn_of(cl);
	if (c->depth) {
		achttp_disconnect(cl);
		c->free_pending = true;
		return;
	}
	conn_destroy(c);
}

int achttp_set_timeout(achttp_client *cl, int msecs)
{
	if (!cl || msecs < 0)
		return -1;
	conn *c = conn_of(cl);
	c->timeout_ms = msecs;
	if ((c->connecting || c->connected) && !c->ended) {
		if (msecs)
			uloop_timeout_set(&c->limit, msecs);
		else
			uloop_timeout_cancel(&c->limit);
	}
	return 0;
}

int achttp_fd(const achttp_client *cl)
{
	if (!cl)
		return -1;
	return reinterpret_cast<const conn *>(cl)->fd.fd;
}

char *achttp_get_addr(char *dest, int *port, const union achttp_addr *a)
{
	const void *where = nullptr;
	int p = 0;
	if (a->sa.sa_family == AF_INET) {
		where = &a->sin.sin_addr;
		p = ntohs(a->sin.sin_port);
	} else if (a->sa.sa_family == AF_INET6) {
		where = &a->sin6.sin6_addr;
		p = ntohs(a->sin6.sin6_port);
	}
	if (!where || !inet_ntop(a->sa.sa_family, where, dest, INET6_ADDRSTRLEN)) {
		strcpy(dest, "Unknown");
		p = 0;
	}
	if (port)
		*port = p;
	return dest;
}
