#pragma once
// The bus daemon's logic: clients, objects, types, lookups and call routing.
// No sockets here: complete messages go in, addressed messages come out.
#include <cstdint>
#include <map>
#include <set>
#include <string>
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
	// The connection is gone: its objects go, callers waiting on them are answered.
	void disconnect(uint32_t client);
	// One complete frame from a client. False: the frame is malformed and the
	// client should be dropped.
	bool receive(uint32_t client, const uint8_t *p, size_t len);

	// Messages produced so far, in order; the queue is emptied.
	std::vector<Outgoing> take();

	size_t object_count() const { return objects_.size(); }
	size_t inflight_count() const { return inflight_.size(); }

	// status sent to a caller whose call can no longer be answered
	static constexpr int kOwnerGoneStatus = UBUS_STATUS_NO_DATA;

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

	void send_lookup_entry(uint32_t client, const ubus_wire::Header &req, const Object &o);
	// drops an object; returns true when its type went with it
	bool remove_object(uint32_t id);
	// answers every forwarded call that matches, with kOwnerGoneStatus
	void fail_calls(uint32_t owner, uint32_t object);

	RandomFn rnd_;
	void *rnd_ctx_;
	std::unordered_map<uint32_t, Client> clients_;
	std::map<uint32_t, Object> objects_;
	std::map<std::string, uint32_t> paths_; // byte order of paths
	std::map<uint32_t, Type> types_;
	std::map<CallKey, uint32_t> inflight_;
	std::set<uint32_t> client_ids_, object_ids_, type_ids_;
	std::vector<Outgoing> out_;
};

} // namespace ubusd
