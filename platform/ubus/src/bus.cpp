#include "bus.hpp"

#include <iterator>

namespace ubusd {

using namespace ubus_wire;

uint32_t Bus::new_id(const std::set<uint32_t> &used_ids) const
{
	for (;;) {
		uint32_t v = rnd_(rnd_ctx_);
		if (v >= UBUS_SYSTEM_OBJECT_MAX && !used_ids.count(v))
			return v;
	}
}

void Bus::send(uint32_t client, std::vector<uint8_t> bytes)
{
	out_.push_back(Outgoing{client, std::move(bytes)});
}

void Bus::send_status(uint32_t client, const Header &req, int status)
{
	Writer w(UBUS_MSG_STATUS, req.seq, req.peer);
	w.put_u32(UBUS_ATTR_STATUS, uint32_t(status));
	send(client, w.take());
}

std::vector<Outgoing> Bus::take()
{
	std::vector<Outgoing> v;
	v.swap(out_);
	return v;
}

uint32_t Bus::connect(std::string user, std::string group)
{
	uint32_t id = new_id(client_ids_);
	client_ids_.insert(id);
	clients_.emplace(id, Client{id, std::move(user), std::move(group), {}});
	send(id, Writer(UBUS_MSG_HELLO, 0, id).take());
	return id;
}

void Bus::disconnect(uint32_t client)
{
	auto it = clients_.find(client);
	if (it == clients_.end())
		return;
	// its own calls need no answer any more
	for (auto c = inflight_.begin(); c != inflight_.end();)
		c = std::get<0>(c->first) == client ? inflight_.erase(c) : std::next(c);
	fail_calls(client, 0);
	std::set<uint32_t> objs = it->second.objects;
	for (uint32_t id : objs)
		remove_object(id);
	client_ids_.erase(client);
	clients_.erase(it);
}

bool Bus::receive(uint32_t client, const uint8_t *p, size_t len)
{
	Message m;
	if (!parse_message(p, len, m))
		return false;
	auto it = clients_.find(client);
	if (it == clients_.end())
		return true;
	Client &c = it->second;
	switch (m.hdr.type) {
	case UBUS_MSG_PING:
		cmd_ping(c, m);
		break;
	case UBUS_MSG_LOOKUP:
		cmd_lookup(c, m);
		break;
	case UBUS_MSG_INVOKE:
		cmd_invoke(c, m);
		break;
	case UBUS_MSG_ADD_OBJECT:
		cmd_add_object(c, m);
		break;
	case UBUS_MSG_REMOVE_OBJECT:
		cmd_remove_object(c, m);
		break;
	case UBUS_MSG_STATUS:
	case UBUS_MSG_DATA:
		owner_reply(c, m, p);
		break;
	case UBUS_MSG_SUBSCRIBE:
	case UBUS_MSG_UNSUBSCRIBE:
	case UBUS_MSG_NOTIFY:
		// subscriptions are not offered by this daemon
		send_status(c.id, m.hdr, UBUS_STATUS_NOT_SUPPORTED);
		break;
	default:
		send_status(c.id, m.hdr, UBUS_STATUS_INVALID_COMMAND);
		break;
	}
	return true;
}

void Bus::cmd_ping(Client &c, const Message &m)
{
	Writer w(UBUS_MSG_DATA, m.hdr.seq, m.hdr.peer);
	w.put_bytes(attr_payload(m.blob), attr_payload_len(m.blob));
	send(c.id, w.take());
	send_status(c.id, m.hdr, UBUS_STATUS_OK);
}

void Bus::send_lookup_entry(uint32_t client, const Header &req, const Object &o)
{
	const Type &t = types_.at(o.type);
	Writer w(UBUS_MSG_DATA, req.seq, req.peer);
	w.put_string(UBUS_ATTR_OBJPATH, o.path);
	w.put_u32(UBUS_ATTR_OBJID, o.id);
	w.put_u32(UBUS_ATTR_OBJTYPE, o.type);
	w.put_raw(UBUS_ATTR_SIGNATURE, t.signature.data(), t.signature.size());
	send(client, w.take());
}

void Bus::cmd_lookup(Client &c, const Message &m)
{
	const uint8_t *pa = m.get(UBUS_ATTR_OBJPATH);
	if (!pa) {
		for (const auto &p : paths_) {
			const Object &o = objects_.at(p.second);
			if (o.type)
				send_lookup_entry(c.id, m.hdr, o);
		}
		send_status(c.id, m.hdr, UBUS_STATUS_OK);
		return;
	}
	std::string path = attr_string(pa);
	if (path.empty()) {
		send_status(c.id, m.hdr, UBUS_STATUS_INVALID_ARGUMENT);
		return;
	}
	bool found = false;
	if (path.back() == '*') {
		path.pop_back();
		for (auto p = paths_.lower_bound(path);
		     p != paths_.end() && p->first.compare(0, path.size(), path) == 0; ++p) {
			const Object &o = objects_.at(p->second);
			found = true;
			if (o.type)
				send_lookup_entry(c.id, m.hdr, o);
		}
	} else {
		auto p = paths_.find(path);
		if (p != paths_.end()) {
			const Object &o = objects_.at(p->second);
			found = true;
			if (o.type)
				send_lookup_entry(c.id, m.hdr, o);
		}
	}
	send_status(c.id, m.hdr, found ? UBUS_STATUS_OK : UBUS_STATUS_NOT_FOUND);
}

void Bus::cmd_add_object(Client &c, const Message &m)
{
	const uint8_t *pa = m.get(UBUS_ATTR_OBJPATH);
	std::string path;
	if (pa) {
		path = attr_string(pa);
		// an empty name could never be looked up; a taken one stays with its owner
		if (path.empty() || paths_.count(path)) {
			send_status(c.id, m.hdr, UBUS_STATUS_INVALID_ARGUMENT);
			return;
		}
	}

	uint32_t type = 0;
	bool new_type = false;
	if (const uint8_t *sig = m.get(UBUS_ATTR_SIGNATURE)) {
		// a malformed signature leaves the object without a type
		if (signature_valid(attr_payload(sig), attr_payload_len(sig))) {
			type = new_id(type_ids_);
			type_ids_.insert(type);
			types_.emplace(type, Type{type, std::vector<uint8_t>(attr_payload(sig),
									       attr_payload(sig) + attr_payload_len(sig)),
						  1});
			new_type = true;
		}
	} else if (const uint8_t *ta = m.get(UBUS_ATTR_OBJTYPE)) {
		auto t = types_.find(attr_u32(ta));
		if (t != types_.end()) {
			t->second.refs++;
			type = t->first;
		}
	}

	uint32_t id = new_id(object_ids_);
	object_ids_.insert(id);
	objects_.emplace(id, Object{id, c.id, path, type});
	if (!path.empty())
		paths_.emplace(path, id);
	c.objects.insert(id);

	Writer w(UBUS_MSG_DATA, m.hdr.seq, m.hdr.peer);
	w.put_u32(UBUS_ATTR_OBJID, id);
	if (new_type)
		w.put_u32(UBUS_ATTR_OBJTYPE, type);
	send(c.id, w.take());
	send_status(c.id, m.hdr, UBUS_STATUS_OK);
}

bool Bus::remove_object(uint32_t id)
{
	auto it = objects_.find(id);
	if (it == objects_.end())
		return false;
	Object &o = it->second;
	if (!o.path.empty())
		paths_.erase(o.path);
	auto owner = clients_.find(o.owner);
	if (owner != clients_.end())
		owner->second.objects.erase(id);
	bool type_gone = false;
	if (o.type) {
		auto t = types_.find(o.type);
		if (t != types_.end() && --t->second.refs == 0) {
			type_ids_.erase(t->first);
			types_.erase(t);
			type_gone = true;
		}
	}
	object_ids_.erase(id);
	objects_.erase(it);
	return type_gone;
}

void Bus::cmd_remove_object(Client &c, const Message &m)
{
	const uint8_t *oa = m.get(UBUS_ATTR_OBJID);
	if (!oa) {
		send_status(c.id, m.hdr, UBUS_STATUS_INVALID_ARGUMENT);
		return;
	}
	uint32_t id = attr_u32(oa);
	auto it = objects_.find(id);
	if (it == objects_.end()) {
		send_status(c.id, m.hdr, UBUS_STATUS_NOT_FOUND);
		return;
	}
	if (it->second.owner != c.id) {
		send_status(c.id, m.hdr, UBUS_STATUS_PERMISSION_DENIED);
		return;
	}
	uint32_t type = it->second.type;
	fail_calls(0, id);
	bool type_gone = remove_object(id);

	Writer w(UBUS_MSG_DATA, m.hdr.seq, m.hdr.peer);
	w.put_u32(UBUS_ATTR_OBJID, id);
	if (type_gone)
		w.put_u32(UBUS_ATTR_OBJTYPE, type);
	send(c.id, w.take());
	send_status(c.id, m.hdr, UBUS_STATUS_OK);
}

void Bus::cmd_invoke(Client &c, const Message &m)
{
	const uint8_t *oa = m.get(UBUS_ATTR_OBJID);
	const uint8_t *ma = m.get(UBUS_ATTR_METHOD);
	if (!oa || !ma) {
		send_status(c.id, m.hdr, UBUS_STATUS_INVALID_ARGUMENT);
		return;
	}
	uint32_t id = attr_u32(oa);
	auto it = objects_.find(id);
	if (it == objects_.end()) {
		send_status(c.id, m.hdr, UBUS_STATUS_NOT_FOUND);
		return;
	}
	uint32_t owner = it->second.owner;

	Writer w(UBUS_MSG_INVOKE, m.hdr.seq, c.id);
	w.put_u32(UBUS_ATTR_OBJID, id);
	w.put_attr(ma);
	w.put_string(UBUS_ATTR_USER, c.user);
	w.put_string(UBUS_ATTR_GROUP, c.group);
	if (const uint8_t *d = m.get(UBUS_ATTR_DATA))
		w.put_attr(d);
	const uint8_t *nr = m.get(UBUS_ATTR_NO_REPLY);
	if (nr)
		w.put_attr(nr);
	if (!nr || !attr_u8(nr))
		inflight_[CallKey{c.id, m.hdr.seq, id}] = owner;
	send(owner, w.take());
}

void Bus::owner_reply(Client &c, const Message &m, const uint8_t *raw)
{
	const uint8_t *oa = m.get(UBUS_ATTR_OBJID);
	if (!oa)
		return;
	uint32_t id = attr_u32(oa);
	auto it = objects_.find(id);
	if (it == objects_.end() || it->second.owner != c.id)
		return;
	bool status = m.hdr.type == UBUS_MSG_STATUS;
	if (status ? !m.get(UBUS_ATTR_STATUS) : !m.get(UBUS_ATTR_DATA))
		return;
	uint32_t caller = m.hdr.peer;
	if (status)
		inflight_.erase(CallKey{caller, m.hdr.seq, id});
	if (!clients_.count(caller))
		return;
	std::vector<uint8_t> bytes(raw, raw + m.size());
	put_be32(&bytes[4], id);
	send(caller, std::move(bytes));
}

void Bus::fail_calls(uint32_t owner, uint32_t object)
{
	for (auto it = inflight_.begin(); it != inflight_.end();) {
		uint32_t caller = std::get<0>(it->first);
		uint16_t seq = std::get<1>(it->first);
		uint32_t obj = std::get<2>(it->first);
		bool match = object ? obj == object : it->second == owner;
		if (!match) {
			++it;
			continue;
		}
		if (clients_.count(caller) && caller != owner) {
			Writer w(UBUS_MSG_STATUS, seq, obj);
			w.put_u32(UBUS_ATTR_STATUS, kOwnerGoneStatus);
			w.put_u32(UBUS_ATTR_OBJID, obj);
			send(caller, w.take());
		}
		it = inflight_.erase(it);
	}
}

} // namespace ubusd
