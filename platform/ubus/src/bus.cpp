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
	forget_calls(client, 0);
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
		cmd_subscribe(c, m);
		break;
	case UBUS_MSG_NOTIFY:
		cmd_notify(c, m);
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
	const Object &o = objects_.emplace(id, Object{id, c.id, path, type}).first->second;
	if (!path.empty()) {
		paths_.emplace(path, id);
		emit_object_event("ubus.object.add", o);
	}
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
	if (!o.path.empty()) {
		paths_.erase(o.path);
		emit_object_event("ubus.object.remove", o);
	}
	patterns_.erase(id);
	// its subscribers learn that it went; the objects it watched may have no
	// subscriber left
	for (auto s = subs_.begin(); s != subs_.end();) {
		if (s->first == id) {
			auto sub = objects_.find(s->second);
			if (sub != objects_.end()) {
				Writer w(UBUS_MSG_UNSUBSCRIBE, 0, 0);
				w.put_u32(UBUS_ATTR_OBJID, s->second);
				w.put_u32(UBUS_ATTR_TARGET, id);
				send(sub->second.owner, w.take());
			}
			s = subs_.erase(s);
		} else if (s->second == id) {
			uint32_t target = s->first;
			s = subs_.erase(s);
			auto first = subs_.lower_bound({target, 0});
			if (first == subs_.end() || first->first != target)
				notify_active(target, false);
		} else {
			++s;
		}
	}
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
	forget_calls(0, id);
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
	if (id == UBUS_SYSTEM_OBJECT_EVENT) {
		event_invoke(c, m);
		return;
	}
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

void Bus::forget_calls(uint32_t owner, uint32_t object)
{
	for (auto it = inflight_.begin(); it != inflight_.end();) {
		bool match = object ? std::get<2>(it->first) == object : it->second == owner;
		it = match ? inflight_.erase(it) : std::next(it);
	}
}

namespace {

// The value of the blobmsg member `name` of blobmsg type `type` in a list of
// members, or nullptr. *len gets the value's length.
const uint8_t *bus_member(const uint8_t *p, size_t plen, std::string_view name, unsigned type, size_t *len)
{
	AttrWalk w(p, plen);
	const uint8_t *found = nullptr;
	while (const uint8_t *a = w.next()) {
		if (!blobmsg_valid(a, true, false))
			continue;
		const uint8_t *pl = attr_payload(a);
		size_t nlen = get_be16(pl);
		if (std::string_view(reinterpret_cast<const char *>(pl + 2), nlen) != name)
			continue;
		size_t hl = blobmsg_hdrlen(nlen);
		found = attr_id(a) == type ? pl + hl : nullptr;
		*len = attr_payload_len(a) - hl;
	}
	return found;
}

bool bus_pattern_matches(const std::pair<std::string, bool> &p, std::string_view id)
{
	if (p.first.empty())
		return true;
	if (p.second)
		return id.compare(0, p.first.size(), p.first) == 0;
	return id == p.first;
}

} // namespace

void Bus::event_invoke(Client &c, const Message &m)
{
	const uint8_t *da = m.get(UBUS_ATTR_DATA);
	std::string_view method = attr_string(m.get(UBUS_ATTR_METHOD));
	int status;
	if (!da)
		status = UBUS_STATUS_INVALID_ARGUMENT;
	else if (method == "register")
		status = event_register(c, da);
	else if (method == "send")
		status = event_send(da);
	else
		status = UBUS_STATUS_METHOD_NOT_FOUND;
	send_status(c.id, m.hdr, status);
}

int Bus::event_register(Client &c, const uint8_t *data)
{
	size_t olen = 0, plen = 0;
	const uint8_t *obj = bus_member(attr_payload(data), attr_payload_len(data), "object", kBlobmsgInt32, &olen);
	const uint8_t *pat = bus_member(attr_payload(data), attr_payload_len(data), "pattern", kBlobmsgString, &plen);
	if (!obj || !pat)
		return UBUS_STATUS_INVALID_ARGUMENT;
	uint32_t id = get_be32(obj);
	if (id < UBUS_SYSTEM_OBJECT_MAX)
		return UBUS_STATUS_PERMISSION_DENIED;
	auto it = objects_.find(id);
	if (it == objects_.end())
		return UBUS_STATUS_NOT_FOUND;
	if (it->second.owner != c.id)
		return UBUS_STATUS_PERMISSION_DENIED;
	std::string pattern(reinterpret_cast<const char *>(pat));
	bool prefix = !pattern.empty() && pattern.back() == '*';
	if (prefix)
		pattern.pop_back();
	patterns_.emplace(id, std::make_pair(std::move(pattern), prefix));
	return UBUS_STATUS_OK;
}

int Bus::event_send(const uint8_t *data)
{
	size_t ilen = 0, dlen = 0;
	const uint8_t *id = bus_member(attr_payload(data), attr_payload_len(data), "id", kBlobmsgString, &ilen);
	if (!id)
		return UBUS_STATUS_INVALID_ARGUMENT;
	std::string_view ev(reinterpret_cast<const char *>(id));
	// the daemon's own events cannot be forged
	if (ev.compare(0, 5, "ubus.") == 0)
		return UBUS_STATUS_PERMISSION_DENIED;
	const uint8_t *members =
		bus_member(attr_payload(data), attr_payload_len(data), "data", kBlobmsgTable, &dlen);
	emit_event(ev, members, members ? dlen : 0);
	return UBUS_STATUS_OK;
}

