// Every simulated AP serves HTTP/1.1 on port 80 of its own address (one
// listening socket per AP, rebound when its address or "listen" switch
// changes). Requests are recorded byte for byte; answers follow the AP's "http"
// switches (see http.hpp).
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include <arpa/inet.h>
#include <strings.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "http.hpp"

namespace apsim {
namespace {

constexpr size_t head_max = 64 * 1024;
constexpr size_t body_max = 4 * 1024 * 1024;
constexpr int reconcile_ms = 200;

struct HttpAp {
	int listen_fd = -1;
	in_addr bound{};
	std::deque<json_object *> log; // owned, oldest first
	std::string failure; // why the listener could not be opened, printed once
	int open = 0;
	uint64_t accepted = 0, requests = 0, answered = 0;

	HttpAp() = default;
	HttpAp(const HttpAp &) = delete;
	HttpAp &operator=(const HttpAp &) = delete;
	// The table lives until exit; its entries go with it.
	~HttpAp()
	{
		for (json_object *e : log)
			json_object_put(e);
	}
};

struct Conn {
	int fd = -1;
	Ap *ap = nullptr;
	std::string peer;
	std::string in, out;
	bool closing = false;     // close once out is flushed
	bool waiting = false;     // an answer is due after a delay
	bool never = false;       // the AP ignores this connection from now on
	uint64_t timer = 0;
	json_object *last = nullptr; // the last request logged (a reference)

	Conn() = default;
	Conn(const Conn &) = delete;
	Conn &operator=(const Conn &) = delete;
	// Connections still open at exit hold their reference until here.
	~Conn()
	{
		if (last)
			json_object_put(last);
	}
};

struct Server {
	Sim *sim = nullptr;
	std::unordered_map<Ap *, HttpAp> aps;
	std::unordered_map<int, std::shared_ptr<Conn>> conns;
};

Server server;

json_object *switches(const Ap &ap)
{
	return jget(ap.conf, "http");
}

int switch_int(const Ap &ap, const char *key, int def)
{
	json_object *v = jget(switches(ap), key);
	return v ? json_object_get_int(v) : def;
}

std::string switch_str(const Ap &ap, const char *key, const char *def)
{
	return jstr(switches(ap), key, def);
}

const char *reason(int status)
{
	switch (status) {
	case 200: return "OK";
	case 204: return "No Content";
	case 301: return "Moved Permanently";
	case 302: return "Found";
	case 400: return "Bad Request";
	case 404: return "Not Found";
	case 405: return "Method Not Allowed";
	case 500: return "Internal Server Error";
	case 503: return "Service Unavailable";
	default: return "Status";
	}
}

void conn_close(const std::shared_ptr<Conn> &c)
{
	if (c->fd < 0)
		return;
	server.sim->loop.del_fd(c->fd);
	close(c->fd);
	server.conns.erase(c->fd);
	c->fd = -1;
	if (c->timer)
		server.sim->loop.cancel_timer(c->timer);
	c->timer = 0;
	if (c->last)
		json_object_put(c->last);
	c->last = nullptr;
	server.aps[c->ap].open--;
}

void conn_flush(const std::shared_ptr<Conn> &c)
{
	while (!c->out.empty()) {
		ssize_t n = send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL);
		if (n > 0) {
			c->out.erase(0, size_t(n));
		} else if (n < 0 && errno == EINTR) {
			continue;
		} else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
			server.sim->loop.mod_fd(c->fd, EPOLLIN | EPOLLOUT);
			return;
		} else {
			conn_close(c);
			return;
		}
	}
	server.sim->loop.mod_fd(c->fd, EPOLLIN);
	if (c->closing)
		conn_close(c);
}

std::string hex_len(size_t n)
{
	char b[20];
	snprintf(b, sizeof b, "%zx", n);
	return b;
}

