#include "client_msg.hpp"

#include "wire.hpp"

namespace ubus_client {

using namespace ubus_wire;

namespace {

void msg_put_data(Writer &w, const struct blob_attr *msg)
{
	if (!msg) {
		w.put_raw(UBUS_ATTR_DATA, nullptr, 0);
		return;
	}
	auto *a = reinterpret_cast<const uint8_t *>(msg);
	w.put_raw(UBUS_ATTR_DATA, attr_payload(a), attr_payload_len(a));
}

// One named table per method; its members name the advertised arguments
// with their blobmsg type numbers.
void msg_put_signature(Writer &w, const struct ubus_object_type *type)
{
	size_t sig = w.nest_start(UBUS_ATTR_SIGNATURE);
	for (int i = 0; i < type->n_methods; i++) {
		const struct ubus_method &m = type->methods[i];
		size_t t = w.table_start(m.name ? m.name : "");
		for (int j = 0; j < m.n_policy; j++) {
			const struct blobmsg_policy &p = m.policy[j];
			if (m.mask && (j >= int(8 * sizeof m.mask) || !(m.mask & (1ul << j))))
				continue;
			if (!p.name)
				continue;
			w.put_blobmsg_u32(p.name, uint32_t(p.type));
		}
		w.nest_end(t);
	}
	w.nest_end(sig);
}

} // namespace

Bytes msg_add_object(uint16_t seq, const struct ubus_object *obj, bool *sent_signature)
{
	Writer w(UBUS_MSG_ADD_OBJECT, seq, 0);
	*sent_signature = false;
	if (obj->name) {
		w.put_string(UBUS_ATTR_OBJPATH, obj->name);
		if (obj->type) {
			if (obj->type->id) {
				w.put_u32(UBUS_ATTR_OBJTYPE, obj->type->id);
			} else {
				msg_put_signature(w, obj->type);
				*sent_signature = true;
			}
		}
	}
	return w.take();
}

Bytes msg_remove_object(uint16_t seq, uint32_t id)
{
	Writer w(UBUS_MSG_REMOVE_OBJECT, seq, 0);
	w.put_u32(UBUS_ATTR_OBJID, id);
	return w.take();
}

Bytes msg_lookup(uint16_t seq, const char *path)
{
	Writer w(UBUS_MSG_LOOKUP, seq, 0);
	if (path)
		w.put_string(UBUS_ATTR_OBJPATH, path);
	return w.take();
}

Bytes msg_invoke(uint16_t seq, uint32_t obj, const char *method, const struct blob_attr *msg)
{
	Writer w(UBUS_MSG_INVOKE, seq, obj);
	w.put_u32(UBUS_ATTR_OBJID, obj);
	w.put_string(UBUS_ATTR_METHOD, method ? method : "");
	msg_put_data(w, msg);
	return w.take();
}

Bytes msg_send_event(uint16_t seq, const char *id, const struct blob_attr *msg)
{
	Writer w(UBUS_MSG_INVOKE, seq, UBUS_SYSTEM_OBJECT_EVENT);
	w.put_u32(UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
	w.put_string(UBUS_ATTR_METHOD, "send");
	size_t d = w.nest_start(UBUS_ATTR_DATA);
	w.put_blobmsg_string("id", id ? id : "");
	size_t t = w.table_start("data");
	if (msg) {
		auto *a = reinterpret_cast<const uint8_t *>(msg);
		w.put_bytes(attr_payload(a), attr_payload_len(a));
	}
	w.nest_end(t);
	w.nest_end(d);
	return w.take();
}

Bytes msg_register_event(uint16_t seq, uint32_t obj, const char *pattern)
{
	Writer w(UBUS_MSG_INVOKE, seq, UBUS_SYSTEM_OBJECT_EVENT);
	w.put_u32(UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
	w.put_string(UBUS_ATTR_METHOD, "register");
	size_t d = w.nest_start(UBUS_ATTR_DATA);
	w.put_blobmsg_u32("object", obj);
	if (pattern)
		w.put_blobmsg_string("pattern", pattern);
	w.nest_end(d);
	return w.take();
}

Bytes msg_subscribe(uint8_t type, uint16_t seq, uint32_t subscriber, uint32_t target)
{
	Writer w(type, seq, 0);
	w.put_u32(UBUS_ATTR_OBJID, subscriber);
	w.put_u32(UBUS_ATTR_TARGET, target);
	return w.take();
}

Bytes msg_notify(uint16_t seq, uint32_t obj, const char *type, const struct blob_attr *msg, bool no_reply)
{
	Writer w(UBUS_MSG_NOTIFY, seq, obj);
	w.put_u32(UBUS_ATTR_OBJID, obj);
	w.put_string(UBUS_ATTR_METHOD, type ? type : "");
	msg_put_data(w, msg);
	if (no_reply)
		w.put_u8(UBUS_ATTR_NO_REPLY, 1);
	return w.take();
}

Bytes msg_reply(const struct ubus_request_data *req, const struct blob_attr *msg)
{
	Writer w(UBUS_MSG_DATA, req->seq, req->peer);
	w.put_u32(UBUS_ATTR_OBJID, req->object);
	msg_put_data(w, msg);
	return w.take();
}

Bytes msg_status(uint16_t seq, uint32_t peer, uint32_t obj, int status)
{
	Writer w(UBUS_MSG_STATUS, seq, peer);
	w.put_u32(UBUS_ATTR_STATUS, uint32_t(status));
	w.put_u32(UBUS_ATTR_OBJID, obj);
	return w.take();
}

} // namespace ubus_client
