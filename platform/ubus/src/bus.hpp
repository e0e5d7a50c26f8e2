#pragma once
// The bus daemon's logic: clients, objects, types, lookups and call routing.
// No sockets here: complete messages go in, addressed messages come out.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "wire.hpp"

namespace ubusd {

struct Outgoing {
	uint32_t client;
	std::vector<uint8_t> bytes;
};

// Source of the random 32-bit values ids are drawn from.
using RandomFn = uint32_t (*)(void *ctx);

class Bus {
public:
	Bus(RandomFn rnd, void *rnd_ctx) : rnd_(rnd), rnd_ctx_(rnd_ctx) {}

	// A new connection: returns its client id and queues the HELLO.
	uint32_t connect(std::string user, std::string group);
	// The connection is gone: its objects go. Callers waiting on them are not
	// answered: like the platform's daemon, the bus leaves them to time out.
	void disconnect(uint32_t client);
	// One complete frame from a client. False: the frame is malformed and the
	// client should be dropped.
	bool receive(uint32_t client, const uint8_t *p, size_t len);

	// Messages produced so far, in order; the queue is emptied.
	std::vector<Outgoing> take();

	size_t object_count() const { return objects_.size(); }
	size_t inflight_count() const { return inflight_.size(); }
	size_t pattern_count() const { return patterns_.size(); }
	size_t subscription_count() const { return subs_.size(); }

private:
	struct Client {
		uint32_t id;
		std::string user;
		std::string group;
		std::set<uint32_t> objects;
	};
	struct Type {
		uint32_t id;
		std::vector<uint8_t> signature; // payload of the SIGNATURE attribute
		unsigned refs;
	};
	struct Object {
		uint32_t id;
		uint32_t owner;
		std::string path; // empty: anonymous
		uint32_t type;    // 0: none (never listed)
	};
	// a forwarded call: (caller, seq, object) -> owner
	using CallKey = std::tuple<uint32_t, uint16_t, uint32_t>;

	uint32_t new_id(const std::set<uint32_t> &used_ids) const;
	void send(uint32_t client, std::vector<uint8_t> bytes);
	void send_status(uint32_t client, const ubus_wire::Header &req, int status);

	void cmd_ping(Client &c, const ubus_wire::Message &m);
	void cmd_lookup(Client &c, const ubus_wire::Message &m);
	void cmd_add_object(Client &c, const ubus_wire::Message &m);
	void cmd_remove_object(Client &c, const ubus_wire::Message &m);
	void cmd_invoke(Client &c, const ubus_wire::Message &m);
	void owner_reply(Client &c, const ubus_wire::Message &m, const uint8_t *raw);
	void cmd_subscribe(Client &c, const ubus_wire::Message &m);
	void cmd_notify(Client &c, const ubus_wire::Message &m);

	// the event object (id 1): "register" and "send"
	void event_invoke(Client &c, const ubus_wire::Message &m);
	int event_register(Client &c, const uint8_t *data);
	int event_send(const uint8_t *data);
	// forwards an event to every listener object with a matching pattern;
	// data: the members of the event's table
	void emit_event(std::string_view id, const uint8_t *data, size_t len);
	void emit_object_event(const char *id, const Object &o);
	// tells the owner of target whether it has subscribers
	void notify_active(uint32_t target, bool active);

	void send_lookup_entry(uint32_t client, const ubus_wire::Header &req, const Object &o);
	// drops an object; returns true when its type went with it
	bool remove_object(uint32_t id);
	// forgets the forwarded calls that match; their callers time out
	void forget_calls(uint32_t owner, uint32_t object);

	RandomFn rnd_;
	void *rnd_ctx_;
	std::unordered_map<uint32_t, Client> clients_;
	std::map<uint32_t, Object> objects_;
	std::map<std::string, uint32_t> paths_; // byte order of paths
	std::map<uint32_t, Type> types_;
	std::map<CallKey, uint32_t> inflight_;
	// event patterns: listener object -> text before a trailing '*' and
	// whether it was there
	std::multimap<uint32_t, std::pair<std::string, bool>> patterns_;
	// subscriptions: (target, subscriber object)
	std::set<std::pair<uint32_t, uint32_t>> subs_;
	uint16_t event_seq_ = 0;
	std::set<uint32_t> client_ids_, object_ids_, type_ids_;
	std::vector<Outgoing> out_;
};

} // namespace ubusd