// The answer to one request, framed as the AP's switches say.
void conn_answer(const std::shared_ptr<Conn> &c, const std::string &path, const std::string &body)
{
	Ap &ap = *c->ap;
	std::string moved = switch_str(ap, "redirect", "");
	if (!moved.empty() && path != moved) {
		std::string host = switch_str(ap, "redirect_host", "");
		c->out += "HTTP/1.1 302 Found\r\nLocation: http://" + (host.empty() ? ap.ip_str() : host) +
			  moved + "\r\nContent-Length: 0\r\n\r\n";
		conn_flush(c);
		return;
	}
	RpcAnswer a = rpc_answer(ap, moved.empty() ? path : "", body);
	if (json_object *fixed = jget(switches(ap), "body"))
		a.body = json_object_get_string(fixed);
	if (int nest = switch_int(ap, "nest", 0); nest > 0) {
		json_object *req = json_tokener_parse(body.c_str());
		json_object *id = req ? jget(req, "id") : nullptr;
		std::string idText = id ? json_object_to_json_string(id) : "null";
		json_object_put(req);
		a.body = "{\"jsonrpc\":\"2.0\",\"id\":" + idText + ",\"result\":" + std::string(size_t(nest), '[') +
			 "0" + std::string(size_t(nest), ']') + "}";
	}
	int status = switch_int(ap, "status", a.status);
	std::string framing = switch_str(ap, "framing", "length");
	std::string mode = switch_str(ap, "mode", "answer");
	if (status == 204 || status == 304)
		a.body.clear();

	std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
	head += "Content-Type: application/json\r\n";
	std::string payload;
	if (mode == "close_early") {
		head += "Content-Length: " + std::to_string(a.body.size()) + "\r\n\r\n";
		payload = a.body.substr(0, a.body.size() / 2);
		c->closing = true;
	} else if (status == 204 || status == 304) {
		head += "\r\n";
	} else if (framing == "chunked") {
		head += "Transfer-Encoding: chunked\r\n\r\n";
		// Two chunks, so a body is never one read.
		size_t half = a.body.size() / 2;
		for (const std::string &part : {a.body.substr(0, half), a.body.substr(half)})
			if (!part.empty())
				payload += hex_len(part.size()) + "\r\n" + part + "\r\n";
		payload += "0\r\n\r\n";
	} else if (framing == "close") {
		head += "Connection: close\r\n\r\n";
		payload = a.body;
		c->closing = true;
	} else {
		head += "Content-Length: " + std::to_string(a.body.size()) + "\r\n\r\n";
		payload = a.body;
	}
	server.aps[c->ap].answered++;
	c->out += head + payload;
	conn_flush(c);
}

void conn_parse(const std::shared_ptr<Conn> &c);

// One complete request: record it, then answer (or not) as the switches say.
void conn_request(const std::shared_ptr<Conn> &c, const std::string &head, const std::string &body)
{
	HttpAp &h = server.aps[c->ap];
	h.requests++;
	size_t eol = head.find("\r\n");
	std::string line = head.substr(0, eol);
	json_object *e = json_object_new_object();
	json_object_object_add(e, "t", json_object_new_double(now_s()));
	json_object_object_add(e, "peer", json_object_new_string(c->peer.c_str()));
	json_object_object_add(e, "request_line", json_object_new_string(line.c_str()));
	json_object *hdrs = json_object_new_array();
	size_t pos = eol + 2;
	while (pos < head.size()) {
		size_t end = head.find("\r\n", pos);
		if (end == std::string::npos || end == pos)
			break;
		std::string l = head.substr(pos, end - pos);
		size_t colon = l.find(':');
		json_object *pair = json_object_new_array();
		std::string value = colon == std::string::npos ? "" : l.substr(colon + 1);
		value.erase(0, value.find_first_not_of(" \t") == std::string::npos ? value.size()
										: value.find_first_not_of(" \t"));
		json_object_array_add(pair, json_object_new_string(l.substr(0, colon).c_str()));
		json_object_array_add(pair, json_object_new_string(value.c_str()));
		json_object_array_add(hdrs, pair);
		pos = end + 2;
	}
	json_object_object_add(e, "headers", hdrs);
	json_object_object_add(e, "head", json_object_new_string_len(head.data(), int(head.size())));
	json_object_object_add(e, "body", json_object_new_string_len(body.data(), int(body.size())));
	json_object_object_add(e, "after", json_object_new_string(""));
	log_append(h.log, e, server.sim->log_limit);
	if (c->last)
		json_object_put(c->last);
	c->last = json_object_get(e);

	std::string mode = switch_str(*c->ap, "mode", "answer");
	if (mode == "never") {
		c->never = true;
		return;
	}
	if (mode == "drop") {
		conn_close(c);
		return;
	}
	std::string path;
	size_t sp1 = line.find(' '), sp2 = line.find(' ', sp1 + 1);
	if (sp1 != std::string::npos && sp2 != std::string::npos)
		path = line.substr(sp1 + 1, sp2 - sp1 - 1);
	if (line.compare(0, 5, "POST ") != 0) {
		c->out += "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n";
		conn_flush(c);
		return;
	}
	int delay = switch_int(*c->ap, "delay_ms", 0);
	if (delay > 0) {
		c->waiting = true;
		std::weak_ptr<Conn> weak = c;
		c->timer = server.sim->loop.add_timer(delay, [weak, path, body] {
			auto conn = weak.lock();
			if (!conn || conn->fd < 0)
				return;
			conn->timer = 0;
			conn->waiting = false;
			conn_answer(conn, path, body);
			if (conn->fd >= 0)
				conn_parse(conn);
		});
		return;
	}
	conn_answer(c, path, body);
}