void Bus::emit_event(std::string_view id, const uint8_t *data, size_t len)
{
	event_seq_++;
	for (auto it = patterns_.begin(); it != patterns_.end();) {
		uint32_t obj = it->first;
		auto end = patterns_.upper_bound(obj);
		bool match = false;
		for (; it != end && !match; ++it)
			match = bus_pattern_matches(it->second, id);
		it = end;
		auto o = objects_.find(obj);
		if (!match || o == objects_.end())
			continue;
		Writer w(UBUS_MSG_INVOKE, event_seq_, 0);
		w.put_u32(UBUS_ATTR_OBJID, obj);
		w.put_string(UBUS_ATTR_METHOD, id);
		w.put_raw(UBUS_ATTR_DATA, data, len);
		send(o->second.owner, w.take());
	}
}

void Bus::emit_object_event(const char *id, const Object &o)
{
	if (patterns_.empty())
		return;
	Writer w;
	w.put_blobmsg_u32("id", o.id);
	w.put_blobmsg_string("path", o.path);
	const auto &b = w.finish();
	emit_event(id, b.data() + kPrefixLen, b.size() - kPrefixLen);
}

void Bus::notify_active(uint32_t target, bool active)
{
	auto t = objects_.find(target);
	if (t == objects_.end())
		return;
	Writer w(UBUS_MSG_NOTIFY, ++event_seq_, 0);
	w.put_u32(UBUS_ATTR_OBJID, target);
	w.put_u8(UBUS_ATTR_ACTIVE, active);
	send(t->second.owner, w.take());
}

void Bus::cmd_subscribe(Client &c, const Message &m)
{
	const uint8_t *oa = m.get(UBUS_ATTR_OBJID);
	const uint8_t *ta = m.get(UBUS_ATTR_TARGET);
	if (!oa || !ta) {
		send_status(c.id, m.hdr, UBUS_STATUS_INVALID_ARGUMENT);
		return;
	}
	uint32_t sub = attr_u32(oa), target = attr_u32(ta);
	auto s = objects_.find(sub);
	if (s == objects_.end() || !objects_.count(target)) {
		send_status(c.id, m.hdr, UBUS_STATUS_NOT_FOUND);
		return;
	}
	if (s->second.owner != c.id) {
		send_status(c.id, m.hdr, UBUS_STATUS_PERMISSION_DENIED);
		return;
	}
	auto first = subs_.lower_bound({target, 0});
	bool had = first != subs_.end() && first->first == target;
	if (m.hdr.type == UBUS_MSG_SUBSCRIBE) {
		subs_.insert({target, sub});
		if (!had)
			notify_active(target, true);
	} else if (subs_.erase({target, sub})) {
		first = subs_.lower_bound({target, 0});
		if (first == subs_.end() || first->first != target)
			notify_active(target, false);
	}
	send_status(c.id, m.hdr, UBUS_STATUS_OK);
}

void Bus::cmd_notify(Client &c, const Message &m)
{
	const uint8_t *oa = m.get(UBUS_ATTR_OBJID);
	const uint8_t *ma = m.get(UBUS_ATTR_METHOD);
	const uint8_t *nr = m.get(UBUS_ATTR_NO_REPLY);
	bool no_reply = nr && attr_u8(nr);
	int status = UBUS_STATUS_OK;
	auto it = oa ? objects_.find(attr_u32(oa)) : objects_.end();
	if (!oa || !ma)
		status = UBUS_STATUS_INVALID_ARGUMENT;
	else if (it == objects_.end())
		status = UBUS_STATUS_NOT_FOUND;
	else if (it->second.owner != c.id)
		status = UBUS_STATUS_PERMISSION_DENIED;
	if (status) {
		if (!no_reply)
			send_status(c.id, m.hdr, status);
		return;
	}
	uint32_t id = it->first;
	auto first = subs_.lower_bound({id, 0});
	if (!no_reply) {
		// the status names the subscribers whose answers may follow
		Writer w(UBUS_MSG_STATUS, m.hdr.seq, m.hdr.peer);
		w.put_u32(UBUS_ATTR_STATUS, UBUS_STATUS_OK);
		size_t n = w.nest_start(UBUS_ATTR_SUBSCRIBERS);
		for (auto s = first; s != subs_.end() && s->first == id; ++s)
			w.put_u32(UBUS_ATTR_UNSPEC, s->second);
		w.nest_end(n);
		send(c.id, w.take());
	}
	for (auto s = first; s != subs_.end() && s->first == id; ++s) {
		auto sub = objects_.find(s->second);
		if (sub == objects_.end())
			continue;
		Writer w(UBUS_MSG_INVOKE, m.hdr.seq, c.id);
		w.put_u32(UBUS_ATTR_OBJID, s->second);
		w.put_attr(ma);
		w.put_string(UBUS_ATTR_USER, c.user);
		w.put_string(UBUS_ATTR_GROUP, c.group);
		if (const uint8_t *d = m.get(UBUS_ATTR_DATA))
			w.put_attr(d);
		if (nr)
			w.put_attr(nr);
		send(sub->second.owner, w.take());
	}
}

} // namespace ubusd
