// The control channel: a unix stream socket; each line a client writes is one
// JSON request {"cmd": ...}, answered by one line of JSON ({"ok": true, ...} or
// {"ok": false, "error": "..."}).
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "apsim.hpp"

namespace apsim {
namespace {
struct Client {
	int fd;
	std::string in;
};

json_object *ap_summary(const Ap &ap)
{
	json_object *o = json_object_new_object();
	json_object_object_add(o, "index", json_object_new_int(ap.index));
	json_object_object_add(o, "mac", json_object_new_string(mac_text(ap.mac).c_str()));
	json_object_object_add(o, "ip", json_object_new_string(ap.ip_str().c_str()));
	json_object_object_add(o, "prefix", json_object_new_int(ap.prefix));
	json_object_object_add(o, "boot", json_object_new_boolean(ap.boot));
	json_object_object_add(o, "silent", json_object_new_boolean(ap.silent));
	json_object_object_add(o, "log", json_object_new_boolean(ap.log_on));
	json_object_object_add(o, "rx", json_object_new_int64(int64_t(ap.rx_count)));
	json_object_object_add(o, "tx", json_object_new_int64(int64_t(ap.tx_count)));
	return o;
}

json_object *cmd_ping(Sim &, json_object *, std::string &) { return jobj_ok(); }

json_object *cmd_list(Sim &sim, json_object *, std::string &)
{
	json_object *r = jobj_ok();
	json_object *a = json_object_new_array();
	for (auto &ap : sim.aps)
		json_object_array_add(a, ap_summary(*ap));
	json_object_object_add(r, "aps", a);
	return r;
}

json_object *cmd_stats(Sim &sim, json_object *, std::string &)
{
	json_object *r = jobj_ok();
	json_object_object_add(r, "aps", json_object_new_int(int(sim.aps.size())));
	json_object_object_add(r, "rx", json_object_new_int64(int64_t(sim.total_rx)));
	json_object_object_add(r, "tx", json_object_new_int64(int64_t(sim.total_tx)));
	json_object_object_add(r, "tx_errors", json_object_new_int64(int64_t(sim.tx_errors)));
	return r;
}

// {"cmd":"set","ap":SEL, "boot":b, "silent":b, "log":b, "ip":"a.b.c.d/p",
//  "settings":{...} (replaces), other keys: stored in the AP's configuration,
//  e.g. "corrupt": "magic" (corrupt.cpp)}
json_object *cmd_set(Sim &sim, json_object *req, std::string &err)
{
	auto targets = sim.select(jget(req, "ap"), err);
	if (targets.empty())
		return nullptr;
	if (jget(req, "ip") && targets.size() != 1) {
		err = "\"ip\" needs exactly one AP";
		return nullptr;
	}
	if (json_object *s = jget(req, "settings")) {
		std::vector<Tlv> check;
		if (!settings_to_tlvs(s, check, err))
			return nullptr;
	}
	for (Ap *ap : targets) {
		json_object_object_foreach(req, key, val)
		{
			if (!strcmp(key, "cmd") || !strcmp(key, "ap"))
				continue;
			if (!strcmp(key, "boot")) {
				ap->boot = json_object_get_boolean(val);
			} else if (!strcmp(key, "silent")) {
				ap->silent = json_object_get_boolean(val);
			} else if (!strcmp(key, "log")) {
				ap->log_on = json_object_get_boolean(val);
			} else if (!strcmp(key, "ip")) {
				std::string cidr = json_object_get_string(val);
				int prefix = ap->prefix;
				auto slash = cidr.find('/');
				if (slash != std::string::npos) {
					prefix = atoi(cidr.c_str() + slash + 1);
					cidr.resize(slash);
				}
				in_addr a;
				if (!inet_aton(cidr.c_str(), &a) || prefix < 1 || prefix > 32) {
					err = "bad \"ip\"";
					return nullptr;
				}
				if (!sim.set_address(*ap, a, prefix, err))
					return nullptr;
				continue;
			}
			json_object *copy = nullptr;
			if (val)
				json_object_deep_copy(val, &copy, nullptr);
			json_object_object_add(ap->conf, key, copy);
		}
	}
	return jobj_ok();
}

// {"cmd":"log","ap":SEL,"clear":b}: the messages the AP heard, oldest first.
json_object *cmd_log(Sim &sim, json_object *req, std::string &err)
{
	Ap *ap = sim.select_one(req, "log", err);
	if (!ap)
		return nullptr;
	json_object *r = jobj_ok();
	log_report(r, "log", ap->log, jbool(req, "clear", false));
	return r;
}

json_object *cmd_clear_log(Sim &sim, json_object *req, std::string &err)
{
	auto targets = sim.select(jget(req, "ap"), err);
	if (targets.empty())
		return nullptr;
	for (Ap *ap : targets) {
		for (json_object *e : ap->log)
			json_object_put(e);
		ap->log.clear();
	}
	return jobj_ok();
}

json_object *cmd_quit(Sim &sim, json_object *, std::string &)
{
	sim.loop.stop();
	return jobj_ok();
}

APSIM_CONTROL("ping", cmd_ping);
APSIM_CONTROL("list", cmd_list);
APSIM_CONTROL("stats", cmd_stats);
APSIM_CONTROL("set", cmd_set);
APSIM_CONTROL("log", cmd_log);
APSIM_CONTROL("clear_log", cmd_clear_log);
APSIM_CONTROL("quit", cmd_quit);

std::string handle_line(Sim &sim, const std::string &line)
{
	json_object *req = json_tokener_parse(line.c_str());
	json_object *reply = nullptr;
	std::string err;
	if (!req || !json_object_is_type(req, json_type_object)) {
		reply = jobj_err("a JSON object expected");
	} else {
		const char *cmd = jstr(req, "cmd", "");
		auto it = control_handlers().find(cmd);
		if (it == control_handlers().end()) {
			reply = jobj_err(std::string("unknown command \"") + cmd + "\"");
		} else {
			reply = it->second(sim, req, err);
			if (!reply)
				reply = jobj_err(err.empty() ? "failed" : err);
		}
	}
	std::string out = json_object_to_json_string_ext(reply, JSON_C_TO_STRING_PLAIN);
	json_object_put(reply);
	json_object_put(req);
	return out + "\n";
}

void write_all(int fd, const std::string &s)
{
	size_t off = 0;
	while (off < s.size()) {
		ssize_t n = write(fd, s.data() + off, s.size() - off);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return;
		off += size_t(n);
	}
}
} // namespace

bool control_start(Sim &sim, const std::string &path, std::string &err)
{
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_un addr{};
	addr.sun_family = AF_UNIX;
	if (path.size() >= sizeof addr.sun_path) {
		err = "control path too long";
		return false;
	}
	strcpy(addr.sun_path, path.c_str());
	unlink(path.c_str());
	if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || listen(fd, 16) < 0) {
		err = "control socket " + path + ": " + strerror(errno);
		return false;
	}
	sim.loop.add_fd(fd, [&sim, fd](uint32_t) {
		int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
		if (c < 0)
			return;
		auto client = std::make_shared<Client>(Client{c, {}});
		sim.loop.add_fd(c, [&sim, client](uint32_t) {
			char buf[65536];
			ssize_t n = read(client->fd, buf, sizeof buf);
			if (n <= 0) {
				sim.loop.del_fd(client->fd);
				close(client->fd);
				return;
			}
			client->in.append(buf, size_t(n));
			size_t nl;
			while ((nl = client->in.find('\n')) != std::string::npos) {
				std::string line = client->in.substr(0, nl);
				client->in.erase(0, nl + 1);
				// Writes block: replies are small, and the client waits for them.
				write_all(client->fd, handle_line(sim, line));
			}
		});
	});
	return true;
}

} // namespace apsim