void conn_parse(const std::shared_ptr<Conn> &c)
{
	while (c->fd >= 0 && !c->waiting && !c->in.empty()) {
		// Line ends between requests (the client ends its body with one).
		size_t skip = 0;
		while (skip < c->in.size() && (c->in[skip] == '\r' || c->in[skip] == '\n'))
			skip++;
		if (skip) {
			if (c->last) {
				json_object *after = jget(c->last, "after");
				std::string s = json_object_get_string(after) + c->in.substr(0, skip);
				json_object_object_add(c->last, "after", json_object_new_string(s.c_str()));
			}
			c->in.erase(0, skip);
			continue;
		}
		size_t end = c->in.find("\r\n\r\n");
		if (end == std::string::npos) {
			if (c->in.size() > head_max)
				conn_close(c);
			return;
		}
		std::string head = c->in.substr(0, end + 4);
		size_t length = 0;
		for (size_t p = head.find("\r\n"); p != std::string::npos && p + 2 < head.size();
		     p = head.find("\r\n", p + 2)) {
			if (strncasecmp(head.c_str() + p + 2, "Content-Length:", 15) == 0)
				length = strtoul(head.c_str() + p + 17, nullptr, 10);
		}
		if (length > body_max) {
			conn_close(c);
			return;
		}
		if (c->in.size() < head.size() + length)
			return;
		std::string body = c->in.substr(head.size(), length);
		c->in.erase(0, head.size() + length);
		conn_request(c, head, body);
	}
}

void conn_event(const std::shared_ptr<Conn> &c, uint32_t events)
{
	if (events & EPOLLOUT) {
		conn_flush(c);
		if (c->fd < 0)
			return;
	}
	if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
		return;
	char buf[16384];
	for (;;) {
		ssize_t n = recv(c->fd, buf, sizeof buf, 0);
		if (n > 0) {
			if (!c->never)
				c->in.append(buf, size_t(n));
			continue;
		}
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
			break;
		conn_close(c); // closed or reset by the client
		return;
	}
	conn_parse(c);
}

void on_accept(Ap *ap, int lfd)
{
	for (;;) {
		sockaddr_in from{};
		socklen_t len = sizeof from;
		int fd = accept4(lfd, reinterpret_cast<sockaddr *>(&from), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
		if (fd < 0)
			return;
		auto c = std::make_shared<Conn>();
		c->fd = fd;
		c->ap = ap;
		c->peer = ip_text(from.sin_addr) + ":" + std::to_string(ntohs(from.sin_port));
		HttpAp &h = server.aps[ap];
		h.open++;
		h.accepted++;
		server.conns[fd] = c;
		std::weak_ptr<Conn> weak = c;
		server.sim->loop.add_fd(fd, [weak](uint32_t ev) {
			if (auto conn = weak.lock())
				conn_event(conn, ev);
		});
	}
}

void close_listener(HttpAp &h)
{
	if (h.listen_fd < 0)
		return;
	server.sim->loop.del_fd(h.listen_fd);
	close(h.listen_fd);
	h.listen_fd = -1;
}

bool open_listener(Ap *ap, HttpAp &h, std::string &err)
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	int on = 1;
	setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(80);
	a.sin_addr = ap->ip;
	if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 || listen(fd, 128) < 0) {
		err = "HTTP on " + ap->ip_str() + ":80: " + strerror(errno);
		if (fd >= 0)
			close(fd);
		return false;
	}
	h.listen_fd = fd;
	h.bound = ap->ip;
	server.sim->loop.add_fd(fd, [ap, fd](uint32_t) { on_accept(ap, fd); });
	return true;
}

// Listeners follow each AP's address and "listen" switch.
bool reconcile(std::string &err)
{
	bool ok = true;
	for (auto &ap : server.sim->aps) {
		HttpAp &h = server.aps[ap.get()];
		json_object *listen = jget(switches(*ap), "listen");
		bool want = !listen || json_object_get_boolean(listen);
		if (h.listen_fd >= 0 && (!want || h.bound.s_addr != ap->ip.s_addr))
			close_listener(h);
		std::string why;
		if (want && h.listen_fd < 0 && !open_listener(ap.get(), h, why)) {
			ok = false;
			err = why;
			if (why != h.failure)
				fprintf(stderr, "apsim: %s\n", why.c_str());
		}
		h.failure = why;
	}
	return ok;
}

void reconcile_tick()
{
	std::string err;
	reconcile(err);
	server.sim->loop.add_timer(reconcile_ms, reconcile_tick);
}

// A listener that cannot be opened leaves that AP without HTTP (it is tried
// again on every tick) but does not stop the simulator.
bool http_start(Sim &sim, std::string &)
{
	server.sim = &sim;
	// A listener per AP and three connections each per poll run.
	rlimit lim;
	if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
		lim.rlim_cur = lim.rlim_max;
		setrlimit(RLIMIT_NOFILE, &lim);
	}
	reconcile_tick();
	return true;
}

// Merges req's members (but "cmd" and "ap") into the AP's configuration object
// `key`; a null member removes that switch.
json_object *merge_into(Sim &sim, json_object *req, const char *key, std::string &err)
{
	auto targets = sim.select(jget(req, "ap"), err);
	if (targets.empty())
		return nullptr;
	for (Ap *ap : targets) {
		json_object *obj = jget(ap->conf, key);
		if (!obj || !json_object_is_type(obj, json_type_object)) {
			obj = json_object_new_object();
			json_object_object_add(ap->conf, key, obj);
		}
		json_object_object_foreach(req, k, v)
		{
			if (!strcmp(k, "cmd") || !strcmp(k, "ap"))
				continue;
			if (!v) {
				json_object_object_del(obj, k);
				continue;
			}
			json_object *copy = nullptr;
			json_object_deep_copy(v, &copy, nullptr);
			json_object_object_add(obj, k, copy);
		}
	}
	if (!reconcile(err))
		return nullptr;
	return jobj_ok();
}

// {"cmd":"http","ap":SEL, switches...}
json_object *cmd_http(Sim &sim, json_object *req, std::string &err)
{
	return merge_into(sim, req, "http", err);
}

// {"cmd":"rpc","ap":SEL,"wlan_profile":...,"wlan_statistic":...,"sta_statistic":...}
json_object *cmd_rpc(Sim &sim, json_object *req, std::string &err)
{
	return merge_into(sim, req, "rpc", err);
}

// {"cmd":"http_log","ap":SEL,"clear":b}: requests the AP received, oldest first:
// {t, peer, request_line, headers: [[name, value]...], head, body, after}.
json_object *cmd_http_log(Sim &sim, json_object *req, std::string &err)
{
	Ap *one = sim.select_one(req, "http_log", err);
	if (!one)
		return nullptr;
	HttpAp &h = server.aps[one];
	json_object *r = jobj_ok();
	log_report(r, "log", h.log, jbool(req, "clear", false));
	return r;
}

// {"cmd":"http_stats"[,"ap":SEL]}: connections open now and counters per AP.
json_object *cmd_http_stats(Sim &sim, json_object *req, std::string &err)
{
	std::vector<Ap *> targets;
	if (jget(req, "ap")) {
		targets = sim.select(jget(req, "ap"), err);
		if (targets.empty())
			return nullptr;
	} else {
		for (auto &ap : sim.aps)
			targets.push_back(ap.get());
	}
	json_object *r = jobj_ok();
	json_object *a = json_object_new_array();
	int open = 0;
	for (Ap *ap : targets) {
		HttpAp &h = server.aps[ap];
		json_object *o = json_object_new_object();
		json_object_object_add(o, "index", json_object_new_int(ap->index));
		json_object_object_add(o, "ip", json_object_new_string(ap->ip_str().c_str()));
		json_object_object_add(o, "listening", json_object_new_boolean(h.listen_fd >= 0));
		json_object_object_add(o, "open", json_object_new_int(h.open));
		json_object_object_add(o, "accepted", json_object_new_int64(int64_t(h.accepted)));
		json_object_object_add(o, "requests", json_object_new_int64(int64_t(h.requests)));
		json_object_object_add(o, "answered", json_object_new_int64(int64_t(h.answered)));
		json_object_array_add(a, o);
		open += h.open;
	}
	json_object_object_add(r, "aps", a);
	json_object_object_add(r, "open", json_object_new_int(open));
	return r;
}

} // namespace

APSIM_MODULE("http", http_start);
APSIM_CONTROL("http", cmd_http);
APSIM_CONTROL("rpc", cmd_rpc);
APSIM_CONTROL("http_log", cmd_http_log);
APSIM_CONTROL("http_stats", cmd_http_stats);

} // namespace apsim
